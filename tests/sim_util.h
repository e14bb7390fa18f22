// Helpers for tests that run jyx-sim: SimProcess starts the simulator on its
// own loopback address with an ops log in a temporary directory, waits for
// its ready line and stops it. SimPacketClient talks to it through the
// project's own TCP channel and packet parser; SimLogClient reads the UART
// log port on a plain socket.
#ifndef JYX_TESTS_SIM_UTIL_H_
#define JYX_TESTS_SIM_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/channel.h"
#include "common/lock.h"
#include "jyx/protocol/package.h"
#include "jyx/protocol/package_parser.h"
#include "test_util.h"

class CSocketTCP;

namespace jyxtest {

// One line of the ops log. Field values are kept as text: numbers in
// decimal, strings as they are, booleans as "true"/"false".
struct OpsRecord {
  uint64_t timeUs = 0;
  std::string dir;   // "rx", "tx", "drop", "report", "log", "event"
  std::string cmd;   // command type name ("" for log and event records)
  std::string data;  // data type name
  int64_t frame = -1;
  std::map<std::string, std::string> fields;

  std::string str(const std::string& key) const;
  // The field as a number; `fallback` when absent or not a number.
  int64_t num(const std::string& key, int64_t fallback = -1) const;
};

class SimProcess {
 public:
  ~SimProcess() { stop(); }

  // Starts build/jyx-sim --bind address --ops-log <tmp>/ops.jsonl plus
  // extraArgs and waits for the ready line (stopping an earlier run first). False (with the
  // simulator's output in lastError()) when it exits or does not get ready in time.
  bool start(const std::string& address, const std::vector<std::string>& extraArgs = {},
             int timeoutMs = 10000);
  // SIGTERM, then SIGKILL after 5 s. True when it exited with status 0
  // after the SIGTERM.
  bool stop();
  void signal(int sig) { proc_.signal(sig); }
  int pid() { return proc_.pid(); }

  // A file in this run's temporary directory (--state, control files).
  std::string tempPath(const std::string& name) const { return dir_.file(name); }
  std::string lastError() const { return error_; }

  std::vector<OpsRecord> ops() const;
  // Polls the ops log until `pred` holds for some record (returned in
  // *found when given) or timeoutMs passes.
  bool waitForOp(const std::function<bool(const OpsRecord&)>& pred, int timeoutMs,
                 OpsRecord* found = nullptr) const;

 private:
  ScopedTempDir dir_;
  Subprocess proc_;
  std::string error_;
  bool started_ = false;
};

// Received packets are copied into a queue; wait* calls pump the parser on
// the calling thread.
class SimPacketClient : public CChannelDelegate, public CPackageParserDelegate {
 public:
  struct Packet {
    uint32_t frame = 0;
    uint16_t cmd = 0;
    uint16_t data = 0;
    std::vector<uint8_t> payload;
    // Little-endian fields of the payload; 0 past its end.
    uint64_t le(size_t off, size_t n) const;
    uint16_t u16(size_t off) const { return uint16_t(le(off, 2)); }
    uint32_t u32(size_t off) const { return uint32_t(le(off, 4)); }
    uint64_t u64(size_t off) const { return le(off, 8); }
  };

  SimPacketClient();
  ~SimPacketClient() override;

  bool connect(const std::string& address, int port = 3334);
  void close();
  // False when the channel did not take all the bytes.
  bool send(CPackage* package);
  uint32_t nextFrame() { return ++frame_; }

  // Waits for the acknowledge of `frame`.
  bool waitReply(uint32_t frame, Packet* out, int timeoutMs = 5000);
  // Waits for the first packet for which pred holds; earlier ones stay queued.
  bool waitFor(const std::function<bool(const Packet&)>& pred, Packet* out, int timeoutMs);
  // Builds a request with `build(frame)`, sends it and waits for its reply.
  bool request(const std::function<void(CPackage*, uint32_t)>& build, Packet* reply,
               int timeoutMs = 5000);
  // Errors reported by the channel (e.g. a send on a link the peer closed).
  int errorCount();

  void onConnected() override { connected_ = true; }
  int onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) override;
  void onPackage(CPackage* package) override;

 private:
  std::unique_ptr<CSocketTCP> socket_;
  std::unique_ptr<CPackageParser> parser_;
  std::deque<Packet> received_;
  CLock lock_;
  bool connected_ = false;
  int errors_ = 0;
  uint32_t frame_ = 0;
};

class SimLogClient {
 public:
  ~SimLogClient();
  bool connect(const std::string& address, int port = 3333);
  // Reads until the collected text contains `text` or timeoutMs passes.
  bool waitForText(const std::string& text, int timeoutMs);
  // Reads whatever arrives within ms milliseconds.
  void readFor(int ms);
  const std::string& text() const { return text_; }
  void clear() { text_.clear(); }

 private:
  int fd_ = -1;
  std::string text_;
};

// A fixture owning one simulator, a scratch directory and the address every
// jyx run of the test is pointed at. Subclasses set simArgs_ (prepended to
// every start) and exitCode_ (--exit-code on every run) in their constructor.
class SimE2E : public ::testing::Test {
 protected:
  // Starts the simulator on `address` with simArgs_ and `extra`.
  void startSim(const std::string& address, std::vector<std::string> extra = {});
  // Runs jyx -a <address> args to completion; its output, the status in *code.
  std::string jyx(std::vector<std::string> args, int* code = nullptr, int timeoutMs = 120000);
  // Requests of this command type the simulator received, in order.
  std::vector<OpsRecord> received(const std::string& cmd) const;
  // The simulator's flash file (with --state sim_.tempPath("state")).
  std::string flashPath() const { return sim_.tempPath("state") + "/spi_flash.bin"; }
  std::string flashFile() const { return readFile(flashPath()); }
  // Writes `bytes` to dir_/name and returns the path.
  std::string writeImage(const std::string& name, const std::string& bytes);
  std::vector<std::string> stateArgs() const { return {"--state", sim_.tempPath("state")}; }

  ScopedTempDir dir_;
  SimProcess sim_;
  std::string address_;
  std::vector<std::string> simArgs_;
  bool exitCode_ = false;
};

}  // namespace jyxtest

#endif  // JYX_TESTS_SIM_UTIL_H_

// CSimFaults: decides, per request received, what goes wrong with its
// reply. Rules name a request selector (command type, optionally with a
// data type) and which occurrence they hit (1-based count of requests of
// that selector since the rules were set, or every one). Deterministic:
// random faults draw from a generator seeded by --seed.
#ifndef JYX_SIM_FAULTS_H_
#define JYX_SIM_FAULTS_H_

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "sim/frame.h"

namespace jyxsim {

class CSimFaults {
 public:
  enum class Kind { kDrop, kFail, kCorrupt, kGarbage, kGarbageMagic, kDelay };

  struct Rule {
    Kind kind = Kind::kDrop;
    int cmd = -1;      // -1: any command type
    int data = -1;     // -1: any data type
    uint32_t nth = 0;  // 0: every matching request
    uint32_t arg = 0;  // garbage byte count or delay in ms
  };

  // What to do with the reply to one request.
  struct Decision {
    bool drop = false;
    bool fail = false;               // answer ACK_FAIL instead of the normal reply
    bool corrupt = false;            // wrong checksum
    uint32_t garbageBytes = 0;       // plain garbage, never a magic byte
    uint32_t magicGarbageBytes = 0;  // garbage with magics and false headers
    // The garbage bytes themselves (plain first, then the magic kind),
    // drawn when the request is decided so that the random stream does not
    // depend on when replies go out.
    std::string garbage;
    uint32_t delayMs = 0;
    bool closeAfter = false;  // close the packet link once this reply is out
    // With closeAfter: the controller restarts its session, so the log link
    // closes too and UART forwarding is off until a client enables it again.
    bool resetAfter = false;
    bool mute = false;  // from now on the controller answers nothing
    std::string what;   // names of the faults applied, for the ops log
  };

  CSimFaults();

  // Parses one fault option ("drop", "fail", "corrupt", "garbage",
  // "garbage-magic", "delay", "delay-all", "close-after", "reset-after",
  // "mute-after", "random", "seed") with its
  // value; false with *err on a malformed value.
  bool addOption(const std::string& name, const std::string& value, std::string* err);
  // True for the option names addOption understands.
  static bool isFaultOption(const std::string& name);
  // Replaces every rule with the options in `text` (one "--name value" or
  // "name value" per line, '#' comments); counters restart. On error the
  // old rules stay.
  bool loadText(const std::string& text, std::string* err);
  void clear();

  // Counts the request and returns the faults for its reply.
  Decision decide(const SimFrame& request, uint32_t requestsOnLink);
  // Fills `n` garbage bytes that never contain the packet magic byte 0x5A.
  void garbage(uint32_t n, std::string* out);
  // Fills `n` (at least kMinMagicGarbage) bytes of garbage made to trip a
  // packet reader: runs of one to three magic bytes, whole magics followed
  // by false headers (a length below the 20-byte header, a length of 256 MiB
  // or more that no reader can buffer, or a short packet whose checksum is
  // wrong), and noise. Every false header and false packet ends inside the
  // block, magic bytes occur only as those runs and headers, and the block
  // never ends in a magic byte: a reader that resynchronises correctly finds
  // the real reply right after it, and one that does not loses it or worse.
  void magicGarbage(uint32_t n, std::string* out);

  // Smallest and default size of a magic garbage block: one false header
  // (20 bytes) plus room for noise around it.
  static constexpr uint32_t kMinMagicGarbage = 24;
  static constexpr uint32_t kDefaultMagicGarbage = 64;

  bool muted() const { return muted_; }
  const std::vector<Rule>& rules() const { return rules_; }

 private:
  bool parseSelector(const std::string& text, Rule* rule, std::string* err);
  // decide() for one matching rule, and for the random faults.
  static void applyRule(const Rule& r, Decision* d);
  void applyRandom(Decision* d);
  // addOption for the numbers (delay-all, close-after, reset-after,
  // mute-after, seed), for --random and for the rules (drop, fail, corrupt,
  // garbage, garbage-magic, delay).
  bool setNumber(const std::string& name, const std::string& value, std::string* err);
  bool setRandom(const std::string& value, std::string* err);
  bool addRule(const std::string& name, const std::string& value, std::string* err);

  std::vector<Rule> rules_;
  std::map<std::pair<int, int>, uint32_t> counts_;  // (cmd, data|-1) -> requests
  uint32_t delayAllMs_ = 0;
  uint32_t closeAfter_ = 0;  // 0: never; applies to the first link that reaches it
  bool closeDone_ = false;
  uint32_t resetAfter_ = 0;  // 0: never; like closeAfter_, once
  bool resetDone_ = false;
  int64_t muteAfter_ = -1;  // -1: never
  uint64_t requests_ = 0;
  bool muted_ = false;
  double randomP_[5] = {0, 0, 0, 0, 0};  // drop, fail, corrupt, garbage, garbage_magic
  uint32_t seed_ = 1;
  std::mt19937 rng_;
};

// Parses a decimal or 0x-hexadecimal unsigned number; the whole text must
// be digits. False when it is not a number or exceeds max.
bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* out);
// Command type by name (as the ops log writes it) or number; -1 if unknown.
int cmdFromText(const std::string& text);
int dataFromText(const std::string& text);

}  // namespace jyxsim

#endif  // JYX_SIM_FAULTS_H_

#include "sim_util.h"

#include <poll.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "common/socket_tcp.h"
#include "jyx/protocol/package_manager.h"

namespace jyxtest {

namespace {

using Clock = std::chrono::steady_clock;

std::string valueText(const rapidjson::Value& v) {
  if (v.IsString()) return std::string(v.GetString(), v.GetStringLength());
  if (v.IsBool()) return v.GetBool() ? "true" : "false";
  if (v.IsInt64()) return std::to_string(v.GetInt64());
  if (v.IsUint64()) return std::to_string(v.GetUint64());
  if (v.IsDouble()) return std::to_string(v.GetDouble());
  return "";
}

}  // namespace

std::string OpsRecord::str(const std::string& key) const {
  auto it = fields.find(key);
  return it == fields.end() ? "" : it->second;
}

int64_t OpsRecord::num(const std::string& key, int64_t fallback) const {
  auto it = fields.find(key);
  if (it == fields.end() || it->second.empty()) return fallback;
  char* end = nullptr;
  long long v = strtoll(it->second.c_str(), &end, 10);
  return *end == '\0' ? v : fallback;
}

// Lines that are not JSON objects, and a last line still being written, are
// skipped.
static std::vector<OpsRecord> parseOpsLog(const std::string& text) {
  std::vector<OpsRecord> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) break;
    std::string line = text.substr(start, nl - start);
    start = nl + 1;
    rapidjson::Document doc;
    doc.Parse(line.c_str());
    if (doc.HasParseError() || !doc.IsObject()) continue;
    OpsRecord r;
    auto top = [&](const char* key) -> std::string {
      return doc.HasMember(key) ? valueText(doc[key]) : "";
    };
    r.timeUs = strtoull(top("time_us").c_str(), nullptr, 10);
    r.dir = top("dir");
    r.cmd = top("cmd");
    r.data = top("data");
    if (doc.HasMember("frame") && doc["frame"].IsInt64()) r.frame = doc["frame"].GetInt64();
    if (doc.HasMember("fields") && doc["fields"].IsObject()) {
      for (auto& m : doc["fields"].GetObject())
        r.fields[std::string(m.name.GetString(), m.name.GetStringLength())] = valueText(m.value);
    }
    out.push_back(std::move(r));
  }
  return out;
}

bool SimProcess::start(const std::string& address, const std::vector<std::string>& extraArgs,
                       int timeoutMs) {
  stop();
  std::vector<std::string> argv = {binPath("jyx-sim"), "--bind", address, "--ops-log",
                                   tempPath("ops.jsonl")};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  if (!proc_.start(argv)) {
    error_ = "cannot start " + argv[0];
    return false;
  }
  started_ = true;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    if (proc_.out().find("jyx-sim ready:") != std::string::npos) return true;
    if (!proc_.running()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error_ = proc_.out() + proc_.err();
  if (error_.empty()) error_ = "jyx-sim did not get ready";
  stop();
  return false;
}

bool SimProcess::stop() {
  if (!started_) return false;
  started_ = false;
  if (!proc_.running()) return proc_.exitCode() == 0;
  proc_.signal(SIGTERM);
  if (proc_.wait(5000)) return proc_.exitCode() == 0 && proc_.termSignal() == 0;
  proc_.signal(SIGKILL);
  proc_.wait(5000);
  return false;
}

std::vector<OpsRecord> SimProcess::ops() const {
  return parseOpsLog(readFile(tempPath("ops.jsonl")));
}

bool SimProcess::waitForOp(const std::function<bool(const OpsRecord&)>& pred, int timeoutMs,
                           OpsRecord* found) const {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (const OpsRecord& r : ops()) {
      if (pred(r)) {
        if (found) *found = r;
        return true;
      }
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

uint64_t SimPacketClient::Packet::le(size_t off, size_t n) const {
  uint64_t v = 0;
  for (size_t i = n; off + n <= payload.size() && i-- > 0;) v = (v << 8) | payload[off + i];
  return v;
}

SimPacketClient::SimPacketClient() = default;
SimPacketClient::~SimPacketClient() { close(); }

bool SimPacketClient::connect(const std::string& address, int port) {
  close();
  connected_ = false;
  socket_.reset(new CSocketTCP(this, port, address.c_str()));
  // Short read slices keep the receive thread responsive.
  socket_->setTimeout(10000);
  socket_->open();
  if (!connected_) {
    socket_.reset();
    return false;
  }
  parser_.reset(new CPackageParser(this, socket_->receiveFifo()));
  return true;
}

void SimPacketClient::close() {
  parser_.reset();
  socket_.reset();
}

bool SimPacketClient::send(CPackage* package) {
  return socket_ && socket_->sendBuffer(package->data(), int(package->size()), nullptr) ==
                        int(package->size());
}

int SimPacketClient::onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) {
  CSmartLock guard(&lock_);
  if (type == CHANNEL_MSG_ERROR) ++errors_;
  return 0;
}

int SimPacketClient::errorCount() {
  CSmartLock guard(&lock_);
  return errors_;
}

void SimPacketClient::onPackage(CPackage* package) {
  Packet p;
  p.frame = package->frameNum();
  p.cmd = package->cmdType();
  p.data = package->dataType();
  if (package->payloadLength())
    p.payload.assign(package->payload(), package->payload() + package->payloadLength());
  received_.push_back(std::move(p));
}

bool SimPacketClient::waitFor(const std::function<bool(const Packet&)>& pred, Packet* out,
                              int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (parser_) parser_->onUpdate(0.0);
    for (auto it = received_.begin(); it != received_.end(); ++it) {
      if (pred(*it)) {
        if (out) *out = std::move(*it);
        received_.erase(it);
        return true;
      }
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool SimPacketClient::waitReply(uint32_t frame, Packet* out, int timeoutMs) {
  return waitFor([frame](const Packet& p) { return p.frame == frame && p.cmd == DEVICE_ACK; }, out,
                 timeoutMs);
}

bool SimPacketClient::request(const std::function<void(CPackage*, uint32_t)>& build, Packet* reply,
                              int timeoutMs) {
  CPackage* pkg = CPackageManager::instance()->getPackage();
  uint32_t frame = nextFrame();
  build(pkg, frame);
  bool sent = send(pkg);
  CPackageManager::instance()->releasePackage(pkg);
  return sent && waitReply(frame, reply, timeoutMs);
}

SimLogClient::~SimLogClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool SimLogClient::connect(const std::string& address, int port) {
  fd_ = rawConnect(address.c_str(), port);
  return fd_ >= 0;
}

void SimLogClient::readFor(int ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (fd_ >= 0) {
    int left =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof(buf), 0);
    if (n <= 0) return;
    text_.append(buf, size_t(n));
  }
}

bool SimLogClient::waitForText(const std::string& text, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (text_.find(text) == std::string::npos && Clock::now() < deadline) readFor(20);
  return text_.find(text) != std::string::npos;
}

void SimE2E::startSim(const std::string& address, std::vector<std::string> extra) {
  address_ = address;
  extra.insert(extra.begin(), simArgs_.begin(), simArgs_.end());
  ASSERT_TRUE(sim_.start(address, extra)) << sim_.lastError();
}

std::string SimE2E::jyx(std::vector<std::string> args, int* code, int timeoutMs) {
  args.insert(args.begin(), {binPath("jyx"), "-a", address_});
  if (exitCode_) args.push_back("--exit-code");
  int status = -1;
  std::string out = run(args, &status, timeoutMs);
  if (code) *code = status;
  return out;
}

std::vector<OpsRecord> SimE2E::received(const std::string& cmd) const {
  std::vector<OpsRecord> out;
  for (const OpsRecord& op : sim_.ops()) {
    if (op.dir == "rx" && op.cmd == cmd) out.push_back(op);
  }
  return out;
}

std::string SimE2E::writeImage(const std::string& name, const std::string& bytes) {
  EXPECT_TRUE(writeFile(dir_.file(name), bytes));
  return dir_.file(name);
}

}  // namespace jyxtest

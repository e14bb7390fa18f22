#include "sim/faults.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace jyxsim {

namespace {

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : s) {
    if (c == sep) {
      parts.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  parts.push_back(cur);
  return parts;
}

bool parseProbability(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (*end != '\0' || !(v >= 0.0 && v <= 1.0)) return false;
  *out = v;
  return true;
}

}  // namespace

bool parseUnsigned(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  int base = 10;
  size_t i = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * base + d;
    if (v > max) return false;
  }
  *out = v;
  return true;
}

int cmdFromText(const std::string& text) {
  for (int c = 0; c <= 8; ++c)
    if (text == cmdName(uint16_t(c))) return c;
  uint64_t v;
  if (parseUnsigned(text, 65535, &v)) return int(v);
  return -1;
}

int dataFromText(const std::string& text) {
  for (int d = 0; d <= 9; ++d)
    if (text == dataName(uint16_t(d), false)) return d;
  if (text == "NO_DATA" || text == "ACK_FAIL") return 255;
  uint64_t v;
  if (parseUnsigned(text, 65535, &v)) return int(v);
  return -1;
}

CSimFaults::CSimFaults() : rng_(1) {}

bool CSimFaults::isFaultOption(const std::string& name) {
  static const char* const kNames[] = {"drop",          "fail",       "corrupt",   "garbage",
                                       "garbage-magic", "delay",      "delay-all", "close-after",
                                       "reset-after",   "mute-after", "random",    "seed"};
  for (const char* n : kNames)
    if (name == n) return true;
  return false;
}

void CSimFaults::clear() {
  rules_.clear();
  counts_.clear();
  delayAllMs_ = 0;
  closeAfter_ = 0;
  closeDone_ = false;
  resetAfter_ = 0;
  resetDone_ = false;
  muteAfter_ = -1;
  requests_ = 0;
  muted_ = false;
  for (double& p : randomP_) p = 0;
  rng_.seed(seed_);
}

bool CSimFaults::parseSelector(const std::string& text, Rule* rule, std::string* err) {
  std::vector<std::string> parts = split(text, '/');
  if (parts.size() > 2) {
    *err = "bad request selector '" + text + "'";
    return false;
  }
  if (parts[0] != "*") {
    rule->cmd = cmdFromText(parts[0]);
    if (rule->cmd < 0) {
      *err = "unknown command type '" + parts[0] + "'";
      return false;
    }
  }
  if (parts.size() == 2 && parts[1] != "*") {
    rule->data = dataFromText(parts[1]);
    if (rule->data < 0) {
      *err = "unknown data type '" + parts[1] + "'";
      return false;
    }
  }
  return true;
}

bool CSimFaults::addOption(const std::string& name, const std::string& value, std::string* err) {
  if (name == "delay-all" || name == "close-after" || name == "reset-after" ||
      name == "mute-after" || name == "seed") {
    return setNumber(name, value, err);
  }
  if (name == "random") return setRandom(value, err);
  return addRule(name, value, err);
}

bool CSimFaults::setNumber(const std::string& name, const std::string& value, std::string* err) {
  uint64_t n = 0;
  if (!parseUnsigned(value, 0xFFFFFFFFu, &n)) {
    *err = "--" + name + " needs a number, not '" + value + "'";
    return false;
  }
  if (name == "delay-all") delayAllMs_ = uint32_t(n);
  if (name == "close-after") closeAfter_ = uint32_t(n);
  if (name == "reset-after") resetAfter_ = uint32_t(n);
  if (name == "mute-after") muteAfter_ = int64_t(n);
  if (name == "seed") {
    seed_ = uint32_t(n);
    rng_.seed(seed_);
  }
  return true;
}

bool CSimFaults::setRandom(const std::string& value, std::string* err) {
  static const char* const kKinds[5] = {"drop", "fail", "corrupt", "garbage", "garbage_magic"};
  for (const std::string& item : split(value, ',')) {
    std::vector<std::string> kv = split(item, '=');
    int k = -1;
    for (int i = 0; i < 5; ++i)
      if (kv.size() == 2 && kv[0] == kKinds[i]) k = i;
    double p;
    if (k < 0 || !parseProbability(kv[1], &p)) {
      *err =
          "--random takes KIND=P[,KIND=P...] with KIND drop, fail, corrupt, garbage or "
          "garbage_magic "
          "and P in 0..1, not '" +
          item + "'";
      return false;
    }
    randomP_[k] = p;
  }
  return true;
}

bool CSimFaults::addRule(const std::string& name, const std::string& value, std::string* err) {
  uint64_t n = 0;
  Rule rule;
  if (name == "drop")
    rule.kind = Kind::kDrop;
  else if (name == "fail")
    rule.kind = Kind::kFail;
  else if (name == "corrupt")
    rule.kind = Kind::kCorrupt;
  else if (name == "garbage")
    rule.kind = Kind::kGarbage;
  else if (name == "garbage-magic")
    rule.kind = Kind::kGarbageMagic;
  else if (name == "delay")
    rule.kind = Kind::kDelay;
  else {
    *err = "unknown fault option --" + name;
    return false;
  }
  // SEL:N[,N...] plus :BYTES for garbage and :MS for delay.
  std::vector<std::string> parts = split(value, ':');
  bool magic = rule.kind == Kind::kGarbageMagic;
  bool needsArg = rule.kind == Kind::kDelay;
  bool mayArg = needsArg || rule.kind == Kind::kGarbage || magic;
  if (parts.size() < 2 || parts.size() > 3 || (needsArg && parts.size() != 3) ||
      (!mayArg && parts.size() != 2)) {
    *err = "--" + name + " takes " +
           (needsArg ? "SELECTOR:N:MS"
            : mayArg ? "SELECTOR:N[:BYTES]"
                     : "SELECTOR:N[,N...]") +
           ", not '" + value + "'";
    return false;
  }
  if (!parseSelector(parts[0], &rule, err)) return false;
  rule.arg = rule.kind == Kind::kGarbage ? 16 : magic ? kDefaultMagicGarbage : 0;
  if (parts.size() == 3 &&
      !(parseUnsigned(parts[2], 1000000, &n) && (rule.arg = uint32_t(n), true))) {
    *err = "--" + name + ": bad number '" + parts[2] + "'";
    return false;
  }
  if (magic && rule.arg < kMinMagicGarbage) {
    *err = "--garbage-magic needs at least " + std::to_string(kMinMagicGarbage) + " bytes";
    return false;
  }
  for (const std::string& nth : split(parts[1], ',')) {
    if (nth == "*") {
      rule.nth = 0;
    } else if (parseUnsigned(nth, 0xFFFFFFFFu, &n) && n > 0) {
      rule.nth = uint32_t(n);
    } else {
      *err = "--" + name + ": occurrence must be a number from 1 or '*', not '" + nth + "'";
      return false;
    }
    rules_.push_back(rule);
  }
  return true;
}

bool CSimFaults::loadText(const std::string& text, std::string* err) {
  CSimFaults fresh;
  fresh.seed_ = seed_;
  fresh.rng_.seed(seed_);
  std::istringstream in(text);
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string name, value, extra;
    if (!(words >> name)) continue;
    while (name.size() > 0 && name[0] == '-') name.erase(0, 1);
    size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.erase(eq);
    } else {
      words >> value;
    }
    if (words >> extra) {
      *err = "line " + std::to_string(lineNo) + ": one option per line";
      return false;
    }
    std::string e;
    if (!fresh.addOption(name, value, &e)) {
      *err = "line " + std::to_string(lineNo) + ": " + e;
      return false;
    }
  }
  *this = fresh;
  return true;
}

namespace {

// Adds `name` to the decision's comma-separated list of what it does.
void note(CSimFaults::Decision* d, const char* name) {
  if (!d->what.empty()) d->what += ",";
  d->what += name;
}

}  // namespace

void CSimFaults::applyRule(const Rule& r, Decision* d) {
  switch (r.kind) {
    case Kind::kDrop:
      d->drop = true;
      note(d, "drop");
      break;
    case Kind::kFail:
      d->fail = true;
      note(d, "fail");
      break;
    case Kind::kCorrupt:
      d->corrupt = true;
      note(d, "corrupt");
      break;
    case Kind::kGarbage:
      d->garbageBytes += r.arg;
      note(d, "garbage");
      break;
    case Kind::kGarbageMagic:
      d->magicGarbageBytes += r.arg;
      note(d, "garbage_magic");
      break;
    case Kind::kDelay:
      d->delayMs += r.arg;
      note(d, "delay");
      break;
  }
}

void CSimFaults::applyRandom(Decision* d) {
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  static const char* const kRandomNames[5] = {"random_drop", "random_fail", "random_corrupt",
                                              "random_garbage", "random_garbage_magic"};
  for (int k = 0; k < 5; ++k) {
    if (randomP_[k] <= 0.0 || uni(rng_) >= randomP_[k]) continue;
    note(d, kRandomNames[k]);
    if (k == 0) d->drop = true;
    if (k == 1) d->fail = true;
    if (k == 2) d->corrupt = true;
    if (k == 3) d->garbageBytes += 16;
    if (k == 4) d->magicGarbageBytes += kDefaultMagicGarbage;
  }
}

CSimFaults::Decision CSimFaults::decide(const SimFrame& request, uint32_t requestsOnLink) {
  Decision d;
  ++requests_;
  uint32_t byCmd = ++counts_[{request.cmd, -1}];
  uint32_t byPair = ++counts_[{request.cmd, request.data}];
  if (muted_ || (muteAfter_ >= 0 && requests_ > uint64_t(muteAfter_))) {
    muted_ = true;
    d.mute = true;
    d.drop = true;
    d.what = "mute";
    return d;
  }
  d.delayMs = delayAllMs_;
  for (const Rule& r : rules_) {
    if (r.cmd >= 0 && r.cmd != request.cmd) continue;
    if (r.data >= 0 && r.data != request.data) continue;
    uint32_t count = r.data >= 0 ? byPair : byCmd;
    if (r.nth != 0 && r.nth != count) continue;
    applyRule(r, &d);
  }
  applyRandom(&d);
  if (closeAfter_ && !closeDone_ && requestsOnLink >= closeAfter_) {
    closeDone_ = true;
    d.closeAfter = true;
    note(&d, "close");
  }
  if (resetAfter_ && !resetDone_ && requestsOnLink >= resetAfter_) {
    resetDone_ = true;
    d.closeAfter = true;
    d.resetAfter = true;
    note(&d, "reset");
  }
  if (d.garbageBytes) garbage(d.garbageBytes, &d.garbage);
  if (d.magicGarbageBytes) magicGarbage(d.magicGarbageBytes, &d.garbage);
  return d;
}

void CSimFaults::garbage(uint32_t n, std::string* out) {
  std::uniform_int_distribution<int> byte(0, 255);
  for (uint32_t i = 0; i < n; ++i) {
    int b = byte(rng_);
    out->push_back(char(b == 0x5A ? 0xA5 : b));
  }
}

namespace {

constexpr uint8_t kMagicByte = 0x5A;
constexpr uint32_t kHeaderSize = 20;

// Replaces magic bytes inside a header field so that a magic run appears
// only where it is meant to.
uint32_t withoutMagicBytes(uint32_t v) {
  for (int i = 0; i < 4; ++i)
    if (((v >> (8 * i)) & 0xFF) == kMagicByte) v ^= uint32_t(0x01) << (8 * i);
  return v;
}

void appendU32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(char(uint8_t(v >> (8 * i))));
}

}  // namespace

void CSimFaults::magicGarbage(uint32_t n, std::string* out) {
  if (n < kMinMagicGarbage) n = kMinMagicGarbage;
  const size_t end = out->size() + n;
  auto draw = [this](uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng_);
  };
  // A false header; `length` is what it claims, `payload` the bytes that
  // follow it (noise), and the checksum never matches.
  auto falseHeader = [&](uint32_t length, uint32_t payload) {
    uint32_t frame = withoutMagicBytes(draw(0, 0xFFFFFFFFu));
    uint16_t cmd = uint16_t(draw(0, 8));
    uint16_t data = uint16_t(draw(0, 9));
    std::string body;
    garbage(payload, &body);
    uint32_t sum = 0x5A5A5A5Au + frame + cmd + data + length;
    for (char c : body) sum += uint8_t(c);
    uint32_t check;
    do {
      check = withoutMagicBytes(sum + draw(1, 0xFFFFFFFEu));
    } while (check == sum);
    out->append(4, char(kMagicByte));
    appendU32(out, frame);
    out->push_back(char(cmd));
    out->push_back(char(cmd >> 8));
    out->push_back(char(data));
    out->push_back(char(data >> 8));
    appendU32(out, length);
    appendU32(out, check);
    out->append(body);
  };
  while (out->size() < end) {
    size_t left = end - out->size();
    if (left <= kHeaderSize) {
      garbage(uint32_t(left), out);
      break;
    }
    switch (draw(0, 4)) {
      case 0:  // noise
        garbage(draw(1, uint32_t(std::min<size_t>(8, left))), out);
        break;
      case 1: {  // a run of 1-3 magic bytes broken by a noise byte
        uint32_t run = draw(1, 3);
        out->append(run, char(kMagicByte));
        garbage(1, out);
        break;
      }
      case 2:  // a length that cannot even cover the header
        falseHeader(draw(0, kHeaderSize - 1), 0);
        break;
      case 3:  // a length far beyond any packet or receive buffer
        falseHeader(withoutMagicBytes(draw(0x10000000u, 0xFFFFFFFFu)), 0);
        break;
      default: {  // a whole short packet with a wrong checksum
        uint32_t payload = draw(0, uint32_t(std::min<size_t>(24, left - kHeaderSize)));
        falseHeader(kHeaderSize + payload, payload);
        break;
      }
    }
  }
}

}  // namespace jyxsim

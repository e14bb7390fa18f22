#include "sim/controller.h"

#include <cstring>

namespace jyxsim {

namespace {

// Request payload sizes fixed by the wire format.
constexpr size_t kGpioPayload = 8;
constexpr size_t kPowerPayload = 40;
constexpr size_t kSpiCtrlPayload = 8;
constexpr size_t kSectorHeader = 8;
constexpr size_t kRegPayload = 16;
constexpr size_t kRegMaxData = 12;
constexpr size_t kUartPayload = 4;
constexpr size_t kMaxString = 255;
// POST replies carry at most this many codes (two bytes each).
constexpr size_t kMaxPostCodes = 128;

std::string hexWord(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof(buf), "0x%08x", v);
  return buf;
}

// The decoded payload of a reply, by its data type.
void describeReply(const SimFrame& f, COpsRecord& r) {
  const uint8_t* p = f.payload.data();
  size_t n = f.payload.size();
  switch (f.data) {
    case GPIO_DATA:
      if (n >= 4) r.str("op", p[0] ? "set" : "read").num("gpio", getU16(p + 2)).num("level", p[1]);
      return;
    case SPI_CTRL_INFO_DATA:
      if (n >= 8)
        r.str("flash_id", hexWord(getU32(p)))
            .num("sec_size", getU16(p + 4))
            .num("sec_num", getU16(p + 6));
      return;
    case SPI_DATA:
      if (n >= 8)
        r.num("sector", getU32(p)).num("sec_size", getU16(p + 4)).num("sec_num", getU16(p + 6));
      return;
    case SPI_REG_DATA:
      if (n >= 4)
        r.num("count", getU16(p + 2))
            .hex("bytes", p + 4, n - 4, std::min<size_t>(getU16(p + 2), 12));
      return;
    case UART_DATA_TYPE:
      if (n >= 1) r.num("enable", p[0]);
      return;
    case POST_DATA:
      if (n >= 4) r.num("count", getU32(p)).hex("codes", p + 4, n - 4, 64);
      return;
    case STRING_DATA:
      r.str("text", std::string(reinterpret_cast<const char*>(p), n));
      return;
    case POWER_DATA:
      r.hex("ic_ids", p, n, 24);
      return;
    default:
      return;
  }
}

// The decoded payload of a request, by its command.
void describeRequest(const SimFrame& f, COpsRecord& r) {
  const uint8_t* p = f.payload.data();
  size_t n = f.payload.size();
  switch (f.cmd) {
    case GPIO_CTRL:
      if (n >= 4) r.str("op", p[0] ? "set" : "read").num("gpio", getU16(p + 2)).num("level", p[1]);
      return;
    case POWER_CTRL:
      if (n >= kPowerPayload)
        r.num("enable", getU16(p))
            .str("mask0", hexWord(getU32(p + 4)))
            .str("mask1", hexWord(getU32(p + 8)))
            .str("mask2", hexWord(getU32(p + 12)))
            .hex("ic_addrs", p + 16, 24, 24);
      return;
    case SPI_CTRL:
      if (f.data == SPI_CTRL_INFO_DATA && n >= 8)
        r.num("enable", getU16(p))
            .num("security", getU16(p + 2))
            .num("access_id", getU16(p + 4))
            .num("erase_id", getU16(p + 6));
      else if (f.data == SPI_DATA && n >= 8)
        r.num("sector", getU32(p)).num("sec_size", getU16(p + 4)).num("sec_num", getU16(p + 6));
      else if (f.data == SPI_REG_DATA && n >= 4) {
        char reg[8];
        snprintf(reg, sizeof(reg), "0x%02x", p[1]);
        r.str("direction", p[0] ? "read" : "write")
            .str("register", reg)
            .num("count", getU16(p + 2));
        if (!p[0]) r.hex("bytes", p + 4, n - 4, std::min<size_t>(getU16(p + 2), 12));
      }
      return;
    case SPI_READ:
      if (n >= 8)
        r.num("sector", getU32(p)).num("sec_size", getU16(p + 4)).num("sec_num", getU16(p + 6));
      return;
    case UART_CTRL:
      if (n >= 1) r.num("enable", p[0]);
      return;
    case STRING_CMD:
      r.str("text", std::string(reinterpret_cast<const char*>(p), n));
      return;
    default:
      return;
  }
}

// Decoded payload fields for the ops log; unknown or short payloads only
// get their length (already in the header keys).
void describe(const SimFrame& f, bool reply, COpsRecord& r) {
  if (reply && f.cmd == DEVICE_ACK && f.data == NO_DATA) return;
  if (reply) {
    describeReply(f, r);
  } else {
    describeRequest(f, r);
  }
}

}  // namespace

CSimController::CSimController(const Config& config, CSimFaults* faults, COpsLog* log)
    : config_(config), faults_(faults), log_(log), target_(config.target), power_(config.power) {}

bool CSimController::init(uint64_t nowUs, std::string* err) {
  startUs_ = nowUs;
  if (!flash_.open(config_.flash, err)) return false;
  target_.setFlashInfoSource([this] {
    CSimTarget::FlashInfo info;
    info.id = flash_.jedecId();
    info.sizeBytes = flash_.size();
    info.crc32 = flash_.bootCrc();
    return info;
  });
  for (const auto& gl : config_.gpioLevels) {
    if (!CSimTarget::isOutput(gl.first)) {
      *err = "GPIO " + std::to_string(gl.first) + " is not a controller output (64-79)";
      return false;
    }
    target_.setGpio(gl.first, gl.second, nowUs);
  }
  const std::string& s = config_.initialState;
  if (s != "off" && s != "on" && s != "running" && s != "fastboot") {
    *err = "unknown initial target state '" + s + "' (off, on, running, fastboot)";
    return false;
  }
  if (s != "off") target_.setGpio(kGpioPwrOff, 1, nowUs);
  if (s == "running" || s == "fastboot") {
    target_.setGpio(kGpioPowerBtn2, s == "fastboot" ? 0 : 1, nowUs);
    target_.setGpio(kGpioPwrBtn, 0, nowUs);
    target_.setGpio(kGpioPwrBtn, 1, nowUs);
    // Let the whole boot happen before anybody listens.
    target_.advance(nowUs + uint64_t(config_.target.bootMs) * 1000 + 1);
    for (int u = 0; u < kUartCount; ++u) {
      std::string drop;
      target_.takeUartOutput(u, &drop);
    }
  }
  target_.setStateListener([this](TargetState from, TargetState to) {
    COpsRecord(log_, "event")
        .str("event", "target_state")
        .str("from", targetStateName(from))
        .str("to", targetStateName(to));
    if (to == TargetState::kOff || to == TargetState::kOn) {
      // Without main power the monitored rails read (almost) nothing; the
      // reports keep streaming, only their values change.
    }
  });
  return true;
}

int CSimController::selectedUart() const {
  uint8_t sel0 = 0, sel1 = 0;
  target_.readGpio(kGpioUartSel0, &sel0);
  target_.readGpio(kGpioUartSel1, &sel1);
  return sel1 * 2 + sel0;
}

bool CSimController::linesToController() const {
  uint8_t en = 1, sel = 1;
  target_.readGpio(kGpioSpiPrgEn, &en);
  target_.readGpio(kGpioSpiPrgSel, &sel);
  return en == 0 && sel == 0;
}

void CSimController::event(const char* name, const char* key, const std::string& value) {
  COpsRecord(log_, "event").str("event", name).str(key, value);
}

void CSimController::onPacketClientConnected(uint64_t nowUs) {
  packetClient_ = true;
  // Replies still waiting belong to the old link.
  outbox_.clear();
  COpsRecord(log_, "event").str("event", "packet_client").str("state", "connected");
}

void CSimController::onPacketClientClosed(uint64_t nowUs) {
  packetClient_ = false;
  outbox_.clear();
  if (power_.enabled()) power_.stop();
  COpsRecord(log_, "event").str("event", "packet_client").str("state", "closed");
}

void CSimController::onSessionReset(uint64_t nowUs) {
  COpsRecord(log_, "event").str("event", "session_reset");
  if (forwarding_) {
    forwarding_ = false;
    event("uart_forwarding", "state", "off");
  }
}

void CSimController::onLogClientConnected(uint64_t nowUs) {
  COpsRecord(log_, "event").str("event", "log_client").str("state", "connected");
}

void CSimController::onRequest(const SimFrame& req, uint64_t nowUs, uint32_t requestsOnLink) {
  {
    COpsRecord rec(log_, "rx", req, false);
    describe(req, false, rec);
  }
  CSimFaults::Decision d = faults_->decide(req, requestsOnLink);
  Pending pending;
  handle(req, nowUs, &pending.reply);
  if (d.fail && pending.reply.frame.data != NO_DATA) {
    fail(req, &pending.reply, "fault injection");
    pending.reply.extra.clear();
    pending.reply.extraText.clear();
  }
  if (d.drop) {
    COpsRecord rec(log_, "drop", pending.reply.frame, true);
    describe(pending.reply.frame, true, rec);
    rec.str("fault", d.what);
    if (d.closeAfter) queue(Pending{Reply{}, d, false, 0}, nowUs);  // close marker only
    return;
  }
  pending.faults = d;
  uint64_t due = nowUs + pending.reply.delayUs + uint64_t(d.delayMs) * 1000;
  queue(std::move(pending), due);
}

void CSimController::queue(Pending pending, uint64_t dueUs) {
  outbox_.emplace(std::make_pair(dueUs, seq_++), std::move(pending));
}

bool CSimController::takeDue(uint64_t nowUs, Outgoing* out) {
  if (outbox_.empty() || outbox_.begin()->first.first > nowUs) return false;
  auto it = outbox_.begin();
  Pending& p = it->second;
  out->dueUs = it->first.first;
  out->bytes.clear();
  out->closeAfter = p.faults.closeAfter;
  out->resetAfter = p.faults.resetAfter;
  out->report = p.report;
  if (p.faults.drop) {
    // A dropped reply that only carries the link close.
    outbox_.erase(it);
    return true;
  }
  out->bytes.append(p.faults.garbage);
  size_t at = out->bytes.size();
  encodeFrame(p.reply.frame, &out->bytes);
  if (p.faults.corrupt) {
    // Break the stored checksum (header offset 16) so the receiver drops it.
    out->bytes[at + 16] = char(out->bytes[at + 16] ^ 0x01);
  }
  {
    COpsRecord rec(log_, p.report ? "report" : "tx", p.reply.frame, true);
    if (p.report) {
      const uint8_t* q = p.reply.frame.payload.data();
      rec.unum("timestamp_us", getU64(q))
          .num("frames", getU16(q + 8))
          .num("rails", power_.railCount());
    } else {
      describe(p.reply.frame, true, rec);
    }
    for (const auto& kv : p.reply.extra) rec.num(kv.first.c_str(), kv.second);
    for (const auto& kv : p.reply.extraText) rec.str(kv.first.c_str(), kv.second);
    if (!p.reply.reason.empty()) rec.str("reason", p.reply.reason);
    if (!p.faults.what.empty()) rec.str("fault", p.faults.what);
    uint32_t garbageBytes = p.faults.garbageBytes + p.faults.magicGarbageBytes;
    if (garbageBytes) rec.num("garbage_bytes", garbageBytes);
  }
  outbox_.erase(it);
  return true;
}

void CSimController::takeLogText(std::string* out) {
  out->append(logText_);
  logText_.clear();
}

void CSimController::tick(uint64_t nowUs) {
  target_.advance(nowUs);
  int uart = selectedUart();
  if (uart != lastUart_) {
    lastUart_ = uart;
  }
  for (int u = 0; u < kUartCount; ++u) {
    std::string text;
    target_.takeUartOutput(u, &text);
    // The mux passes only the selected UART, and only while forwarding is
    // on; everything else the target prints is lost, as on the bench.
    if (text.empty() || !forwarding_ || u != uart) continue;
    COpsRecord(log_, "log").num("uart", u).str("uart_name", uartName(u)).str("text", text);
    if (logText_.size() < (4u << 20)) logText_ += text;
  }
  if (power_.enabled() && nowUs >= power_.nextReportUs() && !faults_->muted()) {
    for (;;) {
      Pending p;
      p.report = true;
      p.reply.frame.cmd = POWER_CTRL;
      p.reply.frame.data = POWER_DATA;
      int frames = power_.makeReport(controllerClock(nowUs), target_.loadFactor(nowUs),
                                     &p.reply.frame.payload);
      if (frames == 0) break;
      p.frames = frames;
      queue(std::move(p), nowUs);
    }
  }
}

uint64_t CSimController::nextWakeUs() const {
  uint64_t t = target_.nextEventUs();
  if (power_.enabled()) {
    uint64_t r = power_.nextReportUs() - 1000000 + startUs_;  // controller clock -> now
    if (r < t) t = r;
  }
  if (!outbox_.empty() && outbox_.begin()->first.first < t) t = outbox_.begin()->first.first;
  return t;
}

bool CSimController::fail(const SimFrame& req, Reply* reply, const char* reason) {
  reply->frame.frame = req.frame;
  reply->frame.cmd = DEVICE_ACK;
  reply->frame.data = NO_DATA;
  // The refusal echoes the first bytes of the request (e.g. the sector
  // header) so the tool's dump shows what was refused.
  size_t n = std::min<size_t>(req.payload.size(), 8);
  reply->frame.payload.assign(req.payload.begin(), req.payload.begin() + n);
  reply->reason = reason;
  reply->delayUs = 0;
  return false;
}

void CSimController::handle(const SimFrame& req, uint64_t nowUs, Reply* reply) {
  reply->frame.frame = req.frame;
  reply->frame.cmd = DEVICE_ACK;
  reply->frame.payload.clear();
  switch (req.cmd) {
    case HEART_BEAT:
      if (!req.payload.empty()) {
        fail(req, reply, "heartbeat with a payload");
        return;
      }
      reply->frame.data = HEART_BEAT_DATA;
      return;
    case GPIO_CTRL:
      handleGpio(req, nowUs, reply);
      return;
    case POWER_CTRL:
      handlePower(req, nowUs, reply);
      return;
    case SPI_CTRL:
      handleSpiCtrl(req, nowUs, reply);
      return;
    case SPI_READ:
      handleSectorRead(req, reply);
      return;
    case UART_CTRL:
      if (req.payload.size() != kUartPayload) {
        fail(req, reply, "UART request payload is not 4 bytes");
        return;
      }
      if (forwarding_ != (req.payload[0] != 0)) {
        forwarding_ = req.payload[0] != 0;
        event("uart_forwarding", "state", forwarding_ ? "on" : "off");
      }
      reply->frame.data = UART_DATA_TYPE;
      reply->frame.payload.assign(kUartPayload, 0);
      reply->frame.payload[0] = forwarding_ ? 1 : 0;
      reply->extra.push_back({"uart", selectedUart()});
      return;
    case POST_CTRL: {
      if (!req.payload.empty()) {
        fail(req, reply, "POST request with a payload");
        return;
      }
      const std::vector<uint16_t>& codes = target_.postCodes();
      size_t count = std::min(codes.size(), kMaxPostCodes);
      size_t first = codes.size() - count;  // newest codes when there are more
      reply->frame.data = POST_DATA;
      reply->frame.payload.assign(4 + 2 * count, 0);
      putU32(reply->frame.payload.data(), uint32_t(2 * count));
      for (size_t i = 0; i < count; ++i) {
        // High byte first: the tool prints each pair of bytes as one code.
        reply->frame.payload[4 + 2 * i] = uint8_t(codes[first + i] >> 8);
        reply->frame.payload[5 + 2 * i] = uint8_t(codes[first + i]);
      }
      return;
    }
    case STRING_CMD:
      handleString(req, nowUs, reply);
      return;
    default:
      fail(req, reply, "unknown command type");
      return;
  }
}

void CSimController::handleGpio(const SimFrame& req, uint64_t nowUs, Reply* reply) {
  if (req.payload.size() != kGpioPayload) {
    fail(req, reply, "GPIO request payload is not 8 bytes");
    return;
  }
  uint8_t op = req.payload[0];
  uint8_t level = req.payload[1];
  uint16_t num = getU16(&req.payload[2]);
  if (op > 1 || level > 1) {
    fail(req, reply, "GPIO operation or level out of range");
    return;
  }
  if (op == 1) {
    bool wasProgramming = programming_;
    int oldUart = selectedUart();
    if (!target_.setGpio(num, level, nowUs)) {
      fail(req, reply, "GPIO is not a controller output");
      return;
    }
    if (wasProgramming && !linesToController())
      leaveProgramming("flash lines returned to the target");
    if (selectedUart() != oldUart) {
      event("uart_select", "uart", uartName(selectedUart()));
    }
  }
  uint8_t now = 0;
  if (!target_.readGpio(num, &now)) {
    fail(req, reply, "no such GPIO");
    return;
  }
  reply->frame.data = GPIO_DATA;
  reply->frame.payload.assign(kGpioPayload, 0);
  reply->frame.payload[0] = op;
  reply->frame.payload[1] = now;
  putU16(&reply->frame.payload[2], num);
  reply->extraText.push_back({"target_state", targetStateName(target_.state())});
}

void CSimController::handlePower(const SimFrame& req, uint64_t nowUs, Reply* reply) {
  if (req.payload.size() != kPowerPayload) {
    fail(req, reply, "power request payload is not 40 bytes");
    return;
  }
  const uint8_t* p = req.payload.data();
  uint16_t enable = getU16(p);
  uint8_t ids[CSimPowerRails::kSlots] = {};
  if (enable) {
    uint8_t grp = 1;
    target_.readGpio(kGpioPwrGrp, &grp);
    if (grp != 0) {
      // PWRGRP low routes the monitor ICs' bus to the controller.
      fail(req, reply, "PWRGRP is high: power monitor bus not selected");
      return;
    }
    uint32_t mask[3] = {getU32(p + 4), getU32(p + 8), getU32(p + 12)};
    power_.start(mask, p + 16, controllerClock(nowUs), ids);
    event("power_sampling", "state", "on");
  } else {
    if (power_.enabled()) event("power_sampling", "state", "off");
    power_.stop();
  }
  reply->frame.data = POWER_DATA;
  reply->frame.payload.assign(ids, ids + CSimPowerRails::kSlots);
  reply->extra.push_back({"rails", enable ? power_.railCount() : 0});
}

std::vector<uint32_t> CSimController::copyOffsets() const {
  std::vector<uint32_t> offsets;
  for (int c = 0; c < 16; ++c)
    if (accessId_ & (1u << c)) offsets.push_back(uint32_t(c) * kSecureCopyBytes);
  return offsets;
}

void CSimController::leaveProgramming(const char* why) {
  if (!programming_) return;
  programming_ = false;
  secure_ = false;
  accessId_ = eraseId_ = 0;
  event("spi_programming", "state", std::string("off: ") + why);
}

void CSimController::handleSpiCtrl(const SimFrame& req, uint64_t nowUs, Reply* reply) {
  // Leaving programming mode touches no flash line, so it is accepted
  // whoever holds them (the tool sends it before every flow to clean up).
  bool leave = req.data == SPI_CTRL_INFO_DATA && req.payload.size() == kSpiCtrlPayload &&
               getU16(req.payload.data()) == 0;
  if (!leave && !linesToController()) {
    fail(req, reply, "flash lines are with the target (SPI_PRG_SEL/SPI_PRG_EN not both 0)");
    return;
  }
  if (req.data == SPI_DATA) {
    handleSectorWrite(req, reply);
    return;
  }
  if (req.data == SPI_REG_DATA) {
    handleRegister(req, reply);
    return;
  }
  if (req.data != SPI_CTRL_INFO_DATA) {
    fail(req, reply, "unknown SPI_CTRL data type");
    return;
  }
  if (req.payload.size() != kSpiCtrlPayload) {
    fail(req, reply, "SPI control payload is not 8 bytes");
    return;
  }
  const uint8_t* p = req.payload.data();
  uint16_t enable = getU16(p), security = getU16(p + 2);
  uint16_t access = getU16(p + 4), erase = getU16(p + 6);
  if (enable > 1 || security > 1) {
    fail(req, reply, "SPI control enable or security out of range");
    return;
  }
  uint32_t sectors = flash_.sectorCount();
  if (enable) {
    if (security) {
      if (!enterSecureLayout(req, access, erase, reply)) return;
      sectors = kSecureCopyBytes / CSimSpiFlash::kSectorSize;
    }
    programming_ = true;
    secure_ = security != 0;
    accessId_ = security ? access : 0;
    eraseId_ = security ? erase : 0;
    event("spi_programming", "state", secure_ ? "on (security layout)" : "on");
  } else {
    leaveProgramming("leave request");
  }
  reply->frame.data = SPI_CTRL_INFO_DATA;
  reply->frame.payload.assign(8, 0);
  putU32(&reply->frame.payload[0], flash_.jedecId());
  putU16(&reply->frame.payload[4], CSimSpiFlash::kSectorSize);
  putU16(&reply->frame.payload[6], uint16_t(sectors > 65535 ? 65535 : sectors));
}

bool CSimController::enterSecureLayout(const SimFrame& req, uint16_t access, uint16_t erase,
                                       Reply* reply) {
  if (access == 0) {
    fail(req, reply, "security layout with access id 0 selects no copy");
    return false;
  }
  for (int c = 0; c < 16; ++c) {
    if (((access | erase) & (1u << c)) && uint64_t(c + 1) * kSecureCopyBytes > flash_.size()) {
      fail(req, reply, "access or erase id selects a copy beyond the flash");
      return false;
    }
  }
  // The erase id names the copies wiped on entry; a protected copy
  // refuses the whole request before anything is erased.
  for (int c = 0; c < 16; ++c) {
    if ((erase & (1u << c)) && flash_.isProtected(c * kSecureCopyBytes, kSecureCopyBytes)) {
      fail(req, reply, "erase id selects a protected copy");
      return false;
    }
  }
  int erased = 0;
  for (int c = 0; c < 16; ++c) {
    if (erase & (1u << c)) {
      flash_.erase(c * kSecureCopyBytes, kSecureCopyBytes);
      ++erased;
    }
  }
  reply->delayUs = uint32_t(uint64_t(erased) * (kSecureCopyBytes / CSimSpiFlash::kSectorSize) *
                            config_.eraseUsPerSector);
  reply->extra.push_back({"erased_copies", erased});
  return true;
}

void CSimController::handleSectorWrite(const SimFrame& req, Reply* reply) {
  const std::vector<uint8_t>& pl = req.payload;
  if (pl.size() < kSectorHeader) {
    fail(req, reply, "sector write shorter than its sector header");
    return;
  }
  uint32_t index = getU32(&pl[0]);
  uint16_t secSize = getU16(&pl[4]), secNum = getU16(&pl[6]);
  if (secSize != pl.size() - kSectorHeader) {
    fail(req, reply, "sector size field does not match the data length");
    return;
  }
  if (secSize != CSimSpiFlash::kSectorSize || secNum != 1) {
    fail(req, reply, "sector writes carry exactly one 4096-byte sector");
    return;
  }
  if (!programming_) {
    fail(req, reply, "sector write outside programming mode");
    return;
  }
  std::vector<uint32_t> targets;
  if (secure_) {
    if (uint64_t(index) * CSimSpiFlash::kSectorSize >= kSecureCopyBytes) {
      fail(req, reply, "sector beyond the 2 MiB copy");
      return;
    }
    for (uint32_t off : copyOffsets()) targets.push_back(off / CSimSpiFlash::kSectorSize + index);
  } else {
    targets.push_back(index);
  }
  for (uint32_t t : targets) {
    if (t >= flash_.sectorCount()) {
      fail(req, reply, "sector beyond the end of the flash");
      return;
    }
    if (flash_.isProtected(t * CSimSpiFlash::kSectorSize, CSimSpiFlash::kSectorSize)) {
      fail(req, reply, "sector inside the block-protected range");
      return;
    }
  }
  for (uint32_t t : targets) flash_.writeSector(t, &pl[kSectorHeader], secSize);
  reply->frame.data = SPI_DATA;
  reply->delayUs = config_.eraseUsPerSector + config_.programUsPerSector;
  if (secure_) reply->extra.push_back({"copies", int64_t(targets.size())});
}

void CSimController::handleSectorRead(const SimFrame& req, Reply* reply) {
  const std::vector<uint8_t>& pl = req.payload;
  if (pl.size() != kSectorHeader) {
    fail(req, reply, "sector read request is not 8 bytes");
    return;
  }
  if (!linesToController()) {
    fail(req, reply, "flash lines are with the target (SPI_PRG_SEL/SPI_PRG_EN not both 0)");
    return;
  }
  uint32_t index = getU32(&pl[0]);
  uint16_t secSize = getU16(&pl[4]), secNum = getU16(&pl[6]);
  if (secSize == 0 || secSize > CSimSpiFlash::kSectorSize || secNum != 1) {
    fail(req, reply, "sector reads carry one sector of 1-4096 bytes");
    return;
  }
  uint64_t offset = uint64_t(index) * secSize;
  if (programming_ && secure_) {
    if (offset + secSize > kSecureCopyBytes) {
      fail(req, reply, "sector beyond the 2 MiB copy");
      return;
    }
    std::vector<uint32_t> copies = copyOffsets();
    offset += copies.empty() ? 0 : copies.front();
  }
  if (offset + secSize > flash_.size()) {
    fail(req, reply, "sector beyond the end of the flash");
    return;
  }
  reply->frame.data = SPI_DATA;
  reply->frame.payload.resize(kSectorHeader + secSize);
  memcpy(reply->frame.payload.data(), pl.data(), kSectorHeader);
  flash_.read(uint32_t(offset), secSize, reply->frame.payload.data() + kSectorHeader);
  reply->delayUs = config_.readUsPerSector;
}

void CSimController::handleRegister(const SimFrame& req, Reply* reply) {
  const std::vector<uint8_t>& pl = req.payload;
  if (pl.size() != kRegPayload) {
    fail(req, reply, "register request payload is not 16 bytes");
    return;
  }
  uint8_t direction = pl[0], opcode = pl[1];
  uint16_t count = getU16(&pl[2]);
  if (direction > 1 || count == 0 || count > kRegMaxData) {
    fail(req, reply, "register direction or byte count out of range");
    return;
  }
  uint8_t bytes[kRegMaxData] = {};
  CSimSpiFlash::Result r;
  if (direction == 1) {
    r = flash_.readRegister(opcode, count, bytes);
  } else {
    r = flash_.writeRegister(opcode, &pl[4], count);
    // The reply carries the register as read back after the write.
    if (r == CSimSpiFlash::Result::kOk) {
      uint8_t readOp = opcode == CSimSpiFlash::kWriteSr1   ? CSimSpiFlash::kReadSr1
                       : opcode == CSimSpiFlash::kWriteSr2 ? CSimSpiFlash::kReadSr2
                                                           : CSimSpiFlash::kReadSr3;
      flash_.readRegister(readOp, 1, bytes);
      if (opcode == CSimSpiFlash::kWriteSr1 && count >= 2) bytes[1] = flash_.sr(2);
    }
  }
  if (r != CSimSpiFlash::Result::kOk) {
    fail(req, reply,
         r == CSimSpiFlash::Result::kLocked ? "status registers locked (SRL)"
                                            : "unknown register opcode");
    return;
  }
  reply->frame.data = SPI_REG_DATA;
  reply->frame.payload.assign(kRegPayload, 0);
  putU16(&reply->frame.payload[2], count);
  memcpy(&reply->frame.payload[4], bytes, count);
  reply->extra.push_back({"sr1", flash_.sr(1)});
  reply->extra.push_back({"sr2", flash_.sr(2)});
  reply->extra.push_back({"sr3", flash_.sr(3)});
}

void CSimController::handleString(const SimFrame& req, uint64_t nowUs, Reply* reply) {
  if (req.payload.empty() || req.payload.size() > kMaxString) {
    fail(req, reply, "string command of 0 or more than 255 bytes");
    return;
  }
  std::string text(req.payload.begin(), req.payload.end());
  target_.consoleInput(selectedUart(), text, nowUs);
  reply->frame.data = STRING_DATA;
  reply->frame.payload = req.payload;
  reply->extra.push_back({"uart", selectedUart()});
}

}  // namespace jyxsim

#include "sim/ftdi_bridge.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "common/byte_order.h"
#include "common/string_format.h"
#include "ftd2xx/bridge_protocol.h"
#include "ftd2xx/ftd2xx.h"

namespace jyxsim {

namespace {

// Transmit buffer of one interface: a write is confirmed once the bytes
// not yet on the line fit into it.
constexpr size_t kTxBuffer = 4096;
// Bytes a paced line moves per wake-up of the event loop.
constexpr size_t kWakeSlice = 64;
// Connections the bridge serves at once (each open handle holds one).
constexpr size_t kMaxClients = 32;
// A client that lets this much output pile up has stopped reading.
constexpr size_t kMaxClientBacklog = 16u << 20;

// MPSSE opcodes the board's routing uses.
constexpr uint8_t kMpsseSetLow = 0x80;
constexpr uint8_t kMpsseGetLow = 0x81;
constexpr uint8_t kMpsseSetHigh = 0x82;
constexpr uint8_t kMpsseGetHigh = 0x83;
constexpr uint8_t kMpsseBadCommand = 0xFA;

const char* setOpName(uint8_t op) {
  switch (op) {
    case ftbridge::kSetBaudRate:
      return "baud";
    case ftbridge::kSetDataChars:
      return "data";
    case ftbridge::kSetFlowControl:
      return "flow";
    case ftbridge::kSetDtr:
      return "dtr";
    case ftbridge::kSetRts:
      return "rts";
    case ftbridge::kSetBitMode:
      return "bitmode";
    case ftbridge::kSetLatencyTimer:
      return "latency";
    case ftbridge::kSetTimeouts:
      return "timeouts";
    case ftbridge::kSetChars:
      return "chars";
    case ftbridge::kSetUsbParameters:
      return "usb";
    default:
      return nullptr;
  }
}

}  // namespace

void CSimBridge::Line::push(const uint8_t* data, size_t n, uint64_t now) {
  if (bytes.empty() && clockUs < double(now)) clockUs = double(now);
  bytes.insert(bytes.end(), data, data + n);
}

size_t CSimBridge::Line::take(uint64_t now, double byteUs, std::string* out) {
  if (bytes.empty() || double(now) < clockUs) return 0;
  size_t k = static_cast<size_t>((double(now) - clockUs) / byteUs);
  if (k > bytes.size()) k = bytes.size();
  out->append(bytes.begin(), bytes.begin() + static_cast<long>(k));
  bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(k));
  clockUs += double(k) * byteUs;
  return k;
}

uint64_t CSimBridge::Line::nextUs(double byteUs) const {
  if (bytes.empty()) return UINT64_MAX;
  // Wake for a slice of bytes at a time (the whole rest when shorter): the
  // end of every burst is exact, the middle costs fewer wake-ups.
  size_t slice = std::min<size_t>(bytes.size(), kWakeSlice);
  return static_cast<uint64_t>(std::ceil(clockUs + byteUs * double(slice)));
}

CSimBridge::CSimBridge(const Config& config, COpsLog* opsLog) : config_(config), ops_(opsLog) {
  CSimMcu::Config mainConfig = config_.main;
  mainConfig.slave = false;
  CSimMcu::Config slaveConfig = config_.slave;
  slaveConfig.slave = true;
  main_ = std::make_unique<CSimMcu>(mainConfig, opsLog);
  slave_ = std::make_unique<CSimMcu>(slaveConfig, opsLog);
  for (const std::string& serial : config_.serials) {
    Interface itf;
    itf.serial = serial;
    if (serial.compare(0, 3, "JYX") == 0 && !serial.empty()) {
      switch (serial.back()) {
        case 'B':
          itf.role = config_.oldWiring ? Role::kMainConsole : Role::kBootLines;
          break;
        case 'C':
          itf.role = config_.oldWiring ? Role::kBootLines : Role::kMainConsole;
          break;
        case 'D':
          itf.role = Role::kSlaveConsole;
          break;
        default:
          break;
      }
    }
    interfaces_.push_back(itf);
  }
}

CSimBridge::~CSimBridge() {
  for (Client& c : clients_) {
    if (c.fd >= 0) close(c.fd);
  }
  if (listenFd_ >= 0) {
    close(listenFd_);
    unlink(socketPath_.c_str());
  }
  if (ptyFd_ >= 0) {
    close(ptyFd_);
    unlink(ptyLink_.c_str());
  }
}

bool CSimBridge::listen(const std::string& path, std::string* err) {
  sockaddr_un sa{};
  if (path.empty() || path.size() >= sizeof(sa.sun_path)) {
    *err = "ftdi socket path too long: " + path;
    return false;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *err = "socket: " + jyx::errnoText(errno);
    return false;
  }
  sa.sun_family = AF_UNIX;
  memcpy(sa.sun_path, path.data(), path.size());
  unlink(path.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(fd, 8) != 0) {
    *err = "cannot listen on " + path + ": " + jyx::errnoText(errno);
    close(fd);
    return false;
  }
  listenFd_ = fd;
  socketPath_ = path;
  return true;
}

bool CSimBridge::openPty(const std::string& linkPath, std::string* err) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    *err = "pty: " + jyx::errnoText(errno);
    if (master >= 0) close(master);
    return false;
  }
  const char* slaveName = ptsname(master);
  // Holding the slave end open keeps the master readable without EIO
  // while no program has the tty open; raw mode keeps the line
  // discipline from echoing the MCU's output back to it.
  int slave = slaveName != nullptr ? open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (slave < 0) {
    *err = "pty slave: " + jyx::errnoText(errno);
    close(master);
    return false;
  }
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
  unlink(linkPath.c_str());
  if (symlink(slaveName, linkPath.c_str()) != 0) {
    *err = "cannot link " + linkPath + ": " + jyx::errnoText(errno);
    close(slave);
    close(master);
    return false;
  }
  // The slave descriptor is deliberately kept for the process's life.
  ptyFd_ = master;
  ptyLink_ = linkPath;
  return true;
}

void CSimBridge::addPollFds(std::vector<pollfd>* fds) {
  if (listenFd_ >= 0) fds->push_back({listenFd_, POLLIN, 0});
  if (ptyFd_ >= 0) fds->push_back({ptyFd_, POLLIN, 0});
  for (const Client& c : clients_) {
    if (c.fd < 0) continue;
    fds->push_back({c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
  }
}

void CSimBridge::onPoll(const pollfd* fds, size_t n, uint64_t now) {
  lastNow_ = now;
  for (size_t i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    if (fds[i].fd == listenFd_) {
      accept(now);
    } else if (fds[i].fd == ptyFd_) {
      readPty(now);
    } else {
      for (size_t id = 0; id < clients_.size(); ++id) {
        if (clients_[id].fd != fds[i].fd) continue;
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) readClient(id, now);
        if (clients_[id].fd >= 0 && (fds[i].revents & POLLOUT)) flushClient(id);
        break;
      }
    }
  }
}

void CSimBridge::accept(uint64_t now) {
  for (;;) {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    size_t id = 0;
    while (id < clients_.size() && clients_[id].fd >= 0) ++id;
    if (id == kMaxClients) {
      close(fd);  // more handles than the bridge serves: refused
      continue;
    }
    if (id == clients_.size()) clients_.emplace_back();
    clients_[id] = Client();
    clients_[id].fd = fd;
  }
}

void CSimBridge::readClient(size_t id, uint64_t now) {
  char buf[65536];
  for (;;) {
    ssize_t n = recv(clients_[id].fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n > 0) {
      clients_[id].in.append(buf, size_t(n));
      uint8_t type;
      std::string payload;
      int got;
      while (clients_[id].fd >= 0 &&
             (got = ftbridge::takeMessage(&clients_[id].in, &type, &payload)) == 1) {
        handle(id, type, payload, now);
      }
      if (clients_[id].fd < 0) return;
      if (got < 0) {
        release(id, now);
        return;
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    release(id, now);
    return;
  }
}

void CSimBridge::reply(size_t id, uint32_t status, uint32_t value, const std::string& extra) {
  uint8_t head[8];
  jyx::encodeFixed32(head, status);
  jyx::encodeFixed32(head + 4, value);
  std::string payload(reinterpret_cast<char*>(head), sizeof(head));
  payload += extra;
  clients_[id].out += ftbridge::message(ftbridge::kReply, payload.data(), payload.size());
  flushClient(id);
}

void CSimBridge::handle(size_t id, uint8_t type, const std::string& payload, uint64_t now) {
  Client& c = clients_[id];
  switch (type) {
    case ftbridge::kList: {
      std::string names;
      for (const Interface& itf : interfaces_) names += itf.serial + '\0';
      COpsRecord(ops_, "ftdi").str("event", "list").num("count", int64_t(interfaces_.size()));
      reply(id, FT_OK, static_cast<uint32_t>(interfaces_.size()), names);
      return;
    }
    case ftbridge::kOpen: {
      if (payload.size() != 4 || c.index >= 0) {
        reply(id, FT_INVALID_PARAMETER, 0);
        return;
      }
      uint32_t index = jyx::decodeFixed32(reinterpret_cast<const uint8_t*>(payload.data()));
      if (index >= interfaces_.size()) {
        reply(id, FT_DEVICE_NOT_FOUND, 0);
        return;
      }
      Interface& itf = interfaces_[index];
      if (itf.client >= 0) {
        COpsRecord(ops_, "ftdi").str("event", "open").num("index", index).str("error", "busy");
        reply(id, FT_DEVICE_NOT_OPENED, 0);
        return;
      }
      itf = released(itf);
      itf.client = static_cast<int>(id);
      c.index = static_cast<int>(index);
      COpsRecord(ops_, "ftdi").str("event", "open").num("index", index).str("serial", itf.serial);
      updatePins(now);
      reply(id, FT_OK, 0);
      return;
    }
    case ftbridge::kSet:
      handleSet(id, payload, now);
      return;
    case ftbridge::kWrite: {
      if (c.index < 0 || payload.empty() || payload.size() > ftbridge::kMaxWrite) {
        release(id, now);  // a broken client
        return;
      }
      Interface& itf = interfaces_[size_t(c.index)];
      itf.toDevice.push(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), now);
      itf.unconfirmed.push_back(static_cast<uint32_t>(payload.size()));
      tick(now);
      return;
    }
    case ftbridge::kClose:
      release(id, now);
      return;
    default:
      release(id, now);
      return;
  }
}

void CSimBridge::handleSet(size_t id, const std::string& payload, uint64_t now) {
  Client& c = clients_[id];
  const char* name = payload.size() == 12 ? setOpName(uint8_t(payload[0])) : nullptr;
  if (c.index < 0 || name == nullptr) {
    reply(id, FT_INVALID_PARAMETER, 0);
    return;
  }
  Interface& itf = interfaces_[size_t(c.index)];
  uint8_t op = uint8_t(payload[0]);
  uint32_t a = jyx::decodeFixed32(reinterpret_cast<const uint8_t*>(payload.data()) + 4);
  uint32_t b = jyx::decodeFixed32(reinterpret_cast<const uint8_t*>(payload.data()) + 8);
  COpsRecord record(ops_, "ftdi");
  record.str("event", "set").num("index", c.index).str("op", name).unum("a", a).unum("b", b);
  uint32_t status = FT_OK;
  switch (op) {
    case ftbridge::kSetBaudRate:
      // The chip's divisors reach 183 baud to 3 Mbaud on these interfaces.
      if (a < 183 || a > 3000000) {
        status = FT_INVALID_BAUD_RATE;
      } else {
        itf.baud = a;
      }
      break;
    case ftbridge::kSetDtr:
      itf.dtr = a != 0;
      break;
    case ftbridge::kSetRts:
      itf.rts = a != 0;
      break;
    case ftbridge::kSetBitMode:
      if (b != 0 && b != 1 && b != 2) {
        status = FT_INVALID_PARAMETER;
        break;
      }
      itf.bitMode = static_cast<uint8_t>(b);
      itf.bitMask = static_cast<uint8_t>(a);
      itf.mpsse.clear();
      break;
    default:
      break;
  }
  record.unum("status", status);
  record.done();
  if (op == ftbridge::kSetDtr || op == ftbridge::kSetRts) updatePins(now);
  reply(id, status, 0);
}

CSimBridge::Interface CSimBridge::released(const Interface& itf) {
  // The chip keeps its bit mode and pin levels across handles (a later
  // handle may read back what an earlier one set); the modem lines drop
  // and the buffers empty when the handle goes.
  Interface fresh;
  fresh.serial = itf.serial;
  fresh.role = itf.role;
  fresh.bitMode = itf.bitMode;
  fresh.bitMask = itf.bitMask;
  fresh.pins = itf.pins;
  fresh.direction = itf.direction;
  return fresh;
}

void CSimBridge::release(size_t id, uint64_t now) {
  Client& c = clients_[id];
  if (c.index >= 0) {
    Interface& itf = interfaces_[size_t(c.index)];
    COpsRecord(ops_, "ftdi").str("event", "close").num("index", c.index);
    // Bytes already handed to the bridge still reach the device; the lines
    // are released at once.
    std::string pending(itf.toDevice.bytes.begin(), itf.toDevice.bytes.end());
    itf.toDevice.bytes.clear();
    if (!pending.empty()) deviceBytes(&itf, pending, now);
    itf = released(itf);
    updatePins(now);
  }
  if (c.fd >= 0) close(c.fd);
  c = Client();
}

void CSimBridge::flushClient(size_t id) {
  Client& c = clients_[id];
  while (c.fd >= 0 && !c.out.empty()) {
    ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.out.erase(0, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (c.out.size() > kMaxClientBacklog) release(id, lastNow_);
      return;
    }
    release(id, lastNow_);
    return;
  }
}

void CSimBridge::updatePins(uint64_t now) {
  bool mainEn = true, mainIo0 = true, slaveEn = true, slaveIo0 = true;
  for (const Interface& itf : interfaces_) {
    if (itf.client < 0) continue;
    switch (itf.role) {
      case Role::kBootLines:
        mainEn = mainEn && !itf.rts;
        mainIo0 = mainIo0 && !itf.dtr;
        break;
      case Role::kMainConsole:
        mainEn = mainEn && !(itf.rts && !itf.dtr);
        mainIo0 = mainIo0 && !(itf.dtr && !itf.rts);
        break;
      case Role::kSlaveConsole:
        slaveEn = slaveEn && !(itf.rts && !itf.dtr);
        slaveIo0 = slaveIo0 && !(itf.dtr && !itf.rts);
        break;
      case Role::kNone:
        break;
    }
  }
  main_->setPins(mainEn, mainIo0, now);
  slave_->setPins(slaveEn, slaveIo0, now);
}

CSimMcu* CSimBridge::mcuOf(const Interface& itf) {
  if (itf.role == Role::kMainConsole) return main_.get();
  if (itf.role == Role::kSlaveConsole) return slave_.get();
  return nullptr;
}

void CSimBridge::mpsseBytes(Interface* itf, const std::string& bytes, uint64_t now) {
  itf->mpsse += bytes;
  size_t pos = 0;
  while (pos < itf->mpsse.size()) {
    uint8_t op = uint8_t(itf->mpsse[pos]);
    if (op == kMpsseSetLow || op == kMpsseSetHigh) {
      if (itf->mpsse.size() - pos < 3) break;
      uint8_t value = uint8_t(itf->mpsse[pos + 1]);
      uint8_t direction = uint8_t(itf->mpsse[pos + 2]);
      if (op == kMpsseSetLow) {
        itf->pins = value;
        itf->direction = direction;
      }
      COpsRecord(ops_, "ftdi")
          .str("event", "mpsse")
          .str("op", op == kMpsseSetLow ? "set_low" : "set_high")
          .unum("value", value)
          .unum("direction", direction);
      pos += 3;
    } else if (op == kMpsseGetLow || op == kMpsseGetHigh) {
      uint8_t value = op == kMpsseGetLow ? itf->pins : 0xFF;
      itf->toHost.push(&value, 1, now);
      COpsRecord(ops_, "ftdi")
          .str("event", "mpsse")
          .str("op", op == kMpsseGetLow ? "get_low" : "get_high")
          .unum("value", value);
      pos += 1;
    } else {
      uint8_t answer[2] = {kMpsseBadCommand, op};
      itf->toHost.push(answer, 2, now);
      COpsRecord(ops_, "ftdi").str("event", "mpsse").str("op", "bad").unum("value", op);
      pos += 1;
    }
  }
  itf->mpsse.erase(0, pos);
}

void CSimBridge::deviceBytes(Interface* itf, const std::string& bytes, uint64_t now) {
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (itf->bitMode == FT_BITMODE_ASYNC_BITBANG) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      itf->pins = static_cast<uint8_t>((itf->pins & ~itf->bitMask) | (p[i] & itf->bitMask));
      COpsRecord(ops_, "ftdi")
          .str("event", "bitbang")
          .num("index", itf->client >= 0 ? clients_[size_t(itf->client)].index : -1)
          .unum("value", p[i])
          .unum("mask", itf->bitMask)
          .unum("pins", itf->pins);
    }
    return;
  }
  if (itf->bitMode == FT_BITMODE_MPSSE) {
    mpsseBytes(itf, bytes, now);
    return;
  }
  CSimMcu* mcu = mcuOf(*itf);
  if (mcu == nullptr) return;  // nothing listens on this UART
  if (!mcu->acceptsBaud(itf->baud)) {
    // Framing errors at a wrong rate: the MCU hears nothing usable.
    COpsRecord(ops_, "ftdi")
        .str("event", "baud_mismatch")
        .str("mcu", mcu->name())
        .unum("host", itf->baud)
        .unum("mcu_baud", mcu->consoleBaud())
        .unum("bytes", bytes.size());
    return;
  }
  mcu->receive(p, bytes.size(), now);
}

void CSimBridge::readPty(uint64_t now) {
  uint8_t buf[4096];
  for (;;) {
    ssize_t n = read(ptyFd_, buf, sizeof(buf));
    if (n > 0) {
      main_->receive(buf, size_t(n), now);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;
  }
}

void CSimBridge::tick(uint64_t now) {
  lastNow_ = now;
  main_->tick(now);
  slave_->tick(now);
  std::string mainOut, slaveOut;
  main_->takeOutput(&mainOut);
  slave_->takeOutput(&slaveOut);
  if (ptyFd_ >= 0 && !mainOut.empty()) {
    // A tty that nobody drains drops what does not fit, as a UART would.
    ssize_t ignored = write(ptyFd_, mainOut.data(), mainOut.size());
    (void)ignored;
  }
  for (size_t index = 0; index < interfaces_.size(); ++index) {
    Interface& itf = interfaces_[index];
    if (itf.client < 0) continue;
    CSimMcu* mcu = mcuOf(itf);
    if (mcu != nullptr && itf.bitMode == 0) {
      const std::string& out = mcu == main_.get() ? mainOut : slaveOut;
      if (!out.empty() && mcu->acceptsBaud(itf.baud)) {
        itf.toHost.push(reinterpret_cast<const uint8_t*>(out.data()), out.size(), now);
      }
    }
    std::string arrived;
    if (itf.toDevice.take(now, itf.byteUs(), &arrived) > 0) {
      deviceBytes(&itf, arrived, now);
      // The device may have answered at once.
      if (mcu != nullptr) {
        std::string more;
        mcu->takeOutput(&more);
        if (!more.empty() && mcu->acceptsBaud(itf.baud) && itf.bitMode == 0) {
          itf.toHost.push(reinterpret_cast<const uint8_t*>(more.data()), more.size(), now);
        }
        if (!more.empty() && mcu == main_.get() && ptyFd_ >= 0) {
          ssize_t ignored = write(ptyFd_, more.data(), more.size());
          (void)ignored;
        }
      }
    }
    size_t id = size_t(itf.client);
    while (!itf.unconfirmed.empty() && itf.toDevice.bytes.size() <= kTxBuffer) {
      uint8_t count[4];
      jyx::encodeFixed32(count, itf.unconfirmed.front());
      itf.unconfirmed.pop_front();
      clients_[id].out += ftbridge::message(ftbridge::kWritten, count, sizeof(count));
    }
    std::string toHost;
    itf.toHost.take(now, itf.byteUs(), &toHost);
    for (size_t pos = 0; pos < toHost.size(); pos += ftbridge::kMaxWrite) {
      size_t n = std::min<size_t>(ftbridge::kMaxWrite, toHost.size() - pos);
      clients_[id].out += ftbridge::message(ftbridge::kData, toHost.data() + pos, n);
    }
    if (!clients_[id].out.empty()) flushClient(id);
  }
}

uint64_t CSimBridge::nextWakeUs() const {
  uint64_t wake = std::min(main_->nextWakeUs(), slave_->nextWakeUs());
  for (const Interface& itf : interfaces_) {
    if (itf.client < 0) continue;
    wake = std::min(wake, itf.toDevice.nextUs(itf.byteUs()));
    wake = std::min(wake, itf.toHost.nextUs(itf.byteUs()));
  }
  return wake;
}

}  // namespace jyxsim

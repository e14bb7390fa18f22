#include "jyx/protocol/package.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "common/api_manager.h"
#include "common/byte_order.h"
#include "common/channel.h"

namespace {

using namespace jyx;

// Sum of n unsigned bytes modulo 2^32. Eight bytes at a time: each 64-bit
// word is split into four 16-bit lanes of byte pairs (at most 510 per word),
// so a lane can take 128 words before it could overflow.
uint32_t sumBytes(const uint8_t* p, uint32_t n) {
  constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
  constexpr uint64_t kLowHalves = 0x0000FFFF0000FFFFull;
  uint32_t sum = 0;
  while (n >= 8) {
    uint32_t words = n / 8;
    if (words > 128) words = 128;
    uint64_t lanes = 0;
    for (uint32_t i = 0; i < words; ++i) {
      uint64_t w;
      memcpy(&w, p, 8);
      lanes += (w & kLowBytes) + ((w >> 8) & kLowBytes);
      p += 8;
    }
    n -= words * 8;
    lanes = (lanes & kLowHalves) + ((lanes >> 16) & kLowHalves);
    sum += static_cast<uint32_t>(lanes) + static_cast<uint32_t>(lanes >> 32);
  }
  while (n-- > 0) sum += *p++;
  return sum;
}

// Keeps at most kStringMaxText characters and ends them with "\n".
uint32_t stringPayload(const char* text, uint8_t* out) {
  size_t n = text ? strlen(text) : 0;
  if (n > kStringMaxText) n = kStringMaxText;
  if (n > 0) memcpy(out, text, n);
  if (n == 0 || out[n - 1] != '\n') out[n++] = '\n';
  return static_cast<uint32_t>(n);
}

// Largest payload stringData() copies; longer ones count as empty.
constexpr uint32_t kStringDataLimit = 32768;

// Payload layouts shared by a request and its acknowledge.
void gpioPayload(uint8_t (&p)[kGpioPayloadSize], uint8_t operation, uint8_t level,
                 uint16_t gpioNum) {
  memset(p, 0, sizeof(p));
  p[kGpioOperationOffset] = operation;
  p[kGpioLevelOffset] = level;
  encodeFixed16(p + kGpioNumOffset, gpioNum);
}

void sectorHeader(uint8_t* p, uint32_t secOffset, uint16_t secSize, uint16_t secNum) {
  encodeFixed32(p + kSecOffsetOffset, secOffset);
  encodeFixed16(p + kSecSizeOffset, secSize);
  encodeFixed16(p + kSecNumOffset, secNum);
}

// Copies `copied` data bytes (at most kSpiRegMaxData) after the count.
void spiRegPayload(uint8_t (&p)[kSpiRegPayloadSize], uint8_t direction, uint8_t command,
                   uint16_t count, const uint8_t* data, uint32_t copied) {
  memset(p, 0, sizeof(p));
  p[kSpiRegDirectionOffset] = direction;
  p[kSpiRegCommandOffset] = command;
  encodeFixed16(p + kSpiRegCountOffset, count);
  if (data != nullptr) memcpy(p + kSpiRegDataOffset, data, copied);
}

}  // namespace

CPackage::~CPackage() { delete[] data_; }

uint8_t* CPackage::data() { return data_; }

void CPackage::setData(uint8_t* data) {
  if (data == data_) return;
  delete[] data_;
  data_ = data;
}

uint32_t CPackage::size() { return size_; }

void CPackage::setSize(uint32_t size) {
  if (size <= capacity_) size_ = size;
}

uint32_t CPackage::capacity() { return capacity_; }
void CPackage::setCapacity(uint32_t capacity) { capacity_ = capacity; }
double CPackage::time() { return time_; }
void CPackage::setTime(double time) { time_ = time; }
PackageCallback CPackage::callback() { return callback_; }
void CPackage::setCallback(PackageCallback callback) { callback_ = std::move(callback); }
CPackage* CPackage::next() { return next_; }
void CPackage::setNext(CPackage* next) { next_ = next; }

void CPackage::reserve(uint32_t n) {
  if (data_ != nullptr && n <= capacity_) return;
  uint8_t* grown = new uint8_t[n > 0 ? n : 1];
  if (data_ != nullptr && size_ > 0) memcpy(grown, data_, size_);
  delete[] data_;
  data_ = grown;
  capacity_ = n;
}

void CPackage::append(const void* bytes, uint32_t n) {
  reserve(size_ + n);
  if (n > 0) memcpy(data_ + size_, bytes, n);
  size_ += n;
}

void CPackage::reset() {
  size_ = 0;
  callback_ = nullptr;
}

void CPackage::assign(const CPackage* other) {
  size_ = 0;
  if (other == nullptr || other == this) return;
  append(other->data_, other->size_);
}

void CPackage::finish(uint32_t frameNum, uint16_t cmdType, uint16_t dataType,
                      uint32_t payloadLength) {
  uint32_t length = kHeaderSize + payloadLength;
  memcpy(data_ + kMagicOffset, kPackageMagicBytes, 4);
  encodeFixed32(data_ + kFrameNumOffset, frameNum);
  encodeFixed16(data_ + kCmdTypeOffset, cmdType);
  encodeFixed16(data_ + kDataTypeOffset, dataType);
  encodeFixed32(data_ + kLengthOffset, length);
  size_ = length;
  encodeFixed32(data_ + kChecksumOffset, computeChecksum());
}

void CPackage::make(uint32_t frameNum, uint16_t cmdType, uint16_t dataType, const void* payload,
                    uint32_t payloadLength) {
  if (payload == nullptr) payloadLength = 0;
  size_ = 0;
  reserve(kHeaderSize + payloadLength);
  if (payloadLength > 0) memcpy(data_ + kHeaderSize, payload, payloadLength);
  finish(frameNum, cmdType, dataType, payloadLength);
}

void CPackage::makeHeartBeat(uint32_t frameNum) { make(frameNum, HEART_BEAT, NO_DATA, nullptr, 0); }

void CPackage::makeGpioCtrl(uint32_t frameNum, uint8_t operation, uint8_t level, uint16_t gpioNum) {
  uint8_t p[kGpioPayloadSize];
  gpioPayload(p, operation, level, gpioNum);
  make(frameNum, GPIO_CTRL, NO_DATA, p, sizeof(p));
}

void CPackage::makePowerCtrl(uint32_t frameNum, uint16_t enable, const uint32_t* mask,
                             const uint8_t* addresses) {
  uint8_t p[kPowerCtrlPayloadSize] = {};
  encodeFixed16(p + kPowerEnableOffset, enable);
  for (uint32_t i = 0; mask != nullptr && i < kPowerMaskWords; ++i) {
    encodeFixed32(p + kPowerMaskOffset + 4 * i, mask[i]);
  }
  if (addresses != nullptr) memcpy(p + kPowerAddressOffset, addresses, kPowerAddressCount);
  make(frameNum, POWER_CTRL, NO_DATA, p, sizeof(p));
}

void CPackage::makeSPICtrl(uint32_t frameNum, uint16_t enable, uint16_t security, uint16_t accessId,
                           uint16_t eraseId) {
  CAPIManager::instance()->print(
      "spi ctrl: (enable: %d, security: %d, access id: 0x%x, eraseID: 0x%x\n", enable, security,
      accessId, eraseId);
  uint8_t p[kSpiCtrlPayloadSize] = {};
  encodeFixed16(p + kSpiCtrlEnableOffset, enable);
  encodeFixed16(p + kSpiCtrlSecurityOffset, security);
  encodeFixed16(p + kSpiCtrlAccessIdOffset, accessId);
  encodeFixed16(p + kSpiCtrlEraseIdOffset, eraseId);
  make(frameNum, SPI_CTRL, SPI_CTRL_INFO_DATA, p, sizeof(p));
}

void CPackage::makeSPIData(uint32_t frameNum, uint32_t secOffset, const void* data,
                           uint16_t secSize) {
  makeSPIData(frameNum, secOffset, secSize, 1, data, secSize);
}

void CPackage::makeSPIData(uint32_t frameNum, uint32_t secOffset, uint16_t secSize, uint16_t secNum,
                           const void* data, uint32_t length) {
  size_ = 0;
  reserve(kSectorDataOffset + length);
  sectorHeader(data_ + kHeaderSize, secOffset, secSize, secNum);
  if (length > 0) {
    if (data != nullptr) {
      memcpy(data_ + kSectorDataOffset, data, length);
    } else {
      memset(data_ + kSectorDataOffset, 0, length);
    }
  }
  finish(frameNum, SPI_CTRL, SPI_DATA, kSectorHeaderSize + length);
}

void CPackage::makeSPIRead(uint32_t frameNum, uint32_t secOffset, uint16_t secSize,
                           uint16_t secNum) {
  uint8_t p[kSectorHeaderSize];
  sectorHeader(p, secOffset, secSize, secNum);
  make(frameNum, SPI_READ, SPI_DATA, p, sizeof(p));
}

void CPackage::makeSPIReg(uint32_t frameNum, uint8_t direction, uint8_t command, uint16_t count,
                          const uint8_t* data) {
  uint8_t p[kSpiRegPayloadSize];
  // The controller expects the data bytes only for counts below 12.
  spiRegPayload(p, direction, command, count, data, count < kSpiRegMaxData ? count : 0);
  make(frameNum, SPI_CTRL, SPI_REG_DATA, p, sizeof(p));
}

void CPackage::makeUartCtrl(uint32_t frameNum, uint8_t enable) {
  uint8_t p[kUartPayloadSize] = {};
  p[kUartEnableOffset] = enable;
  make(frameNum, UART_CTRL, NO_DATA, p, sizeof(p));
}

void CPackage::makePostCtrl(uint32_t frameNum) { make(frameNum, POST_CTRL, NO_DATA, nullptr, 0); }

void CPackage::makeStringCmd(uint32_t frameNum, const char* text) {
  uint8_t p[kStringMaxPayload];
  make(frameNum, STRING_CMD, NO_DATA, p, stringPayload(text, p));
}

void CPackage::makeHeartBeatAck(uint32_t frameNum) {
  make(frameNum, DEVICE_ACK, HEART_BEAT_DATA, nullptr, 0);
}

void CPackage::makeGpioAck(uint32_t frameNum, uint8_t operation, uint8_t level, uint16_t gpioNum) {
  uint8_t p[kGpioPayloadSize];
  gpioPayload(p, operation, level, gpioNum);
  make(frameNum, DEVICE_ACK, GPIO_DATA, p, sizeof(p));
}

void CPackage::makePowerAck(uint32_t frameNum, const uint8_t* icIds) {
  uint8_t p[kPowerAddressCount] = {};
  if (icIds != nullptr) memcpy(p, icIds, sizeof(p));
  make(frameNum, DEVICE_ACK, POWER_DATA, p, sizeof(p));
}

void CPackage::makePowerReport(uint32_t frameNum, uint64_t timestamp, const void* rest,
                               uint32_t restLength) {
  if (rest == nullptr) restLength = 0;
  size_ = 0;
  reserve(kHeaderSize + 8 + restLength);
  encodeFixed64(data_ + kHeaderSize + kPowerTimestampOffset, timestamp);
  if (restLength > 0) memcpy(data_ + kHeaderSize + 8, rest, restLength);
  finish(frameNum, POWER_CTRL, POWER_DATA, 8 + restLength);
}

void CPackage::makeSPICtrlAck(uint32_t frameNum, uint32_t secOffset, uint16_t secSize,
                              uint16_t secNum) {
  uint8_t p[kSectorHeaderSize];
  sectorHeader(p, secOffset, secSize, secNum);
  make(frameNum, DEVICE_ACK, SPI_CTRL_INFO_DATA, p, sizeof(p));
}

void CPackage::makeSPIDataAck(uint32_t frameNum) {
  make(frameNum, DEVICE_ACK, SPI_DATA, nullptr, 0);
}

void CPackage::makeSPIRegAck(uint32_t frameNum, uint8_t direction, uint8_t command, uint16_t count,
                             const uint8_t* data) {
  uint8_t p[kSpiRegPayloadSize];
  spiRegPayload(p, direction, command, count, data,
                count < kSpiRegMaxData ? count : kSpiRegMaxData);
  make(frameNum, DEVICE_ACK, SPI_REG_DATA, p, sizeof(p));
}

void CPackage::makeUartAck(uint32_t frameNum, uint8_t state) {
  uint8_t p[kUartPayloadSize] = {};
  p[kUartEnableOffset] = state;
  make(frameNum, DEVICE_ACK, UART_DATA_TYPE, p, sizeof(p));
}

void CPackage::makePostAck(uint32_t frameNum, const uint8_t* codes, uint32_t n) {
  if (codes == nullptr) n = 0;
  size_ = 0;
  reserve(kHeaderSize + kPostCodesOffset + n);
  encodeFixed32(data_ + kHeaderSize + kPostCountOffset, n);
  if (n > 0) memcpy(data_ + kHeaderSize + kPostCodesOffset, codes, n);
  finish(frameNum, DEVICE_ACK, POST_DATA, kPostCodesOffset + n);
}

void CPackage::makeStringAck(uint32_t frameNum, const char* text) {
  uint8_t p[kStringMaxPayload];
  make(frameNum, DEVICE_ACK, STRING_DATA, p, stringPayload(text, p));
}

void CPackage::makeAckFail(uint32_t frameNum) { make(frameNum, DEVICE_ACK, ACK_FAIL, nullptr, 0); }

void CPackage::makeAck24(uint32_t frameNum, const uint8_t* bytes) {
  uint8_t p[kAck24PayloadSize] = {};
  if (bytes != nullptr) memcpy(p, bytes, sizeof(p));
  make(frameNum, DEVICE_ACK, ACK24_DATA, p, sizeof(p));
}

uint32_t CPackage::computeChecksum() {
  if (size_ < kHeaderSize) return 0;
  uint32_t sum = kPackageMagic;
  sum += frameNum();
  sum += cmdType();
  sum += dataType();
  sum += length();
  return sum + sumBytes(data_ + kHeaderSize, size_ - kHeaderSize);
}

bool CPackage::verify() {
  if (size_ < kHeaderSize) return false;
  if (memcmp(data_, kPackageMagicBytes, 4) != 0) return false;
  if (length() != size_) return false;
  return computeChecksum() == checksumField();
}

bool CPackage::verify(CPackage* package) { return package != nullptr && package->verify(); }

bool CPackage::isAck() {
  return size_ >= kHeaderSize && cmdType() == DEVICE_ACK && dataType() != ACK_FAIL;
}

bool CPackage::isReplyTo(uint16_t cmdType, uint32_t payloadLength) {
  if (size_ < kHeaderSize || this->cmdType() != cmdType) return false;
  uint64_t expected = static_cast<uint64_t>(payloadLength) + kHeaderSize;
  if (cmdType == SPI_CTRL) {
    uint8_t secSize[2];
    if (!readPayload(kSecSizeOffset, secSize, 2)) return false;
    expected = decodeFixed16(secSize) + kSectorDataOffset;
  }
  return length() == expected;
}

const char* CPackage::cmdTypeName(uint32_t cmdType) {
  switch (cmdType) {
    case HEART_BEAT:
      return "HEART_BEAT";
    case DEVICE_ACK:
      return "DEVICE_ACK";
    case POWER_CTRL:
      return "POWER_CTRL";
    case GPIO_CTRL:
      return "GPIO_CTRL";
    case SPI_CTRL:
      return "SPI_CTRL";
    case UART_CTRL:
      return "UART_CTRL";
    case POST_CTRL:
      return "POST_CTRL";
    case SPI_READ:
      return "SPI_READ";
    case 255:
      return "0xff";
    default:
      return "unknow";  // STRING_CMD included: it has no printed name
  }
}

const char* CPackage::dataTypeName(uint32_t dataType) {
  switch (dataType) {
    case HEART_BEAT_DATA:
      return "HEART_BEAT_DATA";
    case POWER_DATA:
      return "POWER_DATA";
    case GPIO_DATA:
      return "GPIO_DATA";
    case SPI_CTRL_INFO_DATA:
      return "SPI_CTRL_INFO_DATA";
    case SPI_DATA:
      return "SPI_DATA";
    case UART_DATA_TYPE:
      return "UART_DATA_TYPE";
    case POST_DATA:
      return "POST_DATA";
    case SPI_REG_DATA:
      return "SPI_REG_DATA";
    case 255:
      return "0xff";
    default:
      return "unknow";  // STRING_DATA and ACK24_DATA have no printed name
  }
}

const char* CPackage::cmdTypeName() { return cmdTypeName(cmdType()); }
const char* CPackage::dataTypeName() { return dataTypeName(dataType()); }

const char* CPackage::dataPreview() {
  // "\ndata:" plus " xx" for at most eight bytes, plus NUL.
  static char text[6 + 8 * 3 + 1];
  text[0] = '\0';
  uint32_t n = payloadLength();
  if (n == 0) return text;
  if (n > 8) n = 8;
  char* out = text + snprintf(text, sizeof(text), "\ndata:");
  static const char kHex[] = "0123456789abcdef";
  const uint8_t* p = payload();
  for (uint32_t i = 0; i < n; ++i) {
    *out++ = ' ';
    *out++ = kHex[p[i] >> 4];
    *out++ = kHex[p[i] & 15];
  }
  *out = '\0';
  return text;
}

const char* CPackage::stringData() {
  static std::unique_ptr<char[]> text(new char[256]);
  static uint32_t capacity = 256;
  uint32_t n = payloadLength();
  if (n > kStringDataLimit) n = 0;
  if (n + 1 > capacity) {
    text.reset(new char[n + 1]);
    capacity = n + 1;
  }
  if (n > 0) memcpy(text.get(), payload(), n);
  text[n] = '\0';
  return text.get();
}

bool CPackage::send(CChannel* channel) {
  time_ = CAPIManager::wallClock();
  if (channel == nullptr || size_ == 0) return false;
  return channel->sendBuffer(data_, static_cast<int>(size_), nullptr) == static_cast<int>(size_);
}

uint32_t CPackage::headerU32(uint32_t offset) {
  return size_ >= kHeaderSize ? static_cast<uint32_t>(decodeFixed32(data_ + offset)) : 0;
}

uint16_t CPackage::headerU16(uint32_t offset) {
  return size_ >= kHeaderSize ? static_cast<uint16_t>(decodeFixed16(data_ + offset)) : 0;
}

uint32_t CPackage::frameNum() { return headerU32(kFrameNumOffset); }
uint16_t CPackage::cmdType() { return headerU16(kCmdTypeOffset); }
uint16_t CPackage::dataType() { return headerU16(kDataTypeOffset); }
uint32_t CPackage::length() { return headerU32(kLengthOffset); }
uint32_t CPackage::checksumField() { return headerU32(kChecksumOffset); }

uint8_t* CPackage::payload() { return size_ > kHeaderSize ? data_ + kHeaderSize : nullptr; }

uint32_t CPackage::payloadLength() { return size_ > kHeaderSize ? size_ - kHeaderSize : 0; }

bool CPackage::readPayload(uint32_t offset, void* out, uint32_t n) {
  uint64_t end = static_cast<uint64_t>(offset) + n;
  if (end > payloadLength()) return false;
  if (n > 0) memcpy(out, data_ + kHeaderSize + offset, n);
  return true;
}

uint8_t CPackage::payloadU8(uint32_t offset) {
  uint8_t v = 0;
  return readPayload(offset, &v, 1) ? v : 0;
}

uint16_t CPackage::payloadU16(uint32_t offset) {
  uint8_t b[2];
  return readPayload(offset, b, 2) ? static_cast<uint16_t>(decodeFixed16(b)) : 0;
}

uint32_t CPackage::payloadU32(uint32_t offset) {
  uint8_t b[4];
  return readPayload(offset, b, 4) ? static_cast<uint32_t>(decodeFixed32(b)) : 0;
}

uint64_t CPackage::payloadU64(uint32_t offset) {
  uint8_t b[8];
  return readPayload(offset, b, 8) ? decodeFixed64(b) : 0;
}

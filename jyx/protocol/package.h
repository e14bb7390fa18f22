// CPackage: one controller packet in memory (header + payload, exactly as on
// the wire) together with the bookkeeping a request needs while it waits for
// its reply. Packages are pooled by CPackageManager and reused; their buffer
// only ever grows.
//
// Builders replace the whole content and never fail. Readers never read past
// size(): header readers return 0 on a package shorter than the header, the
// payload readers return false/0 when the field lies outside the payload.
//
// Not thread-safe; a package is used by one thread at a time. The static
// text buffers behind dataPreview() and stringData() are meant for the main
// thread only.
#ifndef JYX_JYX_PROTOCOL_PACKAGE_H_
#define JYX_JYX_PROTOCOL_PACKAGE_H_

#include <cstdint>
#include <functional>

#include "jyx/protocol/package_format.h"

class CChannel;
class CPackage;

// Reply handler of a request: the reply package (lent for the duration of the
// call) or null when the request timed out or the link was lost.
using PackageCallback = std::function<void(CPackage*)>;

class CPackage {
 public:
  CPackage() = default;
  CPackage(const CPackage&) = delete;
  CPackage& operator=(const CPackage&) = delete;

  virtual uint8_t* data();
  // Takes ownership of `data` (allocated with new[]) and frees the previous
  // buffer; the caller then sets capacity and size to match.
  virtual void setData(uint8_t* data);
  virtual uint32_t size();
  // Ignored when size exceeds the capacity.
  virtual void setSize(uint32_t size);
  virtual uint32_t capacity();
  virtual void setCapacity(uint32_t capacity);
  // Wall-clock seconds of the last send().
  virtual double time();
  virtual void setTime(double time);
  virtual PackageCallback callback();
  virtual void setCallback(PackageCallback callback);
  // Link for the pool's free list or the pending-request list; a package is
  // on at most one list at a time.
  virtual CPackage* next();
  virtual void setNext(CPackage* next);
  virtual ~CPackage();

  // Buffer. reserve allocates exactly n bytes when it grows and keeps the
  // valid bytes; it never shrinks. reset keeps the buffer for reuse.
  void reserve(uint32_t n);
  void append(const void* bytes, uint32_t n);
  void reset();
  // Copies the other package's bytes (not its callback, time or link).
  void assign(const CPackage* other);

  // General builder: header, payloadLength bytes of payload (null payload
  // means zero bytes), checksum; size = 20 + payloadLength.
  void make(uint32_t frameNum, uint16_t cmdType, uint16_t dataType, const void* payload,
            uint32_t payloadLength);

  // Requests (sent by the tool).
  void makeHeartBeat(uint32_t frameNum);
  void makeGpioCtrl(uint32_t frameNum, uint8_t operation, uint8_t level, uint16_t gpioNum);
  // mask: three u32 words (rails 0-31, 32-63, 64-95); addresses: 24 bytes.
  // Either may be null for all zero.
  void makePowerCtrl(uint32_t frameNum, uint16_t enable, const uint32_t* mask,
                     const uint8_t* addresses);
  // Prints "spi ctrl: ..." with its four fields before building.
  void makeSPICtrl(uint32_t frameNum, uint16_t enable, uint16_t security, uint16_t accessId,
                   uint16_t eraseId);
  // One sector (secNum 1): length 28 + secSize. Also the layout of a sector
  // read reply. A null `data` sends secSize zero bytes.
  void makeSPIData(uint32_t frameNum, uint32_t secOffset, const void* data, uint16_t secSize);
  // General form: the sector header carries secSize and secNum as given and
  // `length` data bytes follow (zeros when `data` is null).
  void makeSPIData(uint32_t frameNum, uint32_t secOffset, uint16_t secSize, uint16_t secNum,
                   const void* data, uint32_t length);
  void makeSPIRead(uint32_t frameNum, uint32_t secOffset, uint16_t secSize, uint16_t secNum);
  // The data bytes are copied only when count < 12; otherwise they stay zero.
  void makeSPIReg(uint32_t frameNum, uint8_t direction, uint8_t command, uint16_t count,
                  const uint8_t* data);
  void makeUartCtrl(uint32_t frameNum, uint8_t enable);
  void makePostCtrl(uint32_t frameNum);
  // At most 254 characters of text, "\n" appended unless the copy ends in one.
  void makeStringCmd(uint32_t frameNum, const char* text);

  // Replies (built by the controller side, e.g. the simulator).
  void makeHeartBeatAck(uint32_t frameNum);
  void makeGpioAck(uint32_t frameNum, uint8_t operation, uint8_t level, uint16_t gpioNum);
  // DEVICE_ACK/POWER_DATA answering a power-control request: 24 bytes, the
  // identity of the IC found at each IC slot (0 = none); null gives zeros.
  void makePowerAck(uint32_t frameNum, const uint8_t* icIds = nullptr);
  // Unsolicited POWER_CTRL/POWER_DATA sample report: u64 timestamp, then
  // `rest` (may be null).
  void makePowerReport(uint32_t frameNum, uint64_t timestamp, const void* rest,
                       uint32_t restLength);
  // secOffset doubles as the flash identification value.
  void makeSPICtrlAck(uint32_t frameNum, uint32_t secOffset, uint16_t secSize, uint16_t secNum);
  void makeSPIDataAck(uint32_t frameNum);
  // DEVICE_ACK/SPI_REG_DATA: count at offset 2, min(count, 12) bytes at 4.
  void makeSPIRegAck(uint32_t frameNum, uint8_t direction, uint8_t command, uint16_t count,
                     const uint8_t* data);
  void makeUartAck(uint32_t frameNum, uint8_t state);
  // n POST code bytes (two per code); codes may be null when n is 0.
  void makePostAck(uint32_t frameNum, const uint8_t* codes, uint32_t n);
  void makeStringAck(uint32_t frameNum, const char* text);
  // DEVICE_ACK/ACK_FAIL with an empty payload.
  void makeAckFail(uint32_t frameNum);
  // DEVICE_ACK/ACK24_DATA; a null `bytes` gives 24 zero bytes.
  void makeAck24(uint32_t frameNum, const uint8_t* bytes);

  // Sum modulo 2^32 of the magic value, frameNum, cmdType, dataType, the
  // length field and every payload byte within size(). 0 for a package
  // shorter than the header.
  uint32_t computeChecksum();
  // Magic present, length field equal to size() and checksum matching.
  bool verify();
  // verify() of a null package is false.
  static bool verify(CPackage* package);

  // DEVICE_ACK with a dataType other than ACK_FAIL.
  bool isAck();
  // cmdType matches and the length field is payloadLength + 20; for SPI_CTRL
  // it must be the payload's secSize + 28 instead.
  bool isReplyTo(uint16_t cmdType, uint32_t payloadLength);

  // Printed names: the table name, "0xff" for 255, otherwise "unknow".
  static const char* cmdTypeName(uint32_t cmdType);
  static const char* dataTypeName(uint32_t dataType);
  const char* cmdTypeName();
  const char* dataTypeName();

  // "" for an empty payload, else "\ndata:" and " %02x" for each of the first
  // eight payload bytes. Static buffer, valid until the next call.
  const char* dataPreview();
  // The payload plus a NUL in a static, growing buffer (payload lengths above
  // 32768 count as 0). Valid until the next call.
  const char* stringData();

  // Stamps time with the wall clock and writes all bytes synchronously; true
  // when the channel took exactly size() bytes.
  bool send(CChannel* channel);

  // Header fields (0 when size() < 20).
  uint32_t frameNum();
  uint16_t cmdType();
  uint16_t dataType();
  uint32_t length();  // the length field, not size()
  uint32_t checksumField();

  // Payload: bytes 20 .. size()-1. Null when empty.
  uint8_t* payload();
  uint32_t payloadLength();

  // Copies n payload bytes at offset; false (out untouched) when they do not
  // all lie within the payload.
  bool readPayload(uint32_t offset, void* out, uint32_t n);
  // Little-endian payload fields; 0 when out of bounds.
  uint8_t payloadU8(uint32_t offset);
  uint16_t payloadU16(uint32_t offset);
  uint32_t payloadU32(uint32_t offset);
  uint64_t payloadU64(uint32_t offset);

 private:
  // Writes header and checksum for a payload already in place at offset 20.
  void finish(uint32_t frameNum, uint16_t cmdType, uint16_t dataType, uint32_t payloadLength);
  uint32_t headerU32(uint32_t offset);
  uint16_t headerU16(uint32_t offset);

  uint8_t* data_ = nullptr;
  uint32_t size_ = 0;
  uint32_t capacity_ = 0;
  double time_ = 0;
  PackageCallback callback_;
  CPackage* next_ = nullptr;
};

#endif  // JYX_JYX_PROTOCOL_PACKAGE_H_

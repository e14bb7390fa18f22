// CESPParser: cuts the ESP32 ROM loader's SLIP frames out of a channel's
// receive FIFO on the main loop and hands each decoded response to its
// delegate. Traffic is dumped in hexadecimal as it is parsed (the width of
// the dump lines is process-wide, espDumpWidth).
#ifndef JYX_JYX_MAINTENANCE_ESP_PARSER_H_
#define JYX_JYX_MAINTENANCE_ESP_PARSER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "common/fifo.h"
#include "common/updater.h"

// One decoded loader response: u8 direction, u8 command, u16 data length,
// u32 value, then the data.
struct ESPPackage {
  uint8_t direction = 0;
  uint8_t command = 0;
  uint16_t size = 0;
  uint32_t value = 0;
  std::vector<uint8_t> data;
};

class CESPParserDelegate {
 public:
  virtual ~CESPParserDelegate() = default;
  // The package is lent for the duration of the call.
  virtual void onPackage(ESPPackage* package) {}
};

// Bytes per line of the hexadecimal traffic dumps (jyx -F); at least 1.
int espDumpWidth();
void setEspDumpWidth(int width);
// "%.2x " per byte, a line end after every espDumpWidth() bytes and at the
// end.
std::string espHexDump(const uint8_t* data, size_t n);

class CESPParser : public CUpdater {
 public:
  // Largest frame (decoded) the parser accepts; longer input is dropped up
  // to the next delimiter.
  static constexpr size_t kDecodeBufferSize = 128 * 1024;

  // Neither pointer is owned; both must outlive the parser. Registers with
  // the API manager's updaters.
  CESPParser(CESPParserDelegate* delegate, CFifo* source);
  ~CESPParser() override;
  CESPParser(const CESPParser&) = delete;
  CESPParser& operator=(const CESPParser&) = delete;

  // Handles every complete frame in the FIFO.
  void onUpdate(double now) override;
  // Acts only on received bytes, which wake the loop.
  double nextDeadline(double now) override { return kNoDeadline; }
  // Forgets a frame in progress (after the FIFO was emptied).
  void reset() { inFrame_ = false; }

  // Decodes one frame body (between the delimiters) into a package; false
  // when it is shorter than the 8-byte header.
  static bool decodePackage(const std::vector<uint8_t>& decoded, ESPPackage* package);

 private:
  CESPParserDelegate* delegate_;
  CFifo* source_;
  std::vector<uint8_t> raw_;
  std::vector<uint8_t> decoded_;
  bool inFrame_ = false;
};

#endif  // JYX_JYX_MAINTENANCE_ESP_PARSER_H_

// CStringParser: cuts a channel's receive FIFO into newline-terminated text
// lines on the main thread, once per main-loop pass. The text counterpart of
// CPackageParser, used for the forwarded UART log, the controller's serial
// console and command output.
#ifndef JYX_JYX_PROTOCOL_STRING_PARSER_H_
#define JYX_JYX_PROTOCOL_STRING_PARSER_H_

#include <cstdint>

#include "common/fifo.h"
#include "common/updater.h"
#include "jyx/protocol/package.h"

class CStringParserDelegate {
 public:
  virtual ~CStringParserDelegate() = default;
  // One line with its "\n" (a "\r" before it is kept), a flushed remainder,
  // or "" when the line limit is exceeded. NUL-terminated; valid only during
  // the call. A NUL byte inside the line ends the text early.
  virtual void onString(const char* text) {}
};

class CStringParser : public CUpdater {
 public:
  // Neither pointer is owned; both must outlive the parser. Takes a work
  // package from the pool as line buffer and registers with the API
  // manager's updaters.
  CStringParser(CStringParserDelegate* delegate, CFifo* fifo);
  CStringParser(const CStringParser&) = delete;
  CStringParser& operator=(const CStringParser&) = delete;

  // Delivers every complete line buffered in the FIFO. When afterwards more
  // than lineLimit() bytes without a newline remain, calls onString("")
  // (once per update; the bytes stay in the FIFO).
  void onUpdate(double now) override;
  // Acts only on received bytes, which wake the loop.
  double nextDeadline(double now) override { return kNoDeadline; }
  // Bytes without a newline tolerated in the FIFO; default 0x40000000.
  virtual int32_t lineLimit();
  virtual void setLineLimit(int32_t limit);
  // Unregisters and returns the work package to the pool.
  ~CStringParser() override;

  // Delivers everything the FIFO holds as one text, newline or not; nothing
  // when the FIFO is empty.
  void flush();

 private:
  // Moves n bytes from the FIFO into the work buffer, NUL-terminates them
  // and hands them to the delegate.
  void deliver(int n);

  int32_t lineLimit_ = 0x40000000;
  CStringParserDelegate* delegate_;
  CFifo* fifo_;
  CPackage* work_;
};

#endif  // JYX_JYX_PROTOCOL_STRING_PARSER_H_

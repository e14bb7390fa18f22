// CPackageParser: cuts a channel's receive FIFO into checksummed controller
// packets on the main thread, once per main-loop pass.
#ifndef JYX_JYX_PROTOCOL_PACKAGE_PARSER_H_
#define JYX_JYX_PROTOCOL_PACKAGE_PARSER_H_

#include "common/fifo.h"
#include "common/updater.h"
#include "jyx/protocol/package.h"

class CPackageParserDelegate {
 public:
  virtual ~CPackageParserDelegate() = default;
  // A packet that passed CPackage::verify. The package is the parser's work
  // package, lent for the duration of the call: copy what is needed, do not
  // keep or release it.
  virtual void onPackage(CPackage* package) {}
};

class CPackageParser : public CUpdater {
 public:
  // Neither pointer is owned; both must outlive the parser. Takes a work
  // package from the pool and registers with the API manager's updaters.
  CPackageParser(CPackageParserDelegate* delegate, CFifo* fifo);
  CPackageParser(const CPackageParser&) = delete;
  CPackageParser& operator=(const CPackageParser&) = delete;
  // Unregisters and returns the work package to the pool.
  ~CPackageParser() override;

  // Delivers every complete, valid packet buffered in the FIFO. Garbage
  // before a magic is skipped; a header whose length is below 20 or not
  // smaller than the FIFO's capacity is dropped as 20 bytes; a packet with a
  // bad checksum is dropped whole. Nothing is printed. An incomplete packet
  // stays in the FIFO for the next call.
  void onUpdate(double now) override;
  // Acts only on received bytes, which wake the loop.
  double nextDeadline(double now) override { return kNoDeadline; }

 private:
  CPackageParserDelegate* delegate_;
  CFifo* fifo_;
  CPackage* work_;
};

#endif  // JYX_JYX_PROTOCOL_PACKAGE_PARSER_H_

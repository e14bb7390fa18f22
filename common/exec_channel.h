// CExecChannel: shell commands as a byte channel. Each write() is one
// command line; the command's standard output and error come back through
// receiveFifo, so a line parser can read external programs like a device.
#ifndef JYX_COMMON_EXEC_CHANNEL_H_
#define JYX_COMMON_EXEC_CHANNEL_H_

#include <string>

#include "common/channel.h"

class CExecChannel : public CChannel {
 public:
  explicit CExecChannel(CChannelDelegate* delegate);
  ~CExecChannel() override;

  // Always true: every write runs a fresh command.
  bool isOpen() override;
  // Runs "prefix command 2>&1" through the shell and pushes its output into
  // receiveFifo as it comes, in pieces of at most one line (1021 bytes).
  // Blocks the calling thread, holding the channel lock, until the command
  // has ended; call it through sendBuffer() with a callback to keep the
  // main loop going. Returns len whatever the command's exit status, 0 when
  // no pipe could be made. The command text ends at len or at a NUL.
  int write(const void* command, int len) override;

  virtual std::string prefix();
  virtual void setPrefix(const std::string& prefix);

 private:
  std::string prefix_;
};

#endif  // JYX_COMMON_EXEC_CHANNEL_H_

#include "common/exec_channel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/api_manager.h"
#include "common/loop_wake.h"

namespace {

// Line reads use a 1022-byte buffer: at most 1021 characters per piece.
constexpr int kLineBytes = 1021;

// Reads up to and including the next '\n', at most kLineBytes bytes, into
// buf; returns the count (0 at end of stream). Unlike fgets it keeps NUL
// bytes of the output.
int readPiece(FILE* stream, char* buf) {
  int n = 0;
  int c;
  while (n < kLineBytes && (c = fgetc(stream)) != EOF) {
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return n;
}

}  // namespace

CExecChannel::CExecChannel(CChannelDelegate* delegate) : CChannel(delegate, kDefaultFifoCapacity) {}

CExecChannel::~CExecChannel() { shutdown(); }

bool CExecChannel::isOpen() { return true; }

int CExecChannel::write(const void* command, int len) {
  CSmartLock guard(&lock_);
  if (len < 0) len = 0;
  const char* text = static_cast<const char*>(command);
  std::string line = prefix_ + " " + std::string(text, strnlen(text, len)) + " 2>&1";

  // A pipe whose read end is drained after the command; nothing writes to
  // it, so that drain ends at once. Its failure is the one failure that
  // returns 0.
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return 0;
  FILE* pipeStream = fdopen(fds[0], "r");
  if (!pipeStream) ::close(fds[0]);
  FILE* commandStream = popen(line.c_str(), "r");

  if (pipeStream && commandStream) {
    ::close(fds[1]);
    fds[1] = -1;
    char buf[kLineBytes + 1];
    int n;
    // Each piece wakes the main loop, whose line parser takes it from there.
    while ((n = readPiece(commandStream, buf)) > 0) {
      receiveFifo_->push(buf, n);
      jyx::wakeMainLoop();
    }
    while ((n = readPiece(pipeStream, buf)) > 0) {
      receiveFifo_->push(buf, n);
      jyx::wakeMainLoop();
    }
  } else {
    CAPIManager::instance()->print(
        "%s FAIL(perr:0x%x, f:0x%x)\n", line.c_str(),
        static_cast<unsigned>(reinterpret_cast<uintptr_t>(pipeStream)),
        static_cast<unsigned>(reinterpret_cast<uintptr_t>(commandStream)));
  }
  if (fds[1] != -1) ::close(fds[1]);
  if (commandStream) pclose(commandStream);
  if (pipeStream) fclose(pipeStream);
  return len;
}

std::string CExecChannel::prefix() {
  CSmartLock guard(&lock_);
  return prefix_;
}

void CExecChannel::setPrefix(const std::string& prefix) {
  CSmartLock guard(&lock_);
  prefix_ = prefix;
}

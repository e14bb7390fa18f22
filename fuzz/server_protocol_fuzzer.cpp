// Feeds arbitrary lines to the bench server's request parser and checks that
// whatever it accepts or refuses yields a reply line the client parser reads.
#include <cstddef>
#include <cstdint>

#include "jyx/server/server_protocol.h"

using namespace jyx::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxLineBytes + 16) return 0;
  Request request;
  bool ok = parseRequest(reinterpret_cast<const char*>(data), size, &request);
  if (ok != request.error.empty()) __builtin_trap();
  std::string line =
      ok ? failReply(request.id, kUnknownTask) : errorReply(request.id, request.error);
  Reply reply;
  if (line.back() != '\n' || !parseReply(line.data(), line.size() - 1, &reply)) __builtin_trap();
  if (ok && request.kind == RequestKind::kPacket) {
    std::string hex = hexEncode(request.bytes.data(), request.bytes.size());
    std::vector<uint8_t> back;
    if (!hexDecode(hex.data(), hex.size(), &back) || back != request.bytes) __builtin_trap();
  }
  return 0;
}

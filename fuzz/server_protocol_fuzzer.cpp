// Feeds arbitrary lines to the bench server's request parser and checks that
// whatever it accepts or refuses yields a reply line the client parser reads,
// and that the server's in-place parse agrees with it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "jyx/server/server_protocol.h"

using namespace jyx::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxLineBytes + 16) return 0;
  Request request;
  bool ok = parseRequest(reinterpret_cast<const char*>(data), size, &request);
  if (ok != request.error.empty()) __builtin_trap();
  // The server's in-place parse reaches the same verdict on the same line.
  std::string copy(reinterpret_cast<const char*>(data), size);
  Request inPlace;
  if (parseRequestInPlace(&copy, &inPlace) != ok || inPlace.kind != request.kind ||
      inPlace.id != request.id || inPlace.error != request.error ||
      inPlace.bytes != request.bytes || inPlace.task != request.task ||
      inPlace.args != request.args || inPlace.topics != request.topics) {
    __builtin_trap();
  }
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

// The bench server's socket protocol: constants, the request parser, the
// reply and push builders and the socket path rules. One JSON object per
// '\n'-terminated line in both directions; server_protocol.md describes the
// conversation. Pure functions, no I/O except the socket path helpers.
#ifndef JYX_JYX_SERVER_SERVER_PROTOCOL_H_
#define JYX_JYX_SERVER_SERVER_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace jyx {
namespace server {

// Longest request line, newline excluded. A longer line gets the
// bad-request reply and the client is dropped.
constexpr size_t kMaxLineBytes = 1024 * 1024;
// Output queued for one client beyond which the client is dropped (it does
// not read what it asked for, or the pushes it subscribed to).
constexpr size_t kMaxQueuedOutput = 64 * 1024 * 1024;
// Largest controller packet a "packet" request or reply may carry.
constexpr uint32_t kMaxPacketBytes = 512 * 1024;
// Bytes of one "write" request (the target console takes text in pieces).
constexpr size_t kMaxWriteBytes = 64 * 1024;

// Error texts (byte-exact on the wire).
constexpr char kBadRequest[] = "bad request";
constexpr char kUnknownTask[] = "unknown task";
constexpr char kBusy[] = "busy";
constexpr char kTimeout[] = "timeout";
constexpr char kLinkDown[] = "link down";
constexpr char kBadPacket[] = "bad packet";

// Subscription topics (bit set).
constexpr unsigned kTopicLog = 1;
constexpr unsigned kTopicPower = 2;

enum class RequestKind { kInvalid, kTask, kPacket, kSubscribe, kUnsubscribe, kWrite };

struct Request {
  RequestKind kind = RequestKind::kInvalid;
  // The "id" member exactly as sent (any JSON value), empty when absent.
  std::string id;
  std::string task;
  std::string args = "{}";     // JSON text of "args" (an object)
  std::vector<uint8_t> bytes;  // decoded "packet" or "write"
  unsigned topics = 0;
  // Why the request is invalid: kBadRequest or kBadPacket.
  std::string error;
};

// Parses one line (without its newline). False with out->error set when the
// line is not a JSON object of one of the request forms; out->id is filled
// whenever it could be read. Arrays and objects nested deeper than
// kMaxJsonDepth make the line a bad request.
bool parseRequest(const char* line, size_t length, Request* out);

// Replies, each ending in '\n'. `id` is the raw JSON text from Request::id
// (left out of the object when empty).
std::string okReply(const std::string& id);
// `result` is embedded as JSON when it is a JSON document, else as a string.
std::string resultReply(const std::string& id, const std::string& result);
std::string failReply(const std::string& id, const std::string& error);   // "ok":false
std::string errorReply(const std::string& id, const std::string& error);  // no "ok"
std::string packetReply(const std::string& id, const uint8_t* bytes, size_t n);
std::string logPush(const uint8_t* bytes, size_t n);
std::string powerPush(const uint8_t* bytes, size_t n);
std::string linkEvent(bool up);

// What a client reads back (the jyx client's side of the conversation).
struct Reply {
  enum Kind { kOther, kPacket, kError, kOk, kFail, kLog, kPower, kLink } kind = kOther;
  bool hasId = false;
  int64_t id = 0;              // only numeric ids are read back
  std::vector<uint8_t> bytes;  // packet, log, power
  std::string text;            // error text, or the JSON text of "result"
  bool up = false;             // kLink
};
// False when the line is not a JSON object or a field does not decode.
bool parseReply(const char* line, size_t length, Reply* out);
std::string packetRequest(int64_t id, const uint8_t* bytes, size_t n);
std::string writeRequest(int64_t id, const uint8_t* bytes, size_t n);
std::string subscribeRequest(int64_t id, unsigned topics);

// Codecs: lower-case hex and standard base64 with padding; the decoders
// refuse anything else (false).
std::string hexEncode(const uint8_t* bytes, size_t n);
bool hexDecode(const char* text, size_t n, std::vector<uint8_t>* out);
std::string base64Encode(const uint8_t* bytes, size_t n);
bool base64Decode(const char* text, size_t n, std::vector<uint8_t>* out);

// Socket location for a controller address: $XDG_RUNTIME_DIR/jyx, or
// /tmp/jyx-<uid> when that variable is unset or empty. False (with *why)
// when the address cannot name a file (only letters, digits, '.', '-', '_'
// and ':' are taken).
bool socketDirectory(std::string* dir);
bool socketPath(const std::string& address, std::string* path, std::string* why);
// Creates the directory 0700 when missing; false (with *why) when it is not
// a directory of ours or group/other have any access to it.
bool prepareSocketDirectory(const std::string& dir, std::string* why);
// The same checks without creating anything.
bool checkSocketDirectory(const std::string& dir, std::string* why);
// Connects to a server socket; the descriptor (close-on-exec, blocking), or
// -1 when no server accepts there or its directory is not trustworthy.
int connectSocket(const std::string& path);

}  // namespace server
}  // namespace jyx

#endif  // JYX_JYX_SERVER_SERVER_PROTOCOL_H_

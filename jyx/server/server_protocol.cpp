#include "jyx/server/server_protocol.h"

#include <rapidjson/document.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/json_text.h"

namespace jyx {
namespace server {
namespace {

const char kHexDigits[] = "0123456789abcdef";
const char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Hex of a sector is the bulk of a packet line: written straight into the
// line, which is sized once.
void appendHex(std::string* out, const uint8_t* bytes, size_t n) {
  size_t at = out->size();
  out->resize(at + 2 * n);
  char* p = &(*out)[at];
  for (size_t i = 0; i < n; ++i) {
    p[2 * i] = kHexDigits[bytes[i] >> 4];
    p[2 * i + 1] = kHexDigits[bytes[i] & 15];
  }
}

// "{" plus the id member and a comma when there is an id.
std::string open(const std::string& id) { return id.empty() ? "{" : "{\"id\":" + id + ","; }

bool readTopics(const rapidjson::Value& list, unsigned* topics) {
  if (!list.IsArray()) return false;
  *topics = 0;
  for (const rapidjson::Value& item : list.GetArray()) {
    if (!item.IsString()) return false;
    if (strcmp(item.GetString(), "log") == 0) {
      *topics |= kTopicLog;
    } else if (strcmp(item.GetString(), "power") == 0) {
      *topics |= kTopicPower;
    } else {
      return false;
    }
  }
  return true;
}

// The request forms, read from a parsed line.
bool readRequest(const rapidjson::Document& doc, Request* out) {
  if (doc.HasParseError() || !doc.IsObject()) return false;
  auto id = doc.FindMember("id");
  if (id != doc.MemberEnd()) out->id = jsonText(id->value);
  int forms = 0;
  for (const char* key : {"task", "packet", "subscribe", "unsubscribe", "write"}) {
    if (doc.HasMember(key)) ++forms;
  }
  if (forms != 1) return false;
  if (doc.HasMember("task")) {
    const rapidjson::Value& task = doc["task"];
    if (!task.IsString() || task.GetStringLength() == 0) return false;
    out->task.assign(task.GetString(), task.GetStringLength());
    auto args = doc.FindMember("args");
    if (args != doc.MemberEnd()) {
      if (!args->value.IsObject()) return false;
      out->args = jsonText(args->value);
    }
    out->kind = RequestKind::kTask;
  } else if (doc.HasMember("packet")) {
    const rapidjson::Value& packet = doc["packet"];
    if (!packet.IsString()) return false;
    out->error = kBadPacket;
    if (packet.GetStringLength() > 2 * kMaxPacketBytes ||
        !hexDecode(packet.GetString(), packet.GetStringLength(), &out->bytes)) {
      return false;
    }
    out->kind = RequestKind::kPacket;
  } else if (doc.HasMember("write")) {
    const rapidjson::Value& write = doc["write"];
    if (!write.IsString() ||
        !base64Decode(write.GetString(), write.GetStringLength(), &out->bytes) ||
        out->bytes.size() > kMaxWriteBytes) {
      return false;
    }
    out->kind = RequestKind::kWrite;
  } else {
    bool subscribe = doc.HasMember("subscribe");
    if (!readTopics(doc[subscribe ? "subscribe" : "unsubscribe"], &out->topics)) return false;
    out->kind = subscribe ? RequestKind::kSubscribe : RequestKind::kUnsubscribe;
  }
  out->error.clear();
  return true;
}

}  // namespace

bool parseRequest(const char* line, size_t length, Request* out) {
  *out = Request();
  out->error = kBadRequest;
  if (length > kMaxLineBytes) return false;
  // The parser takes a NUL for the end of the text and would ignore what
  // follows it; a raw NUL is not JSON anywhere in a line.
  if (memchr(line, '\0', length) != nullptr) return false;
  // The text is the line itself: the parser would skip the bytes of a
  // leading byte-order mark, which no JSON text starts with.
  unsigned char first = length == 0 ? 0 : static_cast<unsigned char>(line[0]);
  if (first == 0xEF || first == 0xBB || first == 0xBF) return false;
  rapidjson::Document doc;
  if (!parseJson(line, length, &doc)) return false;
  return readRequest(doc, out);
}

std::string okReply(const std::string& id) { return open(id) + "\"ok\":true}\n"; }

std::string resultReply(const std::string& id, const std::string& result) {
  rapidjson::Document doc;
  std::string value = parseJson(result, &doc) ? jsonText(doc) : jsonQuoted(result);
  return open(id) + "\"ok\":true,\"result\":" + value + "}\n";
}

std::string failReply(const std::string& id, const std::string& error) {
  return open(id) + "\"ok\":false,\"error\":" + jsonQuoted(error) + "}\n";
}

std::string errorReply(const std::string& id, const std::string& error) {
  return open(id) + "\"error\":" + jsonQuoted(error) + "}\n";
}

std::string packetReply(const std::string& id, const uint8_t* bytes, size_t n) {
  std::string line = open(id);
  line.reserve(line.size() + 2 * n + 16);
  line += "\"packet\":\"";
  appendHex(&line, bytes, n);
  line += "\"}\n";
  return line;
}

std::string logPush(const uint8_t* bytes, size_t n) {
  return "{\"log\":\"" + base64Encode(bytes, n) + "\"}\n";
}

std::string powerPush(const uint8_t* bytes, size_t n) {
  return "{\"power\":\"" + hexEncode(bytes, n) + "\"}\n";
}

std::string linkEvent(bool up) {
  return up ? "{\"event\":\"link\",\"up\":true}\n" : "{\"event\":\"link\",\"up\":false}\n";
}

bool parseReply(const char* line, size_t length, Reply* out) {
  *out = Reply();
  rapidjson::Document doc;
  if (!parseJson(line, length, &doc) || !doc.IsObject()) return false;
  auto id = doc.FindMember("id");
  if (id != doc.MemberEnd() && id->value.IsInt64()) {
    out->hasId = true;
    out->id = id->value.GetInt64();
  }
  auto text = [&doc](const char* key) -> const rapidjson::Value* {
    auto it = doc.FindMember(key);
    return it != doc.MemberEnd() && it->value.IsString() ? &it->value : nullptr;
  };
  if (const rapidjson::Value* v = text("packet")) {
    out->kind = Reply::kPacket;
    return hexDecode(v->GetString(), v->GetStringLength(), &out->bytes);
  }
  if (const rapidjson::Value* v = text("power")) {
    out->kind = Reply::kPower;
    return hexDecode(v->GetString(), v->GetStringLength(), &out->bytes);
  }
  if (const rapidjson::Value* v = text("log")) {
    out->kind = Reply::kLog;
    return base64Decode(v->GetString(), v->GetStringLength(), &out->bytes);
  }
  if (const rapidjson::Value* v = text("event")) {
    auto up = doc.FindMember("up");
    if (strcmp(v->GetString(), "link") != 0 || up == doc.MemberEnd() || !up->value.IsBool()) {
      return true;  // an event this client does not know
    }
    out->kind = Reply::kLink;
    out->up = up->value.GetBool();
    return true;
  }
  auto ok = doc.FindMember("ok");
  const rapidjson::Value* error = text("error");
  if (ok != doc.MemberEnd() && ok->value.IsBool()) {
    out->kind = ok->value.GetBool() ? Reply::kOk : Reply::kFail;
    auto result = doc.FindMember("result");
    if (out->kind == Reply::kOk && result != doc.MemberEnd()) out->text = jsonText(result->value);
    if (out->kind == Reply::kFail && error) out->text = error->GetString();
    return true;
  }
  if (error) {
    out->kind = Reply::kError;
    out->text = error->GetString();
  }
  return true;
}

std::string packetRequest(int64_t id, const uint8_t* bytes, size_t n) {
  std::string line = "{\"id\":" + std::to_string(id) + ",\"packet\":\"";
  line.reserve(line.size() + 2 * n + 3);
  appendHex(&line, bytes, n);
  line += "\"}\n";
  return line;
}

std::string writeRequest(int64_t id, const uint8_t* bytes, size_t n) {
  return "{\"id\":" + std::to_string(id) + ",\"write\":\"" + base64Encode(bytes, n) + "\"}\n";
}

std::string subscribeRequest(int64_t id, unsigned topics) {
  std::string list;
  if (topics & kTopicLog) list += "\"log\"";
  if (topics & kTopicPower) list += list.empty() ? "\"power\"" : ",\"power\"";
  return "{\"id\":" + std::to_string(id) + ",\"subscribe\":[" + list + "]}\n";
}

std::string hexEncode(const uint8_t* bytes, size_t n) {
  std::string text;
  appendHex(&text, bytes, n);
  return text;
}

bool hexDecode(const char* text, size_t n, std::vector<uint8_t>* out) {
  // Sector payloads pass here on every request: one table look-up a digit.
  static const std::array<int8_t, 256> kValues = [] {
    std::array<int8_t, 256> values{};
    for (int c = 0; c < 256; ++c) values[c] = static_cast<int8_t>(hexValue(static_cast<char>(c)));
    return values;
  }();
  out->clear();
  if (n % 2 != 0) return false;
  out->resize(n / 2);
  const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
  uint8_t* dst = out->data();
  int bad = 0;
  for (size_t i = 0; i < n / 2; ++i) {
    int high = kValues[in[2 * i]];
    int low = kValues[in[2 * i + 1]];
    bad |= high | low;  // negative when either is not a digit
    dst[i] = static_cast<uint8_t>(static_cast<unsigned>(high) << 4 | static_cast<unsigned>(low));
  }
  return bad >= 0;
}

std::string base64Encode(const uint8_t* bytes, size_t n) {
  std::string text;
  text.reserve((n + 2) / 3 * 4);
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = uint32_t(bytes[i]) << 16;
    if (i + 1 < n) v |= uint32_t(bytes[i + 1]) << 8;
    if (i + 2 < n) v |= bytes[i + 2];
    text += kBase64Digits[v >> 18 & 63];
    text += kBase64Digits[v >> 12 & 63];
    text += i + 1 < n ? kBase64Digits[v >> 6 & 63] : '=';
    text += i + 2 < n ? kBase64Digits[v & 63] : '=';
  }
  return text;
}

bool base64Decode(const char* text, size_t n, std::vector<uint8_t>* out) {
  out->clear();
  if (n % 4 != 0) return false;
  out->reserve(n / 4 * 3);
  for (size_t i = 0; i < n; i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      // Padding only in the last group, only at its end.
      if (c == '=' && i + 4 == n && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad > 0) return false;
      v[k] = base64Value(c);
      if (v[k] < 0) return false;
    }
    uint32_t bits = uint32_t(v[0]) << 18 | uint32_t(v[1]) << 12 | uint32_t(v[2]) << 6 | v[3];
    out->push_back(static_cast<uint8_t>(bits >> 16));
    if (pad < 2) out->push_back(static_cast<uint8_t>(bits >> 8));
    if (pad < 1) out->push_back(static_cast<uint8_t>(bits));
  }
  return true;
}

bool socketDirectory(std::string* dir) {
  const char* runtime = getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') {
    *dir = std::string(runtime) + "/jyx";
  } else {
    *dir = "/tmp/jyx-" + std::to_string(static_cast<unsigned long>(geteuid()));
  }
  return true;
}

bool socketPath(const std::string& address, std::string* path, std::string* why) {
  if (address.empty() || address.size() > 64 || address[0] == '.') {
    *why = "the address cannot name a socket file";
    return false;
  }
  for (char c : address) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_' || c == ':';
    if (!ok) {
      *why = "the address cannot name a socket file";
      return false;
    }
  }
  std::string dir;
  socketDirectory(&dir);
  *path = dir + "/" + address + ".sock";
  if (path->size() >= sizeof(sockaddr_un::sun_path)) {
    *why = "the socket path is too long: " + *path;
    return false;
  }
  return true;
}

bool checkSocketDirectory(const std::string& dir, std::string* why) {
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    *why = dir + ": " + strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *why = dir + ": not a directory";
    return false;
  }
  if (st.st_uid != geteuid()) {
    *why = dir + ": owned by another user";
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    *why = dir + ": group or others have access (want mode 0700)";
    return false;
  }
  return true;
}

bool prepareSocketDirectory(const std::string& dir, std::string* why) {
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    *why = dir + ": " + strerror(errno);
    return false;
  }
  return checkSocketDirectory(dir, why);
}

int connectSocket(const std::string& path) {
  std::string why;
  size_t slash = path.rfind('/');
  if (slash == std::string::npos || !checkSocketDirectory(path.substr(0, slash), &why)) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof(addr.sun_path)) return -1;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace server
}  // namespace jyx

#include "jyx/server/server_protocol.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "test_util.h"

namespace jyx {
namespace server {
namespace {

struct RequestCase {
  const char* line;
  bool ok;
  RequestKind kind;
  const char* id;     // expected raw id text
  const char* error;  // expected error when refused
};

TEST(ServerProtocolTest, ParsesEveryRequestFormAndRefusesTheRest) {
  const RequestCase cases[] = {
      {R"({"id":1,"task":"jyx.data:power_on","args":{"value":1}})", true, RequestKind::kTask, "1",
       ""},
      {R"({"id":"a","task":"jyx.data:x"})", true, RequestKind::kTask, "\"a\"", ""},
      {R"({"id":2,"packet":"5a5A"})", true, RequestKind::kPacket, "2", ""},
      {R"({"id":3,"subscribe":["log","power"]})", true, RequestKind::kSubscribe, "3", ""},
      {R"({"id":4,"unsubscribe":[]})", true, RequestKind::kUnsubscribe, "4", ""},
      {R"({"id":5,"write":"aGk="})", true, RequestKind::kWrite, "5", ""},
      {R"({"id":6,"packet":"5a5"})", false, RequestKind::kInvalid, "6", "bad packet"},
      {R"({"id":7,"packet":"zz"})", false, RequestKind::kInvalid, "7", "bad packet"},
      {R"({"id":8,"subscribe":["logs"]})", false, RequestKind::kInvalid, "8", "bad request"},
      {R"({"id":9,"task":"a:b","args":[1]})", false, RequestKind::kInvalid, "9", "bad request"},
      {R"({"id":10,"task":"a:b","write":"AA=="})", false, RequestKind::kInvalid, "10",
       "bad request"},
      {R"({"id":11,"write":"a=b="})", false, RequestKind::kInvalid, "11", "bad request"},
      {R"({"id":12})", false, RequestKind::kInvalid, "12", "bad request"},
      {R"([1])", false, RequestKind::kInvalid, "", "bad request"},
      {R"({"id":13,"task":"a:b"} trailing)", false, RequestKind::kInvalid, "", "bad request"},
      {R"({"id":"q\"\u0041","task":"a:b"})", true, RequestKind::kTask, R"("q\"A")", ""},
      {"", false, RequestKind::kInvalid, "", "bad request"},
  };
  auto check = [](const std::string& line, const RequestCase& c) {
    Request r;
    EXPECT_EQ(parseRequest(line.data(), line.size(), &r), c.ok) << line;
    EXPECT_EQ(r.kind, c.kind) << line;
    EXPECT_EQ(r.id, c.id) << line;
    EXPECT_EQ(r.error, c.error) << line;
  };
  for (const RequestCase& c : cases) check(c.line, c);
  // The parser stops at a NUL: what follows it must still count. Nothing
  // before the object is skipped either (a stray byte-order-mark byte).
  const RequestCase refused = {"", false, RequestKind::kInvalid, "", "bad request"};
  check(std::string(R"({"id":1,"task":"a:b"})") + '\0' + "x", refused);
  check(
      "\xef"
      R"({"id":1,"task":"a:b"})",
      refused);
  Request r;
  const char* write = R"({"id":1,"write":"aGk="})";
  ASSERT_TRUE(parseRequest(write, strlen(write), &r));
  EXPECT_EQ(std::string(r.bytes.begin(), r.bytes.end()), "hi");
  const char* subscribe = R"({"subscribe":["power"]})";
  ASSERT_TRUE(parseRequest(subscribe, strlen(subscribe), &r));
  EXPECT_EQ(r.topics, kTopicPower);
  std::string huge = R"({"task":"a:b","args":{"v":")" + std::string(kMaxLineBytes, 'x') + "\"}}";
  EXPECT_FALSE(parseRequest(huge.data(), huge.size(), &r));
  // Nesting within the line's length but beyond the parser's depth bound.
  check(std::string(kMaxLineBytes, '['), refused);
  check(R"({"id":1,"task":"a:b","args":{"v":)" + std::string(300, '[') + "}}", refused);
}

TEST(ServerProtocolTest, RepliesReadBackThroughTheClientParser) {
  Reply reply;
  std::string line = resultReply("7", R"({"a":1})");
  EXPECT_EQ(line, "{\"id\":7,\"ok\":true,\"result\":{\"a\":1}}\n");
  EXPECT_EQ(resultReply("7", "plain \"text\""),
            "{\"id\":7,\"ok\":true,\"result\":\"plain \\\"text\\\"\"}\n");
  EXPECT_EQ(errorReply("", kBadRequest), "{\"error\":\"bad request\"}\n");
  const uint8_t bytes[] = {0x00, 0x5a, 0xff};
  ASSERT_TRUE(parseReply(packetReply("9", bytes, 3).c_str(), packetReply("9", bytes, 3).size() - 1,
                         &reply));
  EXPECT_EQ(reply.kind, Reply::kPacket);
  EXPECT_EQ(reply.id, 9);
  EXPECT_EQ(reply.bytes, std::vector<uint8_t>(bytes, bytes + 3));
  line = logPush(bytes, 3);
  ASSERT_TRUE(parseReply(line.data(), line.size() - 1, &reply));
  EXPECT_EQ(reply.kind, Reply::kLog);
  EXPECT_EQ(reply.bytes.size(), 3u);
  line = linkEvent(false);
  ASSERT_TRUE(parseReply(line.data(), line.size() - 1, &reply));
  EXPECT_EQ(reply.kind, Reply::kLink);
  EXPECT_FALSE(reply.up);
  line = errorReply("4", kBusy);
  ASSERT_TRUE(parseReply(line.data(), line.size() - 1, &reply));
  EXPECT_EQ(reply.kind, Reply::kError);
  EXPECT_EQ(reply.text, "busy");
  EXPECT_FALSE(parseReply("{\"log\":\"***\"}", 13, &reply));
}

TEST(ServerProtocolTest, Base64RoundTripsEveryLengthAndRefusesMalformedText) {
  std::vector<uint8_t> back;
  for (size_t n = 0; n < 9; ++n) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < n; ++i) bytes.push_back(static_cast<uint8_t>(0xF0 + i * 7));
    std::string text = base64Encode(bytes.data(), n);
    ASSERT_TRUE(base64Decode(text.data(), text.size(), &back)) << text;
    EXPECT_EQ(back, bytes);
  }
  EXPECT_EQ(base64Encode(reinterpret_cast<const uint8_t*>("foob"), 4), "Zm9vYg==");
  for (const char* bad : {"Zm9", "Zm=v", "Z===", "Zm9v\n", "Zg==Zg=="}) {
    EXPECT_FALSE(base64Decode(bad, strlen(bad), &back)) << bad;
  }
}

class SocketPathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("XDG_RUNTIME_DIR");
    if (old) saved_ = old, hadValue_ = true;
    setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    if (hadValue_) {
      setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
    } else {
      unsetenv("XDG_RUNTIME_DIR");
    }
  }
  jyxtest::ScopedTempDir dir_;
  std::string saved_;
  bool hadValue_ = false;
};

TEST_F(SocketPathTest, NamesTheSocketAndGuardsItsDirectory) {
  std::string path, why;
  ASSERT_TRUE(socketPath("127.0.0.5", &path, &why)) << why;
  EXPECT_EQ(path, dir_.path() + "/jyx/127.0.0.5.sock");
  for (const char* bad : {"", "../x", "a/b", "a b", ".hidden"}) {
    EXPECT_FALSE(socketPath(bad, &path, &why)) << bad;
  }
  std::string socketDir = dir_.path() + "/jyx";
  ASSERT_TRUE(prepareSocketDirectory(socketDir, &why)) << why;
  struct stat st;
  ASSERT_EQ(stat(socketDir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(chmod(socketDir.c_str(), 0750), 0);
  EXPECT_FALSE(prepareSocketDirectory(socketDir, &why));
  EXPECT_NE(why.find("0700"), std::string::npos) << why;
  EXPECT_EQ(connectSocket(socketDir + "/127.0.0.5.sock"), -1);
  unsetenv("XDG_RUNTIME_DIR");
  ASSERT_TRUE(socketPath("h", &path, &why));
  EXPECT_EQ(path, "/tmp/jyx-" + std::to_string(geteuid()) + "/h.sock");
}

}  // namespace
}  // namespace server
}  // namespace jyx

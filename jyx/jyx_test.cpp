#include "jyx/jyx.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "common/api_manager.h"
#include "test_util.h"

namespace {

std::string toText(const rapidjson::Value& v) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  v.Accept(writer);
  return buffer.GetString();
}

bool yaml(const std::string& text, rapidjson::Document* doc) {
  return CJYX::yamlToJson(text.data(), text.size(), doc);
}

void invoke(const char* name, const char* args) {
  APIDATA data;
  data.append(args, nullptr, 0);
  CAPIManager::instance()->onInvoke(0, name, &data, nullptr);
  CAPIManager::instance()->update();
}

}  // namespace

TEST(JyxFileTest, WriteAddsBomReadDropsItMissingFileReported) {
  jyxtest::ScopedTempDir dir;
  CJYX* jyx = CJYX::instance();
  std::string path = dir.file("a.txt");
  ASSERT_TRUE(jyx->writeFile("name,value\n", path));
  EXPECT_EQ("\xEF\xBB\xBFname,value\n", jyxtest::readFile(path));
  EXPECT_EQ("name,value\n", jyx->readFile(path));

  ASSERT_TRUE(jyx->writeFile("", path));
  EXPECT_EQ("", jyxtest::readFile(path));  // no mark on an empty text
  EXPECT_EQ("", jyx->readFile(path));

  // A bare 3-byte mark is shorter than 4 bytes and comes back unchanged.
  jyxtest::writeFile(path, "\xEF\xBB\xBF");
  EXPECT_EQ("\xEF\xBB\xBF", jyx->readFile(path));
  jyxtest::writeFile(path, "\xEF\xBB\xBFx");
  EXPECT_EQ("x", jyx->readFile(path));
  std::string binary("ab\0\xff", 4);
  jyxtest::writeFile(path, binary);
  EXPECT_EQ(binary, jyx->readFile(path));

  std::string missing = dir.file("no/such/file");
  testing::internal::CaptureStdout();
  EXPECT_EQ("", jyx->readFile(missing));
  EXPECT_FALSE(jyx->writeFile("x", missing));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("open file (" + missing + ") FAIL.\nopen file (" + missing + ") FAIL.\n", out);
}

TEST(JyxFileTest, GetFileContentOfLocalFiles) {
  jyxtest::ScopedTempDir dir;
  CJYX* jyx = CJYX::instance();
  jyxtest::writeFile(dir.file("c.yaml"), "a: 1\n");
  jyxtest::writeFile(dir.file("empty"), "");
  std::string got = "unset";
  jyx->getFileContent(dir.file("c.yaml"), [&](const std::string& text) { got = text; });
  EXPECT_EQ("a: 1\n", got);
  got = "unset";
  jyx->getFileContent(dir.file("empty"), [&](const std::string& text) { got = text; });
  EXPECT_EQ("unset", got);  // an empty file gives no callback

  // A file that does not open is asked of the host, which answers at once.
  CAPIManager::instance()->init("{}", [](int id, const char* name, APIDATA*, HostDone done) {
    APIDATA reply;
    if (std::string(name) == "jyx:get_file_content") reply.append("from host", nullptr, 0);
    return done(id, &reply);
  });
  jyx->getFileContent(dir.file("missing"), [&](const std::string& text) { got = text; });
  CAPIManager::instance()->update();
  EXPECT_EQ("from host", got);
  CAPIManager::instance()->init("{}", nullptr);
}

// Processes whose parent is this test process and whose name is `name`.
int childrenNamed(const std::string& name) {
  int count = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  while (dirent* e = readdir(proc)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::string stat = jyxtest::readFile(std::string("/proc/") + e->d_name + "/stat");
    size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
    if (ppid == getpid() && stat.substr(open + 1, close - open - 1) == name) ++count;
  }
  closedir(proc);
  return count;
}

// A configuration path that is no regular file used to block (a FIFO, a
// directory read as empty with no answer) or abort with bad_alloc
// (/dev/zero). Each is refused at once with its reason, and getFileContent
// still answers so that a console waiting for the text ends.
TEST(JyxFileTest, NonRegularOrHugeFilesAreRefusedWithTheirReason) {
  jyxtest::ScopedTempDir dir;
  CJYX* jyx = CJYX::instance();
  std::string fifo = dir.file("fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  std::string huge = dir.file("huge.yaml");
  {
    FILE* f = fopen(huge.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(0, ftruncate(fileno(f), CJYX::kMaxLoadedFileBytes + 1));  // sparse
    fclose(f);
  }
  struct Case {
    std::string path;
    const char* reason;
  };
  const Case cases[] = {{"/dev/null", "is not a regular file"},
                        {"/dev/zero", "is not a regular file"},
                        {dir.path(), "is a directory"},
                        {fifo, "is not a regular file"},
                        {huge, "is too large"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    testing::internal::CaptureStdout();
    EXPECT_EQ("", jyx->readFile(c.path));
    std::string got = "unset";
    jyx->getFileContent(c.path, [&](const std::string& text) { got = text; });
    EXPECT_EQ("", got);
    rapidjson::Document doc;
    EXPECT_FALSE(jyx->yamlFileToJson(c.path, &doc));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find(c.path + " " + c.reason)) << out;
    EXPECT_NE(std::string::npos, out.find("open file (" + c.path + ") FAIL.\n")) << out;
  }
}

// curl fetches run without a shell, with time-outs, and leave no child.
class JyxFetchTest : public testing::Test {
 protected:
  static constexpr const char* kAddress = "127.0.43.2";
  static constexpr int kPort = 8043;
  void TearDown() override { CJYX::instance()->setFetchTimeouts(10, 60); }
  std::string url(const std::string& name) {
    return "http://" + std::string(kAddress) + ":" + std::to_string(kPort) + "/" + name;
  }
  // Fetches `address`; returns what the callback got and what was printed.
  std::string fetch(const std::string& address, std::string* printed) {
    std::string got = "unset";
    testing::internal::CaptureStdout();
    CJYX::instance()->getFileContent(address, [&](const std::string& text) { got = text; });
    *printed = testing::internal::GetCapturedStdout();
    return got;
  }
};

TEST_F(JyxFetchTest, ServedFilesArriveErrorsAndShellWordsDoNot) {
  jyxtest::ScopedTempDir dir;
  jyxtest::writeFile(dir.file("config.yaml"), "config:\n  - {title: a, path: r.yaml}\n");
  jyxtest::Subprocess server;
  ASSERT_TRUE(server.start({"/usr/bin/python3", "-m", "http.server", "--bind", kAddress,
                            std::to_string(kPort), "--directory", dir.path()}));
  ASSERT_TRUE(jyxtest::waitUntil(
      [&] {
        int s = jyxtest::rawConnect(kAddress, kPort);
        if (s >= 0) close(s);
        return s >= 0;
      },
      10000));
  std::string printed;
  EXPECT_EQ(jyxtest::readFile(dir.file("config.yaml")), fetch(url("config.yaml"), &printed));
  EXPECT_EQ("", printed);

  // A missing file is an HTTP error, not a configuration made of its page.
  EXPECT_EQ("", fetch(url("absent.yaml"), &printed));
  EXPECT_NE(std::string::npos,
            printed.find("cannot fetch " + url("absent.yaml") + ": curl: failed (exit status 22)"))
      << printed;

  // The address is one argument of curl: nothing in it reaches a shell.
  std::string marker = dir.file("touched");
  EXPECT_EQ("", fetch(url("x';touch " + marker + ";'") + " $(touch " + marker + ")", &printed));
  EXPECT_FALSE(jyxtest::waitUntil([&] { return access(marker.c_str(), F_OK) == 0; }, 200));
  EXPECT_EQ(0, childrenNamed("curl"));
}

TEST_F(JyxFetchTest, ServerThatAcceptsAndNeverAnswersEndsAtTheTotalTimeOut) {
  int listener = jyxtest::rawListen(kAddress, kPort + 1);
  ASSERT_GE(listener, 0);
  std::atomic<int> peer{-1};
  std::thread acceptor([&] { peer = accept(listener, nullptr, nullptr); });
  CJYX::instance()->setFetchTimeouts(1, 2);
  double start = CAPIManager::wallClock();
  std::string printed;
  std::string got =
      fetch("http://" + std::string(kAddress) + ":" + std::to_string(kPort + 1) + "/config.yaml",
            &printed);
  double took = CAPIManager::wallClock() - start;
  acceptor.join();
  if (peer >= 0) close(peer);
  close(listener);
  EXPECT_EQ("", got);
  EXPECT_GE(took, 1.5);
  EXPECT_LT(took, 2 + 5 + 1.0);  // curl's own limit, at worst the kill after the grace
  EXPECT_NE(std::string::npos, printed.find("curl: failed (exit status 28)")) << printed;
  EXPECT_EQ(0, childrenNamed("curl"));
}

TEST(JyxYamlTest, NestedMappingsAndSequencesBecomeStrings) {
  rapidjson::Document doc;
  ASSERT_TRUE(
      yaml("name: board\n"
           "count: 12\n"
           "on: true\n"
           "rails:\n"
           "  - name: VDD\n"
           "    mask: 0x10\n"
           "  - [1, 2]\n"
           "  - plain\n"
           "nested:\n"
           "  inner:\n"
           "    deep: x\n"
           "empty: []\n",
           &doc));
  EXPECT_EQ(
      "{\"name\":\"board\",\"count\":\"12\",\"on\":\"true\",\"rails\":[{\"name\":\"VDD\","
      "\"mask\":\"0x10\"},[\"1\",\"2\"],\"plain\"],\"nested\":{\"inner\":{\"deep\":\"x\"}},"
      "\"empty\":[]}",
      toText(doc));
  ASSERT_TRUE(yaml("- a\n- b: c\n", &doc));
  EXPECT_EQ("[\"a\",{\"b\":\"c\"}]", toText(doc));
  // An array target collects each document as one more element.
  rapidjson::Document target;
  target.SetArray();
  ASSERT_TRUE(yaml("k: v\n", &target));
  ASSERT_TRUE(yaml("- 1\n", &target));
  EXPECT_EQ("[{\"k\":\"v\"},[\"1\"]]", toText(target));
}

TEST(JyxYamlTest, BrokenOrIncompleteYamlFails) {
  rapidjson::Document doc;
  EXPECT_FALSE(yaml("a: [1, 2\n", &doc));       // sequence never closed
  EXPECT_FALSE(yaml("a: b: c\n", &doc));        // not valid YAML
  EXPECT_FALSE(yaml("just a scalar\n", &doc));  // no collection
  EXPECT_FALSE(yaml("", &doc));
  EXPECT_FALSE(yaml("\"unterminated\n", &doc));
  std::string deep(400, '[');
  EXPECT_FALSE(yaml(deep + std::string(400, ']'), &doc));  // refused depth

  jyxtest::ScopedTempDir dir;
  jyxtest::writeFile(dir.file("r.yaml"), "rails:\n  - id: 3\n");
  jyxtest::writeFile(dir.file("e.yaml"), "");
  ASSERT_TRUE(CJYX::instance()->yamlFileToJson(dir.file("r.yaml"), &doc));
  EXPECT_EQ("{\"rails\":[{\"id\":\"3\"}]}", toText(doc));
  EXPECT_FALSE(CJYX::instance()->yamlFileToJson(dir.file("e.yaml"), &doc));
  EXPECT_FALSE(CJYX::instance()->yamlFileToJson(dir.file("missing.yaml"), &doc));
}

// Rail files share settings through anchors; an alias used to come out as
// an empty text, so a rail lost its values without a word.
TEST(JyxYamlTest, AliasesResolveToTheirAnchoredNodes) {
  struct Case {
    const char* yaml;
    const char* json;
  };
  const Case cases[] = {
      {"shunt: &s 2\nrails:\n  - name: VIN\n    shunt: *s\n",
       "{\"shunt\":\"2\",\"rails\":[{\"name\":\"VIN\",\"shunt\":\"2\"}]}"},
      {"base: &b {ic: 0x40, ch: 1}\nrails: [*b, *b]\n",
       "{\"base\":{\"ic\":\"0x40\",\"ch\":\"1\"},\"rails\":[{\"ic\":\"0x40\",\"ch\":\"1\"},"
       "{\"ic\":\"0x40\",\"ch\":\"1\"}]}"},
      {"list: &l [a, b]\ncopy: *l\n", "{\"list\":[\"a\",\"b\"],\"copy\":[\"a\",\"b\"]}"},
      // Merge keys: the mapping's own keys win, wherever they stand.
      {"d: &d {shunt: 2, max: 5}\nr:\n  name: VIN\n  max: 9\n  <<: *d\n",
       "{\"d\":{\"shunt\":\"2\",\"max\":\"5\"},\"r\":{\"name\":\"VIN\",\"max\":\"9\",\"shunt\":"
       "\"2\"}}"},
      {"a: &a {x: 1}\nb: &b {y: 2}\nr: {<<: [*a, *b], y: 3}\n",
       "{\"a\":{\"x\":\"1\"},\"b\":{\"y\":\"2\"},\"r\":{\"x\":\"1\",\"y\":\"3\"}}"},
      // A quoted "<<" is an ordinary key.
      {"a: &a {x: 1}\nr: {\"<<\": *a}\n", "{\"a\":{\"x\":\"1\"},\"r\":{\"<<\":{\"x\":\"1\"}}}"},
  };
  for (const Case& c : cases) {
    rapidjson::Document doc;
    ASSERT_TRUE(yaml(c.yaml, &doc)) << c.yaml;
    EXPECT_EQ(c.json, toText(doc)) << c.yaml;
  }
  rapidjson::Document doc;
  EXPECT_FALSE(yaml("a: *nowhere\n", &doc));  // alias before any anchor
  EXPECT_FALSE(yaml("a: *later\nb: &later 1\n", &doc));
}

TEST(JyxYamlTest, MultiplyingAliasesAreRefusedBeforeTheyExhaustMemory) {
  // Nine levels of ten-fold aliases: 10^9 copies of "lol" if expanded.
  std::string text = "a0: &a0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int level = 1; level <= 9; ++level) {
    std::string prev = "*a" + std::to_string(level - 1);
    text += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " [";
    for (int i = 0; i < 10; ++i) text += (i ? ", " : "") + prev;
    text += "]\n";
  }
  rapidjson::Document doc;
  EXPECT_FALSE(yaml(text, &doc));
  // Three levels (1000 copies) are an ordinary document.
  std::string small = text.substr(0, text.find("a4:"));
  ASSERT_TRUE(yaml(small, &doc));
  EXPECT_EQ(10u, doc["a3"].Size());
  EXPECT_EQ("lol", std::string(doc["a3"][9][9][9][9].GetString()));
}

TEST(JyxControllerTest, ChangeIpAndDeviceList) {
  CJYX* jyx = CJYX::instance();
  jyx->setIp("127.0.6.1");
  jyx->setIpChanged(false);
  invoke("jyx:change_ip", "{\"value\":\"127.0.6.1\"}");
  EXPECT_FALSE(jyx->ipChanged());  // same address: nothing changes
  invoke("jyx:change_ip", "{\"value\":\"127.0.6.2\"}");
  EXPECT_TRUE(jyx->ipChanged());
  EXPECT_EQ("127.0.6.2", jyx->ip());
  invoke("jyx:clear_device_list", "");
  EXPECT_EQ("[{\"value\":\"127.0.6.2\",\"title\":\"127.0.6.2\"}]", jyx->addressListJson());
  jyx->setIp("127.0.6.3");
  // The current address leads the published list when it is not in it.
  EXPECT_EQ(
      "[{\"value\":\"127.0.6.3\",\"title\":\"127.0.6.3\"},"
      "{\"value\":\"127.0.6.2\",\"title\":\"127.0.6.2\"}]",
      jyx->addressListJson());
  jyx->setIpChanged(false);
}

TEST(JyxControllerTest, OldJyxPrintsGeneration) {
  testing::internal::CaptureStdout();
  invoke("jyx:old_jyx", "{\"value\":true}");
  invoke("jyx:old_jyx", "{\"value\":false}");
  EXPECT_EQ("jyx is old jyx\njyx is new jyx\n", testing::internal::GetCapturedStdout());
}

TEST(JyxControllerTest, ReconnectIsTriedOnlyAfterTenSeconds) {
  CJYX* jyx = CJYX::instance();
  jyx->setIp("127.0.6.9");
  jyx->setWantConnected(true);
  jyx->setLastCheck(1000.0);
  testing::internal::CaptureStdout();
  jyx->onUpdate(1005.0);
  jyx->onUpdate(1010.0);  // exactly 10 s: not yet
  EXPECT_EQ("", testing::internal::GetCapturedStdout());
  testing::internal::CaptureStdout();
  jyx->onUpdate(1010.5);
  jyx->onUpdate(1011.0);  // checked again only 10 s later
  // One attempt: its own line, then the refused connects of the log and data
  // managers.
  std::string attempt = testing::internal::GetCapturedStdout();
  EXPECT_EQ(0u, attempt.find("--connect:127.0.6.9--\n")) << attempt;
  EXPECT_EQ(attempt.rfind("--connect:"), 0u) << attempt;
  EXPECT_DOUBLE_EQ(1010.5, jyx->lastCheck());
  jyx->setWantConnected(false);
  jyx->setLastCheck(0);
}

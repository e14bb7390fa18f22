#include "jyx/jyx.h"

#include <gtest/gtest.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <string>

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

TEST(JyxYamlTest, NestedMappingsAndSequencesBecomeStrings) {
  rapidjson::Document doc;
  ASSERT_TRUE(yaml(
      "name: board\n"
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
  EXPECT_FALSE(yaml("a: [1, 2\n", &doc));        // sequence never closed
  EXPECT_FALSE(yaml("a: b: c\n", &doc));         // not valid YAML
  EXPECT_FALSE(yaml("just a scalar\n", &doc));   // no collection
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

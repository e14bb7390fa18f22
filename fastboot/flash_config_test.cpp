#include "fastboot/flash_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"

namespace {

using fastboot::FlashEntry;
using fastboot::FlashLists;

// Everything the parser fills, as one line: "label=name ...|erase ...|gpt
// image|platform|commands".
std::string summary(const FlashLists& l) {
  std::string out;
  for (const FlashEntry& e : l.flash) {
    EXPECT_EQ(e.name, e.nameEx) << e.label;
    out += e.label + "=" + e.name + " ";
  }
  out += "|";
  for (const std::string& e : l.erase) out += e + " ";
  return out + "|" + l.gptImage + "|" + l.platform + "|" + l.commandsJson;
}

TEST(FlashConfigTest, ListsFollowTheConfigurationRules) {
  const struct {
    const char* what;
    const char* json;
    const char* lists;
  } cases[] = {
      {"empty object", "{}", "|||android|[]"},
      {"nor, gpt with name, partitions in order",
       R"({"flash_nor":{"label":"bootloader","name":"bl.bin"},"gpt":{"label":"gpt","name":"g.img"},
          "partitions":[{"label":"boot","name":"boot.img"},{"label":"sys","name":"s.img"}]})",
       "bootloader=D/bl.bin gpt=D/g.img boot=D/boot.img sys=D/s.img ||D/g.img|android|[]"},
      {"gpt without name is label.img", R"({"gpt":{"label":"table"}})",
       "table=D/table.img ||D/table.img|android|[]"},
      {"ab doubles the entry and its erase",
       R"({"partitions":[{"label":"boot","name":"b.img","ab":true,"erase":true}]})",
       "boot_a=D/b.img boot_b=D/b.img |boot_a boot_b ||android|[]"},
      {"erase counts by presence, even false",
       R"({"partitions":[{"label":"data","ab":true,"erase":false},{"label":"misc","erase":null}]})",
       "data_a= data_b= misc= |data_a data_b misc ||android|[]"},
      {"ab false is one entry", R"({"partitions":[{"label":"v","name":"v.img","ab":false}]})",
       "v=D/v.img |||android|[]"},
      {"no gpt: second entry is the first partition",
       R"({"flash_nor":{"label":"bootloader","name":"bl"},"partitions":[{"label":"p","name":"p"}]})",
       "bootloader=D/bl p=D/p |||android|[]"},
      {"platform and unknown members", R"({"settings":{"platform":"linux","disk_size":1},"x":[1]})",
       "|||linux|[]"},
      {"commands are kept as they are", R"({"commands":[{"t":"reboot"},"x"]})",
       R"(|||android|[{"t":"reboot"},"x"])"},
  };
  for (const auto& c : cases) {
    FlashLists lists;
    std::string err;
    ASSERT_TRUE(fastboot::parseFlashConfig(c.json, "D/", &lists, &err)) << c.what << ": " << err;
    EXPECT_EQ(c.lists, summary(lists)) << c.what;
  }
}

TEST(FlashConfigTest, UnusableConfigurationsAreRefusedWithTheirReason) {
  const std::string deep = "{\"partitions\":" + std::string(300, '[');
  const std::vector<std::pair<const char*, const char*>> cases = {
      {deep.c_str(), "not valid JSON: Nesting deeper than 256 levels. (at byte 270)"},
      {"[1,2]", "not a JSON object"},
      {"\"text\"", "not a JSON object"},
      {"{\"partitions\":[", "not valid JSON"},
      {"", "not valid JSON"},
      {R"({"flash_nor":{"name":"bl"}})", "\"flash_nor\" has no \"label\""},
      {R"({"flash_nor":{"label":"bootloader"}})", "\"flash_nor\" has no \"name\""},
      {R"({"flash_nor":{"label":7,"name":"x"}})", "\"label\" is not a string"},
      {R"({"gpt":{"name":"g.img"}})", "\"gpt\" has no \"label\""},
      {R"({"gpt":"g"})", "\"gpt\" is not an object"},
      {R"({"partitions":[{"label":"a"},{"name":"b.img"}]})", "partition 1 has no \"label\""},
      {R"({"partitions":[{"label":"a","name":3}]})", "partition 0: \"name\" is not a string"},
      {R"({"partitions":[{"label":"a","ab":"yes"}]})", "\"ab\" is not true or false"},
      {R"({"partitions":{"label":"a"}})", "\"partitions\" is not an array"},
      {R"({"partitions":["a"]})", "partition 0 is not an object"},
      {R"({"settings":{"platform":1}})", "\"platform\" is not a string"},
      {R"({"commands":{}})", "\"commands\" is not an array"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    FlashLists lists;
    lists.erase.push_back("stale");
    std::string err;
    EXPECT_FALSE(fastboot::parseFlashConfig(c.first, "D/", &lists, &err));
    EXPECT_NE(std::string::npos, err.find(c.second)) << err;
    EXPECT_TRUE(lists.flash.empty());
    EXPECT_TRUE(lists.erase.empty());
  }
}

struct LineCase {
  const char* command;
  const char* line;
  std::string sizeBefore;
  bool backdoorBefore;
  std::string sizeAfter;
  bool backdoorAfter;
};

TEST(FlashConfigTest, OutputLinesSetOnlyWhatTheirCommandAsked) {
  const std::vector<LineCase> cases = {
      {"getvar block-size", "block-size: 4096\n", "512", false, "4096", false},
      {"getvar block-size", "block-size: 512\n", "4096", false, "512", false},
      {"getvar block-size", "block-size: 0x1000\n", "512", false, "512", false},
      {"getvar block-size", "block-size: 4096 or 512\n", "512", false, "4096", false},
      {"getvar block-size", "Finished. Total time: 4096s\n", "512", false, "512", false},
      {"getvar block-size", "backdoor: yes\n", "512", false, "512", false},
      {"getvar backdoor", "block-size: 4096\n", "512", false, "512", false},
      {"getvar backdoor", "backdoor: yes\n", "512", false, "512", true},
      {"getvar backdoor", "backdoor: no\n", "512", true, "512", false},
      // The client's closing summary does not undo the answer.
      {"getvar backdoor", "Finished. Total time: 0.001s\n", "512", true, "512", true},
      {"getvar backdoor", "yes, really\n", "512", false, "512", false},
      {"flash boot b.img", "backdoor: yes block-size: 4096\n", "512", false, "512", false},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " / " + c.line);
    std::string size = c.sizeBefore;
    bool backdoor = c.backdoorBefore;
    fastboot::interpretLine(c.command, c.line, &size, &backdoor);
    EXPECT_EQ(c.sizeAfter, size);
    EXPECT_EQ(c.backdoorAfter, backdoor);
  }
}

TEST(FlashConfigTest, ShellQuoteLeavesPlainWordsAndQuotesTheRest) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"boot_a", "boot_a"},
      {"/tmp/x/boot-1.2.img", "/tmp/x/boot-1.2.img"},
      {"", "''"},
      {"a b", "'a b'"},
      {"it's", "'it'\\''s'"},
      {"x;rm -rf /", "'x;rm -rf /'"},
      {"$(touch p)", "'$(touch p)'"},
      {"`id`", "'`id`'"},
      {"a\nb", "'a\nb'"},
      {"*", "'*'"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, fastboot::shellQuote(c.first)) << c.first;
}

// A GPT image in memory: protective MBR, header at `block`, entries from
// the next block on.
class GptImage {
 public:
  explicit GptImage(size_t block, uint32_t count = 4, uint32_t entrySize = 128) : block_(block) {
    data_.assign(block * 2 + size_t(count) * entrySize, 0);
    data_[0x1C2] = 0xEE;
    uint8_t* h = data_.data() + block;
    memcpy(h, "EFI PART", 8);
    jyx::encodeFixed32(h + 0x50, count);
    jyx::encodeFixed32(h + 0x54, entrySize);
    entrySize_ = entrySize;
  }
  void entry(uint32_t i, uint64_t first, uint64_t last, const std::vector<uint16_t>& name) {
    uint8_t* e = data_.data() + block_ * 2 + size_t(i) * entrySize_;
    for (int k = 0; k < 16; ++k) e[k] = uint8_t(0x10 + k);
    for (int k = 0; k < 16; ++k) e[16 + k] = uint8_t(0xA0 + k);
    jyx::encodeFixed64(e + 32, first);
    jyx::encodeFixed64(e + 40, last);
    for (size_t k = 0; k < name.size() && k < 36; ++k) jyx::encodeFixed16(e + 56 + 2 * k, name[k]);
  }
  std::vector<uint16_t> ascii(const std::string& s) { return {s.begin(), s.end()}; }
  std::string dump(const std::string& partition, size_t cut = 0) const {
    size_t n = cut ? cut : data_.size();
    return fastboot::gptDumpText("img", data_.data(), n, partition);
  }
  std::vector<uint8_t> data_;

 private:
  size_t block_;
  uint32_t entrySize_;
};

TEST(FlashConfigTest, GptDumpPrintsEveryUsedEntry) {
  GptImage g(512);
  g.entry(0, 0x800, 0xFFF, g.ascii("boot"));
  g.entry(2, 0x1000, 0x1FFF, g.ascii("root"));
  EXPECT_EQ(
      "\n------ dump gpt (img)------\n"
      "LBA0, partition type: 0xee\n"
      "LBA1, partition count : 4, partition size: 128\n"
      "PARTITION0, type_guid:13121110-1514-1716-1819-1a1b1c1d1e1f\n"
      "PARTITION0, guid:a3a2a1a0-a5a4-a7a6-a8a9-aaabacadaeaf\n"
      "PARTITION0, LBA[0x800] - LBA[0xfff], total size 1023KiB\n"
      "PARTITION0, name: boot\n"
      "PARTITION2, type_guid:13121110-1514-1716-1819-1a1b1c1d1e1f\n"
      "PARTITION2, guid:a3a2a1a0-a5a4-a7a6-a8a9-aaabacadaeaf\n"
      "PARTITION2, LBA[0x1000] - LBA[0x1fff], total size 2047KiB\n"
      "PARTITION2, name: root\n"
      "------ dump gpt end ------\n",
      g.dump(""));
  EXPECT_EQ("4096 8191 2047KiB root[0x1000, 0x1fff]\n", g.dump("root"));
  EXPECT_EQ("", g.dump("none"));
}

TEST(FlashConfigTest, GptDumpEdgeCases) {
  // A zero word at 512 means 4096-byte blocks.
  GptImage big(4096);
  big.entry(1, 6, 262, big.ascii("data"));
  EXPECT_EQ("6 262 128KiB data[0x6, 0x106]\n", big.dump("data"));

  // Names: high bytes become two UTF-8 bytes; a full-length name is cut at
  // the field's end.
  GptImage names(512);
  names.entry(0, 1, 3, {0x41, 0xE9, 0x42});
  names.entry(1, 1, 3, std::vector<uint16_t>(40, 'x'));
  EXPECT_EQ(
      "1 3 1KiB A\xC3\xA9"
      "B[0x1, 0x3]\n",
      names.dump("A\xC3\xA9"
                 "B"));
  EXPECT_EQ("1 3 1KiB " + std::string(36, 'x') + "[0x1, 0x3]\n", names.dump(std::string(36, 'x')));

  // No data: only the frame; with a name nothing at all.
  EXPECT_EQ("\n------ dump gpt (none)------\n------ dump gpt end ------\n",
            fastboot::gptDumpText("none", nullptr, 0, ""));
  EXPECT_EQ("", fastboot::gptDumpText("none", nullptr, 0, "boot"));
}

TEST(FlashConfigTest, GptDumpNeverReadsPastTheData) {
  // Hostile headers: a huge count, a zero entry size, entries cut short.
  GptImage g(512, 4);
  g.entry(0, 1, 2, g.ascii("a"));
  g.entry(3, 1, 2, g.ascii("last"));
  jyx::encodeFixed32(g.data_.data() + 512 + 0x50, 0xFFFFFFFF);
  std::string all = g.dump("");
  EXPECT_NE(std::string::npos, all.find("PARTITION3, name: last\n"));
  // The last entry is cut: it is not looked at.
  EXPECT_EQ(std::string::npos, g.dump("", g.data_.size() - 1).find("PARTITION3"));
  jyx::encodeFixed32(g.data_.data() + 512 + 0x54, 0);
  EXPECT_EQ(std::string::npos, g.dump("").find("PARTITION"));
  // Every cut of the image is handled (ASan checks the reads).
  for (size_t n = 0; n <= g.data_.size(); n += 7) g.dump("", n ? n : 1);
}

}  // namespace

#include "fastboot/flash_config.h"

#include <rapidjson/document.h>

#include <cstring>

#include "common/byte_order.h"
#include "common/json_text.h"
#include "common/string_format.h"

namespace fastboot {

namespace {

// GPT layout as the dump reads it (UEFI specification, chapter 5).
constexpr size_t kMbrFirstRecordType = 0x1C2;
constexpr size_t kSmallBlock = 512;
constexpr size_t kLargeBlock = 4096;
constexpr size_t kHdrEntryCount = 0x50;
constexpr size_t kHdrEntrySize = 0x54;
constexpr size_t kEntTypeGuid = 0;
constexpr size_t kEntUniqueGuid = 16;
constexpr size_t kEntFirstLba = 32;
constexpr size_t kEntLastLba = 40;
constexpr size_t kEntName = 56;
constexpr size_t kEntNameUnits = 36;  // UTF-16 code units
constexpr size_t kEntBytesRead = kEntName + 2 * kEntNameUnits;
// The converted name stops once this many bytes were written.
constexpr size_t kNameBytes = 117;

// Members of the configuration as C++ values, with the check that each
// present one has the type the flash tool relies on.
bool stringMember(const rapidjson::Value& object, const char* key, bool required,
                  const std::string& where, std::string* out, bool* present, std::string* err) {
  auto it = object.FindMember(key);
  *present = it != object.MemberEnd();
  if (!*present) {
    if (required) *err = where + " has no \"" + key + "\" (a string is required)";
    return !required;
  }
  if (!it->value.IsString()) {
    *err = where + ": \"" + key + "\" is not a string";
    return false;
  }
  out->assign(it->value.GetString(), it->value.GetStringLength());
  return true;
}

// "settings" (the platform) and "commands" (kept as JSON text).
bool parseSettings(const rapidjson::Document& doc, FlashLists* out, std::string* err) {
  bool present = false;
  auto settings = doc.FindMember("settings");
  if (settings != doc.MemberEnd()) {
    if (!settings->value.IsObject()) {
      *err = "\"settings\" is not an object";
      return false;
    }
    if (!stringMember(settings->value, "platform", false, "\"settings\"", &out->platform, &present,
                      err)) {
      return false;
    }
  }
  auto commands = doc.FindMember("commands");
  if (commands != doc.MemberEnd()) {
    if (!commands->value.IsArray()) {
      *err = "\"commands\" is not an array";
      return false;
    }
    out->commandsJson = jyx::jsonText(commands->value);
  }
  return true;
}

// "flash_nor" and "gpt", each the first entries of the flash list.
bool parseNorAndGpt(const rapidjson::Document& doc, const std::string& toolDir, FlashLists* out,
                    std::string* err) {
  bool present = false;
  auto nor = doc.FindMember("flash_nor");
  if (nor != doc.MemberEnd()) {
    if (!nor->value.IsObject()) {
      *err = "\"flash_nor\" is not an object";
      return false;
    }
    FlashEntry entry;
    std::string name;
    if (!stringMember(nor->value, "label", true, "\"flash_nor\"", &entry.label, &present, err) ||
        !stringMember(nor->value, "name", true, "\"flash_nor\"", &name, &present, err)) {
      return false;
    }
    entry.name = entry.nameEx = toolDir + name;
    out->flash.push_back(entry);
  }
  auto gpt = doc.FindMember("gpt");
  if (gpt != doc.MemberEnd()) {
    if (!gpt->value.IsObject()) {
      *err = "\"gpt\" is not an object";
      return false;
    }
    FlashEntry entry;
    std::string name;
    if (!stringMember(gpt->value, "label", true, "\"gpt\"", &entry.label, &present, err) ||
        !stringMember(gpt->value, "name", false, "\"gpt\"", &name, &present, err)) {
      return false;
    }
    out->gptImage = present ? toolDir + name : toolDir + entry.label + ".img";
    entry.name = entry.nameEx = out->gptImage;
    out->flash.push_back(entry);
  }
  return true;
}

// One element of "partitions": one flash entry, or two ("_a", "_b") when
// "ab" is true; the presence of "erase" (whatever its value) also lists
// them for erasing.
bool parsePartition(const rapidjson::Value& part, const std::string& where,
                    const std::string& toolDir, FlashLists* out, std::string* err) {
  if (!part.IsObject()) {
    *err = where + " is not an object";
    return false;
  }
  bool present = false;
  std::string label, name;
  if (!stringMember(part, "label", true, where, &label, &present, err) ||
      !stringMember(part, "name", false, where, &name, &present, err)) {
    return false;
  }
  std::string path = present ? toolDir + name : std::string();
  bool ab = false;
  auto abMember = part.FindMember("ab");
  if (abMember != part.MemberEnd()) {
    if (!abMember->value.IsBool()) {
      *err = where + ": \"ab\" is not true or false";
      return false;
    }
    ab = abMember->value.GetBool();
  }
  bool erase = part.HasMember("erase");
  if (ab) {
    for (const char* suffix : {"_a", "_b"}) {
      out->flash.push_back({label + suffix, path, path});
      if (erase) out->erase.push_back(label + suffix);
    }
  } else {
    out->flash.push_back({label, path, path});
    if (erase) out->erase.push_back(label);
  }
  return true;
}

bool parseLists(const rapidjson::Document& doc, const std::string& toolDir, FlashLists* out,
                std::string* err) {
  if (!parseSettings(doc, out, err) || !parseNorAndGpt(doc, toolDir, out, err)) return false;
  auto partitions = doc.FindMember("partitions");
  if (partitions == doc.MemberEnd()) return true;
  if (!partitions->value.IsArray()) {
    *err = "\"partitions\" is not an array";
    return false;
  }
  rapidjson::SizeType index = 0;
  for (const rapidjson::Value& part : partitions->value.GetArray()) {
    if (!parsePartition(part, jyx::stringFormat("partition %u", index++), toolDir, out, err)) {
      return false;
    }
  }
  return true;
}

std::string guidText(const uint8_t* g) {
  return jyx::stringFormat("%.2x%.2x%.2x%.2x-%.2x%.2x-%.2x%.2x-%.2x%.2x-%.2x%.2x%.2x%.2x%.2x%.2x",
                           g[3], g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11],
                           g[12], g[13], g[14], g[15]);
}

// The entry's name: each UTF-16 unit cut to its low byte, bytes from 0x80
// up written as two-byte UTF-8.
std::string entryName(const uint8_t* units) {
  std::string name;
  for (size_t i = 0; i < kEntNameUnits && name.size() < kNameBytes; ++i) {
    uint8_t v = units[2 * i];
    if (v == 0) break;
    if (v < 0x80) {
      name += static_cast<char>(v);
    } else {
      name += static_cast<char>(0xC0 | (v >> 6));
      name += static_cast<char>(0x80 | (v & 0x3F));
    }
  }
  return name;
}

bool allZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

}  // namespace

bool parseFlashConfig(const std::string& content, const std::string& toolDir, FlashLists* out,
                      std::string* err) {
  *out = FlashLists();
  rapidjson::Document doc;
  jyx::JsonError parseError;
  if (!jyx::parseJson(content, &doc, &parseError)) {
    *err = jyx::stringFormat("not valid JSON: %s (at byte %zu)", parseError.reason.c_str(),
                             parseError.offset);
    return false;
  }
  if (!doc.IsObject()) {
    *err = "the configuration is not a JSON object";
    return false;
  }
  if (!parseLists(doc, toolDir, out, err)) {
    *out = FlashLists();
    return false;
  }
  return true;
}

void interpretLine(const std::string& currentCommand, const char* line, std::string* sectorSize,
                   bool* backdoor) {
  if (currentCommand == "getvar block-size") {
    if (strstr(line, "block-size:") == nullptr) return;
    if (strstr(line, "4096") != nullptr) {
      *sectorSize = "4096";
    } else if (strstr(line, "512") != nullptr) {
      *sectorSize = "512";
    }
  } else if (currentCommand == "getvar backdoor") {
    if (strstr(line, "backdoor:") == nullptr) return;
    *backdoor = strstr(line, "yes") != nullptr;
  }
}

std::string shellQuote(const std::string& text) {
  static const char kPlain[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./:=@%+,";
  bool plain = !text.empty();
  for (char c : text) {
    if (c == '\0' || strchr(kPlain, c) == nullptr) {
      plain = false;
      break;
    }
  }
  if (plain) return text;
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string gptDumpText(const std::string& path, const uint8_t* data, size_t size,
                        const std::string& partition) {
  const bool all = partition.empty();
  std::string text;
  if (all) text += jyx::stringFormat("\n------ dump gpt (%s)------\n", path.c_str());
  if (data != nullptr && size > kMbrFirstRecordType) {
    if (all) text += jyx::stringFormat("LBA0, partition type: 0x%x\n", data[kMbrFirstRecordType]);
    size_t header = kSmallBlock;
    size_t block = kSmallBlock;
    if (size >= header + 4 && jyx::decodeFixed32(data + header) == 0) {
      header = kLargeBlock;
      block = kLargeBlock;
    }
    if (size >= header + kHdrEntrySize + 4) {
      uint32_t count = jyx::decodeFixed32(data + header + kHdrEntryCount);
      uint32_t entrySize = jyx::decodeFixed32(data + header + kHdrEntrySize);
      if (all) {
        text += jyx::stringFormat("LBA1, partition count : %d, partition size: %d\n",
                                  static_cast<int>(count), static_cast<int>(entrySize));
      }
      // Every offset below stays inside the bytes read: an entry is looked
      // at only when all of its fields are there, and a zero entry size
      // (which would never advance) ends the walk.
      uint64_t offset = header + block;
      for (uint32_t i = 0; i < count && entrySize > 0 && offset + kEntBytesRead <= size;
           ++i, offset += entrySize) {
        const uint8_t* e = data + offset;
        if (allZero(e + kEntTypeGuid, 16)) continue;
        uint32_t first = static_cast<uint32_t>(jyx::decodeFixed64(e + kEntFirstLba));
        uint32_t last = static_cast<uint32_t>(jyx::decodeFixed64(e + kEntLastLba));
        int kib = static_cast<int>((last - first) / 2);
        std::string name = entryName(e + kEntName);
        if (all) {
          text += jyx::stringFormat("PARTITION%d, type_guid:%s\n", static_cast<int>(i),
                                    guidText(e + kEntTypeGuid).c_str());
          text += jyx::stringFormat("PARTITION%d, guid:%s\n", static_cast<int>(i),
                                    guidText(e + kEntUniqueGuid).c_str());
          text += jyx::stringFormat("PARTITION%d, LBA[0x%x] - LBA[0x%x], total size %dKiB\n",
                                    static_cast<int>(i), first, last, kib);
          text += jyx::stringFormat("PARTITION%d, name: %s\n", static_cast<int>(i), name.c_str());
        } else if (name == partition) {
          return jyx::stringFormat("%d %d %dKiB %s[0x%x, 0x%x]\n", static_cast<int>(first),
                                   static_cast<int>(last), kib, name.c_str(), first, last);
        }
      }
    }
  }
  if (all) text += "------ dump gpt end ------\n";
  return text;
}

}  // namespace fastboot

#include "common/config_loader.h"

#include <sys/stat.h>
#include <yaml.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "common/api_manager.h"
#include "common/child_process.h"
#include "common/file_util.h"
#include "common/string_format.h"

namespace jyx {

namespace {

const unsigned char kUtf8Bom[3] = {0xEF, 0xBB, 0xBF};

// Deeper YAML nesting is refused: later JSON walks recurse per level.
constexpr size_t kMaxYamlDepth = 256;

// Copies that aliases may add to one YAML document, in nodes plus string
// bytes (yamlNodeCost). Real configuration files stay far below; a document
// whose aliases multiply ("billion laughs") reaches it within a few levels.
constexpr size_t kMaxYamlAliasCost = 16 * 1024 * 1024;

// Seconds the curl child may run beyond its own --max-time before it is
// killed.
constexpr double kFetchGraceSeconds = 5.0;

// Nodes plus string bytes of a converted YAML node; the depth is bounded by
// kMaxYamlDepth, so the recursion is too.
size_t yamlNodeCost(const rapidjson::Value& v) {
  size_t cost = 1;
  if (v.IsString()) {
    cost += v.GetStringLength();
  } else if (v.IsArray()) {
    for (const auto& item : v.GetArray()) cost += yamlNodeCost(item);
  } else if (v.IsObject()) {
    for (const auto& m : v.GetObject()) {
      cost += 1 + m.name.GetStringLength() + yamlNodeCost(m.value);
    }
  }
  return cost;
}

}  // namespace

bool yamlToJson(const char* text, size_t length, rapidjson::Document* doc) {
  if (doc == nullptr) return false;
  return yamlToJson(text, length, doc, doc->GetAllocator());
}

namespace {

// One YAML document converted event by event. Every collection open at the
// moment is a frame on the stack; a finished value is attached to the
// frame below it, and the outermost one becomes the result.
class CYamlToJson {
 public:
  explicit CYamlToJson(rapidjson::Document::AllocatorType& allocator) : allocator_(allocator) {}

  // Feeds the parser's events until the top-level collection closes or the
  // document is refused; true with *top set in the first case.
  bool run(yaml_parser_t* parser, rapidjson::Value* top) {
    while (!closed_ && !failed_) {
      yaml_event_t event;
      if (!yaml_parser_parse(parser, &event)) return false;
      handle(event);
      yaml_event_delete(&event);
    }
    if (!closed_ || failed_) return false;
    *top = std::move(top_);
    return true;
  }

 private:
  // One open collection, with the key waiting for its value.
  struct Frame {
    rapidjson::Value value;
    std::string key;
    std::string anchor;  // "&name" given to this collection, if any
    bool hasKey = false;
    bool keyIsMerge = false;  // the pending key is the plain "<<" merge key
  };
  // Anchored nodes, kept in their own pool so that they are freed with it;
  // an alias attaches a fresh copy. Every copy is charged against
  // kMaxYamlAliasCost, so nested aliases that multiply ("billion laughs")
  // fail the conversion instead of exhausting memory.
  struct Anchored {
    rapidjson::Value value;
    size_t cost = 0;
  };

  void handle(const yaml_event_t& event) {
    switch (event.type) {
      case YAML_MAPPING_START_EVENT:
        open(true, event.data.mapping_start.anchor);
        break;
      case YAML_SEQUENCE_START_EVENT:
        open(false, event.data.sequence_start.anchor);
        break;
      case YAML_MAPPING_END_EVENT:
      case YAML_SEQUENCE_END_EVENT:
        close();
        break;
      case YAML_SCALAR_EVENT:
        scalar(event);
        break;
      case YAML_ALIAS_EVENT:
        alias(event.data.alias.anchor);
        break;
      case YAML_STREAM_END_EVENT:
        failed_ = true;  // ended before a top-level collection was closed
        break;
      default:
        break;
    }
  }

  void open(bool mapping, const unsigned char* anchor) {
    if (stack_.size() >= kMaxYamlDepth) {
      failed_ = true;
      return;
    }
    stack_.emplace_back();
    if (anchor != nullptr) stack_.back().anchor = reinterpret_cast<const char*>(anchor);
    if (mapping) {
      stack_.back().value.SetObject();
    } else {
      stack_.back().value.SetArray();
    }
  }

  void close() {
    if (stack_.empty()) {
      failed_ = true;
      return;
    }
    rapidjson::Value finished(std::move(stack_.back().value));
    std::string anchor = std::move(stack_.back().anchor);
    stack_.pop_back();
    if (!anchor.empty()) remember(reinterpret_cast<const unsigned char*>(anchor.c_str()), finished);
    if (stack_.empty()) {
      top_ = std::move(finished);
      closed_ = true;
    } else {
      attach(std::move(finished), false);
    }
  }

  void scalar(const yaml_event_t& event) {
    rapidjson::Value value;
    value.SetString(reinterpret_cast<const char*>(event.data.scalar.value),
                    static_cast<rapidjson::SizeType>(event.data.scalar.length), allocator_);
    remember(event.data.scalar.anchor, value);
    if (stack_.empty()) return;  // a bare scalar document is not a collection
    bool mergeKey = event.data.scalar.style == YAML_PLAIN_SCALAR_STYLE &&
                    event.data.scalar.length == 2 && memcmp(event.data.scalar.value, "<<", 2) == 0;
    attach(std::move(value), mergeKey);
  }

  // An alias to an anchor not defined before it is an error, as in every
  // YAML loader.
  void alias(const unsigned char* anchor) {
    auto it = anchors_.find(reinterpret_cast<const char*>(anchor));
    if (it == anchors_.end() || it->second.cost > kMaxYamlAliasCost - aliasCost_) {
      failed_ = true;
      return;
    }
    aliasCost_ += it->second.cost;
    if (stack_.empty()) return;
    rapidjson::Value copy(it->second.value, allocator_);
    attach(std::move(copy), false);
  }

  void remember(const unsigned char* anchor, const rapidjson::Value& v) {
    if (anchor == nullptr) return;
    Anchored& slot = anchors_[reinterpret_cast<const char*>(anchor)];
    slot.value.CopyFrom(v, anchorAllocator_);
    slot.cost = yamlNodeCost(v);
  }

  // Hands a finished value to the open collection.
  void attach(rapidjson::Value&& v, bool isMergeKey) {
    Frame& parent = stack_.back();
    if (parent.value.IsArray()) {
      parent.value.PushBack(v, allocator_);
      return;
    }
    if (!parent.hasKey) {
      // A collection used as a mapping key has no JSON form; it is dropped.
      if (v.IsString()) {
        parent.key.assign(v.GetString(), v.GetStringLength());
        parent.hasKey = true;
        parent.keyIsMerge = isMergeKey;
      }
      return;
    }
    if (parent.keyIsMerge && (v.IsObject() || v.IsArray())) {
      merge(&parent, v);
    } else {
      auto it = parent.value.FindMember(parent.key.c_str());
      if (it != parent.value.MemberEnd()) {
        it->value = v;  // a repeated key keeps its last value
      } else {
        rapidjson::Value name(parent.key.c_str(),
                              static_cast<rapidjson::SizeType>(parent.key.size()), allocator_);
        parent.value.AddMember(name, v, allocator_);
      }
    }
    parent.hasKey = false;
    parent.keyIsMerge = false;
  }

  // "<<: *base" (or a list of them) adds the members of the merged mappings
  // that the mapping does not give itself; a key that follows the merge
  // still replaces the merged value below.
  void merge(Frame* parent, rapidjson::Value& v) {
    auto mergeFrom = [&](rapidjson::Value& source) {
      if (!source.IsObject()) return;
      for (auto& m : source.GetObject()) {
        if (parent->value.HasMember(m.name)) continue;
        rapidjson::Value name(m.name, allocator_);
        rapidjson::Value member(m.value, allocator_);
        parent->value.AddMember(name, member, allocator_);
      }
    };
    if (v.IsObject()) {
      mergeFrom(v);
    } else {
      for (auto& item : v.GetArray()) mergeFrom(item);
    }
  }

  rapidjson::Document::AllocatorType& allocator_;
  std::deque<Frame> stack_;
  rapidjson::Value top_;
  bool closed_ = false;
  bool failed_ = false;
  rapidjson::Document::AllocatorType anchorAllocator_;
  std::map<std::string, Anchored> anchors_;
  size_t aliasCost_ = 0;
};

}  // namespace

bool yamlToJson(const char* text, size_t length, rapidjson::Value* value,
                rapidjson::Document::AllocatorType& allocator) {
  if (text == nullptr || length == 0 || value == nullptr) return false;
  yaml_parser_t parser;
  if (!yaml_parser_initialize(&parser)) return false;
  yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(text), length);
  yaml_parser_set_encoding(&parser, YAML_UTF8_ENCODING);
  rapidjson::Value top;
  bool ok = CYamlToJson(allocator).run(&parser, &top);
  yaml_parser_delete(&parser);
  if (!ok) return false;
  if (value->IsArray()) {
    value->PushBack(top, allocator);
  } else {
    *value = top;
  }
  return true;
}

bool CConfigLoader::loadLocalFile(const std::string& path, std::string* content, bool* missing,
                                  std::string* err) {
  struct stat st;
  *missing = !path.empty() && stat(path.c_str(), &st) != 0;
  return readRegularFile(path, kMaxLoadedFileBytes, content, err);
}

std::string CConfigLoader::readFile(const std::string& path) {
  std::string content;
  bool missing = false;
  std::string err;
  if (!loadLocalFile(path, &content, &missing, &err)) {
    if (!missing) CAPIManager::instance()->print("%s\n", err.c_str());
    CAPIManager::instance()->print("open file (%s) FAIL.\n", path.c_str());
    return std::string();
  }
  if (content.size() >= 4 && memcmp(content.data(), kUtf8Bom, 3) == 0) content.erase(0, 3);
  return content;
}

bool CConfigLoader::writeFile(const std::string& text, const std::string& path) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    CAPIManager::instance()->print("open file (%s) FAIL.\n", path.c_str());
    return false;
  }
  bool ok = true;
  if (!text.empty()) {
    ok = fwrite(kUtf8Bom, 1, 3, f) == 3 && fwrite(text.data(), 1, text.size(), f) == text.size();
  }
  if (fclose(f) != 0) ok = false;
  return ok;
}

bool CConfigLoader::yamlFileToJson(const std::string& path, rapidjson::Document* doc) {
  std::string content;
  bool missing = false;
  std::string err;
  if (!loadLocalFile(path, &content, &missing, &err)) {
    if (!missing) CAPIManager::instance()->print("%s\n", err.c_str());
    return false;
  }
  if (content.empty()) return false;
  return yamlToJson(content.data(), content.size(), doc);
}

void CConfigLoader::setFetchTimeouts(double connectSeconds, double totalSeconds) {
  fetchConnectSeconds_ = connectSeconds;
  fetchTotalSeconds_ = totalSeconds;
}

bool CConfigLoader::fetchUrl(const std::string& url, std::string* text, std::string* err) const {
  // No shell: the address reaches curl as one argument, after "--", so it
  // can be neither a shell word nor an option. curl gives up on its own
  // time-outs; the deadline of the child process is the backstop.
  std::vector<std::string> argv = {"curl",
                                   "-sS",
                                   "--fail",
                                   "--connect-timeout",
                                   stringFormat("%.3f", fetchConnectSeconds_),
                                   "--max-time",
                                   stringFormat("%.3f", fetchTotalSeconds_),
                                   "--proto",
                                   "=http,https",
                                   "--",
                                   url};
  CaptureLimits limits;
  limits.totalSeconds = fetchTotalSeconds_ + kFetchGraceSeconds;
  limits.maxOutput = kMaxLoadedFileBytes;
  return runCaptured(argv, limits, text, err);
}

}  // namespace jyx

// Configuration loading shared by the controller object and the feature
// managers: local files (regular files only, size-capped, so a FIFO or a
// device never blocks the main thread), texts fetched over HTTP with curl
// under time-outs, and YAML converted to JSON. Nothing here keeps state
// beyond the fetch time-outs; every function may run on any thread.
#ifndef JYX_COMMON_CONFIG_LOADER_H_
#define JYX_COMMON_CONFIG_LOADER_H_

#include <rapidjson/document.h>

#include <cstddef>
#include <string>

namespace jyx {

// YAML to JSON with libyaml: mappings become objects, sequences arrays,
// every scalar a JSON string. A null `value` becomes the top-level
// collection; an array `value` gets it pushed; anything else is replaced.
// True when the top-level collection was closed; false on a parse error,
// an early end, a bare scalar document, nesting deeper than 256 or aliases
// that multiply the document beyond 16 Mi nodes plus bytes.
bool yamlToJson(const char* text, size_t length, rapidjson::Value* value,
                rapidjson::Document::AllocatorType& allocator);
bool yamlToJson(const char* text, size_t length, rapidjson::Document* doc);

class CConfigLoader {
 public:
  // Every file loaded here must be a regular file of at most this size: a
  // directory, FIFO or device such as /dev/zero is refused with its reason
  // instead of blocking or exhausting memory. Fetched texts are capped alike.
  static constexpr size_t kMaxLoadedFileBytes = 16 * 1024 * 1024;

  // Reads a regular file of at most kMaxLoadedFileBytes; *missing tells a
  // path that does not exist from one that was refused (*err says why).
  static bool loadLocalFile(const std::string& path, std::string* content, bool* missing,
                            std::string* err);
  // Whole file in binary mode; a leading UTF-8 byte-order mark is dropped
  // (files of 4 bytes or more). Prints "open file (<path>) FAIL." and yields
  // "" when the file cannot be read.
  static std::string readFile(const std::string& path);
  // Creates or truncates the file; a non-empty text is written after the
  // UTF-8 byte-order mark. False (and the same message) when it cannot be
  // opened, written or closed.
  static bool writeFile(const std::string& text, const std::string& path);
  // Reads the whole file, then converts it; false when it cannot be read or
  // is empty (a refused file prints its reason).
  static bool yamlFileToJson(const std::string& path, rapidjson::Document* doc);

  // Time-outs of a fetch over HTTP (curl --connect-timeout / --max-time), in
  // seconds; 10 and 60 unless changed. The fetch blocks the calling thread
  // at most the total time plus a few seconds, then curl is killed.
  void setFetchTimeouts(double connectSeconds, double totalSeconds);
  // Runs curl on `url` (no shell); false with *err naming the reason.
  bool fetchUrl(const std::string& url, std::string* text, std::string* err) const;

 private:
  double fetchConnectSeconds_ = 10.0;
  double fetchTotalSeconds_ = 60.0;
};

}  // namespace jyx

#endif  // JYX_COMMON_CONFIG_LOADER_H_

// JSON texts that come from outside the process (configuration files,
// fetched lists, task arguments, bench-server lines) and JSON values turned
// back into text. RapidJSON's reader and writer recurse once per nesting
// level, so an unbounded nesting ("[[[[…" a megabyte long) would overflow
// the stack; every parse here stops at kMaxJsonDepth levels instead.
#ifndef JYX_COMMON_JSON_TEXT_H_
#define JYX_COMMON_JSON_TEXT_H_

#include <rapidjson/document.h>

#include <cstddef>
#include <string>

namespace jyx {

// Arrays and objects nested deeper than this are refused; the same bound
// as the YAML conversion. Real configuration stays below ten.
constexpr size_t kMaxJsonDepth = 256;

// Why a parse failed: the reader's English text (or the nesting refusal)
// and the byte offset where it stopped.
struct JsonError {
  std::string reason;
  size_t offset = 0;
};

// Parses `length` bytes as one JSON document, as rapidjson's
// Document::Parse(text, length) does (a leading UTF-8 byte-order mark is
// skipped), into *doc. False with *error filled when the text is not JSON
// or nests deeper than kMaxJsonDepth; *doc is then left as it was.
bool parseJson(const char* text, size_t length, rapidjson::Document* doc,
               JsonError* error = nullptr);
bool parseJson(const std::string& text, rapidjson::Document* doc, JsonError* error = nullptr);
// The same for a NUL-terminated text (task arguments and the like).
bool parseJson(const char* text, rapidjson::Document* doc, JsonError* error = nullptr);

// The compact JSON text of a value; "null" for a value that holds a number
// that is not finite, which JSON cannot express.
std::string jsonText(const rapidjson::Value& value);
// `text` as one JSON string, quotes and escapes included.
std::string jsonQuoted(const std::string& text);

}  // namespace jyx

#endif  // JYX_COMMON_JSON_TEXT_H_

#include "common/json_text.h"

#include <rapidjson/encodedstream.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cmath>
#include <cstring>

#include "common/string_format.h"

namespace jyx {

namespace {

// The reader's events handed on to the document under construction; an
// array or object that opens below kMaxJsonDepth levels ends the parse
// before the reader recurses into it.
class CDepthBoundHandler {
 public:
  explicit CDepthBoundHandler(rapidjson::Document* doc) : doc_(doc) {}

  bool tooDeep() const { return tooDeep_; }
  bool tooBig() const { return tooBig_; }

  bool Null() { return doc_->Null(); }
  bool Bool(bool b) { return doc_->Bool(b); }
  bool Int(int i) { return doc_->Int(i); }
  bool Uint(unsigned i) { return doc_->Uint(i); }
  bool Int64(int64_t i) { return doc_->Int64(i); }
  bool Uint64(uint64_t i) { return doc_->Uint64(i); }
  // The reader turns some numbers beyond the double range (a long
  // significand with a large exponent) into infinity instead of refusing
  // them; no writer can give such a value back as JSON.
  bool Double(double d) {
    if (!std::isfinite(d)) {
      tooBig_ = true;
      return false;
    }
    return doc_->Double(d);
  }
  bool RawNumber(const char* str, rapidjson::SizeType length, bool copy) {
    return doc_->RawNumber(str, length, copy);
  }
  bool String(const char* str, rapidjson::SizeType length, bool copy) {
    return doc_->String(str, length, copy);
  }
  bool Key(const char* str, rapidjson::SizeType length, bool copy) {
    return doc_->Key(str, length, copy);
  }
  bool StartObject() { return enter() && doc_->StartObject(); }
  bool EndObject(rapidjson::SizeType members) {
    --depth_;
    return doc_->EndObject(members);
  }
  bool StartArray() { return enter() && doc_->StartArray(); }
  bool EndArray(rapidjson::SizeType elements) {
    --depth_;
    return doc_->EndArray(elements);
  }

 private:
  bool enter() {
    if (depth_ >= kMaxJsonDepth) {
      tooDeep_ = true;
      return false;
    }
    ++depth_;
    return true;
  }

  rapidjson::Document* doc_;
  size_t depth_ = 0;
  bool tooDeep_ = false;
  bool tooBig_ = false;
};

}  // namespace

bool parseJson(const char* text, size_t length, rapidjson::Document* doc, JsonError* error) {
  CDepthBoundHandler handler(doc);
  rapidjson::ParseResult result;
  // The document builds its value from the events; it takes the value only
  // when the generator reports a whole document.
  auto generate = [&](rapidjson::Document&) {
    rapidjson::MemoryStream bytes(text, length);
    rapidjson::EncodedInputStream<rapidjson::UTF8<>, rapidjson::MemoryStream> in(bytes);
    rapidjson::Reader reader;
    result = reader.Parse(in, handler);
    return !result.IsError();
  };
  doc->Populate(generate);
  if (!result.IsError()) return true;
  if (error != nullptr) {
    rapidjson::ParseErrorCode code =
        handler.tooBig() ? rapidjson::kParseErrorNumberTooBig : result.Code();
    error->reason = handler.tooDeep()
                        ? stringFormat("Nesting deeper than %zu levels.", kMaxJsonDepth)
                        : rapidjson::GetParseError_En(code);
    error->offset = result.Offset();
  }
  return false;
}

bool parseJson(const std::string& text, rapidjson::Document* doc, JsonError* error) {
  return parseJson(text.data(), text.size(), doc, error);
}

bool parseJson(const char* text, rapidjson::Document* doc, JsonError* error) {
  return parseJson(text, strlen(text), doc, error);
}

std::string jsonText(const rapidjson::Value& value) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  // The writer stops at a number that is not finite and leaves a cut text.
  if (!value.Accept(writer)) return "null";
  return std::string(buffer.GetString(), buffer.GetSize());
}

std::string jsonQuoted(const std::string& text) {
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace jyx

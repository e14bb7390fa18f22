#include "common/json_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace jyx {
namespace {

std::string nested(size_t depth, const char* inner = "1") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(JsonTextTest, ParsesUpToTheDepthBoundAndRefusesBeyondIt) {
  rapidjson::Document doc;
  JsonError error;
  ASSERT_TRUE(parseJson(nested(kMaxJsonDepth), &doc, &error)) << error.reason;
  EXPECT_EQ(nested(kMaxJsonDepth), jsonText(doc));

  // One level more, or a megabyte of openings (the reader recursed once
  // per level and ran out of stack), is refused where the bound is passed,
  // and the document keeps its value.
  for (const std::string& text : {nested(kMaxJsonDepth + 1), std::string(1 << 20, '[')}) {
    EXPECT_FALSE(parseJson(text, &doc, &error));
    EXPECT_EQ("Nesting deeper than 256 levels.", error.reason);
    EXPECT_EQ(kMaxJsonDepth + 1, error.offset);
    EXPECT_EQ(nested(kMaxJsonDepth), jsonText(doc));
  }
  std::string objects;
  for (size_t i = 0; i <= kMaxJsonDepth; ++i) objects += "{\"a\":";
  EXPECT_FALSE(parseJson(objects + "1" + std::string(kMaxJsonDepth + 1, '}'), &doc, &error));
  EXPECT_EQ("Nesting deeper than 256 levels.", error.reason);
}

TEST(JsonTextTest, OtherwiseReadsAsTheLibraryDoes) {
  rapidjson::Document doc;
  JsonError error;
  ASSERT_TRUE(parseJson("\xEF\xBB\xBF {\"a\":[1,\"\\u0041\",null,true,-2.5,18446744073709551615]}",
                        &doc, &error));
  EXPECT_EQ(R"({"a":[1,"A",null,true,-2.5,18446744073709551615]})", jsonText(doc));
  EXPECT_EQ("null", jsonText(rapidjson::Value(HUGE_VAL)));
  const struct {
    const char* text;
    const char* reason;
    size_t offset;
  } refused[] = {
      {"", "The document is empty.", 0},
      {"{\"a\":1", "Missing a comma or '}' after an object member.", 6},
      {"[1] 2", "The document root must not be followed by other values.", 4},
      // Read as infinity by the library, which its writer then refuses.
      {"[1,299922990991E299]", "Number too big to be stored in double.", 3},
  };
  for (const auto& r : refused) {
    EXPECT_FALSE(parseJson(r.text, &doc, &error)) << r.text;
    EXPECT_EQ(r.reason, error.reason) << r.text;
    EXPECT_EQ(r.offset, error.offset) << r.text;
  }
}

}  // namespace
}  // namespace jyx

#include "common/api_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(ApiDataTest, GrowingKeepsContentAndTerminatesBytes) {
  APIDATA d;
  d.append("hello", "\x01\x02\x03", 3);
  d.reserve(256, 1500);  // text needs 257 bytes with the NUL
  EXPECT_GE(d.textCapacity, 257);
  EXPECT_GE(d.byteCapacity, 1500);
  std::string longText(1000, 'a');
  std::string raw(700, '\xff');
  d.append(longText.c_str(), raw.data(), static_cast<int>(raw.size()));
  d.append(nullptr, nullptr, 0);
  EXPECT_EQ("hello" + longText, d.text);
  ASSERT_EQ(703, d.byteLength);
  EXPECT_EQ(0, memcmp(d.bytes, "\x01\x02\x03", 3));
  EXPECT_EQ(0, memcmp(d.bytes + 3, raw.data(), raw.size()));
  EXPECT_EQ(0, d.bytes[703]);
}

TEST(ApiDataTest, CopyFromReplacesAndClearEmpties) {
  APIDATA a;
  APIDATA b;
  std::string longText(600, 'x');
  a.append(longText.c_str(), "ab", 2);
  b.append("old", "zzzz", 4);
  b.copyFrom(&a);
  EXPECT_EQ(longText, b.text);
  ASSERT_EQ(2, b.byteLength);
  EXPECT_EQ(0, memcmp(b.bytes, "ab", 2));
  b.clear();
  EXPECT_STREQ("", b.text);
  EXPECT_EQ(0, b.byteLength);
  b.copyFrom(nullptr);
  EXPECT_STREQ("", b.text);
}

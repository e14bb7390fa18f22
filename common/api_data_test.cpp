#include "common/api_data.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(ApiDataTest, StartsEmptyWith256Each) {
  APIDATA d;
  EXPECT_STREQ("", d.text);
  EXPECT_EQ(0, d.byteLength);
  EXPECT_EQ(256, d.textCapacity);
  EXPECT_EQ(256, d.byteCapacity);
}

TEST(ApiDataTest, ReserveDoublesAndKeepsContent) {
  APIDATA d;
  d.append("hello", "\x01\x02\x03", 3);
  d.reserve(255, 255);  // still fits
  EXPECT_EQ(256, d.textCapacity);
  d.reserve(256, 10);  // text needs 257 bytes with the NUL
  EXPECT_EQ(512, d.textCapacity);
  EXPECT_EQ(256, d.byteCapacity);
  d.reserve(10, 1500);
  EXPECT_EQ(2048, d.byteCapacity);
  EXPECT_STREQ("hello", d.text);
  ASSERT_EQ(3, d.byteLength);
  EXPECT_EQ(0, memcmp(d.bytes, "\x01\x02\x03", 3));
}

TEST(ApiDataTest, AppendGrowsBothPartsAndTerminatesBytes) {
  APIDATA d;
  std::string longText(1000, 'a');
  std::string raw(700, '\xff');
  d.append(longText.c_str(), raw.data(), static_cast<int>(raw.size()));
  d.append("b", "\x07", 1);
  d.append(nullptr, nullptr, 0);
  EXPECT_EQ(longText + "b", d.text);
  ASSERT_EQ(701, d.byteLength);
  EXPECT_EQ(7, d.bytes[700]);
  EXPECT_EQ(0, d.bytes[701]);
  EXPECT_GT(d.textCapacity, 1001);
}

TEST(ApiDataTest, CopyFromReplacesAndClearKeepsCapacity) {
  APIDATA a;
  APIDATA b;
  std::string longText(600, 'x');
  a.append(longText.c_str(), "ab", 2);
  b.append("old", "zzzz", 4);
  b.copyFrom(&a);
  EXPECT_EQ(longText, b.text);
  ASSERT_EQ(2, b.byteLength);
  EXPECT_EQ(0, memcmp(b.bytes, "ab", 2));
  int capacity = b.textCapacity;
  b.clear();
  EXPECT_STREQ("", b.text);
  EXPECT_EQ(0, b.byteLength);
  EXPECT_EQ(capacity, b.textCapacity);
  b.copyFrom(nullptr);
  EXPECT_STREQ("", b.text);
}

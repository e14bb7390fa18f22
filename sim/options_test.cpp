#include "sim/options.h"

#include <gtest/gtest.h>

namespace jyxsim {
namespace {

bool parse(std::vector<std::string> args, SimOptions* o, std::string* err) {
  std::vector<char*> argv = {const_cast<char*>("jyx-sim")};
  for (std::string& a : args) argv.push_back(&a[0]);
  return parseOptions(int(argv.size()), argv.data(), o, err);
}

TEST(SimOptionsTest, SeedReachesFaultsAndPowerNoiseByOneNumberRule) {
  SimOptions o;
  std::string err;
  ASSERT_TRUE(parse({"--seed", "010", "--flash-size=2M", "--power-ics", "0x20=107"}, &o, &err))
      << err;
  EXPECT_EQ(o.controller.power.seed, 10u) << "decimal, not octal";
  ASSERT_EQ(o.faultOptions.size(), 1u);
  EXPECT_EQ(o.faultOptions[0].second, "010");
  EXPECT_EQ(o.controller.flash.sizeBytes, 2u << 20);
  EXPECT_EQ(o.controller.power.ics.size(), 1u);
  SimOptions h;
  ASSERT_TRUE(parse({"--seed", "0x10"}, &h, &err));
  EXPECT_EQ(h.controller.power.seed, 16u);
}

}  // namespace
}  // namespace jyxsim

#include "sim/faults.h"

#include <gtest/gtest.h>

#include <deque>

namespace jyxsim {
namespace {

uint32_t u32At(const std::string& s, size_t at) {
  return getU32(reinterpret_cast<const uint8_t*>(s.data()) + at);
}

// The packet reader as the controller protocol prescribes it, kept apart
// from both the simulator's reader and the tool's: skip to "ZZZZ", drop a
// header whose length is below 20 or not below `capacity` as 20 bytes, wait
// for the whole packet, drop a packet with a bad checksum whole. Returns the
// frame numbers of the valid packets, in order.
std::vector<uint32_t> prescribedReader(const std::string& stream, uint32_t capacity) {
  std::vector<uint32_t> frames;
  size_t pos = 0;
  for (;;) {
    size_t magic = stream.find("ZZZZ", pos);
    if (magic == std::string::npos || stream.size() - magic < 20) break;
    pos = magic;
    uint32_t length = u32At(stream, pos + 12);
    if (length < 20 || length >= capacity) {
      pos += 20;
      continue;
    }
    if (stream.size() - pos < length) break;
    // magic + frame + cmd + data + length + payload bytes
    uint32_t sum = u32At(stream, pos) + u32At(stream, pos + 4) +
                   getU16(reinterpret_cast<const uint8_t*>(stream.data()) + pos + 8) +
                   getU16(reinterpret_cast<const uint8_t*>(stream.data()) + pos + 10) + length;
    for (size_t i = pos + 20; i < pos + length; ++i) sum += uint8_t(stream[i]);
    if (sum == u32At(stream, pos + 16)) frames.push_back(u32At(stream, pos + 4));
    pos += length;
  }
  return frames;
}

SimFrame request(uint16_t cmd, uint16_t data = 255) {
  SimFrame f;
  f.cmd = cmd;
  f.data = data;
  return f;
}

class SimFaultsTest : public testing::Test {
 protected:
  CSimFaults faults;
  std::string err;
};

TEST_F(SimFaultsTest, RulesHitTheNthRequestOfTheirSelector) {
  ASSERT_TRUE(faults.addOption("drop", "GPIO_CTRL:2,4", &err)) << err;
  ASSERT_TRUE(faults.addOption("fail", "SPI_CTRL/SPI_DATA:1", &err)) << err;
  ASSERT_TRUE(faults.addOption("delay", "*:*:5", &err)) << err;
  std::vector<bool> drops;
  for (int i = 1; i <= 5; ++i) drops.push_back(faults.decide(request(3), uint32_t(i)).drop);
  EXPECT_EQ(drops, (std::vector<bool>{false, true, false, true, false}));
  // SPI_CTRL requests of other data types do not count for SPI_CTRL/SPI_DATA.
  EXPECT_FALSE(faults.decide(request(4, 3), 6).fail);
  CSimFaults::Decision d = faults.decide(request(4, 4), 7);
  EXPECT_TRUE(d.fail);
  EXPECT_EQ(d.delayMs, 5u);
  EXPECT_FALSE(faults.decide(request(4, 4), 8).fail);
}

TEST_F(SimFaultsTest, ResetAfterClosesTheLinkOnceAndEndsTheSession) {
  ASSERT_TRUE(faults.addOption("reset-after", "3", &err)) << err;
  std::vector<bool> closes, resets;
  for (uint32_t i = 1; i <= 5; ++i) {
    CSimFaults::Decision d = faults.decide(request(3), i);
    closes.push_back(d.closeAfter);
    resets.push_back(d.resetAfter);
  }
  EXPECT_EQ(closes, (std::vector<bool>{false, false, true, false, false}));
  EXPECT_EQ(resets, closes);
  // A plain close does not end the session.
  ASSERT_TRUE(faults.loadText("close-after 1\n", &err)) << err;
  CSimFaults::Decision d = faults.decide(request(3), 1);
  EXPECT_TRUE(d.closeAfter);
  EXPECT_FALSE(d.resetAfter);
  EXPECT_FALSE(faults.addOption("reset-after", "x", &err));
}

TEST_F(SimFaultsTest, RandomFaultsAreReproducibleFromTheSeed) {
  auto run = [](const char* seed) {
    CSimFaults f;
    std::string err;
    f.addOption("seed", seed, &err);
    f.addOption("random", "drop=0.3,garbage=0.2", &err);
    std::string pattern;
    for (int i = 0; i < 200; ++i) {
      CSimFaults::Decision d = f.decide(request(0), uint32_t(i + 1));
      pattern += d.drop ? 'd' : d.garbageBytes ? 'g' : '.';
    }
    return pattern;
  };
  std::string a = run("7");
  EXPECT_EQ(a, run("7"));
  EXPECT_NE(a, run("8"));
  EXPECT_NE(a.find('d'), std::string::npos);
  EXPECT_NE(a.find('.'), std::string::npos);
  std::string g;
  faults.garbage(2000, &g);
  EXPECT_EQ(g.find('\x5A'), std::string::npos) << "garbage never holds the magic byte";
}

TEST_F(SimFaultsTest, MalformedOptionsAndControlFilesAreRefused) {
  EXPECT_FALSE(faults.addOption("drop", "GPIO_CTRL", &err));
  EXPECT_FALSE(faults.addOption("drop", "BOGUS:1", &err));
  EXPECT_FALSE(faults.addOption("drop", "GPIO_CTRL:0", &err));
  EXPECT_FALSE(faults.addOption("delay", "GPIO_CTRL:1", &err));
  EXPECT_FALSE(faults.addOption("random", "drop=2", &err));
  EXPECT_FALSE(faults.addOption("close-after", "x", &err));
  ASSERT_TRUE(faults.addOption("drop", "3:1", &err));
  EXPECT_FALSE(faults.loadText("--drop GPIO_CTRL:1\n--nonsense 3\n", &err));
  EXPECT_NE(err.find("line 2"), std::string::npos);
  EXPECT_EQ(faults.rules().size(), 1u) << "a bad file keeps the old rules";
  ASSERT_TRUE(faults.loadText("drop=HEART_BEAT:1\n--garbage GPIO_CTRL:1:4 # comment\n", &err))
      << err;
  EXPECT_EQ(faults.rules().size(), 2u);
  EXPECT_EQ(faults.decide(request(3), 1).garbageBytes, 4u);
}

TEST_F(SimFaultsTest, MagicGarbageHoldsFalseHeadersThatEndInsideIt) {
  ASSERT_TRUE(faults.addOption("seed", "5", &err));
  SimFrame reply = request(1, 2);
  reply.frame = 0x01020304;
  reply.payload = {1, 0, 66, 0, 1, 0, 0, 0};
  std::string wire;
  encodeFrame(reply, &wire);
  int shortLengths = 0, hugeLengths = 0, falsePackets = 0, partialRuns = 0;
  for (uint32_t n : {24u, 25u, 40u, 64u, 200u}) {
    for (int round = 0; round < 200; ++round) {
      std::string g;
      faults.magicGarbage(n, &g);
      ASSERT_EQ(g.size(), n);
      ASSERT_NE(uint8_t(g.back()), 0x5A) << "a trailing magic byte would shift the real header";
      std::string runs = g;
      for (size_t at = g.find("ZZZZ"); at != std::string::npos; at = g.find("ZZZZ", at + 20)) {
        runs.replace(at, 4, "....");
        ASSERT_LE(at + 20, g.size()) << "a false header reaches past the block";
        ASSERT_NE(uint8_t(g[at + 4]), 0x5A) << "a magic run longer than four bytes";
        uint32_t length = u32At(g, at + 12);
        if (length < 20)
          ++shortLengths;
        else if (length >= 0x10000000u)
          ++hugeLengths;
        else {
          ASSERT_LE(at + length, g.size()) << "a false packet reaches past the block";
          ++falsePackets;
        }
      }
      if (runs.find('Z') != std::string::npos) ++partialRuns;
      // Behind any block, a reader that follows the protocol finds exactly
      // the real reply, whatever size of receive buffer it has.
      for (uint32_t capacity : {4096u + 28u, 1u << 20, 0x0FFFFFFFu})
        ASSERT_EQ(prescribedReader(g + wire, capacity), std::vector<uint32_t>{0x01020304u})
            << "block of " << n << ", capacity " << capacity;
      // So does the simulator's own resynchronising reader.
      CSimFrameReader r;
      std::string stream = g + wire;
      r.feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size());
      SimFrame f;
      ASSERT_TRUE(r.next(&f));
      EXPECT_EQ(f.frame, 0x01020304u);
      EXPECT_FALSE(r.next(&f));
    }
  }
  EXPECT_GT(shortLengths, 50);
  EXPECT_GT(hugeLengths, 50);
  EXPECT_GT(falsePackets, 50);
  EXPECT_GT(partialRuns, 50);
}

TEST_F(SimFaultsTest, MagicGarbageRulesAndRandomKind) {
  EXPECT_FALSE(faults.addOption("garbage-magic", "GPIO_CTRL:1:23", &err)) << "below one header";
  ASSERT_TRUE(faults.addOption("garbage-magic", "GPIO_CTRL:2", &err)) << err;
  ASSERT_TRUE(faults.addOption("garbage-magic", "SPI_READ:*:100", &err)) << err;
  EXPECT_EQ(faults.decide(request(3), 1).garbage.size(), 0u);
  CSimFaults::Decision d = faults.decide(request(3), 2);
  EXPECT_EQ(d.magicGarbageBytes, CSimFaults::kDefaultMagicGarbage);
  EXPECT_EQ(d.garbage.size(), CSimFaults::kDefaultMagicGarbage);
  EXPECT_NE(d.garbage.find("ZZZZ"), std::string::npos);
  EXPECT_EQ(d.what, "garbage_magic");
  EXPECT_EQ(faults.decide(request(7, 4), 3).garbage.size(), 100u);

  CSimFaults random;
  ASSERT_TRUE(random.addOption("random", "garbage_magic=0.5", &err)) << err;
  int hit = 0;
  for (uint32_t i = 1; i <= 100; ++i) {
    CSimFaults::Decision r = random.decide(request(0), i);
    if (r.what == "random_garbage_magic") {
      ++hit;
      EXPECT_EQ(r.garbage.size(), CSimFaults::kDefaultMagicGarbage);
    }
  }
  EXPECT_GT(hit, 20);
  EXPECT_LT(hit, 80);
}

}  // namespace
}  // namespace jyxsim

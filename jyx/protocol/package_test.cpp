#include "jyx/protocol/package.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/channel.h"
#include "jyx/protocol/package_manager.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(CPackage& p) { return Bytes(p.data(), p.data() + p.size()); }

uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Recomputes the checksum from the raw bytes, independently of CPackage.
uint32_t referenceChecksum(const Bytes& b) {
  uint32_t sum = 0x5A5A5A5Au + le32(&b[4]) + le16(&b[8]) + le16(&b[10]) + le32(&b[12]);
  for (size_t i = 20; i < b.size(); ++i) sum += b[i];
  return sum;
}

std::string payloadText(CPackage& p) {
  return std::string(reinterpret_cast<char*>(p.payload()), p.payloadLength());
}

TEST(PackageBuild, HeartBeatGoldenBytes) {
  CPackage p;
  p.makeHeartBeat(0);
  const Bytes golden = {0x5A, 0x5A, 0x5A, 0x5A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                        0xFF, 0x00, 0x14, 0x00, 0x00, 0x00, 0x6D, 0x5B, 0x5A, 0x5A};
  EXPECT_EQ(golden, bytesOf(p));
  EXPECT_TRUE(p.verify());
  EXPECT_EQ(0u, p.payloadLength());
}

TEST(PackageBuild, HeaderFieldsAndChecksumWrap) {
  CPackage p;
  const uint8_t payload[] = {0xFF, 0x80, 0x01};
  p.make(0xA1B2C3D4, 0x1234, 0xBEEF, payload, sizeof(payload));
  const Bytes head = {0xD4, 0xC3, 0xB2, 0xA1, 0x34, 0x12, 0xEF, 0xBE, 23, 0, 0, 0};
  EXPECT_EQ(head, Bytes(p.data() + 4, p.data() + 16));
  EXPECT_EQ(referenceChecksum(bytesOf(p)), p.checksumField());

  Bytes big(70000, 0xFF);  // the sum passes 2^32
  p.make(0xFFFFFFFF, 0xFFFF, 0xFFFF, big.data(), static_cast<uint32_t>(big.size()));
  EXPECT_EQ(referenceChecksum(bytesOf(p)), p.checksumField());
  EXPECT_TRUE(p.verify());
}

// A newline ends every command; text beyond 254 bytes is cut.
TEST(PackageBuild, StringCommands) {
  const std::pair<std::string, std::string> cases[] = {
      {"boot", "boot\n"},
      {"boot\n", "boot\n"},
      {std::string(300, 'x'), std::string(254, 'x') + "\n"},
      // The cut may land exactly after a newline: no second one is added.
      {std::string(253, 'y') + "\n" + std::string(10, 'z'), std::string(253, 'y') + "\n"},
      {"", "\n"},
  };
  CPackage p;
  for (const auto& c : cases) {
    p.makeStringCmd(3, c.first.c_str());
    EXPECT_EQ(c.second, payloadText(p)) << c.first;
    EXPECT_EQ(20u + c.second.size(), p.length()) << c.first;
    EXPECT_EQ(p.length(), p.size()) << c.first;
    EXPECT_EQ(STRING_CMD, p.cmdType());
    EXPECT_EQ(255, p.dataType());
    EXPECT_TRUE(p.verify()) << c.first;
  }
}

TEST(PackageBuild, SPISectorWrite) {
  Bytes sector(4096);
  for (size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<uint8_t>(i * 7 + 3);
  CPackage p;
  p.makeSPIData(42, 17, sector.data(), 4096);
  Bytes b = bytesOf(p);
  ASSERT_EQ(4124u, b.size());
  EXPECT_EQ(4124u, le32(&b[12]));
  EXPECT_EQ(SPI_CTRL, le16(&b[8]));
  EXPECT_EQ(SPI_DATA, le16(&b[10]));
  EXPECT_EQ(17u, le32(&b[20]));
  EXPECT_EQ(4096, le16(&b[24]));
  EXPECT_EQ(1, le16(&b[26]));
  EXPECT_EQ(0, memcmp(sector.data(), &b[28], 4096));
  EXPECT_EQ(referenceChecksum(b), le32(&b[16]));

  // The general form keeps secSize, secNum and the data length apart.
  p.makeSPIData(44, 19, 4096, 2, sector.data(), 100);
  EXPECT_EQ(128u, p.size());
  EXPECT_EQ(4096, p.payloadU16(4));
  EXPECT_EQ(2, p.payloadU16(6));

  // A smaller sector in a grown package keeps the exact length.
  p.makeSPIData(43, 18, sector.data(), 256);
  EXPECT_EQ(284u, p.size());
  EXPECT_TRUE(p.verify());
}

// The requests against their payload bytes on the wire (the acks are read back
// end to end).
TEST(PackageBuild, PayloadLayouts) {
  const uint8_t regs[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const uint32_t mask[3] = {0x80000001u, 0x00010000u, 0xC0000000u};
  uint8_t addresses[24];
  for (int i = 0; i < 24; ++i) addresses[i] = static_cast<uint8_t>(0x40 + i);
  Bytes power = {1, 0, 0, 0, 0x01, 0, 0, 0x80, 0, 0, 0x01, 0, 0, 0, 0, 0xC0};
  power.insert(power.end(), addresses, addresses + 24);
  auto zeros = [](size_t n, Bytes head) {
    head.resize(n, 0);
    return head;
  };
  struct Case {
    const char* name;
    std::function<void(CPackage&)> build;
    uint16_t cmd, data;
    Bytes payload;
  };
  const Case cases[] = {
      {"gpio",
       [](CPackage& p) { p.makeGpioCtrl(9, GPIO_OP_SET, 1, 0x0143); },
       GPIO_CTRL,
       255,
       {1, 1, 0x43, 0x01, 0, 0, 0, 0}},
      {"power", [&](CPackage& p) { p.makePowerCtrl(5, 1, mask, addresses); }, POWER_CTRL, 255,
       power},
      {"power off", [](CPackage& p) { p.makePowerCtrl(6, 0, nullptr, nullptr); }, POWER_CTRL, 255,
       Bytes(40, 0)},
      {"spi read",
       [](CPackage& p) { p.makeSPIRead(2, 100, 4096, 1); },
       SPI_READ,
       SPI_DATA,
       {100, 0, 0, 0, 0, 0x10, 1, 0}},
      {"spi reg write", [&](CPackage& p) { p.makeSPIReg(3, SPI_REG_WRITE, 0x01, 2, regs); },
       SPI_CTRL, SPI_REG_DATA, zeros(16, {0, 0x01, 2, 0, 1, 2})},
      {"spi reg read 12", [&](CPackage& p) { p.makeSPIReg(3, SPI_REG_READ, 0x05, 12, regs); },
       SPI_CTRL, SPI_REG_DATA, zeros(16, {1, 0x05, 12, 0})},  // a read copies no data
      {"uart", [](CPackage& p) { p.makeUartCtrl(4, 1); }, UART_CTRL, 255, {1, 0, 0, 0}},
      {"post", [](CPackage& p) { p.makePostCtrl(5); }, POST_CTRL, 255, {}},
      {"ack fail", [](CPackage& p) { p.makeAckFail(11); }, DEVICE_ACK, ACK_FAIL, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CPackage p;
    c.build(p);
    EXPECT_EQ(c.cmd, p.cmdType());
    EXPECT_EQ(c.data, p.dataType());
    EXPECT_EQ(c.payload, Bytes(p.payload(), p.payload() + p.payloadLength()));
    EXPECT_EQ(c.cmd == DEVICE_ACK && c.data != ACK_FAIL, p.isAck());
    EXPECT_TRUE(p.verify());
  }

  CPackage p;
  testing::internal::CaptureStdout();
  p.makeSPICtrl(1, 1, 0, 0xab, 0x1c);
  EXPECT_EQ("spi ctrl: (enable: 1, security: 0, access id: 0xab, eraseID: 0x1c\n",
            testing::internal::GetCapturedStdout());
  EXPECT_EQ(SPI_CTRL, p.cmdType());
  EXPECT_EQ(SPI_CTRL_INFO_DATA, p.dataType());
  EXPECT_EQ((Bytes{1, 0, 0, 0, 0xab, 0, 0x1c, 0}),
            Bytes(p.payload(), p.payload() + p.payloadLength()));
}

TEST(PackageRead, DataPreview) {
  CPackage p;
  p.makeHeartBeatAck(1);
  EXPECT_STREQ("", p.dataPreview());
  const uint8_t ten[] = {0x01, 0xAB, 0xFF, 3, 4, 5, 6, 7, 8, 9};
  p.make(1, DEVICE_ACK, POST_DATA, ten, 3);
  EXPECT_STREQ("\ndata: 01 ab ff", p.dataPreview());
  p.make(1, DEVICE_ACK, POST_DATA, ten, 10);
  EXPECT_STREQ("\ndata: 01 ab ff 03 04 05 06 07", p.dataPreview());
  CPackage empty;
  EXPECT_STREQ("", empty.dataPreview());
}

TEST(PackageRead, IsReplyTo) {
  CPackage p;
  p.makeGpioAck(1, GPIO_OP_READ, 0, 3);
  EXPECT_TRUE(p.isReplyTo(DEVICE_ACK, 8));
  EXPECT_FALSE(p.isReplyTo(DEVICE_ACK, 7));
  EXPECT_FALSE(p.isReplyTo(GPIO_CTRL, 8));

  Bytes data(512, 0xA5);
  p.makeSPIData(2, 0, data.data(), 512);
  EXPECT_TRUE(p.isReplyTo(SPI_CTRL, 12345));  // payload length argument ignored
  p.data()[24] = 0x00;
  p.data()[25] = 0x10;  // a secSize of 4096 disagrees with the length
  EXPECT_FALSE(p.isReplyTo(SPI_CTRL, 0));
  p.make(3, SPI_CTRL, SPI_DATA, data.data(), 4);  // too short for a sector header
  EXPECT_FALSE(p.isReplyTo(SPI_CTRL, 4));
  CPackage empty;
  EXPECT_FALSE(empty.isReplyTo(0, 0));
}

TEST(PackageRead, BoundsCheckedReaders) {
  CPackage p;
  const uint8_t payload[] = {1, 2, 3, 4, 5, 6};
  p.make(1, DEVICE_ACK, POST_DATA, payload, sizeof(payload));
  EXPECT_EQ(0x0605u, p.payloadU16(4));
  EXPECT_EQ(0u, p.payloadU16(5));
  EXPECT_EQ(0x06050403u, p.payloadU32(2));
  EXPECT_EQ(0u, p.payloadU32(3));
  EXPECT_EQ(0u, p.payloadU64(0));
  EXPECT_EQ(0u, p.payloadU32(0xFFFFFFFFu));
  uint8_t out[2] = {9, 9};
  EXPECT_FALSE(p.readPayload(0xFFFFFFFEu, out, 4));
  EXPECT_EQ(9, out[0]);
  EXPECT_TRUE(p.readPayload(6, out, 0));

  CPackage shortPackage;
  shortPackage.append(payload, 6);
  EXPECT_EQ(0u, shortPackage.frameNum());
  EXPECT_EQ(0u, shortPackage.length());
  EXPECT_FALSE(shortPackage.verify());
  EXPECT_FALSE(shortPackage.isAck());

  const std::string text(1000, 'q');
  p.make(1, DEVICE_ACK, STRING_DATA, text.data(), 1000);
  EXPECT_EQ(text, p.stringData());
  std::vector<char> huge(32769, 'h');
  p.make(1, DEVICE_ACK, STRING_DATA, huge.data(), 32769);
  EXPECT_STREQ("", p.stringData());  // over the 32 KiB text limit
  p.make(1, DEVICE_ACK, STRING_DATA, huge.data(), 32768);
  EXPECT_EQ(32768u, strlen(p.stringData()));
}

TEST(PackageVerify, RejectsEveryFlippedByte) {
  CPackage p;
  const uint8_t payload[] = {0x10, 0x20, 0x30, 0x40, 0x50};
  p.make(77, DEVICE_ACK, GPIO_DATA, payload, sizeof(payload));
  ASSERT_TRUE(p.verify());
  for (uint32_t i = 0; i < p.size(); ++i) {
    p.data()[i] ^= 0x01;
    EXPECT_FALSE(p.verify()) << "byte " << i;
    p.data()[i] ^= 0x01;
  }
  EXPECT_TRUE(p.verify());
  EXPECT_FALSE(CPackage::verify(nullptr));
  p.setSize(p.size() - 1);  // a length field that disagrees with the bytes held
  EXPECT_FALSE(p.verify());
}

// Records what is written; `accept` bytes at most per write.
class RecordingChannel : public CChannel, public CChannelDelegate {
 public:
  explicit RecordingChannel(int accept) : CChannel(this, 1024), accept_(accept) {}
  ~RecordingChannel() override { shutdown(); }
  bool isOpen() override { return false; }  // keeps the receive thread idle
  int write(const void* data, int len) override {
    int n = len < accept_ ? len : accept_;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    written.insert(written.end(), p, p + n);
    return n;
  }
  Bytes written;

 private:
  int accept_;
};

TEST(PackageSend, WritesAllBytesAndStampsTime) {
  CPackage p;
  p.makeStringCmd(12, "reboot");
  RecordingChannel channel(1 << 20);
  EXPECT_TRUE(p.send(&channel));
  EXPECT_EQ(bytesOf(p), channel.written);
  EXPECT_GT(p.time(), 1e9);
  RecordingChannel shortWriter(10);
  EXPECT_FALSE(p.send(&shortWriter));
  CPackage q;
  q.makeHeartBeat(1);
  EXPECT_FALSE(q.send(nullptr));
  EXPECT_GT(q.time(), 1e9);  // stamped even so, for the time-out
}

TEST(PackageManager, ReusesReleasedPackagesReset) {
  CPackageManager* pool = CPackageManager::instance();
  CPackage* a = pool->getPackage();
  a->makeStringCmd(1, "reuse me");
  a->setCallback([](CPackage*) {});
  uint32_t capacity = a->capacity();
  pool->releasePackage(a);
  CPackage* b = pool->getPackage();
  EXPECT_EQ(a, b);
  EXPECT_EQ(0u, b->size());
  EXPECT_EQ(capacity, b->capacity());
  EXPECT_FALSE(b->callback());
  EXPECT_EQ(nullptr, b->next());
  CPackage* c = pool->getPackage();
  EXPECT_NE(b, c);  // the pool is empty again: a new one
  pool->releasePackage(b);
  pool->releasePackage(c);
  pool->releasePackage(nullptr);
}

}  // namespace

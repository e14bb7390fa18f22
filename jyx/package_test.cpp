#include "jyx/package.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/channel.h"
#include "jyx/package_manager.h"

namespace {

std::vector<uint8_t> bytesOf(CPackage& p) {
  return std::vector<uint8_t>(p.data(), p.data() + p.size());
}

uint32_t le32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Recomputes the checksum from the raw bytes, independently of CPackage.
uint32_t referenceChecksum(const std::vector<uint8_t>& b) {
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
  const std::vector<uint8_t> golden = {0x5A, 0x5A, 0x5A, 0x5A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xFF, 0x00, 0x14, 0x00, 0x00, 0x00, 0x6D, 0x5B, 0x5A, 0x5A};
  EXPECT_EQ(golden, bytesOf(p));
  EXPECT_EQ(0x5A5A5B6Du, p.checksumField());
  EXPECT_TRUE(p.verify());
  EXPECT_EQ(nullptr, p.payload());
  EXPECT_EQ(0u, p.payloadLength());
}

TEST(PackageBuild, HeaderFieldsAndChecksum) {
  CPackage p;
  const uint8_t payload[] = {0xFF, 0x80, 0x01};
  p.make(0xA1B2C3D4, 0x1234, 0xBEEF, payload, sizeof(payload));
  std::vector<uint8_t> b = bytesOf(p);
  ASSERT_EQ(23u, b.size());
  EXPECT_EQ(0xA1B2C3D4u, le32(&b[4]));
  EXPECT_EQ(0xD4, b[4]);  // little-endian on the wire
  EXPECT_EQ(0x1234, le16(&b[8]));
  EXPECT_EQ(0xBEEF, le16(&b[10]));
  EXPECT_EQ(23u, le32(&b[12]));
  EXPECT_EQ(referenceChecksum(b), le32(&b[16]));
  EXPECT_EQ(0xA1B2C3D4u, p.frameNum());
  EXPECT_EQ(0x1234, p.cmdType());
  EXPECT_EQ(0xBEEF, p.dataType());
  EXPECT_EQ(23u, p.length());
  EXPECT_EQ(p.computeChecksum(), p.checksumField());
}

TEST(PackageBuild, ChecksumWrapsModulo32Bits) {
  CPackage p;
  std::vector<uint8_t> payload(70000, 0xFF);
  p.make(0xFFFFFFFF, 0xFFFF, 0xFFFF, payload.data(), static_cast<uint32_t>(payload.size()));
  EXPECT_EQ(referenceChecksum(bytesOf(p)), p.checksumField());
  EXPECT_TRUE(p.verify());
}

TEST(PackageBuild, StringCommands) {
  CPackage p;
  p.makeStringCmd(3, "boot");
  EXPECT_EQ(25u, p.length());
  EXPECT_EQ("boot\n", payloadText(p));
  EXPECT_EQ(STRING_CMD, p.cmdType());
  EXPECT_EQ(255, p.dataType());
  EXPECT_TRUE(p.verify());

  p.makeStringCmd(4, "boot\n");
  EXPECT_EQ("boot\n", payloadText(p));
  EXPECT_EQ(25u, p.size());

  std::string longText(300, 'x');
  p.makeStringCmd(5, longText.c_str());
  EXPECT_EQ(std::string(254, 'x') + "\n", payloadText(p));
  EXPECT_EQ(20u + 255u, p.length());
  EXPECT_TRUE(p.verify());

  // The cut may land exactly after a newline: no second one is added.
  std::string cutAtNewline = std::string(253, 'y') + "\n" + std::string(10, 'z');
  p.makeStringCmd(6, cutAtNewline.c_str());
  EXPECT_EQ(254u, p.payloadLength());

  p.makeStringCmd(7, "");
  EXPECT_EQ("\n", payloadText(p));

  p.makeStringAck(8, "OK");
  EXPECT_EQ(DEVICE_ACK, p.cmdType());
  EXPECT_EQ(STRING_DATA, p.dataType());
  EXPECT_STREQ("OK\n", p.stringData());
}

TEST(PackageBuild, SPISectorWrite) {
  std::vector<uint8_t> sector(4096);
  for (size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<uint8_t>(i * 7 + 3);
  CPackage p;
  p.makeSPIData(42, 17, sector.data(), 4096);
  std::vector<uint8_t> b = bytesOf(p);
  ASSERT_EQ(4124u, b.size());
  EXPECT_EQ(4124u, le32(&b[12]));
  EXPECT_EQ(SPI_CTRL, le16(&b[8]));
  EXPECT_EQ(SPI_DATA, le16(&b[10]));
  EXPECT_EQ(17u, le32(&b[20]));
  EXPECT_EQ(4096, le16(&b[24]));
  EXPECT_EQ(1, le16(&b[26]));
  EXPECT_EQ(0, memcmp(sector.data(), &b[28], 4096));
  EXPECT_EQ(referenceChecksum(b), le32(&b[16]));
  EXPECT_TRUE(p.verify());
  EXPECT_TRUE(p.isReplyTo(SPI_CTRL, 0));  // read-reply rule: secSize + 28

  // The general form keeps secSize, secNum and the data length apart.
  p.makeSPIData(44, 19, 4096, 2, sector.data(), 100);
  EXPECT_EQ(128u, p.size());
  EXPECT_EQ(4096, p.payloadU16(4));
  EXPECT_EQ(2, p.payloadU16(6));
  EXPECT_FALSE(p.isReplyTo(SPI_CTRL, 0));
  EXPECT_TRUE(p.verify());

  // A smaller sector in a grown package keeps the exact length.
  p.makeSPIData(43, 18, sector.data(), 256);
  EXPECT_EQ(284u, p.size());
  EXPECT_GE(p.capacity(), 4124u);
  EXPECT_TRUE(p.verify());
}

TEST(PackageBuild, GpioRequestAndAckLayout) {
  CPackage p;
  p.makeGpioCtrl(9, GPIO_OP_SET, 1, 0x0143);
  const std::vector<uint8_t> payload = {1, 1, 0x43, 0x01, 0, 0, 0, 0};
  EXPECT_EQ(GPIO_CTRL, p.cmdType());
  EXPECT_EQ(255, p.dataType());
  EXPECT_EQ(payload, std::vector<uint8_t>(p.payload(), p.payload() + p.payloadLength()));
  EXPECT_TRUE(p.verify());

  p.makeGpioAck(9, GPIO_OP_READ, 1, 66);
  EXPECT_EQ(DEVICE_ACK, p.cmdType());
  EXPECT_EQ(GPIO_DATA, p.dataType());
  EXPECT_EQ(0, p.payloadU8(0));
  EXPECT_EQ(1, p.payloadU8(1));
  EXPECT_EQ(66, p.payloadU16(2));
  EXPECT_EQ(0u, p.payloadU32(4));
}

TEST(PackageBuild, PowerControlLayout) {
  const uint32_t mask[3] = {0x80000001u, 0x00010000u, 0xC0000000u};
  uint8_t addresses[24];
  for (int i = 0; i < 24; ++i) addresses[i] = static_cast<uint8_t>(0x40 + i);
  CPackage p;
  p.makePowerCtrl(5, 1, mask, addresses);
  ASSERT_EQ(60u, p.size());
  EXPECT_EQ(POWER_CTRL, p.cmdType());
  EXPECT_EQ(255, p.dataType());
  const uint8_t* pl = p.payload();
  EXPECT_EQ(1, le16(pl));
  EXPECT_EQ(0, le16(pl + 2));
  EXPECT_EQ(0x80000001u, le32(pl + 4));
  EXPECT_EQ(0x00010000u, le32(pl + 8));
  EXPECT_EQ(0xC0000000u, le32(pl + 12));
  EXPECT_EQ(0, memcmp(addresses, pl + 16, 24));
  EXPECT_TRUE(p.verify());

  p.makePowerCtrl(6, 0, nullptr, nullptr);
  EXPECT_EQ(60u, p.size());
  for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(0, p.payload()[i]) << i;
}

TEST(PackageBuild, OtherRequestsAndAcks) {
  CPackage p;
  testing::internal::CaptureStdout();
  p.makeSPICtrl(1, 1, 0, 0xab, 0x1c);
  EXPECT_EQ("spi ctrl: (enable: 1, security: 0, access id: 0xab, eraseID: 0x1c\n",
            testing::internal::GetCapturedStdout());
  EXPECT_EQ(SPI_CTRL, p.cmdType());
  EXPECT_EQ(SPI_CTRL_INFO_DATA, p.dataType());
  EXPECT_EQ(8u, p.payloadLength());
  EXPECT_EQ(0xab, p.payloadU16(4));
  EXPECT_EQ(0x1c, p.payloadU16(6));

  p.makeSPIRead(2, 100, 4096, 1);
  EXPECT_EQ(SPI_READ, p.cmdType());
  EXPECT_EQ(SPI_DATA, p.dataType());
  EXPECT_EQ(100u, p.payloadU32(0));
  EXPECT_EQ(4096, p.payloadU16(4));
  EXPECT_EQ(1, p.payloadU16(6));

  const uint8_t regs[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  p.makeSPIReg(3, SPI_REG_WRITE, 0x01, 2, regs);
  EXPECT_EQ(16u, p.payloadLength());
  EXPECT_EQ(0x01, p.payloadU8(1));
  EXPECT_EQ(2, p.payloadU16(2));
  EXPECT_EQ(0x0201, p.payloadU16(4));
  EXPECT_EQ(0, p.payloadU8(6));
  p.makeSPIReg(3, SPI_REG_READ, 0x05, 12, regs);  // count 12: data not copied
  EXPECT_EQ(0u, p.payloadU32(4));

  p.makeUartCtrl(4, 1);
  EXPECT_EQ(UART_CTRL, p.cmdType());
  EXPECT_EQ(4u, p.payloadLength());
  EXPECT_EQ(1, p.payloadU8(0));

  p.makePostCtrl(5);
  EXPECT_EQ(POST_CTRL, p.cmdType());
  EXPECT_EQ(20u, p.size());

  p.makeSPICtrlAck(6, 0xEF4018, 4096, 2048);
  EXPECT_TRUE(p.isAck());
  EXPECT_EQ(0xEF4018u, p.payloadU32(0));
  EXPECT_EQ(4096, p.payloadU16(4));
  EXPECT_EQ(2048, p.payloadU16(6));

  const uint8_t codes[4] = {0x12, 0x34, 0xab, 0xcd};
  p.makePostAck(7, codes, 4);
  EXPECT_EQ(POST_DATA, p.dataType());
  EXPECT_EQ(4u, p.payloadU32(0));
  EXPECT_EQ(0xcdab3412u, p.payloadU32(4));

  uint8_t ids[24] = {};
  ids[0] = 123;
  ids[23] = 107;
  p.makePowerAck(8, ids);
  EXPECT_TRUE(p.isAck());
  EXPECT_EQ(POWER_DATA, p.dataType());
  EXPECT_TRUE(p.isReplyTo(DEVICE_ACK, 24));
  EXPECT_EQ(123, p.payloadU8(0));
  EXPECT_EQ(107, p.payloadU8(23));
  p.makePowerAck(8);
  EXPECT_TRUE(p.isReplyTo(DEVICE_ACK, 24));
  EXPECT_EQ(0, p.payloadU8(0));
  p.makePowerReport(9, 77, codes, 4);
  EXPECT_EQ(POWER_CTRL, p.cmdType());
  EXPECT_EQ(12u, p.payloadLength());
  EXPECT_EQ(77u, p.payloadU64(0));
  EXPECT_TRUE(p.verify());

  p.makeSPIRegAck(10, SPI_REG_READ, 0x05, 1, codes);
  EXPECT_EQ(SPI_REG_DATA, p.dataType());
  EXPECT_EQ(1, p.payloadU16(2));
  EXPECT_EQ(0x12, p.payloadU8(4));
  EXPECT_EQ(0, p.payloadU8(5));

  p.makeAckFail(11);
  EXPECT_FALSE(p.isAck());
  EXPECT_EQ(ACK_FAIL, p.dataType());
  p.makeAck24(12, nullptr);
  EXPECT_TRUE(p.isAck());
  EXPECT_EQ(24u, p.payloadLength());
  p.makeUartAck(13, 1);
  EXPECT_TRUE(p.isAck());
  p.makeHeartBeatAck(14);
  EXPECT_TRUE(p.isAck());
  EXPECT_EQ(HEART_BEAT_DATA, p.dataType());
  p.makeSPIDataAck(15);
  EXPECT_TRUE(p.isReplyTo(DEVICE_ACK, 0));
}

TEST(PackageRead, DataPreview) {
  CPackage p;
  p.makeHeartBeatAck(1);
  EXPECT_STREQ("", p.dataPreview());
  const uint8_t three[] = {0x01, 0xAB, 0xFF};
  p.make(1, DEVICE_ACK, POST_DATA, three, 3);
  EXPECT_STREQ("\ndata: 01 ab ff", p.dataPreview());
  const uint8_t ten[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  p.make(1, DEVICE_ACK, POST_DATA, ten, 10);
  EXPECT_STREQ("\ndata: 00 01 02 03 04 05 06 07", p.dataPreview());
  CPackage empty;
  EXPECT_STREQ("", empty.dataPreview());
}

TEST(PackageRead, CodeNames) {
  EXPECT_STREQ("HEART_BEAT", CPackage::cmdTypeName(0));
  EXPECT_STREQ("DEVICE_ACK", CPackage::cmdTypeName(1));
  EXPECT_STREQ("SPI_READ", CPackage::cmdTypeName(7));
  EXPECT_STREQ("unknow", CPackage::cmdTypeName(STRING_CMD));
  EXPECT_STREQ("unknow", CPackage::cmdTypeName(9));
  EXPECT_STREQ("0xff", CPackage::cmdTypeName(255));
  EXPECT_STREQ("unknow", CPackage::cmdTypeName(256));
  EXPECT_STREQ("HEART_BEAT_DATA", CPackage::dataTypeName(0));
  EXPECT_STREQ("UART_DATA_TYPE", CPackage::dataTypeName(5));
  EXPECT_STREQ("SPI_REG_DATA", CPackage::dataTypeName(8));
  EXPECT_STREQ("unknow", CPackage::dataTypeName(STRING_DATA));
  EXPECT_STREQ("unknow", CPackage::dataTypeName(ACK24_DATA));
  EXPECT_STREQ("0xff", CPackage::dataTypeName(255));
  EXPECT_STREQ("unknow", CPackage::dataTypeName(10));

  CPackage p;
  p.makeGpioCtrl(1, GPIO_OP_READ, 0, 3);
  EXPECT_STREQ("GPIO_CTRL", p.cmdTypeName());
  EXPECT_STREQ("0xff", p.dataTypeName());
}

TEST(PackageRead, IsReplyTo) {
  CPackage p;
  p.makeGpioAck(1, GPIO_OP_READ, 0, 3);
  EXPECT_TRUE(p.isReplyTo(DEVICE_ACK, 8));
  EXPECT_FALSE(p.isReplyTo(DEVICE_ACK, 7));
  EXPECT_FALSE(p.isReplyTo(GPIO_CTRL, 8));

  std::vector<uint8_t> data(512, 0xA5);
  p.makeSPIData(2, 0, data.data(), 512);
  EXPECT_TRUE(p.isReplyTo(SPI_CTRL, 12345));  // payload length argument ignored
  // A secSize that disagrees with the length fails.
  p.data()[24] = 0x00;
  p.data()[25] = 0x10;  // secSize 4096
  EXPECT_FALSE(p.isReplyTo(SPI_CTRL, 0));
  // An SPI_CTRL packet too short to carry a sector header fails.
  p.make(3, SPI_CTRL, SPI_DATA, data.data(), 4);
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
  EXPECT_EQ(0u, shortPackage.computeChecksum());
  EXPECT_FALSE(shortPackage.verify());
  EXPECT_FALSE(shortPackage.isAck());
}

TEST(PackageRead, StringDataGrowsAndClamps) {
  CPackage p;
  const std::string text(1000, 'q');
  p.make(1, DEVICE_ACK, STRING_DATA, text.data(), 1000);
  EXPECT_EQ(text, p.stringData());
  p.make(1, DEVICE_ACK, STRING_DATA, "hi", 2);
  EXPECT_STREQ("hi", p.stringData());
  std::vector<char> huge(32769, 'h');
  p.make(1, DEVICE_ACK, STRING_DATA, huge.data(), 32769);
  EXPECT_STREQ("", p.stringData());
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
  EXPECT_TRUE(CPackage::verify(&p));
  // A length field that disagrees with the bytes held fails.
  p.setSize(p.size() - 1);
  EXPECT_FALSE(p.verify());
}

TEST(PackageBuffer, ReserveAppendResetAssign) {
  CPackage p;
  EXPECT_EQ(nullptr, p.data());
  EXPECT_EQ(0u, p.size());
  EXPECT_EQ(0u, p.capacity());
  EXPECT_EQ(0.0, p.time());
  EXPECT_FALSE(p.callback());
  EXPECT_EQ(nullptr, p.next());
  p.reserve(10);
  EXPECT_EQ(10u, p.capacity());
  p.append("abcdef", 6);
  p.append("ghijkl", 6);
  EXPECT_EQ(12u, p.size());
  EXPECT_EQ(12u, p.capacity());
  EXPECT_EQ(0, memcmp("abcdefghijkl", p.data(), 12));
  p.reserve(4);
  EXPECT_EQ(12u, p.capacity());
  int calls = 0;
  p.setCallback([&calls](CPackage*) { ++calls; });
  p.reset();
  EXPECT_EQ(0u, p.size());
  EXPECT_EQ(12u, p.capacity());
  EXPECT_FALSE(p.callback());

  CPackage q;
  q.makeHeartBeat(3);
  p.assign(&q);
  EXPECT_EQ(bytesOf(q), bytesOf(p));
  EXPECT_EQ(0, calls);
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
  std::vector<uint8_t> written;

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
}

TEST(PackageSend, NullChannelFailsButStampsTime) {
  CPackage p;
  p.makeHeartBeat(1);
  EXPECT_FALSE(p.send(nullptr));
  EXPECT_GT(p.time(), 1e9);
}

TEST(PackageManager, ReusesReleasedPackages) {
  CPackageManager* pool = CPackageManager::instance();
  CPackage* a = pool->getPackage();
  a->makeStringCmd(1, "reuse me");
  a->setCallback([](CPackage*) {});
  uint32_t capacity = a->capacity();
  int before = pool->freeCount();
  pool->releasePackage(a);
  EXPECT_EQ(before + 1, pool->freeCount());
  CPackage* b = pool->getPackage();
  EXPECT_EQ(a, b);
  EXPECT_EQ(0u, b->size());
  EXPECT_EQ(capacity, b->capacity());
  EXPECT_FALSE(b->callback());
  EXPECT_EQ(nullptr, b->next());
  CPackage* c = pool->getPackage();
  EXPECT_NE(b, c);
  int held = pool->freeCount();
  pool->releasePackage(b);
  pool->releasePackage(c);
  pool->releasePackage(nullptr);
  EXPECT_EQ(held + 2, pool->freeCount());
}

}  // namespace

// The D2XX calls against jyx-sim's simulated bridge (the simulation
// backend end to end).
#include "ftd2xx/ftd2xx.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "ftd2xx/bridge_protocol.h"
#include "sim_util.h"

namespace {

class D2xxTest : public testing::Test {
 protected:
  void TearDown() override {
    for (FT_HANDLE h : open_) FT_Close(h);
    unsetenv(ftbridge::kSocketEnv);
  }
  FT_HANDLE openAt(int index, DWORD baud) {
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_OK, FT_Open(index, &h));
    if (h == nullptr) return nullptr;
    open_.push_back(h);
    EXPECT_EQ(FT_OK, FT_SetBaudRate(h, baud));
    return h;
  }
  std::string readFor(FT_HANDLE h, DWORD n) {
    std::string out(n, '\0');
    DWORD got = 0;
    EXPECT_EQ(FT_OK, FT_Read(h, &out[0], n, &got));
    out.resize(got);
    return out;
  }

  jyxtest::SimProcess sim_;
  std::vector<FT_HANDLE> open_;
};

// One simulator serves every check, in an order where each leaves the
// bridge as the next expects; its own address keeps it apart from tests
// that CTest runs in parallel.
TEST_F(D2xxTest, ListOpenConsoleMpssePacingAndBridgeGone) {
  std::string socket = sim_.tempPath("ftdi.sock");
  ASSERT_TRUE(sim_.start("127.0.14.40", {"--ftdi-socket", socket})) << sim_.lastError();
  setenv(ftbridge::kSocketEnv, socket.c_str(), 1);

  // Listing: every interface, or only as many as there are buffers.
  char storage[8][FT_SERIAL_NUMBER_SIZE];
  char* buffers[9];
  for (int i = 0; i < 8; ++i) buffers[i] = storage[i];
  buffers[8] = nullptr;
  DWORD count = 0;
  ASSERT_EQ(FT_OK, FT_ListDevices(buffers, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER));
  ASSERT_EQ(5u, count);
  EXPECT_STREQ("FT4X9Q2Z", storage[0]);
  EXPECT_STREQ("JYX2K7A1A", storage[1]);
  EXPECT_STREQ("JYX2K7A1D", storage[4]);
  buffers[2] = nullptr;
  ASSERT_EQ(FT_OK, FT_ListDevices(buffers, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER));
  EXPECT_EQ(2u, count);
  DWORD number = 0;
  ASSERT_EQ(FT_OK, FT_ListDevices(&number, nullptr, FT_LIST_NUMBER_ONLY));
  EXPECT_EQ(5u, number);
  EXPECT_EQ(FT_INVALID_PARAMETER, FT_ListDevices(buffers, &count, FT_LIST_ALL));

  // Opening: an interface is opened once at a time; a closed handle is dead.
  FT_HANDLE h = nullptr, first = nullptr;
  EXPECT_EQ(FT_DEVICE_NOT_FOUND, FT_Open(5, &h));
  EXPECT_EQ(nullptr, h);
  ASSERT_EQ(FT_OK, FT_Open(3, &first));
  EXPECT_EQ(FT_DEVICE_NOT_OPENED, FT_Open(3, &h));
  EXPECT_EQ(FT_OK, FT_Close(first));
  EXPECT_EQ(FT_INVALID_HANDLE, FT_Close(first));
  EXPECT_EQ(FT_INVALID_HANDLE, FT_SetDtr(first));
  EXPECT_EQ(FT_INVALID_HANDLE, FT_SetRts(nullptr));
  FT_HANDLE main = openAt(3, 115200);
  ASSERT_NE(nullptr, main);
  EXPECT_EQ(FT_INVALID_BAUD_RATE, FT_SetBaudRate(main, 50));
  EXPECT_EQ(FT_INVALID_PARAMETER, FT_SetBitMode(main, 0xFF, 0x40));

  // The console answers at its rate only.
  ASSERT_EQ(FT_OK, FT_SetTimeouts(main, 2000, 500));
  DWORD written = 0;
  char command[] = "jyx 00";
  ASSERT_EQ(FT_OK, FT_Write(main, command, 6, &written));
  EXPECT_EQ(6u, written);
  const std::string reply = "[JYX]: Main Version: 1.0.0\r\n";
  EXPECT_EQ(reply, readFor(main, static_cast<DWORD>(reply.size())));
  DWORD queued = 99;
  EXPECT_EQ(FT_OK, FT_GetQueueStatus(main, &queued));
  EXPECT_EQ(0u, queued);
  // At a rate the firmware does not run at, it hears nothing: the read
  // runs out of time with nothing, which is not an error.
  ASSERT_EQ(FT_OK, FT_SetBaudRate(main, 9600));
  ASSERT_EQ(FT_OK, FT_SetTimeouts(main, 300, 500));
  ASSERT_EQ(FT_OK, FT_Write(main, command, 6, &written));
  EXPECT_EQ("", readFor(main, 8));

  // MPSSE on interface B: the low byte read, then the answer to the
  // unknown opcode.
  FT_HANDLE mpsse = openAt(2, 115200);
  ASSERT_NE(nullptr, mpsse);
  ASSERT_EQ(FT_OK, FT_SetTimeouts(mpsse, 1000, 500));
  ASSERT_EQ(FT_OK, FT_SetBitMode(mpsse, 0, FT_BITMODE_MPSSE));
  uint8_t set[] = {0x80, 0x5A, 0xFF, 0x81, 0xAB};
  ASSERT_EQ(FT_OK, FT_Write(mpsse, set, sizeof(set), &written));
  EXPECT_EQ(std::string("\x5A\xFA\xAB", 3), readFor(mpsse, 3));

  // Writes cannot run ahead of the line (nothing listens on interface A):
  // only the 4 KiB transmit buffer may stay unsent, so 8 KiB at 11520
  // bytes/s must have left the line before the call returns.
  FT_HANDLE a = openAt(1, 115200);
  ASSERT_NE(nullptr, a);
  std::vector<uint8_t> bytes(3 * 4096, 0x33);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(FT_OK, FT_Write(a, bytes.data(), static_cast<DWORD>(bytes.size()), &written));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(bytes.size(), written);
  EXPECT_GE(seconds, 8192.0 / 11520.0 * 0.95);

  // Once the bridge is gone every call is an error.
  ASSERT_TRUE(sim_.stop());
  EXPECT_NE(FT_OK, FT_SetDtr(main));
  char byte = 'x';
  EXPECT_NE(FT_OK, FT_Write(main, &byte, 1, &written));
  EXPECT_NE(FT_OK, FT_Open(3, &h));
}

}  // namespace

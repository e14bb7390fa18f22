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

// Each test has its own simulator address, since CTest runs them in
// parallel.
class D2xxTest : public testing::Test {
 protected:
  void start(const std::string& address) {
    socket_ = sim_.tempPath("ftdi.sock");
    ASSERT_TRUE(sim_.start(address, {"--ftdi-socket", socket_})) << sim_.lastError();
    setenv(ftbridge::kSocketEnv, socket_.c_str(), 1);
  }
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
  void forget(FT_HANDLE h) {
    for (auto it = open_.begin(); it != open_.end(); ++it) {
      if (*it == h) {
        open_.erase(it);
        return;
      }
    }
  }
  std::string readFor(FT_HANDLE h, DWORD n) {
    std::string out(n, '\0');
    DWORD got = 0;
    EXPECT_EQ(FT_OK, FT_Read(h, &out[0], n, &got));
    out.resize(got);
    return out;
  }

  jyxtest::SimProcess sim_;
  std::string socket_;
  std::vector<FT_HANDLE> open_;
};

TEST_F(D2xxTest, ListsEveryInterface) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.14.40"));
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
  // Fewer buffers than devices: only as many are written.
  buffers[2] = nullptr;
  ASSERT_EQ(FT_OK, FT_ListDevices(buffers, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER));
  EXPECT_EQ(2u, count);
  DWORD number = 0;
  ASSERT_EQ(FT_OK, FT_ListDevices(&number, nullptr, FT_LIST_NUMBER_ONLY));
  EXPECT_EQ(5u, number);
  EXPECT_EQ(FT_INVALID_PARAMETER, FT_ListDevices(buffers, &count, FT_LIST_ALL));
}

TEST_F(D2xxTest, OpenRulesAndHandles) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.14.41"));
  FT_HANDLE h = nullptr;
  EXPECT_EQ(FT_DEVICE_NOT_FOUND, FT_Open(5, &h));
  EXPECT_EQ(nullptr, h);
  FT_HANDLE first = openAt(3, 115200);
  ASSERT_NE(nullptr, first);
  // An interface is opened once at a time.
  EXPECT_EQ(FT_DEVICE_NOT_OPENED, FT_Open(3, &h));
  EXPECT_EQ(FT_OK, FT_Close(first));
  forget(first);
  EXPECT_EQ(FT_INVALID_HANDLE, FT_Close(first));
  EXPECT_EQ(FT_INVALID_HANDLE, FT_SetDtr(first));
  EXPECT_EQ(FT_INVALID_HANDLE, FT_SetRts(nullptr));
  ASSERT_NE(nullptr, openAt(3, 115200));
  EXPECT_EQ(FT_INVALID_BAUD_RATE, FT_SetBaudRate(open_.back(), 50));
  EXPECT_EQ(FT_INVALID_PARAMETER, FT_SetBitMode(open_.back(), 0xFF, 0x40));
}

TEST_F(D2xxTest, ConsoleAnswersAtItsRateOnly) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.14.42"));
  FT_HANDLE main = openAt(3, 115200);
  ASSERT_NE(nullptr, main);
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
}

TEST_F(D2xxTest, MpsseLowByte) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.14.43"));
  FT_HANDLE b = openAt(2, 115200);
  ASSERT_NE(nullptr, b);
  ASSERT_EQ(FT_OK, FT_SetTimeouts(b, 1000, 500));
  ASSERT_EQ(FT_OK, FT_SetBitMode(b, 0, FT_BITMODE_MPSSE));
  uint8_t set[] = {0x80, 0x5A, 0xFF, 0x81, 0xAB};
  DWORD written = 0;
  ASSERT_EQ(FT_OK, FT_Write(b, set, sizeof(set), &written));
  // The byte read, then the answer to the unknown opcode.
  EXPECT_EQ(std::string("\x5A\xFA\xAB", 3), readFor(b, 3));
}

TEST_F(D2xxTest, WritesCannotRunAheadOfTheLine) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.14.44"));
  FT_HANDLE a = openAt(1, 115200);  // interface A: nothing listens
  ASSERT_NE(nullptr, a);
  std::vector<uint8_t> bytes(3 * 4096, 0x33);
  DWORD written = 0;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(FT_OK, FT_Write(a, bytes.data(), static_cast<DWORD>(bytes.size()), &written));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(bytes.size(), written);
  // Only the 4 KiB transmit buffer may stay unsent: 8 KiB at 11520 bytes/s
  // must have left the line before the call returns.
  EXPECT_GE(seconds, 8192.0 / 11520.0 * 0.95);
}

TEST_F(D2xxTest, BridgeGoneIsAnError) {
  ASSERT_NO_FATAL_FAILURE(start("127.0.14.45"));
  FT_HANDLE main = openAt(3, 115200);
  ASSERT_NE(nullptr, main);
  ASSERT_TRUE(sim_.stop());
  EXPECT_NE(FT_OK, FT_SetDtr(main));
  DWORD n = 0;
  char byte = 'x';
  EXPECT_NE(FT_OK, FT_Write(main, &byte, 1, &n));
  FT_HANDLE h = nullptr;
  EXPECT_NE(FT_OK, FT_Open(3, &h));
}

}  // namespace

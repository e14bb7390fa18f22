#include "common/socket_udp.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

using jyxtest::collect;
using jyxtest::RecordingDelegate;
using jyxtest::waitUntil;

constexpr int kPort = 4000;

TEST(SocketUdpTest, ClientGreetsServerAndRepliesGoToTheLastSender) {
  RecordingDelegate serverDelegate;
  CSocketUDP server(&serverDelegate, kPort, "");
  ASSERT_TRUE(server.setLocalAddress("127.0.1.20"));
  server.setTimeout(20000);
  ASSERT_TRUE(server.open());
  EXPECT_EQ(1, serverDelegate.connected());
  // No sender yet: nothing to reply to.
  EXPECT_EQ(0, server.write("early", 5));

  RecordingDelegate clientDelegate;
  CSocketUDP client(&clientDelegate, kPort, "127.0.1.20");
  client.setTimeout(20000);
  ASSERT_TRUE(client.open());
  EXPECT_EQ(1, clientDelegate.connected());

  // A write larger than one datagram goes out in 1024-byte pieces.
  std::string big(2500, 'u');
  EXPECT_EQ(2500, client.write(big.data(), 2500));
  std::string got;
  ASSERT_TRUE(collect(server.receiveFifo(), &got, 8 + big.size()));
  EXPECT_EQ("<hello>\n" + big, got);

  EXPECT_EQ(4, server.sendBuffer("pong", nullptr));
  got.clear();
  ASSERT_TRUE(collect(client.receiveFifo(), &got, 4));
  EXPECT_EQ("pong", got);
  EXPECT_TRUE(serverDelegate.reports().empty());
  EXPECT_TRUE(clientDelegate.reports().empty());

  client.close();
  EXPECT_FALSE(client.isOpen());
  EXPECT_EQ(0, client.write("x", 1));
}

TEST(SocketUdpTest, BindFailurePrintsTheErrorNumber) {
  // A socket that holds the port without address sharing.
  int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = jyxtest::loopbackAddr("127.0.1.21", kPort);
  ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)));

  RecordingDelegate delegate;
  CSocketUDP server(&delegate, kPort, "");
  ASSERT_TRUE(server.setLocalAddress("127.0.1.21"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(server.open());
  EXPECT_EQ("UDP: start failed. bind error(" + std::to_string(EADDRINUSE) + ")\n",
            testing::internal::GetCapturedStdout());
  EXPECT_FALSE(server.isOpen());
  EXPECT_EQ(0, delegate.connected());
  close(holder);
}

}  // namespace

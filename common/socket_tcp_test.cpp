#include "common/socket_tcp.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace {

using jyxtest::collect;
using jyxtest::rawConnect;
using jyxtest::rawListen;
using jyxtest::RecordingDelegate;
using jyxtest::waitUntil;

constexpr int kPort = 3334;

// A TCP server channel bound to one loopback address, and its delegate.
struct Server {
  explicit Server(const char* ip) : socket(&delegate, kPort, "") {
    EXPECT_TRUE(socket.setLocalAddress(ip));
    EXPECT_TRUE(socket.open());
  }
  RecordingDelegate delegate;
  CSocketTCP socket;
};

// Reads a raw socket until `size` bytes came, the peer closed (*closed set)
// or 5 s passed.
std::string rawReceive(int fd, size_t size, bool* closed = nullptr) {
  std::string got;
  char buf[4096];
  while (got.size() < size) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

// A raw listener on `ip` and, after connect(), the accepted end of the
// connection that `client` (a CSocketTCP or a subclass) made to it.
struct RawPeer {
  explicit RawPeer(const char* ip) : listener(rawListen(ip, kPort)) {}
  ~RawPeer() { closeAll(); }
  bool connect(CSocketTCP* client, const RecordingDelegate& delegate) {
    client->open();
    peer = delegate.connected() == 1 ? accept(listener, nullptr, nullptr) : -1;
    return peer >= 0;
  }
  void closeAll() {
    close(peer);  // -1 when never accepted: EBADF, harmless
    close(listener);
    peer = listener = -1;
  }
  int listener;
  int peer = -1;
};

TEST(SocketTcpTest, ClientAndServerExchangeBytesThroughTheFifos) {
  Server server("127.0.1.1");
  RecordingDelegate clientDelegate;
  CSocketTCP client(&clientDelegate, kPort, "127.0.1.1");
  // The server thread may need a moment to listen; the connect is retried.
  testing::internal::CaptureStdout();
  ASSERT_TRUE(waitUntil([&] {
    EXPECT_FALSE(client.open());
    return clientDelegate.connected() == 1;
  }));
  ASSERT_TRUE(waitUntil([&] { return server.delegate.connected() == 1; }));
  testing::internal::GetCapturedStdout();  // the accept line came before onConnected
  EXPECT_TRUE(client.isOpen() && !client.isServer());
  EXPECT_TRUE(server.socket.isOpen() && server.socket.isServer());
  // Refused attempts before the server listened reported -102; nothing more
  // may follow.
  size_t clientReports = clientDelegate.reports().size();

  EXPECT_EQ(11, client.sendBuffer("to server\r\n", nullptr));
  std::string got;
  ASSERT_TRUE(collect(server.socket.receiveFifo(), &got, 11));
  EXPECT_EQ("to server\r\n", got);

  std::string big(300000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  EXPECT_EQ(static_cast<int>(big.size()),
            server.socket.sendBuffer(reinterpret_cast<const unsigned char*>(big.data()),
                                     static_cast<int>(big.size()), nullptr));
  got.clear();
  ASSERT_TRUE(collect(client.receiveFifo(), &got, big.size()));
  EXPECT_EQ(big, got);
  EXPECT_EQ(clientReports, clientDelegate.reports().size());
  EXPECT_TRUE(server.delegate.reports().empty());
}

TEST(SocketTcpTest, RefusedConnectPrintsErrnoAndReportsMinus102ThenIoFails) {
  RecordingDelegate delegate;
  CSocketTCP client(&delegate, kPort, "127.0.1.2");  // nothing listens there
  EXPECT_FALSE(client.setLocalAddress("not an address"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(client.open());
  EXPECT_EQ("errno:" + std::to_string(ECONNREFUSED) + "\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ(0, delegate.connected());
  EXPECT_FALSE(client.isOpen());

  EXPECT_EQ(-1, client.write("abc", 3));
  char buf[16];
  EXPECT_EQ(-1, client.read(buf, 8));  // a direct read of a closed socket
  const std::vector<jyxtest::ChannelReport> expected = {
      {CHANNEL_MSG_ERROR, -102, "tcp-client: connect socket error!\n"},
      {CHANNEL_MSG_ERROR, -151, "tcp: send data - socket is invalid!\n"},
      {CHANNEL_MSG_WARNING, -201, "tcp: receive data - socket is invalid!\n"}};
  EXPECT_EQ(expected, delegate.reports());
}

TEST(SocketTcpTest, SecondPeerReplacesTheFirstAndCloseWakesTheAcceptPromptly) {
  testing::internal::CaptureStdout();
  Server server("127.0.1.3");
  int first = -1;
  ASSERT_TRUE(waitUntil([&] { return (first = rawConnect("127.0.1.3", kPort)) >= 0; }));
  ASSERT_TRUE(waitUntil([&] { return server.delegate.connected() == 1; }));
  int second = rawConnect("127.0.1.3", kPort);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(waitUntil([&] { return server.delegate.connected() == 2; }));
  bool closed = false;
  rawReceive(first, SIZE_MAX, &closed);
  EXPECT_TRUE(closed);

  ASSERT_EQ(4, send(second, "ping", 4, 0));
  std::string got;
  ASSERT_TRUE(collect(server.socket.receiveFifo(), &got, 4));
  EXPECT_EQ("ping", got);
  EXPECT_EQ(4, server.socket.sendBuffer("pong", nullptr));
  EXPECT_EQ("pong", rawReceive(second, 4));
  EXPECT_EQ("socket tcp accept a socket\nsocket tcp accept a socket\n",
            testing::internal::GetCapturedStdout());
  close(first);
  close(second);

  // The server thread is back in its accept wait.
  sleepMs(50);
  auto start = std::chrono::steady_clock::now();
  server.socket.close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_FALSE(server.socket.isOpen());
  EXPECT_LT(rawConnect("127.0.1.3", kPort), 0);  // nobody listens any more
  testing::internal::CaptureStdout();
  EXPECT_TRUE(server.socket.open());
  int again = -1;
  ASSERT_TRUE(waitUntil([&] { return (again = rawConnect("127.0.1.3", kPort)) >= 0; }));
  ASSERT_TRUE(waitUntil([&] { return server.delegate.connected() == 3; }));
  close(again);
  testing::internal::GetCapturedStdout();
}

TEST(SocketTcpTest, ReadTimeoutIsSilentAndAGonePeerIsAReportedErrorNotSigpipe) {
  RawPeer raw("127.0.1.7");
  RecordingDelegate delegate;
  CSocketTCP client(&delegate, kPort, "127.0.1.7");
  client.setTimeout(50000);  // 50 ms
  ASSERT_TRUE(raw.connect(&client, delegate));
  char buf[1025];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(0, client.read(buf, 1024));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  EXPECT_TRUE(delegate.reports().empty());

  raw.closeAll();
  // The first writes may still be taken by the kernel; once the reset is
  // back every send fails with EPIPE (a SIGPIPE would end this process).
  std::string chunk(1000, 'w');
  int lastResult = 1;
  for (int i = 0; i < 100 && !delegate.find(-154); ++i) {
    lastResult = client.write(chunk.data(), static_cast<int>(chunk.size()));
    sleepMs(5);
  }
  jyxtest::ChannelReport report;
  ASSERT_TRUE(delegate.find(-154, &report));
  EXPECT_EQ(CHANNEL_MSG_ERROR, report.type);
  EXPECT_EQ("tcp: send data - send failed!\n", report.text);
  EXPECT_EQ(0, lastResult);
  // A closed peer does not close the channel.
  EXPECT_TRUE(client.isOpen());
}

// A client whose open test, once armed, closes the connection right after
// answering true: what a close() on the main thread does when it runs
// between the receive thread's test and its read.
class ClosingAfterOpenTest : public CSocketTCP {
 public:
  using CSocketTCP::CSocketTCP;
  // The pool threads call isOpen() and read() of this class until the
  // channel is shut down; that must happen before ~CSocketTCP begins.
  ~ClosingAfterOpenTest() override { shutdown(); }
  bool isOpen() override {
    bool open = CSocketTCP::isOpen();
    if (open && armed_.exchange(false)) {
      close();
      closedByTest_ = true;
    }
    return open;
  }
  int read(void* buf, int len) override {
    bool counted = closedByTest_;
    int n = CSocketTCP::read(buf, len);
    if (counted) ++readsAfterClose_;
    return n;
  }
  std::atomic<bool> armed_{false};
  std::atomic<bool> closedByTest_{false};
  std::atomic<int> readsAfterClose_{0};
};

TEST(SocketTcpTest, CloseBetweenTheReceiveThreadsOpenTestAndItsReadIsNoWarning) {
  RawPeer raw("127.0.1.30");
  RecordingDelegate delegate;
  ClosingAfterOpenTest client(&delegate, kPort, "127.0.1.30");
  client.setTimeout(1000);
  ASSERT_TRUE(raw.connect(&client, delegate));
  client.armed_ = true;
  ASSERT_TRUE(waitUntil([&] { return client.readsAfterClose_.load() > 0; }));
  EXPECT_TRUE(delegate.reports().empty());
  // A direct read of the closed socket is still the warning.
  char buf[16];
  EXPECT_EQ(-1, client.read(buf, 8));
  EXPECT_TRUE(delegate.find(-201));
}

// A peer that sends far more than the 4 MiB receive FIFO while nobody pops
// is held back by TCP once the FIFO is full; nothing is read and dropped.
TEST(SocketTcpTest, FullReceiveFifoHoldsTheSenderBackAndLosesNothing) {
  RawPeer raw("127.0.43.1");
  RecordingDelegate delegate;
  CSocketTCP client(&delegate, kPort, "127.0.43.1");
  ASSERT_TRUE(raw.connect(&client, delegate));
  int peer = raw.peer;

  const size_t total = 24u << 20;  // 6 FIFOs' worth, well beyond the socket buffers
  std::string stream(total, '\0');
  for (size_t i = 0; i + 4 <= total; i += 4) {
    uint32_t v = static_cast<uint32_t>(i / 4);
    memcpy(&stream[i], &v, 4);
  }
  std::atomic<size_t> sent{0};
  std::thread sender([&] {
    while (sent < total) {
      ssize_t n = send(peer, stream.data() + sent, total - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
  });

  CFifo* fifo = client.receiveFifo();
  std::string got;
  bool heldBack = false;
  while (got.size() < total) {
    // Let the FIFO fill up completely before draining it in one go.
    if (!waitUntil([&] { return fifo->freeSpace() < 1024 || got.size() + fifo->size() == total; },
                   10000)) {
      break;
    }
    if (fifo->freeSpace() < 1024 && sent < total) heldBack = true;
    got += jyxtest::popAll(fifo);
  }
  shutdown(peer, SHUT_RDWR);
  sender.join();
  EXPECT_TRUE(heldBack);
  ASSERT_EQ(total, got.size());
  EXPECT_TRUE(got == stream);
}

}  // namespace

// The receive thread of an idle connection blocks in the kernel for the
// whole read time-out; closing or destroying the channel must not wait for
// that time-out to run out, and bytes must still arrive at once.
TEST(SocketTcpTest, IdleReceiveThreadDeliversAtOnceAndShutdownInterruptsItsWait) {
  RawPeer raw("127.0.1.31");
  RecordingDelegate delegate;
  auto* client = new CSocketTCP(&delegate, kPort, "127.0.1.31");
  client->setTimeout(30 * 1000 * 1000);  // 30 s: far longer than the test may take
  ASSERT_TRUE(raw.connect(client, delegate));
  ASSERT_EQ(5, send(raw.peer, "hello", 5, 0));
  std::string got;
  ASSERT_TRUE(collect(client->receiveFifo(), &got, 5));
  EXPECT_EQ("hello", got);

  auto start = std::chrono::steady_clock::now();
  client->shutdown();
  delete client;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

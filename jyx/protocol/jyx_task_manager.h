// CJYXTaskManager: the base of the two managers that talk to the JYX
// controller over TCP (device control on port 3334, the forwarded UART log on
// port 3333). It owns one TCP client channel, the "connect"/"disconnect"
// tasks and the reporting of channel problems.
#ifndef JYX_JYX_PROTOCOL_JYX_TASK_MANAGER_H_
#define JYX_JYX_PROTOCOL_JYX_TASK_MANAGER_H_

#include <atomic>
#include <string>

#include "common/channel.h"
#include "common/task_manager.h"

class CJYXTaskManager : public CTaskManager, public CChannelDelegate {
 public:
  // Code of the error reported when the controller has closed the link.
  static constexpr int kPeerClosedCode = -210;

  // Names the manager "jyx." + feature, creates the TCP client channel for
  // host:port (not connected) and registers the connect/disconnect tasks.
  // With `routed` the manager is also entered in the API manager's table
  // under its name; secondary instances (tests) pass false so that they do
  // not take over the process-wide instance's routing.
  CJYXTaskManager(const std::string& feature, const char* host, int port, bool routed = true);
  ~CJYXTaskManager() override;

  virtual bool isEnabled();
  // Opens the channel when it is not open (a blocking TCP connect on the
  // calling thread) and sets enabled, whatever the outcome.
  virtual void connect();
  // Closes the channel when it is open and clears enabled.
  virtual void disconnect();

  void onConnected() override {}
  // Prints "error-<feature>-manager: <text>" or the warning form. An error
  // also disconnects: at once on the main thread, at the next update when
  // the report comes from a channel thread (a channel must not be closed
  // from inside its own read or write).
  int onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) override;

  // A non-null host replaces the channel's host; a port > 0 replaces its port.
  void setAddress(const char* host, int port);
  const std::string& host() const { return host_; }
  int port() const { return port_; }
  // Whether the channel is open.
  bool isConnected();
  const std::string& featureName() const { return feature_; }
  CChannel* channel() { return channel_; }
  // Replaces the owned channel (the old one is destroyed); the manager takes
  // ownership. Used to put a scripted channel under the manager in tests.
  // The new channel's delegate must be this manager.
  void setChannel(CChannel* channel);

  // Lets the main loop read the controller link itself: the loop waits on
  // linkFd() and calls readLink() when it is readable, and the channel's
  // receive thread leaves the socket alone. Only for the channel this
  // manager created, and before its first connect; false otherwise.
  bool readOnMainThread();
  // In that mode the open link's descriptor and its connection serial (a
  // descriptor number is reused at once after a close); -1 otherwise.
  int linkFd(unsigned* connection);
  // In that mode: reads what the link holds without waiting and delivers
  // every complete packet (the same parse the loop's pass does).
  void readLink(double now);

  // Main thread: carries out a disconnect requested from a channel thread
  // and reports a connection the controller has closed.
  void onUpdate(double now) override;
  double nextDeadline(double now) override;

 protected:
  // Called after setChannel so that subclasses move their parser to the new
  // channel's receive FIFO.
  virtual void channelReplaced() {}
  // Called before a connection the controller closed is dropped (which
  // empties the FIFOs): subclasses parse what is still buffered.
  virtual void drainReceived(double now) {}
  bool onConnectTask(CTask* task);
  bool onDisconnectTask(CTask* task);

  std::string feature_;
  bool enabled_ = false;
  std::string host_;
  int port_;
  CChannel* channel_ = nullptr;
  bool channelIsSocket_ = false;  // channel_ is the CSocketTCP this base created
  bool routed_;
  // Set by an error report from a channel thread; consumed on the main thread.
  std::atomic<bool> disconnectRequested_{false};
  // Set by the receive thread when the controller has closed the connection;
  // consumed on the main thread, which reports it as a channel error.
  std::atomic<bool> peerClosed_{false};
};

#endif  // JYX_JYX_PROTOCOL_JYX_TASK_MANAGER_H_

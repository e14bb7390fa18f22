// CJYXLogManager: receives the target UART text that the controller
// forwards on its log port (3333), prints every line and keeps the whole log
// for saving. What reaches the terminal passes a CTerminalFilter (colours
// kept, other control and escape sequences made visible); the saved log
// keeps the bytes as received. Main thread only: the text arrives through
// the line parser's update.
#ifndef JYX_JYX_DEVICE_LOG_MANAGER_H_
#define JYX_JYX_DEVICE_LOG_MANAGER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/terminal_filter.h"
#include "jyx/protocol/jyx_task_manager.h"
#include "jyx/protocol/package.h"
#include "jyx/protocol/string_parser.h"
#include "jyx/services.h"

class CJYXDataManager;

class CJYXLogManager : public CJYXTaskManager, public CStringParserDelegate {
 public:
  // Seconds of silence after which a partial line (no "\n" yet) is printed.
  static constexpr double kFlushDelay = 1.0;
  static constexpr int kDefaultPort = 3333;

  // The process-wide instance (feature "log", 127.0.0.1:3333), created on
  // first use and never destroyed (jyx_managers.cpp wires it).
  static CJYXLogManager* instance();

  // Forwarding is switched through `data`; both it and `services` must
  // outlive this manager. The process-wide pair is made log manager first
  // (so that it updates first) and joined with setDataManager before either
  // is used. Secondary instances (tests) pass routed = false; see
  // CJYXTaskManager.
  CJYXLogManager(CJYXServices* services, CJYXDataManager* data, const char* host, int port,
                 bool routed);
  ~CJYXLogManager() override;

  // Configuration hook: starts the silence clock.
  void start() override;
  // Disconnects.
  void stop() override;
  // A new connection starts a new stream: a sequence left open by the old
  // one is shown first, so it cannot combine with the new bytes.
  void connect() override;
  void onUpdate(double now) override;
  double nextDeadline(double now) override;

  // Called once, at start-up, when the manager was made without `data`.
  void setDataManager(CJYXDataManager* data) { data_ = data; }
  // Forwarding state last acknowledged by the controller (non-zero = on).
  virtual uint8_t uartLogEnabled() { return uartLogEnabled_; }
  virtual void setUartLogEnabled(uint8_t enabled) { uartLogEnabled_ = enabled; }
  virtual const std::string& logText() { return logText_; }
  virtual void setLogText(const std::string& text) { logText_ = text; }
  // One line (or a flushed partial line), valid only during the call.
  void onString(const char* line) override;

  // Asks the data manager to switch forwarding on or off; does nothing
  // unless both this manager's and the data manager's channels are open.
  void enableLog(uint8_t enable, PackageCallback callback);
  // After a reconnect: a controller that restarted has forgotten the UART
  // selection and forwarding, so both are requested again (the selection
  // only when this run made one). Does nothing unless both channels are
  // open; a refusal prints one line.
  void restoreForwarding();
  // Hands every received byte to `tap` instead of printing and keeping it
  // (the bench server fans the log out to its clients). Null restores the
  // normal behaviour.
  using RawTap = std::function<void(const uint8_t* bytes, size_t n)>;
  void setRawTap(RawTap tap) { rawTap_ = std::move(tap); }
  // The line parser on the channel's receive FIFO (owned; registered updater).
  CStringParser* parser() { return parser_; }

 protected:
  virtual double clockNow();
  void channelReplaced() override;
  void drainReceived(double now) override;

 private:
  bool taskEnable(CTask* task);
  bool taskSave(CTask* task);

  CJYXServices* services_;
  CJYXDataManager* data_;
  uint8_t uartLogEnabled_ = 0;
  std::string logText_;
  double lastLine_ = 0.0;
  CTerminalFilter terminal_;
  std::string shown_;  // reused buffer of the filtered text
  CStringParser* parser_ = nullptr;
  RawTap rawTap_;
  std::vector<uint8_t> tapBuffer_;
};

#endif  // JYX_JYX_DEVICE_LOG_MANAGER_H_

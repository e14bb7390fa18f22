#include "jyx/device/log_manager.h"

#include <cstdio>
#include <cstring>
#include <functional>

#include "common/api_manager.h"
#include "common/file_util.h"
#include "jyx/device/data_manager.h"

CJYXLogManager::CJYXLogManager(CJYXServices* services, CJYXDataManager* data, const char* host,
                               int port, bool routed)
    : CJYXTaskManager("log", host, port, routed), services_(services), data_(data) {
  parser_ = new CStringParser(this, channel_->receiveFifo());
  lastLine_ = CAPIManager::instance()->time();
  addHandler(name_ + ":enable",
             std::bind(&CJYXLogManager::taskEnable, this, std::placeholders::_1));
  addHandler(name_ + ":save", std::bind(&CJYXLogManager::taskSave, this, std::placeholders::_1));
}

CJYXLogManager::~CJYXLogManager() {
  delete parser_;
  parser_ = nullptr;
}

void CJYXLogManager::channelReplaced() {
  delete parser_;
  parser_ = new CStringParser(this, channel_->receiveFifo());
}

void CJYXLogManager::drainReceived(double now) {
  parser_->onUpdate(now);
  parser_->flush();
}

double CJYXLogManager::clockNow() { return CAPIManager::instance()->time(); }

void CJYXLogManager::start() { lastLine_ = clockNow(); }

void CJYXLogManager::stop() { disconnect(); }

void CJYXLogManager::connect() {
  shown_.clear();
  terminal_.finish(&shown_);
  if (!shown_.empty()) CAPIManager::instance()->print("%s", shown_.c_str());
  CJYXTaskManager::connect();
}

void CJYXLogManager::onString(const char* line) {
  size_t length = strlen(line);
  if (rawTap_) {
    rawTap_(reinterpret_cast<const uint8_t*>(line), length);
    return;
  }
  logText_.append(line, length);
  shown_.clear();
  terminal_.filter(line, length, &shown_);
  // The target's text is data, never a format.
  if (!shown_.empty()) CAPIManager::instance()->print("%s", shown_.c_str());
  lastLine_ = clockNow();
}

void CJYXLogManager::onUpdate(double now) {
  CJYXTaskManager::onUpdate(now);
  if (rawTap_ && channel_) {
    // The bytes go out as they came, NUL bytes and partial lines included;
    // the line parser then finds the FIFO empty.
    CFifo* fifo = channel_->receiveFifo();
    int n = fifo->size();
    if (n > 0) {
      tapBuffer_.resize(static_cast<size_t>(n));
      if (fifo->pop(tapBuffer_.data(), n)) rawTap_(tapBuffer_.data(), tapBuffer_.size());
    }
  }
  if (channel_ && channel_->isOpen()) {
    if (now - lastLine_ >= kFlushDelay) {
      parser_->flush();
      lastLine_ = now;
    }
  } else {
    lastLine_ = now;
  }
}

void CJYXLogManager::enableLog(uint8_t enable, PackageCallback callback) {
  CJYXDataManager* data = data_;
  if (isConnected() && data->isConnected()) data->enableUart(enable, std::move(callback));
}

void CJYXLogManager::restoreForwarding() {
  CJYXDataManager* data = data_;
  if (!isConnected() || !data->isConnected()) return;
  auto failed = [] {
    CAPIManager::instance()->print("UART forwarding not restored after reconnect\n");
  };
  auto refused = [](CPackage* reply) { return reply == nullptr || reply->dataType() == ACK_FAIL; };
  auto enable = [data, failed, refused] {
    bool sent = data->enableUart(1, [failed, refused](CPackage* reply) {
      if (refused(reply)) failed();
    });
    if (!sent) failed();
  };
  if (!data->logUartSwitched()) return enable();
  data->switchLogUart(uint8_t(data->logUartNum()), [enable, failed, refused](CPackage* reply) {
    if (refused(reply)) return failed();
    enable();
  });
}

bool CJYXLogManager::taskEnable(CTask* task) {
  if (!isConnected() || !data_->isConnected()) {
    finishTask(task);
    return true;
  }
  enableLog(uartLogEnabled_ ? 0 : 1, [this, task](CPackage* reply) {
    if (reply) {
      char text[32];
      snprintf(text, sizeof(text), "{\"enable\":%d}", (int)uartLogEnabled_);
      setResultText(task, text);
      CJYXServices* jyx = services_;
      jyx->publishValue("BTN_LOG_TITLE", "content", uartLogEnabled_ ? "stop log" : "start log");
      const char* message = uartLogEnabled_ ? "Start outputing the log." : "Log is closed.";
      jyx->showNotice(message);
      CAPIManager::instance()->print("%s\n", message);
    }
    finishTask(task);
  });
  return true;
}

bool CJYXLogManager::taskSave(CTask* task) {
  std::string path;
  getArgument(task->data() ? task->data()->text : "", "path", &path);
  // Written whole under a temporary name and renamed: a failed save never
  // leaves a truncated log under the chosen name.
  std::string why = "no file name given";
  if (path.empty() || !jyx::writeFileAtomic(path, logText_, &why)) {
    // Left unfinished: the caller learns of the failure by the missing reply.
    CAPIManager::instance()->print("%s\n", why.c_str());
    CAPIManager::instance()->print("save log to file(%s) fail.\n", path.c_str());
    return true;
  }
  finishTask(task);
  return true;
}

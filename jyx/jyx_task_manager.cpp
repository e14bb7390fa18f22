#include "jyx/jyx_task_manager.h"

#include <cstring>
#include <functional>

#include "common/api_manager.h"
#include "common/socket_tcp.h"

CJYXTaskManager::CJYXTaskManager(const std::string& feature, const char* host, int port,
                                 bool routed)
    : feature_(feature), host_(host ? host : ""), port_(port), routed_(routed) {
  name_ = "jyx." + feature;
  channel_ = new CSocketTCP(this, port_, host_.c_str());
  channelIsSocket_ = true;
  addHandler(name_ + ":connect", std::bind(&CJYXTaskManager::onConnectTask, this,
                                           std::placeholders::_1));
  addHandler(name_ + ":disconnect", std::bind(&CJYXTaskManager::onDisconnectTask, this,
                                              std::placeholders::_1));
  if (routed_) CAPIManager::instance()->registerTaskManager(name_, this);
}

CJYXTaskManager::~CJYXTaskManager() {
  if (routed_) CAPIManager::instance()->unregisterTaskManager(name_, this);
  delete channel_;
  channel_ = nullptr;
}

bool CJYXTaskManager::isEnabled() { return enabled_; }

void CJYXTaskManager::connect() {
  if (channel_ && !channel_->isOpen()) channel_->open();
  enabled_ = true;
}

void CJYXTaskManager::disconnect() {
  if (channel_ && channel_->isOpen()) channel_->close();
  enabled_ = false;
}

int CJYXTaskManager::onMessage(CHANNEL_MSG_TYPE type, int code, const char* message) {
  if (!message) message = "";
  if (type == CHANNEL_MSG_ERROR) {
    CAPIManager::instance()->print("error-%s-manager: %s\n", feature_.c_str(), message);
    if (CAPIManager::instance()->isOwnerThread()) {
      disconnect();
    } else {
      disconnectRequested_ = true;
    }
  } else if (type == CHANNEL_MSG_WARNING) {
    CAPIManager::instance()->print("warning-%s-manager: %s\n", feature_.c_str(), message);
  }
  return 0;
}

void CJYXTaskManager::setAddress(const char* host, int port) {
  if (host) host_ = host;
  if (port > 0) port_ = port;
  if (channel_ && channelIsSocket_) {
    auto* socket = static_cast<CSocketTCP*>(channel_);
    if (host) socket->setAddress(host_);
    if (port > 0) socket->setPort(port_);
  }
}

bool CJYXTaskManager::isConnected() { return channel_ && channel_->isOpen(); }

void CJYXTaskManager::setChannel(CChannel* channel) {
  delete channel_;
  channel_ = channel;
  channelIsSocket_ = false;
  channelReplaced();
}

void CJYXTaskManager::onUpdate(double now) {
  if (disconnectRequested_.exchange(false)) disconnect();
}

bool CJYXTaskManager::onConnectTask(CTask* task) {
  const char* text = task->data() ? task->data()->text : "";
  if (text && std::strlen(text) > 2) {
    std::string ip;
    int port = 0;
    bool hasIp = getArgument(text, "ip", &ip);
    getArgument(text, "port", &port);
    setAddress(hasIp ? ip.c_str() : nullptr, port);
  }
  connect();
  setResultText(task, "1");
  finishTask(task);
  return true;
}

bool CJYXTaskManager::onDisconnectTask(CTask* task) {
  disconnect();
  setResultText(task, "1");
  finishTask(task);
  return true;
}

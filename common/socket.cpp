#include "common/socket.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>

CSocket::CSocket(CChannelDelegate* delegate, const char* address, int port)
    : CChannel(delegate, kDefaultFifoCapacity), address_(address ? address : ""), port_(port) {
  isServer_ = address_.size() < 6;
  localAddr_.sin_family = AF_INET;
  localAddr_.sin_addr.s_addr = htonl(INADDR_ANY);
}

CSocket::~CSocket() { shutdown(); }

void CSocket::closeSocketLocked() {
  if (fd_ != -1) {
    ::close(fd_);
    fd_ = -1;
    ++connection_;
  }
  flush();
}

void CSocket::close() {
  interruptRead();  // a receive thread waiting on the old socket returns at once
  CSmartLock guard(&lock_);
  closeSocketLocked();
}

bool CSocket::isOpen() {
  CSmartLock guard(&lock_);
  return fd_ != -1;
}

std::string CSocket::address() {
  CSmartLock guard(&lock_);
  return address_;
}

void CSocket::setAddress(const std::string& address) {
  CSmartLock guard(&lock_);
  address_ = address;
}

int CSocket::port() {
  CSmartLock guard(&lock_);
  return port_;
}

void CSocket::setPort(int port) {
  CSmartLock guard(&lock_);
  port_ = port;
}

bool CSocket::setLocalAddress(const char* address) {
  in_addr addr{};
  if (!address || inet_pton(AF_INET, address, &addr) != 1) return false;
  CSmartLock guard(&lock_);
  localAddr_.sin_addr = addr;
  return true;
}

std::string CSocket::localAddress() {
  CSmartLock guard(&lock_);
  char text[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &localAddr_.sin_addr, text, sizeof(text));
  return text;
}

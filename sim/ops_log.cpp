#include "sim/ops_log.h"

#include <sys/time.h>

#include <cerrno>
#include <cstring>

namespace jyxsim {

COpsRecord::COpsRecord(COpsLog* log, const char* dir)
    : log_(log), active_(log && log->isOpen()), w_(buf_) {
  if (!active_) return;
  begin(dir);
  w_.Key("fields");
  w_.StartObject();
}

COpsRecord::COpsRecord(COpsLog* log, const char* dir, const SimFrame& f, bool reply)
    : log_(log), active_(log && log->isOpen()), w_(buf_) {
  if (!active_) return;
  begin(dir);
  w_.Key("cmd");
  w_.String(cmdName(f.cmd));
  w_.Key("cmd_type");
  w_.Uint(f.cmd);
  w_.Key("data");
  w_.String(dataName(f.data, reply));
  w_.Key("data_type");
  w_.Uint(f.data);
  w_.Key("frame");
  w_.Uint(f.frame);
  w_.Key("len");
  w_.Uint(unsigned(20 + f.payload.size()));
  w_.Key("fields");
  w_.StartObject();
}

void COpsRecord::begin(const char* dir) {
  w_.StartObject();
  w_.Key("time_us");
  w_.Uint64(COpsLog::wallMicros());
  w_.Key("dir");
  w_.String(dir);
}

COpsRecord::~COpsRecord() { done(); }

COpsRecord& COpsRecord::num(const char* key, int64_t value) {
  if (active_) {
    w_.Key(key);
    w_.Int64(value);
  }
  return *this;
}

COpsRecord& COpsRecord::unum(const char* key, uint64_t value) {
  if (active_) {
    w_.Key(key);
    w_.Uint64(value);
  }
  return *this;
}

COpsRecord& COpsRecord::real(const char* key, double value) {
  if (active_) {
    w_.Key(key);
    w_.Double(value);
  }
  return *this;
}

COpsRecord& COpsRecord::str(const char* key, const std::string& value) {
  if (active_) {
    w_.Key(key);
    w_.String(value.data(), rapidjson::SizeType(value.size()));
  }
  return *this;
}

COpsRecord& COpsRecord::str(const char* key, const char* value) {
  return str(key, std::string(value ? value : ""));
}

COpsRecord& COpsRecord::boolean(const char* key, bool value) {
  if (active_) {
    w_.Key(key);
    w_.Bool(value);
  }
  return *this;
}

COpsRecord& COpsRecord::hex(const char* key, const uint8_t* bytes, size_t n, size_t maxBytes) {
  if (!active_) return *this;
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < n && i < maxBytes; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return str(key, text);
}

void COpsRecord::done() {
  if (!active_) return;
  active_ = false;
  w_.EndObject();
  w_.EndObject();
  log_->writeLine(buf_.GetString(), buf_.GetSize());
}

COpsLog::~COpsLog() { close(); }

bool COpsLog::open(const std::string& path, std::string* err) {
  close();
  file_ = fopen(path.c_str(), "w");
  if (!file_) {
    *err = "cannot open ops log " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

void COpsLog::close() {
  if (file_) fclose(file_);
  file_ = nullptr;
}

uint64_t COpsLog::wallMicros() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return uint64_t(tv.tv_sec) * 1000000u + uint64_t(tv.tv_usec);
}

void COpsLog::writeLine(const char* text, size_t n) {
  if (!file_) return;
  fwrite(text, 1, n, file_);
  fputc('\n', file_);
  fflush(file_);
}

}  // namespace jyxsim

// COpsLog: the simulator's operations log, one JSON object per line, for
// tests that assert what crossed the wire and when. Every line is flushed
// as soon as it is complete, so a reader sees it while the simulator runs.
//
// Line layout (keys in this order):
//   {"time_us":N, "dir":"rx"|"tx"|"drop"|"report"|"log"|"event",
//    "cmd":"GPIO_CTRL", "cmd_type":3, "data":"NO_DATA", "data_type":255,
//    "frame":N, "len":N,                  <- only for packet records
//    "fields":{...}}                      <- decoded payload fields
#ifndef JYX_SIM_OPS_LOG_H_
#define JYX_SIM_OPS_LOG_H_

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "sim/frame.h"

namespace jyxsim {

class COpsLog;

// One line under construction. Built on the stack, written by done() (or
// by the destructor). All calls are no-ops when the log is closed.
class COpsRecord {
 public:
  COpsRecord(COpsLog* log, const char* dir);
  // Packet header keys; `reply` picks "ACK_FAIL" for data type 255.
  COpsRecord(COpsLog* log, const char* dir, const SimFrame& f, bool reply);
  ~COpsRecord();
  COpsRecord(const COpsRecord&) = delete;
  COpsRecord& operator=(const COpsRecord&) = delete;

  COpsRecord& num(const char* key, int64_t value);
  COpsRecord& unum(const char* key, uint64_t value);
  COpsRecord& real(const char* key, double value);
  COpsRecord& str(const char* key, const std::string& value);
  COpsRecord& str(const char* key, const char* value);
  COpsRecord& boolean(const char* key, bool value);
  // Bytes as lowercase hex digits, at most maxBytes of them.
  COpsRecord& hex(const char* key, const uint8_t* bytes, size_t n, size_t maxBytes = 16);
  void done();

 private:
  void begin(const char* dir);
  COpsLog* log_;
  bool active_;
  rapidjson::StringBuffer buf_;
  rapidjson::Writer<rapidjson::StringBuffer> w_;
};

class COpsLog {
 public:
  COpsLog() = default;
  ~COpsLog();
  COpsLog(const COpsLog&) = delete;
  COpsLog& operator=(const COpsLog&) = delete;

  // Opens (truncates) the file; false with a message in *err on failure.
  bool open(const std::string& path, std::string* err);
  bool isOpen() const { return file_ != nullptr; }
  void close();

  // Microseconds since the epoch (wall clock).
  static uint64_t wallMicros();

 private:
  friend class COpsRecord;
  void writeLine(const char* text, size_t n);
  FILE* file_ = nullptr;
};

}  // namespace jyxsim

#endif  // JYX_SIM_OPS_LOG_H_

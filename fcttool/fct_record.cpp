#include "fcttool/fct_record.h"

#include <algorithm>

namespace fct {

const char kNotTested[] = "未测试";
const char kPass[] = "通过";
const char kFail[] = "失败";

namespace {

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool isValidMac(const std::string& mac) {
  size_t pos = 0;
  while (pos < mac.size()) {
    if (pos + 1 >= mac.size() || !isHex(mac[pos]) || !isHex(mac[pos + 1])) return false;
    pos += 2;
    if (pos < mac.size() && (mac[pos] == ':' || mac[pos] == '-')) ++pos;
  }
  return true;
}

uint64_t trailingNumber(const std::string& name) {
  size_t start = name.size();
  while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
  uint64_t value = 0;
  constexpr uint64_t kMax = UINT64_MAX / 10 - 9;
  for (size_t i = start; i < name.size(); ++i) {
    if (value > kMax) return UINT64_MAX;
    value = value * 10 + static_cast<uint64_t>(name[i] - '0');
  }
  return value;
}

std::vector<std::string> sortPorts(const std::string& listing) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos < listing.size()) {
    size_t end = listing.find(' ', pos);
    if (end == std::string::npos) end = listing.size();
    if (end > pos) names.push_back(listing.substr(pos, end - pos));
    pos = end + 1;
  }
  if (names.empty()) names.push_back("none");
  std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return trailingNumber(a) < trailingNumber(b);
  });
  return names;
}

std::string recordCell(const std::string& status, const std::string& info) {
  std::string cell = status + info;
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

bool isValidSerialNumber(const std::string& serial) {
  if (serial.empty() || serial == "." || serial == "..") return false;
  for (unsigned char c : serial) {
    if (c < 0x20 || c == 0x7F || c == ',' || c == '"' || c == '/' || c == '\\') return false;
  }
  return true;
}

std::string mergeRecordRow(const std::string& text, const std::string& serial,
                           const std::string& row) {
  size_t at = serial.empty() ? std::string::npos : text.find(serial);
  if (at == std::string::npos) return text + row + "\n";
  size_t lineEnd = text.find('\n', at);
  if (lineEnd == std::string::npos) return text;
  return text.substr(0, at) + row + text.substr(lineEnd);
}

const char kBom[] = "\xEF\xBB\xBF";

std::string stripBom(std::string text) {
  if (text.size() >= 4 && text.compare(0, 3, kBom) == 0) text.erase(0, 3);
  return text;
}

}  // namespace fct

#include "common/string_format.h"

#include <cstdio>
#include <cstring>

namespace jyx {

std::string stringFormatV(const char* format, va_list args) {
  char small[256];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof(small)) return std::string(small, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string stringFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = stringFormatV(format, args);
  va_end(args);
  return text;
}

std::string errnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(err, buf, sizeof(buf));
  return text ? std::string(text) : std::string("error ") + std::to_string(err);
}

}  // namespace jyx

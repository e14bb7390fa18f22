// printf-style formatting into a std::string, for messages whose length is
// not known in advance (paths, device texts). Never truncates.
#ifndef JYX_COMMON_STRING_FORMAT_H_
#define JYX_COMMON_STRING_FORMAT_H_

#include <cstdarg>
#include <string>

namespace jyx {

std::string stringFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string stringFormatV(const char* format, va_list args);

// errno as text ("No space left on device"); the one place errno becomes text.
std::string errnoText(int err);

}  // namespace jyx

#endif  // JYX_COMMON_STRING_FORMAT_H_

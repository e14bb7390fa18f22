// The one rule by which numbers that arrive as text (configuration values,
// task arguments, YAML scalars, command-line values) are read.
#ifndef JYX_COMMON_NUMBER_TEXT_H_
#define JYX_COMMON_NUMBER_TEXT_H_

#include <cstdint>

// "0x"/"0X" followed by hexadecimal digits, otherwise decimal digits; reading
// stops at the first character that does not belong. There is no sign, so
// "-1" reads as 0; no digits (or a null text) give 0. The value wraps modulo
// 2^64, so "0xffffffff" stored into an int32_t gives -1.
uint64_t parseNumberText(const char* text);

#endif  // JYX_COMMON_NUMBER_TEXT_H_

// SLIP framing (RFC 1055) and the ROM loader's XOR checksum.
#ifndef JYX_JYX_MAINTENANCE_SLIP_H_
#define JYX_JYX_MAINTENANCE_SLIP_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace esp {

// Appends 0xC0, the escaped bytes and 0xC0 to *out.
void slipEncode(const uint8_t* data, size_t n, std::vector<uint8_t>* out);

// Decodes the bytes between two delimiters (neither included) into *out.
// An escape byte followed by anything other than 0xDC/0xDD keeps that byte
// and counts as a bad escape; a trailing lone escape is dropped and counted
// too. Returns the number of bad escapes; the first bad byte goes to
// *badByte when given.
int slipDecode(const uint8_t* data, size_t n, std::vector<uint8_t>* out,
               uint8_t* badByte = nullptr);

// XOR of the bytes, seeded with 0xEF.
uint8_t espChecksum(const uint8_t* data, size_t n);

}  // namespace esp

#endif  // JYX_JYX_MAINTENANCE_SLIP_H_

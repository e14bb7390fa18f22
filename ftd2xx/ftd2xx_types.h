// The types, status codes and constants of the D2XX-style interface
// (ftd2xx.h), apart so that the backends behind the calls can use them
// without the calls themselves.
#ifndef JYX_FTD2XX_FTD2XX_TYPES_H_
#define JYX_FTD2XX_FTD2XX_TYPES_H_

#include <cstdint>

typedef void* FT_HANDLE;
typedef uint32_t FT_STATUS;
typedef uint32_t DWORD;
typedef uint16_t USHORT;
typedef uint8_t UCHAR;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef void* PVOID;

enum : FT_STATUS {
  FT_OK = 0,
  FT_INVALID_HANDLE = 1,
  FT_DEVICE_NOT_FOUND = 2,
  FT_DEVICE_NOT_OPENED = 3,
  FT_IO_ERROR = 4,
  FT_INSUFFICIENT_RESOURCES = 5,
  FT_INVALID_PARAMETER = 6,
  FT_INVALID_BAUD_RATE = 7,
  FT_NOT_SUPPORTED = 17,
  FT_OTHER_ERROR = 18,
};

// FT_ListDevices flags.
constexpr DWORD FT_LIST_NUMBER_ONLY = 0x80000000u;
constexpr DWORD FT_LIST_BY_INDEX = 0x40000000u;
constexpr DWORD FT_LIST_ALL = 0x20000000u;
constexpr DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
constexpr DWORD FT_OPEN_BY_DESCRIPTION = 2;

// Buffer size FT_ListDevices writes a serial number into (with its NUL).
constexpr DWORD FT_SERIAL_NUMBER_SIZE = 64;

// Line characteristics.
constexpr UCHAR FT_BITS_7 = 7;
constexpr UCHAR FT_BITS_8 = 8;
constexpr UCHAR FT_STOP_BITS_1 = 0;
constexpr UCHAR FT_STOP_BITS_2 = 2;
constexpr UCHAR FT_PARITY_NONE = 0;
constexpr UCHAR FT_PARITY_ODD = 1;
constexpr UCHAR FT_PARITY_EVEN = 2;

// Flow control.
constexpr USHORT FT_FLOW_NONE = 0x0000;
constexpr USHORT FT_FLOW_RTS_CTS = 0x0100;
constexpr USHORT FT_FLOW_DTR_DSR = 0x0200;
constexpr USHORT FT_FLOW_XON_XOFF = 0x0400;

// Bit modes.
constexpr UCHAR FT_BITMODE_RESET = 0x00;
constexpr UCHAR FT_BITMODE_ASYNC_BITBANG = 0x01;
constexpr UCHAR FT_BITMODE_MPSSE = 0x02;

#endif  // JYX_FTD2XX_FTD2XX_TYPES_H_

// The D2XX-style programming interface of the FTDI USB bridges, written for
// this project. Only the calls the controller maintenance uses exist. Every
// call returns FT_OK (0) on success and another FT_STATUS value on failure.
//
// A multi-interface chip (the controller's quad bridge) appears as one
// device per interface, in interface order, each with the chip's serial
// number followed by the interface letter ("JYX2K7A1A" ... "JYX2K7A1D").
//
// Two backends implement the calls, chosen once per process:
//  - with the environment variable JYX_FTDI_SIM naming the Unix socket of a
//    jyx-sim bridge (jyx-sim --ftdi-socket PATH), the simulated bridge;
//  - otherwise the USB bridges on this host, through libftdi1.
//
// Handles may be used from more than one thread; each handle serialises its
// own calls.
#ifndef JYX_FTD2XX_FTD2XX_H_
#define JYX_FTD2XX_FTD2XX_H_

#include "ftd2xx/ftd2xx_types.h"

// FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER: pArg1 is an array of char buffers
// of FT_SERIAL_NUMBER_SIZE bytes ending with a null pointer, pArg2 a DWORD*
// receiving the number of devices; at most as many serial numbers as there
// are buffers are written. FT_LIST_NUMBER_ONLY: pArg1 is the DWORD* count.
FT_STATUS FT_ListDevices(PVOID pArg1, PVOID pArg2, DWORD Flags);
// Opens the device at this index of the list.
FT_STATUS FT_Open(int deviceNumber, FT_HANDLE* pHandle);
FT_STATUS FT_Close(FT_HANDLE ftHandle);
FT_STATUS FT_SetBaudRate(FT_HANDLE ftHandle, DWORD BaudRate);
FT_STATUS FT_SetDataCharacteristics(FT_HANDLE ftHandle, UCHAR WordLength, UCHAR StopBits,
                                    UCHAR Parity);
FT_STATUS FT_SetFlowControl(FT_HANDLE ftHandle, USHORT FlowControl, UCHAR XonChar, UCHAR XoffChar);
// Milliseconds; 0 means the backend's own bound (it never waits for ever).
FT_STATUS FT_SetTimeouts(FT_HANDLE ftHandle, DWORD ReadTimeout, DWORD WriteTimeout);
FT_STATUS FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar, UCHAR EventCharEnabled, UCHAR ErrorChar,
                      UCHAR ErrorCharEnabled);
FT_STATUS FT_SetUSBParameters(FT_HANDLE ftHandle, DWORD InTransferSize, DWORD OutTransferSize);
FT_STATUS FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR Latency);
FT_STATUS FT_SetDtr(FT_HANDLE ftHandle);
FT_STATUS FT_ClrDtr(FT_HANDLE ftHandle);
FT_STATUS FT_SetRts(FT_HANDLE ftHandle);
FT_STATUS FT_ClrRts(FT_HANDLE ftHandle);
FT_STATUS FT_SetBitMode(FT_HANDLE ftHandle, UCHAR Mask, UCHAR Mode);
// Bytes received and not yet read.
FT_STATUS FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* RxBytes);
// Waits up to the read timeout for BytesToRead bytes; *BytesReturned may be
// fewer (FT_OK) when the time ran out.
FT_STATUS FT_Read(FT_HANDLE ftHandle, LPVOID Buffer, DWORD BytesToRead, LPDWORD BytesReturned);
// Returns once the bytes are in the bridge's transmit buffer, or the write
// timeout ran out (*BytesWritten tells how many were taken).
FT_STATUS FT_Write(FT_HANDLE ftHandle, LPVOID Buffer, DWORD BytesToWrite, LPDWORD BytesWritten);

// Extension of this library (not in the vendor's D2XX): *fd becomes a
// descriptor that polls readable whenever FT_GetQueueStatus may report
// bytes (or the device failed), so a reader can block in the kernel instead
// of asking the queue again and again. It stays valid until FT_Close.
// FT_NOT_SUPPORTED when the backend has none: there FT_GetQueueStatus itself
// waits in the kernel for the chip's next packet (the latency timer).
FT_STATUS FT_GetEventFd(FT_HANDLE ftHandle, int* fd);

#endif  // JYX_FTD2XX_FTD2XX_H_

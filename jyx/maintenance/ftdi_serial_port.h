// CFTDISerialPort: a byte channel over one interface of an FTDI bridge
// (D2XX interface, ftd2xx/ftd2xx.h), and the class-wide pin sequences of the
// controller board: reset into the MCU's ROM loader, controller reset,
// JTAG and scan routing through MPSSE, bit-bang output.
//
// Threads: the channel operations hold the channel's lock for their whole
// duration; the receive thread calls read, the main thread everything
// else. The class-wide operations run on the main thread and sleep between
// their steps (they hold the main loop for at most a few hundred ms); they
// open and close their own handles and never touch an open channel.
#ifndef JYX_JYX_MAINTENANCE_FTDI_SERIAL_PORT_H_
#define JYX_JYX_MAINTENANCE_FTDI_SERIAL_PORT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/channel.h"
#include "ftd2xx/ftd2xx.h"

class CFTDISerialPort : public CChannel {
 public:
  // Interfaces of one chip, as offsets within its group of four indices.
  enum Interface { kInterfaceA = 0, kInterfaceB = 1, kInterfaceC = 2, kInterfaceD = 3 };

  explicit CFTDISerialPort(CChannelDelegate* delegate);
  ~CFTDISerialPort() override;

  bool open() override;
  void close() override;
  bool isOpen() override;
  // Bytes written (a failing FT_Write ends early with the count so far);
  // -1 when not open.
  int write(const void* data, int len) override;
  // Takes at most len of the bytes the bridge has received into the receive
  // FIFO; the count, or -1 when not open. With nothing received it waits
  // kIdleReadWaitUs without the lock (close and shutdown end the wait at
  // once) and returns 0.
  int read(void* buf, int len) override;

 protected:
  // The queue-reading part of read(), under the channel lock.
  int readQueued(void* buf, int len);
  // The D2XX calls this layer offers have no wait for received bytes, and a
  // blocking FT_Read would hold the handle (and every write) for its whole
  // time-out; so the receive thread looks at the queue once per wait.
  bool readWaitsForDevice() override { return true; }

 public:
  virtual std::string name();
  virtual void setName(const std::string& name);
  virtual int baud();
  virtual void setBaud(int baud);
  virtual int parity();
  virtual void setParity(int parity);
  virtual int dataBits();
  virtual void setDataBits(int dataBits);
  virtual int stopBits();
  virtual void setStopBits(int stopBits);
  virtual bool resetToLoaderOnOpen();
  virtual void setResetToLoaderOnOpen(bool reset);

  // The boot-loader reset on the open handle; FT_OK or the first error.
  FT_STATUS reset2bootloader(bool longWait);

  // --- class-wide ---

  // Rebuilds the device list from the bridges present and returns the
  // blank-separated interface-A indices of the complete JYX bridges.
  static std::string listDevices(bool verbose);
  // The grouping rule of listDevices on a list of serial numbers: *list
  // receives the indices of complete bridges (A, B, C, D each); the result
  // is the blank-separated interface-A indices.
  static std::string groupDevices(const std::vector<std::string>& serials, std::vector<int>* list);
  // The current device list.
  static std::vector<int> deviceList();
  static void setDeviceList(const std::vector<int>& list);
  // Called by listDevices() with every new list (main thread); the serial
  // manager takes the first device as its own from it.
  using DeviceListListener = std::function<void(const std::vector<int>&)>;
  static void setDeviceListListener(DeviceListListener listener);
  // Interface `which` of the chip that index `num` belongs to; an index
  // that is not listed stands for the first listed chip; 0 when the list
  // is empty.
  static int interfaceIndex(int num, Interface which);
  static int interfaceIndex(const std::vector<int>& list, int num, Interface which);
  // The interface whose pins drive the board lines of enableJYXFlash and
  // resetJYX (B unless the controller's wiring says otherwise).
  static void setBoardLinesInterface(Interface which);

  // Each calls done exactly once with the result (some only after the
  // serial manager's replies arrived).
  static void enableJYXFlash(int num, std::function<void(bool)> done);
  static void resetJYX(int num, std::function<void(bool)> done);
  static void enableJTAG(int num, std::function<void(bool)> done);
  static void disableJTAG(int num, std::function<void(bool)> done);
  static void enableScan(int num, std::function<void(bool)> done);
  static void bitBang(int num, uint8_t mask, uint8_t value, std::function<void(bool)> done);
  static void acBitBang(int num, std::function<void(bool)> done);
  static void mpsseWrite(int num, uint8_t direction, const uint8_t* values, int count, int delayMs,
                         std::function<void(bool)> done);
  // Returns the byte read; done(true) after a good read, nothing called
  // (and 0 returned) when the read failed.
  static uint8_t mpsseRead(int num, std::function<void(bool)> done);

 private:
  std::string name_ = "0";
  int baud_ = 115200;
  int parity_ = 0;
  int dataBits_ = 8;
  int stopBits_ = 0;
  bool resetToLoader_ = false;
  FT_HANDLE handle_ = nullptr;
  bool dtr_ = false;
  // The last queue query failed; the receive thread then waits for close()
  // (reported once, not on every pass).
  bool queueFailed_ = false;
};

#endif  // JYX_JYX_MAINTENANCE_FTDI_SERIAL_PORT_H_

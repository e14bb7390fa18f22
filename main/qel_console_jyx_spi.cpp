// SPI flash flows of the controller console: flashing, checking and reading
// the target's boot flash, and the status-register actions, all through the
// device-control manager. Each flow draws a progress bar while it runs and
// finishes the console with its last message.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/api_manager.h"
#include "jyx/data_manager.h"
#include "jyx/spi_image.h"
#include "main/qel_console_jyx.h"

namespace {

// The delayed start after stopSPI gives the flash lines a second to settle
// with the target before the controller takes them again (seconds).
constexpr double kSpiRestartDelay = 1.0;
// Bytes of hex-dump text handed to one print call.
constexpr size_t kDumpChunk = 64 * 1024;

// The read buffer of -r: readLength + 16 zeroed bytes, owned by the read
// flow from its start to its final progress value.
std::unique_ptr<uint8_t[]> g_readBuffer;

// Hands the -5 and -I/-A/-B choices to the data manager; the options only
// record them, so every SPI flow applies them before it starts.
CJYXDataManager* spiDataManager(const CQelConsoleJYX* console) {
  CJYXDataManager* data = CJYXDataManager::instance();
  if (console->retryLimit() >= 0) data->setRetryLimit(static_cast<uint32_t>(console->retryLimit()));
  if (!console->flashType().empty()) data->setFlashType(console->flashType());
  return data;
}

}  // namespace

void CQelConsoleJYX::start_flash() {
  CJYXDataManager* data = spiDataManager(this);
  data->setImagePath(image_);
  data->stopSPI([this, data]() {
    CAPIManager::instance()->startAsyncCall(
        [this, data]() {
          data->startFlashSPI([this](int p) {
            CAPIManager* api = CAPIManager::instance();
            if (p < 0) {
              api->print("\nflashing image(%s) fail\n", image_.c_str());
              finish();
            } else if (p > 100) {
              api->print("\nflashing image(%s) OK\n", image_.c_str());
              if (loop_) {
                g_loopCount += 1;
                api->print("--loop count: %d\n", g_loopCount);
                start_flash();
              } else {
                finish();
              }
            } else {
              progressBar("flashing:", p);
            }
          });
        },
        kSpiRestartDelay);
  });
}

void CQelConsoleJYX::start_check_spi() {
  CJYXDataManager* data = spiDataManager(this);
  data->stopSPI([this, data]() {
    CAPIManager::instance()->startAsyncCall(
        [this, data]() {
          data->setImagePath(image_);
          data->startCheckSPI([this](int p) {
            CAPIManager* api = CAPIManager::instance();
            if (p < 0) {
              api->print("\nchecking image(%s) fail\n", image_.c_str());
              finish();
            } else if (p > 100) {
              api->print("\nchecking image(%s) OK\n", image_.c_str());
              finish();
            } else {
              progressBar("checking:", p);
            }
          });
        },
        kSpiRestartDelay);
  });
}

void CQelConsoleJYX::start_read_spi() {
  CAPIManager* api = CAPIManager::instance();
  CJYXDataManager* data = spiDataManager(this);
  size_t bufferSize = readLength_ > 0 ? static_cast<size_t>(readLength_) + 16 : 0;
  if (bufferSize > 0) g_readBuffer.reset(new (std::nothrow) uint8_t[bufferSize]);
  if (readLength_ <= 0 || !g_readBuffer) {
    api->print("read spi fail\n");
    finish();
    return;
  }
  memset(g_readBuffer.get(), 0, bufferSize);
  data->startGetSPIContent(readOffset_, readLength_, g_readBuffer.get(), [this](int p) {
    CAPIManager* api = CAPIManager::instance();
    if (p < 0) {
      g_readBuffer.reset();
      api->print("\nread spi fail\n");
      finish();
      return;
    }
    if (p <= 100) {
      progressBar("reading:", p);
      return;
    }
    const uint8_t* bytes = g_readBuffer.get();
    if (!output_.empty()) {
      // A file that cannot be created is skipped silently; the flash was
      // read all the same.
      FILE* f = fopen(output_.c_str(), "wb");
      if (f != nullptr) {
        fwrite(bytes, 1, static_cast<size_t>(readLength_), f);
        fclose(f);
      }
      api->print("\nread spi to file(%s) OK\n", output_.c_str());
    } else {
      api->print("offset:%d, len:%d\n\n", readOffset_, readLength_);
      std::string text;
      text.reserve(kDumpChunk + 64);
      for (int32_t row = 0; row < readLength_; row += 16) {
        // The last row is printed whole; its tail comes from the 16 spare
        // zero bytes.
        text += spiHexRow(bytes + row);
        text += '\n';
        if (text.size() >= kDumpChunk) {
          api->print("%s", text.c_str());
          text.clear();
        }
        if (row > INT32_MAX - 16) break;
      }
      if (!text.empty()) api->print("%s", text.c_str());
    }
    g_readBuffer.reset();
    finish();
  });
}

void CQelConsoleJYX::runSpiRegisterOp() {
  CJYXDataManager* data = spiDataManager(this);
  if (spiRegisterOp_ == "spi-write-registers") {
    data->winbondWriteSPIRegisters(static_cast<uint32_t>(spiRegisterValue_),
                                   [this](bool) { finish(); });
  } else if (spiRegisterOp_ == "spi-read-registers") {
    data->winbondReadSPIRegisters([this](const uint8_t* bytes, int count) {
      if (bytes != nullptr && count >= 3) {
        CAPIManager::instance()->print("winbond read registers: 0x%.2x  0x%.2x  0x%.2x\n",
                                       bytes[0], bytes[1], bytes[2]);
      }
      finish();
    });
  } else if (spiRegisterOp_ == "spi-unlock") {
    data->winbondUnlockFlash([this](bool) { finish(); });
  } else {
    finish();
  }
}

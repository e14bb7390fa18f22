// SPI flash flows of the controller console: flashing, checking and reading
// the target's boot flash, and the status-register actions, all through the
// device-control manager. Each flow draws a progress bar while it runs and
// finishes the console with its last message.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "common/file_util.h"
#include "jyx/device/data_manager.h"
#include "jyx/device/spi_image.h"
#include "main/qel_console_jyx.h"

namespace {

// The delayed start after stopSPI gives the flash lines a second to settle
// with the target before the controller takes them again (seconds).
constexpr double kSpiRestartDelay = 1.0;
// Bytes of hex-dump text handed to one print call.
constexpr size_t kDumpChunk = 64 * 1024;

// Where the read flow of -r puts the range, owned by the flow from its start
// to its final progress value: the -o file being written, or the bytes for
// the screen dump; and the first write failure of the file.
std::unique_ptr<jyx::CAtomicFile> g_readFile;
std::vector<uint8_t> g_readBytes;
std::string g_readError;

// Hands the -5 and -I/-A/-B choices to the data manager; the options only
// record them, so every SPI flow applies them before it starts.
CJYXDataManager* spiDataManager(const CQelConsoleJYX* console) {
  CJYXDataManager* data = CJYXDataManager::instance();
  if (console->retryLimit() >= 0) data->setRetryLimit(static_cast<uint32_t>(console->retryLimit()));
  if (!console->flashType().empty()) data->setFlashType(console->flashType());
  return data;
}

}  // namespace

void CQelConsoleJYX::printSpiFailure(const char* failLine, const std::string& what) {
  CAPIManager* api = CAPIManager::instance();
  // Each reason on its own line below the progress bar, then the fail line,
  // whose leading "\n" ends the last reason.
  for (const std::string& reason : CJYXDataManager::instance()->spiFailReasons()) {
    api->print("\n%s", reason.c_str());
  }
  api->print(failLine, what.c_str());
  fail();
}

void CQelConsoleJYX::start_flash() {
  CJYXDataManager* data = spiDataManager(this);
  data->setImagePath(image_);
  data->stopSPI([this, data]() {
    CAPIManager::instance()->startAsyncCall(
        [this, data]() {
          data->startFlashSPI([this](int p) {
            CAPIManager* api = CAPIManager::instance();
            if (p < 0) {
              printSpiFailure("\nflashing image(%s) fail\n", image_);
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
              printSpiFailure("\nchecking image(%s) fail\n", image_);
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

namespace {

// Where the blocks of a read go: with `output`, straight to a temporary
// file beside it that is renamed over it only once every byte was written
// and synced, so nothing of the range is held in memory; else into
// g_readBytes. False (g_readError says why) when the file cannot be made.
bool makeReadSink(const std::string& output, CJYXDataManager::SPIReadSink* sink) {
  if (!output.empty()) {
    g_readFile.reset(new jyx::CAtomicFile());
    if (!g_readFile->open(output, &g_readError)) {
      g_readFile.reset();
      return false;
    }
    *sink = [](uint32_t, const uint8_t* bytes, uint32_t len) {
      return g_readFile->write(bytes, len, &g_readError);
    };
    return true;
  }
  // Grows as blocks arrive; the range was checked against the flash
  // before the first block, so it stays within the flash's size.
  *sink = [](uint32_t at, const uint8_t* bytes, uint32_t len) {
    if (at != g_readBytes.size()) return false;  // pieces come in address order
    g_readBytes.insert(g_readBytes.end(), bytes, bytes + len);
    return true;
  };
  return true;
}

// Prints the bytes read as hex rows, in pieces of about kDumpChunk.
void printReadDump(int32_t offset, int32_t length) {
  CAPIManager* api = CAPIManager::instance();
  api->print("offset:%d, len:%d\n\n", offset, length);
  // The last row is printed whole; its tail is zeros, as past the end
  // of the range.
  g_readBytes.resize(static_cast<size_t>(length) + 16, 0);
  const uint8_t* bytes = g_readBytes.data();
  std::string text;
  text.reserve(kDumpChunk + 64);
  for (int32_t row = 0; row < length; row += 16) {
    text += spiHexRow(bytes + row);
    text += '\n';
    if (text.size() >= kDumpChunk) {
      api->print("%s", text.c_str());
      text.clear();
    }
    if (row > INT32_MAX - 16) break;
  }
  if (!text.empty()) api->print("%s", text.c_str());
  g_readBytes = std::vector<uint8_t>();
}

}  // namespace

void CQelConsoleJYX::start_read_spi() {
  CAPIManager* api = CAPIManager::instance();
  CJYXDataManager* data = spiDataManager(this);
  if (readLength_ <= 0) {
    api->print("read spi fail\n");
    fail();
    return;
  }
  g_readBytes.clear();
  g_readError.clear();
  CJYXDataManager::SPIReadSink sink;
  if (!makeReadSink(output_, &sink)) {
    api->print("%s\n", g_readError.c_str());
    api->print("read spi fail\n");
    fail();
    return;
  }
  data->startGetSPIContent(readOffset_, readLength_, sink, [this](int p) {
    if (p < 0) {
      g_readFile.reset();  // removes the temporary file
      g_readBytes = std::vector<uint8_t>();
      if (!g_readError.empty()) CAPIManager::instance()->print("\n%s", g_readError.c_str());
      printSpiFailure("\nread spi fail\n", std::string());
    } else if (p <= 100) {
      progressBar("reading:", p);
    } else {
      readSpiDone();
    }
  });
}

void CQelConsoleJYX::readSpiDone() {
  CAPIManager* api = CAPIManager::instance();
  if (g_readFile) {
    bool committed = g_readFile->commit(&g_readError);
    g_readFile.reset();
    if (!committed) {
      api->print("\n%s", g_readError.c_str());
      api->print("\nread spi fail\n");
      fail();
      return;
    }
    api->print("\nread spi to file(%s) OK\n", output_.c_str());
  } else {
    printReadDump(readOffset_, readLength_);
  }
  finish();
}

void CQelConsoleJYX::runSpiRegisterOp() {
  CJYXDataManager* data = spiDataManager(this);
  auto done = [this](bool ok) {
    if (ok) {
      finish();
    } else {
      fail();
    }
  };
  if (spiRegisterOp_ == "spi-write-registers") {
    data->winbondWriteSPIRegisters(static_cast<uint32_t>(spiRegisterValue_), done);
  } else if (spiRegisterOp_ == "spi-read-registers") {
    data->winbondReadSPIRegisters([done](const uint8_t* bytes, int count) {
      bool ok = bytes != nullptr && count >= 3;
      if (ok) {
        CAPIManager::instance()->print("winbond read registers: 0x%.2x  0x%.2x  0x%.2x\n", bytes[0],
                                       bytes[1], bytes[2]);
      }
      done(ok);
    });
  } else if (spiRegisterOp_ == "spi-unlock") {
    data->winbondUnlockFlash(done);
  } else {
    finish();
  }
}

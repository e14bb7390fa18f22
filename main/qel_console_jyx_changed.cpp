// -i with --changed-only: flash only the sectors that differ from the image
// (jyx/spi_changed_only.h), then verify the whole image with the check flow
// of --checkspi. The run fails when either part fails.
#include <memory>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "jyx/device/data_manager.h"
#include "jyx/device/spi_changed_only.h"
#include "jyx/device/spi_image.h"
#include "main/qel_console_jyx.h"

namespace {

// Seconds the flash lines settle with the target before the controller takes
// them again, as in the other SPI flows.
constexpr double kSpiRestartDelay = 1.0;

// The flow of this run; it must outlive its callbacks, so it lives as long
// as the program.
CSPIChangedOnlyFlow* changedOnlyFlow() {
  static CSPIChangedOnlyFlow* flow = new CSPIChangedOnlyFlow(CJYXDataManager::instance());
  return flow;
}

}  // namespace

void CQelConsoleJYX::start_flash_changed_only() {
  CAPIManager* api = CAPIManager::instance();
  CJYXDataManager* data = CJYXDataManager::instance();
  auto image = std::make_shared<std::vector<uint8_t>>();
  uint32_t size = 0;
  std::string why;
  if (!spiLoadImage(image_, image.get(), &size, &why) || size == 0) {
    api->print("%s\n",
               size == 0 && why.empty() ? ("image " + image_ + " is empty").c_str() : why.c_str());
    api->print("flashing image(%s) fail\n", image_.c_str());
    fail();
    return;
  }
  image->resize(size);
  api->print("flash SPI data, changed sectors only ......\n");
  data->stopSPI([this, image]() {
    CAPIManager::instance()->startAsyncCall(
        [this, image]() {
          changedOnlyFlow()->start(
              std::move(*image), [](int p) { progressBar("flashing:", p); },
              [this](const CSPIChangedOnlyFlow::Result& r) {
                CAPIManager* api = CAPIManager::instance();
                if (!r.ok) {
                  for (const std::string& reason : r.reasons) api->print("\n%s", reason.c_str());
                  api->print("\nflashing image(%s) fail\n", image_.c_str());
                  fail();
                  return;
                }
                api->print("\nchanged-only: %u of %u sectors unchanged and skipped, %u written\n",
                           r.unchanged, r.sectors, r.written);
                // The result counts only once the whole image reads back
                // equal.
                start_check_spi();
              });
        },
        kSpiRestartDelay);
  });
}

// Helpers for unit tests of the controller managers: decoding the packets a
// manager wrote to a scripted channel, running one task synchronously, and a
// fixture owning a data manager over a scripted channel.
#ifndef JYX_TESTS_CONTROLLER_TEST_UTIL_H_
#define JYX_TESTS_CONTROLLER_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/api_manager.h"
#include "common/task_manager.h"
#include "jyx/jyx.h"
#include "jyx/protocol/package.h"
#include "test_util.h"

namespace jyxtest {

// One packet the manager wrote, decoded.
struct Sent {
  uint32_t frame;
  uint16_t cmd;
  uint16_t data;
  std::vector<uint8_t> payload;
};

inline Sent decode(const std::vector<uint8_t>& bytes) {
  CPackage p;
  p.append(bytes.data(), bytes.size());
  Sent s{p.frameNum(), p.cmdType(), p.dataType(), {}};
  if (p.payloadLength()) s.payload.assign(p.payload(), p.payload() + p.payloadLength());
  return s;
}

// Dispatches the task `name` with the JSON `args` to `manager` and returns
// the result text it holds right after dispatch; one pump then hands the
// finished task back to the pool.
inline std::string runTask(CTaskManager* manager, const std::string& name, const char* args) {
  APIDATA data;
  data.append(args, nullptr, 0);
  CTask* task = CAPIManager::instance()->createTask(0, name, &data, nullptr);
  manager->dispatchTask(task);
  std::string result = task->result()->text;
  CAPIManager::instance()->update();
  return result;
}

// A manager of type M (built on 127.0.0.1, never opened for real) over a
// FakeChannel, with the controller object wanting the link up.
template <typename M>
class ControllerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    CJYX::instance()->setWantConnected(true);
    // Keep the controller object's reconnection check away from real sockets.
    CJYX::instance()->setLastCheck(1e15);
    // The manager stamps its last activity with the pump's clock, which
    // stands wherever the tests before this one left it: pump once so that
    // it reads now, as it does in a running program.
    CAPIManager::instance()->update();
    dm = new M();
    fake = new FakeChannel(dm);
    dm->setChannel(fake);
  }
  void TearDown() override {
    delete dm;
    CJYX::instance()->setWantConnected(false);
  }
  Sent sent(size_t i) { return decode(fake->writeAt(i)); }

  M* dm = nullptr;
  FakeChannel* fake = nullptr;
};

}  // namespace jyxtest

#endif  // JYX_TESTS_CONTROLLER_TEST_UTIL_H_

// Drives jyx-sim's frame reader and controller with hostile input, without
// sockets. The input is a list of records: command byte, data type byte,
// time step in ms, payload length, payload. Length 255 means an 8-byte
// sector header from the input followed by 4096 bytes of the next input
// byte (a full sector write); command byte 0xEE feeds the payload to the
// reader raw instead of as a packet. Replies are decoded and checked again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/controller.h"

using namespace jyxsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static COpsLog* log = [] {
    COpsLog* l = new COpsLog;
    std::string e;
    l->open("/dev/null", &e);  // exercises every field decoder
    return l;
  }();
  std::string err;
  CSimFaults faults;
  faults.addOption("random", "drop=0.05,fail=0.05,corrupt=0.05,garbage=0.05", &err);
  CSimController::Config config;
  config.flash.sizeBytes = 4u << 20;  // two security-layout copies
  config.target.bootMs = 20;
  config.power.frameRate = 2000;
  CSimController controller(config, &faults, log);
  uint64_t now = 1000000;
  if (!controller.init(now, &err)) __builtin_trap();
  controller.onPacketClientConnected(now);

  CSimFrameReader in, out;
  SimFrame frame;
  uint32_t requests = 0, onLink = 0;
  size_t i = 0;
  auto pump = [&] {
    controller.tick(now);
    CSimController::Outgoing o;
    while (controller.takeDue(now, &o))
      out.feed(reinterpret_cast<const uint8_t*>(o.bytes.data()), o.bytes.size());
    SimFrame reply;
    while (out.next(&reply))
      if (reply.payload.size() + 20 > CSimFrameReader::kMaxPacket) __builtin_trap();
    std::string text;
    controller.takeLogText(&text);
  };
  while (i + 4 <= size) {
    uint8_t cmd = data[i], type = data[i + 1], stepMs = data[i + 2], len = data[i + 3];
    i += 4;
    std::string wire;
    size_t take = len == 255 ? 9 : len;
    if (take > size - i) take = size - i;
    if (cmd == 0xEE) {
      wire.assign(reinterpret_cast<const char*>(data + i), take);
    } else {
      SimFrame req;
      req.frame = ++requests;
      req.cmd = cmd < 0xF0 ? cmd % 9 : cmd;
      req.data = type < 0xF0 ? type % 10 : 255;
      req.payload.assign(data + i, data + i + (len == 255 && take > 8 ? 8 : take));
      if (len == 255) req.payload.resize(8 + 4096, take > 8 ? data[i + 8] : 0xFF);
      encodeFrame(req, &wire);
    }
    i += take;
    in.feed(reinterpret_cast<const uint8_t*>(wire.data()), wire.size());
    while (in.next(&frame)) controller.onRequest(frame, now, ++onLink);
    now += uint64_t(stepMs) * 1000;
    pump();
  }
  now += 2000000;
  pump();
  return 0;
}

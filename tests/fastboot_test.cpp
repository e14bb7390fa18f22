// End-to-end tests of the flash tool: the real jyx --flash-tool, placed in a
// temporary application directory beside an "fb/" directory whose
// `fastboot` runs Debian's fastboot client against jyx-sim's fastboot
// target (always with -s tcp:… and under timeout) and whose `bpttool` is a
// stand-in that builds the GPT image from the configuration with sgdisk.
// Both record their arguments, one JSON array per call. Addresses
// 127.0.15.x.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim_util.h"
#include "test_util.h"

namespace {

using jyxtest::has;
using jyxtest::inOrder;

// Runs Debian's client against the simulated target; ADDR is replaced.
const char kFastbootWrapper[] =
    "#!/usr/bin/python3\n"
    "import json, os, sys\n"
    "here = os.path.dirname(os.path.abspath(__file__))\n"
    "with open(os.path.join(here, 'fastboot_calls.jsonl'), 'a') as f:\n"
    "    f.write(json.dumps(sys.argv[1:]) + '\\n')\n"
    "os.execvp('timeout', ['timeout', '-k', '5', '60', 'fastboot', '-s', 'tcp:ADDR:5554']"
    " + sys.argv[1:])\n";

// bpttool make_table stand-in: one sgdisk partition per configured
// partition (A/B ones twice), on a scratch disk of settings.disk_size
// bytes; the GPT image is the disk's first 34 blocks (protective MBR,
// header, entries).
const char kBpttool[] =
    "#!/usr/bin/python3\n"
    "import json, os, subprocess, sys, tempfile\n"
    "here = os.path.dirname(os.path.abspath(__file__))\n"
    "with open(os.path.join(here, 'bpttool_calls.jsonl'), 'a') as f:\n"
    "    f.write(json.dumps(sys.argv[1:]) + '\\n')\n"
    "a = sys.argv[1:]\n"
    "if not a or a[0] != 'make_table':\n"
    "    sys.exit('bpttool: only make_table is supported')\n"
    "opt = {a[i]: a[i + 1] for i in range(1, len(a) - 1, 2)}\n"
    "if opt.get('--disk_vector_size') != '512':\n"
    "    sys.exit('bpttool: only 512-byte blocks are supported')\n"
    "cfg = json.load(open(opt['--input']))\n"
    "parts = []\n"
    "for p in cfg.get('partitions', []):\n"
    "    labels = [p['label'] + '_a', p['label'] + '_b'] if p.get('ab') else [p['label']]\n"
    "    parts += [(l, int(p['size'])) for l in labels]\n"
    "with tempfile.TemporaryDirectory() as d:\n"
    "    disk = os.path.join(d, 'disk')\n"
    "    with open(disk, 'wb') as f:\n"
    "        f.truncate(int(cfg['settings']['disk_size']))\n"
    "    cmd = ['sgdisk', '-o']\n"
    "    for i, (label, size) in enumerate(parts, 1):\n"
    "        cmd += ['-n', '%d:0:+%dK' % (i, size // 1024), '-c', '%d:%s' % (i, label)]\n"
    "    subprocess.run(cmd + [disk], check=True, stdout=subprocess.DEVNULL, timeout=30)\n"
    "    with open(disk, 'rb') as f:\n"
    "        table = f.read(34 * 512)\n"
    "with open(opt['--output_gpt'], 'wb') as f:\n"
    "    f.write(table)\n"
    "with open(opt['--output_json'], 'w') as f:\n"
    "    json.dump({'partitions': [{'label': l, 'size': s} for l, s in parts]}, f)\n"
    "print('bpttool: %d partitions' % len(parts))\n";

constexpr uint64_t kDiskBytes = 8u << 20;
// Debian's gdisk package; the test helpers run programs by path.
const char kSgdisk[] = "/usr/sbin/sgdisk";

std::string bytesOf(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
  return s;
}

bool writeExecutable(const std::string& path, const std::string& text) {
  return jyxtest::writeFile(path, text) && chmod(path.c_str(), 0755) == 0;
}

// Lines of a JSON-lines file, each kept as its text.
std::vector<std::string> lines(const std::string& path) {
  std::vector<std::string> out;
  std::string text = jyxtest::readFile(path), line;
  for (char c : text) {
    if (c == '\n') {
      out.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  return out;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class FlashToolTest : public ::testing::Test {
 protected:
  // Lays out app/jyx, app/fb/{fastboot,bpttool} and cfg/ for `address`.
  void layOut(const std::string& address) {
    address_ = address;
    app_ = dir_.file("app");
    cfg_ = dir_.file("cfg");
    ASSERT_EQ(0, mkdir(app_.c_str(), 0755));
    ASSERT_EQ(0, mkdir((app_ + "/fb").c_str(), 0755));
    ASSERT_EQ(0, mkdir(cfg_.c_str(), 0755));
    ASSERT_EQ(0, symlink(jyxtest::binPath("jyx").c_str(), (app_ + "/jyx").c_str()));
    std::string wrapper = kFastbootWrapper;
    wrapper.replace(wrapper.find("ADDR"), 4, address);
    ASSERT_TRUE(writeExecutable(app_ + "/fb/fastboot", wrapper));
    ASSERT_TRUE(writeExecutable(app_ + "/fb/bpttool", kBpttool));
  }

  void startSim(std::vector<std::string> extra) {
    extra.insert(extra.end(), {"--state", state(), "--nvme-size", "8M", "--boot-ms", "200"});
    ASSERT_TRUE(sim_.start(address_, extra)) << sim_.lastError();
  }

  // Runs app/jyx --flash-tool args with the working directory `cwd`.
  std::string flashTool(const std::vector<std::string>& args, const std::string& cwd = "",
                        int timeoutMs = 90000) {
    std::vector<std::string> argv = {"/bin/sh",
                                     "-c",
                                     "cd \"$1\" && shift && exec \"$@\"",
                                     "sh",
                                     cwd.empty() ? dir_.path() : cwd,
                                     app_ + "/jyx",
                                     "--flash-tool"};
    argv.insert(argv.end(), args.begin(), args.end());
    int code = -1;
    std::string err;
    std::string out = jyxtest::run(argv, &code, timeoutMs, &err);
    EXPECT_EQ(0, code) << out << err;
    return out + err;
  }

  std::string state() const { return dir_.file("state"); }
  std::string disk() const { return state() + "/nvme.img"; }
  std::vector<std::string> fastbootCalls() const {
    return lines(app_ + "/fb/fastboot_calls.jsonl");
  }
  std::vector<std::string> bpttoolCalls() const { return lines(app_ + "/fb/bpttool_calls.jsonl"); }

  // The fastboot commands the simulated target received, in order.
  std::vector<std::string> targetCommands() const {
    std::vector<std::string> out;
    for (const jyxtest::OpsRecord& r : sim_.ops()) {
      if (r.dir == "fastboot" && !r.str("cmd").empty()) out.push_back(r.str("cmd"));
    }
    return out;
  }

  // First sector and sector count of partition `number` (1-based) on the
  // simulated disk, from sgdisk -i.
  bool partitionExtent(int number, uint64_t* first, uint64_t* count) {
    std::string out = jyxtest::run({kSgdisk, "-i", std::to_string(number), disk()});
    size_t f = out.find("First sector: ");
    size_t s = out.find("Partition size: ");
    if (f == std::string::npos || s == std::string::npos) return false;
    *first = std::stoull(out.substr(f + 14));
    *count = std::stoull(out.substr(s + 16));
    return true;
  }

  std::string diskBytes(uint64_t offset, size_t n) {
    std::string data(n, '\0');
    FILE* f = fopen(disk().c_str(), "rb");
    if (f == nullptr) return "";
    bool ok = fseek(f, long(offset), SEEK_SET) == 0 && fread(&data[0], 1, n, f) == n;
    fclose(f);
    return ok ? data : "";
  }

  jyxtest::ScopedTempDir dir_;
  jyxtest::SimProcess sim_;
  std::string address_, app_, cfg_;
};

TEST_F(FlashToolTest, FlashAllProgramsNorResetsAndFillsEveryPartition) {
  layOut("127.0.15.1");
  // The target sits in fastboot mode (POWER_BTN2 strapped low), so the
  // reset of the plan brings it back there.
  startSim({"--target-state", "fastboot"});
  const std::string loader = bytesOf(65536 + 1000, 1);
  struct Part {
    const char* label;
    bool ab;
    bool erase;
    size_t size;
    size_t image;  // 0: no image
  };
  const std::vector<Part> parts = {{"kernel", true, true, 262144, 200000},
                                   {"system", false, true, 1048576, 700001},
                                   {"userdata", false, true, 1048576, 0},
                                   {"vendor", false, false, 524288, 524288}};
  std::string config =
      "{\"settings\":{\"platform\":\"android\",\"disk_size\":" + std::to_string(kDiskBytes) +
      "},\"commands\":[{\"title\":\"devices\",\"cmd\":\"devices\"}],"
      "\"flash_nor\":{\"label\":\"bootloader\",\"name\":\"loader.bin\"},"
      "\"gpt\":{\"label\":\"gpt\",\"name\":\"gpt.img\"},\"partitions\":[";
  for (size_t i = 0; i < parts.size(); ++i) {
    const Part& p = parts[i];
    config += std::string(i ? "," : "") + "{\"label\":\"" + p.label +
              "\",\"size\":" + std::to_string(p.size) + (p.ab ? ",\"ab\":true" : "") +
              (p.erase ? ",\"erase\":false" : "");
    if (p.image) {
      config += std::string(",\"name\":\"") + p.label + ".img\"";
      ASSERT_TRUE(
          jyxtest::writeFile(cfg_ + "/" + p.label + ".img", bytesOf(p.image, unsigned(i + 2))));
    }
    config += "}";
  }
  config += "]}";
  ASSERT_TRUE(jyxtest::writeFile(cfg_ + "/config.json", config));
  ASSERT_TRUE(jyxtest::writeFile(cfg_ + "/loader.bin", loader));

  std::string out = flashTool({"-a", "-f", cfg_ + "/config.json", "--ip", address_});

  EXPECT_TRUE(inOrder(out, {"GPT platform: android\n", "JYX ip address: " + address_ + "\n",
                            "\nflashing image(" + cfg_ + "/loader.bin) OK\n", "reboot ...\n",
                            "reboot again...\n"}));
  EXPECT_FALSE(has(out, "FAIL"));

  // Exactly the plan's commands, in its order ("erase" present but false
  // still erases; userdata has no image and is not flashed).
  const std::vector<std::string> expected = {
      "getvar:backdoor", "getvar:block-size", "flash:gpt",      "erase:kernel_a",
      "erase:kernel_b",  "erase:system",      "erase:userdata", "flash:kernel_a",
      "flash:kernel_b",  "flash:system",      "flash:vendor",   "oem qelboot"};
  std::vector<std::string> got;
  for (const std::string& c : targetCommands()) {
    if (c.compare(0, 7, "getvar:") == 0 && c != "getvar:backdoor" && c != "getvar:block-size") {
      continue;  // the client's own queries (max-download-size, has-slot:…)
    }
    if (c.compare(0, 9, "download:") == 0) continue;
    got.push_back(c);
  }
  EXPECT_EQ(expected, got);
  ASSERT_EQ(1u, bpttoolCalls().size());
  EXPECT_EQ("[\"make_table\", \"--input\", \"" + cfg_ + "/config.json\", \"--output_gpt\", \"" +
                cfg_ + "/gpt.img\", \"--output_json\", \"" + cfg_ +
                "/gpt.bpt\", \"--disk_vector_size\", \"512\"]",
            bpttoolCalls()[0]);

  // The disk is a valid GPT disk and every partition holds its image.
  std::string verify = jyxtest::run({kSgdisk, "-v", disk()});
  EXPECT_TRUE(has(verify, "No problems found"));
  int number = 1;
  for (size_t i = 0; i < parts.size(); ++i) {
    for (int copy = 0; copy < (parts[i].ab ? 2 : 1); ++copy, ++number) {
      uint64_t first = 0, count = 0;
      ASSERT_TRUE(partitionExtent(number, &first, &count)) << number;
      EXPECT_EQ(parts[i].size / 512, count) << parts[i].label;
      std::string content = diskBytes(first * 512, parts[i].size);
      std::string image = parts[i].image ? bytesOf(parts[i].image, unsigned(i + 2)) : "";
      EXPECT_TRUE(content.compare(0, image.size(), image) == 0) << parts[i].label << copy;
      if (parts[i].erase) {
        EXPECT_EQ(std::string(parts[i].size - image.size(), '\0'), content.substr(image.size()))
            << parts[i].label << copy;
      }
    }
  }
  // The boot loader is in the simulated SPI flash.
  EXPECT_EQ(loader, jyxtest::readFile(state() + "/spi_flash.bin").substr(0, loader.size()));
  // Reset into fastboot mode, then "oem qelboot" booted the target normally.
  ASSERT_TRUE(sim_.waitForOp(
      [](const jyxtest::OpsRecord& r) {
        return r.dir == "event" && r.str("event") == "target_state" && r.str("to") == "running";
      },
      5000));
  std::vector<std::string> states;
  for (const jyxtest::OpsRecord& r : sim_.ops()) {
    if (r.dir == "event" && r.str("event") == "target_state") states.push_back(r.str("to"));
  }
  EXPECT_EQ((std::vector<std::string>{"booting", "fastboot", "booting", "running"}), states);
}

TEST_F(FlashToolTest, NoOptionsQueriesAndOneCommand) {
  layOut("127.0.15.2");
  EXPECT_EQ("flashNor - no config.\n", flashTool({}));
  EXPECT_TRUE(fastbootCalls().empty());
  struct Case {
    std::vector<std::string> simArgs;
    std::vector<std::string> args;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, {"-s"}, "the block size is: 512\n"},
      {{"--nvme-block", "4096"}, {"-s", "-a"}, "the block size is: 4096\n"},
      {{}, {"-o"}, "backdoor mode: nvme\n"},
      {{"--ddr", "1"}, {"-o"}, "backdoor mode: ddr\n"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].expected);
    std::vector<std::string> simArgs = cases[i].simArgs;
    simArgs.insert(simArgs.end(), {"--target-state", "fastboot"});
    ASSERT_TRUE(sim_.start(address_, simArgs)) << sim_.lastError();
    std::string out = flashTool(cases[i].args);
    EXPECT_TRUE(has(out, cases[i].expected));
    // A query is one fastboot call and starts no plan.
    EXPECT_EQ(i + 1, fastbootCalls().size()) << out;
    EXPECT_FALSE(has(out, "flashNor"));
  }
  // -c runs that command only (on the last, --ddr 1, target).
  std::string out = flashTool({"-c", "getvar backdoor"});
  EXPECT_TRUE(inOrder(out, {"getvar backdoor\n", "backdoor: yes\n"}));
  EXPECT_FALSE(has(out, "backdoor mode"));
  EXPECT_EQ(5u, fastbootCalls().size());
  EXPECT_EQ("[\"getvar\", \"backdoor\"]", fastbootCalls().back());
  EXPECT_EQ((std::vector<std::string>{"getvar:backdoor", "getvar:backdoor"}), targetCommands());
}

TEST_F(FlashToolTest, DumpPrintsOnePartitionOfAnSgdiskImage) {
  layOut("127.0.15.4");
  std::string image = dir_.file("disk.img");
  {
    std::ofstream f(image);
    f.seekp(long(kDiskBytes) - 1);
    f.put('\0');
  }
  jyxtest::run({kSgdisk, "-o", "-n", "1:2048:+1M", "-c", "1:boot", "-n", "2:0:+2M", "-c",
                "2:rootfs", image});
  std::string out = flashTool({"-d", image, "-p", "rootfs"});
  // rootfs: sectors 4096..8191, 2 MiB.
  EXPECT_EQ("4096 8191 2047KiB rootfs[0x1000, 0x1fff]\n", out);

  out = flashTool({"-d", image});
  EXPECT_EQ(0u, out.find("\n------ dump gpt (" + image +
                         ")------\nLBA0, partition type: 0xee\n"
                         "LBA1, partition count : 128, partition size: 128\n"))
      << out;
  EXPECT_TRUE(has(out,
                  "PARTITION0, LBA[0x800] - LBA[0xfff], total size 1023KiB\n"
                  "PARTITION0, name: boot\n"));
  EXPECT_TRUE(has(out, "PARTITION1, name: rootfs\n------ dump gpt end ------\n"));
}

TEST_F(FlashToolTest, ConfigTextNeverRunsAsShellCommands) {
  layOut("127.0.15.5");
  startSim({"--target-state", "fastboot"});
  // A quote, a semicolon, a command substitution and a newline, in the
  // label and in the image path; run from `work`, where an injected
  // "touch" would leave its file.
  const std::string label = "x'y;z$(touch PWNED)\n";
  const std::string imageName = "i'm;$(touch PWNED2)\n.img";
  const std::string work = dir_.file("work");
  ASSERT_EQ(0, mkdir(work.c_str(), 0755));
  const std::string image = bytesOf(100000, 9);
  ASSERT_TRUE(jyxtest::writeFile(cfg_ + "/" + imageName, image));
  std::string config =
      "{\"settings\":{\"disk_size\":" + std::to_string(kDiskBytes) +
      "},\"flash_nor\":{\"label\":\"bootloader\",\"name\":\"loader.bin\"},"
      "\"gpt\":{\"label\":\"gpt\"},\"partitions\":[{\"label\":\"x'y;z$(touch PWNED)\\n\","
      "\"name\":\"i'm;$(touch PWNED2)\\n.img\",\"size\":262144,\"erase\":true}]}";
  ASSERT_TRUE(jyxtest::writeFile(cfg_ + "/config.json", config));

  std::string out = flashTool({"-n", "-f", cfg_ + "/config.json"}, work);

  // The client got each text as one argument, unchanged.
  const std::string labelJson = "x'y;z$(touch PWNED)\\n";
  const std::string pathJson = cfg_ + "/i'm;$(touch PWNED2)\\n.img";
  EXPECT_EQ(
      (std::vector<std::string>{
          "[\"getvar\", \"backdoor\"]", "[\"getvar\", \"block-size\"]",
          "[\"flash\", \"gpt\", \"" + cfg_ + "/gpt.img\"]", "[\"erase\", \"" + labelJson + "\"]",
          "[\"flash\", \"" + labelJson + "\", \"" + pathJson + "\"]", "[\"oem\", \"qelboot\"]"}),
      fastbootCalls())
      << out;
  EXPECT_EQ(1u, bpttoolCalls().size());
  std::vector<std::string> got;
  for (const std::string& c : targetCommands()) {
    if (c.compare(0, 6, "flash:") == 0 || c.compare(0, 6, "erase:") == 0 || c == "oem qelboot") {
      got.push_back(c);
    }
  }
  EXPECT_EQ(
      (std::vector<std::string>{"flash:gpt", "erase:" + label, "flash:" + label, "oem qelboot"}),
      got);
  // Nothing else ran: no file appeared anywhere a substitution could have
  // made one, and the partition holds the image.
  for (const std::string& d : {work, dir_.path(), cfg_, app_, app_ + "/fb"}) {
    EXPECT_FALSE(exists(d + "/PWNED")) << d;
    EXPECT_FALSE(exists(d + "/PWNED2")) << d;
  }
  uint64_t first = 0, count = 0;
  ASSERT_TRUE(partitionExtent(1, &first, &count));
  EXPECT_EQ(image, diskBytes(first * 512, image.size()));
}

}  // namespace

#include "main/qel_console_jyx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/api_manager.h"
#include "common/number_text.h"
#include "jyx/jyx.h"
#include "jyx/maintenance/serial_manager.h"

namespace {

// Builds a console from words (program name added) and captures what the
// parse printed. The process-wide flags are reset for the next test.
class ConsoleParse {
 public:
  explicit ConsoleParse(std::vector<std::string> words) : words_(std::move(words)) {
    words_.insert(words_.begin(), "jyx");
    for (auto& w : words_) argv_.push_back(&w[0]);
    argv_.push_back(nullptr);
    CJYX::instance()->setFinished(false);
    g_keepRunning = false;
    testing::internal::CaptureStdout();
    console_ = std::make_unique<CQelConsoleJYX>(static_cast<int>(words_.size()), argv_.data());
    out_ = testing::internal::GetCapturedStdout();
    finished_ = CJYX::instance()->isFinished();
    keepRunning_ = g_keepRunning;
    CJYX::instance()->setFinished(false);
    g_keepRunning = false;
  }
  CQelConsoleJYX* operator->() { return console_.get(); }
  const std::string& out() const { return out_; }
  bool finished() const { return finished_; }
  bool keepRunning() const { return keepRunning_; }

  // Runs run() and returns its output; flags reset afterwards.
  std::string run() {
    testing::internal::CaptureStdout();
    console_->run();
    std::string out = testing::internal::GetCapturedStdout();
    finished_ = CJYX::instance()->isFinished();
    CJYX::instance()->setFinished(false);
    g_keepRunning = false;
    return out;
  }

 private:
  std::vector<std::string> words_;
  std::vector<char*> argv_;
  std::unique_ptr<CQelConsoleJYX> console_;
  std::string out_;
  bool finished_ = false;
  bool keepRunning_ = false;
};

std::string helpText() { return ConsoleParse({"-h"}).out(); }

}  // namespace

TEST(ConsoleRulesTest, NumberRules) {
  // A: "0x" hex or signed decimal; B: unsigned, either prefix, leading digits;
  // C: leading decimal digits only.
  auto A = CQelConsoleJYX::ruleA, B = CQelConsoleJYX::ruleB, C = CQelConsoleJYX::ruleC;
  const struct {
    int32_t (*rule)(const char*);
    const char* text;
    int expected;
  } cases[] = {
      {A, "0x600000", 6291456},
      {A, "100", 100},
      {A, "-5", -5},
      {A, "0X10", 0},
      {A, "abc", 0},
      {A, "0xffffffff", -1},
      {B, "0xffffffff", -1},
      {B, "-1", 0},
      {B, "0XfF", 255},
      {B, "12abc", 12},
      {B, "0x", 0},
      {C, "12x", 12},
      {C, "x", 0},
      {C, "0x10", 0},
      {C, "-3", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.rule(c.text)) << c.text;
  EXPECT_EQ(0u, parseNumberText(nullptr));
  EXPECT_EQ(0x1fu, parseNumberText("0x1fz"));
}

TEST(ConsoleRulesTest, RailMaskIsLittleEndianHexOredIntoOne) {
  const struct {
    const char* text;
    std::vector<uint32_t> words;
  } cases[] = {
      {"0x6", {7, 0, 0}},
      {"0x123456789abcdef012345678", {0x12345679, 0x9abcdef0, 0x12345678}},  // bit 0 stays set
      {"0x100000000", {1, 1, 0}},                                            // rail 32
      {"0xzz10", {0x11, 0, 0}},                     // digits up to the first non-hex from the end
      {"0xf0000000000000000000000000", {1, 0, 0}},  // beyond 96 bits: dropped
      {"0x", {1, 0, 0}},
  };
  for (const auto& c : cases) {
    uint32_t mask[3] = {0xdead, 0xdead, 0xdead};
    CQelConsoleJYX::parseRailMask(c.text, mask);
    EXPECT_EQ(c.words, std::vector<uint32_t>(mask, mask + 3)) << c.text;
  }
}

TEST(ConsoleOptionsTest, VersionEndsTheParseEitherWay) {
  ConsoleParse first({"-v", "-i", "img"});
  EXPECT_EQ("v.2025.08.11\n", first.out());
  EXPECT_EQ("", first->image());
  EXPECT_TRUE(first->done());
  EXPECT_TRUE(first.finished());
  ConsoleParse second({"-i", "img", "--version"});
  EXPECT_EQ("v.2025.08.11\n", second.out());
  EXPECT_EQ("img", second->image());
  EXPECT_EQ("", second.run());  // done: nothing is flashed
}

TEST(ConsoleOptionsTest, HelpAndUnlistedOptions) {
  std::string help = helpText();
  ASSERT_EQ(
      0u,
      help.find("    v.2025.08.11\n\x1b[1;33m    --jyx <options ... >\x1b[m\n\n    options:\n"));
  // Options are padded to column 40.
  EXPECT_NE(std::string::npos,
            help.find("\n        -v, --version                   show the version information\n"));
  EXPECT_NE(std::string::npos, help.find("        -d, --duraiton"));
  EXPECT_NE(std::string::npos, help.find("72: PWR_BTN"));
  // The GPIO options' descriptions stand alone; their tables follow as sub-lines.
  EXPECT_NE(std::string::npos,
            help.find("\n        -N, --setio" + std::string(21, ' ') + "set gpio level\n"));
  // -m takes the power configuration file; the rails file comes with -p.
  EXPECT_NE(std::string::npos, help.find("jyx -m <config file> -p <rails file> -a <ip address>\n"));
  EXPECT_NE(std::string::npos, help.find("\x1b[0;32;32m            jyx -c 02"));
  ConsoleParse unlisted({"-q", "-a", "x"});
  EXPECT_TRUE(unlisted.finished());
  EXPECT_EQ("", unlisted->address());           // the parse ended at -q
  EXPECT_EQ(help, ConsoleParse({"-a"}).out());  // missing argument
  EXPECT_EQ(help, ConsoleParse({"--nonsense"}).out());
}

TEST(ConsoleOptionsTest, MonitorMaskOrConfigPath) {
  ConsoleParse mask({"-m", "0x6"});
  EXPECT_TRUE(mask->monitor());
  EXPECT_TRUE(mask.keepRunning());
  EXPECT_TRUE(mask->monitorMaskSet());
  EXPECT_EQ(7u, mask->monitorMask()[0]);
  ConsoleParse file({"--monitor", "rails.yaml"});
  EXPECT_FALSE(file->monitorMaskSet());
  EXPECT_EQ("rails.yaml", file->monitorConfig());
  // The later -m wins either way.
  ConsoleParse maskThenFile({"-m", "0x6", "-m", "config.yaml"});
  EXPECT_FALSE(maskThenFile->monitorMaskSet());
  EXPECT_EQ("config.yaml", maskThenFile->monitorConfig());
  EXPECT_TRUE(ConsoleParse({"-m", "config.yaml", "-m", "0x6"})->monitorMaskSet());
}

TEST(ConsoleOptionsTest, NumbersAndLaterOptionsWin) {
  ConsoleParse p({"--getio", "22",   "-0", "0x600000",   "-a", "first", "--ip", "second",
                  "-d",      "10",   "-X", "0xffffffff", "-r", "0x10",  "-w",   "0x3",
                  "-N",      "0x48", "-E", "0x1000",     "-F", "32",    "-5",   "3"});
  EXPECT_EQ(22, p->getIo());
  EXPECT_EQ(6291456, p->readLength());
  EXPECT_EQ("second", p->address());
  EXPECT_EQ(10, p->duration());
  EXPECT_EQ(-1, p->switchUart());
  EXPECT_TRUE(p->readSpi());
  EXPECT_EQ(16, p->readOffset());
  EXPECT_EQ("spi-write-registers", p->spiRegisterOp());
  EXPECT_EQ(3, p->spiRegisterValue());
  EXPECT_EQ(72, p->setIo());
  EXPECT_EQ(0x1000, p->espOffset());
  EXPECT_EQ(32, p->binaryWidth());
  EXPECT_EQ(3, p->retryLimit());
  ConsoleParse len({"--len", "100", "-y"});
  EXPECT_EQ(100, len->readLength());
  EXPECT_EQ("spi-read-registers", len->spiRegisterOp());
}

TEST(ConsoleOptionsTest, PowerActions) {
  const char* options[] = {"--power-on",     "--power-off",      "--power-reset",
                           "--power-wakeup", "--enter-fastboot", "--exit-fastboot"};
  for (int i = 0; i < 6; ++i) {
    ConsoleParse p({options[i]});
    EXPECT_EQ(i + 1, p->powerAction()) << options[i];
  }
  EXPECT_EQ(6, ConsoleParse({"-U", "-K"})->powerAction());
}

// The FTDI actions and the serial flows against a bridge that is not there
// (a simulated-bridge socket that does not exist): every call fails the same
// way on any host.
class NoBridge {
 public:
  NoBridge() { setenv("JYX_FTDI_SIM", "/nonexistent/jyx-ftdi.sock", 1); }
  ~NoBridge() { unsetenv("JYX_FTDI_SIM"); }
};

const char kOpenFailed[] =
    "FT_Open(0) failed, with error 3.\n"
    "Use lsmod to check if ftdi_sio (and usbserial) are present.\n"
    "If so, unload them using rmmod, as they conflict with ftd2xx.\n";

TEST(ConsoleOptionsTest, FtdiActionsEndTheParse) {
  NoBridge noBridge;
  const std::pair<const char*, std::string> cases[] = {
      {"-7", std::string("enableJYXFlash port: 0\n") + kOpenFailed},
      {"-S", std::string("enableJYXFlash port: 0\n") + kOpenFailed},
      {"--enable-update-firmware", std::string("enableJYXFlash port: 0\n") + kOpenFailed},
      {"-6", kOpenFailed},
      {"-T",
       "enableScan step 1, port B: 0 to value: 0x97\nFT_Open(0) failed, with error 3.\n"
       "enableJTAG fail.\n"},
      {"-R",
       "enableScan step 1, port B: 0 to value: 0xd7\nFT_Open(0) failed, with error 3.\n"
       "enableScan fail.\n"},
      {"-Q", std::string("enableJTAG step 1, port D: 0, enable IO: jyx 25\n") + kOpenFailed +
                 "open the serial(0) fail\n"},
  };
  for (const auto& c : cases) {
    ConsoleParse p({"-x", c.first, "-a", "addr"});
    EXPECT_EQ(c.second, p.out()) << c.first;
    EXPECT_TRUE(p->done());
    EXPECT_TRUE(p.finished());
    EXPECT_FALSE(p.keepRunning());
    EXPECT_EQ("", p->address());
  }
  CJYXSerialManager::instance()->setSlave(false);
}

TEST(ConsoleRunTest, ChoosesTheFlowByOptions) {
  NoBridge noBridge;
  ConsoleParse list({"-l", "-a", "x"});
  EXPECT_EQ("Device List: \n", list.run());
  EXPECT_TRUE(list.finished());

  // With --exit-code a refused set of options is status 2 and a failed
  // flow status 1; without it both are 0.
  ConsoleParse neither({"--exit-code", "-u", ""});
  EXPECT_EQ("one of ip and com must exist\n" + helpText(), neither.run());
  EXPECT_EQ(2, neither->exitStatus());

  ConsoleParse serial({"--exit-code", "-c", "00"});
  EXPECT_EQ(0, serial->exitStatus());
  EXPECT_EQ(std::string(kOpenFailed) + "open the serial fail\n", serial.run());
  EXPECT_TRUE(serial.finished());
  EXPECT_EQ(CQelConsoleJYX::Outcome::kFailed, serial->outcome());
  EXPECT_EQ(1, serial->exitStatus());
  ConsoleParse noAddress({"-i", "img"});  // the address would come over the serial line
  EXPECT_EQ(std::string(kOpenFailed) + "open the serial fail\n", noAddress.run());
  EXPECT_EQ(0, noAddress->exitStatus());

  ConsoleParse firmware({"-C", "main.bin"});
  EXPECT_EQ(std::string("start flash the main firmware.\nenableJYXFlash port: 0\n") + kOpenFailed +
                "enable JYX flash fail.\n\nFlash main mcu firmware(main.bin) fail\n",
            firmware.run());
  EXPECT_TRUE(firmware.finished());
  CJYXSerialManager::instance()->setMainFirmwareFile("");
}

TEST(ConsoleProgressTest, ExactBytes) {
  const struct {
    int percent;
    std::string bar;
  } cases[] = {{0, std::string(50, ' ') + "] (0%)"},
               {1, std::string(50, ' ') + "] (1%)"},
               {51, std::string(25, '=') + std::string(25, ' ') + "] (51%)"},
               {100, std::string(50, '=') + "] (100%)"}};
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    CQelConsole::progressBar("flashing:", c.percent);
    EXPECT_EQ("\r\x1b[?25lflashing: [" + c.bar + "\x1b[?25h",
              testing::internal::GetCapturedStdout());
  }
}

TEST(ConsoleRulesTest, OptionNumbersAreWholeUnsignedAndBounded) {
  const struct {
    const char* text;
    uint64_t max;
    bool ok;
    uint64_t value;
  } cases[] = {
      {"0", 10, true, 0},
      {"10", 10, true, 10},
      {"11", 10, false, 0},
      {"0x1f", 100, true, 31},
      {"0X1F", 100, true, 31},
      {"0xffffffff", 0xffffffffull, true, 0xffffffffull},
      {"0x100000000", 0xffffffffull, false, 0},
      {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, false, 0},  // would wrap to 0
      {"99999999999", 0xffffffffull, false, 0},        // would wrap in 32 bits
      {"", 10, false, 0},
      {"0x", 10, false, 0},
      {"-1", 10, false, 0},
      {"+1", 10, false, 0},
      {" 1", 10, false, 0},
      {"1 ", 10, false, 0},
      {"3x", 10, false, 0},
      {"zz", 10, false, 0},
      {"0xg", 10, false, 0},
  };
  for (const auto& c : cases) {
    uint64_t value = 12345;
    EXPECT_EQ(c.ok, CQelConsoleJYX::parseOptionNumber(c.text, c.max, &value)) << c.text;
    if (c.ok) {
      EXPECT_EQ(c.value, value) << c.text;
    }
  }
  uint64_t value = 0;
  EXPECT_FALSE(CQelConsoleJYX::parseOptionNumber(nullptr, 10, &value));
}

// Every value that used to wrap, map to 0 or mean "do nothing" is refused
// with one line naming the option before anything is sent, and counts as a
// refused option (status 2 with --exit-code, 0 without).
TEST(ConsoleOptionsTest, CheckedOptionsRefuseBadValues) {
  // The message names the option by its long name and quotes the text.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"-N", "65602"}, "--setio 65602: "},  // wrapped to GPIO 66 (SPI_PRG_EN)
      {{"--setio", "6"}, "--setio 6: "},
      {{"--setio", "14"}, "--setio 14: "},  // an input
      {{"-M", "99"}, "--getio 99: "},
      {{"-M", "0"}, "--getio 0: "},
      {{"-X", "zz"}, "--switch-uart zz: "},  // mapped to UART 0
      {{"-X", "4"}, "--switch-uart 4: "},
      {{"-X", "-1"}, "--switch-uart -1: "},
      {{"--retry", "0"}, "--retry 0: "},  // failed without trying
      {{"--retry", "101"}, "--retry 101: "},
      {{"-5", "3x"}, "--retry 3x: "},
      {{"--len", "99999999999"}, "--len 99999999999: "},  // wrapped
      {{"--len", "0x7fffffff"}, "--len 0x7fffffff: "},    // allocated 2 GiB up front
      {{"-0", "-5"}, "--len -5: "},
      {{"-r", "0x1ffffffff"}, "-r 0x1ffffffff: "},
      {{"-r", "zz"}, "-r zz: "},
      {{"-w", "0x08000000"}, "--write-spi-register 0x08000000: "},  // mask bit 3: no register
      {{"-w", "0xzz"}, "--write-spi-register 0xzz: "},
      {{"-r", "0xffffff00", "--len", "0x200"}, "-r 0xffffff00 + 512: "},  // beyond 4 GiB
  };
  for (const auto& entry : refused) {
    const std::vector<std::string>& words = entry.first;
    std::string name = words[0] + " " + words[1];
    for (bool exitCode : {false, true}) {
      std::vector<std::string> argv = words;
      if (exitCode) argv.push_back("--exit-code");
      ConsoleParse p(argv);
      EXPECT_TRUE(p.finished()) << name;
      EXPECT_TRUE(p->done()) << name;
      EXPECT_EQ(CQelConsoleJYX::Outcome::kRefused, p->outcome()) << name;
      EXPECT_EQ(exitCode ? 2 : 0, p->exitStatus()) << name;
      // One line that names the option and the refused text.
      EXPECT_EQ(0u, p.out().find(entry.second)) << p.out();
      EXPECT_EQ(1u, static_cast<size_t>(std::count(p.out().begin(), p.out().end(), '\n')))
          << p.out();
      EXPECT_EQ(-1, p->setIo()) << name;
      EXPECT_EQ(-1, p->getIo()) << name;
      EXPECT_EQ("", p.run()) << name;  // done: nothing runs
    }
  }
  // --exit-code is honoured even after the option that was refused.
  ConsoleParse late({"--exit-code", "-N", "1"});
  EXPECT_EQ(2, late->exitStatus());
}

TEST(ConsoleOptionsTest, CheckedOptionsAcceptTheirWholeRange) {
  EXPECT_EQ(64, ConsoleParse({"-N", "64"})->setIo());
  EXPECT_EQ(79, ConsoleParse({"-N", "0x4f"})->setIo());
  EXPECT_EQ(14, ConsoleParse({"-M", "14"})->getIo());
  EXPECT_EQ(79, ConsoleParse({"-M", "79"})->getIo());
  EXPECT_EQ(3, ConsoleParse({"-X", "3"})->switchUart());
  EXPECT_EQ(0, ConsoleParse({"-X", "0"})->switchUart());
  EXPECT_EQ(1, ConsoleParse({"--retry", "1"})->retryLimit());
  EXPECT_EQ(100, ConsoleParse({"--retry", "100"})->retryLimit());
  EXPECT_EQ(0xffff000, ConsoleParse({"--len", "0xffff000"})->readLength());
  EXPECT_EQ(0, ConsoleParse({"--len", "0"})->readLength());  // the read flow refuses it
  ConsoleParse top({"-r", "0xfffff000", "--len", "0x1000"});
  EXPECT_EQ(CQelConsoleJYX::Outcome::kOk, top->outcome());
  EXPECT_EQ(static_cast<int32_t>(0xfffff000u), top->readOffset());
  EXPECT_EQ(0x07010203, ConsoleParse({"-w", "0x07010203"})->spiRegisterValue());
}

TEST(ConsoleOptionsTest, ExitCodeTellsHelpFailureAndRefusalApart) {
  ConsoleParse help({"--exit-code", "-h"});
  EXPECT_EQ(0, help->exitStatus());
  EXPECT_NE(std::string::npos, help.out().find("--exit-code"));
  ConsoleParse unknown({"--exit-code", "--nonsense"});
  EXPECT_EQ(2, unknown->exitStatus());
  EXPECT_EQ(0, ConsoleParse({"--nonsense"})->exitStatus());
  // A failed flow and a refused run: ConsoleRunTest.ChoosesTheFlowByOptions.
}

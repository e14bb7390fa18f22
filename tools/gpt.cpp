// CGPT: the options, the choice of operation, the table read from and
// saved to the disk, and the small table edits (dump, fix, new, update,
// enable-new-size). Layout changes live in gpt_layout.cpp, image files in
// gpt_images.cpp.
#include "tools/gpt.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/file_util.h"
#include "common/string_format.h"
#include "tools/block_mover.h"

using jyx::stringFormat;
using namespace gpt;

namespace {

const char* const kUsage =
    "    qel-gpt <options ... >\n"
    "        -h, --help                      show this help\n"
    "        -f <file or device>             the GPT image file or block device\n"
    "        -s <block size>                 logical block size, a multiple of 512 (512)\n"
    "        -b <name>                       name of the boot partition (boot)\n"
    "        -r <name>                       name of the root partition (root)\n"
    "        --dump [name]                   show the table, or one partition\n"
    "        --fix                           move the backup table to the end of the disk\n"
    "        --new-<part> <GiB>              append a basic data partition\n"
    "        --expand-<part> <GiB or auto>   grow a partition and pack the others\n"
    "        --swap <GiB>                    insert (or, with 0, remove) the swap partition\n"
    "        -a <GiB>                        grow root and size the disk to fit\n"
    "        -w <GiB>                        set the swap size and size the disk to fit\n"
    "        -e                              resize the root filesystem to its partition\n"
    "        --extract <dir>                 save the table and every partition into <dir>\n"
    "        --extract-<part> <dir>          save one partition (gpt: the table) into <dir>\n"
    "        --create                        make a disk from the image records below\n"
    "        --image-file <file>             start an image record\n"
    "        --image-name <name>             name of the last image record\n"
    "        --image-type-uuid <guid>        type GUID of the last image record\n"
    "        --image-uuid <guid>             unique GUID of the last image record\n"
    "        --update                        apply the renames and new GUIDs below\n"
    "        --name-<old> <new>              rename a partition\n"
    "        --uuid-<old>                    give a partition a new unique GUID\n"
    "        --edit <name>                   accepted; does nothing\n";

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// A whole decimal number, optionally negative, of at most 12 digits.
bool parseNumber(const std::string& text, int64_t* value) {
  size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
  if (i == text.size() || text.size() - i > 12) return false;
  int64_t v = 0;
  for (size_t k = i; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
    v = v * 10 + (text[k] - '0');
  }
  *value = i ? -v : v;
  return true;
}

// The leading decimal digits of a command's answer; none gives 0.
uint64_t leadingNumber(const std::string& text) {
  uint64_t v = 0;
  for (size_t i = 0; i < text.size() && i < 19 && text[i] >= '0' && text[i] <= '9'; ++i)
    v = v * 10 + uint64_t(text[i] - '0');
  return v;
}

}  // namespace

CGPT::CGPT(int argc, char** argv) {
  if (splitArguments(argc, argv)) runMode();
}

CGPT::~CGPT() = default;

bool CGPT::fail() {
  failed_ = true;
  return false;
}

bool CGPT::stopWith(const char* format, const std::string& text) {
  print(format, text.c_str());
  stop_ = true;
  failed_ = true;
  return false;
}

bool CGPT::onArgument(const std::string& key, const std::string& value) {
  if (key == "-h" || key == "--help") {
    print("%s", kUsage);
    stop_ = true;
    return false;
  }
  bool accepted = true;
  if (takeNumberOption(key, value, &accepted) || takeModeOption(key, value) ||
      takeTextOption(key, value))
    return accepted;
  return stopWith("invalid param: %s\n", key.empty() ? value : key);
}

bool CGPT::takeNumberOption(const std::string& key, const std::string& value, bool* accepted) {
  int64_t n = 0;
  auto refuse = [&](const char* format) {
    *accepted = stopWith(format, value);
    return true;
  };
  if (key == "-s") {
    if (!parseNumber(value, &n) || n < 0) return refuse("blocksize(%s) is invalid.\n");
    if (n < kMinBlockSize) n = kMinBlockSize;
    if (n % 512 != 0 || n > kMaxBlockSize) return refuse("blocksize(%s) is invalid.\n");
    blockSize_ = uint32_t(n);
  } else if (key == "-a") {
    if (!parseNumber(value, &n) || n < 0 || n > 5120)
      return refuse("add root size(%s) is invalid.\n");
    addRootSizeGiB_ = int(n);
    mode_ = "apply";
  } else if (key == "-w" || key == "--swap") {
    if (!parseNumber(value, &n) || n < 0 || n > 256)
      return refuse("set swap size(%s) is invalid.\n");
    swapSizeGiB_ = int(n);
    swapGiven_ = true;
    mode_ = key == "-w" ? "apply" : "expand";
  } else if (startsWith(key, "--new-") && key.size() > 6) {
    // 2^20 GiB (1 PiB) keeps every block count far from wrapping.
    if (!parseNumber(value, &n) || n < 0 || n > (1 << 20))
      return refuse("the partition size(%s) is invalid.\n");
    newPartName_ = key.substr(6);
    newPartSizeGiB_ = n;
    mode_ = "new";
  } else if (startsWith(key, "--expand-") && key.size() > 9) {
    if (value == "auto") {
      n = -1;
    } else if (!parseNumber(value, &n) || n < 0 || n > (1 << 20)) {
      return refuse("add size(%s) is invalid.\n");
    }
    expand_.emplace_back(key.substr(9), n);
    mode_ = "expand";
  } else {
    return false;
  }
  return true;
}

bool CGPT::takeModeOption(const std::string& key, const std::string& value) {
  if (key == "--fix") {
    mode_ = "fix";
  } else if (key == "--dump") {
    dumpName_ = value;
    mode_ = "dump";
  } else if (key == "--extract") {
    extractDir_ = value.empty() ? "./" : value;
    extractName_.clear();
    mode_ = "extract";
  } else if (startsWith(key, "--extract-") && key.size() > 10) {
    extractDir_ = value.empty() ? "./" : value;
    extractName_ = key.substr(10);
    mode_ = "extract";
  } else if (key == "--create") {
    mode_ = "create";
  } else if (key == "--edit") {
    mode_ = "edit";
  } else if (key == "-e") {
    mode_ = "enable-new-size";
  } else if (key == "--update") {
    mode_ = "update";
  } else {
    return false;
  }
  return true;
}

bool CGPT::takeTextOption(const std::string& key, const std::string& value) {
  if (key == "-f") {
    path_ = value;
  } else if (key == "-b") {
    bootName_ = value;
  } else if (key == "-r") {
    rootName_ = value;
  } else if (key == "--image-file") {
    images_.push_back({value, "", "", ""});
  } else if (key == "--image-name") {
    if (!images_.empty()) images_.back().name = value;
  } else if (key == "--image-type-uuid") {
    if (!images_.empty()) images_.back().typeGuid = value;
  } else if (key == "--image-uuid") {
    if (!images_.empty()) images_.back().uniqueGuid = value;
  } else if (startsWith(key, "--name-") && key.size() > 7) {
    renames_[key.substr(7)] = value;
  } else if (startsWith(key, "--uuid-") && key.size() > 7) {
    newGuids_.push_back(key.substr(7));
  } else {
    return false;
  }
  return true;
}

void CGPT::runMode() {
  if (mode_.empty()) {
    print("'gpt -h' will help you.\n");
    return;
  }
  if (path_.empty()) {
    print("no gpt file or device given (-f).\n");
    fail();
    return;
  }
  if (isDevice() && !readGeometry()) return;
  if (mode_ == "create") {
    doCreate();
    return;
  }
  if (!loadTable()) return;
  if (mode_ == "dump")
    doDump();
  else if (mode_ == "fix")
    doFix();
  else if (mode_ == "new")
    doNew();
  else if (mode_ == "expand")
    doExpand();
  else if (mode_ == "apply")
    doApply();
  else if (mode_ == "enable-new-size")
    doEnableNewSize();
  else if (mode_ == "extract")
    doExtract();
  else if (mode_ == "update")
    doUpdate();
  // "edit" is accepted and does nothing.
}

bool CGPT::readGeometry() {
  std::string q = shellQuote(path_);
  std::string count =
      query("fdisk " + q + " -l 2>/dev/null | grep -F " + shellQuote("Disk " + path_) +
            " | awk -F 'sectors' '{print $1}' | grep -o '[0-9]\\+' | tail -n 1");
  std::string size = query("fdisk " + q +
                           " -l 2>/dev/null | grep 'sector size: ' | awk -F 'sector size: ' "
                           "'{print $2}'");
  deviceSectors_ = leadingNumber(count);
  uint64_t sectorSize = leadingNumber(size);
  print("sector count: %llu, sector size: %llu\n", (unsigned long long)deviceSectors_,
        (unsigned long long)sectorSize);
  blockSize_ = sectorSize == 4096 ? 4096 : 512;
  return true;
}

bool CGPT::loadTable() {
  print("load gpt image file: %s.\n", path_.c_str());
  table_.reset(new CGptTable(blockSize_));
  std::string err;
  uint64_t fileSize = 0;
  if (!isDevice() && !jyx::checkRegularFile(path_, SIZE_MAX, &fileSize, &err)) {
    print("%s\n", err.c_str());
    print("load gpt image fail.\n");
    return fail();
  }
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    print("%s: %s\n", path_.c_str(), jyx::errnoText(errno).c_str());
    print("load gpt image fail.\n");
    return fail();
  }
  std::vector<uint8_t> data(kImageBufferSize);
  size_t got = 0;
  bool readOk = true;
  while (got < data.size()) {
    ssize_t n = pread(fd, data.data() + got, data.size() - got, off_t(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      print("%s: %s\n", path_.c_str(), jyx::errnoText(errno).c_str());
      readOk = false;
      break;
    }
    if (n == 0) break;
    got += size_t(n);
  }
  close(fd);
  std::string messages;
  if (!readOk || !table_->load(data.data(), got, &messages)) {
    print("%s", messages.c_str());
    print("load gpt image fail.\n");
    return fail();
  }
  return true;
}

uint64_t CGPT::totalBlocks() const {
  return deviceSectors_ != 0 ? deviceSectors_ : table_->alternateLba() + 1;
}

// An image file must already hold the extent its table claims, unless the
// operation sizes the disk itself: a hostile backup LBA must neither make the
// file grow without bound nor leave moved data behind a table never written.
bool CGPT::fileHolds(uint64_t total) {
  uint64_t fileSize = 0;
  std::string why;
  if (isDevice()) return true;
  if (jyx::checkRegularFile(path_, SIZE_MAX, &fileSize, &why) && total <= fileSize / blockSize_)
    return true;
  if (why.empty())
    why = stringFormat("the table's %llu blocks pass the end of %s (%llu blocks)",
                       (unsigned long long)total, path_.c_str(),
                       (unsigned long long)(fileSize / blockSize_));
  print("%s\n", why.c_str());
  print("save gpt image to device %s failed.\n", path_.c_str());
  return fail();
}

bool CGPT::saveTable(uint64_t total, bool mayGrow) {
  const uint64_t e = table_->arrayBlocks();
  const uint64_t bs = blockSize_;
  if (!mayGrow && !fileHolds(total)) return false;
  print("save gpt image to device %s.\n", path_.c_str());
  int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    print("%s: %s\n", path_.c_str(), jyx::errnoText(errno).c_str());
    print("open file (%s) failed\n", path_.c_str());
    return fail();
  }
  std::string err;
  bool ok = writeFull(fd, table_->image(), size_t((e + 2) * bs), 0, &err) &&
            writeFull(fd, table_->image() + (e + 2) * bs, size_t((e + 1) * bs),
                      (total - e - 1) * bs, &err);
  if (ok && fsync(fd) != 0) {
    err = "fsync " + path_ + ": " + jyx::errnoText(errno);
    ok = false;
  }
  if (close(fd) != 0 && ok) {
    err = "close " + path_ + ": " + jyx::errnoText(errno);
    ok = false;
  }
  if (!ok) {
    print("%s\n", err.c_str());
    print("save gpt image to device %s failed.\n", path_.c_str());
    return fail();
  }
  if (isDevice()) {
    print("update the partitions of gpt (partprobe %s).\n", path_.c_str());
    if (!runChecked("partprobe " + shellQuote(path_))) return fail();
    if (!runChecked("fdisk " + shellQuote(path_) + " -l")) return fail();
  }
  return true;
}

bool CGPT::moveData(const std::vector<Move>& moves, bool announce) {
  if (moves.empty()) return true;
  int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    print("%s: %s\n", path_.c_str(), jyx::errnoText(errno).c_str());
    print("open file (%s) failed\n", path_.c_str());
    return fail();
  }
  std::string err;
  bool ok = true;
  for (const Move& m : moves) {
    if (announce)
      print("move data(%s) from %lld to %lld with blocks(%d).\n",
            entryName(table_->entry(m.slot)).c_str(), (long long)m.from, (long long)m.to,
            int(m.blocks));
    ok = moveBlocks(
        fd, blockSize_, m.from, m.to, m.blocks,
        [this](const std::string& line) { print("%s", line.c_str()); }, &err);
    if (!ok) break;
  }
  if (ok && fsync(fd) != 0) {
    err = "fsync " + path_ + ": " + jyx::errnoText(errno);
    ok = false;
  }
  if (close(fd) != 0 && ok) {
    err = "close " + path_ + ": " + jyx::errnoText(errno);
    ok = false;
  }
  if (!ok) {
    print("%s\n", err.c_str());
    print("move data failed.\n");
    return fail();
  }
  return true;
}

bool CGPT::newGuid(const char* command, uint8_t* guid) {
  std::string text = query(command);
  if (!guidFromText(text, guid)) {
    print("%s gave no GUID: '%s'\n", command, text.c_str());
    return fail();
  }
  return true;
}

// ---------------------------------------------------------------------------
// Operations

bool CGPT::doDump() {
  if (!dumpName_.empty() && table_->findEntry(dumpName_) < 0) {
    print("partition (%s) does not exist.\n", dumpName_.c_str());
    return fail();
  }
  print("%s", table_->dump(dumpName_).c_str());
  return true;
}

bool CGPT::doFix() {
  const uint64_t total = totalBlocks();
  const uint64_t e = table_->arrayBlocks();
  if (table_->alternateLba() != total - 1) {
    int last = table_->lastEntry();
    uint64_t end = 0;
    for (size_t i = 0; i < table_->entryCount(); ++i)
      if (!isEmptyEntry(table_->entry(i))) end = std::max(end, entryLast(table_->entry(i)));
    if (total < 2 * e + 4 || end > total - e - 2 || last < 0) {
      print("the disk (%llu blocks) is too small for its partitions.\n", (unsigned long long)total);
      return fail();
    }
    table_->rebuild(total);
    if (!saveTable(total)) return false;
  }
  return rewriteGrub();
}

bool CGPT::doNew() {
  if (newPartSizeGiB_ <= 0) {
    print("new partition size(%d) must is larger than 0\n", int(newPartSizeGiB_));
    return fail();
  }
  print("---gpt info before create the new partition---\n");
  print("%s", table_->dump("").c_str());
  const uint64_t total = totalBlocks();
  const uint64_t e = table_->arrayBlocks();
  int last = table_->lastEntry();
  size_t slot = size_t(last + 1);
  if (slot >= table_->entryCount()) {
    print("no free partition entry after entry %d.\n", last + 1);
    return fail();
  }
  uint64_t first = entryLast(table_->entry(size_t(last))) + 1;
  uint64_t blocks = uint64_t(newPartSizeGiB_) * kGiB / blockSize_;
  if (total < 2 * e + 4 || first + blocks - 1 > total - e - 2) {
    print("new partition size(%d) must is too large\n", int(newPartSizeGiB_));
    return fail();
  }
  uint8_t* entry = table_->entry(slot);
  memset(entry, 0, kEntryStep);
  guidFromText("EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", entry + kEntTypeGuid);
  if (!newGuid("uuid", entry + kEntUniqueGuid)) {
    memset(entry, 0, kEntryStep);
    return false;
  }
  setEntryName(entry, newPartName_);
  setEntryRange(entry, first, first + blocks - 1);
  table_->rebuild(total);
  print("---gpt info after create the new partition---\n");
  print("%s", table_->dump("").c_str());
  if (!saveTable(total)) return false;
  runCommand("ls -l " + shellQuote(path_) + "*", true);
  return true;
}

bool CGPT::doEnableNewSize() {
  int root = table_->findEntry(rootName_);
  std::string device = query("fdisk " + shellQuote(path_) + " -l | grep root | awk '{print $1}'");
  int gib = 0;
  if (root >= 0) {
    const uint8_t* en = table_->entry(size_t(root));
    gib = int((entryLast(en) - entryFirst(en) + 1) * blockSize_ / kGiB);
  }
  if (gib <= 0 || device.empty()) {
    print("resize root with wrong param: device(%s), size(%dG).\n", device.c_str(), gib);
    return fail();
  }
  print("resize root: device(%s), size(%d)G.\n", device.c_str(), gib);
  bool ok =
      runChecked("resize2fs " + shellQuote(device) + " " + std::to_string(gib) + "G", kLongTimeout);
  runCommand("fdisk " + shellQuote(path_) + " -l", true);
  runCommand("df -h", true);
  return ok ? true : fail();
}

bool CGPT::doUpdate() {
  for (const auto& r : renames_) {
    int slot = table_->findEntry(r.first);
    if (slot < 0) {
      print("partition (%s) does not exist.\n", r.first.c_str());
      return fail();
    }
    setEntryName(table_->entry(size_t(slot)), r.second);
    setEntryName(table_->backupEntry(size_t(slot)), r.second);
  }
  for (const std::string& name : newGuids_) {
    // The rename map applies first, so the old name may already be gone.
    int slot = table_->findEntry(name);
    if (slot < 0 && renames_.count(name)) slot = table_->findEntry(renames_[name]);
    if (slot < 0) {
      print("partition (%s) does not exist.\n", name.c_str());
      return fail();
    }
    if (!newGuid("uuidgen", table_->entry(size_t(slot)) + kEntUniqueGuid)) return false;
    memcpy(table_->backupEntry(size_t(slot)) + kEntUniqueGuid,
           table_->entry(size_t(slot)) + kEntUniqueGuid, kGuidSize);
  }
  const uint64_t total = totalBlocks();
  table_->rebuild(total);
  return saveTable(total);
}

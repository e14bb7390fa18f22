#include "tools/gpt.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/byte_order.h"
#include "common/file_util.h"
#include "common/string_format.h"
#include "tools/block_mover.h"
#include "tools/grub_config.h"

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

// The directory for the tool's scratch files: $TMPDIR when set, else /tmp.
std::string scratchDir() {
  const char* t = getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

// Partition names end up in file names: refuse the ones that would leave
// the directory or name it.
bool safeFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool isType(const uint8_t* entry, const char* typeText) { return entryTypeText(entry) == typeText; }

// Copies `bytes` bytes at `offset` of fd into a new scratch file at `path`
// (mode 0600, never through a symlink) and closes it.
bool copyToScratch(int fd, uint64_t offset, uint64_t bytes, const std::string& path,
                   std::string* err) {
  int out = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0) {
    *err = path + ": " + jyx::errnoText(errno);
    return false;
  }
  bool ok = copyBytes(fd, offset, out, 0, bytes, err);
  if (close(out) != 0 && ok) {
    *err = "close " + path + ": " + jyx::errnoText(errno);
    ok = false;
  }
  return ok;
}

// Copies the file at `path` back to `bytes` bytes at `offset` of fd and
// syncs fd, the disk at diskPath.
bool copyBackAndSync(const std::string& path, int fd, uint64_t offset, uint64_t bytes,
                     const std::string& diskPath, std::string* err) {
  int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = in >= 0 && copyBytes(in, 0, fd, offset, bytes, err);
  if (in < 0) *err = path + ": " + jyx::errnoText(errno);
  if (in >= 0) close(in);
  if (ok && fsync(fd) != 0) {
    *err = "fsync " + diskPath + ": " + jyx::errnoText(errno);
    ok = false;
  }
  return ok;
}

// Opens the disk image at diskPath (*fd) and a new sparse scratch file of
// `bytes` bytes at `scratch` (*tmp), and copies the partition at `offset`
// into it. Whatever opened stays open for the caller to close.
bool copyIntoSparseScratch(const std::string& diskPath, const std::string& scratch, uint64_t offset,
                           uint64_t bytes, int* fd, int* tmp, std::string* err) {
  *fd = open(diskPath.c_str(), O_RDWR | O_CLOEXEC);
  *tmp = open(scratch.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  bool ok = *fd >= 0 && *tmp >= 0 && ftruncate(*tmp, off_t(bytes)) == 0;
  if (!ok) *err = jyx::errnoText(errno);
  return ok && copyChangedChunks(*fd, offset, *tmp, 0, bytes, err);
}

// Copies the scratch file back into the partition and syncs the disk.
// resize2fs cut the scratch file to the filesystem's whole MiB; sized up
// again, the rest of the partition reads as zeros.
bool copyBackFromSparseScratch(int tmp, const std::string& scratch, int fd,
                               const std::string& diskPath, uint64_t offset, uint64_t bytes,
                               std::string* err) {
  if (ftruncate(tmp, off_t(bytes)) != 0) {
    *err = scratch + ": " + jyx::errnoText(errno);
    return false;
  }
  if (!copyChangedChunks(tmp, 0, fd, offset, bytes, err)) return false;
  if (fsync(fd) != 0) {
    *err = "fsync " + diskPath + ": " + jyx::errnoText(errno);
    return false;
  }
  return true;
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
// GRUB configuration

bool CGPT::rewriteGrubFile(const std::string& mountDir, const CGptTable& table) {
  int root = table.findEntry(rootName_);
  if (root < 0) {
    print("no root in grub config.\n");
    return true;
  }
  std::string defaultRoot = entryGuidText(table.entry(size_t(root)));
  print("default root uuid: %s\n", defaultRoot.c_str());
  int swap = table.findEntry("swap");
  std::string swapGuid = swap >= 0 ? entryGuidText(table.entry(size_t(swap))) : "";
  std::vector<GrubRoot> roots;
  for (size_t i = 0; i < table.entryCount(); ++i) {
    const uint8_t* e = table.entry(i);
    if (!isEmptyEntry(e) && isType(e, kTypeLinuxRootArm64))
      roots.push_back({entryName(e), entryGuidText(e)});
  }
  std::string file = stringFormat("%s/GRUB/GRUB.CFG", mountDir.c_str());
  std::string text, err;
  // 4 MiB: far above any real grub.cfg, small enough to hold.
  if (!jyx::readRegularFile(file, 4u << 20, &text, &err)) {
    print("%s\n", err.c_str());
    return fail();
  }
  std::vector<std::string> lines = splitLines(text);
  print("line count: %lld in file(%s)\n", (long long)lines.size(), file.c_str());
  std::string out = joinLines(rewriteGrubLines(lines, defaultRoot, swapGuid, roots));
  if (!jyx::writeFileAtomic(file, out, &err)) {
    print("%s\n", err.c_str());
    return fail();
  }
  return true;
}

bool CGPT::rewriteGrubInImage(const std::string& image, const CGptTable& table) {
  const std::string dir = scratchDir() + "/qel_boot";
  if (!runChecked("mkdir -p " + shellQuote(dir)) ||
      !runChecked("mount " + shellQuote(image) + " " + shellQuote(dir)))
    return false;
  print("update grub.cfg.\n");
  bool ok = rewriteGrubFile(dir, table);
  if (!runChecked("umount " + shellQuote(dir))) ok = false;
  return ok;
}

bool CGPT::rewriteGrub() {
  int esp = -1;
  for (size_t i = 0; i < table_->entryCount() && esp < 0; ++i)
    if (!isEmptyEntry(table_->entry(i)) && isType(table_->entry(i), kTypeEfiSystem)) esp = int(i);
  if (esp < 0) {
    print("boot partition does not exist.\n");
    return true;
  }
  const uint8_t* e = table_->entry(size_t(esp));
  const uint64_t offset = entryFirst(e) * blockSize_;
  const uint64_t bytes = (entryLast(e) - entryFirst(e) + 1) * blockSize_;
  const std::string image = scratchDir() + "/qel_boot.img";

  std::string err;
  int fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    print("open file (%s) failed\n", path_.c_str());
    return fail();
  }
  if (!copyToScratch(fd, offset, bytes, image, &err)) {
    close(fd);
    print("%s\n", err.c_str());
    return fail();
  }
  bool ok = rewriteGrubInImage(image, *table_);
  if (ok) {
    ok = copyBackAndSync(image, fd, offset, bytes, path_, &err);
    if (!ok) print("%s\n", err.c_str());
  }
  if (close(fd) != 0 && ok) {
    print("close %s: %s\n", path_.c_str(), jyx::errnoText(errno).c_str());
    ok = false;
  }
  unlink(image.c_str());
  return ok ? true : fail();
}

// ---------------------------------------------------------------------------
// Swap and filesystems after a layout change

bool CGPT::partitionDevice(const std::string& grepWord, std::string* device, std::string* number) {
  *number = query("fdisk " + shellQuote(path_) + " -l | grep " + shellQuote(grepWord) +
                  " | awk '{print $1}' | grep -oE '[0-9]+$'");
  if (number->empty()) return false;
  *device = query("ls " + shellQuote(path_) + "*" + shellQuote(*number) + " 2>/dev/null");
  return !device->empty();
}

bool CGPT::recreateSwap() {
  int swap = table_->findEntry("swap");
  if (swap < 0) return true;
  const uint8_t* e = table_->entry(size_t(swap));
  if (isDevice()) {
    std::string device, number;
    if (!partitionDevice("swap", &device, &number)) {
      print("swap partition (%s) does not exist.\n", number.c_str());
      return fail();
    }
    print("mkswap %s.\n", device.c_str());
    return runChecked("mkswap " + shellQuote(device)) ? true : fail();
  }
  // An image file has no partition devices: the swap area is made in a
  // sparse scratch file of the partition's size and its first MiB (which
  // holds everything mkswap writes) copied into place.
  const uint64_t bytes = (entryLast(e) - entryFirst(e) + 1) * blockSize_;
  const std::string scratch = scratchDir() + "/qel_swap.img";
  print("mkswap %s.\n", entryName(e).c_str());
  int tmp = open(scratch.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  std::string err;
  bool ok = tmp >= 0 && ftruncate(tmp, off_t(bytes)) == 0;
  if (!ok) err = scratch + ": " + jyx::errnoText(errno);
  ok = ok && runChecked("mkswap " + shellQuote(scratch));
  int fd = ok ? open(path_.c_str(), O_RDWR | O_CLOEXEC) : -1;
  if (ok && fd < 0) {
    err = path_ + ": " + jyx::errnoText(errno);
    ok = false;
  }
  ok = ok &&
       copyBytes(tmp, 0, fd, entryFirst(e) * blockSize_, std::min<uint64_t>(bytes, kMiB), &err);
  if (fd >= 0 && close(fd) != 0 && ok) {
    err = "close " + path_ + ": " + jyx::errnoText(errno);
    ok = false;
  }
  if (tmp >= 0) close(tmp);
  unlink(scratch.c_str());
  if (!ok) {
    if (!err.empty()) print("%s\n", err.c_str());
    return fail();
  }
  return true;
}

// Checks and grows the ext filesystem of partition `name` to `blocks`
// blocks. Devices go through their partition device. An image file has
// none, and resize2fs cuts a regular file to the filesystem's size (it would
// cut the disk image at the partition's size, whatever its offset), so the
// partition is worked on in a sparse scratch file and copied back.
bool CGPT::checkAndResize(const std::string& grepWord, const std::string& name, uint64_t blocks,
                          bool rootWording) {
  int slot = table_->findEntry(name);
  if (slot < 0) {
    print("root partition (%s) does not exist.\n", name.c_str());
    return fail();
  }
  std::string device;
  if (isDevice()) {
    std::string number;
    if (!partitionDevice(grepWord, &device, &number)) {
      print("root partition (%s) does not exist.\n", number.c_str());
      return fail();
    }
  } else {
    device = scratchDir() + "/qel_part.img";
  }
  const uint64_t offset = entryFirst(table_->entry(size_t(slot))) * blockSize_;
  const uint64_t bytes = blocks * blockSize_;
  int fd = -1, tmp = -1;
  std::string err;
  bool ok = true;
  if (!isDevice()) ok = copyIntoSparseScratch(path_, device, offset, bytes, &fd, &tmp, &err);
  ok = ok && checkAndGrowFs(device, name, int(bytes / kMiB), rootWording, &err);
  if (ok && !isDevice())
    ok = copyBackFromSparseScratch(tmp, device, fd, path_, offset, bytes, &err);
  if (fd >= 0 && close(fd) != 0 && ok) {
    err = "close " + path_ + ": " + jyx::errnoText(errno);
    ok = false;
  }
  if (tmp >= 0) {
    close(tmp);
    unlink(device.c_str());
  }
  if (!ok) {
    if (!err.empty()) print("%s\n", err.c_str());
    return fail();
  }
  return true;
}

bool CGPT::checkAndGrowFs(const std::string& device, const std::string& name, int mib,
                          bool rootWording, std::string* err) {
  int status = -1;
  // e2fsck answers 1 when it corrected the filesystem, which is success.
  if (!runCommand("e2fsck -f -y " + shellQuote(device), true, kLongTimeout, nullptr, &status) ||
      status > 1) {
    *err = stringFormat("e2fsck %s failed (status %d).", device.c_str(), status);
    return false;
  }
  if (rootWording)
    print("resize root: device(%s), size(%d)M.\n", device.c_str(), mib);
  else
    print("resize %s: device(%s), size(%d)M.\n", name.c_str(), device.c_str(), mib);
  return runChecked("resize2fs " + shellQuote(device) + " " + std::to_string(mib) + "M",
                    kLongTimeout);
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

namespace {

// A fresh swap entry: Linux swap type, the fixed swap GUID, named "swap".
void initSwapEntry(uint8_t* sw) {
  memset(sw, 0, kEntryStep);
  guidFromText(kTypeLinuxSwap, sw + kEntTypeGuid);
  guidFromText(kSwapUniqueGuid, sw + kEntUniqueGuid);
  setEntryName(sw, "swap");
}

}  // namespace

bool CGPT::doExpand() {
  const uint64_t total = totalBlocks();
  const uint64_t e = table_->arrayBlocks();
  print("---gpt info before expand size---\n");
  print("%s", table_->dump("").c_str());
  if (total < 2 * e + 4) {
    print("the disk (%llu blocks) is too small.\n", (unsigned long long)total);
    return fail();
  }
  std::vector<PlanPart> parts;
  if (!partsInDiskOrder(&parts)) return false;
  std::vector<uint8_t> entries(table_->entry(0), table_->entry(0) + kEntryArrayBytes);
  if (!placeSwapSecond(&parts)) return false;
  std::vector<int64_t> grow;
  if (!expandGrowth(parts, &grow)) {
    // An unknown name leaves the entries as they were before the swap edit.
    memcpy(table_->entry(0), entries.data(), kEntryArrayBytes);
    return fail();
  }
  if (!packPartitions(&parts, grow, total - e - 1)) return false;
  if (!fileHolds(total)) return false;
  table_->rebuild(total);
  if (!moveData(planMoves(parts))) return false;
  if (!saveTable(total)) return false;
  if (!recreateSwap()) return false;
  if (!resizeGrown(parts, grow)) return false;
  return rewriteGrub();
}

bool CGPT::partsInDiskOrder(std::vector<PlanPart>* parts) {
  for (size_t i = 0; i < table_->entryCount(); ++i) {
    const uint8_t* en = table_->entry(i);
    if (isEmptyEntry(en)) continue;
    PlanPart p;
    p.slot = i;
    p.oldFirst = p.first = entryFirst(en);
    p.oldBlocks = p.blocks = entryLast(en) - entryFirst(en) + 1;
    if (!parts->empty() && p.first <= entryLast(table_->entry(parts->back().slot))) {
      print("partitions are not in disk order.\n");
      return fail();
    }
    parts->push_back(p);
  }
  return true;
}

bool CGPT::placeSwapSecond(std::vector<PlanPart>* parts) {
  std::vector<PlanPart>& p = *parts;
  bool swapSecond = p.size() > 1 && entryName(table_->entry(p[1].slot)) == "swap";
  uint64_t swapBlocks = uint64_t(swapSizeGiB_) * kGiB / blockSize_;
  if (swapGiven_ && swapSizeGiB_ >= 1 && !swapSecond) return insertSwapEntry(parts, swapBlocks);
  if (swapGiven_ && swapSizeGiB_ >= 1 && swapSecond) {
    p[1].blocks = swapBlocks;
  } else if (swapGiven_ && swapSizeGiB_ == 0 && swapSecond) {
    size_t at = p[1].slot;
    size_t end = p.back().slot + 1;
    memmove(table_->entry(at), table_->entry(at + 1), (end - at - 1) * kEntryStep);
    memset(table_->entry(end - 1), 0, kEntryStep);
    p.erase(p.begin() + 1);
    for (PlanPart& q : p)
      if (q.slot > at) --q.slot;
  }
  return true;
}

bool CGPT::insertSwapEntry(std::vector<PlanPart>* parts, uint64_t swapBlocks) {
  if (parts->back().slot + 1 >= table_->entryCount()) {
    print("no free partition entry for the swap partition.\n");
    return fail();
  }
  size_t at = (*parts)[0].slot + 1;
  for (PlanPart& p : *parts)
    if (p.slot >= at) ++p.slot;
  memmove(table_->entry(at + 1), table_->entry(at), (parts->back().slot - at) * kEntryStep);
  initSwapEntry(table_->entry(at));
  PlanPart p;
  p.slot = at;
  p.blocks = swapBlocks;
  parts->insert(parts->begin() + 1, p);
  return true;
}

bool CGPT::expandGrowth(const std::vector<PlanPart>& parts, std::vector<int64_t>* grow) {
  grow->assign(parts.size(), 0);
  for (const auto& x : expand_) {
    bool found = false;
    for (size_t i = 0; i < parts.size(); ++i) {
      if (entryName(table_->entry(parts[i].slot)) != x.first) continue;
      (*grow)[i] = x.second < 0 ? -1 : int64_t(uint64_t(x.second) * kGiB / blockSize_);
      found = true;
    }
    if (!found) {
      print("partition (%s) does not exist.\n", x.first.c_str());
      return false;
    }
  }
  return true;
}

bool CGPT::packPartitions(std::vector<PlanPart>* parts, const std::vector<int64_t>& grow,
                          uint64_t usableEnd) {
  uint64_t need = 0;
  if (!planExpand(parts, grow, usableEnd, &need)) {
    print("expand size is too large, (need)%lld > (total)%lld\n", (long long)need,
          (long long)usableEnd);
    return fail();
  }
  for (const PlanPart& p : *parts)
    setEntryRange(table_->entry(p.slot), p.first, p.first + p.blocks - 1);
  return true;
}

bool CGPT::resizeGrown(const std::vector<PlanPart>& parts, const std::vector<int64_t>& grow) {
  for (size_t i = 0; i < parts.size(); ++i) {
    if (grow[i] == 0) continue;
    const uint8_t* en = table_->entry(parts[i].slot);
    std::string name = entryName(en);
    if (isType(en, kTypeLinuxSwap) || isType(en, kTypeEfiSystem)) continue;
    if (!checkAndResize(name, name, parts[i].blocks, false)) return false;
  }
  return true;
}

bool CGPT::doApply() {
  const uint64_t e = table_->arrayBlocks();
  int boot = table_->findEntry(bootName_);
  int swap = table_->findEntry("swap");
  int root = table_->findEntry(rootName_);
  if (boot < 0 || root < 0) {
    print("%s partition (%s) does not exist.\n", boot < 0 ? "boot" : "root",
          boot < 0 ? bootName_.c_str() : rootName_.c_str());
    return fail();
  }
  const uint8_t* rootEntry = table_->entry(size_t(root));
  const uint64_t oldRootFirst = entryFirst(rootEntry);
  const uint64_t oldRootBlocks = entryLast(rootEntry) - oldRootFirst + 1;
  const uint64_t bootLast = entryLast(table_->entry(size_t(boot)));
  std::vector<uint8_t> saved(table_->entry(0), table_->entry(0) + kEntryArrayBytes);
  auto refuse = [&](const char* why) {
    memcpy(table_->entry(0), saved.data(), kEntryArrayBytes);
    print("%s\n", why);
    return fail();
  };

  uint64_t next = bootLast + 1;
  size_t rootSlot = size_t(root);
  if (!placeApplySwap(root, swap, &next, &rootSlot))
    return refuse("no free partition entry after the root partition.");
  const uint64_t rootBlocks = oldRootBlocks + uint64_t(addRootSizeGiB_) * kGiB / blockSize_;
  setEntryRange(table_->entry(rootSlot), next, next + rootBlocks - 1);
  if (!othersClearOfSwapAndRoot(size_t(boot), rootSlot, bootLast))
    return refuse("other partitions lie after the boot partition.");
  const uint64_t total = next + rootBlocks - 1 + e + 2;
  table_->rebuild(total);
  if (next != oldRootFirst) {
    print("move data from %lld to %lld with blocks(%d).\n", (long long)oldRootFirst,
          (long long)next, int(oldRootBlocks));
    std::vector<Move> moves = {{rootSlot, oldRootFirst, next, oldRootBlocks}};
    if (!moveData(moves, false)) return false;
  }
  if (!saveTable(total, true)) return false;
  if (!isDevice()) {
    // The image file is the disk: it ends where the backup table ends.
    if (truncate(path_.c_str(), off_t(total * blockSize_)) != 0) {
      print("%s: %s\n", path_.c_str(), jyx::errnoText(errno).c_str());
      return fail();
    }
  }
  if (!recreateSwap()) return false;
  if (!checkAndResize("root", rootName_, rootBlocks, true)) return false;
  return rewriteGrub();
}

bool CGPT::placeApplySwap(int root, int swap, uint64_t* next, size_t* rootSlot) {
  if (swapSizeGiB_ < 1 && swap >= 0) {
    // The root entry takes the swap entry's slot.
    memcpy(table_->entry(size_t(swap)), table_->entry(size_t(root)), kEntryStep);
    memset(table_->entry(size_t(root)), 0, kEntryStep);
    *rootSlot = size_t(swap);
  } else if (swapSizeGiB_ >= 1) {
    size_t swapSlot = size_t(swap);
    if (swap < 0) {
      if (size_t(root) + 1 >= table_->entryCount() || !isEmptyEntry(table_->entry(root + 1)))
        return false;
      memcpy(table_->entry(size_t(root) + 1), table_->entry(size_t(root)), kEntryStep);
      swapSlot = size_t(root);
      *rootSlot = size_t(root) + 1;
      initSwapEntry(table_->entry(swapSlot));
    }
    uint64_t blocks = uint64_t(swapSizeGiB_) * kGiB / blockSize_;
    setEntryRange(table_->entry(swapSlot), *next, *next + blocks - 1);
    *next += blocks;
  }
  return true;
}

bool CGPT::othersClearOfSwapAndRoot(size_t boot, size_t rootSlot, uint64_t bootLast) const {
  for (size_t i = 0; i < table_->entryCount(); ++i) {
    const uint8_t* en = table_->entry(i);
    if (isEmptyEntry(en) || i == boot || i == rootSlot || entryName(en) == "swap") continue;
    if (entryLast(en) > bootLast) return false;
  }
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

bool CGPT::doExtract() {
  if (!runChecked("mkdir -p " + shellQuote(extractDir_))) return fail();
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    print("open file (%s) failed\n", path_.c_str());
    return fail();
  }
  const bool withTable = extractName_.empty() || extractName_ == "gpt";
  bool ok = !withTable || extractTable();
  bool found = withTable;
  if (ok && extractName_ != "gpt") ok = extractPartitions(fd, &found);
  close(fd);
  if (ok && !found) {
    print("partition (%s) does not exist.\n", extractName_.c_str());
    ok = false;
  }
  return ok ? true : fail();
}

bool CGPT::captureImage(int fd, const std::string& file, uint64_t offset, uint64_t bytes,
                        const uint8_t* fromMemory) {
  jyx::CAtomicFile out;
  std::string err;
  bool ok = out.open(file, &err);
  if (ok && fromMemory != nullptr) {
    ok = out.write(fromMemory, size_t(bytes), &err);
  } else if (ok) {
    std::vector<uint8_t> buf(kChunkSize);
    for (uint64_t done = 0; ok && done < bytes;) {
      size_t n = size_t(std::min<uint64_t>(kChunkSize, bytes - done));
      ok = readFull(fd, buf.data(), n, offset + done, &err) && out.write(buf.data(), n, &err);
      done += n;
    }
  }
  ok = ok && out.commit(&err);
  if (!ok) {
    print("%s\n", err.c_str());
    return false;
  }
  print("captureImage:%s, size: %llu\n", file.c_str(), (unsigned long long)bytes);
  return true;
}

// The table as the tool saves it: MBR, headers and both arrays.
bool CGPT::extractTable() {
  table_->rebuild(totalBlocks());
  uint64_t blocks = 3 + 2 * uint64_t(table_->headerField32(kHdrEntryCount)) *
                            table_->headerField32(kHdrEntrySize) / blockSize_;
  blocks = std::min<uint64_t>(blocks, 2 * table_->arrayBlocks() + 3);
  std::string file = extractDir_ + "/partition-table.img";
  print("extract gpt to the image %s\n", file.c_str());
  return captureImage(-1, file, 0, blocks * blockSize_, table_->image());
}

bool CGPT::extractPartitions(int fd, bool* found) {
  for (size_t i = 0; i < table_->entryCount(); ++i) {
    const uint8_t* en = table_->entry(i);
    if (isEmptyEntry(en)) continue;
    std::string name = entryName(en);
    if (!extractName_.empty() && name != extractName_) continue;
    *found = true;
    if (!extractPartition(fd, en, name)) return false;
    if (!extractName_.empty()) break;
  }
  return true;
}

bool CGPT::extractPartition(int fd, const uint8_t* en, const std::string& name) {
  if (!safeFileName(name)) {
    print("partition name (%s) cannot be a file name.\n", name.c_str());
    return false;
  }
  std::string file = extractDir_ + "/" + name + ".img";
  print("extract %s to the image %s\n", name.c_str(), file.c_str());
  if (!captureImage(fd, file, entryFirst(en) * blockSize_,
                    (entryLast(en) - entryFirst(en) + 1) * blockSize_, nullptr))
    return false;
  std::string sparse = extractDir_ + "/" + name + "_sparse.img";
  return runChecked("img2simg " + shellQuote(file) + " " + shellQuote(sparse) + " 1048576",
                    kLongTimeout);
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

// ---------------------------------------------------------------------------
// Create

namespace {

// The protective MBR of a new disk: boot code stub, signature and one
// record of type 0xEE starting at block 1 (rebuild sets its extent).
void setProtectiveMbr(uint8_t* mbr) {
  mbr[0] = 0xFA;
  mbr[1] = 0xEB;
  mbr[3] = 0xFE;
  uint8_t* rec = mbr + kMbrRecords;
  rec[kMbrRecFirstChs + 1] = 0x02;  // CHS 0/0/2: the sector after the MBR
  rec[kMbrRecType] = kMbrProtectiveType;
  jyx::encodeFixed32(rec + kMbrRecFirstLba, 1);
  jyx::encodeFixed16(mbr + kMbrSignatureOffset, kMbrSignature);
}

// The new disk, written front to back: straight to a block device, or into
// a temporary file that replaces the image file only once it is complete.
class CDiskWriter {
 public:
  CDiskWriter() : zeros_(kChunkSize, 0), buf_(kChunkSize) {}

  bool open(const std::string& path, bool device, std::string* err) {
    path_ = path;
    if (device) dev_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if ((device && dev_ < 0) || (!device && !file_.open(path, err))) {
      if (dev_ < 0 && err->empty()) *err = path + ": " + jyx::errnoText(errno);
      return false;
    }
    return true;
  }

  // Appends len bytes; the offset moves on even when the write fails.
  bool write(const void* data, size_t len, std::string* err) {
    bool ok = dev_ >= 0 ? writeFull(dev_, data, len, offset_, err) : file_.write(data, len, err);
    offset_ += len;
    return ok;
  }

  // Zeros up to byte `to`.
  bool padTo(uint64_t to, std::string* err) {
    while (offset_ < to)
      if (!write(zeros_.data(), size_t(std::min<uint64_t>(kChunkSize, to - offset_)), err))
        return false;
    return true;
  }

  // Appends the first `bytes` bytes of the file at `path`.
  bool copyFile(const std::string& path, uint64_t bytes, std::string* err) {
    int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
      *err = path + ": " + jyx::errnoText(errno);
      return false;
    }
    bool ok = true;
    for (uint64_t done = 0; ok && done < bytes;) {
      size_t n = size_t(std::min<uint64_t>(kChunkSize, bytes - done));
      ok = readFull(in, buf_.data(), n, done, err) && write(buf_.data(), n, err);
      done += n;
    }
    close(in);
    return ok;
  }

  // Ends the disk, `ok` telling whether every write went well: a device is
  // synced (only then) and always closed; an image file is committed only
  // then, else the old file at the path stays as it was.
  bool finish(bool ok, std::string* err) {
    if (dev_ < 0) return ok && file_.commit(err);
    if (ok && fsync(dev_) != 0) {
      *err = "fsync " + path_ + ": " + jyx::errnoText(errno);
      ok = false;
    }
    if (close(dev_) != 0 && ok) {
      *err = "close " + path_ + ": " + jyx::errnoText(errno);
      ok = false;
    }
    return ok;
  }

 private:
  std::string path_;
  int dev_ = -1;
  jyx::CAtomicFile file_;
  uint64_t offset_ = 0;
  std::vector<uint8_t> zeros_;
  std::vector<uint8_t> buf_;
};

}  // namespace

bool CGPT::doCreate() {
  if (images_.empty()) {
    print("no partition image file\n");
    return fail();
  }
  if (images_.size() > kMaxEntries) {
    print("too many partition images: %zu > %zu\n", images_.size(), kMaxEntries);
    return fail();
  }
  CGptTable table(blockSize_);
  DiskPlan plan;
  if (!planImages(&table, &plan) || !startNewTable(&table, plan.total)) return false;
  // The boot image's GRUB configuration names the new root and swap.
  if (plan.rootImage >= 0 && !rewriteGrubInImage(images_[size_t(plan.bootImage)].file, table))
    return fail();
  if (!writeDisk(table, plan) || !writeTableFile(table)) return false;
  if (isDevice() && !runChecked("partprobe " + shellQuote(path_))) return fail();
  print("image file %s is created.\n", path_.c_str());
  return true;
}

bool CGPT::planImages(CGptTable* table, DiskPlan* plan) {
  const uint64_t start = kMiB / blockSize_;
  plan->bytes.assign(images_.size(), 0);
  plan->firsts.assign(images_.size(), 0);
  uint64_t next = start;
  for (size_t i = 0; i < images_.size(); ++i)
    if (!planImage(i, table, plan, &next)) return false;
  if (plan->bootImage < 0) {
    print("no boot image file.\n");
    return fail();
  }
  if (plan->rootImage >= 0) {
    print("root part guid: %s, boot part name: %s\n",
          entryGuidText(table->entry(size_t(plan->rootImage))).c_str(),
          images_[size_t(plan->bootImage)].name.c_str());
  }
  plan->total = next + table->arrayBlocks() + 1;
  print("lba count: %lld, start lba: %lld, lba size: %lld\n", (long long)plan->total,
        (long long)start, (long long)blockSize_);
  return true;
}

bool CGPT::planImage(size_t i, CGptTable* table, DiskPlan* plan, uint64_t* next) {
  const ImageRecord& r = images_[i];
  if (!checkImageFile(r, &plan->bytes[i])) return false;
  uint8_t* en = table->entry(i);
  if (!setImageType(i, en, plan)) return false;
  if (r.uniqueGuid.size() < 32) {
    if (!newGuid("uuidgen", en + kEntUniqueGuid)) return false;
  } else if (!guidFromText(r.uniqueGuid, en + kEntUniqueGuid)) {
    print("invalid unique guid of the image %s: %s\n", r.file.c_str(), r.uniqueGuid.c_str());
    return fail();
  }
  setEntryName(en, r.name);
  // Each partition takes whole MiB.
  uint64_t blocks = (plan->bytes[i] + kMiB - 1) / kMiB * kMiB / blockSize_;
  plan->firsts[i] = *next;
  setEntryRange(en, *next, *next + blocks - 1);
  *next += blocks;
  return true;
}

bool CGPT::checkImageFile(const ImageRecord& r, uint64_t* bytes) {
  if (r.file.empty()) {
    print("no partition image file\n");
    return fail();
  }
  if (r.name.empty()) {
    print("no partition name for the image %s\n", r.file.c_str());
    return fail();
  }
  std::string err;
  if (!jyx::checkRegularFile(r.file, SIZE_MAX, bytes, &err)) {
    print("%s\n", err.c_str());
    return fail();
  }
  if (*bytes == 0) {
    print("thie size is null for the image %s\n", r.file.c_str());
    return fail();
  }
  return true;
}

bool CGPT::setImageType(size_t i, uint8_t* en, DiskPlan* plan) {
  const ImageRecord& r = images_[i];
  const char* type = nullptr;
  if (r.name == "boot_a" || r.name == "boot_b" || r.name == bootName_) {
    type = kTypeEfiSystem;
    if (plan->bootImage < 0) plan->bootImage = int(i);
  } else if (r.name == "root_a" || r.name == "root_b" || r.name == rootName_) {
    type = kTypeLinuxRootArm64;
    if (r.name == rootName_ || plan->rootImage < 0) plan->rootImage = int(i);
  } else if (r.name == "swap") {
    type = kTypeLinuxSwap;
  } else {
    uint8_t g[kGuidSize];
    if (!guidFromText(r.typeGuid, g) ||
        (guidToText(g) != kTypeBasicData && guidToText(g) != kTypeLinuxData)) {
      print("invalid type guid of the imagen %s\n", r.file.c_str());
      return fail();
    }
    memcpy(en + kEntTypeGuid, g, kGuidSize);
  }
  if (type != nullptr) guidFromText(type, en + kEntTypeGuid);
  return true;
}

bool CGPT::startNewTable(CGptTable* table, uint64_t total) {
  setProtectiveMbr(table->mbr());
  uint8_t* hdr = table->header();
  memcpy(hdr + kHdrSignature, kHeaderSignature, sizeof(kHeaderSignature));
  jyx::encodeFixed32(hdr + kHdrRevision, kRevision);
  jyx::encodeFixed32(hdr + kHdrSize, kHeaderMinSize);
  jyx::encodeFixed32(hdr + kHdrEntryCount, uint32_t(kMaxEntries));
  jyx::encodeFixed32(hdr + kHdrEntrySize, uint32_t(kEntryStep));
  if (!newGuid("uuid", hdr + kHdrDiskGuid)) return false;
  table->rebuild(total);
  return true;
}

// The disk is written front to back: table, gap, images, backup table.
bool CGPT::writeDisk(const CGptTable& table, const DiskPlan& plan) {
  std::string err;
  CDiskWriter disk;
  if (!disk.open(path_, isDevice(), &err)) {
    print("%s\n", err.c_str());
    print("open file (%s) failed\n", path_.c_str());
    return fail();
  }
  const uint64_t e = table.arrayBlocks();
  const uint64_t bs = blockSize_;
  bool ok = disk.write(table.image(), size_t((e + 2) * bs), &err);
  for (size_t i = 0; ok && i < images_.size(); ++i) {
    const uint8_t* en = table.entry(i);
    print("make partition(%s) [LBA: %lld ~ %lld] from %s\n", images_[i].name.c_str(),
          (long long)entryFirst(en), (long long)entryLast(en), images_[i].file.c_str());
    ok = disk.padTo(plan.firsts[i] * bs, &err) &&
         disk.copyFile(images_[i].file, plan.bytes[i], &err);
  }
  ok = ok && disk.padTo((plan.total - e - 1) * bs, &err) &&
       disk.write(table.image() + (e + 2) * bs, size_t((e + 1) * bs), &err);
  if (!disk.finish(ok, &err)) {
    print("%s\n", err.c_str());
    print("image file %s is not created.\n", path_.c_str());
    return fail();
  }
  return true;
}

// The table alone, as partition-table.img beside the disk.
bool CGPT::writeTableFile(const CGptTable& table) {
  size_t slash = path_.rfind('/');
  std::string tableFile =
      (slash == std::string::npos ? "" : path_.substr(0, slash + 1)) + "partition-table.img";
  std::string err;
  if (!jyx::writeFileAtomic(tableFile, table.image(), table.imageBytes(), &err)) {
    print("%s\n", err.c_str());
    return fail();
  }
  return true;
}

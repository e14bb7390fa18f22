// CGPT layout changes: expand and apply move and grow partitions, then
// make the swap area again, grow the filesystems and point GRUB at the new
// partitions (the GRUB step also serves fix and create).
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/file_util.h"
#include "common/string_format.h"
#include "tools/block_mover.h"
#include "tools/gpt.h"
#include "tools/grub_config.h"

using jyx::stringFormat;
using namespace gpt;

namespace {

// The directory for the tool's scratch files: $TMPDIR when set, else /tmp.
std::string scratchDir() {
  const char* t = getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

bool isType(const uint8_t* entry, const char* typeText) { return entryTypeText(entry) == typeText; }

// Copies `bytes` bytes at `offset` of fd into a new scratch file at `path`
// (mode 0600, never through a symlink) and closes it. A copy that fails
// leaves no scratch file behind.
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
  if (!ok) unlink(path.c_str());
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

// A fresh swap entry: Linux swap type, the fixed swap GUID, named "swap".
void initSwapEntry(uint8_t* sw) {
  memset(sw, 0, kEntryStep);
  guidFromText(kTypeLinuxSwap, sw + kEntTypeGuid);
  guidFromText(kSwapUniqueGuid, sw + kEntUniqueGuid);
  setEntryName(sw, "swap");
}

}  // namespace

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
  jyx::CRemoveOnSignal removeOnSignal(image);
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
  jyx::CRemoveOnSignal removeOnSignal(scratch);
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
  if (tmp >= 0) close(tmp);
  unlink(scratch.c_str());
  return closeDisk(fd, ok, err);
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
  jyx::CRemoveOnSignal removeOnSignal;
  if (!isDevice()) {
    removeOnSignal.track(device);
    ok = copyIntoSparseScratch(path_, device, offset, bytes, &fd, &tmp, &err);
  }
  ok = ok && checkAndGrowFs(device, name, int(bytes / kMiB), rootWording, &err);
  if (ok && !isDevice())
    ok = copyBackFromSparseScratch(tmp, device, fd, path_, offset, bytes, &err);
  if (tmp >= 0) {
    close(tmp);
    unlink(device.c_str());
  }
  return closeDisk(fd, ok, err);
}

bool CGPT::closeDisk(int fd, bool ok, std::string err) {
  if (fd >= 0 && close(fd) != 0 && ok) {
    err = "close " + path_ + ": " + jyx::errnoText(errno);
    ok = false;
  }
  if (ok) return true;
  if (!err.empty()) print("%s\n", err.c_str());
  return fail();
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
// Expand and apply

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

// CGPT image files: extract saves the table and the partitions of a disk
// as image files, create assembles a new disk from them.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "common/byte_order.h"
#include "common/file_util.h"
#include "common/string_format.h"
#include "tools/block_mover.h"
#include "tools/gpt.h"

using namespace gpt;

namespace {

// Partition names end up in file names: refuse the ones that would leave
// the directory or name it.
bool safeFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

// ---------------------------------------------------------------------------
// Extract

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

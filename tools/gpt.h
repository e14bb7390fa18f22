// CGPT: the GPT disk tool, reached as `jyx --release-tool --gpt <options>`.
// It inspects and edits the GUID partition table of a disk image file or a
// block device, grows, adds, extracts and assembles partitions. The whole
// job runs inside the constructor; result() tells whether it succeeded.
#ifndef JYX_TOOLS_GPT_H_
#define JYX_TOOLS_GPT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/console_tool.h"
#include "tools/gpt_table.h"

class CGPT : public CConsoleTool {
 public:
  CGPT(int argc, char** argv);
  ~CGPT() override;

  // 0 when the chosen operation (or the help) completed, 1 after a failure.
  int result() const { return failed_ ? 1 : 0; }

  struct ImageRecord {
    std::string file;
    std::string name;
    std::string typeGuid;
    std::string uniqueGuid;
  };

 protected:
  bool onArgument(const std::string& key, const std::string& value) override;

 private:
  // Options and the choice of operation.

  // Prints the refusal (format takes the offending text), stops the
  // argument walk and marks the run failed; returns false.
  bool stopWith(const char* format, const std::string& text);
  // Options with a numeric value (-s, -a, -w, --swap, --new-<part>,
  // --expand-<part>). False when key is none of them; *accepted turns false
  // when the value is refused.
  bool takeNumberOption(const std::string& key, const std::string& value, bool* accepted);
  // Options that choose the operation: false when key is none of them.
  bool takeModeOption(const std::string& key, const std::string& value);
  // Options that set a path, a partition name or an image record field:
  // false when key is none of them.
  bool takeTextOption(const std::string& key, const std::string& value);
  void runMode();

  // The table on the disk.

  bool isDevice() const { return path_.rfind("/dev/", 0) == 0; }
  bool readGeometry();
  bool loadTable();
  uint64_t totalBlocks() const;
  bool fileHolds(uint64_t totalBlocks);
  bool saveTable(uint64_t totalBlocks, bool mayGrow = false);
  // Copies each move's blocks; `announce` prints a "move data(<name>) ..."
  // line before each.
  bool moveData(const std::vector<gpt::Move>& moves, bool announce = true);
  bool newGuid(const char* command, uint8_t* guid);
  bool fail();

  // The operations.

  bool doDump();
  bool doFix();
  bool doNew();
  bool doExpand();
  bool doApply();
  bool doEnableNewSize();
  bool doExtract();
  bool doCreate();
  bool doUpdate();

  // Expand and apply steps.

  // The non-empty entries as plan parts in table order; refused unless
  // that is also their order on the disk.
  bool partsInDiskOrder(std::vector<gpt::PlanPart>* parts);
  // Inserts, resizes or removes the swap partition in second place as
  // --swap asks.
  bool placeSwapSecond(std::vector<gpt::PlanPart>* parts);
  bool insertSwapEntry(std::vector<gpt::PlanPart>* parts, uint64_t swapBlocks);
  // Blocks to add to each part (-1: a share of the free rest) from the
  // --expand-<part> options. False, with the name printed, for a name no
  // partition has; the caller then restores the entries and fails.
  bool expandGrowth(const std::vector<gpt::PlanPart>& parts, std::vector<int64_t>* grow);
  // Packs the parts from the first one's start, grown, ending before
  // usableEnd, and sets their entries' ranges.
  bool packPartitions(std::vector<gpt::PlanPart>* parts, const std::vector<int64_t>& grow,
                      uint64_t usableEnd);
  // Checks and grows the filesystem of every grown part but swap and EFI.
  bool resizeGrown(const std::vector<gpt::PlanPart>& parts, const std::vector<int64_t>& grow);
  // Apply's swap placement after the boot partition from block *next on:
  // the swap entry takes the swap size (a new one goes into root's slot and
  // root moves one slot on) or, with size 0, root takes its slot. Moves
  // *next past the swap partition. False, with nothing changed, when no
  // free entry follows root for a new swap entry.
  bool placeApplySwap(int root, int swap, uint64_t* next, size_t* rootSlot);
  // Every partition but boot, swap and root ends by the boot partition's
  // last block, so none overlaps the new swap and root ranges.
  bool othersClearOfSwapAndRoot(size_t boot, size_t rootSlot, uint64_t bootLast) const;

  // After a layout change: the swap area, the filesystems and GRUB.

  bool recreateSwap();
  bool checkAndResize(const std::string& grepWord, const std::string& name, uint64_t blocks,
                      bool rootWording);
  // e2fsck, then resize2fs to `mib` MiB, on device (the resize line names
  // root or `name`). False when either failed; *err then holds e2fsck's
  // failure, the resize2fs failure is already printed.
  bool checkAndGrowFs(const std::string& device, const std::string& name, int mib, bool rootWording,
                      std::string* err);
  // The end of a step that worked on the disk through fd (-1: not opened):
  // closes it, and on failure (of the step or of the close) prints `err`
  // when there is one and fails the run.
  bool closeDisk(int fd, bool ok, std::string err);
  bool partitionDevice(const std::string& grepWord, std::string* device, std::string* number);
  // Rewrites GRUB/GRUB.CFG in the first EFI system partition of the disk.
  bool rewriteGrub();
  // Mounts the FAT image file `image`, rewrites its GRUB/GRUB.CFG for
  // `table` and unmounts it again (also after a failed rewrite). False when
  // any step failed; the commands print their reasons.
  bool rewriteGrubInImage(const std::string& image, const gpt::CGptTable& table);
  bool rewriteGrubFile(const std::string& mountDir, const gpt::CGptTable& table);

  // Extract steps.

  // Saves `bytes` bytes (from memory when fromMemory is set, else from fd
  // at `offset`) into `file`, replaced only once complete. False, with the
  // reason printed, on failure.
  bool captureImage(int fd, const std::string& file, uint64_t offset, uint64_t bytes,
                    const uint8_t* fromMemory);
  // The table as partition-table.img: MBR, headers and both arrays.
  bool extractTable();
  // Every partition, or the one --extract-<part> names (*found then set),
  // as <name>.img and its sparse copy <name>_sparse.img.
  bool extractPartitions(int fd, bool* found);
  bool extractPartition(int fd, const uint8_t* entry, const std::string& name);

  // Create steps.

  // The layout of a disk made by create, in image record order.
  struct DiskPlan {
    std::vector<uint64_t> bytes;   // size of each image file
    std::vector<uint64_t> firsts;  // first block of each partition
    int bootImage = -1;            // record of the boot partition
    int rootImage = -1;            // record of the root partition, -1 without one
    uint64_t total = 0;            // blocks of the whole disk
  };
  // Checks every image record and fills its entry: type, unique GUID, name
  // and a range of whole MiB after the previous one from 1 MiB on.
  bool planImages(gpt::CGptTable* table, DiskPlan* plan);
  bool planImage(size_t i, gpt::CGptTable* table, DiskPlan* plan, uint64_t* next);
  // The record names a file and a partition, the file is regular and not
  // empty; *bytes receives its size.
  bool checkImageFile(const ImageRecord& r, uint64_t* bytes);
  // The type GUID follows the partition name (boot, root, swap) or, for any
  // other name, the record's basic or Linux data type GUID.
  bool setImageType(size_t i, uint8_t* entry, DiskPlan* plan);
  // Protective MBR, header fields, a new disk GUID and the CRCs.
  bool startNewTable(gpt::CGptTable* table, uint64_t total);
  // The table, each image at its first block and the backup table, to the
  // device or to a new image file that replaces the old one when complete.
  bool writeDisk(const gpt::CGptTable& table, const DiskPlan& plan);
  // The table alone, as partition-table.img beside the disk.
  bool writeTableFile(const gpt::CGptTable& table);

  std::string mode_;
  std::string path_;
  uint32_t blockSize_ = 512;
  std::string bootName_ = "boot";
  std::string rootName_ = "root";
  std::string dumpName_;
  int swapSizeGiB_ = 0;
  bool swapGiven_ = false;
  int addRootSizeGiB_ = 0;
  std::string newPartName_;
  int64_t newPartSizeGiB_ = 0;
  std::vector<std::pair<std::string, int64_t>> expand_;  // name -> GiB, -1 = auto
  std::map<std::string, std::string> renames_;
  std::vector<std::string> newGuids_;
  std::string extractDir_ = "./";
  std::string extractName_;
  std::vector<ImageRecord> images_;

  uint64_t deviceSectors_ = 0;
  std::unique_ptr<gpt::CGptTable> table_;
  bool stop_ = false;
  bool failed_ = false;
};

#endif  // JYX_TOOLS_GPT_H_

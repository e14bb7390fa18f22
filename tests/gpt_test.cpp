// End-to-end checks of `jyx --release-tool --gpt` on disk images that real
// partitioning tools build and check: sgdisk and fdisk make the inputs,
// sgdisk -v, sfdisk and fdisk judge the results, e2fsprogs the filesystems,
// simg2img the sparse copies and mtools the FAT boot partition.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using jyxtest::has;
using jyxtest::inOrder;

const char* const kRootType = "B921B045-1DF0-41C3-AF44-4C6F280D3FAE";

class GptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // mount/umount stand-ins: vfat cannot be mounted here, so "mounting"
    // copies GRUB/GRUB.CFG out of the FAT image and "unmounting" copies it
    // back, both with mtools.
    ASSERT_TRUE(jyxtest::writeFile(dir_.file("mount"),
                                   "#!/bin/sh\nset -e\nmkdir -p \"$2/GRUB\"\n"
                                   "mcopy -n -o -i \"$1\" ::/GRUB/GRUB.CFG \"$2/GRUB/GRUB.CFG\"\n"
                                   "printf '%s' \"$1\" > \"$2.source\"\n"));
    ASSERT_TRUE(jyxtest::writeFile(dir_.file("umount"),
                                   "#!/bin/sh\nset -e\n"
                                   "mcopy -n -o -i \"$(cat \"$1.source\")\" \"$1/GRUB/GRUB.CFG\" "
                                   "::/GRUB/GRUB.CFG\nrm -rf \"$1\" \"$1.source\"\n"));
    chmod(dir_.file("mount").c_str(), 0755);
    chmod(dir_.file("umount").c_str(), 0755);
  }

  std::string file(const std::string& name) const { return dir_.file(name); }

  // Runs a shell command line in the test directory; fails the test on a
  // non-zero exit.
  std::string sh(const std::string& cmd, int expectCode = 0) {
    int code = -1;
    std::string err;
    std::string out =
        jyxtest::run({"/bin/sh", "-c", "cd '" + dir_.path() + "' && " + cmd}, &code, 120000, &err);
    EXPECT_EQ(expectCode, code) << cmd << "\n" << out << err;
    return out;
  }

  // The GPT tool with the stand-ins first on PATH and scratch files in the
  // test directory.
  std::string gpt(std::vector<std::string> args) {
    std::vector<std::string> argv = {
        "/usr/bin/env",          "PATH=" + dir_.path() + ":" + getenv("PATH"),
        "TMPDIR=" + dir_.path(), jyxtest::binPath("jyx"),
        "--release-tool",        "--gpt"};
    argv.insert(argv.end(), args.begin(), args.end());
    int code = -1;
    std::string out = jyxtest::run(argv, &code, 120000);
    EXPECT_EQ(0, code) << out;
    return out;
  }

  void expectSgdiskClean(const std::string& disk) {
    std::string out = sh("sgdisk -v " + disk);
    EXPECT_TRUE(has(out, "No problems found."));
  }

  // A FAT boot image holding GRUB/GRUB.CFG.
  void makeBootImage(const std::string& name, int mib) {
    sh("truncate -s " + std::to_string(mib) + "M " + name + " && mformat -i " + name +
       " -F :: 2>/dev/null || mformat -i " + name + " ::");
    ASSERT_TRUE(jyxtest::writeFile(file("grub.cfg"),
                                   "set timeout=3\n"
                                   "menuentry 'Linux' {\n"
                                   "  linux /Image root=/dev/sda2 rw resume=/dev/sda3 quiet\n"
                                   "}\n"));
    sh("mmd -i " + name + " ::/GRUB && mcopy -i " + name + " grub.cfg ::/GRUB/GRUB.CFG");
  }

  // An ext4 image holding a few files of known content.
  void makeRootImage(const std::string& name, int mib) {
    sh("mkdir -p rootfs/etc && echo hello > rootfs/etc/hostname && "
       "head -c 300000 /dev/urandom > rootfs/blob && "
       "mkfs.ext4 -q -F -d rootfs " +
       name + " " + std::to_string(mib) + "M");
  }

  // The text after `key` in the sgdisk -i report of partition n (1-based).
  std::string field(const std::string& disk, int n, const std::string& key) {
    std::string out = sh("sgdisk -i " + std::to_string(n) + " " + disk);
    size_t at = out.find(key);
    if (at == std::string::npos) return "";
    size_t end = out.find('\n', at);
    return out.substr(at + key.size(), end - at - key.size());
  }

  // The unique GUID of partition n, in lower case as the tool prints it.
  std::string guid(const std::string& disk, int n) {
    std::string g = field(disk, n, "Partition unique GUID: ");
    for (char& c : g) c = char(tolower(c));
    return g;
  }

  // `size` of disk with boot (8 MiB EFI) and root (16 MiB) partitions made by
  // sgdisk, then `more` appended to the shell command.
  void makeBootRootDisk(const std::string& size, const std::string& more = "") {
    sh("truncate -s " + size +
       " disk.img && sgdisk -n 1:2048:+8M -t 1:ef00 -c 1:boot -n 2:0:+16M -t 2:" +
       std::string(kRootType) + " -c 2:root disk.img >/dev/null" + more);
  }

  // Blocks [first, first + count) of disk.img, through `filter`, equal `file`.
  void expectBlocks(int first, int count, const std::string& file, const std::string& filter = "") {
    sh("dd if=disk.img bs=512 skip=" + std::to_string(first) + " count=" + std::to_string(count) +
       " 2>/dev/null" + filter + " | cmp - " + file);
  }

  // Boot and root images written into their partitions of disk.img.
  static constexpr const char* kFillBootRoot =
      " && dd if=boot.img of=disk.img bs=512 seek=2048 conv=notrunc 2>/dev/null"
      " && dd if=root.img of=disk.img bs=512 seek=18432 conv=notrunc 2>/dev/null";

  void expectRootFilesystemIntact(const std::string& disk, int partition) {
    std::string first = field(disk, partition, "First sector: ");
    std::string offset = std::to_string(std::stoull(first) * 512);
    std::string where = "'" + disk + "?offset=" + offset + "'";
    sh("e2fsck -f -n " + where);
    EXPECT_EQ("hello\n", sh("debugfs -R 'cat /etc/hostname' " + where + " 2>/dev/null"));
    sh("debugfs -R 'dump /blob blob.out' " + where + " 2>/dev/null && cmp blob.out rootfs/blob");
  }

  jyxtest::ScopedTempDir dir_;
};

}  // namespace

TEST_F(GptTest, DumpOfA4096ByteSectorDiskMadeByFdisk) {
  sh("truncate -s 64M d4.img && printf 'g\\nn\\n1\\n\\n+8M\\nt\\n1\\nn\\n2\\n\\n+16M\\n"
     "x\\nn\\n1\\nboot\\nn\\n2\\nroot\\nr\\nw\\n' | fdisk -b 4096 d4.img >/dev/null 2>&1");
  // 256 is raised to 512, which cannot read this table.
  std::string small = gpt({"-f", file("d4.img"), "-s", "256", "--dump"});
  EXPECT_TRUE(has(small, "load gpt image fail.\n"));
  std::string out = gpt({"-f", file("d4.img"), "-s", "4096", "--dump"});
  EXPECT_TRUE(inOrder(
      out, {"[gpt]         backup lba: 16383\n", "[gpt]   firse usable lba: 256\n",
            "[PART 02]            lba: [2304 ~ 6399]\n", "[PART 02]           size: 16384 KiB\n"}));

  // update on 4096-byte sectors: fdisk still reads a consistent table.
  gpt({"-f", file("d4.img"), "-s", "4096", "--update", "--name-root", "rootfs"});
  std::string listed = sh("fdisk -b 4096 -l -o Device,Start,End,Name d4.img 2>&1");
  EXPECT_TRUE(has(listed, "d4.img2     2304  6399 rootfs"));
  EXPECT_FALSE(has(listed, "corrupt"));
}

TEST_F(GptTest, OptionsAndLoadingRefusals) {
  sh("truncate -s 8M one.img && sgdisk -n 1:2048:+1M one.img >/dev/null");
  sh("truncate -s 8M two.img && sgdisk -n 1:2048:+1M -n 2:0:+1M two.img >/dev/null");
  // The first MBR record starting at LBA 2 instead of 1.
  sh("cp two.img lba2.img && printf '\\002' | dd of=lba2.img bs=1 seek=454 conv=notrunc "
     "2>/dev/null");
  struct Case {
    std::vector<std::string> args;
    std::string expect;
  };
  const std::vector<Case> cases = {
      {{"-f", file("two.img")}, "'gpt -h' will help you.\n"},
      {{"-f", file("two.img"), "-s", "1000", "--dump"}, "blocksize(1000) is invalid.\n"},
      {{"-f", file("two.img"), "--bogus"}, "invalid param: --bogus\n"},
      {{"-f", file("two.img"), "-a", "5121"}, "add root size(5121) is invalid.\n"},
      {{"-f", file("two.img"), "-w", "257"}, "set swap size(257) is invalid.\n"},
      {{"-f", file("two.img"), "--expand-root", "lots"}, "add size(lots) is invalid.\n"},
      {{"-f", file("one.img"), "--dump"},
       "load gpt image file: " + file("one.img") +
           ".\nthe partition count(1) must be larger then 1\nload gpt image fail.\n"},
      {{"-f", file("lba2.img"), "--dump"},
       "load gpt image file: " + file("lba2.img") +
           ".\n[mbr]start lba[0]: 2 is not 1\nload gpt image fail.\n"},
      {{"-f", dir_.path(), "--dump"}, "load gpt image file: " + dir_.path() + ".\n"},
      {{"-f", file("two.img"), "--new-data", "0"}, "new partition size(0) must is larger than 0\n"},
  };
  for (const Case& c : cases) {
    std::string out = gpt(c.args);
    EXPECT_TRUE(has(out, c.expect)) << c.args.back() << "\n" << out;
  }
  EXPECT_EQ(0u, gpt({"-h"}).find("    qel-gpt <options ... >\n"));
  EXPECT_TRUE(has(gpt({"-f", file("two.img"), "-s", "256", "--dump"}), "[PART 02]"));
  EXPECT_EQ(0u, gpt({"-f", file("two.img"), "--edit", "x"}).find("load gpt image file"));
}

TEST_F(GptTest, NewAndUpdateLeaveATableSgdiskAccepts) {
  makeBootRootDisk("2G");
  std::string before = field(file("disk.img"), 2, "Partition unique GUID: ");

  std::string out = gpt({"-f", file("disk.img"), "--new-data", "1"});
  EXPECT_TRUE(inOrder(out, {"---gpt info after create the new partition---\n",
                            "save gpt image to device " + file("disk.img") + ".\n"}));
  expectSgdiskClean("disk.img");
  std::string dump = sh("sfdisk --dump disk.img");
  EXPECT_TRUE(has(dump,
                  "disk.img3 : start=       51200, size=     2097152, "
                  "type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"));
  EXPECT_TRUE(has(dump, "name=\"data\""));

  // Too large for the 2 GiB disk.
  out = gpt({"-f", file("disk.img"), "--new-big", "2"});
  EXPECT_TRUE(has(out, "new partition size(2) must is too large\n"));

  gpt({"-f", file("disk.img"), "--update", "--name-data", "vendor", "--uuid-root"});
  expectSgdiskClean("disk.img");
  dump = sh("sfdisk --dump disk.img");
  EXPECT_TRUE(has(dump, "name=\"vendor\""));
  std::string after = field(file("disk.img"), 2, "Partition unique GUID: ");
  EXPECT_EQ(36u, after.size());
  EXPECT_NE(before, after);
}

TEST_F(GptTest, ExtractedPartitionsEqualTheDiskAndTheirSparseCopies) {
  sh("truncate -s 32M disk.img && sgdisk -n 1:2048:+3M -c 1:boot -n 2:0:+5M -c 2:root "
     "disk.img >/dev/null && head -c 5000000 /dev/urandom | "
     "dd of=disk.img bs=512 seek=8192 conv=notrunc 2>/dev/null");
  std::string out = gpt({"-f", file("disk.img"), "--extract", file("out")});
  EXPECT_TRUE(inOrder(out, {"extract gpt to the image " + file("out") + "/partition-table.img\n",
                            "captureImage:" + file("out") + "/root.img, size: 5242880\n"}));
  expectBlocks(8192, 10240, "out/root.img");
  expectBlocks(2048, 6144, "out/boot.img");
  sh("simg2img out/root_sparse.img root.back && cmp root.back out/root.img");
  sh("simg2img out/boot_sparse.img boot.back && cmp boot.back out/boot.img");
  // The saved table alone reads back as the same layout.
  sh("cmp -i 512 -n 512 disk.img out/partition-table.img");
  EXPECT_TRUE(has(gpt({"-f", file("out/partition-table.img"), "--dump"}), "[PART 02]"));

  out = gpt({"-f", file("disk.img"), "--extract-root", file("one")});
  EXPECT_FALSE(has(out, "partition-table"));
  sh("cmp out/root.img one/root.img && test ! -e one/boot.img");
}

TEST_F(GptTest, CreateWritesEachImageAndPointsGrubAtTheNewRoot) {
  makeBootImage("boot.img", 8);
  makeRootImage("root.img", 12);
  sh("head -c 1500000 /dev/urandom > data.bin");
  std::vector<std::string> create = {"-f", file("disk.img"), "--create"};
  for (const char* name : {"boot.img", "swap.bin", "root.img", "data.bin"}) {
    std::string label(name, 4);
    create.insert(create.end(), {"--image-file", file(name), "--image-name", label});
  }
  create.insert(create.end(), {"--image-type-uuid", "0fc63daf-8483-4772-8e79-3d69d8477de4"});
  std::string out = gpt(create);
  // swap.bin does not exist yet: refused before anything is written.
  EXPECT_TRUE(has(out, "swap.bin"));
  EXPECT_NE(0, system(("test -e '" + file("disk.img") + "'").c_str()));
  sh("truncate -s 2M swap.bin && mkswap swap.bin >/dev/null");
  out = gpt(create);
  EXPECT_TRUE(
      inOrder(out, {"update grub.cfg.\n", "image file " + file("disk.img") + " is created.\n"}));
  expectSgdiskClean("disk.img");
  std::string dump = sh("sfdisk --dump disk.img");
  // 1 MiB gap, then 8 + 2 + 12 + 2 MiB, then 33 blocks of backup table.
  EXPECT_TRUE(has(dump, "last-lba: 51199"));
  EXPECT_TRUE(has(dump,
                  "disk.img1 : start=        2048, size=       16384, "
                  "type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B"));
  EXPECT_TRUE(has(dump,
                  "disk.img4 : start=       47104, size=        4096, "
                  "type=0FC63DAF-8483-4772-8E79-3D69D8477DE4"));
  expectBlocks(22528, 24576, "root.img");
  expectBlocks(47104, 2930, "data.bin", " | head -c 1500000");
  expectBlocks(2048, 16384, "boot.img");
  // The GRUB configuration inside the boot partition names the new table's
  // root and swap partitions.
  std::string cfg = sh("mtype -i boot.img ::/GRUB/GRUB.CFG");
  std::string root = guid("disk.img", 3), swap = guid("disk.img", 2);
  EXPECT_TRUE(has(cfg, "  linux /Image resume=PARTUUID=" + swap +
                           " noresume root=PARTUUID=" + root + " rw quiet\n"));
  EXPECT_TRUE(jyxtest::readFile(file("partition-table.img")).size() == 67 * 512);
}

TEST_F(GptTest, FixRewritesTheGrubConfigurationOfTheEfiPartition) {
  makeBootImage("boot.img", 8);
  sh("truncate -s 64M disk.img && sgdisk -n 1:2048:+8M -t 1:ef00 -c 1:boot "
     "-n 2:0:+16M -t 2:" +
     std::string(kRootType) +
     " -c 2:root "
     "-n 3:0:+8M -t 3:" +
     std::string(kRootType) +
     " -c 3:root_b disk.img >/dev/null && "
     "dd if=boot.img of=disk.img bs=512 seek=2048 conv=notrunc 2>/dev/null");
  ASSERT_TRUE(
      jyxtest::writeFile(file("grub.cfg"),
                         "menuentry 'A' {\n linux /Image root=/dev/sda2\n}\n"
                         "menuentry 'B on root_b' {\n linux /Image root=/dev/sda3 noresume \n}\n"));
  sh("mcopy -o -i 'disk.img@@1048576' grub.cfg ::/GRUB/GRUB.CFG");
  std::string out = gpt({"-f", file("disk.img"), "--fix"});
  std::string root = guid("disk.img", 2), rootB = guid("disk.img", 3);
  EXPECT_TRUE(inOrder(out, {"default root uuid: " + root + "\n", "line count: 6 in file("}));
  EXPECT_EQ("menuentry 'A' {\n linux /Image root=PARTUUID=" + root +
                " \n}\n"
                "menuentry 'B on root_b' {\n linux /Image root=PARTUUID=" +
                rootB + " \n}\n",
            sh("mtype -i 'disk.img@@1048576' ::/GRUB/GRUB.CFG"));
  expectSgdiskClean("disk.img");
  EXPECT_FALSE(has(jyxtest::readFile(file("disk.img")), "qel_boot"));

  // An EFI system partition cut off by the end of the file: the copy out
  // fails, and no scratch image stays behind.
  sh("truncate -s 64M cut.img && sgdisk -n 1:2048:+8M -n 2:0:+8M -t 2:ef00 cut.img >/dev/null && "
     "truncate -s 12M cut.img");
  EXPECT_TRUE(has(gpt({"-f", file("cut.img"), "--fix"}), "passes the end of the file\n"));
  EXPECT_NE(0, access(file("qel_boot.img").c_str(), F_OK));

  // Without an EFI system partition there is nothing to rewrite.
  sh("truncate -s 8M plain.img && sgdisk -n 1:2048:+1M -n 2:0:+1M plain.img >/dev/null");
  EXPECT_TRUE(has(gpt({"-f", file("plain.img"), "--fix"}), "boot partition does not exist.\n"));
}

TEST_F(GptTest, DumpApplyAndExpandOnBootRootDisksSgdiskMade) {
  makeBootImage("boot.img", 8);
  makeRootImage("root.img", 16);
  makeBootRootDisk("64M", kFillBootRoot);
  std::string out = gpt({"-f", file("disk.img"), "--dump"});
  EXPECT_EQ(0u, out.find("load gpt image file: " + file("disk.img") + ".\n")) << out;
  EXPECT_TRUE(inOrder(
      out,
      {"[gpt]         backup lba: 131071\n", "[PART 01]           name: boot\n",
       "[PART 01]      type guid: c12a7328-f81f-11d2-ba4b-00a0c93ec93b\n",
       "[PART 02]      part guid: " + guid("disk.img", 2) + "\n",
       "[PART 02]            lba: [18432 ~ 51199]\n", "[PART 02]           size: 16384 KiB\n"}));

  std::string one = gpt({"-f", file("disk.img"), "--dump", "root"});
  EXPECT_FALSE(has(one, "[PART 01]"));
  EXPECT_TRUE(has(one, "[PART 02]           name: root\n"));

  out = gpt({"-f", file("disk.img"), "-w", "1"});
  EXPECT_TRUE(has(out,
                  "move data from 18432 to 2115584 with blocks(32768).\n"
                  "move data from the end: 0%\n"));
  EXPECT_TRUE(has(out, "resize root: device("));
  expectSgdiskClean("disk.img");
  std::string dump = sh("sfdisk --dump disk.img");
  EXPECT_TRUE(has(dump,
                  "disk.img2 : start=       18432, size=     2097152, "
                  "type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"));
  EXPECT_TRUE(has(dump,
                  "disk.img3 : start=     2115584, size=       32768, "
                  "type=B921B045-1DF0-41C3-AF44-4C6F280D3FAE"));
  // Root's last block + 33 blocks of backup table.
  EXPECT_EQ(std::to_string((2115584ull + 32768 + 33) * 512),
            sh("stat -c %s disk.img").substr(0, 10));
  expectRootFilesystemIntact("disk.img", 3);
  EXPECT_TRUE(has(sh("mtype -i 'disk.img@@1048576' ::/GRUB/GRUB.CFG"),
                  "resume=PARTUUID=fe1d0e7f-2292-dfb3-16ae-53a68ee613b6 "
                  "noresume root=PARTUUID="));

  // Expand on a larger disk: swap inserted, root grown to the end.
  sh("rm disk.img");
  makeBootRootDisk("1100M", kFillBootRoot);
  out = gpt({"-f", file("disk.img"), "--swap", "1", "--expand-root", "auto"});
  EXPECT_TRUE(inOrder(out, {"---gpt info before expand size---\n",
                            "move data(root) from 18432 to 2115584 with blocks(32768).\n",
                            "move data from the end: 100%\n", "update grub.cfg.\n"}));
  expectSgdiskClean("disk.img");
  dump = sh("sfdisk --dump disk.img");
  EXPECT_TRUE(has(dump,
                  "disk.img2 : start=       18432, size=     2097152, "
                  "type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F, "
                  "uuid=FE1D0E7F-2292-DFB3-16AE-53A68EE613B6, name=\"swap\""));
  // Root fills the rest of the disk: 2252800 - 33 - 2115584 blocks.
  EXPECT_TRUE(has(dump, "disk.img3 : start=     2115584, size=      137183"));
  expectRootFilesystemIntact("disk.img", 3);
  std::string blocks =
      sh("dumpe2fs -h 'disk.img?offset=1083179008' 2>/dev/null | grep 'Block count'");
  EXPECT_TRUE(has(blocks, "67584"));  // 66 MiB in 1 KiB blocks
  EXPECT_TRUE(has(sh("blkid -p -O 9437184 -o value -s TYPE disk.img"), "swap"));

  // Then apply: drop the swap again and grow root by 1 GiB; the disk file
  // ends where the new backup table ends.
  out = gpt({"-f", file("disk.img"), "-w", "0", "-a", "1"});
  EXPECT_TRUE(has(out,
                  "move data from 2115584 to 18432 with blocks(137183).\n"
                  "move data from the front: 0%\n"));
  expectSgdiskClean("disk.img");
  dump = sh("sfdisk --dump disk.img");
  EXPECT_TRUE(has(dump, "disk.img2 : start=       18432, size=     2234335"));
  EXPECT_FALSE(has(dump, "disk.img3"));
  expectRootFilesystemIntact("disk.img", 2);
  std::string cfg = sh("mtype -i 'disk.img@@1048576' ::/GRUB/GRUB.CFG");
  EXPECT_FALSE(has(cfg, "resume="));
  EXPECT_TRUE(has(cfg, "root=PARTUUID=" + guid("disk.img", 2) + " rw quiet"));
}

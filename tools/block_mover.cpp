#include "tools/block_mover.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/string_format.h"
#include "tools/gpt_format.h"

namespace gpt {

bool readFull(int fd, void* buf, size_t len, uint64_t offset, std::string* err) {
  uint8_t* p = static_cast<uint8_t*>(buf);
  while (len > 0) {
    ssize_t n = pread(fd, p, len, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *err = jyx::stringFormat("read at byte %llu failed: %s", (unsigned long long)offset,
                               jyx::errnoText(errno).c_str());
      return false;
    }
    if (n == 0) {
      *err = jyx::stringFormat("read at byte %llu passes the end of the file",
                               (unsigned long long)offset);
      return false;
    }
    p += n;
    len -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}

bool writeFull(int fd, const void* buf, size_t len, uint64_t offset, std::string* err) {
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  while (len > 0) {
    ssize_t n = pwrite(fd, p, len, off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *err = jyx::stringFormat("write at byte %llu failed: %s", (unsigned long long)offset,
                               n < 0 ? jyx::errnoText(errno).c_str() : "nothing written");
      return false;
    }
    p += n;
    len -= size_t(n);
    offset += uint64_t(n);
  }
  return true;
}

bool moveBlocks(int fd, uint64_t blockSize, uint64_t from, uint64_t to, uint64_t blocks,
                const std::function<void(const std::string&)>& progress, std::string* err) {
  if (blockSize == 0 || blocks > (UINT64_MAX / 2) / blockSize ||
      from > (UINT64_MAX / 2) / blockSize || to > (UINT64_MAX / 2) / blockSize) {
    *err = "move range out of bounds";
    return false;
  }
  const uint64_t total = blocks * blockSize;
  const uint64_t src = from * blockSize;
  const uint64_t dst = to * blockSize;
  const bool backwards = dst > src;
  const std::string prefix = backwards ? "move data from the end: " : "move data from the front: ";
  // Page-aligned, like dd's buffer, so the kernel copies whole pages.
  std::unique_ptr<uint8_t, decltype(&free)> mem(
      static_cast<uint8_t*>(aligned_alloc(4096, kChunkSize)), &free);
  if (!mem) {
    *err = "out of memory for the copy buffer";
    return false;
  }
  uint8_t* const chunk = mem.get();
  progress(prefix + "0%\n");
  uint64_t done = 0;
  uint64_t tens = 0;
  while (done < total) {
    uint64_t n = std::min<uint64_t>(kChunkSize, total - done);
    // Backwards: the chunk that ends where the part not yet copied ends.
    uint64_t offset = backwards ? total - done - n : done;
    if (!readFull(fd, chunk, size_t(n), src + offset, err)) return false;
    if (!writeFull(fd, chunk, size_t(n), dst + offset, err)) return false;
    done += n;
    uint64_t now = uint64_t((unsigned __int128)done * 10 / total);
    if (now != tens) {
      tens = now;
      progress(jyx::stringFormat("%s%d%%\n", prefix.c_str(), int(tens * 10)));
    }
  }
  return true;
}

bool copyBytes(int fd, uint64_t from, int outFd, uint64_t to, uint64_t bytes, std::string* err) {
  std::vector<uint8_t> buf(kChunkSize);
  for (uint64_t done = 0; done < bytes;) {
    size_t n = size_t(std::min<uint64_t>(kChunkSize, bytes - done));
    if (!readFull(fd, buf.data(), n, from + done, err)) return false;
    if (!writeFull(outFd, buf.data(), n, to + done, err)) return false;
    done += n;
  }
  return true;
}

bool copyChangedChunks(int fd, uint64_t from, int outFd, uint64_t to, uint64_t bytes,
                       std::string* err) {
  std::vector<uint8_t> buf(kChunkSize);
  std::vector<uint8_t> old(kChunkSize);
  for (uint64_t done = 0; done < bytes;) {
    size_t n = size_t(std::min<uint64_t>(kChunkSize, bytes - done));
    if (!readFull(fd, buf.data(), n, from + done, err)) return false;
    if (!readFull(outFd, old.data(), n, to + done, err)) return false;
    if (memcmp(buf.data(), old.data(), n) != 0 && !writeFull(outFd, buf.data(), n, to + done, err))
      return false;
    done += n;
  }
  return true;
}

}  // namespace gpt

// Bulk moves of partition data inside one disk or image file.
#ifndef JYX_TOOLS_BLOCK_MOVER_H_
#define JYX_TOOLS_BLOCK_MOVER_H_

#include <cstdint>
#include <functional>
#include <string>

namespace gpt {

// Copies `blocks` blocks of blockSize bytes from block `from` to block `to`
// of the open descriptor fd in 1 MiB chunks. Overlapping ranges are safe:
// when the destination lies after the source the copy runs from the end
// backwards ("move data from the end: "), otherwise from the front ("move
// data from the front: "). `progress` receives "0%" first and then a line
// each time the tens of the percentage done change, every line with its
// prefix and a line end. A short read (the source passes the end of the
// file) or a failed write ends the copy: false with *err set.
bool moveBlocks(int fd, uint64_t blockSize, uint64_t from, uint64_t to, uint64_t blocks,
                const std::function<void(const std::string&)>& progress, std::string* err);

// Copies `bytes` bytes at byte offset `from` of fd to byte offset `to` of
// outFd (the same descriptor or another file), in 1 MiB chunks, front to
// back. The ranges must not overlap.
bool copyBytes(int fd, uint64_t from, int outFd, uint64_t to, uint64_t bytes, std::string* err);

// Like copyBytes, but writes only the chunks whose bytes differ from what
// the destination holds, so that copying into a sparse file keeps its holes
// and copying back touches only what changed.
bool copyChangedChunks(int fd, uint64_t from, int outFd, uint64_t to, uint64_t bytes,
                       std::string* err);

// Whole-buffer pread/pwrite that retry after EINTR and short transfers.
// readFull reports a short read (end of file) as a failure.
bool readFull(int fd, void* buf, size_t len, uint64_t offset, std::string* err);
bool writeFull(int fd, const void* buf, size_t len, uint64_t offset, std::string* err);

}  // namespace gpt

#endif  // JYX_TOOLS_BLOCK_MOVER_H_

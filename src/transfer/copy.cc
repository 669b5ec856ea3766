#include "transfer/copy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace discshell {
namespace {

constexpr std::int64_t kChunk = 1 << 20;  // 1 MiB: bounded memory, few system calls

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t put = ::write(fd, data, size);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return true;
}

// In-kernel copy. Returns when done, at the end of the input, or when the
// kernel declines; the caller finishes with the buffered loop, which tells a
// read failure from a write failure.
void copyInKernel(int inputFd, std::int64_t inputPosition, std::int64_t length, int outputFd,
                  CopyResult& result) {
  off_t position = static_cast<off_t>(inputPosition);
  while (result.copied < length) {
    const auto want = static_cast<std::size_t>(std::min(length - result.copied, kChunk * 64));
    const ssize_t moved = ::copy_file_range(inputFd, &position, outputFd, nullptr, want, 0);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) return;
    result.copied += moved;
  }
}

void copyThroughBuffer(int inputFd, std::int64_t inputPosition, std::int64_t length,
                       const ByteSink& sink, CopyResult& result) {
  std::vector<unsigned char> buffer(
      static_cast<std::size_t>(std::min(length - result.copied, kChunk)));
  while (result.copied < length) {
    const auto want = static_cast<std::size_t>(std::min(length - result.copied, kChunk));
    const ssize_t got =
        ::pread(inputFd, buffer.data(), want, static_cast<off_t>(inputPosition + result.copied));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    if (!sink(buffer.data(), static_cast<std::size_t>(got))) {
      result.writeFailed = true;
      return;
    }
    result.copied += got;
  }
}

}  // namespace

CopyResult copyBytes(int inputFd, std::int64_t inputPosition, std::int64_t length, int outputFd) {
  CopyResult result;
  if (inputPosition < 0 || length <= 0) return result;
  copyInKernel(inputFd, inputPosition, length, outputFd, result);
  if (result.copied < length) {
    copyThroughBuffer(
        inputFd, inputPosition, length,
        [outputFd](const unsigned char* data, std::size_t size) {
          return writeAll(outputFd, data, size);
        },
        result);
  }
  return result;
}

bool copyExactly(int inputFd, std::int64_t inputPosition, std::int64_t length, int outputFd) {
  if (length == 0) return true;
  const CopyResult copy = copyBytes(inputFd, inputPosition, length, outputFd);
  return !copy.writeFailed && copy.copied == length;
}

CopyResult copyBytes(int inputFd, std::int64_t inputPosition, std::int64_t length,
                     const ByteSink& sink) {
  CopyResult result;
  if (inputPosition < 0 || length <= 0) return result;
  copyThroughBuffer(inputFd, inputPosition, length, sink, result);
  return result;
}

}  // namespace discshell

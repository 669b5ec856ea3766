#include "bytes/copy.h"

#include <algorithm>
#include <vector>

#include "bytes/progress.h"

namespace discshell {
namespace {

// The buffer that goes round where the kernel does not copy: 1 MiB between
// files, few system calls; 64 KiB into a sink (p, m), which works on each
// piece while it is still in the processor's cache (and keeps m's peak,
// which libcrypto's pages already make about 8 MiB, 200 KiB lower).
constexpr std::int64_t kFileChunk = 1 << 20;
constexpr std::int64_t kSinkChunk = 1 << 16;
// The kernel copies this much between two reports of progress.
constexpr std::int64_t kKernelPiece = std::int64_t{1} << 26;

// The kernel's copy, piece by piece; returns how many bytes it copied.
std::int64_t copyInKernelPieces(const platform::File& input, std::int64_t inputPosition,
                                std::int64_t length, platform::File& output,
                                std::int64_t outputPosition) {
  std::int64_t copied = 0;
  while (copied < length) {
    const std::int64_t want = std::min(length - copied, kKernelPiece);
    const std::int64_t moved = platform::copyInKernel(input, inputPosition + copied, output,
                                                      outputPosition + copied, want);
    reportProgress(moved);
    copied += moved;
    if (moved < want) break;
  }
  return copied;
}

// Reads on from where `result` stands, handing each piece to `sink`; a read
// that brings nothing ends the copy, a sink that refuses fails it.
void copyThroughBuffer(const platform::File& input, std::int64_t inputPosition, std::int64_t length,
                       std::int64_t chunk, const ByteSink& sink, CopyResult& result) {
  std::vector<unsigned char> buffer(
      static_cast<std::size_t>(std::min(length - result.copied, chunk)));
  while (result.copied < length) {
    const auto want = static_cast<std::size_t>(std::min(length - result.copied, chunk));
    const std::size_t got = input.readAt(inputPosition + result.copied, {buffer.data(), want});
    if (got == 0) return;
    if (!sink(buffer.data(), got)) {
      result.writeFailed = true;
      return;
    }
    result.copied += static_cast<std::int64_t>(got);
    reportProgress(static_cast<std::int64_t>(got));
  }
}

}  // namespace

bool kernelCopyPays(std::int64_t inputPosition, std::int64_t outputPosition,
                    std::int64_t alignment) {
  return alignment > 0 && inputPosition % alignment == outputPosition % alignment;
}

CopyResult copyBytes(const platform::File& input, std::int64_t inputPosition, std::int64_t length,
                     platform::File& output, std::int64_t outputPosition, const CopyWay& way) {
  CopyResult result;
  if (inputPosition < 0 || length <= 0 || outputPosition < 0) return result;
  // The kernel's copy first where it is fast; where it declines or stops,
  // the buffered loop finishes, and tells a read failure from a write failure.
  const bool kernelFirst =
      way.start == CopyWay::Start::kKernelFirst ||
      (way.start == CopyWay::Start::kByAlignment &&
       kernelCopyPays(inputPosition, outputPosition, platform::kernelCopyAlignment(output)));
  if (kernelFirst) {
    result.copied = copyInKernelPieces(input, inputPosition, std::min(length, way.kernelLimit),
                                       output, outputPosition);
  }
  if (result.copied < length) {
    copyThroughBuffer(
        input, inputPosition, length, kFileChunk,
        [&](const unsigned char* data, std::size_t size) {
          return output.writeAt(outputPosition + result.copied, {data, size});
        },
        result);
  }
  if (result.writeFailed) result.writeError = output.writeError();
  return result;
}

bool copyExactly(const platform::File& input, std::int64_t inputPosition, std::int64_t length,
                 platform::File& output, std::int64_t outputPosition) {
  if (length == 0) return true;
  const CopyResult copy = copyBytes(input, inputPosition, length, output, outputPosition);
  return !copy.writeFailed && copy.copied == length;
}

CopyResult copyWholeFile(const platform::File& input, std::int64_t length, platform::File& output) {
  if (length > 0 && platform::cloneWholeFile(input, output)) {
    reportProgress(length);
    return {length, false};
  }
  return copyBytes(input, 0, length, output, 0);
}

CopyResult copyBytes(const platform::File& input, std::int64_t inputPosition, std::int64_t length,
                     const ByteSink& sink) {
  CopyResult result;
  if (inputPosition < 0 || length <= 0) return result;
  copyThroughBuffer(input, inputPosition, length, kSinkChunk, sink, result);
  return result;
}

}  // namespace discshell

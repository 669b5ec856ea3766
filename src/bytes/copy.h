// Room src/bytes/: stretches of open files, moved, compared and searched in
// bounded pieces: the one copy loop, the one byte comparison, the one byte
// search, and the progress counter they report to. The local side
// (extraction), the writers of an output and the comparison of two volumes
// use them, so they sit below all three. May include platform/ only.
//
// The one bounded copy loop that extraction, print and the image writers share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/platform.h"

namespace discshell {

struct CopyResult {
  std::int64_t copied = 0;             ///< bytes read from the input and written out
  bool writeFailed = false;            ///< the output refused a write (disk full, EFBIG, EIO)
  platform::ErrorCode writeError = 0;  ///< why, where the output is a file
};

/// Takes a piece of the copy whole, or says it could not.
using ByteSink = std::function<bool(const unsigned char* data, std::size_t size)>;

/// Copies up to `length` bytes read at `inputPosition` of `input` to
/// `output` at `outputPosition`. Stops early, without error, where the input
/// ends or cannot be read; only bytes that were read are ever written.
/// Memory stays bounded: the kernel copies where that is fast (see
/// `kernelCopyPays`), otherwise a fixed buffer goes round. A negative
/// position or length copies nothing.
/// How copyBytes copies between two files. By default the positions
/// choose; tests take each way on purpose.
struct CopyWay {
  enum class Start {
    kByAlignment,  ///< the kernel where `kernelCopyPays`, else the buffer
    kKernelFirst,  ///< the kernel, then the buffer for whatever it leaves
    kBufferOnly,   ///< the buffer alone
  };
  Start start = Start::kByAlignment;
  /// The most bytes the kernel copies in one call (tests stop it part-way).
  std::int64_t kernelLimit = INT64_MAX;
};

[[nodiscard]] CopyResult copyBytes(const platform::File& input, std::int64_t inputPosition,
                                   std::int64_t length, platform::File& output,
                                   std::int64_t outputPosition, const CopyWay& way = {});

/// Whether the kernel's copy from `inputPosition` to `outputPosition` runs
/// at full speed: the two positions agree modulo `alignment` (0: the kernel
/// does not copy). Where they do not, the kernel copies through the page
/// cache a second time and a buffer going round is faster.
[[nodiscard]] bool kernelCopyPays(std::int64_t inputPosition, std::int64_t outputPosition,
                                  std::int64_t alignment);

/// Copies exactly `length` bytes as above; false when fewer could be copied.
[[nodiscard]] bool copyExactly(const platform::File& input, std::int64_t inputPosition,
                               std::int64_t length, platform::File& output,
                               std::int64_t outputPosition);

/// Makes the empty `output` a copy of `input`, whose length is `length`:
/// sharing its blocks where the file system can (then the copy costs next to
/// nothing), copying them otherwise.
[[nodiscard]] CopyResult copyWholeFile(const platform::File& input, std::int64_t length,
                                       platform::File& output);

/// The same through the fixed buffer, handing each piece to `sink`.
[[nodiscard]] CopyResult copyBytes(const platform::File& input, std::int64_t inputPosition,
                                   std::int64_t length, const ByteSink& sink);

}  // namespace discshell

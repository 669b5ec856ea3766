// --patch: instead of the patched image, a VCDIFF delta (RFC 3284) that
// turns the image into it, written straight from the write's description:
// the stretches taken from the image become COPYs, the zeros behind the
// image's end RUNs, and the bytes written ADDs, except where a local file or
// a re-packed directory shares bytes with those it replaces (its
// ReplacedBytes, found by delta_match.h): those are COPYs of them, wherever
// they lie in the image. A stretch written a second time in one window (a
// further copy, a new file of the same bytes as another) is a COPY of the
// window's own target. The two images are never compared.
//
// The delta has the plain header (no secondary compressor, no code table of
// its own, so the default one, with its cache of COPY addresses) and windows
// of at most 8 MiB of target, each naming the stretch of the image its
// COPYs read. An ADD's data is copied from its local file into the delta, so
// memory stays bounded whatever the sizes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "output/image_writer.h"
#include "output/output_file.h"
#include "platform/platform.h"
#include "volume/image_file.h"

namespace discshell {

/// The most target bytes one window describes: a decoder holds one window.
inline constexpr std::int64_t kPatchWindowTarget = std::int64_t{8} << 20;

struct PatchResult {
  WriteResult write;      ///< kWritten, or what went wrong, as for the image
  std::int64_t size = 0;  ///< the delta's length in bytes, once written
};

/// Writes into the empty file `out` a delta that turns `image`, of
/// `imageLength` bytes, into what writeChangedImage would write for
/// `changes`. Each local file must still be as the plan read it while its
/// bytes are copied. A few image bytes in front of a local file's may be
/// carried in the delta, so that the file's bytes land where the kernel
/// copies them at full speed.
[[nodiscard]] PatchResult encodeChanges(const platform::File& image, std::int64_t imageLength,
                                        const ImageChanges& changes, const LocalFileOpener& open,
                                        platform::File& out);

/// The output refusals for a delta: it is the image, or something other
/// than a regular file stands at its name.
[[nodiscard]] bool patchOutputRefused(const OutputFile& output, const ImageFile& image);

/// Writes the delta at `place`, built nameless and put in place whole, with the
/// output's refusals (never the image, never over anything but a regular
/// file): the delta for `changes`, whose local files `open` opens.
[[nodiscard]] PatchResult writeChangesPatch(const ImageFile& image, const LocalFileOpener& open,
                                            const ImageChanges& changes, const OutputPlace& place);

/// The last line of a command that wrote a delta.
[[nodiscard]] std::string patchWrittenMessage(const std::string& patchPath, std::int64_t size);

}  // namespace discshell

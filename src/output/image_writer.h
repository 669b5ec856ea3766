// Room src/output/: making an output: the nameless output file and its
// refusals, the patched image written whole, the VCDIFF delta of the same
// changes (with the search for the bytes each write replaces), w's
// replacement of one entry, and the map of k and --map. The writers take
// the changes as ImageChanges and open local files through the caller's
// LocalFileOpener; they know nothing of plans or local names. May include
// platform/, bytes/ and volume/.
//
// Writing the output of u and r: the whole image first, in one copy (a
// clone where the file system can), then every change over it, in a file
// that appears under its name only once complete.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "output/output_file.h"
#include "platform/platform.h"
#include "volume/image_file.h"

namespace discshell {

/// Opens a local file of the changes, by the path its LocalWrite gives (the
/// local side's `filesBelow`).
using LocalFileOpener = std::function<std::optional<platform::File>(const std::string& path)>;

/// Where the bytes that a write replaces lie in the image: the first byte
/// of each copy (sorted), each `length` bytes long. None for a new entry. A
/// delta then carries only what the write changes in them.
struct ReplacedBytes {
  std::vector<std::int64_t> positions;
  std::int64_t length = 0;
};

/// A local file written at each of `positions` (sorted).
struct LocalWrite {
  std::string path;             ///< below the local top, as x names local files
  platform::FileStatus status;  ///< as it was when the plan read it
  std::int64_t length = 0;
  std::vector<std::int64_t> positions;
  ReplacedBytes replaced;  ///< the entry's data the file takes the place of
};

/// A LocalWrite as a writer reads it, wherever it is kept.
struct LocalWriteView {
  std::string path;  ///< made as asked: an added file's is built from its parents
  const platform::FileStatus& status;
  std::int64_t length;
  std::span<const std::int64_t> positions;
  const ReplacedBytes& replaced;
};

/// Local files kept by whoever planned them, handed out one at a time: an
/// i of 100,000 files has them in its pending list already, and a second
/// list of them would double what a write holds.
class LocalWriteSource {
 public:
  virtual ~LocalWriteSource() = default;
  [[nodiscard]] virtual std::size_t size() const = 0;
  /// Valid while the source is, and its keeper unchanged.
  [[nodiscard]] virtual LocalWriteView at(std::size_t index) const = 0;
};

/// The local files of an output: those held here, then those of `kept`.
class LocalWrites {
 public:
  LocalWrites() = default;
  LocalWrites(std::initializer_list<LocalWrite> writes) : held(writes) {}

  [[nodiscard]] std::size_t size() const { return held.size() + (kept ? kept->size() : 0); }
  [[nodiscard]] LocalWriteView operator[](std::size_t index) const {
    if (index >= held.size()) return kept->at(index - held.size());
    const LocalWrite& write = held[index];
    return {write.path, write.status, write.length, write.positions, write.replaced};
  }

  class Iterator {
   public:
    Iterator(const LocalWrites& writes, std::size_t index) : writes_(&writes), index_(index) {}
    LocalWriteView operator*() const { return (*writes_)[index_]; }
    Iterator& operator++() {
      ++index_;
      return *this;
    }
    bool operator==(const Iterator&) const = default;

   private:
    const LocalWrites* writes_;
    std::size_t index_;
  };
  [[nodiscard]] Iterator begin() const { return {*this, 0}; }
  [[nodiscard]] Iterator end() const { return {*this, size()}; }

  std::vector<LocalWrite> held;
  std::shared_ptr<const LocalWriteSource> kept;
};

/// Bytes of the volume's own: a record, a header field.
struct ByteWrite {
  std::int64_t position = 0;
  std::string bytes;
};

/// Bytes made as they are written, front to back: a directory re-packed
/// from a walk of the image, too large to be held whole.
class ByteStream {
 public:
  virtual ~ByteStream() = default;
  /// Fills the front of `out` with the next bytes; returns how many: fewer
  /// than `out.size()` only at the end. No value when the bytes cannot be
  /// made (the image cannot be read, or they would not be what was planned).
  [[nodiscard]] virtual std::optional<std::size_t> read(std::span<unsigned char> out) = 0;
};

/// The bytes of one stream written at each of `positions` (sorted), every
/// copy the same. `open` starts the stream afresh from its first byte, as
/// often as a writer needs it.
struct StreamWrite {
  std::vector<std::int64_t> positions;
  std::int64_t length = 0;
  std::function<std::unique_ptr<ByteStream>()> open;
  ReplacedBytes replaced;  ///< the directory it re-packs, where it stood
};

struct ImageChanges {
  LocalWrites files;
  std::vector<ByteWrite> bytes;
  std::vector<StreamWrite> streams;
  /// The output's length: the image's, or more where data goes behind it.
  /// Whatever lies between the image's end and it, and is not written, is zeros.
  std::int64_t length = 0;
};

enum class WriteOutcome { kWritten, kLocalFileChanged, kFailed };

struct WriteResult {
  WriteOutcome outcome = WriteOutcome::kFailed;
  std::string path;               ///< the local file that changed
  platform::ErrorCode error = 0;  ///< why the output could not be written, where the system said
};

/// Writes the output: the image with `changes` over it. Each local file
/// must still be as the plan read it, before and after its bytes are copied;
/// otherwise, as on any failure, nothing is put in place and an earlier
/// output stays as it was. Only a regular file, or nothing, at the output's
/// name is replaced.
[[nodiscard]] WriteResult writeChangedImage(const ImageFile& image, const LocalFileOpener& open,
                                            const ImageChanges& changes, const OutputPlace& output);

}  // namespace discshell

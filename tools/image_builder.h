// Builds volume images byte by byte, for the tests, the fuzzer's seeds, the
// benchmark and the demo. It uses the same layout constants as the reader,
// and can also write what no sound volume holds, for damaged-image tests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace discshell::tools {

struct EntrySpec {
  std::string name;           ///< raw bytes, up to 32 (NUL padded)
  std::string type = "FILE";  ///< raw bytes, up to 4 (NUL padded)
  std::int32_t byteCount = 0;
  std::int32_t startBlock = 0;
  std::int32_t lastCopyIndex = 0;
  std::int32_t flags = 1;  ///< 0 would end the directory
};

class ImageBuilder {
 public:
  /// The volume starts at `volumeOffset`; the bytes in front of it are
  /// `prefixByte`, so tests can tell them apart from the volume's own.
  explicit ImageBuilder(std::int32_t blockSize, std::int32_t volumeOffset = 0,
                        unsigned char prefixByte = 0xEE);

  /// Writes the three header fields the tool reads.
  void header(std::int32_t blockCount, std::int32_t rootBlock);
  void header(std::int32_t blockSize, std::int32_t blockCount, std::int32_t rootBlock);

  /// Lays `entries` out from `firstBlock` on exactly as a walk reads them:
  /// `blockCount` consecutive blocks whose headers say whether another
  /// follows; an entry goes to the next block when fewer than 72 bytes would
  /// remain behind the one before it. In the last block entries simply follow
  /// one another, even across a block boundary. Ends with a flags word of 0.
  /// Returns the file position of each entry.
  std::vector<std::int64_t> directory(std::int32_t firstBlock,
                                      const std::vector<EntrySpec>& entries,
                                      std::int32_t blockCount = 1);

  void entryAt(std::int64_t position, const EntrySpec& entry);
  /// Writes the blocks of an entry's copies 1, 2, ... behind its start block.
  void furtherCopies(std::int64_t entryPosition, const std::vector<std::int32_t>& blocks);
  /// Writes the root's last copy index and the blocks of its copies 1, 2, ...
  void rootCopies(const std::vector<std::int32_t>& blocks);
  void blockHeaderAt(std::int64_t position, std::int32_t nextBlock);
  void data(std::int32_t block, std::string_view bytes);
  void poke(std::int64_t position, std::string_view bytes);
  void poke32(std::int64_t position, std::int32_t value);
  /// Makes the image at least this long (zero bytes), or cuts it to it.
  void resize(std::int64_t length);

  [[nodiscard]] std::int64_t blockPosition(std::int32_t block) const;
  [[nodiscard]] const std::vector<unsigned char>& bytes() const { return bytes_; }
  /// Writes the image to a file; throws std::runtime_error when it cannot.
  void save(const std::string& path) const;

 private:
  void ensure(std::int64_t end);
  std::int32_t blockSize_;
  std::int32_t volumeOffset_;
  std::vector<unsigned char> bytes_;
};

/// The image the README's first command opens: nested directories, a
/// directory of three blocks and a few small text files.
[[nodiscard]] ImageBuilder demoImage();

}  // namespace discshell::tools

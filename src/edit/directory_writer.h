// The one routine that writes directories. It takes a directory's records
// as the image holds them, applies the edits (erase, rename, new fields,
// new records at the end), and lays them into whole blocks exactly as the
// walk will read them: each block filled until fewer than 72 bytes would
// remain behind a record, the last block holding the rest and the end
// marker. Every block made is walked again, by the walk every command uses,
// and must give back exactly the records laid into it. The bytes come out
// as a stream, front to back, so a directory of any size costs two blocks
// of memory; the same bytes go to every copy of the directory.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output/image_writer.h"
#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {

/// What the volume shows on every one of its directories, and so is kept
/// true in every block written. Where the volume does not show a
/// convention consistently, the bytes it concerns are copied as they are.
struct DirectoryConventions {
  bool endOffsetAt12 =
      false;  ///< block offset 12 holds the offset just past the block's last record
  bool lastRecordBit = false;  ///< the flags' top bit marks a directory's last record, and only it
  bool blockEndBit = false;    ///< the flags' second-highest bit marks each block's last record
};

inline constexpr std::uint32_t kLastRecordFlag = 0x80000000U;
inline constexpr std::uint32_t kBlockEndFlag = 0x40000000U;
/// Where a block header holds the offset just past its last record, on
/// volumes that keep it.
inline constexpr std::int32_t kBlockEndOffsetField = 12;

/// A record the edits put at the end of a directory.
struct NewRecord {
  std::string_view name;  ///< kept by whoever made the edits, for as long as they last
  bool directory = false;
  std::int32_t byteCount = 0;
  std::int32_t startBlock = 0;
};

/// The new records of edited directories, made as the writer asks for
/// them: one i may add 100,000, whose names and places whoever made the
/// edits keeps once already.
class NewRecords {
 public:
  virtual ~NewRecords() = default;
  /// The record that DirectoryEdits::appended lists as `key`.
  [[nodiscard]] virtual NewRecord at(std::uint32_t key) const = 0;
};

/// New fields of a record: a moved directory's, or r's for a file whose
/// length changes. The record keeps its length: `copies` holds as many
/// block numbers as it has.
struct RecordUpdate {
  std::int32_t byteCount = 0;
  std::int32_t blocks = 0;  ///< the data's length in whole blocks, at offset 20
  std::vector<std::int32_t> copies;
};

/// What happens to one record of the directory.
struct RecordEdit {
  bool erase = false;
  std::optional<std::string> name;
  std::optional<RecordUpdate> update;
};

/// Everything that changes one directory.
struct DirectoryEdits {
  std::optional<std::int32_t> source;  ///< its copy 0 in the image; none for a new one
  /// The blocks it has there; 0 when no record says (the root's reach to
  /// the block that holds its end marker).
  std::int32_t sourceBlocks = 0;
  std::map<std::int32_t, RecordEdit> records;  ///< by position in copy 0
  std::vector<std::uint32_t> appended;  ///< the new records, in order, by key in `newRecords`
  std::shared_ptr<const NewRecords> newRecords;
  /// Whether each record of the source, in walk order, is a directory: new
  /// records copy their bytes from the nearest earlier one of their kind.
  std::vector<bool> sourceKinds;
  /// Bytes 4 to 19 of the header of every block the source does not have.
  std::string header = std::string(16, '\0');
};

/// What a new record copies when its directory has no earlier record of
/// its kind: a file record and a directory record of the volume (72 bytes
/// each; empty when the volume has none).
struct RecordTemplates {
  std::string file;
  std::string directory;
};

/// A record changed where it stands, in every copy of its directory.
struct RecordPatch {
  std::vector<ByteWrite> writes;       ///< one for each copy; none when it does not fit
  std::vector<std::size_t> outside;    ///< copies whose record lies outside the image, in order
  std::vector<std::size_t> differing;  ///< copies that hold other bytes there than copy 0
  bool fits = true;                    ///< false: copy 0's record cannot be read, or the
                                       ///< update has another number of copies than it
};

/// How the edited records fit in whole blocks.
struct DirectoryFit {
  std::optional<std::int32_t> fewestBlocks;  ///< no value: no number of blocks holds them
  bool fitsInPlace = false;                  ///< in the source's own blocks
  std::int32_t sourceBlocks = 0;             ///< how many those are
  std::string problem;                       ///< why not, when they fit nowhere
};

class DirectoryWriter {
 public:
  DirectoryWriter(const ImageFile& image, const VolumeGeometry& geometry,
                  const DirectoryConventions& conventions, RecordTemplates templates)
      : image_(image),
        geometry_(geometry),
        conventions_(conventions),
        templates_(std::make_shared<const RecordTemplates>(std::move(templates))) {}

  /// Reads the edited records once and finds how many blocks they need.
  [[nodiscard]] DirectoryFit measure(const DirectoryEdits& edits) const;

  /// The directory laid into `blocks` blocks from `firstBlock` on (its
  /// copy 0): a stream of blocks × block size bytes. The stream fails, and
  /// with it the write, when a block made does not walk back to the records
  /// laid into it, which `measure` rules out unless the image changes.
  [[nodiscard]] StreamWrite stream(std::shared_ptr<const DirectoryEdits> edits,
                                   std::int32_t firstBlock, std::int32_t blocks,
                                   std::vector<std::int64_t> positions) const;

  /// `update` of the record at `position` in copy 0 of a directory whose
  /// copies begin at `copies` (copy 0 first), where the directory is not
  /// re-packed: the record keeps its place and length in every copy, and
  /// every copy must hold the same record now. (r's changes of records are
  /// such updates; a moved directory's record too.)
  [[nodiscard]] RecordPatch patchRecord(const std::vector<std::int64_t>& copies,
                                        std::int32_t position, const RecordUpdate& update) const;

  /// `record` (the bytes of one whole record) with `update`'s fields. False
  /// when the update's copies do not match the record's length.
  [[nodiscard]] static bool applyUpdate(std::string& record, const RecordUpdate& update);

 private:
  const ImageFile& image_;
  VolumeGeometry geometry_;
  DirectoryConventions conventions_;
  std::shared_ptr<const RecordTemplates> templates_;
};

}  // namespace discshell

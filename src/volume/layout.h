// Room src/volume/: reading the volume: its layout, byte order, the walk and
// lookup, the tree, the read-only checks of v with the survey the map
// draws from, and the comparison of two volumes. May include platform/, and
// bytes/ for the one byte comparison, with which the comparison reads the
// files two volumes hold.
//
// Where the fields this tool reads lie inside a volume. Every offset is
// named once here; the reader and the image builder in tools/ both use them.
//
//   volume header (from the volume offset)
//     +76  block size          +80  block count
//     +96  the root's last copy index n (0..7; any other value counts as 0)
//     +100 root directory block, then the first blocks of its copies 1..n
//
//   directory block
//     +0   next-block field (-1: no further block)     +4..+19 not read
//     +20  first entry
//
//   directory entry (72 + 4 * k bytes)
//     +0   flags (0 ends the directory)   +8  type (4 chars)   +16 byte count
//     +20  the data's length in whole blocks (on sound volumes)
//     +32  name (32 bytes, NUL padded)    +64 last copy index k
//     +68  start block, then k further copy block numbers
#pragma once

#include <cstdint>

namespace discshell::layout {

inline constexpr std::int32_t kBlockSizeField = 76;
inline constexpr std::int32_t kBlockCountField = 80;
inline constexpr std::int32_t kRootLastCopyIndexField = 96;
inline constexpr std::int32_t kRootLastCopyIndexMax = 7;
inline constexpr std::int32_t kRootBlockField = 100;
/// Bytes that must exist behind the volume offset for the header to be read.
inline constexpr std::int32_t kHeaderExtent = 104;

inline constexpr std::int32_t kNextBlockField = 0;
inline constexpr std::int32_t kBlockHeaderSize = 20;
inline constexpr std::int32_t kNoNextBlock = -1;

inline constexpr std::int32_t kFlagsField = 0;
inline constexpr std::int32_t kTypeField = 8;
inline constexpr std::int32_t kTypeSize = 4;
inline constexpr std::int32_t kByteCountField = 16;
inline constexpr std::int32_t kDataBlocksField = 20;
inline constexpr std::int32_t kNameField = 32;
inline constexpr std::int32_t kNameFieldSize = 32;
/// The last byte of the name field is always taken as its terminator.
inline constexpr std::int32_t kNameMaxLength = kNameFieldSize - 1;
inline constexpr std::int32_t kLastCopyIndexField = 64;
inline constexpr std::int32_t kStartBlockField = 68;
/// Length of an entry with k = 0; an entry is this plus 4 * k bytes.
inline constexpr std::int32_t kMinEntrySize = 72;
inline constexpr std::int32_t kCopyBlockSize = 4;
/// The flags word of 0 that ends a directory, behind its last record.
inline constexpr std::int32_t kEndMarkerSize = 4;

}  // namespace discshell::layout

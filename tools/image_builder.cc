#include "tools/image_builder.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "volume/byte_order.h"
#include "volume/layout.h"

namespace discshell::tools {

ImageBuilder::ImageBuilder(std::int32_t blockSize, std::int32_t volumeOffset,
                           unsigned char prefixByte)
    : blockSize_(blockSize), volumeOffset_(volumeOffset) {
  bytes_.assign(static_cast<std::size_t>(std::max(volumeOffset, 0)), prefixByte);
}

void ImageBuilder::header(std::int32_t blockCount, std::int32_t rootBlock) {
  header(blockSize_, blockCount, rootBlock);
}

void ImageBuilder::header(std::int32_t blockSize, std::int32_t blockCount, std::int32_t rootBlock) {
  poke32(volumeOffset_ + layout::kBlockSizeField, blockSize);
  poke32(volumeOffset_ + layout::kBlockCountField, blockCount);
  poke32(volumeOffset_ + layout::kRootBlockField, rootBlock);
  ensure(volumeOffset_ + layout::kHeaderExtent);
}

std::vector<std::int64_t> ImageBuilder::directory(std::int32_t firstBlock,
                                                  const std::vector<EntrySpec>& entries,
                                                  std::int32_t blockCount) {
  for (std::int32_t i = 0; i < blockCount; ++i) {
    const bool last = i == blockCount - 1;
    blockHeaderAt(blockPosition(firstBlock + i), last ? layout::kNoNextBlock : firstBlock + i + 1);
  }
  std::vector<std::int64_t> positions;
  std::int32_t block = 0;
  std::int64_t p = blockPosition(firstBlock) + layout::kBlockHeaderSize;
  for (const EntrySpec& entry : entries) {
    entryAt(p, entry);
    positions.push_back(p);
    const std::int64_t length = layout::kMinEntrySize + 4 * std::int64_t{entry.lastCopyIndex};
    const bool moreBlocks = block < blockCount - 1;
    const std::int64_t remaining = blockSize_ - (p - volumeOffset_) % blockSize_;
    if (moreBlocks && blockSize_ > layout::kMinEntrySize &&
        remaining < length + layout::kMinEntrySize) {
      ++block;
      p = blockPosition(firstBlock + block) + layout::kBlockHeaderSize;
    } else {
      p += length;
    }
  }
  poke32(p, 0);
  return positions;
}

void ImageBuilder::entryAt(std::int64_t position, const EntrySpec& entry) {
  poke32(position + layout::kFlagsField, entry.flags);
  poke(position + layout::kTypeField, entry.type.substr(0, layout::kTypeSize));
  poke32(position + layout::kByteCountField, entry.byteCount);
  poke(position + layout::kNameField, entry.name.substr(0, layout::kNameFieldSize));
  poke32(position + layout::kLastCopyIndexField, entry.lastCopyIndex);
  poke32(position + layout::kStartBlockField, entry.startBlock);
  ensure(position + layout::kMinEntrySize);
}

void ImageBuilder::furtherCopies(std::int64_t entryPosition,
                                 const std::vector<std::int32_t>& blocks) {
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    poke32(entryPosition + layout::kStartBlockField +
               layout::kCopyBlockSize * static_cast<std::int64_t>(i + 1),
           blocks[i]);
  }
}

void ImageBuilder::rootCopies(const std::vector<std::int32_t>& blocks) {
  poke32(volumeOffset_ + layout::kRootLastCopyIndexField, static_cast<std::int32_t>(blocks.size()));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    poke32(volumeOffset_ + layout::kRootBlockField +
               layout::kCopyBlockSize * static_cast<std::int64_t>(i + 1),
           blocks[i]);
  }
}

void ImageBuilder::blockHeaderAt(std::int64_t position, std::int32_t nextBlock) {
  poke32(position + layout::kNextBlockField, nextBlock);
  ensure(position + layout::kBlockHeaderSize);
}

void ImageBuilder::data(std::int32_t block, std::string_view bytes) {
  poke(blockPosition(block), bytes);
}

void ImageBuilder::poke(std::int64_t position, std::string_view bytes) {
  ensure(position + static_cast<std::int64_t>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), bytes_.begin() + position);
}

void ImageBuilder::poke32(std::int64_t position, std::int32_t value) {
  poke(position, bigEndian32Text(value));
}

void ImageBuilder::resize(std::int64_t length) { bytes_.resize(static_cast<std::size_t>(length)); }

std::int64_t ImageBuilder::blockPosition(std::int32_t block) const {
  return std::int64_t{block} * blockSize_ + volumeOffset_;
}

void ImageBuilder::ensure(std::int64_t end) {
  if (end < 0) throw std::out_of_range("image position before the start of the file");
  if (static_cast<std::uint64_t>(end) > bytes_.size()) bytes_.resize(static_cast<std::size_t>(end));
}

void ImageBuilder::save(const std::string& path) const {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes_.data()),
             static_cast<std::streamsize>(bytes_.size()));
  if (!file.flush()) throw std::runtime_error("cannot write " + path);
}

}  // namespace discshell::tools

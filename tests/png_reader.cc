#include "png_reader.h"

#include <cstdio>
#include <cstdlib>

namespace discshell::testing {
namespace {

// Deflate (RFC 1951): stored, fixed and dynamic Huffman blocks.
class Inflater {
 public:
  explicit Inflater(const std::vector<unsigned char>& in) : in_(in) {}

  std::optional<std::vector<unsigned char>> run() {
    for (bool last = false; !last;) {
      last = bits(1) == 1;
      const unsigned type = bits(2);
      bool ok = false;
      if (type == 0) {
        ok = stored();
      } else if (type == 1) {
        ok = fixedBlock();
      } else if (type == 2) {
        ok = dynamicBlock();
      }
      if (!ok || failed_) return std::nullopt;
    }
    return std::move(out_);
  }

 private:
  // Canonical Huffman codes by their lengths: how many codes of each
  // length, and the symbols in code order.
  struct Huffman {
    std::array<int, 16> counts{};
    std::vector<int> symbols;
  };

  unsigned bits(int count) {
    unsigned value = 0;
    for (int i = 0; i < count; ++i) {
      if (at_ >= in_.size() * 8) {
        failed_ = true;
        return 0;
      }
      value |= ((static_cast<unsigned>(in_[at_ / 8]) >> (at_ % 8)) & 1U) << i;
      ++at_;
    }
    return value;
  }

  static Huffman build(const std::vector<int>& lengths) {
    Huffman code;
    for (const int length : lengths) ++code.counts[static_cast<std::size_t>(length)];
    code.counts[0] = 0;
    for (int length = 1; length < 16; ++length) {
      for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        if (lengths[symbol] == length) code.symbols.push_back(static_cast<int>(symbol));
      }
    }
    return code;
  }

  int decode(const Huffman& code) {
    int first = 0;
    int index = 0;
    int value = 0;
    for (std::size_t length = 1; length < 16; ++length) {
      value |= static_cast<int>(bits(1));
      const int count = code.counts[length];
      if (value - first < count)
        return code.symbols[static_cast<std::size_t>(index + value - first)];
      index += count;
      first = (first + count) << 1;
      value <<= 1;
    }
    failed_ = true;
    return 0;
  }

  bool stored() {
    at_ = (at_ + 7) / 8 * 8;
    const unsigned length = bits(16);
    if (bits(16) != (~length & 0xFFFFU)) return false;
    for (unsigned i = 0; i < length; ++i) out_.push_back(static_cast<unsigned char>(bits(8)));
    return true;
  }

  bool fixedBlock() {
    std::vector<int> lengths(288, 8);
    for (std::size_t i = 144; i < 256; ++i) lengths[i] = 9;
    for (std::size_t i = 256; i < 280; ++i) lengths[i] = 7;
    return codes(build(lengths), build(std::vector<int>(30, 5)));
  }

  bool dynamicBlock() {
    const unsigned literals = bits(5) + 257;
    const unsigned distances = bits(5) + 1;
    const unsigned lengthCodes = bits(4) + 4;
    static constexpr std::array<std::size_t, 19> kOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                           11, 4,  12, 3, 13, 2, 14, 1, 15};
    std::vector<int> lengthLengths(19, 0);
    for (unsigned i = 0; i < lengthCodes; ++i) lengthLengths[kOrder[i]] = static_cast<int>(bits(3));
    const Huffman lengthCode = build(lengthLengths);
    std::vector<int> lengths;
    while (lengths.size() < literals + distances && !failed_) {
      const int symbol = decode(lengthCode);
      if (symbol < 16) {
        lengths.push_back(symbol);
        continue;
      }
      if (symbol == 16 && lengths.empty()) return false;
      const int repeated = symbol == 16 ? lengths.back() : 0;
      const unsigned times = symbol == 16 ? 3 + bits(2) : symbol == 17 ? 3 + bits(3) : 11 + bits(7);
      lengths.insert(lengths.end(), times, repeated);
    }
    if (lengths.size() != literals + distances) return false;
    const auto split = lengths.begin() + static_cast<std::ptrdiff_t>(literals);
    return codes(build({lengths.begin(), split}), build({split, lengths.end()}));
  }

  bool codes(const Huffman& literal, const Huffman& distance) {
    static constexpr std::array<int, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                        15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                        67, 83, 99, 115, 131, 163, 195, 227, 258};
    static constexpr std::array<int, 29> kLengthExtra = {
        0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static constexpr std::array<int, 30> kDistanceBase = {
        1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
        193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    static constexpr std::array<int, 30> kDistanceExtra = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                           4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                           9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
    for (;;) {
      const int symbol = decode(literal);
      if (failed_) return false;
      if (symbol < 256) {
        out_.push_back(static_cast<unsigned char>(symbol));
        continue;
      }
      if (symbol == 256) return true;
      const auto lengthIndex = static_cast<std::size_t>(symbol - 257);
      if (lengthIndex >= kLengthBase.size()) return false;
      const auto length = static_cast<std::size_t>(
          kLengthBase[lengthIndex] + static_cast<int>(bits(kLengthExtra[lengthIndex])));
      const auto distanceIndex = static_cast<std::size_t>(decode(distance));
      if (distanceIndex >= kDistanceBase.size()) return false;
      const auto back = static_cast<std::size_t>(
          kDistanceBase[distanceIndex] + static_cast<int>(bits(kDistanceExtra[distanceIndex])));
      if (back > out_.size()) return false;
      for (std::size_t i = 0; i < length; ++i) out_.push_back(out_[out_.size() - back]);
    }
  }

  const std::vector<unsigned char>& in_;
  std::size_t at_ = 0;  ///< in bits
  bool failed_ = false;
  std::vector<unsigned char> out_;
};

std::uint32_t bigEndian(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

int paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Undoes each row's filter in place; false at an unknown one.
bool unfilter(std::vector<unsigned char>& data, std::size_t rowBytes, std::size_t pixelBytes,
              std::size_t rows) {
  for (std::size_t row = 0; row < rows; ++row) {
    unsigned char* line = data.data() + row * (rowBytes + 1);
    const unsigned char* above = row == 0 ? nullptr : line - (rowBytes + 1);
    const unsigned filter = line[0];
    for (std::size_t i = 1; i <= rowBytes; ++i) {
      const int a = i > pixelBytes ? line[i - pixelBytes] : 0;
      const int b = above != nullptr ? above[i] : 0;
      const int c = above != nullptr && i > pixelBytes ? above[i - pixelBytes] : 0;
      const int add = filter == 0   ? 0
                      : filter == 1 ? a
                      : filter == 2 ? b
                      : filter == 3 ? (a + b) / 2
                      : filter == 4 ? paeth(a, b, c)
                                    : -1;
      if (add < 0) return false;
      line[i] = static_cast<unsigned char>(line[i] + add);
    }
  }
  return true;
}

}  // namespace

std::optional<Picture> readPng(const std::string& bytes) {
  if (bytes.size() < 8 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0) return std::nullopt;
  Picture picture;
  std::size_t pixelBytes = 0;
  std::vector<unsigned char> compressed;
  for (std::size_t at = 8; at + 12 <= bytes.size();) {
    const std::uint32_t length = bigEndian(bytes, at);
    const std::string type = bytes.substr(at + 4, 4);
    if (at + 12 + length > bytes.size()) return std::nullopt;
    const std::size_t data = at + 8;
    if (type == "IHDR") {
      picture.width = bigEndian(bytes, data);
      picture.height = bigEndian(bytes, data + 4);
      const auto depth = static_cast<unsigned char>(bytes[data + 8]);
      const auto colour = static_cast<unsigned char>(bytes[data + 9]);
      if (depth != 8 || (colour != 2 && colour != 6) || bytes[data + 12] != 0) return std::nullopt;
      pixelBytes = colour == 2 ? 3 : 4;
    } else if (type == "IDAT") {
      compressed.insert(compressed.end(), bytes.begin() + static_cast<std::ptrdiff_t>(data),
                        bytes.begin() + static_cast<std::ptrdiff_t>(data + length));
    }
    at = data + length + 4;
  }
  if (pixelBytes == 0 || compressed.size() < 2) return std::nullopt;
  compressed.erase(compressed.begin(), compressed.begin() + 2);  // the zlib header
  auto raw = Inflater(compressed).run();
  const auto rowBytes = static_cast<std::size_t>(picture.width) * pixelBytes;
  const auto rows = static_cast<std::size_t>(picture.height);
  if (!raw || raw->size() < rows * (rowBytes + 1) || !unfilter(*raw, rowBytes, pixelBytes, rows)) {
    return std::nullopt;
  }
  for (std::size_t row = 0; row < rows; ++row) {
    const unsigned char* line = raw->data() + row * (rowBytes + 1) + 1;
    for (std::size_t x = 0; x < static_cast<std::size_t>(picture.width); ++x) {
      const unsigned char* pixel = line + x * pixelBytes;
      picture.pixels.push_back({pixel[0], pixel[1], pixel[2]});
    }
  }
  return picture;
}

std::string hexColour(const std::array<unsigned char, 3>& rgb) {
  std::array<char, 8> text{};
  std::snprintf(text.data(), text.size(), "#%02x%02x%02x", rgb[0], rgb[1], rgb[2]);
  return text.data();
}

}  // namespace discshell::testing

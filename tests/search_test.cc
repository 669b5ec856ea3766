// The byte search under f: every occurrence, overlapping ones included, in
// memory and in a file read in pieces.
#include "bytes/search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes/progress.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

std::vector<std::int64_t> findAll(std::string_view pattern, std::string_view text,
                                  std::int64_t base = 0) {
  std::vector<std::int64_t> found;
  const ByteSearch search(pattern);
  search.findIn({reinterpret_cast<const unsigned char*>(text.data()), text.size()}, base,
                [&](std::int64_t offset) { found.push_back(offset); });
  return found;
}

std::vector<std::int64_t> everyStart(std::string_view pattern, std::string_view text) {
  std::vector<std::int64_t> found;
  for (std::size_t i = 0; i + pattern.size() <= text.size(); ++i) {
    if (text.substr(i, pattern.size()) == pattern) found.push_back(static_cast<std::int64_t>(i));
  }
  return found;
}

TEST(ByteSearch, FindsOverlappingOccurrencesAtBothEndsAndAcrossItsBlocks) {
  EXPECT_EQ(findAll("aa", "aaaa"), (std::vector<std::int64_t>{0, 1, 2}));
  EXPECT_EQ(findAll("abab", "xababab", 100), (std::vector<std::int64_t>{101, 103}));
  EXPECT_EQ(findAll("x", "x"), (std::vector<std::int64_t>{0}));
  EXPECT_TRUE(findAll("abc", "ab").empty());
  // Alone at the last position of a block of 128, and at the last start.
  std::string dots(300, '.');
  dots.replace(127, 2, "ab").replace(298, 2, "ab");
  EXPECT_EQ(findAll("ab", dots), (std::vector<std::int64_t>{127, 298}));
  // Texts of two letters hold many partial and periodic matches; each
  // pattern is tried against a count made the slow way, over lengths that
  // end inside, at and past the search's blocks of 64 positions.
  std::string text;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 300; ++i) {
    seed = seed * 1103515245 + 12345;
    text += (seed >> 16) % 3 == 0 ? 'b' : 'a';
  }
  const std::vector<std::string> patterns = {"a",
                                             "b",
                                             "ab",
                                             "aab",
                                             "aaaa",
                                             "abaab",
                                             "babaaba",
                                             "aaaaaaaaab",
                                             text.substr(60, 12),
                                             text.substr(250, 50)};
  for (const std::string& pattern : patterns) {
    for (const std::size_t length : {63u, 64u, 65u, 76u, 127u, 128u, 129u, 300u}) {
      const std::string_view part = std::string_view(text).substr(0, length);
      EXPECT_EQ(findAll(pattern, part), everyStart(pattern, part))
          << pattern << " in the first " << length;
    }
  }
  const std::string nul("a\0b", 3);
  EXPECT_EQ(findAll(nul, std::string("xa\0ba\0b", 7)), (std::vector<std::int64_t>{1, 4}));
}

class CountedProgress final : public ProgressObserver {
 public:
  void bytesDone(std::int64_t bytes) override { total += bytes; }
  std::int64_t total = 0;
};

// An occurrence that starts in the last bytes of one read and ends in the
// next is found once, as are those at the stretch's first and last bytes.
TEST(ByteSearch, FindsOccurrencesAcrossItsReadsOfAFile) {
  constexpr std::int64_t kPiece = ByteSearch::kPieceBytes;
  const std::string pattern = "0123456789";
  std::string bytes(3 * kPiece + 100, '.');
  std::vector<std::int64_t> expected;
  const auto put = [&](std::int64_t at) {
    bytes.replace(static_cast<std::size_t>(at), pattern.size(), pattern);
    expected.push_back(at - 7);  // the stretch searched starts at byte 7
  };
  put(7);
  put(kPiece + 7 - 1);       // 1 byte in the first read, 9 in the second
  put(2 * kPiece + 7 - 10);  // ends right at the end of a read
  put(2 * kPiece + 7);       // starts right at the start of one
  put(3 * kPiece + 7 - 9);   // 9 bytes in the third read, 1 in the last
  put(3 * kPiece + 7 + 50 - 10);
  ScratchDir dir;
  writeFile(dir / "data", bytes);
  const auto file = platform::openForReading(dir / "data");
  ASSERT_TRUE(file);
  ByteSearch search(pattern);
  std::vector<std::int64_t> found;
  CountedProgress progress;
  {
    const ProgressScope scope(&progress);
    EXPECT_EQ(search.findInFile(*file, 7, 3 * kPiece + 50,
                                [&](std::int64_t offset) { found.push_back(offset); }),
              3 * kPiece + 50);
  }
  EXPECT_EQ(found, expected);
  EXPECT_EQ(progress.total, 3 * kPiece + 50);
  // Past the file's end: what it holds is searched, and said.
  found.clear();
  EXPECT_EQ(search.findInFile(*file, 3 * kPiece, kPiece,
                              [&](std::int64_t offset) { found.push_back(offset); }),
            100);
  EXPECT_EQ(found, (std::vector<std::int64_t>{47}));
  EXPECT_EQ(search.findInFile(*file, -1, 10, [&](std::int64_t) { ADD_FAILURE(); }), 0);
  // From the file's very first byte, where a start block that wraps round lands.
  found.clear();
  EXPECT_EQ(search.findInFile(*file, 0, 17, [&](std::int64_t offset) { found.push_back(offset); }),
            17);
  EXPECT_EQ(found, (std::vector<std::int64_t>{7}));
}

}  // namespace
}  // namespace discshell::testing

// Local names: the escape's exact bytes under each platform's rules, the
// way back, and names told apart exactly even where their hashes collide.
#include "local/local_name.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "local/local_tree.h"
#include "session_harness.h"
#include "volume/directory.h"

namespace discshell::testing {
namespace {

constexpr platform::NameRules kBytes{};
constexpr platform::NameRules kUnicode{.unicodeOnly = true};
constexpr platform::NameRules kWin{.unicodeOnly = true, .windowsNames = true};

TEST(LocalName, EscapesOnlyWhatTheFolderCannotHoldAndReadsItBack) {
  struct Case {
    std::string name;
    platform::NameRules rules;
    std::string local;
  };
  const std::vector<Case> cases = {
      {"plain.txt", kWin, "plain.txt"},
      {"100%", kWin, "100%"},
      {"a%2Fb", kBytes, "a%2Fb"},
      {"...", kBytes, "..."},
      {"con", kBytes, "con"},
      {"COM10", kWin, "COM10"},
      {"caf\xE9.txt", kBytes, "caf\xE9.txt"},
      {"\xC3\xA9t\xC3\xA9", kWin, "\xC3\xA9t\xC3\xA9"},
      {"a/b", kBytes, "a%2Fb"},
      {"/%", kBytes, "%2F%25"},
      {".", kBytes, "%2E"},
      {"..", kWin, "%2E%2E"},
      {"caf\xE9.txt", kUnicode, "caf%E9.txt"},
      {"\xED\xA0\x80\xC3", kUnicode, "%ED%A0%80%C3"},
      {"\x80"
       "a",
       kUnicode, "%80a"},
      {"CON", kWin, "CON%"},
      {"aux.tar.gz", kWin, "aux%.tar.gz"},
      {"NUL .txt", kWin, "NUL %.txt"},
      {"COM\xC2\xB9", kWin, "COM\xC2\xB9%"},
      {"con.%", kWin, "con%.%25"},
      {"a:b.txt", kWin, "a%3Ab.txt"},
      {"q?.txt", kWin, "q%3F.txt"},
      {"<>\"\\|*\x01\x1F", kWin, "%3C%3E%22%5C%7C%2A%01%1F"},
      {"end.", kWin, "end%2E"},
      {"a..", kWin, "a.%2E"},
      {"...", kWin, "..%2E"},
      {"trail ", kWin, "trail%20"},
      {"5%:", kWin, "5%25%3A"},
      // A dot at the end of a device name goes behind the stem's mark.
      {"CON.", kWin, "CON%%2E"},
      {"com1.", kWin, "com1%%2E"},
      {"CON .", kWin, "CON %%2E"},
      {"NUL..", kWin, "NUL%.%2E"},
      {"AUX ", kWin, "AUX%20%"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(localName(c.name, c.rules), c.local) << c.name;
    if (c.local != c.name) {
      EXPECT_EQ(entryNameOf(c.local, c.rules), c.name) << c.local;
    }
  }
  EXPECT_EQ(localName("", kWin), "");
  // What Windows and macOS take: each character below 0x80, or a whole sequence.
  EXPECT_TRUE(platform::isValidUtf8("\x7F\xC2\x80"));
  EXPECT_FALSE(platform::isValidUtf8("\x80"));
  // Only the escape that localName gives reads back as another name.
  for (const std::string local : {"plain", "a%2fb", "%41", "%25", "a%", "a%2", "CON%.txt"}) {
    EXPECT_EQ(entryNameOf(local, kBytes), std::nullopt) << local;
  }
  EXPECT_EQ(entryNameOf("CON%.txt", kWin), "CON.txt");
  EXPECT_EQ(entryNameOf("%E9", kWin), "\xE9");
  EXPECT_EQ(entryNameOf("%E9", kBytes), std::nullopt);
}

// Whether a folder with `rules` holds `local` as it is.
bool holds(std::string_view local, const platform::NameRules& rules) {
  if (local.empty() || local == "." || local == ".." ||
      local.find_first_of(std::string_view("/\0", 2)) != local.npos) {
    return false;
  }
  if (rules.unicodeOnly && !platform::isValidUtf8(local)) return false;
  if (!rules.windowsNames) return true;
  const bool forbidden = std::any_of(local.begin(), local.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 ||
           std::string_view("<>:\"\\|?*").find(c) != std::string_view::npos;
  });
  return !forbidden && local.back() != ' ' && local.back() != '.' &&
         !platform::isWindowsDeviceName(local);
}

// Every name gets a local name its folder holds, and an escape reads back
// as exactly that name; a name that needs none is its own local name, and
// where it reads as another's escape, that name has it too (the first of
// the two in a directory has it). All 65,792 names of up to 2 bytes, and
// those of 3 and 4 bytes from one byte of each kind the escape tells apart
// (all of them would be 4 billion), under the rules of POSIX and Windows.
TEST(LocalName, EveryNameReadsBackUnderEveryRules) {
  const std::string kinds(" %./:25EeCONM1\xC3\xA9\xFF");
  for (const platform::NameRules rules : {kBytes, kWin}) {
    std::size_t failures = 0;
    const auto check = [&](const std::string& name) {
      const std::string local = localName(name, rules);
      const auto back = entryNameOf(local, rules);
      if (holds(local, rules) &&
          (local == name ? !back || localName(*back, rules) == local : back == name)) {
        return;
      }
      if (++failures <= 10) {
        ADD_FAILURE() << ::testing::PrintToString(name) << " -> " << ::testing::PrintToString(local)
                      << " -> " << ::testing::PrintToString(back.value_or("(itself)"));
      }
    };
    for (int a = 0; a < 256; ++a) {
      check(std::string(1, static_cast<char>(a)));
      for (int b = 0; b < 256; ++b) check({static_cast<char>(a), static_cast<char>(b)});
    }
    for (const char a : kinds) {
      for (const char b : kinds) {
        for (const char c : kinds) {
          check({a, b, c});
          for (const char d : kinds) check({a, b, c, d});
        }
      }
    }
    EXPECT_EQ(failures, 0U) << "Windows rules: " << rules.windowsNames;
  }
}

// A directory of names some of which take one local name; the hashes are
// narrowed to nothing, so every name shares its hash with every other and
// only the names themselves tell them apart.
// Once cleared, the indexes are made again from the image as it is now.
TEST(RecentNameIndexes, ForgetsEveryIndexWhenCleared) {
  tools::ImageBuilder image(512);
  image.header(8, 1);
  image.directory(1, {{"old"}});
  const MemorySource before(image.bytes());
  image.directory(1, {{"new"}});
  const MemorySource after(image.bytes());
  const VolumeGeometry geometry = readVolumeGeometry(before, 0).value();
  RecentNameIndexes indexes(1 << 20);
  const DirectoryNameIndex* index = indexes.of(before, geometry, 512, false);
  ASSERT_NE(index, nullptr);
  EXPECT_TRUE(index->find(before, "old"));
  indexes.clear();
  index = indexes.of(after, geometry, 512, false);
  ASSERT_NE(index, nullptr);
  EXPECT_TRUE(index->find(after, "new"));
  EXPECT_FALSE(index->find(after, "old"));
}

TEST(FirstNames, TellsLocalNamesApartExactlyWhateverTheirHashes) {
  tools::ImageBuilder image(512);
  image.header(8, 1);
  const std::string longest(31, 'n');  // read back over all 31 bytes
  image.directory(
      1, {{"a"}, {"b"}, {"a"}, {"A"}, {"x/y"}, {"x%2Fy"}, {"b"}, {"x%2fy"}, {longest}, {longest}});
  const MemorySource source(image.bytes());
  const VolumeGeometry geometry = readVolumeGeometry(source, 0).value();
  for (const std::uint32_t bits : {0xFFFFFFFFu, 0u}) {
    for (const bool folds : {false, true}) {
      FirstNames names(source, geometry, bits);
      names.enter(geometry.rootDirectoryOffset, folds);
      std::vector<std::string> earlier;
      walkDirectory(source, geometry, geometry.rootDirectoryOffset, [&](const DirectoryEntry& e) {
        earlier.push_back(names.earlier(e, localName(e.name)).value_or("-"));
        return WalkStep::kContinue;
      });
      EXPECT_EQ(earlier, (std::vector<std::string>{"-", "-", "a", folds ? "a" : "-", "-", "x/y",
                                                   "b", folds ? "x/y" : "-", "-", longest}))
          << bits << folds;
    }
  }
}

TEST(LocalNames, FindsEachLocalFileOnceWhateverTheirHashes) {
  ScratchDir dir;
  for (const char* name : {"a", "B", "c%2Fd", "new"}) writeFile(dir / name, "");
  const auto folder = platform::Directory::open(dir.path()).value();
  for (const std::uint32_t bits : {0xFFFFFFFFu, 0u}) {
    for (const bool folds : {false, true}) {
      auto names = LocalNames::read(folder, folds, bits).value();
      EXPECT_EQ(names.find("b").has_value(), folds);
      EXPECT_FALSE(names.find("c/d").has_value());
      const auto a = names.find("a");
      const auto b = names.find("B");
      const auto cd = names.find("c%2Fd");
      ASSERT_TRUE(a && b && cd);
      EXPECT_NE(a, b);
      EXPECT_NE(b, cd);
      EXPECT_TRUE(names.claim(*a) && names.claim(*cd));
      EXPECT_FALSE(names.claim(*cd));
      std::vector<std::string> unclaimed;
      names.unclaimed(folder, [&](std::string_view name) { unclaimed.emplace_back(name); });
      std::sort(unclaimed.begin(), unclaimed.end());
      EXPECT_EQ(unclaimed, (std::vector<std::string>{"B", "new"})) << bits << folds;
    }
  }
}

}  // namespace
}  // namespace discshell::testing

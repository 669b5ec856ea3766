// i, e and n: changes that wait in the session, and the one write that
// re-packs every directory they touch, in every copy.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "edit/pending_view.h"
#include "platform/platform.h"
#include "session_harness.h"
#include "volume/directory.h"
#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell::testing {
namespace {

using tools::EntrySpec;
using tools::ImageBuilder;

constexpr int kBlock = 512;

// The byte position of `offset` in `block`.
std::size_t at(int block, int offset = 0) {
  return static_cast<std::size_t>(block) * kBlock + static_cast<std::size_t>(offset);
}

std::string be32(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

struct Walked {
  std::string name;
  std::int32_t byteCount;
  std::int32_t startBlock;
  std::int32_t position;  ///< from the directory's first block
  friend bool operator==(const Walked&, const Walked&) = default;
};
std::ostream& operator<<(std::ostream& out, const Walked& w) {
  return out << w.name << " " << w.byteCount << " @" << w.startBlock << " +" << w.position;
}

// What the tool's own walk reads at `offset`, which must end at its end marker.
std::vector<Walked> walk(const std::string& image, std::size_t offset) {
  const MemorySource source(std::vector<unsigned char>(image.begin(), image.end()));
  const VolumeGeometry geometry = readVolumeGeometry(source, 0).value();
  std::vector<Walked> entries;
  const WalkEnd end = walkDirectory(
      source, geometry, static_cast<std::int32_t>(offset), [&](const DirectoryEntry& e) {
        entries.push_back({e.name, e.byteCount, e.startBlock,
                           e.recordPosition - static_cast<std::int32_t>(offset)});
        return WalkStep::kContinue;
      });
  EXPECT_EQ(end, WalkEnd::kEndMarker);
  return entries;
}

// Every copy walks to the same records, and holds the same bytes.
std::vector<Walked> walkCopies(const std::string& image, const std::vector<int>& blocks,
                               int length) {
  const std::vector<Walked> first = walk(image, at(blocks[0]));
  for (const int block : blocks) {
    EXPECT_EQ(walk(image, at(block)), first) << "copy at block " << block;
    EXPECT_EQ(image.substr(at(block), static_cast<std::size_t>(length)),
              image.substr(at(blocks[0]), static_cast<std::size_t>(length)));
  }
  return first;
}

std::vector<std::string> names(const std::vector<Walked>& entries) {
  std::vector<std::string> result;
  for (const Walked& entry : entries) result.push_back(entry.name);
  return result;
}

// Every local file below `top`, by its path, but the images.
std::map<std::string, std::string> localTree(const std::string& top) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(top)) {
    const std::string path = std::filesystem::relative(entry.path(), top).generic_string();
    if (path.ends_with(".iso")) continue;
    files[path] = entry.is_directory() ? "/" : readFile(entry.path().string()).value();
  }
  return files;
}

// The image a test started from is as it was: nothing ever writes it.
void expectUnchanged(const std::string& path, const ImageBuilder& image) {
  EXPECT_EQ(readFile(path), std::string(image.bytes().begin(), image.bytes().end()));
}

// x of `image` in an empty directory gives exactly the local tree, and v
// finds nothing in it.
void expectRoundTrip(const ScratchDir& edited, const std::string& image) {
  ScratchDir again;
  writeFile(again / "copy.iso", readFile(edited / image).value());
  const RunResult x = runTool({"-c", "x", "copy.iso"}, "", again.path());
  EXPECT_EQ(x.status, 0) << x.errors;
  EXPECT_EQ(localTree(again.path()), localTree(edited.path()));
  const RunResult v = runTool({"-c", "v", "copy.iso"}, "", again.path());
  EXPECT_TRUE(v.output.ends_with(": 0 problems.\n")) << v.output;
}

TEST(TreeEdit, AddsErasesAndRenamesInOneWriteThatRoundTrips) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const std::string before = readFile(dir / "demo.iso").value();
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "docs/ch4.txt", "Chapter four.\n");
  std::filesystem::create_directories(dir / "fonts/empty");
  writeFile(dir / "fonts/big.FNT", std::string(1000, 'f'));
  std::filesystem::remove(dir / "hello.txt");
  std::filesystem::rename(dir / "README", dir / "read me.txt");
  std::filesystem::rename(dir / "logs/day08.log", dir / "logs/the eighth day.log");
  const RunResult run =
      runTool({"-c", "i docs/ch4.txt", "-c", "i fonts/", "-c", "e hello.txt", "-c",
               "n README 'read me.txt'", "-c", "c logs", "-c", "n day08.log \"the eighth day.log\"",
               "-c", "i", "-c", "w", "demo.iso"},
              "", dir.path());
  const std::string lines =
      "docs/ch4.txt: added, 14 bytes\nfonts/: added, 1 file and 1 directory\n"
      "hello.txt: erased\nREADME: renamed to read me.txt\n"
      "logs/day08.log: renamed to the eighth day.log\n";
  EXPECT_EQ(run.output, "Entering logs:\n" + lines + lines + "New ISO written to output.iso\n");
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(readFile(dir / "demo.iso"), before);
  const std::string output = readFile(dir / "output.iso").value();
  // Behind the 64 blocks: the two files' data (1 and 2 blocks), then the two directories.
  ASSERT_EQ(output.size(), 69u * kBlock);
  EXPECT_EQ(output.substr(80, 4), be32(69));
  EXPECT_EQ(walk(output, at(1)), (std::vector<Walked>{{"read me.txt", 56, 20, 20},
                                                      {"docs", 512, 2, 92},
                                                      {"logs", 1536, 4, 164},
                                                      {"fonts", 512, 67, 236}}));
  EXPECT_EQ(names(walk(output, at(2))),
            (std::vector<std::string>{"guide.txt", "archive", "ch4.txt"}));
  EXPECT_EQ(walk(output, at(67)),
            (std::vector<Walked>{{"big.FNT", 1000, 65, 20}, {"empty", 512, 68, 92}}));
  EXPECT_EQ(walk(output, at(68)), std::vector<Walked>{});
  // A new file's fields the walk does not read come from the nearest file
  // before it; the type, for want of a sibling of the same extension, too.
  EXPECT_EQ(output.substr(at(67, 20 + 8), 4), "TEXT");
  EXPECT_EQ(output.substr(at(67, 20 + 20), 4), be32(2));
  // The demo shows no convention at block offset 12 or in the flags: they
  // are copied as they are.
  EXPECT_EQ(output.substr(at(67, 20), 4), be32(1));
  EXPECT_EQ(output.substr(at(67, 12), 4), be32(0));
  // The rename keeps the record where it was; the rest of logs stays.
  const std::vector<Walked> logs = walk(output, at(4));
  ASSERT_EQ(logs.size(), 16u);
  EXPECT_EQ(logs[7], (Walked{"the eighth day.log", 18, 31, 512 + 20 + 72}));
  expectRoundTrip(dir, "output.iso");
}

// i takes each local name as x wrote it: a directory "sub/dir" is reached as
// sub%2Fdir, a new file that Windows cannot name as it is ("a:b.txt", a
// local a%3Ab.txt there) gets the name x escaped, and every name below a new
// directory too. What cannot be an entry's name decoded is refused.
TEST(TreeEdit, TakesLocalNamesAsXWritesThemAndRoundTripsTheEscapes) {
  ImageBuilder image(kBlock);
  image.header(16, 1);
  image.directory(1,
                  {{"a/b", "TEXT", 4, 10}, {"..", "TEXT", 4, 11}, {"sub/dir", "DIR", kBlock, 2}});
  image.directory(2, {{"in", "TEXT", 4, 12}});
  for (const int block : {10, 11, 12}) image.data(block, "blk" + std::to_string(block - 10));
  image.resize(16 * kBlock);
  ScratchDir dir;
  image.save(dir / "image.iso");
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 0);
  const std::string colon = kWindows ? "a%3Ab.txt" : "a:b.txt";
  const std::string question = kWindows ? "q%3F" : "q?";
  writeFile(dir / "sub%2Fdir/new", "new");
  writeFile(dir / colon, "ab");
  std::filesystem::create_directory(dir / "more");
  writeFile(dir / ("more/" + question), "q");
  std::filesystem::create_directory(dir / "more/in");
  writeFile(dir / "more/in/deep", "d");
  writeFile(dir / "c%2Fd", "");
  std::filesystem::create_directory(dir / "bad");
  writeFile(dir / "bad/%2E", "");
  std::filesystem::remove(dir / "a%2Fb");
  std::filesystem::rename(dir / "%2E%2E", dir / "dots");
  const RunResult run = runTool({"image.iso"},
                                "i a%2Fb\ni %2E%2E\ni c%2Fd\ni %2E\ni bad\ni sub%2Fdir/new\ni " +
                                    colon + "\ni more\ne a/b\nn .. dots\nw\nq\n",
                                dir.path());
  EXPECT_EQ(run.output,
            summary(16 * kBlock, kBlock, kBlock) +
                "?>a%2Fb: already in the image; use r to change it.\n"
                "?>%2E%2E: already in the image; use r to change it.\n"
                "?>c%2Fd: not a name an entry can have.\n?>%2E: not a name an entry can have.\n"
                "?>bad/%2E: not a name an entry can have.\n"
                "?>?>?>?>?>?>sub/dir/new: added, 3 bytes\na:b.txt: added, 2 bytes\n"
                "more/: added, 2 files and 1 directory\na/b: erased\n..: renamed to dots\n"
                "New ISO written to output.iso\n?>Exiting...\n");
  std::filesystem::remove(dir / "c%2Fd");
  std::filesystem::remove_all(dir / "bad");
  const std::string output = readFile(dir / "output.iso").value();
  const std::vector<Walked> root = walk(output, at(1));
  ASSERT_EQ(names(root), (std::vector<std::string>{"dots", "sub/dir", "a:b.txt", "more"}));
  const std::vector<Walked> more = walk(output, at(root[3].startBlock));
  ASSERT_EQ(names(more), (std::vector<std::string>{"in", "q?"}));
  EXPECT_EQ(names(walk(output, at(more[0].startBlock))), std::vector<std::string>{"deep"});
  EXPECT_EQ(names(walk(output, at(2))), (std::vector<std::string>{"in", "new"}));
  expectRoundTrip(dir, "output.iso");
  expectUnchanged(dir / "image.iso", image);
}

// The root in two copies, full at six records, holds "full": a directory
// in three copies, full too, and a directory of three blocks, and files of
// type DATA but for one, r1.TXT.
ImageBuilder fullVolume() {
  ImageBuilder image(kBlock);
  image.header(40, 1);
  image.rootCopies({7});
  std::vector<EntrySpec> root = {{"full", "DIR", kBlock, 2, 2}, {"three", "DIR", 3 * kBlock, 8}};
  for (int i = 0; i < 4; ++i) root.push_back({"r" + std::to_string(i), "DATA", 1, 20 + i});
  root[3] = {"r1.TXT", "TEXT", 1, 21};
  for (const int block : {1, 7}) {
    image.furtherCopies(image.directory(block, root)[0], {3, 5});
  }
  std::vector<EntrySpec> full;
  for (int i = 0; i < 6; ++i) full.push_back({"f" + std::to_string(i), "DATA", 1, 24 + i});
  for (const int block : {2, 3, 5}) image.directory(block, full);
  std::vector<EntrySpec> three;
  for (int i = 0; i < 16; ++i) three.push_back({"t" + std::to_string(i), "DATA", 0, 30});
  image.directory(8, three, 3);
  image.resize(40 * kBlock);
  return image;
}

TEST(TreeEdit, MovesAFullDirectoryInEveryCopyAndUpdatesEveryRecordOfIt) {
  ScratchDir dir;
  fullVolume().save(dir / "image.iso");
  const std::string before = readFile(dir / "image.iso").value();
  ASSERT_EQ(runTool({"-c", "x", "image.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "full/new", "N");
  RunResult run = runTool({"-c", "i full/new", "-c", "w", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.output, "full/new: added, 1 byte\nNew ISO written to output.iso\n");
  std::string output = readFile(dir / "output.iso").value();
  // The data at 40, then one stretch of two blocks for each copy of full.
  ASSERT_EQ(output.size(), 47u * kBlock);
  EXPECT_EQ(output.substr(80, 4), be32(47));
  for (const int block : {1, 7}) {
    EXPECT_EQ(output.substr(at(block, 20 + 16), 8), be32(2 * kBlock) + be32(2));
    EXPECT_EQ(output.substr(at(block, 20 + 68), 12), be32(41) + be32(43) + be32(45));
  }
  std::vector<Walked> full = walkCopies(output, {41, 43, 45}, 2 * kBlock);
  ASSERT_EQ(full.size(), 7u);
  EXPECT_EQ(full[5].position, 20 + 5 * 72);
  EXPECT_EQ(full[6], (Walked{"new", 1, 40, kBlock + 20}));
  EXPECT_EQ(output.substr(at(2), kBlock), before.substr(at(2), kBlock));  // old blocks stay
  EXPECT_EQ(output.substr(kBlock, 20), before.substr(kBlock, 20));

  // The root moves too, with full's new record in it; the header names its
  // new copies. new.txt takes its type from r1.TXT, not from r3 before it.
  writeFile(dir / "new.txt", "M");
  run = runTool({"-c", "i full/new", "-c", "i new.txt", "-c", "w", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  output = readFile(dir / "output.iso").value();
  ASSERT_EQ(output.size(), 52u * kBlock);
  EXPECT_EQ(output.substr(80, 4), be32(52));
  EXPECT_EQ(output.substr(96, 12), be32(1) + be32(42) + be32(44));
  const std::vector<Walked> root = walkCopies(output, {42, 44}, 2 * kBlock);
  EXPECT_EQ(names(root),
            (std::vector<std::string>{"full", "three", "r0", "r1.TXT", "r2", "r3", "new.txt"}));
  EXPECT_EQ(output.substr(at(42, root[6].position + 8), 4), "TEXT");
  EXPECT_EQ(root[0], (Walked{"full", 2 * kBlock, 46, 20}));
  EXPECT_EQ(output.substr(at(42, 20 + 68), 12), be32(46) + be32(48) + be32(50));
  EXPECT_EQ(walkCopies(output, {46, 48, 50}, 2 * kBlock).size(), 7u);
  EXPECT_EQ(readFile(dir / "image.iso"), before);
  expectRoundTrip(dir, "output.iso");
}

// A new file takes its type from a sibling whose name has the same
// extension, what follows the last dot, in any case; else from the record
// before it. ".txt" has none, and neither has "n.".
TEST(TreeEdit, TakesTheTypeOfASiblingOfTheSameExtension) {
  ImageBuilder image(kBlock);
  image.header(32, 1);
  image.directory(1, {{"r1.TXT", "TEXT", 1, 20}, {"r.", "NOTE", 1, 21}, {"s", "DATA", 1, 22}});
  image.resize(32 * kBlock);
  ScratchDir dir;
  image.save(dir / "image.iso");
  const std::string dotted = kWindows ? "n%2E" : "n.";  // a Windows folder holds no "n."
  for (const std::string& name : std::vector<std::string>{"c.ext", ".txt", dotted, "b.txt"}) {
    writeFile(dir / name, "x");
  }
  const RunResult run =
      runTool({"-c", "i c.ext .txt " + dotted + " b.txt", "-c", "w", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  const std::string listing = runTool({"-c", "l", "output.iso"}, "", dir.path()).output;
  EXPECT_NE(listing.find(listingLine("c.ext", "DATA", 1, 32) + listingLine(".txt", "DATA", 1, 33) +
                         listingLine("n.", "DATA", 1, 34) + listingLine("b.txt", "TEXT", 1, 35)),
            std::string::npos)
      << listing;
}

TEST(TreeEdit, ErasesInABlockRenamesAndMovesADirectoryOfManyBlocks) {
  ScratchDir dir;
  fullVolume().save(dir / "image.iso");
  const std::string before = readFile(dir / "image.iso").value();
  for (const char* name : {"a", "b", "c", "d"}) {
    std::filesystem::create_directories(dir / "three");
    writeFile(dir / (std::string("three/") + name), "");
  }
  // Blocks of six records, then four: t0 is a block's first, t8 a middle
  // one, t11 the last of the second block.
  const RunResult run = runTool({"-c", "e three/t0", "-c", "c three", "-c", "e t8", "-c",
                                 "e /three/t11", "-c", "w", "image.iso"},
                                "", dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(output.size(), 40u * kBlock);  // in its own blocks
  const std::vector<Walked> three = walk(output, at(8));
  std::vector<std::string> expected;
  for (const int i : {1, 2, 3, 4, 5, 6, 7, 9, 10, 12, 13, 14, 15}) {
    expected.push_back("t" + std::to_string(i));
  }
  EXPECT_EQ(names(three), expected);
  for (std::size_t i = 0; i < three.size(); ++i) {
    EXPECT_EQ(three[i].position,
              static_cast<int>(i / 6) * kBlock + 20 + 72 * static_cast<int>(i % 6));
  }
  // The third block holds one record and then nothing but zeros.
  EXPECT_EQ(output.substr(at(10, 92), kBlock - 92), std::string(kBlock - 92, '\0'));
  EXPECT_EQ(output.substr(at(10), 4), be32(0xFFFFFFFF));

  // Names of all 31 bytes and of one: the whole field is written.
  const std::string longest(31, 'L');
  RunResult renamed =
      runTool({"-c", "n r0 " + longest, "-c", "n r2 s", "-c", "w", "image.iso"}, "", dir.path());
  EXPECT_EQ(renamed.output,
            "r0: renamed to " + longest + "\nr2: renamed to s\nNew ISO written to output.iso\n");
  std::string named = readFile(dir / "output.iso").value();
  for (const int block : {1, 7}) {
    EXPECT_EQ(named.substr(at(block, 172 + 32), 32), longest + '\0');
    EXPECT_EQ(named.substr(at(block, 316 + 32), 32), "s" + std::string(31, '\0'));
  }
  EXPECT_EQ(named.size(), 40u * kBlock);

  // Three blocks hold 18 records: the 19th moves it to four new blocks.
  const RunResult moved =
      runTool({"-c", "e three/t0", "-c", "n three/t1 t", "-c", "i three/a", "-c", "i three/b", "-c",
               "i three/c", "-c", "i three/d", "-c", "w", "image.iso"},
              "", dir.path());
  ASSERT_EQ(moved.status, 0) << moved.errors;
  named = readFile(dir / "output.iso").value();
  ASSERT_EQ(named.size(), 48u * kBlock);
  EXPECT_EQ(named.substr(at(1, 20 + 80 + 16), 8), be32(4 * kBlock) + be32(4));
  EXPECT_EQ(walkCopies(named, {1, 7}, kBlock)[1], (Walked{"three", 4 * kBlock, 44, 100}));
  const std::vector<Walked> four = walk(named, at(44));
  ASSERT_EQ(four.size(), 19u);
  EXPECT_EQ(four[0].name, "t");
  EXPECT_EQ(four[18], (Walked{"d", 0, 43, 3 * kBlock + 20}));
  EXPECT_EQ(named.substr(at(8), 3 * kBlock), before.substr(at(8), 3 * kBlock));
  EXPECT_EQ(readFile(dir / "image.iso"), before);
}

// The root and a directory of two blocks whose records and blocks show
// every convention: the offset past the last record at block offset 12,
// the flags' top bit on each directory's last record, the second-highest
// on each block's last; with `broken`, one block breaks the first.
ImageBuilder conventionsVolume(bool broken) {
  ImageBuilder image(kBlock);
  image.header(40, 1);
  std::vector<EntrySpec> root = {
      {"sub", "DIR", 2 * kBlock, 2}, {"a", "DATA", 1, 20}, {"b", "DATA", 1, 21, 0, -0x3fffffff}};
  image.directory(1, root);
  image.poke32(kBlock + 12, 20 + 3 * 72);
  std::vector<EntrySpec> sub;
  for (int i = 0; i < 8; ++i) {
    const std::int32_t flags = i == 5 ? 0x40000001 : i == 7 ? -0x3fffffff : 1;
    sub.push_back({"s" + std::to_string(i), "DATA", 1, 22, 0, flags});
  }
  image.directory(2, sub, 2);
  image.poke32(2 * kBlock + 12, 20 + 6 * 72);
  image.poke32(3 * kBlock + 12, broken ? 7 : 20 + 2 * 72);
  image.resize(40 * kBlock);
  return image;
}

TEST(TreeEdit, KeepsTheConventionsTheVolumeShowsOnEveryDirectory) {
  for (const bool broken : {false, true}) {
    ScratchDir dir;
    conventionsVolume(broken).save(dir / "image.iso");
    std::filesystem::create_directories(dir / "sub");
    writeFile(dir / "sub/new", "N");
    const RunResult run = runTool(
        {"-c", "i sub/new", "-c", "e a", "-c", "e sub/s0", "-c", "w", "image.iso"}, "", dir.path());
    ASSERT_EQ(run.status, 0) << run.errors;
    const std::string output = readFile(dir / "output.iso").value();
    const auto flags = [&](int block, int offset) { return output.substr(at(block, offset), 4); };
    EXPECT_EQ(names(walk(output, at(1))), (std::vector<std::string>{"sub", "b"}));
    EXPECT_EQ(flags(1, 92), be32(0xC0000001));
    // s5 stopped being the last of the first block and s6 became it; s7
    // stopped being the last of all.
    EXPECT_EQ(names(walk(output, at(2))),
              (std::vector<std::string>{"s1", "s2", "s3", "s4", "s5", "s6", "s7", "new"}));
    EXPECT_EQ(flags(2, 20 + 4 * 72), be32(1));
    EXPECT_EQ(flags(2, 20 + 5 * 72), be32(0x40000001));
    EXPECT_EQ(flags(3, 20), be32(1));
    EXPECT_EQ(flags(3, 92), be32(0xC0000001));
    EXPECT_EQ(flags(1, 12), broken ? be32(20 + 3 * 72) : be32(20 + 2 * 72));
    EXPECT_EQ(flags(2, 12), be32(20 + 6 * 72));
    EXPECT_EQ(flags(3, 12), broken ? be32(7) : be32(20 + 2 * 72));
    expectUnchanged(dir / "image.iso", conventionsVolume(broken));
  }
}

TEST(TreeEdit, GoesIntoTheOutputOfUAndRWithItsLinesFirst) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "docs/ch4.txt", "Chapter four.\n");
  writeFile(dir / "hello.txt", "Hi!\n");
  RunResult run = runTool({"-c", "i docs/ch4.txt", "-c", "u", "demo.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "docs/ch4.txt: added, 14 bytes\nhello.txt: 4 bytes into 1 copy\n"
            "New ISO written to output.iso\n");
  // r changes hello.txt's record where it stands, in the root, which the
  // edit of docs leaves as it is.
  run = runTool({"-c", "i docs/ch4.txt", "-c", "r", "demo.iso"}, "", dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(walk(readFile(dir / "output.iso").value(), at(1)).at(1),
            (Walked{"hello.txt", 4, 21, 92}));
  // r moves guide.txt; its record changes inside docs, which is re-packed
  // for ch4.txt, whose data goes behind r's. hello.txt's record changes in
  // the root, re-packed without README: only where it now stands.
  writeFile(dir / "hello.txt", "Hello!\n");
  writeFile(dir / "docs/guide.txt", std::string(600, 'g'));
  run = runTool({"-c", "i docs/ch4.txt", "-c", "e README", "-c", "r", "demo.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "docs/ch4.txt: added, 14 bytes\nREADME: erased\nhello.txt: 7 bytes into 1 copy\n"
            "docs/guide.txt: 600 bytes, moved to block 64\nNew ISO written to output.iso\n");
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(output.substr(80, 4), be32(67));
  EXPECT_EQ(walk(output, at(1)),
            (std::vector<Walked>{
                {"hello.txt", 7, 21, 20}, {"docs", 512, 2, 92}, {"logs", 1536, 4, 164}}));
  EXPECT_EQ(walk(output, at(2)),
            (std::vector<Walked>{
                {"guide.txt", 600, 64, 20}, {"archive", 512, 3, 92}, {"ch4.txt", 14, 66, 164}}));
  std::filesystem::remove(dir / "README");
  expectRoundTrip(dir, "output.iso");
  expectUnchanged(dir / "demo.iso", tools::demoImage());
}

// u and r see the tree as the pending changes leave it: what they erase is
// neither compared nor written (its local file left alone), below an erased
// directory nothing is, and a renamed entry is the local file of its new
// name, so that its old one is a file no entry means.
TEST(TreeEdit, LeavesWhatItErasesOutOfUAndRAndTakesRenamedEntriesByTheirNewNames) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "logs/day01.log", std::string(3000, '1'));
  writeFile(dir / "docs/archive/old-notes.txt", std::string(3000, 'o'));
  std::filesystem::remove(dir / "logs/day02.log");
  writeFile(dir / "logs/second.log", std::string(700, '2'));
  writeFile(dir / "hello.txt", "Hi!\n");  // the entry is greeting.txt now: not written
  writeFile(dir / "extra.txt", "e");      // added, then erased: no entry again
  RunResult run = runTool(
      {"-c", "e logs/day01.log", "-c", "e docs/archive", "-c", "n logs/day02.log second.log", "-c",
       "n hello.txt greeting.txt", "-c", "i extra.txt", "-c", "e extra.txt", "-c", "r", "demo.iso"},
      "", dir.path());
  EXPECT_EQ(run.output,
            "extra.txt: no entry in the image; not added.\n"
            "hello.txt: no entry in the image; not added.\nlogs/day01.log: erased\ndocs/archive/: "
            "erased\nlogs/day02.log: renamed to second.log\n"
            "hello.txt: renamed to greeting.txt\nextra.txt: added, 1 byte\nextra.txt: erased\n"
            "logs/second.log: 700 bytes, moved to block 64\n"
            "New ISO written to output.iso\n");
  const std::string output = readFile(dir / "output.iso").value();
  ASSERT_EQ(output.size(), 66u * kBlock);
  EXPECT_EQ(output.substr(80, 4), be32(66));
  EXPECT_EQ(walk(output, at(4)).front(), (Walked{"second.log", 700, 64, 20}));
  EXPECT_EQ(output.substr(at(64), 700), std::string(700, '2'));

  // Standing in a directory that is erased, nothing is compared.
  writeFile(dir / "guide.txt", std::string(3000, 'g'));
  run = runTool({"-c", "c docs", "-c", "e ../docs", "-c", "u", "demo.iso"}, "", dir.path());
  EXPECT_EQ(run.output, "Entering docs:\ndocs/: erased\nNew ISO written to output.iso\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(dir / "output.iso").value().size(), 64u * kBlock);
}

TEST(TreeEdit, WaitsInTheSessionAndSaysWhatWasNotWritten) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  writeFile(dir / "new.txt", "new\n");
  writeFile(dir / "hello.txt", "hi\n");
  std::filesystem::create_directories(dir / "box");
  writeFile(dir / "box/a", "a");
  std::filesystem::create_directories(dir / "output.iso");
  // Adding into an added directory, erasing and renaming what was added;
  // a write that fails keeps the changes, and the first q only warns.
  RunResult run = runTool({"demo.iso"},
                          "i\ni new.txt\ni box\ne box/a\ni box/a\nn box/a b\ni box/a\n"
                          "i box/a\nw\ni\nq\ni\nq\n",
                          dir.path());
  const std::string lines =
      "new.txt: added, 4 bytes\nbox/: added, 1 file and 0 directories\nbox/a: erased\n"
      "box/a: added, 1 byte\nbox/a: renamed to b\nbox/a: added, 1 byte\n";
  EXPECT_EQ(run.output, summary(32768, 512, 512) + "?>No changes are pending.\n?>?>?>?>?>?>" +
                            "?>box/a: already in the image; use r to change it.\n" +
                            "?>output.iso: is a directory.\nNothing written; output.iso is as it "
                            "was.\n?>" +
                            lines + "?>6 changes were not written.\n?>" + lines + "?>Exiting...\n");
  EXPECT_EQ(run.status, 0);

  // Written; w NAME meanwhile writes from the image, as always. A name
  // erased is free for a new entry.
  std::filesystem::remove(dir / "output.iso");
  run = runTool({"-c", "i new.txt", "-c", "w hello.txt", "-c", "i box", "-c", "e hello.txt", "-c",
                 "i hello.txt", "-c", "w", "-c", "i", "demo.iso"},
                "", dir.path());
  EXPECT_EQ(run.errors,
            batchErrors("-c 2", "Pending changes are not in this output; write them with w.\n"));
  EXPECT_EQ(run.output,
            "ISO Length: 32768, Address: 10752, Replacement Length: 3.\n"
            "Left to go: 22013 bytesNew ISO written to output.iso\n"
            "new.txt: added, 4 bytes\nbox/: added, 1 file and 0 directories\n"
            "hello.txt: erased\nhello.txt: added, 3 bytes\n"
            "New ISO written to output.iso\nNo changes are pending.\n");
  EXPECT_EQ(run.status, 0);
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(names(walk(output, at(1))),
            (std::vector<std::string>{"README", "docs", "logs", "new.txt", "box", "hello.txt"}));

  // Ending a batch with changes pending fails it, at the end of the input
  // too, and so does a failed command that stops it.
  for (const auto& [args, errors] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-c", "i new.txt", "demo.iso"}, "discshell: 1 change was not written.\n"},
           {{"-c", "i new.txt", "-c", "g missing", "-c", "w", "demo.iso"},
            batchErrors("-c 2", "File not found.\n") + "discshell: 1 change was not written.\n"},
           {{"-c", "i new.txt", "-c", "i box", "-c", "z", "demo.iso"},
            batchErrors("-c 3", "Invalid command\n") + "discshell: 2 changes were not written.\n"},
           {{"-c", "i new.txt", "-c", "q", "demo.iso"},
            batchErrors("-c 2", "1 change was not written.\n")},
           {{"-c", "i new.txt", "-c", "c ..", "demo.iso"},
            batchErrors("-c 2", "1 change was not written.\n")}}) {
    run = runTool(args, "", dir.path());
    EXPECT_EQ(run.errors, errors);
    EXPECT_EQ(run.status, 2);
  }
  run = runTool({"demo.iso"}, "i new.txt\nc ..\nc ..\n", dir.path());
  EXPECT_EQ(run.output, summary(32768, 512, 512) + "?>?>1 change was not written.\n?>");
  run = runTool({"demo.iso"}, "i new.txt\n", dir.path());
  EXPECT_EQ(run.output, summary(32768, 512, 512) + "?>?>1 change was not written.\nExiting...\n");
  EXPECT_EQ(run.status, 0);
  expectUnchanged(dir / "demo.iso", tools::demoImage());
}

// At the prompt on a terminal, l and t mark what the pending changes do to
// the image they list, and show what i adds; piped, they list the image as
// it is, byte for byte.
TEST(TreeEdit, ListingsMarkPendingChangesOnlyAtATerminal) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  std::filesystem::create_directories(dir / "box");
  writeFile(dir / "box/a", "a");
  std::filesystem::create_directories(dir / "docs");
  writeFile(dir / "docs/ch4.txt", "Chapter four.\n");
  const std::string script = "e hello.txt\nn README read.me\ni docs/ch4.txt box\nl\nt docs\nq\nq\n";
  const auto marked = [](const std::string& line, const std::string& mark) {
    return line.substr(0, line.size() - 1) + mark + "\n";
  };
  const std::string readme = listingLine("README", "TEXT", 56, 20);
  const std::string hello = listingLine("hello.txt", "TEXT", 14, 21);
  const std::string directories =
      listingLine("docs", "DIR", 512, 2) + listingLine("logs", "DIR", 1536, 4);
  const std::string tree =
      "TEXT\t43\t22\tguide.txt\nDIR\t512\t3\tarchive/\n"
      "TEXT\t21\t23\tarchive/old-notes.txt\n";
  const auto transcript = [](const std::string& listing, const std::string& t) {
    return summary(32768, 512, 512) + "?>?>?>?>" + kListingHeading + listing + "\n?>" + t +
           "?>4 changes were not written.\n?>Exiting...\n";
  };
  const auto here = std::filesystem::current_path();  // -C moves this process
  const RunResult terminal = runInProcess({"-C", dir.path(), dir / "demo.iso"}, script, true);
  const RunResult piped = runInProcess({"-C", dir.path(), dir / "demo.iso"}, script, false);
  std::filesystem::current_path(here);
  EXPECT_EQ(terminal.output,
            transcript(marked(readme, " (renamed to read.me)") +
                           marked(hello, " (erased: w writes it)") + directories + "box" +
                           std::string(28 + 1 + 4 + 2 + 15 + 2 + 6, ' ') + " (added)\n",
                       tree + "\t14\t\tch4.txt (added)\n"));
  EXPECT_EQ(piped.output, transcript(readme + hello + directories, tree));
}

// i reads what PATH names where x PATH writes it, as u and r do: after "x
// docs/archive", in ./archive. Of a directory the image has, it adds every
// local file and folder below it that has no entry, one change and one line
// each; several paths go on one line, split as n splits its words.
TEST(TreeEdit, AddsWhereXPathWroteAndWhatIsNewBelowADirectory) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x docs/archive", "-c", "x docs", "demo.iso"}, "", dir.path()).status,
            0);
  writeFile(dir / "archive/new.txt", "new\n");
  writeFile(dir / "archive/two words", "2");
  std::filesystem::create_directories(dir / "docs/archive/deeper");
  writeFile(dir / "docs/archive/deeper/d.txt", "deeper");
  writeFile(dir / "docs/ch4.txt", "Chapter four.\n");
  writeFile(dir / "docs/archive/x.txt", "x");
  RunResult run = runTool({"-c", "i docs/archive/new.txt 'docs/archive/two words'", "-c", "i docs",
                           "-c", "i docs", "-c", "r docs/archive", "demo.iso"},
                          "", dir.path());
  EXPECT_EQ(run.output,
            "docs/archive/deeper/: added, 1 file and 0 directories\n"
            "docs/archive/x.txt: added, 1 byte\n"
            "docs/ch4.txt: added, 14 bytes\n"
            "docs: nothing to add; every local file below it has an entry.\n"
            "docs/archive/new.txt: added, 4 bytes\ndocs/archive/two words: added, 1 byte\n"
            "docs/archive/deeper/: added, 1 file and 0 directories\n"
            "docs/archive/x.txt: added, 1 byte\ndocs/ch4.txt: added, 14 bytes\n"
            "New ISO written to output.iso\n");
  EXPECT_EQ(run.status, 0) << run.errors;
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(names(walk(output, at(1))),
            (std::vector<std::string>{"README", "hello.txt", "docs", "logs"}));
  // The same file i added, from where x docs/archive put it.
  run = runTool({"-c", "c docs/archive", "-c", "p new.txt", "-c", "p deeper/d.txt", "output.iso"},
                "", dir.path());
  EXPECT_EQ(run.output, "Entering docs/archive:\nnew\ndeeper");
  // A file that is there is refused as before; so is a name no folder holds.
  run = runTool({"-c", "i docs/archive/old-notes.txt", "demo.iso"}, "", dir.path());
  EXPECT_EQ(run.errors,
            batchErrors("-c 1",
                        "docs/archive/old-notes.txt: already in the image; use r to change it.\n"));
  run = runTool({"-c", "i 'unclosed", "demo.iso"}, "", dir.path());
  EXPECT_EQ(run.errors, batchErrors("-c 1", "Usage: i PATH...\n"));
  // A path that fails keeps the next from nothing: each is taken afresh.
  run = runTool({"-c", "i missing docs", "output.iso"}, "", dir.path());
  EXPECT_EQ(run.output, "docs: nothing to add; every local file below it has an entry.\n");
  EXPECT_EQ(run.errors, batchErrors("-c 1", "missing: no local file or directory there.\n"));
  expectUnchanged(dir / "demo.iso", tools::demoImage());
}

// What was added and then erased is not written; what was written is no
// longer pending, so a second w writes from the image again.
TEST(TreeEdit, WritesNeitherWhatWasAddedThenErasedNorWhatAnEarlierWWrote) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  writeFile(dir / "new.txt", "new\n");
  std::filesystem::create_directory(dir / "box");
  writeFile(dir / "box/a", "a");
  RunResult run = runTool(
      {"-c", "i new.txt", "-c", "e new.txt", "-c", "i box", "-c", "e box", "-c", "w", "demo.iso"},
      "", dir.path());
  EXPECT_EQ(run.output,
            "new.txt: added, 4 bytes\nnew.txt: erased\nbox/: added, 1 file and 0 directories\n"
            "box/: erased\nNew ISO written to output.iso\n");
  const std::vector<std::string> demoRoot{"README", "hello.txt", "docs", "logs"};
  EXPECT_EQ(names(walk(readFile(dir / "output.iso").value(), at(1))), demoRoot);
  run = runTool({"-c", "e README", "-c", "w", "-c", "n hello.txt hi.txt", "-c", "w", "demo.iso"},
                "", dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(names(walk(readFile(dir / "output.iso").value(), at(1))),
            (std::vector<std::string>{"README", "hi.txt", "docs", "logs"}));
  // A name erased is free again: another entry may take it.
  run = runTool({"-c", "e README", "-c", "n hello.txt README", "-c", "w", "demo.iso"}, "",
                dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(names(walk(readFile(dir / "output.iso").value(), at(1))),
            (std::vector<std::string>{"README", "docs", "logs"}));
  // Nothing of where the first write's files lay is left for the second:
  // each file below an added folder is read where i found it, one renamed
  // since too ("p%25" is no escape: "p%" needs none).
  std::filesystem::create_directory(dir / "one");
  writeFile(dir / "one/x%25", "x");
  writeFile(dir / "one/y", "y");
  std::filesystem::create_directory(dir / "two");
  writeFile(dir / "two/p%25", "p");
  writeFile(dir / "two/w", "w");
  run = runTool({"-c", "i new.txt", "-c", "i one", "-c", "n one/x%25 xx", "-c", "w", "-c", "i two",
                 "-c", "n two/w ww", "-c", "w", "demo.iso"},
                "", dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  ScratchDir again;
  writeFile(again / "copy.iso", readFile(dir / "output.iso").value());
  ASSERT_EQ(runTool({"-c", "x two", "copy.iso"}, "", again.path()).status, 0);
  EXPECT_EQ(readFile(again / "two/p%25"), "p");
  EXPECT_EQ(readFile(again / "two/ww"), "w");
}

TEST(TreeEdit, RefusesChangesItCannotMake) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const std::string longName(32, 'n');
  writeFile(dir / longName, "");
  writeFile(dir / "hello.txt", "");
  writeFile(dir / "%2E%2E", "");
  std::filesystem::create_directories(dir / "withlink");
  writeFile(dir / "withlink/file", "");
  std::string script = "i missing\ni hello.txt\ni ../x\ni /x\ni nodir/x\ni " + longName +
                       "\ni .\ne nothing\ne .\nn hello.txt\nn hello.txt 'a\nn hello.txt README\n"
                       "n hello.txt a/b\nn hello.txt ..\ni %2E%2E\nn hello.txt a\\ \"b\"'c'\ni\n";
  // One line of output for each command, "" for a command that prints nothing.
  std::string expected =
      "missing: no local file or directory there.\n"
      "hello.txt: already in the image; use r to change it.\n"
      "../x: not below the current directory, where x writes.\n"
      "/x: not below the current directory, where x writes.\nDirectory not found.\n" +
      longName +
      ": a name of more than 31 bytes.\n.: not a name an entry can have.\n"
      "File not found.\nFile not found.\nUsage: n PATH NEWNAME\nUsage: n PATH NEWNAME\n"
      "README: already in the image.\na/b: not a name an entry can have.\n"
      "..: not a name an entry can have.\n%2E%2E: not a name an entry can have.\n\n"
      "hello.txt: renamed to a bc\n";
  if (makeSymbolicLink("hello.txt", dir / "link") &&
      makeSymbolicLink("file", dir / "withlink/link")) {
    script += "i link\ni withlink\n";
    expected +=
        "link: a symbolic link; only files and directories are added.\n"
        "withlink/link: a symbolic link; only files and directories are added.\n";
  }
  const RunResult run = runTool({"demo.iso"}, script + "q\nq\n", dir.path());
  std::string transcript;
  for (std::size_t start = 0, end; (end = expected.find('\n', start)) != std::string::npos;
       start = end + 1) {
    const std::string line = expected.substr(start, end - start);
    transcript += "?>" + line + (line.empty() ? "" : "\n");
  }
  EXPECT_EQ(run.output, summary(32768, 512, 512) + transcript + "?>1 change was not written.\n" +
                            "?>Exiting...\n");
  expectUnchanged(dir / "demo.iso", tools::demoImage());
}

// Blocks larger than the window the writer's own walk reads through: each
// block it lays out is read back from the pair it keeps, the one before too.
TEST(TreeEdit, ReadsBackEveryBlockOfLargeBlocksItLaysOut) {
  ScratchDir dir;
  constexpr std::int32_t kLarge = 128 * 1024;
  std::vector<tools::EntrySpec> files;
  for (int i = 0; i < 4000; ++i) files.push_back({"f" + std::to_string(i), "TEXT", 1, 5});
  ImageBuilder image(kLarge);
  image.header(6, 1);
  image.directory(1, files, 3);
  image.data(5, "x");
  image.save(dir / "image.iso");
  writeFile(dir / "q", "Q");
  const RunResult run = runTool({"-c", "i q", "-c", "w", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.status, 0);
  const std::string output = readFile(dir / "output.iso").value_or("");
  EXPECT_EQ(names(walk(output, kLarge)).size(), 4001U);
}

// A write the disk cannot take says so, leaves no output and keeps the
// change pending.
TEST(TreeEdit, SaysAWriteThatFailedFailed) {
  if (kWindows) GTEST_SKIP() << "Windows has no file-size limit to make a write fail";
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  writeFile(dir / "q", "Q");
  ToolOptions full;
  full.fileSizeLimit = 4096;
  const RunResult run = runTool({"-c", "i q", "-c", "w", "demo.iso"}, "", dir.path(), full);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.errors, batchErrors("-c 2", "Could not write output.iso: File too large.\n") +
                            "discshell: 1 change was not written.\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_FALSE(exists(dir / "output.iso"));
}

// Blocks outside what the writer holds two of, or none at all: refused
// before anything is laid out, whatever the walk made of them.
TEST(TreeEdit, RefusesBlocksItCannotWrite) {
  ScratchDir dir;
  writeFile(dir / "q", "Q");
  for (const std::int32_t blockSize : {0, -512, 95, 1048577}) {
    ImageBuilder image = tools::demoImage();
    image.poke32(76, blockSize);
    image.save(dir / "demo.iso");
    const RunResult run = runTool({"-c", "i q", "-c", "w", "demo.iso"}, "", dir.path());
    EXPECT_EQ(run.errors, batchErrors("-c 2", "q: blocks of " + std::to_string(blockSize) +
                                                  " bytes; this tool writes directories of 96 to "
                                                  "1048576 bytes a block.\nNothing written.\n") +
                              "discshell: 1 change was not written.\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_FALSE(exists(dir / "output.iso"));
  }
}

// One i takes at most 100,000 entries: a directory with exactly that many
// below it is one too many. They are hard links to two files, which are
// made far faster than files.
TEST(TreeEdit, RefusesADirectoryOfAHundredThousandEntriesBelowIt) {
  if (kWindows) GTEST_SKIP() << "the limit is the same everywhere: its 100,000 links once";
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  std::filesystem::create_directory(dir / "big");
  writeFile(dir / "big/a", "");
  writeFile(dir / "big/b", "");
  for (int i = 2; i < 100000; ++i) {
    std::filesystem::create_hard_link(dir / (i % 2 == 0 ? "big/a" : "big/b"),
                                      dir / ("big/" + std::to_string(i)));
  }
  const RunResult run = runTool({"-c", "i big", "demo.iso"}, "", dir.path());
  EXPECT_EQ(run.errors, batchErrors("-c 1", "big: more than 100000 entries at once.\n"));
}

// A listing of a local folder that fails part-way is no end of the folder:
// i refuses the folder, as u and r do, and adds nothing; so does i of a
// directory the image has, whose local folder it lists for what is new.
TEST(TreeEdit, RefusesAFolderWhoseListingFailsPartWay) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  std::filesystem::create_directories(dir / "box/inner");
  std::filesystem::create_directories(dir / "docs");
  for (const char* name : {"box/a", "box/b", "box/inner/c", "box/inner/d", "docs/new"})
    writeFile(dir / name, "x");
  const auto here = std::filesystem::current_path();  // -C moves this process
  const auto add = [&](const char* command, std::size_t failAfter) {
    platform::Directory::failListingsAfter(failAfter);
    const RunResult run =
        runInProcess({"-C", dir.path(), "-c", command, "-c", "w", dir / "demo.iso"}, "", false);
    platform::Directory::failListingsAfter(std::nullopt);
    std::filesystem::current_path(here);
    return run;
  };
  for (const auto& [command, failAfter, path] :
       {std::tuple{"i box", std::size_t{1}, "box"}, std::tuple{"i docs", std::size_t{0}, "docs"}}) {
    const RunResult run = add(command, failAfter);
    EXPECT_EQ(run.errors,
              batchErrors("-c 1", std::string(path) + ": its local directory cannot be read.\n"))
        << command;
    EXPECT_EQ(run.status, 2);
    EXPECT_FALSE(std::filesystem::exists(dir / "output.iso"));
  }
}

// w reads what i adds: a file i cannot open is refused at i, not at w.
TEST(TreeEdit, RefusesALocalFileItCannotRead) {
  if (kWindows) GTEST_SKIP() << "Windows has no permission bits to take reading away";
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  writeFile(dir / "unread", "secret");
  std::filesystem::create_directories(dir / "box");
  writeFile(dir / "box/unread", "b");
  writeFile(dir / "readable", "a");
  for (const char* path : {"unread", "box/unread"}) {
    std::filesystem::permissions(dir / path, std::filesystem::perms::none);
  }
  std::filesystem::permissions(dir.path(), std::filesystem::perms{0755});
  ToolOptions nobody;
  nobody.asNobody = true;  // root reads anything
  const RunResult run =
      runTool({"demo.iso"}, "i unread\ni box\ni readable\nq\nq\n", dir.path(), nobody);
  if (run.status == kCannotExecute) GTEST_SKIP() << "the user nobody may not run the tool here";
  EXPECT_EQ(run.output, summary(32768, 512, 512) +
                            "?>unread: cannot be read (Permission denied); not added.\n"
                            "?>box/unread: cannot be read (Permission denied); not added.\n"
                            "?>?>1 change was not written.\n?>Exiting...\n");
}

TEST(TreeEdit, RefusesCopiesThatDifferAnd2GiBAndLaysOutRecordsThatFitNoBlocksInOrder) {
  ScratchDir dir;
  ImageBuilder image = fullVolume();
  image.poke(static_cast<std::int64_t>(at(5, 20 + 32)), "F0");
  image.save(dir / "image.iso");
  std::filesystem::create_directories(dir / "full");
  writeFile(dir / "full/new", "N");
  RunResult run = runTool({"-c", "i full/new", "-c", "w", "image.iso"}, "", dir.path());
  EXPECT_EQ(run.errors,
            batchErrors("-c 2", "full/new: copy 2 of /full differs.\nNothing written.\n") +
                "discshell: 1 change was not written.\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_FALSE(exists(dir / "output.iso"));
  expectUnchanged(dir / "image.iso", image);

  // Blocks of 600 bytes: with x gone, c (80 bytes) would start where 76
  // remain in a block that is not the last, and the walk reads it there. In
  // their order the records fit no blocks: a later record that fits goes
  // first (s), or else c closes the block in place of r6. A later record of
  // an earlier one's name never passes it (the second c).
  const auto packedAfterErasingX = [&](const std::vector<EntrySpec>& behind) {
    ImageBuilder odd(600);
    odd.header(20, 1);
    odd.directory(1, {{"d", "DIR", 1200, 2}});
    std::vector<EntrySpec> records;
    for (int i = 0; i < 7; ++i) records.push_back({"r" + std::to_string(i), "DATA", 0, 9});
    records.push_back({"x", "DATA", 0, 9});
    records.push_back({"c", "DATA", 0, 10, 2});
    records.insert(records.end(), behind.begin(), behind.end());
    odd.furtherCopies(odd.directory(2, records, 2)[8], {11, 12});
    odd.resize(20 * 600);
    odd.save(dir / "odd.iso");
    run = runTool({"-c", "e d/x", "-c", "w", "odd.iso"}, "", dir.path());
    EXPECT_EQ(run.status, 0) << run.errors;
    const std::string packed = readFile(dir / "output.iso").value();
    const MemorySource source(std::vector<unsigned char>(packed.begin(), packed.end()));
    std::string order;
    walkDirectory(source, readVolumeGeometry(source, 0).value(), 2 * 600,
                  [&](const DirectoryEntry& e) {
                    order += e.name + " ";
                    return WalkStep::kContinue;
                  });
    return order;
  };
  EXPECT_EQ(packedAfterErasingX({}), "r0 r1 r2 r3 r4 r5 c r6 ");
  EXPECT_EQ(packedAfterErasingX({{"s", "DATA", 0, 9}}), "r0 r1 r2 r3 r4 r5 r6 s c ");
  EXPECT_EQ(packedAfterErasingX({{"c", "DATA", 0, 9}}), "r0 r1 r2 r3 r4 r5 c r6 c ");

  ImageBuilder big(kBlock);
  big.header(8, 1);
  big.directory(1, {{"small", "DATA", 4, 2}});
  big.save(dir / "big.iso");
  std::filesystem::resize_file(dir / "big.iso", (std::uintmax_t{1} << 31) - kBlock);
  writeFile(dir / "new", std::string(kBlock + 1, 'n'));
  std::filesystem::remove(dir / "output.iso");
  run = runTool({"-c", "i new", "-c", "w", "big.iso"}, "", dir.path());
  EXPECT_EQ(run.errors, batchErrors("-c 2", "output.iso: would reach 2 GiB.\nNothing written.\n") +
                            "discshell: 1 change was not written.\n");
}

// A bare w on IMAGE after SCRIPT: its errors, and whether it wrote anything.
RunResult editAndWrite(const ScratchDir& dir, const ImageBuilder& image,
                       const std::vector<std::string>& commands) {
  image.save(dir / "image.iso");
  std::vector<std::string> args;
  for (const std::string& command : commands) args.insert(args.end(), {"-c", command});
  args.insert(args.end(), {"-c", "w", "image.iso"});
  std::filesystem::remove(dir / "output.iso");
  return runTool(args, "", dir.path());
}

// A volume whose header spans blocks 0 and 1 (blocks of 96 bytes), D's
// copy 1 in block 1, holding the header's bytes 96 to 104.
ImageBuilder headerCopyVolume() {
  ImageBuilder image(96);
  image.header(12, 5);
  image.furtherCopies(image.directory(5, {{"D", "DIR", 96, 3, 1}}, 2)[0], {1});
  image.directory(3, {{"f", "DATA", 1, 8}});
  image.poke32(3 * 96 + 4, 5);  // bytes the walk does not read: the header's root block
  const std::vector<unsigned char>& bytes = image.bytes();
  image.poke(96, std::string(bytes.begin() + 3 * 96, bytes.begin() + 4 * 96));
  image.resize(12 * 96);
  return image;
}

// Each writes only what it owns: every copy it rewrites in place, and each
// record it patches, meets nothing else the volume holds.
TEST(TreeEdit, RewritesNothingItDoesNotOwn) {
  ScratchDir dir;
  writeFile(dir / "q", "q");
  const std::string nothing = "Nothing written.\n";
  const std::string pending = "discshell: 1 change was not written.\n";
  RunResult run = editAndWrite(dir, headerCopyVolume(), {"n D/f g"});
  EXPECT_EQ(
      run.errors,
      batchErrors("-c 2", "D/f: copy 1 of /D overlaps the volume header.\n" + nothing) + pending);
  EXPECT_FALSE(exists(dir / "output.iso"));

  // The root's copy 1 is file x's data too.
  ImageBuilder rootOnData(kBlock);
  rootOnData.header(16, 1);
  rootOnData.rootCopies({10});
  // x's byte count is no whole number of blocks: it is no directory.
  rootOnData.directory(1, {{"x", "DATA", kBlock - 1, 10}});
  rootOnData.directory(10, {{"x", "DATA", kBlock - 1, 10}});
  rootOnData.resize(16 * kBlock);
  run = editAndWrite(dir, rootOnData, {"i q"});
  EXPECT_EQ(run.errors, batchErrors("-c 2", "q: copy 1 of / overlaps x.\n" + nothing) + pending);

  // Q is full and moves; its record lies in both copies of P, whose copy 1
  // is x's data.
  ImageBuilder recordOnData(kBlock);
  recordOnData.header(16, 1);
  recordOnData.directory(1, {{"P", "DIR", kBlock, 2, 1}, {"x", "DATA", kBlock - 1, 3}});
  std::vector<EntrySpec> full;
  for (int i = 0; i < 6; ++i) full.push_back({"f" + std::to_string(i), "DATA", 0, 9});
  recordOnData.directory(4, full);
  for (const int block : {2, 3}) {
    recordOnData.furtherCopies(recordOnData.directory(block, {{"Q", "DIR", kBlock, 4}})[0], {});
  }
  recordOnData.furtherCopies(static_cast<std::int64_t>(at(1, 20)), {3});
  recordOnData.resize(16 * kBlock);
  std::filesystem::remove(dir / "q");              // a folder that folds case takes Q for it
  std::filesystem::create_directories(dir / "Q");  // where x P/Q writes
  writeFile(dir / "Q/n0", "n");
  run = editAndWrite(dir, recordOnData, {"i P/Q/n0"});
  EXPECT_EQ(run.errors,
            batchErrors("-c 2", "P/Q/n0: copy 1 of /P overlaps x.\n" + nothing) + pending);

  // Q moves; its record lies in P's copy 1 on block 0, behind the header's bytes.
  ImageBuilder recordOnBlockZero(kBlock);
  recordOnBlockZero.header(16, 1);
  recordOnBlockZero.furtherCopies(recordOnBlockZero.directory(1, {{"P", "DIR", kBlock, 2, 1}})[0],
                                  {0});
  recordOnBlockZero.directory(4, full);
  recordOnBlockZero.directory(2,
                              {{"a", "DATA", 0, 9}, {"b", "DATA", 0, 9}, {"Q", "DIR", kBlock, 4}});
  const std::vector<unsigned char>& bytes = recordOnBlockZero.bytes();
  recordOnBlockZero.poke(104, std::string(bytes.begin() + static_cast<long>(at(2, 104)),
                                          bytes.begin() + static_cast<long>(at(3))));
  recordOnBlockZero.resize(16 * kBlock);
  run = editAndWrite(dir, recordOnBlockZero, {"i P/Q/n0"});
  EXPECT_EQ(run.errors,
            batchErrors("-c 2", "P/Q/n0: copy 1 of /P overlaps block 0.\n" + nothing) + pending);

  // x is A's block and ends where B begins: only A's rewrite meets it.
  ImageBuilder dataBetween(kBlock);
  dataBetween.header(16, 1);
  dataBetween.directory(1,
                        {{"A", "DIR", kBlock, 2}, {"B", "DIR", kBlock, 3}, {"x", "DATA", 511, 2}});
  for (const int block : {2, 3}) dataBetween.directory(block, {{"f", "DATA", 0, 9}});
  dataBetween.resize(16 * kBlock);
  run = editAndWrite(dir, dataBetween, {"n A/f g", "n B/f g"});
  EXPECT_EQ(run.errors, batchErrors("-c 3", "A/f: copy 0 of /A overlaps x.\n" + nothing) +
                            "discshell: 2 changes were not written.\n");

  // D and F keep their copy 1 in one block.
  ImageBuilder shared(kBlock);
  shared.header(16, 1);
  shared.directory(1, {{"D", "DIR", kBlock, 2, 1}, {"F", "DIR", kBlock, 3, 1}});
  shared.furtherCopies(static_cast<std::int64_t>(at(1, 20)), {9});
  shared.furtherCopies(static_cast<std::int64_t>(at(1, 20 + 76)), {9});
  for (const int block : {2, 3, 9}) shared.directory(block, {{"f", "DATA", 0, 9}});
  shared.resize(16 * kBlock);
  run = editAndWrite(dir, shared, {"n D/f g"});
  EXPECT_EQ(
      run.errors,
      batchErrors("-c 2", "D/f: copy 1 of /D overlaps the directory /F.\n" + nothing) + pending);
  run = runTool({"-c", "v", "image.iso"}, "", dir.path());
  EXPECT_NE(run.output.find("F/: overlaps D/\n"), std::string::npos) << run.output;
}

// Behind a volume offset of more than a block, the next-block field of
// each block of a directory names the following block from the volume's
// start, the last -1: in a directory re-packed in place and in one that i
// adds, which lists its files in name order whatever order the folder
// gives them in.
TEST(TreeEdit, ChainsTheBlocksOfEveryDirectoryItWritesBehindAVolumeOffset) {
  constexpr int kOffset = 600;
  const auto position = [](int block) {
    return static_cast<std::size_t>(kOffset + block * kBlock);
  };
  ScratchDir dir;
  ImageBuilder image(kBlock, kOffset);
  image.header(16, 1);
  image.directory(1, {{"L", "DIR", 3 * kBlock, 2}});
  std::vector<EntrySpec> sixteen;
  for (int i = 0; i < 16; ++i) sixteen.push_back({"t" + std::to_string(i), "DATA", 0, 9});
  image.directory(2, sixteen, 3);
  image.resize(position(16));
  image.save(dir / "image.iso");
  std::filesystem::create_directory(dir / "box");
  const std::vector<std::string> local{"d", "a", "f", "b", "g", "c", "e"};
  for (const std::string& name : local) writeFile(dir / ("box/" + name), name);
  const RunResult run =
      runTool({"-c", "n L/t0 u0", "-c", "i box", "-c", "w", "image.iso", std::to_string(kOffset)},
              "", dir.path());
  EXPECT_EQ(run.status, 0) << run.errors;
  const std::string output = readFile(dir / "output.iso").value();
  for (const auto& [block, next] : std::vector<std::pair<int, int>>{{2, 3}, {3, 4}, {4, -1}}) {
    EXPECT_EQ(output.substr(position(block), 4), be32(static_cast<std::uint32_t>(next))) << block;
  }
  // The seven files' blocks 16 to 22, then box's two blocks.
  const MemorySource source(std::vector<unsigned char>(output.begin(), output.end()));
  const VolumeGeometry geometry = readVolumeGeometry(source, kOffset).value();
  std::vector<std::string> boxNames;
  walkDirectory(source, geometry, static_cast<std::int32_t>(position(1)),
                [&](const DirectoryEntry& e) {
                  if (e.name == "box") {
                    EXPECT_EQ(e.startBlock, 23);
                    EXPECT_EQ(e.byteCount, 2 * kBlock);
                  }
                  return WalkStep::kContinue;
                });
  EXPECT_EQ(output.substr(position(23), 4), be32(24));
  EXPECT_EQ(output.substr(position(24), 4), be32(0xFFFFFFFF));
  walkDirectory(source, geometry, static_cast<std::int32_t>(position(23)),
                [&](const DirectoryEntry& e) {
                  boxNames.push_back(e.name);
                  return WalkStep::kContinue;
                });
  EXPECT_EQ(boxNames, (std::vector<std::string>{"a", "b", "c", "d", "e", "f", "g"}));
}

// A new record takes the fields no walk reads from a file of three copies,
// but has one copy: its own block, then the end marker.
TEST(TreeEdit, GivesANewFileOneCopyBesideFilesOfSeveral) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  image.header(16, 1);
  image.furtherCopies(image.directory(1, {{"a", "DATA", 1, 10, 2}})[0], {11, 12});
  image.resize(16 * kBlock);
  writeFile(dir / "new", "N");
  const RunResult run = editAndWrite(dir, image, {"i new"});
  ASSERT_EQ(run.status, 0) << run.errors;
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(walk(output, at(1)), (std::vector<Walked>{{"a", 1, 10, 20}, {"new", 1, 16, 100}}));
  EXPECT_EQ(output.substr(at(1, 100 + 64), 12), be32(0) + be32(16) + be32(0));
}

// d1's byte count claims blocks 2 and 3, d2 lies in block 3: d1 is written
// in the one block its records need, and d2 is left alone; once d1 needs
// both, the write is refused.
TEST(TreeEdit, RewritesOnlyTheBlocksADirectoryNeeds) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  image.header(16, 1);
  image.directory(1, {{"d1", "DIR", 2 * kBlock, 2}, {"d2", "DIR", kBlock, 3}});
  image.directory(2, {{"a", "DATA", 0, 9}});
  std::vector<EntrySpec> five;
  for (int i = 0; i < 5; ++i) five.push_back({"b" + std::to_string(i), "DATA", 0, 9});
  image.directory(3, five);
  image.resize(16 * kBlock);
  std::filesystem::create_directories(dir / "d1");
  for (int i = 0; i < 6; ++i) writeFile(dir / "d1/n" + std::to_string(i), "n");
  RunResult run = editAndWrite(dir, image, {"i d1/n0"});
  EXPECT_EQ(run.status, 0) << run.errors;
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(names(walk(output, at(3))), (std::vector<std::string>{"b0", "b1", "b2", "b3", "b4"}));
  EXPECT_EQ(names(walk(output, at(2))), (std::vector<std::string>{"a", "n0"}));
  run =
      editAndWrite(dir, image, {"i d1/n0", "i d1/n1", "i d1/n2", "i d1/n3", "i d1/n4", "i d1/n5"});
  EXPECT_EQ(run.errors, batchErrors("-c 7",
                                    "d1/n0: copy 0 of /d1 overlaps the directory /d2.\n"
                                    "Nothing written.\n") +
                            "discshell: 6 changes were not written.\n");
}

// Blocks of 456 bytes hold six records exactly, up to the end marker. The
// root is the image's last block: an edit that keeps six records rewrites
// it where it is, to the image's last byte; a seventh moves it behind.
TEST(TreeEdit, KeepsAnExactFitInPlaceAtTheImagesEndAndMovesWhatGrowsPastIt) {
  constexpr int kExact = 20 + 6 * 72 + 4;
  ScratchDir dir;
  ImageBuilder image(kExact);
  image.header(4, 3);
  std::vector<EntrySpec> six;
  for (int i = 0; i < 6; ++i) six.push_back({"f" + std::to_string(i), "DATA", 1, 2});
  image.directory(3, six);
  image.resize(4 * kExact);
  writeFile(dir / "new", "N");
  RunResult run = editAndWrite(dir, image, {"n f0 g0"});
  EXPECT_EQ(run.status, 0) << run.errors;
  std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(output.size(), 4u * kExact);
  EXPECT_EQ(output.substr(100, 4), be32(3));
  EXPECT_EQ(names(walk(output, 3 * kExact)),
            (std::vector<std::string>{"g0", "f1", "f2", "f3", "f4", "f5"}));
  run = editAndWrite(dir, image, {"i new"});
  EXPECT_EQ(run.status, 0) << run.errors;
  output = readFile(dir / "output.iso").value();
  // The new file's block 4, then the root's two at 5.
  EXPECT_EQ(output.size(), 7u * kExact);
  EXPECT_EQ(output.substr(80, 4), be32(7));
  EXPECT_EQ(output.substr(100, 4), be32(5));
  EXPECT_EQ(names(walk(output, 5 * kExact)),
            (std::vector<std::string>{"f0", "f1", "f2", "f3", "f4", "f5", "new"}));
  EXPECT_EQ(output.substr(4 * kExact, 1), "N");
}

// E of two blocks, emptied, stays a directory by the tool's own rule.
TEST(TreeEdit, AnEmptiedDirectoryStaysADirectory) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  image.header(16, 1);
  image.directory(1, {{"E", "DIR", 2 * kBlock, 2}});
  std::vector<EntrySpec> nine;
  for (int i = 0; i < 9; ++i) nine.push_back({"e0" + std::to_string(i) + ".dat", "DATA", 0, 9});
  image.directory(2, nine, 2);
  image.resize(16 * kBlock);
  std::vector<std::string> erases;
  for (int i = 0; i < 9; ++i) erases.push_back("e E/e0" + std::to_string(i) + ".dat");
  ASSERT_EQ(editAndWrite(dir, image, erases).status, 0);
  writeFile(dir / "copy.iso", readFile(dir / "output.iso").value());
  const RunResult run = runTool({"-c", "s E", "-c", "t", "-c", "x", "copy.iso"}, "", dir.path());
  EXPECT_NE(run.output.find("Directory: yes"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("DIR\t1024\t2\tE/\n"), std::string::npos) << run.output;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "E"));
}

// The root's copy list names block 1 twice: every slot that named a copy
// names its new place.
TEST(TreeEdit, MovesTheRootInEveryHeaderSlotThatNamedIt) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  image.header(16, 1);
  image.rootCopies({1, 2});
  std::vector<EntrySpec> full;
  for (int i = 0; i < 6; ++i) full.push_back({"f" + std::to_string(i), "DATA", 0, 9});
  for (const int block : {1, 2}) image.directory(block, full);
  image.resize(16 * kBlock);
  writeFile(dir / "newfile", "n");
  ASSERT_EQ(editAndWrite(dir, image, {"i newfile"}).status, 0);
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(output.substr(96, 16), be32(2) + be32(17) + be32(17) + be32(19));
  const RunResult v = runTool({"-c", "v", "output.iso"}, "", dir.path());
  EXPECT_TRUE(v.output.ends_with(": 0 problems.\n")) << v.output;
}

// Nothing goes into a directory a pending change erases, whatever path
// reaches it; erasing a directory drops the changes inside it.
TEST(TreeEdit, ChangesNothingInsideADirectoryItErases) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  std::filesystem::create_directories(dir / "docs/sub");
  writeFile(dir / "docs/sub/new.txt", "new");
  const RunResult run =
      runTool({"demo.iso"},
              "i docs/sub\nn docs/sub/new.txt n.txt\ne docs/guide.txt\ne docs\ni\nc logs\n"
              "e ../logs\ni x\n"
              "n day01.log y\ne day02.log\nw\nq\n",
              dir.path());
  const std::string docs = "docs/: erased, with 3 pending changes inside it\n";
  const std::string inside = ": inside logs/, which a pending change erases.\n";
  EXPECT_EQ(run.output, summary(32768, 512, 512) + "?>?>?>?>" + docs + "?>" + docs +
                            "?>Entering logs:\n?>?>x" + inside + "?>day01.log" + inside +
                            "?>day02.log" + inside + "?>" + docs +
                            "logs/: erased\nNew ISO written to output.iso\n?>Exiting...\n");
  const std::string output = readFile(dir / "output.iso").value();
  EXPECT_EQ(output.size(), 32768u);  // no data for sub/new.txt
  EXPECT_EQ(names(walk(output, at(1))), (std::vector<std::string>{"README", "hello.txt"}));
}

// i of a folder of 20,000 files and its w hold each added entry once: the
// scan's entries become the session's, their names lie in one buffer, the
// records the write makes name their entries rather than copy them, and
// the writers take the files from the session's list.
TEST(TreeEdit, AddsAFolderOfManyFilesInBoundedMemory) {
  if (kWindows || DISCSHELL_SANITIZED) {
    GTEST_SKIP() << "the harness weighs the tool only on POSIX, and the sanitizers need more";
  }
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  std::filesystem::create_directories(dir / "folder");
  for (int i = 0; i < 19999; ++i) writeFile(dir / ("folder/f" + std::to_string(100000 + i)), "x");
  // Room made for each folder's names as it is listed grows only as needed.
  std::string deep = "folder";
  for (int depth = 0; depth < 64; ++depth) deep += "/d";
  std::filesystem::create_directories(dir / deep);
  const RunResult run = runTool({"-c", "i folder", "-c", "w", "demo.iso"}, "", dir.path());
  EXPECT_EQ(run.output,
            "folder/: added, 19999 files and 64 directories\n"
            "New ISO written to output.iso\n");
  EXPECT_EQ(run.status, 0) << run.errors;
  EXPECT_LT(run.peakKiB, 8704);  // 9,416 KiB with a string for each name, 8,348 now
}

// A path through a large directory reads it once, as a command run inside
// it does, however many commands go through it: not a walk of it each.
TEST(TreeEdit, LooksAPathUpWithoutWalkingItsDirectoriesAgain) {
  ScratchDir dir;
  ImageBuilder image(kBlock);
  std::vector<EntrySpec> files;
  for (int i = 0; i < 4000; ++i) files.push_back({"file" + std::to_string(i), "FILE", 0, 0});
  const std::int64_t end = image.directory(2, files).back() + kBlock;
  const std::int32_t blocks = static_cast<std::int32_t>(end / kBlock);
  image.directory(1, {{"BIG", "DIR", (blocks - 2) * kBlock, 2}});
  image.header(blocks, 1);
  image.save(dir / "big.iso");
  const ImageFile file = ImageFile::open(dir / "big.iso").value();
  const VolumeGeometry geometry = readVolumeGeometry(file, 0).value();
  PendingChanges changes;
  PendingNames names;
  PendingView view(file, geometry, changes, names);
  const std::vector<Level> root{{geometry.rootDirectoryOffset, ""}};
  const auto lookUp = [&] {
    const auto path = view.resolveLocal(root, {"BIG"});
    EXPECT_TRUE(path && path->directories.size() == 2);
    EXPECT_TRUE(view.findLocal(path->directories.back(), "file3999"));
  };
  lookUp();
  const std::uint64_t before = file.reads();
  for (int i = 0; i < 100; ++i) lookUp();
  // A lookup reads the few records it finds (6 reads); a walk of BIG takes 12 more.
  EXPECT_LE(file.reads() - before, 100u * 10) << (file.reads() - before) / 100 << " reads a lookup";
}

}  // namespace
}  // namespace discshell::testing

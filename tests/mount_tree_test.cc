// The tree a mount shows, read in this process without FUSE: loops,
// duplicates and local names as t and x have them, listings that go on from any
// point, reads that fail beyond the image, and the bound on the name indexes.
// The options of --mount are checked here too, with or without libfuse.
#include "mount/mount_tree.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "console/help.h"
#include "fuzz/fuzz_input.h"
#include "session_harness.h"
#include "tools/image_builder.h"

namespace discshell::testing {
namespace {

using tools::EntrySpec;
using tools::ImageBuilder;

struct Mounted {
  explicit Mounted(const ImageBuilder& image,
                   std::size_t cacheBytes = MountTree::kDefaultCacheBytes)
      : source(image.bytes()),
        geometry(readVolumeGeometry(source, 0).value()),
        tree(source, geometry, cacheBytes) {}
  MemorySource source;
  VolumeGeometry geometry;
  MountTree tree;
};

std::vector<std::pair<MountNode, std::string>> listAll(MountTree& tree,
                                                       const MountNode& directory) {
  std::vector<std::pair<MountNode, std::string>> entries;
  tree.list(directory, 0, [&](const MountNode& node, const std::string& name, ListCookie) {
    entries.emplace_back(node, name);
    return true;
  });
  return entries;
}

// A file's bytes, read as the kernel reads them, 64 KiB at a time.
std::string contentsOf(MountTree& tree, const MountNode& file) {
  std::string contents;
  std::vector<unsigned char> chunk(1 << 16);
  for (;;) {
    const auto got = tree.read({file.start, file.entry.byteCount},
                               static_cast<std::int64_t>(contents.size()), chunk);
    if (!got) return "EIO";
    if (*got == 0) return contents;
    contents.append(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(*got));
  }
}

// Every path of the tree, depth first: "dir/", "dir/ (met before)" for a
// directory shown empty, "file: contents".
void describe(MountTree& tree, const MountNode& directory, const std::string& prefix,
              std::vector<std::string>& lines) {
  for (const auto& [node, name] : listAll(tree, directory)) {
    if (!node.directory) {
      lines.push_back(prefix + name + ": " + contentsOf(tree, node));
    } else if (!node.listed) {
      lines.push_back(prefix + name + "/ (met before)");
    } else {
      lines.push_back(prefix + name + "/");
      describe(tree, node, prefix + name + "/", lines);
    }
  }
}

std::vector<std::string> describe(MountTree& tree) {
  std::vector<std::string> lines;
  describe(tree, tree.node(kRootNode).value(), "", lines);
  return lines;
}

TEST(MountTree, ShowsLoopsEmptyTheFirstOfALocalNameAndNamesAsXWritesThem) {
  ImageBuilder image(2048);
  image.header(16, 1);
  image.directory(1, {{"docs", "DIR", 2048, 2},
                      {"again", "DIR", 2048, 2},  // the same directory: met before
                      {"same", "TEXT", 3, 10},
                      {"same", "TEXT", 5, 11},  // a later entry of the name
                      {"gone", "TEXT", 1, 0},   // block 0: not there, and it takes the name
                      {"gone", "TEXT", 1, 11},
                      {"", "TEXT", 1, 10},  // no file can have it: left out
                      {".", "TEXT", 1, 10},
                      {"..", "DIR", 2048, 2},
                      {"a/b", "DIR", 2048, 3},
                      {"a%2Fb", "DIR", 2048, 4},  // the local name of a/b: not shown, not entered
                      {"c", "DIR", 2048, 4},
                      {"%2E%2E", "DIR", 2048, 5},  // the local name of "..", met before
                      {"d", "DIR", 2048, 5}});
  image.directory(2, {{"note", "TEXT", 2, 12}, {"back", "DIR", 2048, 2}});
  image.directory(3, {{"..", "TEXT", 1, 10}, {"q?", "TEXT", 2, 12}});
  image.directory(4, {{"in", "TEXT", 2, 12}});
  image.directory(5, {{"inner", "TEXT", 3, 10}});
  image.data(10, "abc");
  image.data(11, "later");
  image.data(12, "hi");
  Mounted mounted(image);
  const std::string question = kWindows ? "q%3F" : "q?";
  EXPECT_EQ(describe(mounted.tree),
            (std::vector<std::string>{
                "docs/", "docs/note: hi", "docs/back/ (met before)", "again/ (met before)",
                "same: abc", "%2E: a", "%2E%2E/ (met before)", "a%2Fb/", "a%2Fb/%2E%2E: a",
                "a%2Fb/" + question + ": hi", "c/", "c/in: hi", "d/", "d/inner: abc"}));
  EXPECT_EQ(mounted.tree.namesLeftOut(), 1);
  const MountNode root = mounted.tree.node(kRootNode).value();
  EXPECT_EQ(mounted.tree.lookup(root, "same").value().entry.byteCount, 3);
  EXPECT_EQ(mounted.tree.lookup(root, "%2E").value().entry.name, ".");
  const MountNode slash = mounted.tree.lookup(root, "a%2Fb").value();
  EXPECT_EQ(slash.entry.name, "a/b");
  EXPECT_TRUE(slash.directory && slash.listed);
  EXPECT_EQ(mounted.tree.lookup(slash, question).value().entry.name, "q?");
  for (const char* absent : {"gone", "..", ".", "", "a/b", "a", "%2e", "docs/note", "Same"}) {
    EXPECT_FALSE(mounted.tree.lookup(root, absent)) << absent;
  }
  const MountNode again = mounted.tree.lookup(root, "again").value();
  EXPECT_TRUE(again.directory && !again.listed);
  EXPECT_FALSE(mounted.tree.lookup(again, "note"));
  // A node comes back as the lookup gave it, and differs from the same
  // directory met elsewhere.
  const MountNode docs = mounted.tree.lookup(root, "docs").value();
  EXPECT_NE(docs.id, again.id);
  const MountNode byId = mounted.tree.node(docs.id).value();
  EXPECT_EQ(byId.entry.name, "docs");
  EXPECT_TRUE(byId.directory && byId.listed);
}

TEST(MountTree, ListingGoesOnFromTheCookieOfEveryEntry) {
  // Three blocks of 512 bytes: the walk crosses twice.
  std::vector<EntrySpec> entries;
  for (int i = 0; i < 16; ++i) entries.push_back({"f" + std::to_string(i), "TEXT", 1, 9});
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, entries, 3);
  image.data(9, "x");
  for (const std::size_t cacheBytes : {MountTree::kDefaultCacheBytes, std::size_t{64}}) {
    Mounted mounted(image, cacheBytes);
    const MountNode root = mounted.tree.node(kRootNode).value();
    std::vector<std::string> names;
    ListCookie cookie = 0;
    for (bool more = true; more;) {
      more = false;
      mounted.tree.list(root, cookie,
                        [&](const MountNode&, const std::string& name, ListCookie next) {
                          if (more) return false;  // one entry a call, as a full buffer ends a call
                          names.push_back(name);
                          cookie = next;
                          more = true;
                          return true;
                        });
    }
    ASSERT_EQ(names.size(), entries.size());
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], entries[i].name);
  }
}

TEST(MountTree, ReadsFromTheStartBlockAndFailsOnBytesTheImageLacks) {
  ImageBuilder image(512);
  image.header(64, 1);
  image.directory(1, {{"digits", "TEXT", 10, 2},
                      {"empty", "TEXT", 0, 3},
                      {"cut", "TEXT", 600, 4},
                      {"negative", "TEXT", -1, 2},
                      {"below", "TEXT", 5, -1}});
  image.data(2, "0123456789");
  image.data(4, std::string(200, 'c'));
  image.resize(4 * 512 + 200);
  Mounted mounted(image);
  const MountNode root = mounted.tree.node(kRootNode).value();
  const auto read = [&](const char* name, std::int64_t offset, std::size_t size,
                        bool shortAtImageEnd = false) {
    const MountNode file = mounted.tree.lookup(root, name).value();
    std::vector<unsigned char> bytes(size);
    const auto got =
        mounted.tree.read({file.start, file.entry.byteCount, shortAtImageEnd}, offset, bytes);
    return got ? std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(*got))
               : std::string("EIO");
  };
  EXPECT_EQ(read("digits", 3, 4), "3456");
  EXPECT_EQ(read("digits", 8, 100), "89");
  EXPECT_EQ(read("digits", 10, 100), "");
  EXPECT_EQ(read("empty", 0, 100), "");
  EXPECT_EQ(read("cut", 0, 200), std::string(200, 'c'));
  EXPECT_EQ(read("cut", 0, 201), "EIO");
  EXPECT_EQ(read("cut", 199, 2), "EIO");
  EXPECT_EQ(read("cut", 600, 2), "");
  // Read as asked (direct I/O): the bytes the image holds, then EIO.
  EXPECT_EQ(read("cut", 0, 201, true), std::string(200, 'c'));
  EXPECT_EQ(read("cut", 199, 2, true), "c");
  EXPECT_EQ(read("cut", 200, 1, true), "EIO");
  EXPECT_EQ(read("cut", 599, 2, true), "EIO");
  EXPECT_EQ(read("cut", 600, 2, true), "");
  EXPECT_EQ(read("digits", 8, 100, true), "89");
  // Where the front end finds a read's bytes in the image, which it
  // answers from the image's descriptor when the image holds them all.
  const auto place = [](FileExtent file, std::int64_t offset, std::size_t size) {
    const auto found = MountTree::place(file, offset, size, 4 * 512 + 200);
    return found ? std::to_string(found->position) + "+" + std::to_string(found->count) : "EIO";
  };
  EXPECT_EQ(place({1024, 10}, 3, 4), "1027+4");
  EXPECT_EQ(place({1024, 10}, 8, 100), "1032+2");
  EXPECT_EQ(place({1024, 10}, 10, 100), "0+0");
  EXPECT_EQ(place({2048, 600}, 0, 200), "2048+200");
  EXPECT_EQ(place({2048, 600}, 199, 2), "EIO");
  EXPECT_EQ(place({2048, 600}, 600, 2), "0+0");
  EXPECT_EQ(place({1024, -1}, 0, 1), "EIO");
  EXPECT_EQ(place({-512, 5}, 0, 1), "EIO");
  for (const bool shortAtImageEnd : {false, true}) {
    const FileExtent file = unpackExtent(packExtent({-2048, 0x7FFFFFFF, shortAtImageEnd}));
    EXPECT_EQ(file.position, -2048);
    EXPECT_EQ(file.byteCount, 0x7FFFFFFF);
    EXPECT_EQ(file.shortAtImageEnd, shortAtImageEnd);
  }
  EXPECT_EQ(read("negative", 0, 1), "EIO");
  EXPECT_EQ(read("below", 0, 1), "EIO");
}

// A missing name is missing at once in a directory of any size, a table's
// sizes included; every name there is found.
TEST(MountTree, FindsEveryNameAndNoMissingOneInDirectoriesOfTableSizes) {
  for (const int count : {15, 16, 17, 32, 64, 128}) {
    std::vector<EntrySpec> files;
    for (int i = 0; i < count; ++i) files.push_back({"f" + std::to_string(i), "TEXT", 1, 9});
    ImageBuilder image(2048);
    image.header(60, 1);
    image.directory(1, files, 8);
    image.data(9, "x");
    Mounted mounted(image);
    const MountNode top = mounted.tree.node(kRootNode).value();
    for (int i = 0; i < count; ++i) {
      EXPECT_TRUE(mounted.tree.lookup(top, "f" + std::to_string(i))) << count << " " << i;
    }
    for (const std::string& missing :
         std::vector<std::string>{"missing", "f", "f" + std::to_string(count), ""}) {
      EXPECT_FALSE(mounted.tree.lookup(top, missing)) << count << " " << missing;
    }
  }
}

TEST(MountTree, KeepsItsNameIndexesWithinTheBound) {
  // 12 directories of 300 entries, a duplicate name last in each.
  std::vector<EntrySpec> files;
  for (int i = 0; i < 299; ++i) files.push_back({"f" + std::to_string(i), "TEXT", 1, 9});
  files.push_back({"f7", "TEXT", 2, 9});
  ImageBuilder image(2048);
  std::vector<EntrySpec> root;
  for (int d = 0; d < 12; ++d) {
    image.directory(10 + 20 * d, files, 20);
    root.push_back({"d" + std::to_string(d), "DIR", 20 * 2048, 10 + 20 * d});
  }
  image.directory(1, root, 2);
  image.data(9, "xy");
  image.header(10 + 20 * 12, 1);
  constexpr std::size_t kBound = 20 * 1024;  // the index of one directory, but not of two
  Mounted mounted(image, kBound);
  const MountNode top = mounted.tree.node(kRootNode).value();
  for (int round = 0; round < 2; ++round) {
    for (const auto& [directory, name] : listAll(mounted.tree, top)) {
      EXPECT_EQ(listAll(mounted.tree, directory).size(), 299u) << name;
      EXPECT_EQ(mounted.tree.lookup(directory, "f7").value().entry.byteCount, 1);
      EXPECT_LE(mounted.tree.cachedBytes(), kBound);
      EXPECT_GT(mounted.tree.cachedBytes(), 0u);
    }
  }
  // An index that alone would pass the bound is not made: the later entry
  // of a name then shows too, but a lookup still finds the first.
  Mounted small(image, 1024);
  const MountNode first = listAll(small.tree, small.tree.node(kRootNode).value()).at(0).first;
  EXPECT_EQ(listAll(small.tree, first).size(), 300u);
  EXPECT_EQ(small.tree.lookup(first, "f7").value().entry.byteCount, 1);
  EXPECT_EQ(small.tree.cachedBytes(), 0u);
}

// Directories of 16,384 entries or more get their name index as the mount
// starts, the largest first, as many as the bound holds together.
TEST(MountTree, IndexesItsLargestDirectoriesAsItStarts) {
  const auto image = [](std::vector<int> sizes) {
    ImageBuilder built(2048);
    std::vector<EntrySpec> root;
    std::int32_t block = 2;
    for (std::size_t d = 0; d < sizes.size(); ++d) {
      std::vector<EntrySpec> files;
      for (int i = 0; i < sizes[d]; ++i) files.push_back({"f" + std::to_string(i), "TEXT", 0, 1});
      const std::int32_t blocks = sizes[d] / 28 + 1;
      built.directory(block, files, blocks);
      root.push_back({"d" + std::to_string(d), "DIR", blocks * 2048, block});
      block += blocks;
    }
    built.directory(1, root);
    built.header(block, 1);
    return built;
  };
  Mounted edge(image({16383, 16384}));
  EXPECT_GT(edge.tree.cachedBytes(), 16384u * 8);
  EXPECT_LT(edge.tree.cachedBytes(), 16383u * 8 * 2);
  // The root's own two entries, counted after a large child's, leave it small.
  const std::size_t atStart = edge.tree.cachedBytes();
  EXPECT_TRUE(edge.tree.lookup(edge.tree.node(kRootNode).value(), "d1"));
  EXPECT_GT(edge.tree.cachedBytes(), atStart);
  constexpr std::size_t kBound = 200 * 1024;  // 20,000 entries' index, not 17,000's beside it
  Mounted two(image({17000, 20000}), kBound);
  const MountNode top = two.tree.node(kRootNode).value();
  const MountNode larger = two.tree.lookup(top, "d1").value();
  const std::size_t bytes = two.tree.cachedBytes();
  EXPECT_GT(bytes, 20000u * 8);
  EXPECT_TRUE(two.tree.lookup(larger, "f19999"));
  EXPECT_EQ(two.tree.cachedBytes(), bytes);  // its index was there
}

// A source that counts the reads made of it.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(const ImageBuilder& image) : source_(image.bytes()) {}
  [[nodiscard]] std::size_t readAt(std::int64_t position,
                                   std::span<unsigned char> out) const override {
    ++reads;
    return source_.readAt(position, out);
  }
  mutable std::uint64_t reads = 0;

 private:
  MemorySource source_;
};

TEST(MountTree, LooksNamesUpInADirectoryOfAMillionEntriesByItsIndex) {
  const CountingSource source([] {
    // Every record in the root's one block and past it, as the last block allows.
    std::vector<EntrySpec> files;
    for (int i = 0; i < 1000000; ++i) files.push_back({"f" + std::to_string(i), "TEXT", 0, 1});
    ImageBuilder image(2048);
    const std::int64_t end = image.directory(1, files).back() + 2048;
    image.header(static_cast<std::int32_t>(end / 2048) + 1, 1);
    return image;
  }());
  const VolumeGeometry geometry = readVolumeGeometry(source, 0).value();
  MountTree tree(source, geometry);
  // The index is made as the mount starts: even the first lookup is quick.
  EXPECT_GT(tree.cachedBytes(), 0u);
  const std::uint64_t before = source.reads;
  const MountNode root = tree.node(kRootNode).value();
  for (int i = 0; i < 1000000; i += 10007) {
    EXPECT_EQ(tree.lookup(root, "f" + std::to_string(i)).value().entry.name,
              "f" + std::to_string(i));
  }
  EXPECT_FALSE(tree.lookup(root, "f1000000"));
  // A name's record and its entry: a few reads each, not a walk of 73 MB.
  EXPECT_LE(source.reads - before, 101u * 4);
}

TEST(MountTree, ServesEveryCorpusImageWithinItsBytes) {
  std::size_t served = 0;
  for (const auto& [path, input] : fuzz::readCorpus(DISCSHELL_FUZZ_CORPUS)) {
    const MemorySource source(std::vector<unsigned char>(input.image.begin(), input.image.end()));
    const auto geometry = readVolumeGeometry(source, 0);
    if (!geometry) continue;
    MountTree tree(source, *geometry);
    const std::vector<std::string> lines = describe(tree);
    for (const std::string& line : lines) EXPECT_FALSE(line.empty()) << path;
    ++served;
  }
  EXPECT_GT(served, 10u);
}

TEST(MountOptions, GoOnlyWithMountAndMountTakesNoCommands) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--mount", "m", "-c", "l", "image.iso"},
        {"--mount", "m", "-f", "-", "image.iso"},
        {"--mount", "m", "-o", "out.iso", "image.iso"},
        {"--overwrite", "--mount", "m", "image.iso"},
        {"-C", "d", "--mount", "m", "image.iso"}}) {
    const RunResult run = runInProcess(args, "", false);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "discshell: --mount takes no commands\n");
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--foreground", "image.iso"},
        {"--fuse-option", "allow_other", "image.iso"}}) {
    const RunResult run = runInProcess(args, "", false);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors, "discshell: --foreground and --fuse-option go with --mount\n" +
                              std::string(kUsageLine));
  }
  const RunResult missing = runInProcess({"--mount"}, "", false);
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.errors,
            "discshell: option requires an argument: --mount\n" + std::string(kUsageLine));
  const RunResult noImage = runInProcess({"--mount", "m", "missing.iso"}, "", false);
  EXPECT_EQ(noImage.status, 1);
  EXPECT_EQ(noImage.output, "");
  EXPECT_EQ(noImage.errors, "Could not open image file.\nUsage: discshell IMAGE [VOLUME-OFFSET]\n");
}

TEST(MountOptions, SayTheBuildCannotMountWithoutLibfuse) {
  if (DISCSHELL_HAVE_FUSE) GTEST_SKIP() << "this build mounts: mount_test.cc tests it";
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const RunResult run = runInProcess({"--mount", dir.path(), dir / "demo.iso"}, "", false);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.errors, "discshell: this build cannot mount: it was built without libfuse 3\n");
}

}  // namespace
}  // namespace discshell::testing

// --patch: the delta w, u and r write instead of the image, decoded here by
// a decoder of the tests' own over the default code table and, where it is
// installed, by xdelta3, and compared with what -o writes.
#include "output/vcdiff_writer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "edit/update_plan.h"
#include "local/local_tree.h"
#include "output/delta_match.h"
#include "session_harness.h"
#include "volume/geometry.h"

namespace discshell::testing {
namespace {

// The default code table: each code is one or two instructions, a size of
// 0 meaning that the size follows in the instructions.
enum Type : unsigned char { kNone, kAdd, kRun, kCopy };
struct Instruction {
  Type type = kNone;
  unsigned size = 0;
  unsigned mode = 0;
};
using Code = std::array<Instruction, 2>;

std::array<Code, 256> defaultCodeTable() {
  std::array<Code, 256> table{};
  std::size_t i = 0;
  table[i++] = {{{kRun, 0, 0}}};
  for (unsigned size = 0; size <= 17; ++size) table[i++] = {{{kAdd, size, 0}}};
  for (unsigned mode = 0; mode <= 8; ++mode) {
    table[i++] = {{{kCopy, 0, mode}}};
    for (unsigned size = 4; size <= 18; ++size) table[i++] = {{{kCopy, size, mode}}};
  }
  for (unsigned mode = 0; mode <= 8; ++mode) {
    for (unsigned add = 1; add <= 4; ++add) {
      for (unsigned copy = 4; copy <= (mode <= 5 ? 6u : 4u); ++copy)
        table[i++] = {{{kAdd, add, 0}, {kCopy, copy, mode}}};
    }
  }
  for (unsigned mode = 0; mode <= 8; ++mode) table[i++] = {{{kCopy, 4, mode}, {kAdd, 1, 0}}};
  EXPECT_EQ(i, 256u);
  return table;
}

struct DeltaError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  [[nodiscard]] bool atEnd() const { return at_ == bytes_.size(); }
  [[nodiscard]] std::size_t at() const { return at_; }
  std::string_view take(std::uint64_t count) {
    if (count > bytes_.size() - at_) throw DeltaError("runs past its end");
    at_ += count;
    return bytes_.substr(at_ - count, count);
  }
  unsigned char byte() { return static_cast<unsigned char>(take(1)[0]); }
  std::uint64_t integer() {
    std::uint64_t value = 0;
    for (int digits = 0; digits < 9; ++digits) {
      const unsigned char digit = byte();
      value = value << 7 | (digit & 0x7Fu);
      if ((digit & 0x80) == 0) return value;
    }
    throw DeltaError("an integer too long");
  }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

struct Decoded {
  std::string target;
  std::vector<std::uint64_t> windows;  ///< each window's target length
  std::vector<std::string> adds;       ///< the bytes of each ADD
};

// Each window decoded on its own, its COPYs reading the segment of `source`
// it names, then the target so far; the address cache as the format has it.
Decoded decodeDelta(std::string_view delta, std::string_view source) {
  static const std::array<Code, 256> table = defaultCodeTable();
  Reader in(delta);
  if (in.take(5) != std::string_view("\xD6\xC3\xC4\x00\x00", 5)) throw DeltaError("header");
  Decoded decoded;
  while (!in.atEnd()) {
    const unsigned char indicator = in.byte();
    if ((indicator & ~0x05) != 0) throw DeltaError("window indicator");  // source, Adler-32
    const std::uint64_t segmentLength = indicator & 1 ? in.integer() : 0;
    const std::uint64_t segmentPosition = indicator & 1 ? in.integer() : 0;
    if (segmentPosition + segmentLength > source.size()) throw DeltaError("segment");
    const std::uint64_t deltaLength = in.integer();
    const std::size_t deltaStart = in.at();
    const std::uint64_t targetLength = in.integer();
    if (in.byte() != 0 || targetLength > std::uint64_t{kPatchWindowTarget})
      throw DeltaError("window");
    const std::uint64_t lengths[3] = {in.integer(), in.integer(), in.integer()};
    if (indicator & 4) in.take(4);
    Reader data(in.take(lengths[0])), instructions(in.take(lengths[1])),
        addresses(in.take(lengths[2]));
    if (in.at() - deltaStart != deltaLength) throw DeltaError("delta length");
    const std::string_view segment = source.substr(segmentPosition, segmentLength);
    std::string window;
    std::array<std::uint64_t, 4> near{};
    std::array<std::uint64_t, 3 * 256> same{};
    std::size_t nextNear = 0;
    while (!instructions.atEnd()) {
      for (const Instruction& op : table[instructions.byte()]) {
        if (op.type == kNone) continue;
        const std::uint64_t size = op.size != 0 ? op.size : instructions.integer();
        if (window.size() + size > targetLength) throw DeltaError("past the target window");
        if (op.type == kAdd) window += decoded.adds.emplace_back(data.take(size));
        if (op.type == kRun) window.append(size, static_cast<char>(data.byte()));
        if (op.type != kCopy) continue;
        const std::uint64_t here = segmentLength + window.size();
        std::uint64_t address =
            op.mode >= 6 ? same[(op.mode - 6) * 256 + addresses.byte()] : addresses.integer();
        if (op.mode == 1) address = here - address;
        if (op.mode >= 2 && op.mode <= 5) address += near[op.mode - 2];
        if (address >= here) throw DeltaError("a COPY from ahead");
        near[nextNear] = address;
        nextNear = (nextNear + 1) % near.size();
        same[address % same.size()] = address;
        for (std::uint64_t k = address; k < address + size; ++k)
          window += k < segmentLength ? segment[k] : window[k - segmentLength];
      }
    }
    if (!data.atEnd() || !addresses.atEnd() || window.size() != targetLength)
      throw DeltaError("sections not used up");
    decoded.target += window;
    decoded.windows.push_back(targetLength);
  }
  return decoded;
}

// The delta at `patch`, applied to `image`: by xdelta3 into `out` when
// `xdelta` is set, else by the decoder above.
std::string applyPatch(const std::string& image, const std::string& patch, bool xdelta,
                       const std::string& out) {
  if (!xdelta) return decodeDelta(readFile(patch).value(), readFile(image).value()).target;
  const std::string command =
      "xdelta3 -d -f -s '" + image + "' '" + patch + "' '" + out + "' >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return readFile(out).value_or("xdelta3 wrote nothing");
}

bool haveXdelta3() {
  static const bool have = !kWindows && std::system("xdelta3 -V >/dev/null 2>&1") == 0;
  return have;
}
const char* const kNoXdelta3 =
    "xdelta3 is not installed (Debian: xdelta3): only the tests' own decoder read the deltas";

// Every literal byte of a delta: COPY with its size in the code and after
// it, neighbouring ADDs from a local file and a byte write joined, RUNs of
// the zeros up to a write behind the image's end and behind it.
TEST(VcdiffWriter, WritesTheDefaultCodeTablesInstructionsByteForByte) {
  ScratchDir dir;
  writeFile(dir / "image.iso", std::string(100, 'i'));
  writeFile(dir / "hello", "HELLO");
  const auto image = ImageFile::open(dir / "image.iso").value();
  const auto top = platform::Directory::open(dir.path()).value();
  const ImageChanges changes{
      {{"hello", platform::statPath(dir / "hello").value(), 5, {10, 200}, {}}},
      {{12, "xy"}},
      {},
      210};
  const PatchResult result = writeChangesPatch(image, filesBelow(top), changes, dir / "p.vcdiff");
  const std::string expected = std::string("\xD6\xC3\xC4\0\0", 5) +  // header
                               std::string("\x01\x64\x00\x1D", 4) +  // window: source 0..100
                               std::string("\x81\x52\x00\x0C\x09\x02", 6) +  // 210 bytes
                               std::string("HExyO\0HELLO\0", 12) +           // data
                               std::string("\x1A\x06\x13\x55\x00\x64\x06\x00\x05", 9) +
                               std::string("\x00\x0F", 2);  // COPY addresses 0 and 15
  EXPECT_EQ(result.write.outcome, WriteOutcome::kWritten);
  EXPECT_EQ(result.size, static_cast<std::int64_t>(expected.size()));
  EXPECT_EQ(readFile(dir / "p.vcdiff"), expected);
}

// Files kept by the plan that made them, as a bare w keeps the added ones.
class KeptFiles final : public LocalWriteSource {
 public:
  explicit KeptFiles(std::vector<LocalWrite> writes) : writes_(std::move(writes)) {}
  [[nodiscard]] std::size_t size() const override { return writes_.size(); }
  [[nodiscard]] LocalWriteView at(std::size_t i) const override {
    const LocalWrite& write = writes_.at(i);
    return {write.path, write.status, write.length, write.positions, write.replaced};
  }

 private:
  std::vector<LocalWrite> writes_;
};

// The files held in the changes go first, then those kept elsewhere: a
// later one over an earlier, in the image and in the delta alike.
TEST(VcdiffWriter, WritesTheFilesHeldThenThoseKeptElsewhere) {
  ScratchDir dir;
  const std::string source(100, 'i');
  writeFile(dir / "image.iso", source);
  for (const char* name : {"held", "kept", "last"}) writeFile(dir / name, name);
  const auto image = ImageFile::open(dir / "image.iso").value();
  const auto top = platform::Directory::open(dir.path()).value();
  const auto write = [&](const char* name, std::int64_t position) {
    return LocalWrite{name, platform::statPath(dir / name).value(), 4, {position}, {}};
  };
  ImageChanges changes{{write("held", 10)}, {}, {}, 110};
  changes.files.kept =
      std::make_shared<KeptFiles>(std::vector<LocalWrite>{write("kept", 12), write("last", 104)});
  ASSERT_EQ(changes.files.size(), 3u);
  std::string expected = source + std::string(10, '\0');
  expected.replace(10, 4, "held").replace(12, 4, "kept").replace(104, 4, "last");
  ASSERT_EQ(writeChangedImage(image, filesBelow(top), changes, dir / "out.iso").outcome,
            WriteOutcome::kWritten);
  EXPECT_EQ(readFile(dir / "out.iso"), expected);
  ASSERT_EQ(writeChangesPatch(image, filesBelow(top), changes, dir / "p.vcdiff").write.outcome,
            WriteOutcome::kWritten);
  EXPECT_EQ(decodeDelta(readFile(dir / "p.vcdiff").value(), source).target, expected);
}

// Bytes made as they are read, as a re-packed directory is.
class StringStream final : public ByteStream {
 public:
  explicit StringStream(const std::string& bytes) : bytes_(bytes) {}
  std::optional<std::size_t> read(std::span<unsigned char> out) override {
    const std::size_t size = std::min(out.size(), bytes_.size() - done_);
    std::memcpy(out.data(), bytes_.data() + done_, size);
    done_ += size;
    return size;
  }

 private:
  const std::string& bytes_;
  std::size_t done_ = 0;
};

// A target of 25 MiB: a local file across the first window's end, a byte
// write across the second's, a stream across the third's (and again inside
// the first), zeros across the third's too.
TEST(VcdiffWriter, CutsWindowsOfEightMiBAndCarriesEachPieceAcross) {
  constexpr std::int64_t kMiB = 1 << 20;
  ScratchDir dir;
  std::string source(20 * kMiB + 3, '\0');
  for (std::size_t i = 0; i < source.size(); i += 4093) source[i] = static_cast<char>(i >> 12);
  writeFile(dir / "image.iso", source);
  std::string local(3 * kMiB, '\0');
  for (std::size_t i = 0; i < local.size(); ++i) local[i] = static_cast<char>(i * 7 >> 8);
  writeFile(dir / "local", local);
  const auto image = ImageFile::open(dir / "image.iso").value();
  const auto top = platform::Directory::open(dir.path()).value();
  std::string streamed(100 * 1024 + 7, '\0');
  for (std::size_t i = 0; i < streamed.size(); ++i) streamed[i] = static_cast<char>(i * 13 >> 9);
  const ImageChanges changes{
      {{"local", platform::statPath(dir / "local").value(), 3 * kMiB, {7 * kMiB, 22 * kMiB}, {}}},
      {{16 * kMiB - 2, "abcd"}},
      {{{3 * kMiB, 24 * kMiB - 1000},
        static_cast<std::int64_t>(streamed.size()),
        [&] { return std::make_unique<StringStream>(streamed); },
        {}}},
      25 * kMiB + 1};
  ASSERT_EQ(writeChangesPatch(image, filesBelow(top), changes, dir / "p.vcdiff").write.outcome,
            WriteOutcome::kWritten);
  std::string expected = source + std::string(5 * kMiB - 2, '\0');
  expected.replace(7 * kMiB, local.size(), local);
  expected.replace(22 * kMiB, local.size(), local);
  expected.replace(3 * kMiB, streamed.size(), streamed);
  expected.replace(24 * kMiB - 1000, streamed.size(), streamed);
  expected.replace(16 * kMiB - 2, 4, "abcd");
  const std::string delta = readFile(dir / "p.vcdiff").value();
  const Decoded decoded = decodeDelta(delta, source);
  EXPECT_TRUE(decoded.target == expected);
  EXPECT_EQ(decoded.windows, (std::vector<std::uint64_t>{8 * kMiB, 8 * kMiB, 8 * kMiB, kMiB + 1}));
  // The local file's first stretch, behind image bytes in its window, lies
  // where the kernel copies it at full speed: at a position of the delta
  // that agrees with the file's (0) modulo the kernel's unit.
  const auto file = platform::openForReading(dir / "p.vcdiff");
  const std::int64_t alignment = file ? platform::kernelCopyAlignment(*file) : 0;
  if (alignment > 0) {
    EXPECT_EQ(static_cast<std::int64_t>(delta.find(local.substr(0, 4096))) % alignment, 0);
  }
  if (!haveXdelta3()) GTEST_SKIP() << kNoXdelta3;
  EXPECT_TRUE(applyPatch(dir / "image.iso", dir / "p.vcdiff", true, dir / "out") == expected);
}

// Runs `command` on the image once with -o and once with --patch: the same
// lines but the last, and the delta applied to the image gives the output.
void expectPatchGivesOutput(const ScratchDir& dir, const std::vector<std::string>& commands,
                            const std::vector<std::string>& image) {
  std::vector<std::string> withO = {"-o", "out.iso"};
  std::vector<std::string> withPatch = {"--patch", "p.vcdiff"};
  for (const std::string& command : commands) {
    for (auto* args : {&withO, &withPatch}) args->insert(args->end(), {"-c", command});
  }
  const std::string& command = commands.back();
  withO.insert(withO.end(), image.begin(), image.end());
  withPatch.insert(withPatch.end(), image.begin(), image.end());
  const RunResult written = runTool(withO, "", dir.path());
  const RunResult patched = runTool(withPatch, "", dir.path());
  ASSERT_EQ(written.status, 0) << written.errors;
  ASSERT_EQ(patched.status, 0) << patched.errors;
  const auto size = std::filesystem::file_size(dir / "p.vcdiff");
  // Each run names the other's output among the local files with no entry.
  const auto changeLines = [](const std::string& output) {
    std::string lines;
    for (std::size_t start = 0, end; (end = output.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const std::string line = output.substr(start, end + 1 - start);
      if (!line.ends_with(": no entry in the image; not added.\n")) lines += line;
    }
    return lines;
  };
  const std::string lines = changeLines(written.output);
  EXPECT_EQ(changeLines(patched.output), lines.substr(0, lines.rfind("New ISO")) +
                                             "New patch written to p.vcdiff (" +
                                             std::to_string(size) + " bytes)\n");
  const std::string output = readFile(dir / "out.iso").value();
  for (const bool xdelta : {false, true}) {
    if (xdelta && !haveXdelta3()) continue;
    EXPECT_TRUE(applyPatch(dir / image[0], dir / "p.vcdiff", xdelta, dir / "x.iso") == output)
        << command << (xdelta ? " through xdelta3" : " through the tests' decoder");
  }
}

TEST(PatchOption, GivesWhatOWritesForWUAndRInPlaceAndMovedBehindAVolumeOffset) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "hello.txt", "Hi!\n");
  writeFile(dir / "logs/day16.log", "Day 16: NOT quiet!\n");
  writeFile(dir / "logs/day01.log", std::string(18, '#'));  // the shortest ADD of a size apart
  expectPatchGivesOutput(dir, {"w hello.txt"}, {"demo.iso"});
  expectPatchGivesOutput(dir, {"u"}, {"demo.iso"});
  writeFile(dir / "README", std::string(3000, 'R'));  // moves: the image grows
  expectPatchGivesOutput(dir, {"r"}, {"demo.iso"});
  // The tree edits: re-packed and moved directories, new data.
  writeFile(dir / "docs/ch4.txt", std::string(700, '4'));
  expectPatchGivesOutput(
      dir, {"i docs/ch4.txt", "n hello.txt greeting.txt", "e logs/day01.log", "w"}, {"demo.iso"});

  ScratchDir offset;
  tools::ImageBuilder image(512, 16);
  image.header(40, 1);
  image.data(30, "head");
  image.directory(1, {{"head", "DATA", 4, 30}, {"tail", "DATA", 5, 39}});
  image.data(39, "tail!");
  image.resize(16 + 40 * 512);
  image.save(offset / "image.iso");
  ASSERT_EQ(runTool({"-c", "x", "image.iso", "16"}, "", offset.path()).status, 0);
  writeFile(offset / "head", "HEAD");
  expectPatchGivesOutput(offset, {"u"}, {"image.iso", "16"});
  writeFile(offset / "tail", std::string(1500, 'T'));
  expectPatchGivesOutput(offset, {"r"}, {"image.iso", "16"});
  if (!haveXdelta3()) GTEST_SKIP() << kNoXdelta3;
}

// The output's refusals hold for the delta; a local file that changes
// after the plan read it leaves no delta.
TEST(PatchOption, RefusesWhatTheOutputRefusesAndALocalFileChangedSinceThePlan) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "hello.txt", "Hi!\n");
  const RunResult both =
      runTool({"-o", "a.iso", "--patch", "p", "-c", "u", "demo.iso"}, "", dir.path());
  EXPECT_EQ(both.errors, "discshell: --patch and -o name two outputs; give one.\n");
  EXPECT_EQ(both.status, 1);
  EXPECT_EQ(runTool({"--patch=demo.iso", "-c", "w hello.txt", "demo.iso"}, "", dir.path()).errors,
            batchErrors("-c 1", "Could not open output file.\n"));
  EXPECT_EQ(
      runTool({"--patch", "demo.iso", "-c", "u", "demo.iso"}, "", dir.path()).errors,
      batchErrors("-c 1", "demo.iso: is the image.\nNothing written; demo.iso is as it was.\n"));
  ASSERT_TRUE(std::filesystem::create_directory(dir / "d"));
  EXPECT_EQ(runTool({"--patch", "d", "-c", "w hello.txt", "demo.iso"}, "", dir.path()).status, 1);

  const auto image = ImageFile::open(dir / "demo.iso").value();
  const VolumeGeometry geometry = readVolumeGeometry(image, 0).value();
  const auto top = platform::Directory::open(dir.path()).value();
  const PatchPlan plan = planUpdate(
      image, geometry, top, {std::nullopt, geometry.rootDirectoryOffset, "", std::nullopt, {}},
      OutputPlace("p"));
  ASSERT_EQ(plan.lines.size(), 1u);
  writeFile(dir / "hello.txt", "Ho!\n");
  const PatchResult result =
      writeChangesPatch(image, filesBelow(top), plan.changes, OutputPlace(dir / "p"));
  EXPECT_EQ(result.write.outcome, WriteOutcome::kLocalFileChanged);
  EXPECT_EQ(result.write.path, "hello.txt");
  EXPECT_FALSE(exists(dir / "p"));

  // The output turned into a link to the image, or into a FIFO, while the
  // delta is made: as the first local file is opened.
  writeFile(dir / "hello.txt", "Hi!\n");
  const PatchPlan again = planUpdate(
      image, geometry, top, {std::nullopt, geometry.rootDirectoryOffset, "", std::nullopt, {}},
      OutputPlace("p"));
  const LocalFileOpener files = filesBelow(top);
  for (const bool link : {true, false}) {
    bool swapped = false;
    const LocalFileOpener swapping = [&](const std::string& path) {
      if (!swapped) {
        swapped = link ? makeSymbolicLink("demo.iso", dir / "p")
                       : !kWindows && std::system(("mkfifo '" + dir / "p" + "'").c_str()) == 0;
      }
      return files(path);
    };
    const PatchResult swappedResult =
        writeChangesPatch(image, swapping, again.changes, OutputPlace(dir / "p"));
    if (!swapped) continue;
    EXPECT_EQ(swappedResult.write.outcome, WriteOutcome::kFailed) << link;
    EXPECT_TRUE(link ? std::filesystem::is_symlink(dir / "p")
                     : std::filesystem::is_fifo(dir / "p"));
    std::filesystem::remove(dir / "p");
  }
  const std::vector<unsigned char> demo = tools::demoImage().bytes();
  EXPECT_TRUE(readFile(dir / "demo.iso") == std::string(demo.begin(), demo.end()));
}

// Bytes that read like a text: words of a small vocabulary, so that the
// words around an edit come again elsewhere, as in a real one.
std::string textOf(std::uint32_t seed, std::size_t size) {
  static constexpr std::array<std::string_view, 12> kWords = {
      "the", "disc", "of", "a", "level", "menu", "and", "to", "press", "start", "save", "game"};
  std::mt19937 random(seed);
  std::string text;
  while (text.size() < size) {
    text += kWords[random() % kWords.size()];
    text += random() % 10 == 0 ? '\n' : ' ';
  }
  text.resize(size);
  return text;
}

std::string noiseOf(std::uint32_t seed, std::size_t size) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

struct TestFile {
  std::string name;
  std::string bytes;
  std::int32_t copies = 1;      ///< the further ones behind the data of all files
  std::int32_t startBlock = 0;  ///< 0: right behind the file before
};

// A root directory at block 1 of blocks of 512 bytes, the files' data from block 2 on.
tools::ImageBuilder imageWith(const std::vector<TestFile>& files, std::int32_t volumeOffset = 0) {
  constexpr std::int32_t kBlock = 512;
  tools::ImageBuilder image(kBlock, volumeOffset);
  std::vector<tools::EntrySpec> entries;
  std::int32_t next = 2;
  for (const TestFile& file : files) {
    const std::int32_t start = file.startBlock != 0 ? file.startBlock : next;
    image.data(start, file.bytes);
    entries.push_back(
        {file.name, "DATA", static_cast<std::int32_t>(file.bytes.size()), start, file.copies - 1});
    next = start + static_cast<std::int32_t>((file.bytes.size() + kBlock - 1) / kBlock);
  }
  const auto records = image.directory(1, entries);
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::vector<std::int32_t> further;
    for (std::int32_t copy = 1; copy < files[i].copies; ++copy) {
      image.data(next, files[i].bytes);
      further.push_back(next);
      next += static_cast<std::int32_t>((files[i].bytes.size() + kBlock - 1) / kBlock);
    }
    if (!further.empty()) image.furtherCopies(records[i], further);
  }
  image.header(next, 1);
  image.resize(volumeOffset + std::int64_t{next} * kBlock);
  return image;
}

// The search finds every shared run that holds a whole block of the old
// bytes: any of 2 × 32 - 1 bytes. So no ADD may hold 64 bytes that the old
// bytes hold anywhere, and no run needs to be let off for being too short.
constexpr std::size_t kSharedRun = 64;
static_assert(2 * kMatchWindow - 1 <= static_cast<std::int64_t>(kSharedRun));

// A delta carries the changes, never the original: w, u, r and the tree
// edits, each through xdelta3 and the tests' decoder (as -o writes it),
// and no ADD of the delta holds a run of 64 bytes of an entry it changes.
TEST(PatchOption, CarriesOnlyWhatChangedNeverARunOfTheOldBytes) {
  constexpr std::size_t kMiB = 1 << 20;
  const std::string noise = noiseOf(1, 3000);
  const std::string text = textOf(2, 6000);
  const std::string tail = noiseOf(3, 700);
  struct Case {
    std::string name;
    std::vector<TestFile> files;
    std::function<void(const ScratchDir&)> edit;
    std::vector<std::string> commands;
    std::vector<std::string> image = {"image.iso"};
    std::int32_t volumeOffset = 0;
  };
  const auto change = [](const ScratchDir& dir, const std::string& name, std::size_t at,
                         std::size_t erase, const std::string& insert) {
    std::string bytes = readFile(dir / name).value();
    writeFile(dir / name, bytes.replace(at, erase, insert));
  };
  const std::vector<Case> cases = {
      {"one byte at the first, the last and a middle position",
       {{"a", noise}, {"b", noise + "b"}, {"c", "c" + noise}},
       [&](const ScratchDir& dir) {
         change(dir, "a", 0, 1, "A");
         change(dir, "b", noise.size(), 1, "B");
         change(dir, "c", 1500, 1, "C");
       },
       {"u"}},
      {"an insertion and a deletion inside a text",
       {{"t.txt", text}},
       [&](const ScratchDir& dir) {
         change(dir, "t.txt", 4000, 40, "");
         change(dir, "t.txt", 1000, 0, "inserted words ");
       },
       {"r"}},
      {"a file grown past its blocks",
       {{"g.bin", noiseOf(4, 1024)}, {"h.bin", noise}},
       [&](const ScratchDir& dir) { change(dir, "g.bin", 100, 1, "G" + tail); },
       {"r"}},
      {"a rename with edits",
       {{"notes.txt", text}},
       [&](const ScratchDir& dir) {
         change(dir, "notes.txt", 2500, 9, "translated");
         std::filesystem::rename(dir / "notes.txt", dir / "notes-en.txt");
       },
       {"n notes.txt notes-en.txt", "r"}},
      {"an entry with several copies",
       {{"m.bin", noise, 3}},
       [&](const ScratchDir& dir) { change(dir, "m.bin", 2000, 1, "M"); },
       {"u"}},
      {"w behind a volume offset",
       {{"v.bin", noise}},
       [&](const ScratchDir& dir) { change(dir, "v.bin", 1000, 2, "VV"); },
       {"w v.bin"},
       {"image.iso", "16"},
       16},
      {"a change across an 8 MiB window boundary",
       {{"big.bin", noiseOf(5, 2 * kMiB), 1, 7 * kMiB / 512}},
       [&](const ScratchDir& dir) { change(dir, "big.bin", kMiB - 100, 200, noiseOf(6, 200)); },
       {"u"}},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    ScratchDir dir;
    const tools::ImageBuilder image = imageWith(test.files, test.volumeOffset);
    image.save(dir / "image.iso");
    // The old bytes: each file's, and the root directory's, which n re-packs.
    std::vector<std::string> old;
    for (const TestFile& file : test.files) old.push_back(file.bytes);
    const auto root = image.bytes().begin() + image.blockPosition(1);
    old.emplace_back(root, root + 512);
    std::vector<std::string> extract = {"-c", "x"};
    extract.insert(extract.end(), test.image.begin(), test.image.end());
    ASSERT_EQ(runTool(extract, "", dir.path()).status, 0);
    test.edit(dir);
    expectPatchGivesOutput(dir, test.commands, test.image);
    const Decoded decoded =
        decodeDelta(readFile(dir / "p.vcdiff").value(), readFile(dir / "image.iso").value());
    for (const std::string& bytes : old) {
      for (const std::string& added : decoded.adds) {
        for (std::size_t at = 0; at + kSharedRun <= added.size(); ++at) {
          ASSERT_EQ(bytes.find(std::string_view(added).substr(at, kSharedRun)), std::string::npos)
              << "an ADD of " << added.size() << " bytes repeats old bytes from its byte " << at;
        }
      }
    }
  }
}

// Two new files of the same bytes: the delta carries them once, the
// second a COPY of the first.
TEST(PatchOption, CarriesTheBytesOfIdenticalNewFilesOnce) {
  ScratchDir dir;
  imageWith({{"old.bin", noiseOf(7, 1000)}}).save(dir / "image.iso");
  const std::string bytes = noiseOf(8, 3000);
  writeFile(dir / "one.bin", bytes);
  writeFile(dir / "two.bin", bytes);
  writeFile(dir / "three.bin", noiseOf(9, 2999));  // one.bin and two.bin: the only pair
  expectPatchGivesOutput(dir, {"i one.bin", "i two.bin", "i three.bin", "w"}, {"image.iso"});
  const std::string delta = readFile(dir / "p.vcdiff").value();
  const std::string_view sample = std::string_view(bytes).substr(1000, 100);
  EXPECT_NE(delta.find(sample), std::string::npos);
  EXPECT_EQ(delta.find(sample), delta.rfind(sample));
  EXPECT_NE(delta.find(noiseOf(9, 2999).substr(1000, 100)), std::string::npos);
}

// A file of exactly one match window, grown: its old bytes are a COPY,
// found at its first byte and ending at its last.
TEST(PatchOption, CopiesAnOldFileOfOneMatchWindow) {
  ScratchDir dir;
  const std::string old = noiseOf(10, 32);
  imageWith({{"s.bin", old}}).save(dir / "image.iso");
  writeFile(dir / "s.bin", old + "grown");
  expectPatchGivesOutput(dir, {"r"}, {"image.iso"});
  const Decoded decoded =
      decodeDelta(readFile(dir / "p.vcdiff").value(), readFile(dir / "image.iso").value());
  for (const std::string& added : decoded.adds) EXPECT_EQ(added.find(old), std::string::npos);
}

}  // namespace
}  // namespace discshell::testing

#include "bytes/copy.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/platform.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

std::string patternBytes(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

platform::File openInput(const std::string& path) {
  auto file = platform::openForReading(path);
  if (!file) throw std::runtime_error("cannot open " + path);
  return std::move(*file);
}

// A new file in `dir`, which gets its name once everything is copied into it.
platform::PendingFile newFile(const ScratchDir& dir) {
  const auto directory = platform::Directory::open(dir.path());
  auto file = directory ? directory->createPending() : std::nullopt;
  if (!file) throw std::runtime_error("cannot create a file in " + dir.path());
  return std::move(*file);
}

TEST(CopyBytes, CopiesAStretchOfSeveralChunksExactly) {
  ScratchDir dir;
  const std::string input = patternBytes((3 << 20) + 12345);
  writeFile(dir / "in", input);
  const platform::File in = openInput(dir / "in");
  platform::PendingFile out = newFile(dir);
  const CopyResult copy =
      copyBytes(in, 1000, static_cast<std::int64_t>(input.size()) - 2000, out.file(), 0);
  EXPECT_FALSE(copy.writeFailed);
  EXPECT_EQ(copy.copied, static_cast<std::int64_t>(input.size()) - 2000);
  ASSERT_TRUE(out.commit("out", std::nullopt));
  EXPECT_TRUE(readFile(dir / "out") == input.substr(1000, input.size() - 2000));
}

TEST(CopyBytes, StopsWhereTheInputEndsAndWritesOnlyWhatWasRead) {
  ScratchDir dir;
  writeFile(dir / "in", "0123456789");
  const platform::File in = openInput(dir / "in");
  platform::PendingFile out = newFile(dir);
  EXPECT_EQ(copyBytes(in, 4, 100, out.file(), 0).copied, 6);
  EXPECT_EQ(copyBytes(in, 50, 10, out.file(), 6).copied, 0);
  EXPECT_EQ(copyBytes(in, -1, 10, out.file(), 6).copied, 0);
  EXPECT_EQ(copyBytes(in, 0, -10, out.file(), 6).copied, 0);
  EXPECT_EQ(copyBytes(in, 0, 0, out.file(), 6).copied, 0);
  ASSERT_TRUE(out.commit("out", std::nullopt));
  EXPECT_EQ(readFile(dir / "out"), "456789");
}

// Every way between files, at positions 0, 1, 2048 and 4095 past a page on
// either side and lengths around a page; the kernel also stopped half-way,
// the buffer then finishing at the right place. Before the output position
// stays a hole of zeros.
TEST(CopyBytes, CopiesExactlyAtEveryAlignmentEitherWay) {
  ScratchDir dir;
  const std::string input = patternBytes(5 * 4096);
  writeFile(dir / "in", input);
  const platform::File in = openInput(dir / "in");
  struct Way {
    CopyWay::Start start;
    bool halfInKernel;
  };
  int file = 0;
  for (const Way way :
       {Way{CopyWay::Start::kBufferOnly, false}, Way{CopyWay::Start::kKernelFirst, false},
        Way{CopyWay::Start::kKernelFirst, true}}) {
    for (const std::int64_t from : {4096, 4097, 4096 + 2048, 4096 + 4095}) {
      for (const std::int64_t to : {4096, 4097, 4096 + 2048, 4096 + 4095}) {
        for (const std::int64_t length : {4095, 4096, 4097}) {
          platform::PendingFile out = newFile(dir);
          const CopyResult copy = copyBytes(in, from, length, out.file(), to,
                                            {way.start, way.halfInKernel ? length / 2 : INT64_MAX});
          EXPECT_EQ(copy.copied, length);
          const std::string name = "out" + std::to_string(file++);
          ASSERT_TRUE(out.commit(name, std::nullopt));
          EXPECT_TRUE(readFile(dir / name) == std::string(static_cast<std::size_t>(to), '\0') +
                                                  input.substr(static_cast<std::size_t>(from),
                                                               static_cast<std::size_t>(length)))
              << from << " to " << to << ", " << length << " bytes";
        }
      }
    }
  }
}

// The kernel copies where the positions agree modulo the alignment it needs.
TEST(CopyBytes, TakesTheKernelOnlyWherePositionsAgreeModuloItsAlignment) {
  EXPECT_TRUE(kernelCopyPays(0, 0, 4096));
  EXPECT_TRUE(kernelCopyPays(4096 + 2048, 2048, 4096));
  EXPECT_TRUE(kernelCopyPays(8191, 4095, 4096));
  EXPECT_FALSE(kernelCopyPays(2048, 0, 4096));
  EXPECT_FALSE(kernelCopyPays(4095, 4096, 4096));
  EXPECT_FALSE(kernelCopyPays(0, 0, 0));
  EXPECT_TRUE(kernelCopyPays(3, 5, 1));
}

}  // namespace
}  // namespace discshell::testing

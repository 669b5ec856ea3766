#include "transfer/copy.h"

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

}  // namespace
}  // namespace discshell::testing

#include "transfer/copy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include "session_harness.h"
#include "volume/image_file.h"

namespace discshell::testing {
namespace {

std::string patternBytes(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

FileDescriptor openOrDie(const std::string& path, int flags) {
  FileDescriptor fd(::open(path.c_str(), flags, 0644));
  if (!fd.valid()) throw std::runtime_error("cannot open " + path);
  return fd;
}

TEST(CopyBytes, CopiesAStretchOfSeveralChunksExactly) {
  ScratchDir dir;
  const std::string input = patternBytes((3 << 20) + 12345);
  writeFile(dir / "in", input);
  const FileDescriptor in = openOrDie(dir / "in", O_RDONLY);
  const FileDescriptor out = openOrDie(dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
  const CopyResult copy =
      copyBytes(in.get(), 1000, static_cast<std::int64_t>(input.size()) - 2000, out.get());
  EXPECT_FALSE(copy.writeFailed);
  EXPECT_EQ(copy.copied, static_cast<std::int64_t>(input.size()) - 2000);
  EXPECT_TRUE(readFile(dir / "out") == input.substr(1000, input.size() - 2000));
}

TEST(CopyBytes, StopsWhereTheInputEndsAndWritesOnlyWhatWasRead) {
  ScratchDir dir;
  writeFile(dir / "in", "0123456789");
  const FileDescriptor in = openOrDie(dir / "in", O_RDONLY);
  const FileDescriptor out = openOrDie(dir / "out", O_WRONLY | O_CREAT | O_TRUNC);
  EXPECT_EQ(copyBytes(in.get(), 4, 100, out.get()).copied, 6);
  EXPECT_EQ(copyBytes(in.get(), 50, 10, out.get()).copied, 0);
  EXPECT_EQ(copyBytes(in.get(), -1, 10, out.get()).copied, 0);
  EXPECT_EQ(copyBytes(in.get(), 0, -10, out.get()).copied, 0);
  EXPECT_EQ(copyBytes(in.get(), 0, 0, out.get()).copied, 0);
  EXPECT_EQ(readFile(dir / "out"), "456789");
}

// /dev/full refuses every write; a file past its size limit takes a short
// write first, and O_APPEND keeps the kernel's copy out, so the buffered loop
// must see that short count through.
TEST(CopyBytes, ReportsAWriteThatTheOutputRefusesOrTakesOnlyInPart) {
  ScratchDir dir;
  writeFile(dir / "in", patternBytes(4096));
  const FileDescriptor in = openOrDie(dir / "in", O_RDONLY);
  const FileDescriptor full = openOrDie("/dev/full", O_WRONLY);
  const FileDescriptor limited = openOrDie(dir / "out", O_WRONLY | O_CREAT | O_APPEND);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  ::getrlimit(RLIMIT_FSIZE, &previous);
  rlimit limit = previous;
  limit.rlim_cur = 1000;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const CopyResult partial = copyBytes(in.get(), 0, 4096, limited.get());
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_TRUE(partial.writeFailed);
  EXPECT_EQ(partial.copied, 0);
  const CopyResult refused = copyBytes(in.get(), 0, 4096, full.get());
  EXPECT_TRUE(refused.writeFailed);
  EXPECT_EQ(refused.copied, 0);
}

}  // namespace
}  // namespace discshell::testing

// The copy loop where the output takes a write only in part: POSIX only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <csignal>

#include "bytes/copy.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

std::string patternBytes(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

platform::File openOrDie(const std::string& path, int flags) {
  platform::File file(::open(path.c_str(), flags, 0644));
  if (!file.valid()) throw std::runtime_error("cannot open " + path);
  return file;
}

// /dev/full refuses every write; a file past its size limit takes a short
// write first, and O_APPEND keeps the kernel's copy out, so the buffered loop
// must see that short count through.
TEST(CopyBytes, ReportsAWriteThatTheOutputRefusesOrTakesOnlyInPart) {
  ScratchDir dir;
  writeFile(dir / "in", patternBytes(4096));
  platform::File in = openOrDie(dir / "in", O_RDONLY);
  platform::File full = openOrDie("/dev/full", O_WRONLY);
  platform::File limited = openOrDie(dir / "out", O_WRONLY | O_CREAT | O_APPEND);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit previous{};
  ::getrlimit(RLIMIT_FSIZE, &previous);
  rlimit limit = previous;
  limit.rlim_cur = 1000;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  const CopyResult partial = copyBytes(in, 0, 4096, limited, 0);
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);
  EXPECT_TRUE(partial.writeFailed);
  EXPECT_EQ(partial.copied, 0);
  const CopyResult refused = copyBytes(in, 0, 4096, full, 0);
  EXPECT_TRUE(refused.writeFailed);
  EXPECT_EQ(refused.copied, 0);
}

// A named temporary file whose close fails (a write the system lost at the
// end) must not be renamed into place; closing its descriptor behind its
// back makes that close fail here.
TEST(PendingFile, PutsNothingInPlaceWhenTheCloseFails) {
  ScratchDir dir;
  platform::PendingFile::preferNamedFiles(true);
  auto directory = platform::Directory::open(dir.path());
  auto pending = directory ? directory->createPending() : std::nullopt;
  platform::PendingFile::preferNamedFiles(false);
  ASSERT_TRUE(pending);
  const unsigned char byte = 'x';
  ASSERT_TRUE(pending->file().writeAt(0, {&byte, 1}));
  ASSERT_EQ(::close(static_cast<int>(pending->file().handle())), 0);
  EXPECT_FALSE(pending->commit("out", std::nullopt));
  EXPECT_EQ(listNames(dir.path()), std::vector<std::string>{});
}

// A temporary name someone else already has is passed over for the next:
// when the file is made, and when a nameless one needs a name to replace
// the output. The first file shows which number comes next.
TEST(PendingFile, PassesOverTemporaryNamesThatAreTaken) {
  ScratchDir dir;
  const platform::Directory directory = platform::Directory::open(dir.path()).value();
  const std::string prefix = ".discshell-" + std::to_string(::getpid()) + "-";
  const auto named = [&](int number) { return dir / (prefix + std::to_string(number) + ".tmp"); };
  platform::PendingFile::preferNamedFiles(true);
  int next = 0;
  {
    const auto first = directory.createPending();
    ASSERT_TRUE(first);
    const std::vector<std::string> made = listNames(dir.path());
    ASSERT_EQ(made.size(), 1u);
    ASSERT_TRUE(made[0].starts_with(prefix)) << made[0];
    next = std::stoi(made[0].substr(prefix.size())) + 1;
  }
  for (const int number : {next, next + 1, next + 3, next + 4}) writeFile(named(number), "taken");
  {
    const auto second = directory.createPending();
    platform::PendingFile::preferNamedFiles(false);
    ASSERT_TRUE(second);
    EXPECT_EQ(listNames(dir.path()).size(), 5u);
    EXPECT_TRUE(exists(named(next + 2)));
  }
  writeFile(dir / "out", "old");
  auto third = directory.createPending();
  ASSERT_TRUE(third);
  const unsigned char byte = 'x';
  ASSERT_TRUE(third->file().writeAt(0, {&byte, 1}));
  EXPECT_TRUE(third->commit("out", directory.entryStatus("out", true)));
  EXPECT_EQ(readFile(dir / "out"), "x");
}

// A file directly under "/" lies in "/", not in "".
TEST(Paths, SplitsAPathIntoItsDirectoryAndName) {
  for (const auto& [path, directory, name] :
       std::vector<std::array<std::string, 3>>{{"out.iso", ".", "out.iso"},
                                               {"/out.iso", "/", "out.iso"},
                                               {"a/b/out.iso", "a/b", "out.iso"},
                                               {"/a/", "/a", ""}}) {
    const platform::PathParts parts = platform::splitPath(path);
    EXPECT_EQ(parts.directory, directory) << path;
    EXPECT_EQ(parts.name, name) << path;
  }
}

}  // namespace
}  // namespace discshell::testing

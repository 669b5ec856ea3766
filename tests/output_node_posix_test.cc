// The output never replaces a FIFO, a device or a symbolic link: -o naming
// one is refused at start-up, and w, u and r refuse one at output.iso.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "session_harness.h"

namespace discshell::testing {
namespace {

// What stands at `path`, a link not followed: S_IFIFO, S_IFCHR, S_IFLNK.
unsigned kindOf(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

TEST(OutputNode, IsRefusedAtStartUpAndByEveryWritingCommand) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  ASSERT_EQ(runTool({"-c", "x", "demo.iso"}, "", dir.path()).status, 0);
  writeFile(dir / "hello.txt", "Hi!\n");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::vector<std::string> nodes{"fifo"};
  // A character device like /dev/null, where root may make one.
  if (::mknod((dir / "device").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
    nodes.push_back("device");
  }
  if (makeSymbolicLink("README", dir / "link")) nodes.push_back("link");
  for (const std::string& node : nodes) {
    const unsigned kind = kindOf(dir / node);
    const RunResult start = runTool({"-o", node, "-c", "w hello.txt", "demo.iso"}, "", dir.path());
    EXPECT_EQ(start.output, "");
    EXPECT_EQ(start.errors, "discshell: " + node + ": not a regular file.\n");
    EXPECT_EQ(start.status, 1);
    std::filesystem::rename(dir / node, dir / "output.iso");
    for (const char* command : {"w hello.txt", "u", "r"}) {
      const RunResult run = runTool({"-c", command, "demo.iso"}, "", dir.path());
      const std::string refusal =
          command[0] == 'w' ? "" : "Nothing written; output.iso is as it was.\n";
      EXPECT_EQ(run.errors, batchErrors("-c 1", "output.iso: not a regular file.\n" + refusal))
          << node << ", " << command;
      EXPECT_EQ(run.status, 2);
    }
    EXPECT_EQ(kindOf(dir / "output.iso"), kind) << node;
    std::filesystem::rename(dir / "output.iso", dir / node);
    // Nor does i take one as a local file, and it says which it met.
    const RunResult added = runTool({"-c", "i " + node, "demo.iso"}, "", dir.path());
    EXPECT_EQ(added.errors,
              batchErrors("-c 1",
                          node + (node == "link" ? ": a symbolic link; only files and directories "
                                                   "are added.\n"
                                                 : ": not a regular file or a directory.\n")));
  }
}

}  // namespace
}  // namespace discshell::testing

// On a file system that shares blocks between files, w's output shares the
// image's blocks: only the replaced stretch takes new ones.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <sstream>

#include "console/startup.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

// Bytes of `path` in extents that the file system says are shared.
std::int64_t sharedBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  constexpr unsigned kExtents = 512;
  std::vector<char> buffer(sizeof(fiemap) + kExtents * sizeof(fiemap_extent));
  auto* map = reinterpret_cast<fiemap*>(buffer.data());
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = kExtents;
  std::int64_t shared = 0;
  if (fd >= 0 && ::ioctl(fd, FS_IOC_FIEMAP, map) == 0) {
    for (unsigned i = 0; i < map->fm_mapped_extents; ++i) {
      if ((map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED) != 0) {
        shared += static_cast<std::int64_t>(map->fm_extents[i].fe_length);
      }
    }
  }
  if (fd >= 0) ::close(fd);
  return shared;
}

// Unmounts on every path, before the scratch directory goes.
struct Mounted {
  std::string path;
  ~Mounted() {
    if (::umount(path.c_str()) != 0) ::umount2(path.c_str(), MNT_DETACH);
  }
};

TEST(SharedBlocks, WritesOnlyTheReplacedStretchAnew) {
  ScratchDir dir;
  const std::string device = dir / "xfs.img";
  const std::string mountPoint = dir / "mnt";
  const std::string make = "truncate -s 320M " + device + " && mkfs.xfs -q -m reflink=1 " + device +
                           " 2>/dev/null && mkdir " + mountPoint + " && mount -o loop " + device +
                           " " + mountPoint + " 2>/dev/null";
  if (::geteuid() != 0 || std::system(make.c_str()) != 0) {
    GTEST_SKIP() << "needs root, mkfs.xfs and a loop device to make a file system that "
                    "shares blocks";
  }
  const Mounted mounted{mountPoint};
  constexpr std::int32_t kBlocks = 16 * 1024;  // 32 MiB of 2 KiB blocks
  tools::ImageBuilder image(2048);
  image.header(kBlocks, 1);
  image.directory(1, {{"data", "DATA", (kBlocks - 16) * 2048, 16}});
  std::string noise((kBlocks - 16) * std::size_t{2048}, '\0');
  std::mt19937 random(7);
  for (char& byte : noise) byte = static_cast<char>(random());
  image.data(16, noise);
  image.save(mountPoint + "/image.iso");
  writeFile(mountPoint + "/data", "patched");
  ToolOptions ownCopy;
  ownCopy.privateCopy = true;
  const RunResult run = runTool({"-c", "w data", "image.iso"}, "", mountPoint, ownCopy);
  ASSERT_EQ(run.status, 0) << run.errors;
  const std::int64_t shared = sharedBytes(mountPoint + "/output.iso");
  const std::string output = readFile(mountPoint + "/output.iso").value_or("");
  ASSERT_EQ(output.size(), std::size_t{kBlocks} * 2048);
  EXPECT_EQ(output.substr(32768, 7), "patched");
  // Everything but the file system block that holds the replacement.
  EXPECT_GE(shared, std::int64_t{kBlocks} * 2048 - 64 * 1024);

  // The progress line counts the image's shared bytes as copied.
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const std::string imagePath = mountPoint + "/image.iso";
  const std::vector<const char*> args{"-C", mountPoint.c_str(), "--overwrite",
                                      "-c", "w data",           imagePath.c_str()};
  Console console{in, out, err, false, false, true};
  console.progressDelay = std::chrono::milliseconds(0);
  console.progressRedraw = std::chrono::milliseconds(0);
  ASSERT_EQ(runDiscshell(args, console), 0) << err.str();
  EXPECT_NE(err.str().find("32.0 MiB of 32.0 MiB (100%)"), std::string::npos) << err.str();
}

}  // namespace
}  // namespace discshell::testing

// --mount through the kernel: the tree x extracts, byte for byte; every
// change refused; loops, duplicates, names and damaged entries; a hostile
// image; clean ends on unmount and on signals; failures that leave nothing.
// Skipped where /dev/fuse cannot be opened or fusermount3 is missing. Every
// test unmounts and ends its server in a destructor, whatever fails.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "fuzz/fuzz_input.h"
#include "mount/mount_tree.h"
#include "session_harness.h"
#include "tools/image_builder.h"

namespace discshell::testing {
namespace {

using namespace std::chrono_literals;
using tools::EntrySpec;
using tools::ImageBuilder;

// Long enough for a machine under heavy load; a test that passes never waits it out.
constexpr auto kPatience = 60s;

std::optional<std::string> whyNoMount() {
  const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fuse < 0) return std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
  ::close(fuse);
  if (std::system("command -v fusermount3 >/dev/null") != 0) {
    return "fusermount3 is not installed (Debian: fuse3)";
  }
  return std::nullopt;
}

// Something other than the directory's own file system stands there (a
// server that died leaves a mount that cannot even be asked).
bool isMounted(const std::string& directory) {
  struct stat here {};
  struct stat parent {};
  if (::stat((directory + "/..").c_str(), &parent) != 0) return false;
  return ::stat(directory.c_str(), &here) != 0 || here.st_dev != parent.st_dev;
}

// The processes whose arguments hold `directory`: the servers of that mount.
std::vector<pid_t> serversOf(const std::string& directory) {
  std::vector<pid_t> servers;
  std::error_code error;
  for (const auto& process : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = process.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream file(process.path() / "cmdline", std::ios::binary);
    for (std::string argument; std::getline(file, argument, '\0');) {
      if (argument == directory) servers.push_back(std::stoi(name));
    }
  }
  return servers;
}

template <typename Condition>
bool waitFor(Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

struct Spawn {
  std::string binary = DISCSHELL_BINARY;
  std::string output = "/dev/null";
  std::string errors = "/dev/null";
  bool asNobody = false;
};

// Starts a program with nothing but its standard streams open.
pid_t start(const std::vector<std::string>& args, const Spawn& spawn) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  const int in = ::open("/dev/null", O_RDONLY);
  const int out = ::open(spawn.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = ::open(spawn.errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
      ::dup2(err, 2) < 0) {
    ::_exit(127);
  }
  for (int fd = 3; fd < 1024; ++fd) ::close(fd);
  if (spawn.asNobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(127);
  std::vector<char*> argv{const_cast<char*>(spawn.binary.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  ::_exit(errno == EACCES ? kCannotExecute : 127);
}

// The exit status of a child, or -1 when it did not exit normally; one that
// runs past all patience is killed.
int exitStatus(pid_t child) {
  int status = 0;
  if (!waitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; })) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run(const std::vector<std::string>& args, const Spawn& spawn = {}) {
  return exitStatus(start(args, spawn));
}

// As a user unmounts; `lazy`: even while the mount is busy or its server dead.
int unmount(const std::string& directory, bool lazy = false) {
  Spawn fusermount;
  fusermount.binary = "fusermount3";
  return run(lazy ? std::vector<std::string>{"-u", "-z", directory}
                  : std::vector<std::string>{"-u", directory},
             fusermount);
}

// One mount point of one test, in a scratch directory of its own. The
// destructor unmounts it and ends its server, however the test went.
class MountPoint {
 public:
  MountPoint() : path_(dir_ / "mount") { std::filesystem::create_directory(path_); }
  ~MountPoint() {
    if (isMounted(path_)) unmount(path_, true);
    for (const pid_t server : serversOf(path_)) ::kill(server, SIGKILL);
    if (foreground_ > 0) exitStatus(foreground_);
    waitFor([&] { return serversOf(path_).empty(); });
  }
  MountPoint(const MountPoint&) = delete;
  MountPoint& operator=(const MountPoint&) = delete;

  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  [[nodiscard]] const ScratchDir& dir() const { return dir_; }

  /// Mounts `image` in the background; the tool's exit status.
  int mount(const std::string& image, const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"--mount", path_, image});
    return run(args, spawn());
  }
  /// Serves `image` from a child kept in the foreground, once it is mounted.
  [[nodiscard]] bool serve(const std::string& image) {
    foreground_ = start({"--foreground", "--mount", path_, image}, spawn());
    return waitFor([&] { return isMounted(path_); });
  }
  /// Ends the foreground server with `signal`: its exit status.
  int stop(int signal) {
    ::kill(foreground_, signal);
    return finish();
  }
  /// Unmounts as a user would, then the exit status of a foreground server.
  int unmountAndWait() {
    EXPECT_EQ(unmount(path_), 0);
    return foreground_ > 0 ? finish() : 0;
  }
  [[nodiscard]] bool serverAlive() const {
    return foreground_ > 0 && ::waitpid(foreground_, nullptr, WNOHANG) == 0;
  }
  [[nodiscard]] std::string output() const { return readFile(dir_ / "out").value_or(""); }
  [[nodiscard]] std::string errors() const { return readFile(dir_ / "err").value_or(""); }

 private:
  Spawn spawn() const {
    Spawn spawn;
    spawn.output = dir_ / "out";
    spawn.errors = dir_ / "err";
    return spawn;
  }
  int finish() {
    const int status = exitStatus(foreground_);
    foreground_ = 0;
    return status;
  }
  ScratchDir dir_;
  std::string path_;
  pid_t foreground_ = 0;
};

// Both trees hold the same names, kinds and bytes; the mounted one is
// read-only, the mounting user's, with the image's modification time.
void expectSameTree(const std::string& extracted, const std::string& mounted,
                    const struct stat& image) {
  const std::vector<std::string> names = listNames(extracted);
  EXPECT_EQ(listNames(mounted), names) << mounted;
  for (const std::string& name : names) {
    const std::string local = extracted + "/" + name;
    const std::string served = mounted + "/" + name;
    struct stat info {};
    ASSERT_EQ(::stat(served.c_str(), &info), 0) << served;
    EXPECT_EQ(info.st_uid, ::getuid());
    EXPECT_EQ(info.st_gid, ::getgid());
    EXPECT_EQ(info.st_mtim.tv_sec, image.st_mtim.tv_sec);
    EXPECT_EQ(info.st_mtim.tv_nsec, image.st_mtim.tv_nsec);
    if (std::filesystem::is_directory(local)) {
      EXPECT_EQ(info.st_mode, S_IFDIR | 0555) << served;
      expectSameTree(local, served, image);
    } else {
      EXPECT_EQ(info.st_mode, S_IFREG | 0444) << served;
      EXPECT_EQ(readFile(served), readFile(local)) << served;
      EXPECT_EQ(info.st_size, static_cast<off_t>(readFile(local).value_or("").size()));
    }
  }
}

// The files below `directory` whose first 64 KiB cannot all be read.
std::size_t failingFiles(MountTree& tree, const MountNode& directory) {
  std::vector<MountNode> children;
  tree.list(directory, 0, [&](const MountNode& node, const std::string&, ListCookie) {
    children.push_back(node);
    return true;
  });
  std::size_t failing = 0;
  std::vector<unsigned char> bytes(1 << 16);
  for (const MountNode& child : children) {
    if (child.directory) {
      failing += child.listed ? failingFiles(tree, child) : 0;
    } else if (!tree.read({child.start, child.entry.byteCount}, 0, bytes)) {
      ++failing;
    }
  }
  return failing;
}

// errno of reading a whole file, or 0 when every byte was read.
int readError(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return errno;
  std::vector<char> buffer(1 << 16);
  ssize_t got = 0;
  while ((got = ::read(fd, buffer.data(), buffer.size())) > 0) {
  }
  const int error = got < 0 ? errno : 0;
  ::close(fd);
  return error;
}

// errno of `call`, or 0 when it succeeded.
template <typename Call>
int errorOf(Call call) {
  errno = 0;
  return call() < 0 ? errno : 0;
}

// Mounts `built` in the background and compares the mount with what x
// extracts of it; `line` is what the start-up line says of left-out names.
void expectWhatXExtracts(MountPoint& mount, const ImageBuilder& built, const std::string& line) {
  const std::string image = mount.dir() / "image.iso";
  built.save(image);
  const std::string extracted = mount.dir() / "x";
  std::filesystem::create_directory(extracted);
  runTool({"-c", "x", image}, "", extracted);
  ASSERT_EQ(mount.mount(image), 0) << mount.errors();
  EXPECT_EQ(mount.output(), "Mounted " + image + " on " + mount.path() + line + ".\n");
  EXPECT_EQ(mount.errors(), "");
  ASSERT_TRUE(isMounted(mount.path()));
  struct stat imageStatus {};
  ASSERT_EQ(::stat(image.c_str(), &imageStatus), 0);
  expectSameTree(extracted, mount.path(), imageStatus);
}

TEST(Mount, ShowsWhatXExtractsAndRefusesEveryChange) {
  if (const auto why = whyNoMount()) GTEST_SKIP() << *why;
  {
    // Names that need x's escape, two that come out as one local name,
    // and a directory that x extracts under its second entry.
    ImageBuilder escaped(512);
    escaped.header(16, 1);
    escaped.directory(1, {{"a/b", "TEXT", 5, 10},
                          {"a%2Fb", "TEXT", 5, 11},
                          {"", "TEXT", 5, 11},
                          {"..", "DIR", 512, 2},
                          {"%2E%2E", "DIR", 512, 3},
                          {"c", "DIR", 512, 3},
                          {".", "TEXT", 5, 11}});
    escaped.directory(2, {{"x:y", "TEXT", 5, 12}});
    escaped.directory(3, {{"in", "TEXT", 5, 13}});
    for (int block = 10; block < 14; ++block) escaped.data(block, "blk" + std::to_string(block));
    escaped.resize(16 * 512);
    MountPoint mount;
    ASSERT_NO_FATAL_FAILURE(expectWhatXExtracts(
        mount, escaped, "; 1 entry left out, as no file here can have such a name"));
    EXPECT_EQ(listNames(mount.path()), (std::vector<std::string>{"%2E", "%2E%2E", "a%2Fb", "c"}));
    EXPECT_EQ(readFile(mount / "c/in"), "blk13");
  }
  {
    // Far more entries than one answer to the kernel's listing holds.
    std::vector<EntrySpec> files;
    std::vector<std::string> names;
    for (int i = 0; i < 20000; ++i) {
      names.push_back("f" + std::to_string(100000 + i));
      files.push_back({names.back(), "TEXT", 1, 800});
    }
    ImageBuilder many(2048);
    many.header(801, 1);
    many.directory(1, files, 760);
    many.data(800, "x");
    MountPoint mount;
    many.save(mount.dir() / "many.iso");
    ASSERT_EQ(mount.mount(mount.dir() / "many.iso"), 0) << mount.errors();
    EXPECT_EQ(listNames(mount.path()), names);
  }
  MountPoint mount;
  ASSERT_NO_FATAL_FAILURE(expectWhatXExtracts(mount, tools::demoImage(), ""));

  const std::string file = mount / "hello.txt";
  EXPECT_EQ(errorOf([&] { return ::open(file.c_str(), O_WRONLY); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::open(file.c_str(), O_RDONLY | O_TRUNC); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::open((mount / "new").c_str(), O_CREAT | O_WRONLY, 0644); }),
            EROFS);
  EXPECT_EQ(errorOf([&] { return ::mkdir((mount / "new").c_str(), 0755); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::rename(file.c_str(), (mount / "moved").c_str()); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::chmod(file.c_str(), 0644); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::truncate(file.c_str(), 0); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::unlink(file.c_str()); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::rmdir((mount / "docs/archive").c_str()); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::symlink("x", (mount / "link").c_str()); }), EROFS);
  EXPECT_EQ(readFile(file), "Hello, world!\n");

  // No other user sees in, though the modes would let them.
  if (::geteuid() == 0) {
    ::chmod(mount.dir().path().c_str(), 0755);
    EXPECT_TRUE(inChildProcess([&] {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
      struct stat info {};
      ::_exit(::stat(file.c_str(), &info) != 0 && errno == EACCES ? 0 : 1);
    }));
  }

  // Unmounted as a user does it, the server ends by itself.
  ASSERT_EQ(unmount(mount.path()), 0);
  EXPECT_TRUE(waitFor([&] { return serversOf(mount.path()).empty(); }));
  EXPECT_FALSE(isMounted(mount.path()));
}

TEST(Mount, InTheForegroundEndsCleanlyOnSigintAndSigterm) {
  if (const auto why = whyNoMount()) GTEST_SKIP() << *why;
  for (const int signal : {SIGINT, SIGTERM}) {
    MountPoint mount;
    const std::string image = mount.dir() / "demo.iso";
    tools::demoImage().save(image);
    ASSERT_TRUE(mount.serve(image)) << mount.errors();
    EXPECT_EQ(readFile(mount / "docs/guide.txt").value_or("").size(), 43u);
    EXPECT_EQ(mount.stop(signal), 0) << signal;
    EXPECT_FALSE(isMounted(mount.path()));
    EXPECT_EQ(mount.output(), "Mounted " + image + " on " + mount.path() + ".\n");
    EXPECT_EQ(mount.errors(), "");
  }
}

// What a shell command wrote to standard output, and its exit status.
struct Shell {
  std::string output;
  int status = -1;
  friend bool operator==(const Shell&, const Shell&) = default;
};
std::ostream& operator<<(std::ostream& out, const Shell& shell) {
  return out << "status " << shell.status << ": " << shell.output;
}
Shell shell(const std::string& command) {
  Shell result;
  FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  while (const std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe))
    result.output.append(chunk, got);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(Mount, ShowsLoopsEmptyOnlyTheFirstOfANameAndFailsDamagedReadsWithEio) {
  if (const auto why = whyNoMount()) GTEST_SKIP() << *why;
  // A directory of 3,000 entries takes many listing calls; its one
  // duplicate, last, does not show.
  std::vector<EntrySpec> many;
  for (int i = 0; i < 3000; ++i) many.push_back({"entry-" + std::to_string(10000 + i), "T", 1, 9});
  many.push_back({"entry-10005", "T", 2, 9});
  ImageBuilder image(2048);
  image.directory(1, {{"dir", "DIR", 2048, 2},
                      {"again", "DIR", 2048, 2},
                      {"same", "TEXT", 3, 8},
                      {"same", "TEXT", 2, 9},
                      {"", "TEXT", 1, 8},
                      {"..", "TEXT", 1, 8},
                      {"big", "DIR", 120 * 2048, 10},
                      {"negative", "TEXT", -5, 8},
                      {"cut", "TEXT", 5000, 200}});
  image.directory(2, {{"inner", "TEXT", 3, 8}, {"back", "DIR", 2048, 2}});
  image.directory(10, many, 120);
  image.data(8, "abc");
  image.data(9, "zz");
  std::string held;  // what the image holds of cut: its first 100 bytes
  for (int i = 0; i < 100; ++i) held += static_cast<char>('A' + i % 26);
  image.data(200, held);
  image.header(210, 1);
  image.resize(200 * 2048 + 100);
  MountPoint mount;
  image.save(mount.dir() / "image.iso");
  ASSERT_TRUE(mount.serve(mount.dir() / "image.iso")) << mount.errors();
  EXPECT_EQ(mount.output(), "Mounted " + mount.dir() / "image.iso" + " on " + mount.path() +
                                "; 1 entry left out, as no file here can have such a name.\n");

  EXPECT_EQ(listNames(mount.path()),
            (std::vector<std::string>{"%2E%2E", "again", "big", "cut", "dir", "negative", "same"}));
  EXPECT_EQ(listNames(mount / "dir"), (std::vector<std::string>{"back", "inner"}));
  for (const char* empty : {"again", "dir/back"}) {
    EXPECT_TRUE(std::filesystem::is_directory(mount / empty));
    EXPECT_EQ(listNames(mount / empty), std::vector<std::string>{}) << empty;
  }
  EXPECT_EQ(readFile(mount / "same"), "abc");
  EXPECT_EQ(readFile(mount / "%2E%2E"), "a");
  const std::vector<std::string> big = listNames(mount / "big");
  ASSERT_EQ(big.size(), 3000u);
  for (std::size_t i = 0; i < 3000; ++i) EXPECT_EQ(big[i], many[i].name);
  EXPECT_EQ(readFile(mount / "big/entry-10005"), "z");

  // The damaged: a negative byte count opens as nothing, and bytes past
  // the image's end fail; the server goes on.
  EXPECT_EQ(std::filesystem::file_size(mount / "cut"), 5000u);
  EXPECT_EQ(std::filesystem::file_size(mount / "negative"), 0u);
  EXPECT_EQ(errorOf([&] { return ::open((mount / "negative").c_str(), O_RDONLY); }), EIO);
  // An entry the image cuts short reads as far as the image holds it,
  // whatever the reads' sizes and offsets, and fails beyond.
  const std::string cut = mount / "cut";
  EXPECT_EQ(shell("head -c 100 " + cut), (Shell{held, 0}));
  EXPECT_EQ(shell("head -c 37 " + cut), (Shell{held.substr(0, 37), 0}));
  EXPECT_EQ(shell("dd if=" + cut + " bs=7 skip=13 count=1 status=none"),
            (Shell{held.substr(91, 7), 0}));
  EXPECT_EQ(shell("dd if=" + cut + " bs=3 skip=11 count=2 iflag=skip_bytes status=none"),
            (Shell{held.substr(11, 6), 0}));
  EXPECT_EQ(shell("cat " + cut), (Shell{held, 1}));
  EXPECT_EQ(shell("dd if=" + cut + " bs=7 skip=15 status=none"), (Shell{"", 1}));
  EXPECT_EQ(readError(cut), EIO);
  // The image cut short while mounted: what it no longer holds fails,
  // though the kernel had those bytes already.
  std::filesystem::resize_file(mount.dir() / "image.iso", 8 * 2048 + 2);
  EXPECT_EQ(readError(mount / "same"), EIO);
  EXPECT_EQ(readError(mount / "dir/inner"), EIO);
  EXPECT_TRUE(mount.serverAlive());
  EXPECT_EQ(mount.unmountAndWait(), 0);
}

TEST(Mount, AHostileCorpusImageReadsOrFailsWithEioAndTheServerLives) {
  if (const auto why = whyNoMount()) GTEST_SKIP() << *why;
  // The corpus image with the most files whose reads fail.
  std::string hostile;
  std::size_t most = 0;
  for (const auto& [path, input] : fuzz::readCorpus(DISCSHELL_FUZZ_CORPUS)) {
    const MemorySource source(std::vector<unsigned char>(input.image.begin(), input.image.end()));
    const auto geometry = readVolumeGeometry(source, 0);
    if (!geometry) continue;
    MountTree tree(source, *geometry);
    if (const std::size_t failing = failingFiles(tree, tree.node(kRootNode).value());
        failing > most) {
      most = failing;
      hostile = input.image;
    }
  }
  ASSERT_GT(most, 3u);  // files that must fail with EIO, and the server live on
  MountPoint mount;
  writeFile(mount.dir() / "hostile.iso", hostile);
  ASSERT_TRUE(mount.serve(mount.dir() / "hostile.iso")) << mount.errors();
  std::size_t files = 0;
  std::size_t failed = 0;
  std::error_code error;
  for (auto entry = std::filesystem::recursive_directory_iterator(mount.path(), error);
       !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
    if (!entry->is_regular_file()) continue;
    ++files;
    const int fd = ::open(entry->path().c_str(), O_RDONLY);
    if (fd < 0) {
      EXPECT_EQ(errno, EIO) << entry->path();
      ++failed;
      continue;
    }
    std::vector<char> buffer(1 << 16);
    std::uintmax_t total = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, buffer.data(), buffer.size())) > 0)
      total += static_cast<std::size_t>(got);
    if (got < 0) {
      EXPECT_EQ(errno, EIO) << entry->path();
      ++failed;
    } else {
      EXPECT_EQ(total, entry->file_size()) << entry->path();
    }
    ::close(fd);
  }
  EXPECT_FALSE(error) << error.message();
  EXPECT_GE(failed, most);
  EXPECT_GE(files, failed);
  EXPECT_TRUE(mount.serverAlive());
  EXPECT_EQ(mount.unmountAndWait(), 0);
}

// The source the mount table shows for the mount at `directory`, its
// octal escapes read back.
std::string mountSource(const std::string& directory) {
  std::ifstream table("/proc/self/mountinfo");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string field;
    std::vector<std::string> words;
    while (fields >> field) words.push_back(field);
    const auto dash = std::find(words.begin(), words.end(), "-");
    if (words.size() < 5 || words[4] != directory || words.end() - dash < 3) continue;
    std::string source;
    for (std::size_t i = 0; i < dash[2].size(); ++i) {
      if (dash[2][i] == '\\' && i + 3 < dash[2].size()) {
        source += static_cast<char>(std::stoi(dash[2].substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        source += dash[2][i];
      }
    }
    return source;
  }
  return "no such mount";
}

// Mounted read-write at the user's word, a file still cannot be cut; what
// statvfs and stat say fits what the mount shows, and the mount table
// names the image as it is.
TEST(Mount, RefusesTruncationEvenReadWriteAndTellsLimitsBlocksAndSource) {
  if (const auto why = whyNoMount()) GTEST_SKIP() << *why;
  MountPoint mount;
  const std::string image = mount.dir() / "a\\b,c.iso";
  ImageBuilder built(512);
  built.header(16, 1);
  built.directory(1, {{std::string(31, '/'), "DATA", 100, 10}});
  built.data(10, std::string(100, 'd'));
  built.resize(16 * 512);
  built.save(image);
  ASSERT_EQ(mount.mount(image, {"--fuse-option", "rw"}), 0) << mount.errors();
  std::string escaped;
  for (int i = 0; i < 31; ++i) escaped += "%2F";
  const std::string file = mount / escaped;
  EXPECT_EQ(errorOf([&] { return ::open(file.c_str(), O_RDONLY | O_TRUNC); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::setxattr(file.c_str(), "user.a", "b", 1, 0); }), EROFS);
  EXPECT_EQ(errorOf([&] { return ::removexattr(file.c_str(), "user.a"); }), EROFS);
  struct stat info {};
  ASSERT_EQ(::stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 100);
  EXPECT_EQ(info.st_blocks, 1);
  struct statvfs volume {};
  ASSERT_EQ(::statvfs(mount.path().c_str(), &volume), 0);
  EXPECT_GE(volume.f_namemax, escaped.size());
  EXPECT_EQ(mountSource(mount.path()), image);
}

TEST(Mount, AFailureSaysWhyAndLeavesNothingBehind) {
  if (const auto why = whyNoMount()) GTEST_SKIP() << *why;
  MountPoint mount;
  const std::string image = mount.dir() / "demo.iso";
  tools::demoImage().save(image);
  const auto expectNothingLeft = [&](const std::string& expected,
                                     const std::vector<std::string>& names = {}) {
    EXPECT_NE(mount.errors().find(expected), std::string::npos) << mount.errors();
    EXPECT_EQ(mount.output(), "");
    EXPECT_FALSE(isMounted(mount.path()));
    EXPECT_TRUE(serversOf(mount.path()).empty());
    EXPECT_EQ(listNames(mount.path()), names);
  };
  EXPECT_EQ(mount.mount(image, {"--fuse-option", "no-such-option"}), 1);
  expectNothingLeft("discshell: cannot mount on " + mount.path() + ": FUSE refused the options\n");

  writeFile(mount / "file", "");
  EXPECT_EQ(mount.mount(image), 1);
  expectNothingLeft("discshell: cannot mount on " + mount.path() + ": Directory not empty\n",
                    {"file"});
  std::filesystem::remove(mount / "file");

  // Without the permission to mount there (the user nobody, where the
  // tests run as root).
  if (::geteuid() != 0) return;
  const std::string binary = mount.dir() / "discshell";
  std::filesystem::copy_file(DISCSHELL_BINARY, binary);
  ::chmod(mount.dir().path().c_str(), 0755);
  ::chmod(image.c_str(), 0644);
  Spawn nobody;
  nobody.binary = binary;
  nobody.asNobody = true;
  nobody.output = mount.dir() / "out";
  nobody.errors = mount.dir() / "err";
  const int status = run({"--mount", mount.path(), image}, nobody);
  // Where the temporary directory lies below a folder only root may enter.
  if (status == kCannotExecute) GTEST_SKIP() << "the user nobody cannot reach " << binary;
  EXPECT_EQ(status, 1);
  expectNothingLeft("discshell: cannot mount on " + mount.path());
}

}  // namespace
}  // namespace discshell::testing

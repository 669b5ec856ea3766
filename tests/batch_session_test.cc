// Options, batch mode and exit statuses, as scripts see them.
#include <gtest/gtest.h>

#include <filesystem>

#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

const std::string kUsage = "Usage: discshell [OPTION]... IMAGE [VOLUME-OFFSET]\n";

// The volume starts at byte 16; the bytes in front of it read as commands.
ImageBuilder batchVolume() {
  ImageBuilder image(512, 16);
  image.header(16, 1);
  image.poke(0, "x\nq\n");
  image.data(4, "four");
  image.directory(1, {{"four", "TEXT", 4, 4}, {"sub", "DIR", 512, 2}, {"bad", "TEXT", -1, 4}});
  image.directory(2, {{"long", "TEXT", 99999, 4}});
  image.resize(16 * 512 + 16);
  return image;
}

TEST(Options, HelpVersionDoubleDashAndMistakes) {
  ScratchDir dir;
  batchVolume().save(dir / "-odd.iso");
  const auto run = [&](const std::vector<std::string>& args) {
    return runTool(args, "q\n", dir.path());
  };
  for (const char* help : {"-h", "--help"}) {
    const RunResult shown = run({help, "ignored.iso"});
    EXPECT_EQ(shown.output.substr(0, kUsage.size()), kUsage);
    EXPECT_NE(shown.output.find("\nExit status: 0 success; 1 cannot start"), std::string::npos);
    EXPECT_EQ(shown.status, 0);
  }
  EXPECT_EQ(run({"-V"}).output, "discshell " DISCSHELL_VERSION_TEXT "\n");
  EXPECT_EQ(run({"--", "-odd.iso", "16"}).output, summary(8192, 512, 528) + "?>Exiting...\n");
  for (const auto& [args, problem] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-z", "-odd.iso"}, "unknown option: -z"},
           {{"--all", "-odd.iso"}, "unknown option: --all"},
           {{"-c"}, "option requires an argument: -c"}}) {
    const RunResult refused = run(args);
    EXPECT_EQ(refused.output, "");
    EXPECT_EQ(refused.errors, "discshell: " + problem + "\n" + kUsage);
    EXPECT_EQ(refused.status, 1);
  }
  EXPECT_EQ(run({"-c", "l"}).status, 255);
}

TEST(Batch, PrintsOnlyWhatCommandsPrintAndStopsAtTheFirstFailure) {
  ScratchDir dir;
  batchVolume().save(dir / "image.iso");
  writeFile(dir / "script", "c sub\np ../four\nc ..\nc ..\nq\n");
  const auto batch = [&](const std::vector<std::string>& options, const std::string& input = "") {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"image.iso", "16"});
    return runTool(args, input, dir.path());
  };
  const RunResult script = batch({"-c", "p four", "-f", "script"});
  EXPECT_EQ(script.output, "fourEntering sub:\nfour");
  EXPECT_EQ(script.errors, "");
  EXPECT_EQ(script.status, 0);
  EXPECT_EQ(batch({"-f", "-"}, "p four\nq\np four\n").output, "four");

  for (const auto& [line, message] : std::vector<std::pair<std::string, std::string>>{
           {"g missing", "File not found.\n"},
           {"c missing", "Directory not found.\n"},
           {"p sub/long", "Image ends early: 6144 of 99999 bytes written.\n"},
           {"w four", "Could not find file on local drive.\n"},
           {"a", "Invalid entry size.\n"},
           {"bogus", "Invalid command\n"}}) {
    const RunResult failed = batch({"-c", line, "-c", "p four"});
    EXPECT_EQ(failed.errors, message) << line;
    EXPECT_EQ(failed.output.find("four", failed.output.size() - 4), std::string::npos) << line;
    EXPECT_EQ(failed.status, 2) << line;
  }
  // a goes on to the end of the directory.
  EXPECT_EQ(batch({"-c", "a"}).output,
            "\nSaving all files in directory...\n\nfour...\nsub...\nbad...\n\nDone.\n\n");
}

TEST(Batch, SaysWhenStandardOutputCannotBeWritten) {
  ScratchDir dir;
  batchVolume().save(dir / "image.iso");
  ToolOptions full;
  full.outputPath = "/dev/full";
  ToolOptions closed;
  closed.outputPath = "-";
  for (const auto& [options, reason] :
       {std::pair{closed, "Bad file descriptor"}, std::pair{full, "No space left on device"}}) {
    if (kWindows && options.outputPath == "/dev/full") GTEST_SKIP() << "Windows has no /dev/full";
    for (const auto& args : {std::vector<std::string>{"image.iso", "16"},
                             std::vector<std::string>{"-c", "l", "image.iso", "16"}}) {
      const RunResult run = runTool(args, "l\nq\n", dir.path(), options);
      EXPECT_EQ(run.errors,
                std::string("discshell: cannot write standard output: ") + reason + "\n");
      EXPECT_EQ(run.status, 3);
    }
  }
}

// Started with descriptor 0 closed, the tool must not open the image there
// and read its first bytes ("x\nq\n") as commands.
TEST(Startup, NeverReadsTheImageAsCommands) {
  ScratchDir dir;
  batchVolume().save(dir / "image.iso");
  ToolOptions noInput;
  noInput.closeInput = true;
  const RunResult run = runTool({"image.iso", "16"}, "", dir.path(), noInput);
  EXPECT_EQ(run.output, summary(8192, 512, 528) + "?>Exiting...\n");
  EXPECT_EQ(listNames(dir.path()), std::vector<std::string>{"image.iso"});
}

// A line of 1 GiB without a line end is read to its end in bounded memory.
TEST(Shell, ReadsAGibibyteLineInLittleMemory) {
  ScratchDir dir;
  batchVolume().save(dir / "image.iso");
  writeFile(dir / "input", "c ");
  std::filesystem::resize_file(dir / "input", std::uintmax_t{1} << 30);
  ToolOptions huge;
  huge.inputPath = dir / "input";
  const RunResult run = runTool({"image.iso", "16"}, "", dir.path(), huge);
  EXPECT_EQ(run.output, summary(8192, 512, 528) + "?>Directory not found.\n?>Exiting...\n");
  if (kWindows) GTEST_SKIP() << "the harness measures a child's peak memory only on POSIX";
  if (!DISCSHELL_SANITIZED) {
    EXPECT_LT(run.peakKiB, 8192);  // the sanitizers need more of their own
  }
}

}  // namespace
}  // namespace discshell::testing

// Options, batch mode and exit statuses, as scripts see them.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "console/startup.h"
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
  const RunResult nothing = run({});
  EXPECT_EQ(nothing.output + nothing.errors, "");
  EXPECT_EQ(nothing.status, 255);
  // An option's value may be attached, and takes every letter after it.
  EXPECT_EQ(run({"-cp four", "--", "-odd.iso", "16"}).output, "four");
  EXPECT_EQ(run({"-cVx", "--", "-odd.iso", "16"}).errors, batchErrors("-c 1", "Invalid command\n"));
  const RunResult directory = run({"-f", ".", "--", "-odd.iso", "16"});
  EXPECT_EQ(directory.errors, "discshell: cannot read .: Is a directory\n");
  EXPECT_EQ(directory.status, 1);
}

// -C: local files relative to DIR, IMAGE from where the tool started; -o
// names the output, never the image; x keeps an edit unless --overwrite.
TEST(Options, WorkInADirectoryNameTheOutputAndKeepEdits) {
  ScratchDir dir;
  const ImageBuilder image = batchVolume();
  image.save(dir / "image.iso");
  ASSERT_TRUE(std::filesystem::create_directory(dir / "out"));
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"image.iso", "16"});
    return runTool(args, "", dir.path());
  };
  const std::string extracted = "four\nExtracted 1 files and 0 directories, 4 bytes; 0 failures.\n";
  EXPECT_EQ(run({"-C", "out", "-c", "x four"}).output, extracted);
  writeFile(dir / "out/four", "FOUR");
  const RunResult kept = run({"-C", "out", "-c", "x four"});
  EXPECT_EQ(kept.output, "Extracted 0 files and 0 directories, 0 bytes; 1 failures.\n");
  EXPECT_EQ(kept.errors, batchErrors("-c 1", "four: Local file differs from the image; kept.\n"));
  EXPECT_EQ(kept.status, 2);
  EXPECT_EQ(readFile(dir / "out/four"), "FOUR");

  const RunResult patched = run({"-C", "out", "-o", "new.iso", "-c", "w four"});
  EXPECT_EQ(patched.output,
            "ISO Length: 8208, Address: 2064, Replacement Length: 4.\nLeft to go: 6140 bytes"
            "New ISO written to new.iso\n");
  EXPECT_EQ(readFile(dir / "out/new.iso")->substr(2064, 4), "FOUR");
  EXPECT_EQ(run({"-C", "out", "-o", "../image.iso", "-c", "w four"}).errors,
            batchErrors("-c 1", "Could not open output file.\n"));
  EXPECT_TRUE(readFile(dir / "image.iso") ==
              std::string(image.bytes().begin(), image.bytes().end()));

  EXPECT_EQ(run({"-C", "out", "--overwrite", "-c", "x four"}).output, extracted);
  EXPECT_EQ(run({"-C", "out", "-c", "x four"}).output, extracted);  // the same bytes: kept
  const RunResult nowhere = run({"-C", "nowhere", "-c", "l"});
  EXPECT_EQ(nowhere.errors, "discshell: cannot change to nowhere: No such file or directory\n");
  EXPECT_EQ(nowhere.status, 1);
}

// The progress line goes to standard error only when it is a terminal, and
// is taken off again before the command ends; standard output stays exact.
TEST(Progress, ShowsOnATerminalOnlyAndErasesItself) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(700, 1);
  image.directory(1, {{"big", "DATA", 300 * 1024, 100}});
  image.resize(700 * 512);
  image.save(dir / "image.iso");
  for (const bool terminal : {true, false}) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const std::string path = dir / "image.iso";
    const std::string command = "x big";
    const std::vector<const char*> args{"-C", dir.path().c_str(), "--overwrite",
                                        "-c", command.c_str(),    path.c_str()};
    Console console{in, out, err, false, false, terminal};
    console.progressDelay = std::chrono::milliseconds(0);
    EXPECT_EQ(runDiscshell(args, console), 0);
    EXPECT_EQ(out.str(), "big\nExtracted 1 files and 0 directories, 307200 bytes; 0 failures.\n");
    const std::regex shown("\r300\\.0 KiB, [0-9.]+ [KMG]?i?B/s, 0 files\r +\r");
    EXPECT_EQ(std::regex_match(err.str(), shown), terminal) << err.str();
  }
}

// A failure's subject is shown as standard error may show it: control
// characters become "?" only where standard error is a terminal.
TEST(Batch, ShowsAFailingPathByStandardErrorsOwnTerminalRule) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, {{"bell\x07", "TEXT", -1, 4}});
  image.save(dir / "image.iso");
  for (const bool errorsAtTerminal : {true, false}) {
    std::istringstream in;
    std::ostringstream out;
    std::ostringstream err;
    const std::string path = dir / "image.iso";
    const std::vector<const char*> args{"-C", dir.path().c_str(), "-c", "x", path.c_str()};
    Console console{in, out, err, false, !errorsAtTerminal, errorsAtTerminal};
    EXPECT_EQ(runDiscshell(args, console), 2);
    // Windows escapes the control character in the local name, and then
    // refuses its size as Linux does.
    EXPECT_EQ(err.str(), batchErrors("-c 1", std::string(errorsAtTerminal ? "bell?" : "bell\x07") +
                                                 ": Invalid entry size.\n"));
  }
}

TEST(Batch, PrintsOnlyWhatCommandsPrintAndStopsAtTheFirstFailure) {
  ScratchDir dir;
  batchVolume().save(dir / "image.iso");
  // Empty lines and lines that begin with "#" are no commands in a script.
  writeFile(dir / "script", "# into sub and back\n\nc sub\np ../four\n#\nc ..\nc ..\nq\n");
  writeFile(dir / "first", "p four\np four\n");
  const auto batch = [&](const std::vector<std::string>& options, const std::string& input = "") {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"image.iso", "16"});
    return runTool(args, input, dir.path());
  };
  // -c lines first, then every -f in order; all scripts are opened first.
  const RunResult script = batch({"-f", "first", "-c", "p four", "-f", "script"});
  EXPECT_EQ(script.output, "fourfourfourEntering sub:\nfour");
  EXPECT_EQ(script.errors, "");
  EXPECT_EQ(script.status, 0);
  // Output and failures keep their order when both go to one file.
  writeFile(dir / "both", "");
  ToolOptions oneFile;
  oneFile.outputPath = dir / "both";
  oneFile.errorsToOutput = true;
  runTool({"-c", "p four", "-c", "g missing", "image.iso", "16"}, "", dir.path(), oneFile);
  EXPECT_EQ(readFile(dir / "both"), "four" + batchErrors("-c 2", "File not found.\n"));
  const RunResult missing = batch({"-f", "first", "-f", "missing"});
  EXPECT_EQ(missing.output, "");
  EXPECT_EQ(missing.errors, "discshell: cannot read missing: No such file or directory\n");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(batch({"-f", "-"}, "p four\nq\np four\n").output, "four");
  // A failure names where its command came from: the line of its script.
  writeFile(dir / "failing", "p four\n\n# next: a name that is not there\ng missing\np four\n");
  const RunResult failing = batch({"-c", "p four", "-f", "failing"});
  EXPECT_EQ(failing.output, "fourfour");
  EXPECT_EQ(failing.errors, "discshell: failing:4: File not found.\n");
  EXPECT_EQ(failing.status, 2);
  EXPECT_EQ(batch({"-f", "-"}, "#\nbogus\n").errors, "discshell: -:2: Invalid command\n");

  for (const auto& [line, message] : std::vector<std::pair<std::string, std::string>>{
           {"g missing", "File not found.\n"},
           {"c missing", "Directory not found.\n"},
           {"p sub/long", "Image ends early: 6144 of 99999 bytes written.\n"},
           {"w four", "Could not find file on local drive.\n"},
           {"a", "Invalid entry size.\n"},
           {"bogus", "Invalid command\n"}}) {
    const RunResult failed = batch({"-c", line, "-c", "p four"});
    EXPECT_EQ(failed.errors, batchErrors("-c 1", message)) << line;
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
  // Output that is only flushed at the end fails as well.
  for (const char* flag : {"-h", "-V"}) {
    const RunResult run = runTool({flag}, "", dir.path(), full);
    EXPECT_EQ(run.errors, "discshell: cannot write standard output: No space left on device\n");
    EXPECT_EQ(run.status, 3);
  }
  // No command runs once standard output has failed.
  EXPECT_EQ(runTool({"-c", "l", "-c", "g four", "image.iso", "16"}, "", dir.path(), full).status,
            3);
  EXPECT_FALSE(exists(dir / "four"));
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

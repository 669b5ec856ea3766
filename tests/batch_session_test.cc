// Options, batch mode and exit statuses, as scripts see them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>

#include "console/progress_display.h"
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
           {{"--overwrite=no", "-odd.iso"}, "unknown option: --overwrite=no"},
           {{"-c"}, "option requires an argument: -c"}}) {
    const RunResult refused = run(args);
    EXPECT_EQ(refused.output, "");
    EXPECT_EQ(refused.errors, "discshell: " + problem + "\n" + kUsage);
    EXPECT_EQ(refused.status, 1);
  }
  // After IMAGE an option of the tool's own stops the start; anything else is ignored.
  for (const auto& [args, option] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"-c", "r", "--", "-odd.iso", "-o", "x.img"}, "-o"},
           {{"--", "-odd.iso", "16", "--overwrite"}, "--overwrite"},
           {{"--", "-odd.iso", "-C"}, "-C"}}) {
    const RunResult misplaced = run(args);
    EXPECT_EQ(misplaced.output + misplaced.errors,
              "discshell: options go before IMAGE: " + option + "\n");
    EXPECT_EQ(misplaced.status, 1);
  }
  EXPECT_EQ(run({"-cp four", "--", "-odd.iso", "16", "-x", "--c", "-ofoo"}).output, "four");
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
// names the output, never the image; x keeps an edit unless --overwrite,
// which is news, not a failure: the batch goes on.
TEST(Options, WorkInADirectoryNameTheOutputAndKeepEdits) {
  ScratchDir dir;
  const ImageBuilder image = batchVolume();
  image.save(dir / "image.iso");
  ASSERT_TRUE(std::filesystem::create_directory(dir / "out"));
  const auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"image.iso", "16"});
    return runTool(args, "", dir.path());
  };
  const std::string extracted = "four\nExtracted 1 file and 0 directories, 4 bytes; 0 failures.\n";
  EXPECT_EQ(run({"-C", "out", "-c", "x four"}).output, extracted);
  writeFile(dir / "out/four", "FOUR");
  const RunResult kept = run({"-C", "out", "-c", "x four", "-c", "p four"});
  EXPECT_EQ(kept.output,
            "four: Local file differs from the image; kept.\n"
            "Extracted 0 files and 0 directories, 0 bytes; 1 kept, 0 failures.\nfour");
  EXPECT_EQ(kept.errors, "");
  EXPECT_EQ(kept.status, 0);
  EXPECT_EQ(readFile(dir / "out/four"), "FOUR");

  // -o is found from where the tool started, as IMAGE is; -C moves only
  // the local files and output.iso.
  const RunResult patched = run({"-C", "out", "-o", "new.iso", "-c", "w four"});
  EXPECT_EQ(patched.output,
            "ISO Length: 8208, Address: 2064, Replacement Length: 4.\nLeft to go: 6140 bytes"
            "New ISO written to new.iso\n");
  EXPECT_EQ(readFile(dir / "new.iso")->substr(2064, 4), "FOUR");
  EXPECT_FALSE(exists(dir / "out/new.iso"));
  EXPECT_EQ(
      run({"-C", "out", "-o", "out/image.iso", "-c", "w four"}).output,
      patched.output.substr(0, patched.output.find("New")) + "New ISO written to out/image.iso\n");
  EXPECT_EQ(run({"-C", "out", "-o", "image.iso", "-c", "w four"}).errors,
            batchErrors("-c 1", "Could not open output file.\n"));
  const RunResult nowhere = run({"-C", "out", "-o", "four/new.iso", "-c", "w four"});
  EXPECT_EQ(nowhere.errors, "discshell: cannot open the directory of four/new.iso.\n");
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_TRUE(readFile(dir / "image.iso") ==
              std::string(image.bytes().begin(), image.bytes().end()));

  EXPECT_EQ(run({"-C", "out", "--overwrite", "-c", "x four"}).output, extracted);
  EXPECT_EQ(run({"-C", "out", "-c", "x four"}).output, extracted);  // the same bytes: kept
  const RunResult noDirectory = run({"-C", "nowhere", "-c", "l"});
  EXPECT_EQ(noDirectory.errors, "discshell: cannot change to nowhere: No such file or directory\n");
  EXPECT_EQ(noDirectory.status, 1);
}

// What a terminal shows after `written`: each "\r" goes back to the start
// of the line and the text after it overwrites what stands there. Checks
// that after every line drawn the screen holds exactly that line; returns
// the lines drawn, without their padding.
std::vector<std::string> drawnLines(const std::string& written) {
  std::vector<std::string> lines;
  std::string screen;
  const auto trimmed = [](std::string text) { return text.erase(text.find_last_not_of(' ') + 1); };
  std::size_t begin = 0;
  while (begin < written.size()) {
    EXPECT_EQ(written[begin], '\r') << written;
    const std::size_t end = std::min(written.find('\r', begin + 1), written.size());
    const std::string piece = written.substr(begin + 1, end - begin - 1);
    screen.replace(0, std::min(piece.size(), screen.size()), piece);
    EXPECT_EQ(trimmed(screen), trimmed(piece)) << "left behind: " << screen;
    if (!trimmed(piece).empty()) lines.push_back(trimmed(piece));
    begin = end;
  }
  EXPECT_EQ(trimmed(screen), "");  // erased at the end
  return lines;
}

// Runs `command` in `dir` with standard error a terminal (or not) and the
// progress line drawn at every report; returns what standard error got.
std::string progressOf(const ScratchDir& dir, const std::string& command, bool terminal,
                       const std::string& image = "image.iso") {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  const std::string path = dir / image;
  const std::vector<const char*> args{"-C", dir.path().c_str(), "--overwrite",
                                      "-c", command.c_str(),    path.c_str()};
  Console console{in, out, err, false, false, terminal};
  console.progressDelay = std::chrono::milliseconds(0);
  console.progressRedraw = std::chrono::milliseconds(0);
  EXPECT_EQ(runDiscshell(args, console), 0) << out.str() << err.str();
  return err.str();
}

// Checks every line against `pattern` (figure, total, files done; the
// percentage follows the figure) and returns the last.
std::string checkLines(const std::vector<std::string>& lines, const std::string& total,
                       const std::string& files) {
  const std::regex line("([0-9.]+ K?i?B) of " + total + R"( \(([0-9]+)%\), [0-9.]+ [KMG]?i?B/s)" +
                        files + "(, big)?");
  int percent = 0;
  for (const std::string& text : lines) {
    std::smatch match;
    EXPECT_TRUE(std::regex_match(text, match, line)) << text;
    if (match.empty()) continue;
    EXPECT_GE(std::stoi(match[2]), percent) << text;
    percent = std::stoi(match[2]);
  }
  return lines.empty() ? "" : lines.back();
}

// The progress line goes to standard error only when it is a terminal, and
// is taken off again before the command ends; standard output stays exact.
// x and u know their totals before they start and end on them; u counts
// what it compares, then what it writes: the image and the changed file.
TEST(Progress, ShowsTheTotalOnATerminalOnlyAndErasesItself) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(700, 1);
  image.directory(1, {{"big", "DATA", 300 * 1024, 100}});
  image.resize(700 * 512);
  image.save(dir / "image.iso");
  EXPECT_EQ(progressOf(dir, "x", false), "");
  const auto x = drawnLines(progressOf(dir, "x", true));
  ASSERT_FALSE(x.empty());
  EXPECT_EQ(checkLines(x, "300.0 KiB", ", [01] of 1 files").substr(0, 30),
            "300.0 KiB of 300.0 KiB (100%),");
  EXPECT_TRUE(x.back().ends_with(", 1 of 1 files"));
  EXPECT_TRUE(x.front().ends_with(", 0 of 1 files, big"));
  // x of a path counts what is below it.
  const auto one = drawnLines(progressOf(dir, "x big", true));
  ASSERT_FALSE(one.empty());
  EXPECT_TRUE(checkLines(one, "300.0 KiB", ", [01] of 1 files").ends_with(", 1 of 1 files"));
  if (DISCSHELL_HAVE_CHECKSUMS) {
    const auto m = drawnLines(progressOf(dir, "m", true));
    EXPECT_TRUE(checkLines(m, "300.0 KiB", ", [01] of 1 files").ends_with(", 1 of 1 files"));
  }

  writeFile(dir / "big", std::string(300 * 1024 - 1, '\0') + "!");
  const auto u = drawnLines(progressOf(dir, "u", true));
  const auto writing = std::find_if(u.begin(), u.end(), [](const std::string& text) {
    return text.find(" of 650.0 KiB") != std::string::npos;
  });
  ASSERT_NE(writing, u.end());
  checkLines({u.begin(), writing}, "300.0 KiB", "");
  EXPECT_TRUE(checkLines({writing, u.end()}, "650.0 KiB", ", [01] of 1 files")
                  .starts_with("650.0 KiB of 650.0 KiB (100%), "));
  EXPECT_TRUE(u.back().ends_with(", 1 of 1 files"));

  // Files of no bytes have no percentage.
  image.directory(1, {{"empty", "DATA", 0, 100}});
  image.save(dir / "empty.iso");
  EXPECT_TRUE(drawnLines(progressOf(dir, "x", true, "empty.iso")).back().starts_with("0 B, "));
}

// The line is taken off once: erasing again, as the command's end does
// after it printed, writes nothing more.
TEST(Progress, ErasesTheLineOnce) {
  std::ostringstream screen;
  ProgressDisplay display(&screen, std::chrono::milliseconds(0), std::chrono::milliseconds(0));
  display.start({100, std::nullopt});
  display.bytesDone(50);
  const std::string drawn = screen.str();
  ASSERT_TRUE(drawn.starts_with("\r50 B of 100 B (50%)")) << drawn;
  display.erase();
  display.stop();
  EXPECT_EQ(screen.str(), drawn + "\r" + std::string(drawn.size() - 1, ' ') + "\r");
}

// 1,024 bytes are 1.0 KiB, and nothing shows as 1024.0 of a unit.
TEST(Progress, ShowsSizesInTheLargestUnitBelow1024) {
  EXPECT_EQ(progressSize(1023), "1023 B");
  EXPECT_EQ(progressSize(1024), "1.0 KiB");
  EXPECT_EQ(progressSize(1536), "1.5 KiB");
  EXPECT_EQ(progressSize(1048575), "1.0 MiB");
  EXPECT_EQ(progressSize(1048576), "1.0 MiB");
  EXPECT_EQ(progressSize(1073741824.0 * 3), "3.0 GiB");
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
    // --map too: a map that cannot be written names its file so.
    std::ostringstream mapErrors;
    const std::vector<const char*> map{"--map",
                                       "no\x07"
                                       "dir/map.svg",
                                       path.c_str()};
    Console mapConsole{in, out, mapErrors, false, !errorsAtTerminal, errorsAtTerminal};
    EXPECT_EQ(runDiscshell(map, mapConsole), 2);
    EXPECT_TRUE(mapErrors.str().starts_with(std::string("discshell: --map: no") +
                                            (errorsAtTerminal ? "?" : "\x07") + "dir/map.svg: "))
        << mapErrors.str();
    // And the map written names its file as standard output shows names.
    if (kWindows) continue;  // no control characters in Windows file names
    std::ostringstream mapOutput;
    const std::string bell = dir / "bell\x07.svg";
    const std::vector<const char*> written{"--map", bell.c_str(), path.c_str()};
    Console shown{in, mapOutput, mapErrors, false, errorsAtTerminal, false};
    EXPECT_EQ(runDiscshell(written, shown), 0);
    EXPECT_TRUE(
        mapOutput.str().ends_with(std::string(errorsAtTerminal ? "bell?" : "bell\x07") + ".svg.\n"))
        << mapOutput.str();
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
  const ScratchDir saved;  // where a puts its files
  runTool({"-c", "p four", "-c", "a", dir / "image.iso", "16"}, "", saved.path(), oneFile);
  EXPECT_EQ(readFile(dir / "both"),
            "four\nSaving all files in directory...\n\nfour...\nsub...\n"
            "bad...\n" +
                batchErrors("-c 2", "Invalid entry size.\n") + "\nDone.\n\n");
  const RunResult missing = batch({"-f", "first", "-f", "missing"});
  EXPECT_EQ(missing.output, "");
  EXPECT_EQ(missing.errors, "discshell: cannot read missing: No such file or directory\n");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(batch({"-f", "-"}, "p four\nq\np four\n").output, "four");
  // A failure names where its command came from: the line of its script.
  writeFile(dir / "failing", "p four\n\n# next: a name that is not there\ng missing\np four\n");
  const RunResult failing = batch({"-f", "first", "-f", "failing"});
  EXPECT_EQ(failing.output, "fourfourfour");
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

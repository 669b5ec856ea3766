// Whole sessions of the built tool: start-up, the prompt, navigation and
// listing, compared byte for byte with their exit status.
#include <gtest/gtest.h>

#include <sstream>

#include "console/completion.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::EntrySpec;
using tools::ImageBuilder;

// Block size 512, root in block 1 holding a file, a subdirectory "sub"
// (block 2), a directory "self" that contains itself (block 3), a name with
// a leading space, and an entry whose start block is 0.
ImageBuilder sampleVolume() {
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, {
                         {"README", "TEXT", 777, 57},
                         {"sub", "DIR", 512, 2},
                         {"self", "DIR", 512, 3},
                         {" spaced", "DIR", 512, 2},
                         {"nowhere", "DIR", 512, 0},
                     });
  image.directory(2, {{"inner.txt", "TEXT", 5, 9}});
  image.directory(3, {{"self", "DIR", 512, 3}});
  image.resize(16 * 512);
  return image;
}

const std::string kSampleSummary = summary(8192, 512, 512);
const std::string kSubListing = kListingHeading + listingLine("inner.txt", "TEXT", 5, 9) + "\n";

TEST(Startup, PrintsTheSummaryAndEndsWithQ) {
  ScratchDir dir;
  const RunResult run = runOnImage(sampleVolume(), "q\n", dir);
  EXPECT_EQ(run.output, kSampleSummary + "?>Exiting...\n");
  EXPECT_EQ(run.status, 0);
}

TEST(Startup, ReadsTheHeaderBehindAVolumeOffsetGivenInAnyBase) {
  ScratchDir dir;
  ImageBuilder image(512, 16);
  image.header(16, 1);
  image.directory(1, {{"inner.txt", "TEXT", 5, 9}});
  image.save(dir / "offset.iso");
  for (const char* offset : {"16", "0x10", "020"}) {
    const RunResult run = runTool({"offset.iso", offset, "ignored"}, "l\n", dir.path());
    EXPECT_EQ(run.output, summary(8192, 512, 528) + "?>" + kSubListing + "?>Exiting...\n")
        << offset;
    EXPECT_EQ(run.status, 0);
  }
}

TEST(Startup, ReportsAnImageItCannotUse) {
  ScratchDir dir;
  const std::string usage = "Could not open image file.\nUsage: discshell IMAGE [VOLUME-OFFSET]\n";
  const RunResult none = runTool({}, "q\n", dir.path());
  EXPECT_EQ(none.output, "");
  EXPECT_EQ(none.status, 255);
  for (const char* image : {"missing.iso", "-", ".", "/"}) {
    const RunResult run = runTool({image}, "q\n", dir.path());
    EXPECT_EQ(run.output, usage) << image;
    EXPECT_EQ(run.status, 1) << image;
  }

  ImageBuilder image(512);
  image.header(16, 1);
  image.save(dir / "full.iso");
  image.resize(103);
  image.save(dir / "short.iso");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"short.iso"}, {"full.iso", "-4"}, {"full.iso", "1"}, {"full.iso", "0x7fffffff"}}) {
    const RunResult run = runTool(args, "q\n", dir.path());
    EXPECT_EQ(run.output, "Could not read volume header.\n") << args.back();
    EXPECT_EQ(run.status, 1);
  }
}

TEST(Shell, EntersAndLeavesDirectoriesAndEndsWithDotDotAtTheRoot) {
  ScratchDir dir;
  const RunResult run =
      runOnImage(sampleVolume(), "c sub\nl\nc ..\nc self\nc self\nc ..\nc ..\nc ..\nl\n", dir);
  EXPECT_EQ(run.output, kSampleSummary + "?>Entering sub:\n?>" + kSubListing +
                            "?>?>Entering self:\n?>Entering self:\n?>?>?>");
  EXPECT_EQ(run.status, 0);
}

TEST(Shell, DispatchesOnTheFirstLowerCaseCharacterOnly) {
  ScratchDir dir;
  const RunResult run =
      runOnImage(sampleVolume(), "\nL\n l\nb\nQ\ncd sub\nlist everything\nquit now\n", dir);
  EXPECT_EQ(run.output, kSampleSummary +
                            "?>Invalid command?>Invalid command?>Invalid command?>Invalid command"
                            "?>Invalid command?>Entering sub:\n?>" +
                            kSubListing + "?>Exiting...\n");
}

// The letters added after the first ones run only as a word of their own:
// an English word that begins with one runs nothing ("edit" would erase,
// "rm" write output.iso). The first letters take any word, as always.
TEST(Shell, RunsTheAddedLettersOnlyAsAWordOfTheirOwn) {
  ScratchDir dir;
  const std::string words =
      "edit README\nrename README\nrm README\nexit\nhelp\nmd5\nnew\nprint README\nsave\n"
      "tree\nupdate\nverify\nxtract\n?help\nif\nx\tsub\n";
  std::string invalid;
  for (const char c : words) invalid += c == '\n' ? "?>Invalid command" : "";
  const RunResult run =
      runOnImage(sampleVolume(), words + "i\nwq\nwrite README\ngo\ndir\nquit\n", dir);
  EXPECT_EQ(run.output, kSampleSummary + invalid + "?>No changes are pending.\n" +
                            "?>Nothing to write: no changes are pending.\n" +
                            "?>Could not find file on local drive.\n?>File not found.\n?>" +
                            kListingHeading + listingLine("README", "TEXT", 777, 57) +
                            listingLine("sub", "DIR", 512, 2) + listingLine("self", "DIR", 512, 3) +
                            listingLine(" spaced", "DIR", 512, 2) +
                            listingLine("nowhere", "DIR", 512, 0) + "\n?>Exiting...\n");
  EXPECT_EQ(listNames(dir.path()), std::vector<std::string>{"image.iso"});
}

TEST(Shell, TakesTheArgumentAfterTheFirstSpaceWithNothingTrimmed) {
  ScratchDir dir;
  const RunResult run = runOnImage(
      sampleVolume(),
      "c\ncd\nc .. \ncd  spaced\nc ..\nc  sub\nc nowhere\nc missing\nc\tsub\ng\nw\nq\n", dir);
  EXPECT_EQ(run.output,
            kSampleSummary +
                "?>Directory not found.\n?>Directory not found.\n?>Directory not found.\n"
                "?>Entering  spaced:\n?>?>Directory not found.\n?>Directory not found.\n"
                "?>Directory not found.\n?>Directory not found.\n"
                "?>File not found.\n?>Nothing to write: no changes are pending.\n?>Exiting...\n");
}

TEST(Shell, EndsAtTheEndOfInputAfterRunningAnUnterminatedLastLine) {
  ScratchDir dir;
  const std::string tail = "?>Entering sub:\n?>" + kSubListing + "?>Exiting...\n";
  EXPECT_EQ(runOnImage(sampleVolume(), "c sub\nl", dir).output, kSampleSummary + tail);
  EXPECT_EQ(runOnImage(sampleVolume(), "c sub\r\nl\r\n", dir).output, kSampleSummary + tail);
  // A carriage return without a line feed behind it is part of the name.
  EXPECT_EQ(runOnImage(sampleVolume(), "c sub\r", dir).output,
            kSampleSummary + "?>Directory not found.\n?>Exiting...\n");
  const RunResult empty = runOnImage(sampleVolume(), "", dir);
  EXPECT_EQ(empty.output, kSampleSummary + "?>Exiting...\n");
  EXPECT_EQ(empty.status, 0);
}

TEST(Shell, TakesLongLinesWhole) {
  ScratchDir dir;
  const std::string longName(5000, 's');
  // A line of exactly 64 KiB is taken whole; one byte more, and the line
  // matches nothing, even where its first 64 KiB would.
  std::string dots;
  for (int i = 0; i < 32765; ++i) dots += "./";
  const std::string exact = "c " + dots + "self";  // 65,536 bytes
  const RunResult run = runOnImage(
      sampleVolume(),
      "b" + std::string(100000, 'l') + "\nc " + longName + "\n" + exact + "\n" + exact + "/\nq\n",
      dir);
  ASSERT_EQ(exact.size(), 65536u);
  EXPECT_EQ(run.output, kSampleSummary + "?>Invalid command?>Directory not found.\n?>Entering " +
                            exact.substr(2) + ":\n?>Directory not found.\n?>Exiting...\n");
}

TEST(Shell, NestsAMillionLevelsWithoutExhaustingTheStack) {
  ScratchDir dir;
  std::string script;
  for (int i = 0; i < 1000000; ++i) script += "c self\n";
  script += "c ..\nq\n";
  const RunResult run = runOnImage(sampleVolume(), script, dir);
  EXPECT_EQ(run.status, 0);
  std::string expected = kSampleSummary;
  for (int i = 0; i < 1000000; ++i) expected += "?>Entering self:\n";
  expected += "?>?>Exiting...\n";
  EXPECT_TRUE(run.output == expected) << "output of " << run.output.size() << " bytes differs";
}

TEST(Listing, PrintsOneAlignedLinePerEntryInWalkOrder) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, {
                         {"README", "TEXT", 777, 57},
                         {"wide", "DATA", 1234567890, 3},
                         {"negative", "BAD", -5, -77},
                         {std::string(32, 'n'), std::string("T\0XY", 4), 0, 1234567},
                         {"sub", "DIR", 512, 2},
                     });
  image.directory(2, {});
  const RunResult run = runOnImage(image, "l\nc sub\nd\nq\n", dir);
  const std::string readmeLine = "README                          TEXT        777 bytes  57    \n";
  EXPECT_EQ(run.output, summary(8192, 512, 512) + "?>" + kListingHeading + readmeLine +
                            "wide                            DATA  1234567890 bytes  3     \n" +
                            listingLine("negative", "BAD", -5, -77) +
                            listingLine(std::string(31, 'n'), "T", 0, 1234567) +
                            listingLine("sub", "DIR", 512, 2) + "\n?>Entering sub:\n?>" +
                            kListingHeading + "\n?>Exiting...\n");
}

// On a terminal C0 and C1 controls show as "?", and each byte that is not
// part of valid UTF-8 as "%XX", which can be typed; a space and valid UTF-8
// pass. Elsewhere every byte passes.
TEST(Listing, ShowsControlCharactersAndInvalidBytesHarmlesslyOnlyOnATerminal) {
  ScratchDir dir;
  // Also no surrogate, no overlong form, nothing past U+10FFFF passes whole.
  const std::string name =
      "e "
      "\x1b[2J\xc3\xa9\xc2\x9b\x9d\x9f\xc2\xa0\xe3\x81\x82\xff\xed\xa0\x80\xc0\x80\xf4\x90\x80\x80";
  ImageBuilder image(512);
  image.header(16, 1);
  image.directory(1, {{name, "T\x07\x7f", 1, 2}});
  image.directory(2, {});
  image.save(dir / "image.iso");
  const std::string script = "l\nc " + name + "\nq\n";
  const auto transcript = [](const std::string& shownName, const std::string& shownType) {
    return summary(8192, 512, 512) + "?>" + kListingHeading +
           listingLine(shownName, shownType, 1, 2) + "\n?>Entering " + shownName +
           ":\n?>Exiting...\n";
  };
  EXPECT_EQ(
      runInProcess({dir / "image.iso"}, script, true).output,
      transcript("e ?[2J\xc3\xa9?%9D%9F\xc2\xa0\xe3\x81\x82%FF%ED%A0%80%C0%80%F4%90%80%80", "T??"));
  EXPECT_EQ(runInProcess({dir / "image.iso"}, script, false).output, transcript(name, "T\x07\x7f"));
}

// Tab completes path components for the commands that take paths, a
// directory then getting its "/"; g and w take a name in this directory.
TEST(Completion, CompletesPathsOnlyForThePathCommands) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const auto image = ImageFile::open(dir / "demo.iso");
  const auto geometry = readVolumeGeometry(*image, 0);
  std::ostringstream out;
  const Session session(*image, *geometry, out, out);
  for (const char* command : {"c", "p", "s", "t", "u", "x"}) {
    EXPECT_EQ(completeLine(session, std::string(command) + " do").insert, "cs/") << command;
    EXPECT_EQ(completeLine(session, std::string(command) + " docs/gu").insert, "ide.txt");
    EXPECT_EQ(completeLine(session, std::string(command) + " ./do").insert, "cs/") << command;
  }
  for (const char* command : {"g", "w", "get"}) {
    EXPECT_EQ(completeLine(session, std::string(command) + " do").insert, "cs") << command;
    EXPECT_EQ(completeLine(session, std::string(command) + " docs/gu").insert, "") << command;
  }
  // A line that runs no command completes nothing.
  EXPECT_EQ(completeLine(session, "xx do").insert, "");
}

// Names are typed as the terminal shows them: UTF-8 as it is, completed a
// whole character at a time, and a byte that is not part of valid UTF-8 as
// "%XX", which the line typed turns back into the byte.
TEST(Completion, TypesNamesAsTheTerminalShowsThem) {
  ScratchDir dir;
  ImageBuilder builder(512);
  builder.header(16, 1);
  builder.directory(1, {{"Qu\xc3\xa9.txt", "TEXT", 1, 3},
                        {"Qu\xc3\xaa.txt", "TEXT", 1, 3},
                        {"odd", "DIR", 512, 2},
                        {"twin", "TEXT", 1, 3},
                        {"twin", "DIR", 512, 2}});
  builder.directory(2, {{"caf\xe9 \xe6\x97\xa5.txt", "TEXT", 1, 3}});
  builder.save(dir / "image.iso");
  const auto image = ImageFile::open(dir / "image.iso");
  const auto geometry = readVolumeGeometry(*image, 0);
  std::ostringstream out;
  const Session session(*image, *geometry, out, out);
  const Completion both = completeLine(session, "p Qu");
  EXPECT_EQ(both.insert, "");
  EXPECT_EQ(both.choices, (std::vector<std::string>{"Qu\xc3\xa9.txt", "Qu\xc3\xaa.txt"}));
  EXPECT_EQ(completeLine(session, "p Qu\xc3\xa9").insert, ".txt");
  // The first entry of a name is the one commands find: a file, so no "/".
  EXPECT_EQ(completeLine(session, "p tw").insert, "in");
  EXPECT_EQ(completeLine(session, "p odd/c").insert, "af%E9 \xe6\x97\xa5.txt");
  EXPECT_EQ(completeLine(session, "p od%64/caf%E").insert, "");  // "%64" is no byte name
  EXPECT_EQ(completeLine(session, "p ./odd/caf%E").insert, "9 \xe6\x97\xa5.txt");

  EXPECT_EQ(typedText("p odd/caf%E9 \xe6\x97\xa5.txt"), "p odd/caf\xe9 \xe6\x97\xa5.txt");
  EXPECT_EQ(typedText("%ed%A0%80%FF%"), "\xed\xa0\x80\xff%");
  // Text no name could show so stays: valid UTF-8 and bytes below 0x80.
  EXPECT_EQ(typedText("caf%C3%A9 100%25 %7F %E6%97%A5"), "caf%C3%A9 100%25 %7F %E6%97%A5");
  for (const std::string name : {"caf\xe9", "100%\xe9", "\xc3\xa9\xc3", "\xf4\x90\x80\x80"}) {
    EXPECT_EQ(typedText(typedName(name)), name);
  }
}

}  // namespace
}  // namespace discshell::testing

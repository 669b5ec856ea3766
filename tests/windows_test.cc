// Windows only: names Windows cannot hold or would misread, exact bytes
// through pipes, files that cannot be replaced while in use, Ctrl-C, and the
// README's session with the output it has on Linux.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/platform.h"
#include "session_harness.h"

namespace discshell::testing {
namespace {

using tools::ImageBuilder;

TEST(WindowsNames, RefusesDevicesReservedCharactersTrailingDotsAndBadUtf8) {
  for (const char* name :
       {"nul.txt",     "CON",      "con",          "Aux.tar.gz", "NUL .txt", "COM1",   "lpt9.log",
        "COM\xC2\xB9", "a:b",      "a<b",          "a>b",        "a\"b",     "a|b",    "a?b",
        "a*b",         "a\\b",     "a/b",          "tab\there",  "\x1F",     "trail.", "trail ",
        "\xFF",        "\xC0\xAF", "\xED\xA0\x80", "",           ".",        ".."}) {
    EXPECT_FALSE(platform::isSafeLocalName(name)) << name;
  }
  for (const char* name : {"COM10", "LPT", "console", "nul_txt", "a b", ".hidden", "a.b.c",
                           "\xC3\xA9t\xC3\xA9.txt", "\xF0\x9F\x92\xBF"}) {
    EXPECT_TRUE(platform::isSafeLocalName(name)) << name;
  }
}

TEST(WindowsNames, SplitsPathsAtEitherSlashAndKeepsDrivesAndRoots) {
  const std::vector<std::pair<std::string, std::pair<std::string, std::string>>> cases = {
      {"output.iso", {".", "output.iso"}},
      {"dir/out.iso", {"dir", "out.iso"}},
      {"a/b\\c.iso", {"a/b", "c.iso"}},
      {"\\out.iso", {"\\", "out.iso"}},
      {"/out.iso", {"/", "out.iso"}},
      {"C:out.iso", {"C:", "out.iso"}},
      {"C:\\out.iso", {"C:\\", "out.iso"}},
      {"C:/dir/", {"C:/dir", ""}},
      {"\\\\server\\share\\out.iso", {"\\\\server\\share", "out.iso"}},
  };
  for (const auto& [path, parts] : cases) {
    const platform::PathParts split = platform::splitPath(path);
    EXPECT_EQ(std::make_pair(split.directory, split.name), parts) << path;
  }
}

// Through the tool: g, a and x write them under their escapes, and u finds
// them there; a name in UTF-8 (in an image whose own name is not ASCII)
// becomes that name on disk.
TEST(WindowsNames, EscapesNamesWindowsCannotHoldAndFindsThemAgain) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(16, 1);
  const std::vector<std::pair<std::string, std::string>> names = {
      {"CON", "CON%"},
      {"aux.txt", "aux%.txt"},
      {"a:b.txt", "a%3Ab.txt"},
      {"end.", "end%2E"},
      {"trail ", "trail%20"},
      {"q?.txt", "q%3F.txt"},
      {"caf\xE9.txt", "caf%E9.txt"},
      {"\xC3\xA9t\xC3\xA9.txt", "\xC3\xA9t\xC3\xA9.txt"}};
  std::vector<tools::EntrySpec> entries;
  for (const auto& [name, local] : names) {
    const auto block = static_cast<std::int32_t>(4 + entries.size());
    entries.push_back({name, "TEXT", 4, block});
    image.data(block, "data");
  }
  entries.push_back({"100%", "TEXT", 4, 12});
  image.data(12, "more");
  image.directory(1, entries);
  image.resize(16 * 512);
  image.save(dir / "image.iso");
  const std::string imageName = "d\xC3\xAFsc.iso";
  std::filesystem::rename(dir / "image.iso", platform::fileSystemPath(dir / imageName));
  std::string written;
  for (const auto& [name, local] : names) {
    if (name != local) written += name + ": written as " + local + ".\n";
  }
  const RunResult g = runTool({"-c", "g CON", "-c", "g a:b.txt", imageName}, "", dir.path());
  EXPECT_EQ(g.output, "CON: written as CON%.\na:b.txt: written as a%3Ab.txt.\n");
  const RunResult x = runTool({"-c", "x", imageName}, "", dir.path());
  EXPECT_EQ(x.output, written + "\xC3\xA9t\xC3\xA9.txt\n100%\n" +
                          "Extracted 9 files and 0 directories, 36 bytes; 0 failures.\n");
  EXPECT_EQ(x.status, 0);
  for (const auto& [name, local] : names) EXPECT_EQ(readFile(dir / local), "data") << local;
  EXPECT_EQ(listNames(dir.path()).size(), names.size() + 2);

  EXPECT_EQ(runTool({"-c", "u", imageName}, "", dir.path()).output,
            "Nothing to replace: every local file matches the image.\n");
  writeFile(dir / "q%3F.txt", "DATA");
  EXPECT_EQ(runTool({"-c", "u", imageName}, "", dir.path()).output,
            "q?.txt: 4 bytes into 1 copy\nNew ISO written to output.iso\n");
  EXPECT_EQ(readFile(dir / "output.iso").value().substr(9 * 512, 4), "DATA");
}

// Standard input and output in binary mode: no byte is translated, CR LF
// ends a line as LF does, and Ctrl-Z is a byte like any other, not the end.
TEST(WindowsBytes, PrintsEveryByteValueAndReadsControlZAsAByte) {
  ScratchDir dir;
  std::string everyByte(256, '\0');
  for (int i = 0; i < 256; ++i) everyByte[static_cast<std::size_t>(i)] = static_cast<char>(i);
  ImageBuilder image(512);
  image.header(16, 1);
  image.data(4, everyByte);
  image.directory(1, {{"bytes", "DATA", 256, 4}});
  const RunResult run = runOnImage(image, "p bytes\r\n\x1A\r\nq\r\n", dir);
  EXPECT_EQ(run.output,
            summary(8192, 512, 512) + "?>" + everyByte + "?>Invalid command?>Exiting...\n");
}

// A file that another program holds open cannot be replaced: the earlier
// file stays whole and the one written for it goes.
TEST(WindowsFilesInUse, StayWholeAndLeaveNoTemporaryFileBehind) {
  ScratchDir dir;
  ImageBuilder image(512);
  image.header(16, 1);
  image.data(4, "Hello, world!\n");
  image.directory(1, {{"hello.txt", "TEXT", 14, 4}, {"patch.bin", "DATA", 4, 5}});
  image.resize(16 * 512);
  image.save(dir / "image.iso");
  writeFile(dir / "hello.txt", "earlier");
  writeFile(dir / "output.iso", "earlier output");
  writeFile(dir / "patch.bin", "B");
  std::ifstream heldText(dir / "hello.txt");
  std::ifstream heldOutput(dir / "output.iso");
  const RunResult run = runTool({"image.iso"}, "g hello.txt\nw patch.bin\nq\n", dir.path());
  EXPECT_EQ(run.output, summary(8192, 512, 512) +
                            "?>Could not write local file.\n?>ISO Length: 8192, Address: 2560, "
                            "Replacement Length: 1.\nLeft to go: 5631 bytesUnknown error.\n"
                            "?>Exiting...\n");
  heldText.close();
  heldOutput.close();
  EXPECT_EQ(readFile(dir / "hello.txt"), "earlier");
  EXPECT_EQ(readFile(dir / "output.iso"), "earlier output");
  EXPECT_EQ(listNames(dir.path()),
            (std::vector<std::string>{"hello.txt", "image.iso", "output.iso", "patch.bin"}));
}

// Ctrl-C reaches only the processes of the console it is typed at, so this
// test runs again on a console of its own, told so by kInterruptVariable
// (the command's letter and the scratch directory). There it starts the
// tool, waits until the tool writes its temporary file, sends Ctrl-C and
// ends with the tool's exit code. (Wine sends no Ctrl-Break; the tool
// takes it as it takes Ctrl-C.)
constexpr const wchar_t* kInterruptVariable = L"DISCSHELL_TEST_INTERRUPT";

BOOL WINAPI outlive(DWORD) { return TRUE; }

[[noreturn]] void interruptTheTool(wchar_t command, const std::string& directory) {
  ::SetConsoleCtrlHandler(outlive, TRUE);
  const std::wstring binary = std::filesystem::absolute(DISCSHELL_BINARY).wstring();
  std::wstring commandLine = L"\"" + binary + L"\" -c \"" + command + L" big\" image.iso";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION tool{};
  if (!::CreateProcessW(binary.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        platform::fileSystemPath(directory).c_str(), &startup, &tool)) {
    ::ExitProcess(1001);
  }
  const auto writing = [&] {
    for (const std::string& name : listNames(directory)) {
      if (name.starts_with(".discshell-")) return true;
    }
    return false;
  };
  for (int tries = 0; tries < 20000 && !writing(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  DWORD code = 1002;
  if (::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) &&
      ::WaitForSingleObject(tool.hProcess, 60000) == WAIT_OBJECT_0) {
    ::GetExitCodeProcess(tool.hProcess, &code);
  }
  ::TerminateProcess(tool.hProcess, code);
  ::WaitForSingleObject(tool.hProcess, INFINITE);
  ::ExitProcess(code);
}

// Runs this test again on a new console; returns its exit code.
DWORD runOnOwnConsole(wchar_t command, const std::string& directory) {
  std::wstring self(MAX_PATH, L'\0');
  self.resize(::GetModuleFileNameW(nullptr, self.data(), MAX_PATH));
  std::wstring commandLine = L"\"" + self + L"\" --gtest_filter=WindowsInterrupt.*";
  const std::wstring request = command + platform::fileSystemPath(directory).wstring();
  ::SetEnvironmentVariableW(kInterruptVariable, request.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  const BOOL started = ::CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                                        CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &child);
  ::SetEnvironmentVariableW(kInterruptVariable, nullptr);
  if (!started) return 1000;
  DWORD code = 1003;
  if (::WaitForSingleObject(child.hProcess, 120000) == WAIT_OBJECT_0) {
    ::GetExitCodeProcess(child.hProcess, &code);
  }
  ::CloseHandle(child.hThread);
  ::CloseHandle(child.hProcess);
  return code;
}

TEST(WindowsInterrupt, CtrlCLeavesNothingBehindAndEndsWithAFailureStatus) {
  std::wstring request(MAX_PATH, L'\0');
  request.resize(::GetEnvironmentVariableW(kInterruptVariable, request.data(), MAX_PATH));
  if (!request.empty()) {
    interruptTheTool(request[0], std::filesystem::path(request.substr(1)).string());
  }
  ScratchDir dir;
  constexpr std::int32_t kEntryBytes = 0x70000000;  // 1.75 GiB, sparse in the image
  ImageBuilder image(2048);
  image.header(16 + kEntryBytes / 2048, 1);
  image.directory(1, {{"big", "DATA", kEntryBytes, 16}});
  image.save(dir / "image.iso");
  std::filesystem::resize_file(dir / "image.iso", 16 * 2048 + std::uintmax_t{kEntryBytes});
  writeFile(dir / "big", "earlier");
  writeFile(dir / "output.iso", "earlier output");
  for (const wchar_t command : {L'g', L'w'}) {
    EXPECT_EQ(runOnOwnConsole(command, dir.path()), STATUS_CONTROL_C_EXIT);
    EXPECT_EQ(listNames(dir.path()), (std::vector<std::string>{"big", "image.iso", "output.iso"}));
    EXPECT_EQ(readFile(dir / "big"), "earlier");
    EXPECT_EQ(readFile(dir / "output.iso"), "earlier output");
  }
}

// The session the README shows, through discshell.exe, with Linux's output.
TEST(WindowsSession, RunsTheReadmeSessionOnTheDemoDisc) {
  ScratchDir dir;
  tools::demoImage().save(dir / "demo.iso");
  const RunResult run = runTool(
      {"demo.iso"}, "l\nc docs/archive\np old-notes.txt\nc ..\nc ..\nt docs\nx\nq\n", dir.path());
  std::string logs;
  for (int day = 1; day <= 16; ++day) {
    logs += std::string("logs/day") + (day < 10 ? "0" : "") + std::to_string(day) + ".log\n";
  }
  EXPECT_EQ(
      run.output,
      "Volume Size: 32768 bytes\nBlock Size: 512 bytes\n"
      "Root Directory: 512 bytes from start of volume\n\n"
      "?>\nName                            Type  Size             Block Address\n\n"
      "README                          TEXT         56 bytes  20    \n"
      "hello.txt                       TEXT         14 bytes  21    \n"
      "docs                            DIR         512 bytes  2     \n"
      "logs                            DIR        1536 bytes  4     \n\n"
      "?>Entering docs/archive:\n?>Nothing to see here.\n?>?>"
      "?>TEXT\t43\t22\tguide.txt\nDIR\t512\t3\tarchive/\nTEXT\t21\t23\tarchive/old-notes.txt\n"
      "?>README\nhello.txt\ndocs/guide.txt\ndocs/archive/old-notes.txt\n" +
          logs + "Extracted 20 files and 3 directories, 429 bytes; 0 failures.\n?>Exiting...\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(readFile(dir / "docs/archive/old-notes.txt"), "Nothing to see here.\n");
  EXPECT_EQ(readFile(dir / "logs/day16.log"), "Day 16: all quiet.\n");
  // m through Windows' own SHA-256.
  EXPECT_EQ(runTool({"-c", "m hello.txt", "demo.iso"}, "", dir.path()).output,
            "d9014c4624844aa5bac314773d6b689ad467fa4e1d1a50a1b8a99d5a95f72ff5  hello.txt\n");
}

}  // namespace
}  // namespace discshell::testing

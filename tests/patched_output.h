// What every image that w, u or r wrote must show: v finds no problem the
// input did not have, and x of it gives back what was edited.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "session_harness.h"

namespace discshell::testing {

/// v of `output` finds no problem that v of `input` did not find, and as
/// many directories and files (both in `dir`, with the volume offset
/// `offset` when it is not empty).
inline void expectChecksLikeInput(const ScratchDir& dir, const std::string& input,
                                  const std::string& output = "output.iso",
                                  const std::string& offset = "") {
  const auto check = [&](const std::string& image) {
    std::vector<std::string> args{"-c", "v", image};
    if (!offset.empty()) args.push_back(offset);
    std::vector<std::string> lines;
    const std::string text = runTool(args, "", dir.path()).output;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  };
  const std::vector<std::string> before = check(input);
  const std::vector<std::string> after = check(output);
  ASSERT_FALSE(before.empty());
  ASSERT_FALSE(after.empty());
  // "Checked D directories and F files: N problems."
  const auto counted = [](const std::string& line) { return line.substr(0, line.find(':')); };
  EXPECT_EQ(counted(after.back()), counted(before.back()));
  for (std::size_t i = 0; i + 1 < after.size(); ++i) {
    EXPECT_NE(std::find(before.begin(), before.end(), after[i]), before.end())
        << output << " has a new problem: " << after[i];
  }
}

/// x of the image at `image`, in a fresh directory, gives exactly the files
/// at `paths` below `edited`.
inline void expectExtractsAs(const std::string& image, const ScratchDir& edited,
                             const std::vector<std::string>& paths,
                             const std::string& offset = "") {
  ScratchDir again;
  writeFile(again / "copy.iso", readFile(image).value());
  std::vector<std::string> args{"-c", "x", "copy.iso"};
  if (!offset.empty()) args.push_back(offset);
  runTool(args, "", again.path());
  for (const std::string& path : paths) {
    EXPECT_EQ(readFile(again / path), readFile(edited / path)) << path;
  }
}

}  // namespace discshell::testing

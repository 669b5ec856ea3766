// Where the shell's command lines come from: a stream (standard input or a
// script file), the lines given with -c, or the terminal line editor.
#pragma once

#include <cstddef>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace discshell {

struct Session;

class LineSource {
 public:
  virtual ~LineSource() = default;
  /// The next line without its line end; no value at the end of input.
  [[nodiscard]] virtual std::optional<std::string> next() = 0;
  /// Where the last line came from, for failure messages ("-c 2",
  /// "script.txt:14"); empty where that goes without saying.
  [[nodiscard]] virtual std::string origin() const { return ""; }
  /// After the end of input at a terminal, reads on: the user may type more.
  virtual void readOnAfterEnd() {}
};

/// Of a line longer than this, only this much is kept; the rest is read and
/// dropped. No entry name is longer than 31 bytes, so nothing is lost.
inline constexpr std::size_t kKeptLineLength = 64 * 1024;

/// Lines of a stream, ended by "\n" or "\r\n" (a carriage return elsewhere
/// is part of the line; a last line without a line end still counts). A
/// longer line keeps its first `kKeptLineLength` bytes and gets a NUL behind
/// them, so its argument matches no entry, as if it had been taken whole.
class StreamLines final : public LineSource {
 public:
  explicit StreamLines(std::istream& in) : in_(in) {}
  [[nodiscard]] std::optional<std::string> next() override;
  void readOnAfterEnd() override { in_.clear(); }

 private:
  std::istream& in_;
  std::unique_ptr<char[]> buffer_ = std::make_unique<char[]>(kKeptLineLength + 1);
};

/// A script of -f: its name as given ("-" for standard input) and its lines.
struct Script {
  std::string name;
  std::istream* lines = nullptr;
};

/// The lines given with -c, then the lines of each script in turn. A
/// script's empty lines and lines that begin with "#" are no commands: they
/// are passed over.
class BatchLines final : public LineSource {
 public:
  BatchLines(std::vector<std::string> lines, std::vector<Script> scripts);
  [[nodiscard]] std::optional<std::string> next() override;
  [[nodiscard]] std::string origin() const override { return origin_; }

 private:
  std::vector<std::string> lines_;
  std::size_t nextLine_ = 0;
  std::vector<Script> scripts_;
  std::size_t nextScript_ = 0;
  std::optional<StreamLines> current_;  ///< the script being read
  std::size_t lineNumber_ = 0;          ///< in the script being read
  std::string origin_;
};

/// The terminal line editor (history, completion), or nothing when the tool
/// was built without one or the terminal cannot be used.
[[nodiscard]] std::unique_ptr<LineSource> openLineEditor(Session& session);

}  // namespace discshell

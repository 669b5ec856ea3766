// m: the SHA-256 of every file x would write, in sha256sum's own format.
#include "console/commands.h"
#include "console/work_totals.h"
#include "platform/sha256.h"
#include "transfer/copy.h"
#include "transfer/extract.h"
#include "transfer/local_tree.h"

namespace discshell {
namespace {

// The path as sha256sum writes it: a backslash, a line feed or a carriage
// return in it is escaped, and then the line starts with a backslash.
std::string checksumLine(const Sha256::Digest& digest, std::string_view path) {
  constexpr std::string_view kHexDigits = "0123456789abcdef";
  std::string name;
  for (const char c : path) {
    if (c == '\\') {
      name += "\\\\";
    } else if (c == '\n') {
      name += "\\n";
    } else if (c == '\r') {
      name += "\\r";
    } else {
      name += c;
    }
  }
  std::string line = name.size() != path.size() ? "\\" : "";
  for (const unsigned char byte : digest) {
    line += kHexDigits[byte >> 4];
    line += kHexDigits[byte & 0xF];
  }
  return line + "  " + name;
}

class ChecksumLister final : public TreeVisitor {
 public:
  explicit ChecksumLister(Session& session) : session_(session) {}

  // What x would not write is named with x's message and skipped, checked
  // in x's order; a directory x would not create is skipped whole, as x
  // skips it.
  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    if (!names_.first(entry.name)) return skip(path, "Duplicate name; not extracted.\n");
    if (entry.startBlock == 0) return skip(path, "File not found.\n");
    if (!platform::isSafeLocalName(entry.name)) return skip(path, "Unsafe local file name.\n");
    if (path.size() >= platform::pathLimit()) return skip(path, "Local path too long.\n");
    if (directory) {
      names_.enter();
      return true;
    }
    if (entry.byteCount < 0) return skip(path, "Invalid entry size.\n");
    Sha256 sha;
    reportFileStarted(path);
    const CopyResult copy =
        copyBytes(session_.image.file(), blockToOffset(session_.geometry, entry.startBlock),
                  entry.byteCount, [&](const unsigned char* data, std::size_t size) {
                    sha.update({data, size});
                    return true;
                  });
    session_.out << session_.shown(checksumLine(sha.finish(), path)) << '\n';
    reportFileDone();
    if (copy.copied < entry.byteCount) {
      session_.fail(path,
                    extractMessage({ExtractStatus::kEndedEarly, copy.copied}, entry.byteCount));
    }
    return false;
  }
  void leave(const std::string&) override { names_.leave(); }
  // Its files have their lines where the directory was first met.
  void revisit(const DirectoryEntry& entry, const std::string&) override {
    static_cast<void>(names_.first(entry.name));
  }

 private:
  bool skip(const std::string& path, std::string_view message) {
    session_.fail(path, message);
    return false;
  }
  Session& session_;
  FirstNames names_;
};

ShellStep listChecksums(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  if (!Sha256::available()) {
    session.fail("m: " + Sha256::unavailableReason() + ".\n");
    return ShellStep::kPrompt;
  }
  const ProgressRun progress(session.progress, [&] { return treeWork(session, *target); });
  ChecksumLister lister(session);
  walkArgument(session, *target, lister);
  return ShellStep::kPrompt;
}

}  // namespace

const CommandHandler kChecksumCommand = listChecksums;

}  // namespace discshell

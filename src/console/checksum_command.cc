// m: the SHA-256 of every file x would write, in sha256sum's own format.
#include "bytes/copy.h"
#include "console/commands.h"
#include "console/work_totals.h"
#include "local/extract.h"
#include "local/local_name.h"
#include "local/local_tree.h"
#include "platform/sha256.h"

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
  ChecksumLister(Session& session, bool foldsCase)
      : session_(session), names_(session.image, session.geometry), foldsCase_(foldsCase) {}

  /// The walk starts in the directory at `offset`.
  void start(std::int32_t offset) { names_.enter(offset, foldsCase_); }

  // What x would not write is named with x's message and skipped, checked
  // in x's order; a directory x would not create is skipped whole, as x
  // skips it. Paths are printed as x names the local files.
  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    const std::string local = localName(entry.name);
    if (const auto earlier = names_.earlier(entry, local)) {
      // A name the folder takes as another's is no fault, as for x.
      if (*earlier != entry.name) {
        session_.warn(path, takenNameMessage(entry.name, *earlier));
        return false;
      }
      return skip(path, takenNameMessage(entry.name, *earlier));
    }
    if (entry.startBlock == 0) return skip(path, "File not found.\n");
    if (local.empty()) return skip(path, "Unsafe local file name.\n");
    if (localPath_.size() + local.size() >= platform::pathLimit()) {
      return skip(path, "Local path too long.\n");
    }
    if (directory) {
      // Folders x makes inside this one take its way of comparing names.
      names_.enter(blockToOffset(session_.geometry, entry.startBlock), foldsCase_);
      localLengths_.push_back(localPath_.size());
      localPath_.append(local).append("/");
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
    session_.out << session_.shown(checksumLine(sha.finish(), localPath_ + local)) << '\n';
    reportFileDone();
    if (copy.copied < entry.byteCount) {
      session_.fail(path,
                    extractMessage({ExtractStatus::kEndedEarly, copy.copied}, entry.byteCount));
    }
    return false;
  }
  void leave(const std::string&) override {
    names_.leave();
    if (localLengths_.empty()) return;
    localPath_.resize(localLengths_.back());
    localLengths_.pop_back();
  }
  // Its files have their lines where the directory was first met.
  void revisit(const DirectoryEntry& entry, const std::string&) override {
    static_cast<void>(names_.earlier(entry, localName(entry.name)));
  }

 private:
  bool skip(const std::string& path, std::string_view message) {
    session_.fail(path, message);
    return false;
  }
  Session& session_;
  FirstNames names_;
  bool foldsCase_;
  std::string localPath_;  ///< of the directory being walked, with a "/" at its end
  std::vector<std::size_t> localLengths_;
};

ShellStep listChecksums(Session& session, std::int32_t, std::optional<std::string_view> argument) {
  const auto target = resolveArgument(session, argument);
  if (!target) return ShellStep::kPrompt;
  if (!Sha256::available()) {
    session.fail("m: " + Sha256::unavailableReason() + ".\n");
    return ShellStep::kPrompt;
  }
  const ProgressRun progress(session.progress, [&] { return treeWork(session, *target); });
  // Names that the local folder takes as one file x extracts once.
  const auto here = platform::Directory::current();
  ChecksumLister lister(session, here && here->foldsCase());
  if (target->entry) {
    // As x PATH writes it: the entry under its own name, a directory with
    // everything below it.
    walkTree(session.image, session.geometry, *target->entry, lister);
  } else {
    lister.start(target->directory);
    walkArgument(session, *target, lister);
  }
  return ShellStep::kPrompt;
}

}  // namespace

const CommandHandler kChecksumCommand = listChecksums;

}  // namespace discshell

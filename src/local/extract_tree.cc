#include "local/extract_tree.h"

#include "bytes/compare.h"
#include "bytes/progress.h"
#include "local/extract.h"
#include "local/local_name.h"
#include "local/local_tree.h"
#include "volume/tree.h"

namespace discshell {
namespace {

class TreeExtractor final : public TreeVisitor {
 public:
  TreeExtractor(const ImageFile& image, const VolumeGeometry& geometry, platform::Directory top,
                ExistingFile existing, const TreeReporter& report)
      : image_(image),
        geometry_(geometry),
        local_(std::move(top)),
        existing_(existing),
        names_(image, geometry),
        report_(report) {}

  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    if (totals.stoppedBy != 0) return countNotWritten(entry, directory);
    const std::string local = localName(entry.name);
    // The first entry of a local name is the one the name means, as for g
    // and c: a later one would overwrite its file. One of another name is
    // one the folder cannot hold beside it, which is no fault of the image.
    if (const auto earlier = names_.earlier(entry, local)) {
      if (*earlier == entry.name) return fail(path, takenNameMessage(entry.name, *earlier));
      ++totals.skipped;
      report_(TreeEvent::kSkipped, path, takenNameMessage(entry.name, *earlier));
      return false;
    }
    // As g finds it: an entry at block 0 is not there.
    if (entry.startBlock == 0) return fail(path, "File not found.\n");
    if (local.empty()) return fail(path, "Unsafe local file name.\n");
    if (local_.pathLength(local) >= platform::pathLimit()) {
      return fail(path, "Local path too long.\n");
    }
    const std::string_view writtenAs = local != entry.name ? std::string_view(local) : "";
    if (directory) {
      return makeDirectory(blockToOffset(geometry_, entry.startBlock), local, path, writtenAs);
    }
    const platform::Directory* here = local_.current();
    if (here == nullptr) return fail(path, "Could not write local file.\n");
    const FileProgress progress(path);
    const ExtractResult result = extractFile(image_, blockToOffset(geometry_, entry.startBlock),
                                             entry.byteCount, *here, local, existing_, &compare_);
    totals.bytes += result.written;
    if (result.status == ExtractStatus::kKept) {
      // An edit made on purpose, which u and r put back: news, not a failure.
      ++totals.kept;
      report_(TreeEvent::kKept, path, extractMessage(result, entry.byteCount));
      return false;
    }
    if (result.status == ExtractStatus::kCannotWrite && platform::isOutOfSpace(result.error)) {
      totals.stoppedBy = result.error;
      totals.notWritten = 1;
      ++totals.failures;
      return false;
    }
    if (result.status != ExtractStatus::kWritten) return fail(path, failureMessage(result, entry));
    ++totals.files;
    report_(TreeEvent::kFile, path, writtenAs);
    return true;
  }

  /// Where the directory at `offset` is walked into the current local folder.
  void enterNames(std::int32_t offset) {
    const platform::Directory* here = local_.current();
    names_.enter(offset, here != nullptr && here->foldsCase());
  }

  void leave(const std::string&) override {
    if (enteredAfterStop_ > 0) {
      --enteredAfterStop_;
      return;
    }
    local_.leave();
    names_.leave();
  }

  void revisit(const DirectoryEntry& entry, const std::string& path) override {
    if (totals.stoppedBy != 0) return;
    static_cast<void>(names_.earlier(entry, localName(entry.name)));
    report_(TreeEvent::kRevisit, path, "");
  }

  TreeTotals totals;

 private:
  bool fail(const std::string& path, std::string_view message) {
    ++totals.failures;
    report_(TreeEvent::kFailure, path, message);
    return false;
  }

  // Once stopped, the walk goes on only to count the files x would still
  // have written; no local directory is made or entered.
  bool countNotWritten(const DirectoryEntry& entry, bool directory) {
    if (entry.startBlock == 0) return false;
    if (directory) ++enteredAfterStop_;
    if (!directory) ++totals.notWritten;
    return directory;
  }

  // x names the system's reason for a write it could not make.
  static std::string failureMessage(const ExtractResult& result, const DirectoryEntry& entry) {
    if (result.status == ExtractStatus::kCannotWrite && result.error != 0) {
      return "Could not write local file: " + platform::errorText(result.error) + ".\n";
    }
    return extractMessage(result, entry.byteCount);
  }

  // An existing directory is reused; anything else of that name (a file, or
  // a link, which could lead out of the tree) fails the subtree.
  bool makeDirectory(std::int32_t offset, const std::string& local, const std::string& path,
                     std::string_view writtenAs) {
    platform::FileKind found{};
    if (!local_.enter(local, true, found)) return fail(path, "Could not create local directory.\n");
    ++totals.directories;
    if (!writtenAs.empty()) report_(TreeEvent::kWrittenAs, path, writtenAs);
    enterNames(offset);
    return true;
  }

  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  LocalTree local_;
  ExistingFile existing_;
  ByteComparer compare_;
  FirstNames names_;
  const TreeReporter& report_;
  std::size_t enteredAfterStop_ = 0;  ///< directories the walk is in that were entered after a stop
};

}  // namespace

TreeTotals extractDirectoryTree(const ImageFile& image, const VolumeGeometry& geometry,
                                platform::Directory top, std::int32_t directoryOffset,
                                ExistingFile existing, const TreeReporter& report) {
  TreeExtractor extractor(image, geometry, std::move(top), existing, report);
  extractor.enterNames(directoryOffset);
  walkTree(image, geometry, directoryOffset, extractor);
  return extractor.totals;
}

TreeTotals extractEntryTree(const ImageFile& image, const VolumeGeometry& geometry,
                            platform::Directory top, const DirectoryEntry& entry,
                            ExistingFile existing, const TreeReporter& report) {
  TreeExtractor extractor(image, geometry, std::move(top), existing, report);
  walkTree(image, geometry, entry, extractor);
  return extractor.totals;
}

}  // namespace discshell

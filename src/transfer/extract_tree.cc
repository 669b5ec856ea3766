#include "transfer/extract_tree.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>

#include "transfer/extract.h"
#include "transfer/local_file.h"
#include "volume/tree.h"

namespace discshell {
namespace {

class TreeExtractor final : public TreeVisitor {
 public:
  TreeExtractor(const ImageFile& image, const VolumeGeometry& geometry, const TreeReporter& report)
      : image_(image), geometry_(geometry), report_(report) {}

  bool visit(const DirectoryEntry& entry, bool directory, const std::string& path) override {
    // As g finds it: an entry at block 0 is not there.
    if (entry.startBlock == 0) return fail(path, "File not found.\n");
    if (!isSafeLocalName(entry.name)) return fail(path, "Unsafe local file name.\n");
    if (path.size() >= PATH_MAX) return fail(path, "Local path too long.\n");
    if (directory) return makeDirectory(path);
    const std::size_t slash = path.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
    const ExtractResult result = extractFile(image_, blockToOffset(geometry_, entry.startBlock),
                                             entry.byteCount, parent, entry.name);
    totals.bytes += result.written;
    if (result.status != ExtractStatus::kWritten) {
      return fail(path, extractMessage(result, entry.byteCount));
    }
    ++totals.files;
    report_(TreeEvent::kFile, path, "");
    return true;
  }

  void revisit(const DirectoryEntry&, const std::string& path) override {
    report_(TreeEvent::kRevisit, path, "");
  }

  TreeTotals totals;

 private:
  bool fail(const std::string& path, std::string_view message) {
    ++totals.failures;
    report_(TreeEvent::kFailure, path, message);
    return false;
  }

  // An existing directory is reused; anything else of that name (a file, or
  // a link, which could lead out of the tree) fails the subtree.
  bool makeDirectory(const std::string& path) {
    struct stat info {};
    if (::mkdir(path.c_str(), 0777) != 0 &&
        (errno != EEXIST || ::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
      return fail(path, "Could not create local directory.\n");
    }
    ++totals.directories;
    return true;
  }

  const ImageFile& image_;
  const VolumeGeometry& geometry_;
  const TreeReporter& report_;
};

}  // namespace

TreeTotals extractDirectoryTree(const ImageFile& image, const VolumeGeometry& geometry,
                                std::int32_t directoryOffset, const TreeReporter& report) {
  TreeExtractor extractor(image, geometry, report);
  walkTree(image, geometry, directoryOffset, extractor);
  return extractor.totals;
}

TreeTotals extractEntryTree(const ImageFile& image, const VolumeGeometry& geometry,
                            const DirectoryEntry& entry, const TreeReporter& report) {
  TreeExtractor extractor(image, geometry, report);
  walkTree(image, geometry, entry, extractor);
  return extractor.totals;
}

}  // namespace discshell

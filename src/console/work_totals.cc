#include "console/work_totals.h"

#include "bytes/compare.h"
#include "local/extract.h"
#include "output/image_writer.h"

namespace discshell {
namespace {

class WorkCounter final : public TreeVisitor {
 public:
  /// `copiedOnly`: count only entries with further copies (what v compares).
  WorkCounter(const Session& session, bool copiedOnly)
      : session_(session),
        imageLength_(session.image.length().value_or(0)),
        copiedOnly_(copiedOnly) {}

  bool visit(const DirectoryEntry& entry, bool directory, const std::string&) override {
    if (copiedOnly_ ? entry.lastCopyIndex > 0 : !directory) count(entry);
    return directory;
  }
  void revisit(const DirectoryEntry&, const std::string&) override {}

  // The bytes a copy of the entry reads: as far as the image holds them.
  void count(const DirectoryEntry& entry) {
    ++*total.files;
    if (entry.startBlock == 0) return;  // not there, as x and g find it
    *total.bytes += extractedLength(
        imageLength_, blockToOffset(session_.geometry, entry.startBlock), entry.byteCount);
  }

  ProgressTotal total{0, 0};

 private:
  const Session& session_;
  std::int64_t imageLength_;
  bool copiedOnly_;
};

}  // namespace

ProgressTotal treeWork(const Session& session, const PathArgument& target) {
  WorkCounter counter(session, false);
  // walkArgument's own way, without a session that may change.
  if (!target.entry) {
    walkTree(session.image, session.geometry, target.directory, counter);
  } else {
    walkTree(session.image, session.geometry, *target.entry, counter);
  }
  return counter.total;
}

ProgressTotal directoryWork(const Session& session, std::int32_t directory) {
  WorkCounter counter(session, false);
  walkDirectory(session.image, session.geometry, directory, [&](const DirectoryEntry& entry) {
    counter.count(entry);
    return WalkStep::kContinue;
  });
  return counter.total;
}

ProgressTotal checkWork(const Session& session) {
  WorkCounter counter(session, true);
  walkTree(session.image, session.geometry, session.geometry.rootDirectoryOffset, counter);
  return {counter.total.bytes, std::nullopt};
}

ProgressTotal imageWriteWork(const Session& session, const ImageChanges& changes) {
  std::int64_t bytes = session.image.length().value_or(0);
  for (const LocalWriteView write : changes.files) {
    bytes += write.length * static_cast<std::int64_t>(write.positions.size());
  }
  for (const StreamWrite& write : changes.streams) {
    bytes += write.length * static_cast<std::int64_t>(write.positions.size());
  }
  return {bytes, static_cast<std::int64_t>(changes.files.size())};
}

}  // namespace discshell

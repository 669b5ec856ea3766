#include "console/compare_images.h"

#include "console/commands.h"
#include "console/session.h"

namespace discshell {
namespace {

// A directory's path as t shows it: with its "/", and the root as "/".
std::string directoryShown(const std::string& path) { return path.empty() ? "/" : path + "/"; }

class ComparisonPrinter final : public ComparisonReport {
 public:
  ComparisonPrinter(const NamedVolume& image, const NamedVolume& other,
                    const CompareStreams& streams)
      : image_(image), other_(other), streams_(streams) {}

  void difference(const Difference& d) override {
    std::ostream& out = streams_.out;
    const std::string path = shown(d.directory ? directoryShown(d.path) : d.path);
    switch (d.kind) {
      case DifferenceKind::kAdded:
        out << "added " << path
            << (d.directory ? " (directory, " + counted(d.newValue, "entry", "entries") + ")\n"
                            : " (" + counted(d.newValue, "byte", "bytes") + ")\n");
        break;
      case DifferenceKind::kErased:
        out << "erased " << path
            << (d.directory ? " (directory, " + counted(d.oldValue, "entry", "entries") + ")\n"
                            : "\n");
        break;
      case DifferenceKind::kChanged:
        out << "changed " << path << ": "
            << (d.oldValue == d.newValue ? "" : std::to_string(d.oldValue) + " -> ")
            << counted(d.newValue, "byte", "bytes") << '\n';
        break;
      case DifferenceKind::kRenamed:
        out << "renamed " << path << " -> " << shown(d.newPath) << '\n';
        break;
      case DifferenceKind::kKindChanged:
        out << shown(d.path) << ": a " << (d.directory ? "directory" : "file") << " in "
            << shown(image_.name) << ", a " << (d.directory ? "file" : "directory") << " in "
            << shown(other_.name) << '\n';
        break;
      default:
        printLayout(d, path);
        break;
    }
  }

  void trouble(const Trouble& t) override {
    std::ostream& err = streams_.err;
    err << "discshell: " << troubled(t.side) << ": ";
    const std::string path = t.path;
    switch (t.kind) {
      case TroubleKind::kRevisit:
        err << errorShown(directoryShown(path))
            << ": directory already visited, not entered again\n";
        break;
      case TroubleKind::kEndsEarly:
        err << errorShown(directoryShown(path)) << ": the walk ends at byte " << t.value
            << " without an end marker; compared as far as it reads.\n";
        break;
      case TroubleKind::kNoName:
        err << errorShown(directoryShown(path)) << ": the entry at byte " << t.value
            << " has no name; not compared.\n";
        break;
      default:
        err << errorShown(path) << ": " << entryTrouble(t) << '\n';
        break;
    }
  }

 private:
  void printLayout(const Difference& d, const std::string& path) {
    std::ostream& out = streams_.out;
    switch (d.kind) {
      case DifferenceKind::kMoved:
        out << "moved " << path << ": " << blockList(d.oldBlocks) << " -> "
            << blockList(d.newBlocks) << '\n';
        break;
      case DifferenceKind::kCopies:
        out << path << ": " << counted(d.oldValue, "copy", "copies") << " -> "
            << counted(d.newValue, "copy", "copies") << '\n';
        break;
      case DifferenceKind::kType:
        out << path << ": type " << shown(d.oldType) << " -> " << shown(d.newType) << '\n';
        break;
      case DifferenceKind::kBlockSize:
        out << "/: block size " << d.oldValue << " -> " << counted(d.newValue, "byte", "bytes")
            << '\n';
        break;
      case DifferenceKind::kVolumeSize:
        out << "/: volume size " << d.oldValue << " -> " << counted(d.newValue, "byte", "bytes")
            << '\n';
        break;
      default:
        break;
    }
  }

  static std::string entryTrouble(const Trouble& t) {
    switch (t.kind) {
      case TroubleKind::kNoStartBlock:
        return "its start block is 0; not compared.";
      case TroubleKind::kNegativeSize:
        return "byte count " + std::to_string(t.value) + " is negative; not compared.";
      case TroubleKind::kDuplicate:
        return "an earlier entry of its directory has the same name; not compared.";
      case TroubleKind::kPastEnd:
        return "runs past the end of the image; compared as far as both hold bytes.";
      case TroubleKind::kUnreadable:
        return "a read failed; not compared.";
      default:
        return "its copy list runs past its directory block; copies not compared.";
    }
  }

  std::string troubled(Side side) const {
    switch (side) {
      case Side::kImage:
        return errorShown(image_.name);
      case Side::kOther:
        return errorShown(other_.name);
      default:
        return errorShown(image_.name) + " and " + errorShown(other_.name);
    }
  }

  [[nodiscard]] std::string shown(std::string_view text) const {
    return displayText(text, streams_.outputIsTerminal);
  }
  [[nodiscard]] std::string errorShown(std::string_view text) const {
    return displayText(text, streams_.errorIsTerminal);
  }

  const NamedVolume& image_;
  const NamedVolume& other_;
  const CompareStreams& streams_;
};

}  // namespace

int printComparison(const NamedVolume& image, const NamedVolume& other, bool layout,
                    const CompareStreams& streams) {
  ComparisonPrinter printer(image, other, streams);
  const ComparisonTotals totals = compareVolumes(image.volume, other.volume, layout, printer);
  streams.out << totals.same << " same, " << totals.added << " added, " << totals.erased
              << " erased, " << totals.changed << " changed, " << totals.renamed << " renamed";
  if (layout) streams.out << ", " << totals.moved << " moved";
  streams.out << ".\n";
  if (totals.troubles > 0) return kCompareTrouble;
  return totals.differ() ? kCompareDiffer : kCompareSame;
}

}  // namespace discshell

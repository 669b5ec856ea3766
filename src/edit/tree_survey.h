// The first step of a write of the pending changes: one walk of the whole
// tree from the root, for what the volume shows of its conventions, a
// record of each kind for new records to copy, and, for each directory the
// changes re-pack, the kind of each of its records, the records that lead
// to it and how many blocks its own record gives it.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "edit/directory_writer.h"
#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {

/// A record in a parent directory that names a directory.
struct ParentRecord {
  std::int32_t holder = 0;           ///< the directory that holds it, by copy 0's position
  std::int32_t position = 0;         ///< in copy 0 of the holder
  std::vector<std::int32_t> copies;  ///< the blocks it names, its start block first
};

/// What the walk found of one directory being re-packed.
struct SurveyedDirectory {
  bool reached = false;  ///< the walk from the root entered it
  /// The blocks its record gives it (its byte count in whole blocks); 0 for
  /// the root, which no record gives any.
  std::int32_t recordBlocks = 0;
  std::vector<bool> kinds;  ///< whether each record, in walk order, is a directory
  std::vector<ParentRecord> parents;
};

struct TreeSurvey {
  DirectoryConventions conventions;
  RecordTemplates templates;
  std::map<std::int32_t, SurveyedDirectory> directories;  ///< by copy 0's position
};

/// Walks the tree from the root once, learning about the directories whose
/// copy 0 begins at one of `offsets`.
[[nodiscard]] TreeSurvey surveyTree(const ImageFile& image, const VolumeGeometry& geometry,
                                    const std::vector<std::int32_t>& offsets);

}  // namespace discshell

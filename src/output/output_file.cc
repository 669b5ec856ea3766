#include "output/output_file.h"

namespace discshell {

bool OutputFile::holdsRegularOrNothing(const std::optional<platform::FileStatus>& at) {
  return at && (at->kind == platform::FileKind::kNone || at->kind == platform::FileKind::kRegular);
}

bool OutputFile::stillReplaceable() const {
  return directory && holdsRegularOrNothing(directory->entryStatus(name));
}

OutputFile locateOutputFile(const OutputPlace& place) {
  OutputFile output;
  platform::PathParts parts = platform::splitPath(place.path);
  output.name = std::move(parts.name);
  if (!platform::isSafeLocalName(output.name)) return output;
  output.directory =
      place.directory ? place.directory->duplicate() : platform::Directory::open(parts.directory);
  if (output.directory) {
    output.existing = output.directory->entryStatus(output.name, true);
    output.standing = output.directory->entryStatus(output.name);
  }
  return output;
}

std::optional<OutputPlace> openOutputPlace(const std::string& path, std::string& refusal) {
  const platform::PathParts parts = platform::splitPath(path);
  auto directory = platform::Directory::open(parts.directory);
  if (!directory) {
    refusal = "cannot open the directory of " + path + ".";
    return std::nullopt;
  }
  OutputPlace place(path, std::make_shared<const platform::Directory>(std::move(*directory)));
  const OutputFile output = locateOutputFile(place);
  if (!platform::isSafeLocalName(output.name) || output.notRegular()) {
    refusal = path + ": not a regular file.";
    return std::nullopt;
  }
  return place;
}

}  // namespace discshell

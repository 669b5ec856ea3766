#include "transfer/output_file.h"

namespace discshell {

OutputFile locateOutputFile(const std::string& path) {
  OutputFile output;
  platform::PathParts parts = platform::splitPath(path);
  output.name = std::move(parts.name);
  if (!platform::isSafeLocalName(output.name)) return output;
  output.directory = platform::Directory::open(parts.directory);
  if (output.directory) output.existing = output.directory->entryStatus(output.name, true);
  return output;
}

}  // namespace discshell

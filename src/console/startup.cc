#include "console/startup.h"

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console/help.h"
#include "console/output.h"
#include "console/session.h"
#include "console/shell.h"
#include "mount/mount.h"
#include "platform/platform.h"
#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {
namespace {

struct Options {
  std::vector<std::string> lines;        ///< -c, in order
  std::vector<std::string> scripts;      ///< -f, in order
  std::optional<std::string> directory;  ///< -C: where local files are
  std::optional<std::string> output;     ///< -o: instead of output.iso
  bool overwrite = false;                ///< --overwrite: x replaces edited local files
  std::optional<std::string> mount;      ///< --mount DIR: serve the volume there instead
  bool foreground = false;               ///< --foreground: the mount stays attached
  std::vector<std::string> fuseOptions;  ///< --fuse-option, in order
  bool help = false;
  bool version = false;
  std::span<const char* const> positional;  ///< IMAGE [VOLUME-OFFSET] and what follows
  [[nodiscard]] bool batch() const { return !lines.empty() || !scripts.empty(); }
};

// POSIX order: options end at the first argument that is not one, or after "--".
std::optional<Options> parseOptions(std::span<const char* const> args, std::ostream& err) {
  Options options;
  std::size_t i = 0;
  const auto refuse = [&](const std::string& problem) {
    err << "discshell: " << problem << '\n' << kUsageLine;
    return std::nullopt;
  };
  for (; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    if (arg == "--help" || arg == "--version" || arg == "--overwrite") {
      (arg == "--help"      ? options.help
       : arg == "--version" ? options.version
                            : options.overwrite) = true;
      continue;
    }
    if (arg == "--foreground") {
      options.foreground = true;
      continue;
    }
    if (arg == "--mount" || arg == "--fuse-option") {
      if (i + 1 == args.size()) return refuse("option requires an argument: " + std::string(arg));
      if (arg == "--mount") {
        options.mount = args[++i];
      } else {
        options.fuseOptions.emplace_back(args[++i]);
      }
      continue;
    }
    if (arg.starts_with("--")) return refuse("unknown option: " + std::string(arg));
    for (std::size_t j = 1; j < arg.size(); ++j) {
      const char letter = arg[j];
      if (letter == 'h' || letter == 'V') {
        (letter == 'h' ? options.help : options.version) = true;
        continue;
      }
      if (std::string_view("cfCo").find(letter) == std::string_view::npos) {
        return refuse("unknown option: -" + std::string(1, letter));
      }
      std::string value;
      if (j + 1 < arg.size()) {
        value = arg.substr(j + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        return refuse("option requires an argument: -" + std::string(1, letter));
      }
      if (letter == 'c') {
        options.lines.push_back(std::move(value));
      } else if (letter == 'f') {
        options.scripts.push_back(std::move(value));
      } else {
        (letter == 'C' ? options.directory : options.output) = std::move(value);
      }
      break;  // the value took the rest of the argument
    }
  }
  options.positional = args.subspan(i);
  return options;
}

// A script of -f: standard input for "-", else the file; none after saying why.
std::istream* openScript(const std::string& script, Console& console, std::ifstream& file) {
  if (script == "-") return &console.in;
  const auto info = platform::statPath(script);
  errno = info && info->kind == platform::FileKind::kDirectory ? EISDIR : 0;
  if (errno == 0) file.open(platform::fileSystemPath(script), std::ios::binary);
  if (errno != 0 || !file) {
    console.err << "discshell: cannot read " << script << ": "
                << platform::errorText(errno != 0 ? errno : EIO) << '\n';
    return nullptr;
  }
  return &file;
}

// Ends a run: what could not be written to standard output makes it a failure.
int finish(Console& console, int status) {
  console.out.flush();
  if (!console.out) {
    console.err << "discshell: cannot write standard output: "
                << platform::errorText(streamError(console.out)) << '\n';
    status = kExitOutputFailed;
  }
  console.err.flush();
  return status;
}

int runSession(Session& session, const Options& options, Console& console,
               const std::vector<Script>& scripts) {
  std::unique_ptr<LineSource> lines;
  if (session.batch) {
    lines = std::make_unique<BatchLines>(options.lines, scripts);
  } else if (console.inputIsTerminal && console.outputIsTerminal) {
    lines = openLineEditor(session);
    session.lineEditor = lines != nullptr;
  }
  if (!lines) lines = std::make_unique<StreamLines>(console.in);
  return runShell(session, *lines);
}

}  // namespace

std::int32_t parseVolumeOffset(const char* text) {
  errno = 0;
  const long value = std::strtol(text, nullptr, 0);
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

int runDiscshell(std::span<const char* const> args, Console& console) {
  const auto options = parseOptions(args, console.err);
  if (!options) return kExitCannotStart;
  if (options->help || options->version) {
    if (options->help) {
      console.out << programHelp();
    } else {
      console.out << "discshell " << DISCSHELL_VERSION << '\n';
    }
    return finish(console, kExitSuccess);
  }
  if (options->mount &&
      (options->batch() || options->directory || options->output || options->overwrite)) {
    console.err << "discshell: --mount takes no commands\n";
    return kExitCannotStart;
  }
  if (!options->mount && (options->foreground || !options->fuseOptions.empty())) {
    console.err << "discshell: --foreground and --fuse-option go with --mount\n" << kUsageLine;
    return kExitCannotStart;
  }
  if (options->positional.empty()) {
    if (!args.empty()) console.err << "discshell: no IMAGE given\n" << kUsageLine;
    return kExitNoImage;
  }
  // Without a batch option, messages keep going to standard output as always.
  std::ostream& messages = options->batch() || options->mount ? console.err : console.out;
  const auto image = ImageFile::open(options->positional[0]);
  if (!image) {
    messages << "Could not open image file.\nUsage: discshell IMAGE [VOLUME-OFFSET]\n";
    return kExitCannotStart;
  }
  const std::span<const char* const> positional = options->positional;
  const std::int32_t volumeOffset = positional.size() > 1 ? parseVolumeOffset(positional[1]) : 0;
  const auto geometry = readVolumeGeometry(*image, volumeOffset);
  if (!geometry) {
    messages << "Could not read volume header.\n";
    return kExitCannotStart;
  }
  if (options->mount) {
    const MountRequest request{*options->mount, options->positional[0], options->foreground,
                               options->fuseOptions};
    return finish(console, mountVolume(*image, *geometry, request, console.out, console.err));
  }
  // Every script is opened before the first line runs.
  std::deque<std::ifstream> scriptFiles;
  std::vector<Script> scripts;
  for (const std::string& script : options->scripts) {
    scripts.push_back({script, openScript(script, console, scriptFiles.emplace_back())});
    if (scripts.back().lines == nullptr) return kExitCannotStart;
  }

  // IMAGE and the scripts are found from where the tool was started; every
  // local file from DIR on.
  if (options->directory) {
    if (const platform::ErrorCode error = platform::changeDirectory(*options->directory)) {
      console.err << "discshell: cannot change to " << *options->directory << ": "
                  << platform::errorText(error) << '\n';
      return kExitCannotStart;
    }
  }

  Session session(*image, *geometry, console.out, messages);
  ProgressDisplay progress(console.errorIsTerminal ? &console.err : nullptr, console.progressDelay);
  session.progress = &progress;
  if (console.outputBuffer != nullptr && console.outputIsTerminal && console.errorIsTerminal) {
    console.outputBuffer->beforeEachWrite([&progress] { progress.erase(); });
  }
  session.batch = options->batch();
  session.overwrite = options->overwrite;
  if (options->output) session.outputPath = *options->output;
  session.terminalOutput = console.outputIsTerminal;
  session.terminalErrors = session.batch ? console.errorIsTerminal : console.outputIsTerminal;
  if (!session.batch) {
    console.out << "Volume Size: " << geometry->volumeSize
                << " bytes\nBlock Size: " << geometry->blockSize
                << " bytes\nRoot Directory: " << geometry->rootDirectoryOffset
                << " bytes from start of volume\n\n";
  }
  const int status = runSession(session, *options, console, scripts);
  if (console.outputBuffer != nullptr) console.outputBuffer->beforeEachWrite(nullptr);
  return finish(console, status);
}

}  // namespace discshell

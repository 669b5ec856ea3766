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

#include "console/commands.h"
#include "console/compare_images.h"
#include "console/help.h"
#include "console/output.h"
#include "console/session.h"
#include "console/shell.h"
#include "mount/mount.h"
#include "output/map_writer.h"
#include "output/output_file.h"
#include "platform/platform.h"
#include "volume/geometry.h"
#include "volume/image_file.h"

namespace discshell {
namespace {

struct Options {
  std::vector<std::string> lines;          ///< -c, in order
  std::vector<std::string> scripts;        ///< -f, in order
  std::optional<std::string> directory;    ///< -C: where local files are
  std::optional<std::string> output;       ///< -o: instead of output.iso
  std::optional<std::string> patch;        ///< --patch: a delta instead of output.iso
  bool overwrite = false;                  ///< --overwrite: x replaces edited local files
  std::optional<std::string> mount;        ///< --mount DIR: serve the volume there instead
  bool foreground = false;                 ///< --foreground: the mount stays attached
  std::vector<std::string> fuseOptions;    ///< --fuse-option, in order
  std::optional<std::string> map;          ///< --map FILE: write a map of the volume instead
  std::optional<std::string> compare;      ///< --compare OTHER: compare IMAGE with it instead
  std::optional<std::string> otherOffset;  ///< --other-offset: OTHER's volume offset
  bool layout = false;                     ///< --layout: compare where the data lies too
  bool help = false;
  bool version = false;
  std::span<const char* const> positional;  ///< IMAGE [VOLUME-OFFSET] and what follows
  [[nodiscard]] bool batch() const { return !lines.empty() || !scripts.empty(); }
};

// Every option: its letter and long name (either may be missing), whether
// it takes a value, and what it sets. A new option is one more line here.
struct OptionRule {
  char letter;                ///< 0: no short form
  std::string_view longName;  ///< without its "--"; empty: no long form
  bool takesValue;
  void (*apply)(Options& options, std::string value);
};

constexpr OptionRule kOptionRules[] = {
    {'c', "", true, [](Options& o, std::string v) { o.lines.push_back(std::move(v)); }},
    {'f', "", true, [](Options& o, std::string v) { o.scripts.push_back(std::move(v)); }},
    {'C', "", true, [](Options& o, std::string v) { o.directory = std::move(v); }},
    {'o', "", true, [](Options& o, std::string v) { o.output = std::move(v); }},
    {0, "overwrite", false, [](Options& o, std::string) { o.overwrite = true; }},
    {'h', "help", false, [](Options& o, std::string) { o.help = true; }},
    {'V', "version", false, [](Options& o, std::string) { o.version = true; }},
    {0, "patch", true, [](Options& o, std::string v) { o.patch = std::move(v); }},
    {0, "mount", true, [](Options& o, std::string v) { o.mount = std::move(v); }},
    {0, "foreground", false, [](Options& o, std::string) { o.foreground = true; }},
    {0, "fuse-option", true,
     [](Options& o, std::string v) { o.fuseOptions.push_back(std::move(v)); }},
    {0, "map", true, [](Options& o, std::string v) { o.map = std::move(v); }},
    {0, "compare", true, [](Options& o, std::string v) { o.compare = std::move(v); }},
    {0, "other-offset", true, [](Options& o, std::string v) { o.otherOffset = std::move(v); }},
    {0, "layout", false, [](Options& o, std::string) { o.layout = true; }},
};

const OptionRule* ruleForLetter(char letter) {
  for (const OptionRule& rule : kOptionRules) {
    if (rule.letter != 0 && rule.letter == letter) return &rule;
  }
  return nullptr;
}

const OptionRule* ruleForLongName(std::string_view name) {
  for (const OptionRule& rule : kOptionRules) {
    if (!rule.longName.empty() && rule.longName == name) return &rule;
  }
  return nullptr;
}

// Whether `arg` is exactly one of the options, as written alone.
bool isOwnOption(std::string_view arg) {
  if (arg.starts_with("--")) return ruleForLongName(arg.substr(2)) != nullptr;
  return arg.size() == 2 && arg[0] == '-' && ruleForLetter(arg[1]) != nullptr;
}

// Refuses the run's options with `problem` and the usage line.
std::nullopt_t refuse(std::ostream& err, const std::string& problem) {
  err << "discshell: " << problem << '\n' << kUsageLine;
  return std::nullopt;
}

// One argument that starts with "--": --name, or --name VALUE / --name=VALUE
// for one that takes a value. `i` moves past a value taken from the next
// argument. False after refusing it.
bool parseLongOption(std::span<const char* const> args, std::size_t& i, Options& options,
                     std::ostream& err) {
  const std::string_view arg = args[i];
  const std::size_t equals = arg.find('=');
  const std::size_t nameEnd = equals == std::string_view::npos ? arg.size() : equals;
  const OptionRule* rule = ruleForLongName(arg.substr(2, nameEnd - 2));
  if (rule == nullptr || (!rule->takesValue && equals != std::string_view::npos)) {
    refuse(err, "unknown option: " + std::string(arg));
    return false;
  }
  std::string value;
  if (equals != std::string_view::npos) {
    value = arg.substr(equals + 1);
  } else if (rule->takesValue && i + 1 < args.size()) {
    value = args[++i];
  } else if (rule->takesValue) {
    refuse(err, "option requires an argument: " + std::string(arg));
    return false;
  }
  rule->apply(options, std::move(value));
  return true;
}

// One argument of letters after "-" ("-c LINE", "-cLINE", "-h"); a letter
// that takes a value takes the rest of the argument, or the next one.
bool parseShortOptions(std::span<const char* const> args, std::size_t& i, Options& options,
                       std::ostream& err) {
  const std::string_view arg = args[i];
  for (std::size_t j = 1; j < arg.size(); ++j) {
    const OptionRule* rule = ruleForLetter(arg[j]);
    if (rule == nullptr) {
      refuse(err, "unknown option: -" + std::string(1, arg[j]));
      return false;
    }
    if (!rule->takesValue) {
      rule->apply(options, "");
      continue;
    }
    std::string value;
    if (j + 1 < arg.size()) {
      value = arg.substr(j + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      refuse(err, "option requires an argument: -" + std::string(1, arg[j]));
      return false;
    }
    rule->apply(options, std::move(value));
    break;  // the value took the rest of the argument
  }
  return true;
}

// POSIX order: options end at the first argument that is not one, or after "--".
std::optional<Options> parseOptions(std::span<const char* const> args, std::ostream& err) {
  Options options;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;
    const bool parsed = arg.starts_with("--") ? parseLongOption(args, i, options, err)
                                              : parseShortOptions(args, i, options, err);
    if (!parsed) return std::nullopt;
  }
  options.positional = args.subspan(i);
  // Further arguments are ignored, but an option there was surely meant as one.
  for (std::size_t k = 1; k < options.positional.size(); ++k) {
    if (isOwnOption(options.positional[k])) {
      err << "discshell: options go before IMAGE: " << options.positional[k] << '\n';
      return std::nullopt;
    }
  }
  if (options.patch && options.output) {
    err << "discshell: --patch and -o name two outputs; give one.\n";
    return std::nullopt;
  }
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
  session.terminalInput = !session.batch && console.inputIsTerminal && console.outputIsTerminal;
  if (!lines) lines = std::make_unique<StreamLines>(console.in);
  return runShell(session, *lines);
}

// Options that cannot go together, or no IMAGE: the exit status after
// saying so, or no value when the run may go on.
std::optional<int> refusedCombination(const Options& options, std::span<const char* const> args,
                                      std::ostream& err) {
  if (options.compare && (options.batch() || options.directory || options.output || options.patch ||
                          options.map || options.overwrite || options.mount)) {
    err << "discshell: --compare takes no commands\n";
    return kCompareTrouble;
  }
  if (!options.compare && (options.otherOffset || options.layout)) {
    err << "discshell: --other-offset and --layout go with --compare\n" << kUsageLine;
    return kExitCannotStart;
  }
  if (options.mount &&
      (options.batch() || options.directory || options.output || options.overwrite)) {
    err << "discshell: --mount takes no commands\n";
    return kExitCannotStart;
  }
  if (options.map && (options.mount || options.batch() || options.directory || options.output ||
                      options.patch || options.overwrite)) {
    err << "discshell: --map takes no commands\n";
    return kExitCannotStart;
  }
  if (!options.mount && (options.foreground || !options.fuseOptions.empty())) {
    err << "discshell: --foreground and --fuse-option go with --mount\n" << kUsageLine;
    return kExitCannotStart;
  }
  if (options.positional.empty()) {
    if (!args.empty()) err << "discshell: no IMAGE given\n" << kUsageLine;
    return options.compare ? kCompareTrouble : kExitNoImage;
  }
  return std::nullopt;
}

// What start-up opened for the commands.
struct Volume {
  const ImageFile& image;
  const VolumeGeometry& geometry;
  const std::optional<OutputPlace>& output;
};

// The session of the commands, set up from the options.
void setUpSession(Session& session, const Options& options, const Console& console,
                  const std::optional<OutputPlace>& output) {
  session.batch = options.batch();
  session.overwrite = options.overwrite;
  if (output) {
    session.outputPath = output->path;
    session.outputDirectory = output->directory;
  }
  session.patchOutput = options.patch.has_value();
  session.terminalOutput = console.outputIsTerminal;
  session.terminalErrors = session.batch ? console.errorIsTerminal : console.outputIsTerminal;
}

// Opens the scripts, moves to -C's directory, prints the summary at the
// prompt, and runs the commands: the run's exit status.
int runCommands(const Options& options, const Volume& volume, Console& console,
                std::ostream& messages) {
  // Every script is opened before the first line runs.
  std::deque<std::ifstream> scriptFiles;
  std::vector<Script> scripts;
  for (const std::string& script : options.scripts) {
    scripts.push_back({script, openScript(script, console, scriptFiles.emplace_back())});
    if (scripts.back().lines == nullptr) return kExitCannotStart;
  }
  // IMAGE, the scripts and -o are found from where the tool was started;
  // every local file, and output.iso, from DIR on.
  if (options.directory) {
    if (const platform::ErrorCode error = platform::changeDirectory(*options.directory)) {
      console.err << "discshell: cannot change to " << *options.directory << ": "
                  << platform::errorText(error) << '\n';
      return kExitCannotStart;
    }
  }
  Session session(volume.image, volume.geometry, console.out, messages);
  ProgressDisplay progress(console.errorIsTerminal ? &console.err : nullptr, console.progressDelay,
                           console.progressRedraw);
  session.progress = &progress;
  if (console.outputBuffer != nullptr && console.outputIsTerminal && console.errorIsTerminal) {
    console.outputBuffer->beforeEachWrite([&progress] { progress.erase(); });
  }
  setUpSession(session, options, console, volume.output);
  if (!session.batch) {
    for (const std::string& line : volumeSummary(volume.geometry)) console.out << line << '\n';
    console.out << '\n';
  }
  const int status = runSession(session, options, console, scripts);
  if (console.outputBuffer != nullptr) console.outputBuffer->beforeEachWrite(nullptr);
  return finish(console, status);
}

// --map: the one command, as a batch of it alone.
int runMap(const std::string& file, const Volume& volume, Console& console) {
  Session session(volume.image, volume.geometry, console.out, console.err);
  ProgressDisplay progress(console.errorIsTerminal ? &console.err : nullptr, console.progressDelay,
                           console.progressRedraw);
  session.progress = &progress;
  session.batch = true;
  session.commandOrigin = "--map";
  session.terminalOutput = console.outputIsTerminal;
  session.terminalErrors = console.errorIsTerminal;
  MapRequest request;
  request.summary = volumeSummary(volume.geometry);
  writeMap(session, file, request);
  return finish(console, session.failed ? kExitCommandFailed : kExitSuccess);
}

// Whether the arguments ask for a comparison, even where they cannot be
// read: a script that compares takes every refusal as trouble.
bool namesCompare(std::span<const char* const> args) {
  for (const std::string_view arg : args) {
    if (arg == "--") break;
    if (arg == "--compare" || arg.starts_with("--compare=")) return true;
  }
  return false;
}

// --compare: opens OTHER as IMAGE was opened, each message led by its
// name, and prints the differences; the status diff would give.
int compareWith(const Options& options, const NamedVolume& image, Console& console) {
  const std::string& name = *options.compare;
  const auto other = ImageFile::open(name);
  if (!other) {
    console.err << "discshell: " << name << ": Could not open image file.\n";
    return kCompareTrouble;
  }
  const std::int32_t offset =
      options.otherOffset ? parseVolumeOffset(options.otherOffset->c_str()) : 0;
  const auto geometry = readVolumeGeometry(*other, offset);
  if (!geometry) {
    console.err << "discshell: " << name << ": Could not read volume header.\n";
    return kCompareTrouble;
  }
  return printComparison(
      image, {{*other, *geometry}, name}, options.layout,
      {console.out, console.err, console.outputIsTerminal, console.errorIsTerminal});
}

}  // namespace

std::vector<std::string> volumeSummary(const VolumeGeometry& geometry) {
  return {"Volume Size: " + std::to_string(geometry.volumeSize) + " bytes",
          "Block Size: " + std::to_string(geometry.blockSize) + " bytes",
          "Root Directory: " + std::to_string(geometry.rootDirectoryOffset) +
              " bytes from start of volume"};
}

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
  if (!options) return namesCompare(args) ? kCompareTrouble : kExitCannotStart;
  if (options->help || options->version) {
    if (options->help) {
      console.out << programHelp();
    } else {
      console.out << "discshell " << DISCSHELL_VERSION << '\n';
    }
    return finish(console, kExitSuccess);
  }
  if (const auto refused = refusedCombination(*options, args, console.err)) return *refused;
  // -o (or --patch) is found from where the run starts, as IMAGE is, and
  // refused before any work when anything but a regular file stands there.
  std::optional<OutputPlace> output;
  if (const auto& named = options->patch ? options->patch : options->output) {
    std::string refusal;
    output = openOutputPlace(*named, refusal);
    if (!output) {
      console.err << "discshell: " << refusal << '\n';
      return kExitCannotStart;
    }
  }
  // Without a batch option, messages keep going to standard output as always.
  std::ostream& messages = options->batch() || options->mount || options->map || options->compare
                               ? console.err
                               : console.out;
  // A comparison that cannot start is trouble, as for diff.
  const int cannotStart = options->compare ? kCompareTrouble : kExitCannotStart;
  const auto image = ImageFile::open(options->positional[0]);
  if (!image) {
    messages << "Could not open image file.\nUsage: discshell IMAGE [VOLUME-OFFSET]\n";
    return cannotStart;
  }
  const std::span<const char* const> positional = options->positional;
  const std::int32_t volumeOffset = positional.size() > 1 ? parseVolumeOffset(positional[1]) : 0;
  const auto geometry = readVolumeGeometry(*image, volumeOffset);
  if (!geometry) {
    messages << "Could not read volume header.\n";
    return cannotStart;
  }
  if (options->compare) {
    return finish(console,
                  compareWith(*options, {{*image, *geometry}, options->positional[0]}, console));
  }
  if (options->mount) {
    const MountRequest request{*options->mount, options->positional[0], options->foreground,
                               options->fuseOptions};
    return finish(console, mountVolume(*image, *geometry, request, console.out, console.err));
  }
  if (options->map) return runMap(*options->map, Volume{*image, *geometry, output}, console);
  return runCommands(*options, Volume{*image, *geometry, output}, console, messages);
}

}  // namespace discshell

#include "console/help.h"

#include <string>

#include "console/commands.h"

namespace discshell {

namespace {

constexpr std::string_view kCommandsToH =
    "a         copy every entry of this directory out (subdirectories as plain files)\n"
    "c PATH    enter a directory; c .. goes back up, and at the root ends the run\n"
    "d, l      list this directory\n"
    "e PATH    erase an entry (a change that waits for w)\n"
    "f TEXT    list each place where a file below this directory holds the bytes\n"
    "          TEXT (\\xHH is one byte, \\\\ a backslash); overlapping matches all\n"
    "          count: aa is found 3 times in aaaa, where grep -b -o finds it twice\n"
    "g NAME    copy the entry NAME out to a local file of the same name\n"
    "h, ?      show this help\n"
    "i PATH... add each local file or directory PATH (found where x writes it) as a\n"
    "          new entry; of a directory the image has, what below it has no entry\n"
    "          (waits for w); i alone lists the changes waiting\n"
    "k FILE.svg [PATH]\n"
    "          draw a map of the volume into FILE.svg, the entries below PATH\n"
    "          highlighted\n";
// Only when the build has SHA-256.
constexpr std::string_view kChecksumHelp =
    "m [PATH]  the SHA-256 of every file below this directory (or PATH), for sha256sum\n";
constexpr std::string_view kCommandsFromP =
    "n PATH NAME\n"
    "          rename an entry within its directory (waits for w)\n"
    "o PATH [OFFSET [COUNT]]\n"
    "          show an entry's bytes as xxd does, from OFFSET on, COUNT of them (at\n"
    "          a terminal at most 4 KiB unless COUNT is given)\n"
    "p PATH    print an entry's data on standard output\n"
    "q         quit\n"
    "r [PATH]  write output.iso as u does, but each changed entry becomes exactly its\n"
    "          local file: in place where it fits, else moved to new blocks at the end\n"
    "s [PATH]  describe an entry; without PATH, the current directory\n"
    "t [PATH]  list every entry below this directory (or below PATH)\n"
    "u [PATH]  write output.iso: every entry whose local file (where x puts it) differs\n"
    "          is replaced by it, in all its copies\n"
    "v         check the whole volume and print every problem found\n"
    "w NAME    write output.iso: the entry NAME's data overwritten by the local file NAME\n"
    "w         alone: write output.iso with every change of i, e and n; u and r\n"
    "          write those changes too\n"
    "x [PATH]  copy everything below this directory (or PATH) out, keeping the tree\n"
    "          (a local file that differs from its entry is kept, and said so)\n"
    "Paths: names joined by \"/\"; a leading \"/\" starts at the root, \"..\" goes up one\n"
    "level; an entry whose whole name matches is always taken first.\n"
    "a, c, d, g, l, q and w take any line that begins with them (\"list\"); every\n"
    "other letter runs only as a word of its own (\"x docs\"; \"exit\" runs nothing).\n";

constexpr std::string_view kOptions =
    "Look into the disc image IMAGE, copy files out of it and write patched copies.\n"
    "VOLUME-OFFSET is where the volume starts in IMAGE (0x hexadecimal, 0 octal).\n"
    "\n"
    "Options (before IMAGE):\n"
    "  -c LINE        run LINE as a command; may be given more than once\n"
    "  -f FILE        run the lines of FILE (\"-\": standard input) after all -c;\n"
    "                 may be given more than once, run in order\n"
    "  -C DIR         take every local file, and output.iso, from DIR\n"
    "  -o FILE        w, u and r write FILE (found from where discshell started,\n"
    "                 a regular file or nothing) instead of output.iso\n"
    "  --patch FILE   w, u and r write FILE, a VCDIFF delta that turns IMAGE into\n"
    "                 what they would have written, instead of output.iso\n"
    "  --overwrite    x replaces local files that differ from the image\n"
    "  --mount DIR    serve the volume read-only as a folder on the empty directory\n"
    "                 DIR, in the background (fusermount3 -u DIR unmounts), and\n"
    "                 run no commands\n"
    "  --foreground   with --mount: stay attached; Ctrl-C or SIGTERM unmounts\n"
    "  --fuse-option OPT\n"
    "                 with --mount: pass OPT on to FUSE as -o OPT (allow_other)\n"
    "  --map FILE     write a map of the volume into FILE, an SVG picture, and\n"
    "                 run no commands\n"
    "  --compare OTHER\n"
    "                 run no commands: print how the tree of OTHER, the new image,\n"
    "                 differs from IMAGE's, a line each, then the counts; to check\n"
    "                 a translation: discshell --compare patched.iso original.iso\n"
    "  --other-offset N\n"
    "                 with --compare: where the volume starts in OTHER\n"
    "  --layout       with --compare: also each copy's blocks, their number, the\n"
    "                 type field and the header\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "  --             the next argument is IMAGE, even if it starts with \"-\"\n"
    "With -c or -f the run is a batch: no summary and no prompts, failure messages\n"
    "on standard error, and the run stops at the first command that fails.\n"
    "\n"
    "Commands:\n";

constexpr std::string_view kExitStatuses =
    "\n"
    "Exit status: 0 success; 1 cannot start (usage, image, header); 2 a command\n"
    "failed in batch mode; 3 standard output could not be written (a closed pipe\n"
    "only when SIGPIPE is ignored: otherwise SIGPIPE ends the run); 255 no IMAGE.\n"
    "With --compare, as diff: 0 the trees are the same, 1 they differ, 2 trouble\n"
    "(an image cannot be opened or read, a wrong option, damage).\n";

}  // namespace

std::string_view commandHelp() {
  static const std::string text =
      std::string(kCommandsToH) +
      std::string(findCommand('m') != nullptr ? kChecksumHelp : std::string_view()) +
      std::string(kCommandsFromP);
  return text;
}

std::string_view programHelp() {
  static const std::string text = std::string(kUsageLine) + std::string(kOptions) +
                                  std::string(commandHelp()) + std::string(kExitStatuses);
  return text;
}

}  // namespace discshell

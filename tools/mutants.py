#!/usr/bin/env python3
"""Writes mutants of src/ for tools/mutate.sh, in the order a sample takes them.

  tools/mutants.py [--base COMMIT] [--seed SEED] [--compiled BUILD]
                   [--equivalent FILE]

Each mutant is one small fault on one line of src/: a comparison flipped or
loosened (== and !=, < and <=, > and >=), an integer constant off by one, a
return of the other boolean, a statement or call removed, an if's or a
while's condition forced true or false (a while only false: true would
hang), && and || swapped. Comments, preprocessor lines and the code they
make conditional, and the insides of strings are never touched; a
declaration is touched only where it holds one of those (an initial value,
a constant).

The lines are those that differ from COMMIT in the working tree with
--base, else every line. --compiled names a build directory configured with
CMAKE_EXPORT_COMPILE_COMMANDS: then only the files it compiles and the
headers they include take part (a fault in a file the build leaves out could
not be caught). Mutants listed in
the equivalent file (default tools/mutants.equivalent) are left out.

The output is in the format of tools/mutations.txt, with the line's number
after the file; the "-" line is the whole line as it stands, the "+" line the
whole line with the fault in (empty for a line removed):

  # src/volume/directory.cc:57 "<" to "<="
  @ src/volume/directory.cc:57
  - if (remaining < limit) {
  + if (remaining <= limit) {

The order comes from a hash of the seed (default: HEAD's commit) with each
line and mutant: the same seed and sources give the same order. It takes one
mutant from each line before a second from any, the lines in hashed order, so
the first N mutants are N lines drawn at random; a runner that keeps the
first N that build has a sample of N.
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

KEYWORDS = {
    "alignas", "auto", "bool", "break", "case", "char", "class", "const", "constexpr",
    "continue", "default", "delete", "do", "double", "else", "enum", "explicit", "extern",
    "float", "for", "friend", "goto", "if", "inline", "int", "long", "namespace", "new",
    "operator", "private", "protected", "public", "return", "short", "signed", "sizeof",
    "static", "static_assert", "struct", "switch", "template", "throw", "typedef",
    "typename", "union", "unsigned", "using", "virtual", "void", "volatile", "while",
}
COMPARISONS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
LOGICAL = {"&&": "||", "||": "&&"}


def git(*args):
    return subprocess.run(["git", "-C", TOP, *args], check=True, capture_output=True,
                          text=True).stdout


def masked_lines(text):
    """The file's lines with comments blanked and the insides of string and
    character literals made '_', each of its line's length; and for each
    line whether it is code at all (not preprocessor, not inside #if)."""
    out = []
    state = None  # None, "block" (comment), '"' or "'"
    depth_if = 0
    continued = False
    for line in text.split("\n"):
        chars = list(line)
        stripped = line.strip()
        directive = state is None and (continued or stripped.startswith("#"))
        if directive:
            word = re.match(r"#\s*(\w+)", stripped)
            if word and word.group(1) in ("if", "ifdef", "ifndef"):
                depth_if += 1
            elif word and word.group(1) == "endif":
                depth_if -= 1
            continued = line.endswith("\\")
            out.append(("", False))
            continue
        i = 0
        while i < len(chars):
            c = chars[i]
            if state == "block":
                if line.startswith("*/", i):
                    chars[i] = chars[i + 1] = " "
                    state = None
                    i += 2
                    continue
                chars[i] = " "
            elif state in ('"', "'"):
                if c == "\\":
                    chars[i] = "_"
                    if i + 1 < len(chars):
                        chars[i + 1] = "_"
                    i += 2
                    continue
                if c == state:
                    state = None
                else:
                    chars[i] = "_"
            elif line.startswith("//", i):
                for j in range(i, len(chars)):
                    chars[j] = " "
                break
            elif line.startswith("/*", i):
                chars[i] = chars[i + 1] = " "
                state = "block"
                i += 2
                continue
            elif c == '"':
                state = '"'
            elif c == "'" and not re.search(r"(?<![\w'])[0-9][\w']*$", line[:i]):
                state = "'"  # within a number it separates digits
            i += 1
        if state in ('"', "'"):
            state = None  # an unterminated literal ends with its line
        out.append(("".join(chars).rstrip(), depth_if == 0))
    return out


def matching_paren(code, start):
    """The index of the bracket that closes the one at `start`, or None."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    stack = []
    for i in range(start, len(code)):
        if code[i] in pairs:
            stack.append(pairs[code[i]])
        elif code[i] in ")]}":
            if not stack or stack.pop() != code[i]:
                return None
            if not stack:
                return i
    return None


def balanced(code):
    return all(code.count(a) == code.count(b) for a, b in ("()", "[]", "{}"))


def is_expression_statement(code):
    """Whether a line of code is one whole statement that does something:
    a call, an assignment, an increment, or break, continue or a bare return."""
    s = code.strip()
    if s in ("break;", "continue;", "return;"):
        return True
    if not s.endswith(";") or not balanced(s):
        return False
    i = 0
    acts = False
    if s.startswith(("++", "--")):
        i, acts = 2, True
    while s[i:i + 1] == "*":
        i += 1
    word = re.match(r"[A-Za-z_]\w*", s[i:])
    if not word or word.group(0) in KEYWORDS:
        return False
    i += word.end()
    while i < len(s):
        link = re.match(r"(::|\.|->)~?[A-Za-z_]\w*", s[i:])
        if link:
            i += link.end()
        elif s[i] in "([":
            end = matching_paren(s, i)
            if end is None:
                return False
            acts = acts or s[i] == "("
            i = end + 1
        else:
            break
    rest = s[i:].strip()
    if rest == ";":
        return acts
    if rest in ("++;", "--;"):
        return True
    return re.match(r"(=(?!=)|[-+*/%&|^]=|<<=|>>=)", rest) is not None


def condition_span(code):
    """Where the condition of a one-line if or while stands: (begin, end)
    of the text to replace, and the keyword; None when there is none to
    force (a condition over several lines, a declaration, a constant)."""
    m = re.match(r"\s*(?:\}\s*)?(?:else\s+)?(if|while)\s*\(", code)
    if not m:
        return None
    open_at = m.end() - 1
    close_at = matching_paren(code, open_at)
    if close_at is None:
        return None
    begin = open_at + 1
    depth = 0
    for i in range(begin, close_at):  # an init-statement stays: only its condition
        depth += code[i] in "([{"
        depth -= code[i] in ")]}"
        if code[i] == ";" and depth == 0:
            begin = i + 1
    while code[begin] == " ":
        begin += 1
    condition = code[begin:close_at]
    if re.search(r"(^|[^=!<>+\-*/%&|^])=($|[^=])", condition):
        return None  # a declaration
    if condition.strip() in ("true", "false"):
        return None
    return begin, close_at, m.group(1)


def integer_variants(token):
    """The literal one above and one below (never below zero)."""
    digits, suffix = re.match(r"(0[xX][0-9A-Fa-f']+|[0-9][0-9']*)([uUlLzZ]*)$", token).groups()
    plain = digits.replace("'", "")
    hexadecimal = plain[:2] in ("0x", "0X")
    if not hexadecimal and len(plain) > 1 and plain.startswith("0"):
        return []  # octal: none here
    value = int(plain, 16 if hexadecimal else 10)
    variants = []
    for other in (value + 1, value - 1):
        if other < 0:
            continue
        if hexadecimal:
            body = format(other, "X" if any(c in "ABCDEF" for c in plain[2:]) else "x")
            text = plain[:2] + body.zfill(len(plain) - 2)
        else:
            text = str(other)
        variants.append(text + suffix)
    return variants


def follow_braces(code, scopes):
    """Opens and closes the scopes of a line's braces: a class's body holds
    declarations, a function's body statements."""
    for i, c in enumerate(code):
        if c == "{":
            head = code[:i]
            if re.search(r"\b(class|struct|union|enum)\b[^;()=]*$", head):
                scopes.append("type")
            elif re.search(r"\bnamespace\b[^;()]*$", head):
                scopes.append("namespace")
            else:
                scopes.append("code")
        elif c == "}" and scopes:
            scopes.pop()


def line_mutants(code, previous_code, in_code):
    """The mutants of one line of code: (begin, end, replacement, what).
    `in_code`: the line stands in a function's body, where it may be a
    statement."""
    found = []
    stripped = code.strip()
    if stripped.startswith(("static_assert", "template", "using ", "namespace", "assert(")):
        return found
    for m in re.finditer(r"(?<= )(==|!=|<=|>=|<|>)(?= |$)", code):
        op = m.group(1)
        found.append((m.start(), m.end(), COMPARISONS[op], f'"{op}" to "{COMPARISONS[op]}"'))
    for m in re.finditer(r"(?<= )(&&|\|\|)(?= |$)", code):
        op = m.group(1)
        found.append((m.start(), m.end(), LOGICAL[op], f'"{op}" to "{LOGICAL[op]}"'))
    literal = (r"(?<![\w.'])(?<![0-9.][eE][-+])"  # not within a name or a floating number
               r"(0[xX][0-9A-Fa-f']+|[0-9][0-9']*)([uUlLzZ]*)(?![\w.'])")
    pure_virtual = re.search(r"\)( const)?( override)? = 0;$", code)
    for m in re.finditer(literal, code if not pure_virtual else code[:pure_virtual.start()]):
        for variant in integer_variants(m.group(0)):
            found.append((m.start(), m.end(), variant, f"{m.group(0)} to {variant}"))
    for m in re.finditer(r"\breturn (true|false);", code):
        other = "false" if m.group(1) == "true" else "true"
        found.append((m.start(1), m.end(1), other, f"return {other}"))
    span = condition_span(code)
    if span:
        begin, end, keyword = span
        for forced in (("false",) if keyword == "while" else ("true", "false")):
            found.append((begin, end, forced, f"{keyword} condition forced {forced}"))
    starts = previous_code.rstrip().endswith((";", "{", "}", ":"))
    if in_code and starts and is_expression_statement(code):
        first = len(code) - len(code.lstrip())
        found.append((first, len(code), "", "statement removed"))
    return found


def file_mutants(text, wanted=None):
    """Each mutant of a file: (line number, the line, the line with the fault
    in, what the fault is), the lines stripped; only on the lines whose
    numbers `wanted` holds, when given."""
    previous = ";"
    scopes = []  # "type", "namespace" or "code", for each brace open here
    for number, (original, (code, live)) in enumerate(zip(text.split("\n"), masked_lines(text)),
                                                      start=1):
        if not live or not code.strip():
            continue
        if wanted is None or number in wanted:
            in_code = bool(scopes) and scopes[-1] == "code"
            for begin, end, replacement, what in line_mutants(code, previous, in_code):
                mutated = original[:begin] + replacement + original[end:]
                yield number, original.strip(), mutated.strip(), what
        follow_braces(code, scopes)
        previous = code


def changed_lines(base):
    """For each file of src/ that differs from `base`: the numbers of its
    lines that do, in the working tree."""
    diff = git("diff", "--no-color", "--no-ext-diff", "--no-renames", "-U0", base, "--", "src/")
    lines, path = {}, None
    for row in diff.split("\n"):
        if row.startswith("+++ "):
            path = row[6:] if row.startswith("+++ b/") else None
        elif row.startswith("@@") and path:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", row)
            first, count = int(m.group(1)), int(m.group(2) or "1")
            lines.setdefault(path, set()).update(range(first, first + count))
    return lines


def compiled_files(build):
    """The files of src/ a build compiles, with the headers of src/ they
    include. The build may be of a copy of the sources elsewhere."""
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as f:
        source = re.search(r"^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$", f.read(), re.M).group(1)
    with open(os.path.join(build, "compile_commands.json"), encoding="utf-8") as f:
        entries = json.load(f)
    todo = [os.path.relpath(os.path.realpath(os.path.join(e["directory"], e["file"])),
                            os.path.realpath(source)) for e in entries]
    files = set()
    while todo:
        path = os.path.normpath(todo.pop())
        if path in files or not path.startswith("src" + os.sep):
            continue
        files.add(path)
        with open(os.path.join(TOP, path), encoding="utf-8") as f:
            for name in re.findall(r'^#include "([^"]+)"', f.read(), re.M):
                todo.append(os.path.join("src", name))
    return files


def read_equivalents(path):
    """The (file, line, mutated line) of each mutant the file lists."""
    known = set()
    if not os.path.exists(path):
        return known
    file = before = None
    with open(path, encoding="utf-8") as f:
        for row in f.read().split("\n"):
            if row.startswith("@ "):
                file = row[2:].split(":")[0]
            elif row.startswith("- "):
                before = row[2:]
            elif row.startswith("+ ") or row == "+":
                known.add((file, before, row[2:]))
    return known


def rank(seed, *parts):
    return hashlib.sha256("\0".join([seed, *map(str, parts)]).encode()).hexdigest()


def sample_order(seed, mutants):
    """The mutants (path, number, ...) in the order a sample takes them: the
    lines in an order drawn from the seed, the first mutant of each line
    before the second of any."""
    by_line = {}
    for mutant in mutants:
        path, number, _, mutated, _ = mutant
        by_line.setdefault((path, number), []).append((rank(seed, path, number, mutated), mutant))
    lines = sorted((rank(seed, *line), sorted(found)) for line, found in by_line.items())
    ordered = []
    for turn in range(max((len(found) for _, found in lines), default=0)):
        ordered += [found[turn][1] for _, found in lines if turn < len(found)]
    return ordered


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--base", help="only the lines that differ from this commit")
    parser.add_argument("--seed", help="orders the mutants (default: HEAD's commit)")
    parser.add_argument("--compiled", help="a build directory with compile_commands.json")
    parser.add_argument("--equivalent", default=os.path.join(TOP, "tools/mutants.equivalent"))
    args = parser.parse_args()
    seed = args.seed or git("rev-parse", "HEAD").strip()
    files = sorted(git("ls-files", "src/").split())
    if args.compiled:
        compiled = compiled_files(args.compiled)
        files = [f for f in files if f in compiled]
    wanted = changed_lines(args.base) if args.base else None
    equivalent = read_equivalents(args.equivalent)

    mutants = []
    for path in files:
        if not path.endswith((".cc", ".h")) or (wanted is not None and path not in wanted):
            continue
        with open(os.path.join(TOP, path), encoding="utf-8") as f:
            text = f.read()
        for number, original, mutated, what in file_mutants(text, wanted and wanted[path]):
            if (path, original, mutated) not in equivalent:
                mutants.append((path, number, original, mutated, what))
    for path, number, original, mutated, what in sample_order(seed, mutants):
        sys.stdout.write(f"# {path}:{number} {what}\n@ {path}:{number}\n- {original}\n")
        sys.stdout.write(f"+ {mutated}\n\n" if mutated else "+\n\n")


if __name__ == "__main__":
    main()

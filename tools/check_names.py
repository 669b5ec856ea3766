#!/usr/bin/env python3
"""Fails when two files of src/ define a class or struct of one name in the
namespace discshell (outside anonymous namespaces and classes): the linker
would keep one of their inline members for both, which breaks at run time."""
import re
import subprocess
import sys

files = subprocess.run(["git", "ls-files", "src/*.h", "src/*.cc", "src/**/*.h", "src/**/*.cc"],
                       capture_output=True, text=True, check=True).stdout.split()
defined = {}
for path in files:
    anonymous = 0
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        if line.startswith("namespace {"):
            anonymous += 1
        elif line.startswith("}  // namespace") and not line.startswith("}  // namespace d"):
            anonymous -= 1
        match = re.match(r"(?:struct|class) (\w+)(?: final)?(?: :[^;]*)? \{", line)
        if match and anonymous == 0:
            defined.setdefault(match.group(1), []).append(f"{path}:{number}")
twice = {name: places for name, places in defined.items() if len(set(p.split(':')[0] for p in places)) > 1}
for name, places in sorted(twice.items()):
    print(f"discshell::{name} is defined in more than one file: {', '.join(places)}")
sys.exit(1 if twice else 0)

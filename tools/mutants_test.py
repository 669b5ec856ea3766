#!/usr/bin/env python3
"""Tests of tools/mutants.py: which faults it puts on which lines, and the
order a sample takes them in."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutants  # noqa: E402

# Comments, an #if block, a class's declarations (a pure virtual one among
# them), strings and characters, a digit separator, a floating number, an
# rvalue reference and an if without braces: faults only where they change
# what the code does.
SOURCE = r"""#include "volume/layout.h"  // 1 < 2

/* if (a < b) return true;
   f(x); */
namespace discshell {
struct Span {
  std::int64_t begin = 0;
  Span(const Span&) = delete;
  void reset();
  virtual bool empty() const = 0;
};
#if defined(__APPLE__)
int flags() { return 0x1F; }
#endif

bool check(int a, int b, std::vector<int>&& v) {
  const char* text = "a < b && 3";  // a == 2
  if (a < b && b != 0x7F) return true;
  if (const int c = a; c >= 1'000) {
    reset(a, '\'');
  }
  while (a > 0) --a;
  if (auto found = v.begin(); found)
    v.clear();
  return a <= b || 1e-3 > 0.5;
}
}  // namespace discshell
"""

EXPECTED = """\
7 0 to 1: std::int64_t begin = 1;
18 "<" to "<=": if (a <= b && b != 0x7F) return true;
18 "!=" to "==": if (a < b && b == 0x7F) return true;
18 "&&" to "||": if (a < b || b != 0x7F) return true;
18 0x7F to 0x80: if (a < b && b != 0x80) return true;
18 0x7F to 0x7E: if (a < b && b != 0x7E) return true;
18 return false: if (a < b && b != 0x7F) return false;
18 if condition forced true: if (true) return true;
18 if condition forced false: if (false) return true;
19 ">=" to ">": if (const int c = a; c > 1'000) {
19 1'000 to 1001: if (const int c = a; c >= 1001) {
19 1'000 to 999: if (const int c = a; c >= 999) {
19 if condition forced true: if (const int c = a; true) {
19 if condition forced false: if (const int c = a; false) {
20 statement removed: \n\
22 ">" to ">=": while (a >= 0) --a;
22 0 to 1: while (a > 1) --a;
22 while condition forced false: while (false) --a;
23 if condition forced true: if (auto found = v.begin(); true)
23 if condition forced false: if (auto found = v.begin(); false)
25 "<=" to "<": return a < b || 1e-3 > 0.5;
25 ">" to ">=": return a <= b || 1e-3 >= 0.5;
25 "||" to "&&": return a <= b && 1e-3 > 0.5;
"""


class Mutants(unittest.TestCase):
    def test_puts_each_kind_of_fault_only_where_it_changes_the_code(self):
        got = "".join(f"{number} {what}: {mutated}\n"
                      for number, _, mutated, what in mutants.file_mutants(SOURCE))
        self.assertEqual(got, EXPECTED)

    def test_takes_only_the_lines_asked_for(self):
        got = [number for number, *_ in mutants.file_mutants(SOURCE, {7, 8, 20})]
        self.assertEqual(got, [7, 20])

    def test_a_sample_takes_one_fault_a_line_before_a_second_and_keeps_its_order(self):
        faults = [(path, number, "", f"{path}{number}{i}", "")
                  for path, number, count in (("a", 1, 3), ("a", 2, 1), ("b", 1, 2))
                  for i in range(count)]
        order = mutants.sample_order("seed", faults)
        self.assertEqual(sorted(order), sorted(faults))
        self.assertEqual(len({(path, number) for path, number, *_ in order[:3]}), 3)
        self.assertEqual(mutants.sample_order("seed", list(reversed(faults))), order)


if __name__ == "__main__":
    unittest.main()

"""docs/reference.md against the header (through docs/check_reference.py) and against this package:
the checker finds real disagreements, and every Python name the reference gives exists."""
import importlib.util
import os
import re
import unittest

import tarvik

from .support import HEADER, SOURCE_DIR, skip_or_fail

REFERENCE = os.path.join(SOURCE_DIR, "docs", "reference.md")
CHECKER = os.path.join(SOURCE_DIR, "docs", "check_reference.py")


def load():
    if not (os.path.isfile(REFERENCE) and os.path.isfile(CHECKER) and os.path.isfile(HEADER)):
        skip_or_fail("source tree with docs/ and include/ not found at " + SOURCE_DIR)
    spec = importlib.util.spec_from_file_location("check_reference", CHECKER)
    checker = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(checker)
    with open(HEADER, encoding="utf-8") as f:
        header = f.read()
    with open(REFERENCE, encoding="utf-8") as f:
        doc = f.read()
    return checker, header, doc


class ReferenceChecker(unittest.TestCase):
    def setUp(self):
        self.checker, self.header, self.doc = load()

    def test_reference_agrees(self):
        self.assertEqual(self.checker.check(self.header, self.doc), [])

    def test_disagreements_are_found(self):
        cases = [
            ("a changed code value", lambda d: d.replace("| -7325 | `ResultDecimalPlaceNotConfirmed`",
                                                         "| -7324 | `ResultDecimalPlaceNotConfirmed`"), "-7324"),
            ("a missing section", lambda d: d.replace("### ReadTotalizer\n", "### Totalizer reading\n"),
             "ReadTotalizer"),
            ("a wrong argument type", lambda d: d.replace("int32_t WriteSetPoint_0731(int32_t Port, int32_t Channel, "
                                                          "int32_t Digits, float SetPoint)",
                                                          "int32_t WriteSetPoint_0731(int32_t Port, int32_t Channel, "
                                                          "int32_t Digits, double SetPoint)"), "WriteSetPoint_0731"),
            ("an unknown result name", lambda d: d + "\n`ResultSomethingElse`\n", "ResultSomethingElse"),
            ("a section losing a code the header names",
             lambda d: d.replace("and `ResultBadSetPointUnit` (before", "and a unit check (before"), "WriteSetPoint"),
        ]
        for what, mutate, expected in cases:
            with self.subTest(what):
                changed = mutate(self.doc)
                self.assertNotEqual(changed, self.doc, "the mutation did not apply")
                errors = self.checker.check(self.header, changed)
                self.assertTrue(any(expected in e for e in errors), errors)

    def test_python_names_exist(self):
        rows = re.findall(r"^\|\s*`(\w+)`\s*\|\s*`([\w.]+)`\s*\|\s*$", self.doc, re.M)
        self.assertEqual(len(rows), 36)
        for export, python in rows:
            with self.subTest(export=export):
                obj = tarvik
                for part in python.split("."):
                    obj = getattr(obj, part)
                self.assertTrue(callable(obj))
                self.assertIn(export, tarvik._library.PROTOTYPES)


if __name__ == "__main__":
    unittest.main()

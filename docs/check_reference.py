#!/usr/bin/env python3
"""Checks that docs/reference.md agrees with include/TarvikDLL.h:

- every export of the header has a section (### Name) in the header's order, and no other export
  has one;
- each section's C prototype is the header's, argument for argument;
- the result code table lists exactly the header's codes with the same values;
- every Result* name in the document exists in the header;
- every result code that the header's comment on an export names is named in its section too,
  and "never returns ResultDeviceStatus" in the header is said in the section;
- the Python names table maps every export once.

Usage: check_reference.py HEADER REFERENCE. Prints every disagreement; exit status 1 if any.
"""
import re
import sys


def normalize(prototype: str) -> str:
    text = re.sub(r"\b(TARVIK_API|TARVIK_CALL)\b", "", prototype)
    text = re.sub(r"\s+", " ", text).strip()
    return re.sub(r"\s*([(),;*])\s*", r"\1", text)


def header_exports(header: str):
    """[(name, normalized prototype, comment before it)] in header order."""
    out = []
    pattern = re.compile(r"(/\*(?:(?!\*/).)*\*/\s*)?(TARVIK_API\s+int32_t\s+TARVIK_CALL\s+(\w+)\s*\([^)]*\)\s*;)", re.S)
    for m in pattern.finditer(header):
        out.append((m.group(3), normalize(m.group(2)), m.group(1) or ""))
    return out


def header_results(header: str) -> dict:
    body = re.search(r"enum\s+TarvikResult\s*\{(.*?)\};", header, re.S).group(1)
    body = re.sub(r"/\*.*?\*/", "", body, flags=re.S)
    return {name: int(value) for name, value in re.findall(r"(Result\w+)\s*=\s*(-?\d+)", body)}


def doc_sections(doc: str) -> dict:
    """{export: section text} for every ### heading that is one word."""
    sections = {}
    parts = re.split(r"^### (\w+)\s*$", doc, flags=re.M)
    for i in range(1, len(parts), 2):
        section = parts[i + 1].split("\n## ")[0]
        sections[parts[i]] = section
    return sections


def check(header: str, doc: str):
    errors = []
    exports = header_exports(header)
    names = [e[0] for e in exports]
    sections = doc_sections(doc)
    results = header_results(header)

    doc_order = [n for n in sections]
    if doc_order != names:
        missing = [n for n in names if n not in sections]
        extra = [n for n in doc_order if n not in names]
        if missing:
            errors.append("exports without a section: " + ", ".join(missing))
        if extra:
            errors.append("sections for unknown exports: " + ", ".join(extra))
        if not missing and not extra:
            errors.append("sections are not in the header's order")

    for name, prototype, comment in exports:
        section = sections.get(name)
        if section is None:
            continue
        block = re.search(r"```c\n(.*?)```", section, re.S)
        if not block:
            errors.append("%s: no C prototype in its section" % name)
        elif normalize(block.group(1)) != prototype:
            errors.append("%s: prototype differs from the header:\n  doc:    %s\n  header: %s"
                          % (name, normalize(block.group(1)), prototype))
        for code in sorted(set(re.findall(r"Result\w+", comment))):
            if code not in section:
                errors.append("%s: the header names %s, its section does not" % (name, code))
        if re.search(r"Never returns ResultDeviceStatus", comment) and \
                "without `ResultDeviceStatus`" not in section:
            errors.append("%s: the header says it never returns ResultDeviceStatus; the section does not" % name)

    table = dict((n, int(c)) for c, n in re.findall(r"^\|\s*(-?\d+)\s*\|\s*`(Result\w+)`\s*\|", doc, re.M))
    if table != results:
        for n in sorted(set(table) | set(results)):
            if table.get(n) != results.get(n):
                errors.append("result code %s: doc %s, header %s" % (n, table.get(n), results.get(n)))

    for n in sorted(set(re.findall(r"\bResult[A-Z]\w*", doc))):
        if n not in results:
            errors.append("the document names %s, which the header does not define" % n)

    python_rows = re.findall(r"^\|\s*`(\w+)`\s*\|\s*`([\w.]+)`\s*\|\s*$", doc, re.M)
    mapped = [e for e, _ in python_rows if e in names]
    if sorted(mapped) != sorted(names):
        errors.append("Python names table: missing %s, doubled %s" % (
            sorted(set(names) - set(mapped)), sorted({m for m in mapped if mapped.count(m) > 1})))
    return errors


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        header = f.read()
    with open(argv[2], encoding="utf-8") as f:
        doc = f.read()
    errors = check(header, doc)
    for e in errors:
        print("reference: " + e)
    if not errors:
        print("reference: %d exports and %d result codes agree with the header"
              % (len(header_exports(header)), len(header_results(header))))
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

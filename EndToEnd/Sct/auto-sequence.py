#!/usr/bin/env python3
"""Writes an SCT test sequence (run with `Sct -s FILE`) of the automatic
cases of the given black-box tests, leaving out their manual ones: those
wait a minute at each question for a person at the screen, then judge
"yes" by themselves, which checks nothing.

    auto-sequence.py OUTPUT TEST_FOLDER...

Each TEST_FOLDER holds a test's sources: its entry table (a
*BBTestMain.c, entries of GUID macro, name, ..., EFI_TEST_CASE_AUTO or
EFI_TEST_CASE_MANUAL, function) and the headers that define the macros.
"""

import glob
import os
import re
import sys

ENTRY = re.compile(r"\{\s*(\w+_GUID)\s*,\s*L\"([^\"]*)\"[^{}]*?EFI_TEST_CASE_(AUTO|MANUAL)\b")
# A GUID macro: its name, then the 11 numbers of its initializer (with or
# without the inner braces), up to the initializer's closing brace.
DEFINE = re.compile(r"#define\s+(\w+_GUID)\s*\{([^;#]*?)\}\s*(?:\}|$)", re.M)
NUMBER = re.compile(r"0x[0-9a-fA-F]+|\b\d+\b")


def guid_text(initializer):
    values = [int(value, 0) for value in NUMBER.findall(initializer)]
    if len(values) != 11:
        return None
    return "%08X-%04X-%04X-%02X%02X-%s" % (values[0], values[1], values[2], values[3], values[4],
                                           "".join("%02X" % value for value in values[5:]))


def auto_cases(folder):
    sources = {}
    for path in glob.glob(os.path.join(folder, "*.[ch]")):
        with open(path, encoding="latin-1") as source:
            sources[path] = source.read()
    guids = {}
    for text in sources.values():
        for name, initializer in DEFINE.findall(text.replace("\\\n", " ")):
            if guid_text(initializer):
                guids[name] = guid_text(initializer)
    cases = []
    for path, text in sorted(sources.items()):
        if path.endswith("BBTestMain.c"):
            for macro, name, kind in ENTRY.findall(text):
                if kind == "AUTO":
                    if macro not in guids:
                        raise SystemExit("%s: no definition of %s" % (folder, macro))
                    cases.append((guids[macro], name))
    if not cases:
        raise SystemExit("%s: no automatic test cases found" % folder)
    return cases


def main(argv):
    output, folders = argv[1], argv[2:]
    cases = [case for folder in folders for case in auto_cases(folder)]
    with open(output, "w", newline="") as sequence:
        for order, (guid, name) in enumerate(cases):
            sequence.write("[Test Case]\r\nRevision=0x00010000\r\nGuid=%s\r\nName=%s\r\nOrder=0x%X\r\n"
                           "Iterations=0x1\r\nPasses=0x0\r\nWarnings=0x0\r\nFailures=0x0\r\n\r\n"
                           % (guid, name, order))
    print("%d automatic test cases in %s" % (len(cases), output))


if __name__ == "__main__":
    main(sys.argv)

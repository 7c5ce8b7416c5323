"""Counts a suite's results for scripts/test-windows.sh.

  count_results.py gtest FILE.xml     GoogleTest's XML report
  count_results.py unittest FILE.log  the output of python -m unittest -v

Prints one line, "TOTAL PASSED FAILED SKIPPED", then the names of the cases
that failed, one a line.
"""

import re
import sys
import xml.etree.ElementTree as ElementTree


def from_gtest(path):
    failed, total, skipped = [], 0, 0
    for case in ElementTree.parse(path).getroot().iter("testcase"):
        total += 1
        name = "%s.%s" % (case.get("classname"), case.get("name"))
        if case.find("failure") is not None or case.find("error") is not None:
            failed.append(name)
        elif case.get("result") == "skipped" or case.find("skipped") is not None:
            skipped += 1
    return total, failed, skipped


def from_unittest(path):
    with open(path, errors="replace") as log:
        text = log.read()
    ran = re.search(r"^Ran (\d+) tests?", text, re.M)
    total = int(ran.group(1)) if ran else 0
    failed = re.findall(r"^(?:FAIL|ERROR): (\S+ \([^)]*\))", text, re.M)
    skipped = len(re.findall(r" \.\.\. skipped", text))
    if not ran:
        failed.append("(the suite did not run to its end)")
    return total, failed, skipped


def main():
    kind, path = sys.argv[1], sys.argv[2]
    try:
        total, failed, skipped = (from_gtest if kind == "gtest" else from_unittest)(path)
    except (OSError, ElementTree.ParseError) as error:
        total, failed, skipped = 0, ["(no results: %s)" % error], 0
    distinct = sorted(set(failed))
    print(total, max(0, total - len(distinct) - skipped), len(distinct), skipped)
    for name in distinct:
        print(name)


if __name__ == "__main__":
    main()

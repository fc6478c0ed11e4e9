"""The slowest test cases of one meson test, read from meson's JUnit report
(which holds every GoogleTest case of a gtest-protocol test), slowest
first. make test prints the model suite's ten this way; the pytest suites
print theirs themselves (--durations=10).

    python3 scripts/slowest_tests.py BUILD_DIR TEST [COUNT]
"""
import os
import sys
import xml.etree.ElementTree as ET


def slowest(report, test, count):
    """(seconds, "Suite.Case") of the `count` slowest cases of `test`."""
    cases = []
    for suite in ET.parse(report).getroot().iter("testsuite"):
        # meson names a gtest suite "<project>.<project>:<suite> / <test>.<gtest suite>".
        parts = suite.get("name", "").split(".", 2)
        if len(parts) == 3 and parts[1].split(" / ")[-1] == test:
            cases += [(float(c.get("time", 0)), f"{parts[2]}.{c.get('name')}")
                      for c in suite.iter("testcase")]
    return sorted(cases, reverse=True)[:count]


def main():
    build, test = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    report = os.path.join(build, "meson-logs", "testlog.junit.xml")
    found = slowest(report, test, count)
    print(f"slowest {len(found)} of the '{test}' tests ({report}):")
    for seconds, name in found:
        print(f"{seconds:8.2f}s  {name}")
    return 0 if found else 1


if __name__ == "__main__":
    sys.exit(main())

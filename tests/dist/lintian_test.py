#!/usr/bin/env python3
"""lintian on the Debian packages of a build tree: no error and no warning.

Builds the packages with cpack and runs lintian, with its default profile, on
kelvox and, where the desktop program is built, kelvox-desktop; every E: or W:
line fails. Exits 77 (skipped) when lintian or cpack is missing outside CI.

    lintian_test.py BUILD_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile

BUILD = os.path.abspath(sys.argv[1])


def main(work):
    missing = [name for name in ("cpack", "dpkg-deb", "lintian") if shutil.which(name) is None]
    if missing:
        if os.environ.get("CI"):
            print("FAIL: not installed: " + " ".join(missing))
            return 1
        print("SKIP: not installed: " + " ".join(missing))
        return 77
    made = subprocess.run(["cpack", "-G", "DEB", "-B", work], cwd=BUILD, capture_output=True, text=True)
    debs = sorted(name for name in os.listdir(work) if name.endswith(".deb"))
    desktop = os.path.exists(os.path.join(BUILD, "desktop", "kelvox-desktop"))
    if made.returncode != 0 or sorted(deb.split("_")[0] for deb in debs) != ["kelvox"] + ["kelvox-desktop"] * desktop:
        print(made.stdout, made.stderr, "FAIL: packages made:", debs)
        return 1
    found = []
    for deb in debs:
        # lintian's own notes (running as root, say) go to standard error.
        linted = subprocess.run(["lintian", os.path.join(work, deb)], capture_output=True, text=True)
        print(f"lintian {deb}:\n{linted.stdout}", end="")
        found += [line for line in linted.stdout.splitlines() if line.startswith(("E:", "W:"))]
        # 1 says it found errors; more says lintian itself failed.
        if linted.returncode > 1:
            found.append(f"lintian {deb} failed: {linted.stderr.strip()}")
    print("OK" if not found else f"FAIL: {len(found)} errors and warnings")
    return 1 if found else 0


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="kelvox-lintian-") as folder:
        sys.exit(main(folder))

#!/usr/bin/python3
"""The service unit: `systemd-analyze verify` with the built program standing in for the
packaged one, and the settings the package promises. Ends with status 77 (a skip, which
CTest reports) where systemd-analyze is missing or cannot verify on this machine.

Usage: unit_test.py BUILD_DIR SOURCE_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
build, source = (os.path.abspath(a) for a in sys.argv[1:3])
sys.path.insert(0, os.path.join(source, "tests", "support"))
import program  # noqa: E402


def verify(analyze, path):
    result = subprocess.run([analyze, "verify", "--man=no", path], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout.strip()


def main():
    with open(os.path.join(source, "packaging", "orbiscope.service")) as f:
        unit = f.read()
    for line in ("ExecStart=/usr/lib/orbiscope/orbiscope --headless --home /var/lib/orbiscope",
                 "User=orbiscope", "SupplementaryGroups=video", "ExecReload=/bin/kill -HUP $MAINPID",
                 "Restart=on-failure", "NoNewPrivileges=yes", "ProtectSystem=strict",
                 "ReadWritePaths=/var/lib/orbiscope", "ProtectHome=yes", "PrivateTmp=yes",
                 "DevicePolicy=closed", "DeviceAllow=char-video4linux rw"):
        if line + "\n" not in unit:
            print(f"FAILED: the unit lacks the line {line}")
            return 1

    # A memory ceiling, with the throttling point below the hard limit.
    limits = {}
    for line in unit.splitlines():
        key, _, value = line.partition("=")
        if key in ("MemoryHigh", "MemoryMax") and value.endswith("M"):
            limits[key] = int(value[:-1])
    if len(limits) != 2 or not 0 < limits["MemoryHigh"] < limits["MemoryMax"]:
        print(f"FAILED: the unit needs MemoryHigh= below MemoryMax= (in M), has {limits}")
        return 1

    analyze = shutil.which("systemd-analyze")
    if analyze is None:
        print("SKIPPED: systemd-analyze is not installed, so the unit is not verified")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="orbiscope-unit-") as tmp:
        # Whether verify works here at all: a unit that cannot be wrong.
        probe = os.path.join(tmp, "orbiscope-probe.service")
        with open(probe, "w") as f:
            f.write("[Service]\nExecStart=/bin/true\n")
        code, output = verify(analyze, probe)
        if code != 0:
            print(f"SKIPPED: systemd-analyze verify does not work on this machine: {output}")
            return SKIP
        path = os.path.join(tmp, "orbiscope.service")
        with open(path, "w") as f:
            f.write(program.replace_once(unit, "ExecStart=/usr/lib/orbiscope/orbiscope",
                                         "ExecStart=" + os.path.join(build, "bin", "orbiscope")))
        code, output = verify(analyze, path)
    if (code, output) != (0, ""):
        print(f"FAILED: systemd-analyze verify ({code}):\n{output}")
        return 1
    print("PASSED: systemd-analyze verify has nothing to say")
    return 0


if __name__ == "__main__":
    sys.exit(main())

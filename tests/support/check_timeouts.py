#!/usr/bin/env python3
"""Checks CTest's time-outs: every test has its own, none hides a hang for
long, and the tests of the named executables (which ask for nothing more)
have the default.

usage: check_timeouts.py <ctest> <build dir> <default seconds> <executable>...
"""
import json
import os
import subprocess
import sys

ctest, build, default, plain = sys.argv[1], sys.argv[2], float(sys.argv[3]), set(sys.argv[4:])
listing = json.loads(subprocess.run([ctest, "--test-dir", build, "--show-only=json-v1"],
                                    check=True, capture_output=True, text=True).stdout)
faults = []
seen = 0
for test in listing["tests"]:
    props = {p["name"]: p["value"] for p in test.get("properties", [])}
    timeout = props.get("TIMEOUT")
    executable = os.path.basename(test.get("command", [""])[0])
    if timeout is None:
        faults.append(f"{test['name']}: no time-out")
    elif timeout > 600:
        faults.append(f"{test['name']}: {timeout} s")
    elif executable in plain:
        seen += 1
        if timeout != default:
            faults.append(f"{test['name']}: {timeout} s, not the default {default:g} s")
if plain and seen == 0:
    faults.append("no test of " + ", ".join(sorted(plain)) + " found")
print("\n".join(faults) or f"{len(listing['tests'])} tests, each with a fitting time-out")
sys.exit(1 if faults else 0)

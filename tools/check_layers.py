#!/usr/bin/env python3
"""Fails when a source file includes from a folder that is not below its own.

The folders are layers, listed here from the floor up; a file may include its own folder
and any folder of a lower layer. Folders on the same layer do not include each other.
fleet-dashboard is a program of its own that stands on the runtime alone.
"""
import os
import re
import sys

LAYERS = {
    "runtime": 0,
    "core": 1,
    "policy": 2,
    "agents": 2,
    "exec": 3,
    "admin": 4,
    "dashboard": 4,
    "server": 5,
    "fleet": 1,
}
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/[^"]+"', re.M)


def violations():
    for folder, level in LAYERS.items():
        path = os.path.join(ROOT, folder)
        for name in sorted(os.listdir(path)):
            if not name.endswith((".h", ".cpp")):
                continue
            text = open(os.path.join(path, name), encoding="utf-8").read()
            for target in INCLUDE.findall(text):
                if target == folder or target not in LAYERS:
                    continue
                if folder == "fleet" and target != "runtime" or LAYERS[target] >= level:
                    yield "%s/%s includes %s/" % (folder, name, target)


def main():
    found = list(violations())
    for line in found:
        print("layering: " + line)
    if found:
        print("layering: order from the floor up is " + ", ".join(sorted(LAYERS, key=LAYERS.get)))
        return 1
    print("layering: every include points down")
    return 0


if __name__ == "__main__":
    sys.exit(main())

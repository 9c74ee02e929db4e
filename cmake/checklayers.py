#!/usr/bin/env python3
"""Fails when a file of the program includes a header of a higher layer.

The program is built in layers, each of which may include its own headers and those of the
layers below it, never one above:

    base (the state record, file format, platform, failure and boxes, messages, CRC-32)
      <- codecs (inflate/, lzma/) <- archive <- ui <- startup (the start-up sequence)

Prints each offending include and the count of them; the exit code is 1 when there is one.
Usage: checklayers.py SOURCE_DIR
"""
import os
import re
import sys

# The layer of a file, by the folder it lies in (the first match counts).
LAYERS = [
    ("base/", 0, "base"),
    ("posix/", 0, "base"),       # the platform on Linux
    ("generated/", 0, "base"),   # the message ids
    ("inflate/", 1, "codecs"),
    ("lzma/", 1, "codecs"),
    ("archive/", 2, "archive"),
    ("ui/", 3, "ui"),
    ("startup/", 4, "startup"),
]
FOLDERS = ["base", "posix", "inflate", "lzma", "archive", "ui", "startup"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    for prefix, rank, name in LAYERS:
        if path.startswith(prefix):
            return rank, name
    return None


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.dirname(__file__))
    count = 0
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.relpath(os.path.join(dirpath, name), root).replace(os.sep, "/")
                own = layer_of(path)
                with open(os.path.join(root, path), encoding="utf-8") as f:
                    text = f.read()
                for included in INCLUDE.findall(text):
                    other = layer_of(included)
                    if own and other and other[0] > own[0]:
                        print(f"{path} ({own[1]}) includes {included} ({other[1]})")
                        count += 1
    print(f"{count} include(s) of a higher layer")
    return 1 if count else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Applies one mutant from tests/mutants/ to a checkout.

A mutant file names a product file, the exact text to find there and the text
that replaces it:

    file: update/dfutool.cpp
    why: one line on the fault it models
    tests: the tests to run first (optional; all fast tests run if they pass)
    @@ original
    <text, one or more lines>
    @@ mutant
    <replacement>

The original must occur exactly once; otherwise the product changed under the
mutant and it is reported stale (exit status 3) rather than guessed at.
"""
import pathlib
import sys


def parse(path):
    header, original, mutant = {}, [], []
    part = header
    for line in path.read_text().splitlines():
        if line == "@@ original":
            part = original
        elif line == "@@ mutant":
            part = mutant
        elif part is header:
            if line.strip() and not line.startswith("#"):
                key, _, value = line.partition(":")
                header[key.strip()] = value.strip()
        else:
            part.append(line)
    if "file" not in header or not original:
        raise SystemExit(f"{path}: needs a 'file:' line and an '@@ original' block")
    return header, "\n".join(original), "\n".join(mutant)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in ("target", "apply"):
        raise SystemExit("usage: mutate.py target|apply MUTANT ROOT")
    header, original, mutant = parse(pathlib.Path(sys.argv[2]))
    target = pathlib.Path(sys.argv[3]) / header["file"]
    if sys.argv[1] == "target":
        print(header["file"])
        return 0
    if not target.is_file():
        print(f"stale: {header['file']} does not exist")
        return 3
    text = target.read_text()
    count = text.count(original)
    if count != 1:
        print(f"stale: the original text occurs {count} times in {header['file']}")
        return 3
    target.write_text(text.replace(original, mutant))
    return 0


if __name__ == "__main__":
    sys.exit(main())

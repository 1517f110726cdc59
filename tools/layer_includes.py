#!/usr/bin/env python3
"""Holds every #include of the product folders to the layer table in cmake/Layers.cmake.

usage: layer_includes.py [--counts] [ROOT]

Without --counts it prints each include the table does not allow and exits 1 when there is one.
With --counts it prints the table and how many includes each edge (folder -> folder) carries.
ROOT defaults to the source tree this script lives in.
"""
import collections
import os
import re
import sys

RULE = re.compile(r"^\s*kestrune_layer_rule\(([^)]*)\)", re.MULTILINE)
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
SOURCES = (".cpp", ".h", ".c", ".cc", ".hpp")


def read_table(root):
    table = {}
    with open(os.path.join(root, "cmake", "Layers.cmake"), encoding="utf-8") as f:
        text = re.sub(r"#.*", "", f.read())
    for match in RULE.finditer(text):
        words = match.group(1).split()
        folder, depends, headers, current = words[0], set(), set(), None
        for word in words[1:]:
            if word in ("DEPENDS", "HEADERS"):
                current = depends if word == "DEPENDS" else headers
            elif current is None:
                raise SystemExit(f"cmake/Layers.cmake: '{word}' in the row of {folder}")
            else:
                current.add(word)
        table[folder] = (depends, headers)
    if not table:
        raise SystemExit("cmake/Layers.cmake: no rows")
    return table


def resolve(root, source, kind, name):
    """The included file as a path relative to root, or None for a header not of ours."""
    candidates = [os.path.join(root, name)]
    if kind == '"':
        candidates.insert(0, os.path.join(os.path.dirname(source), name))
    for candidate in candidates:
        if os.path.isfile(candidate):
            relative = os.path.relpath(os.path.realpath(candidate), os.path.realpath(root))
            return None if relative.startswith("..") else relative.replace(os.sep, "/")
    return None


def edges(root, table):
    """(folder, target folder, target path, source path, line) for every include of ours."""
    for folder in sorted(table):
        base = os.path.join(root, folder)
        for directory, _, files in sorted(os.walk(base)):
            for file in sorted(files):
                if not file.endswith(SOURCES):
                    continue
                source = os.path.join(directory, file)
                with open(source, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for match in INCLUDE.finditer(text):
                    target = resolve(root, source, match.group(1), match.group(2))
                    if target is None:
                        continue
                    line = text.count("\n", 0, match.start()) + 1
                    yield folder, target.split("/")[0], target, os.path.relpath(source, root), line


def allowed(table, folder, target_folder, target):
    depends, headers = table[folder]
    return target_folder == folder or target_folder in depends or target in headers


def main(argv):
    counts = "--counts" in argv
    args = [a for a in argv if a != "--counts"]
    root = args[0] if args else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    table = read_table(root)

    if counts:
        print("folder     may include")
        for folder, (depends, headers) in table.items():
            allowed_text = " ".join(sorted(depends) + sorted(headers)) or "-"
            print(f"{folder:<10} {allowed_text}")
        per_edge = collections.Counter((f, t) for f, t, _, _, _ in edges(root, table) if f != t)
        print("\nincludes per edge")
        for (folder, target), n in sorted(per_edge.items()):
            print(f"{folder:>10} -> {target:<10} {n:4}")
        return 0

    bad = [e for e in edges(root, table) if not allowed(table, e[0], e[1], e[2])]
    for folder, _, target, source, line in bad:
        print(f"{source}:{line}: {folder}/ may not include {target} (cmake/Layers.cmake)")
    if bad:
        print(f"{len(bad)} include(s) climb a layer")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

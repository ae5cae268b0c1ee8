"""Checks the JSON texts the unit tests wrote against Python's json.

Each input line is: kind, description, pretty text, compact text, tab-separated
and hex-encoded. A "tree" description is a Python literal whose bytes stand
for raw key and string bytes; a "doc" description is a JSON text. The texts
must be valid UTF-8, read back as the same object, and be byte for byte what
json.dumps writes (an empty container, pretty, is written "{" line end "}").
"""
import ast
import json
import re
import sys

EMPTY = re.compile(r"([\[{])\n *([\]}])")  # line ends are never inside strings


def text(b):
    return b.decode("utf-8", "replace") if isinstance(b, bytes) else b


def convert(v):
    if isinstance(v, dict):
        return {text(k): convert(x) for k, x in v.items()}
    if isinstance(v, list):
        return [convert(x) for x in v]
    return text(v)


def main():
    failures = 0
    for n, line in enumerate(open(sys.argv[1], encoding="ascii")):
        kind, desc, pretty, compact = (bytes.fromhex(f) for f in line.rstrip("\n").split("\t"))
        kind = kind.decode()
        if kind == "tree":
            obj = convert(ast.literal_eval(desc.decode("ascii")))
        else:
            obj = json.loads(desc.decode("utf-8"))
        want_pretty = json.dumps(obj, indent=2, ensure_ascii=False)
        want_compact = json.dumps(obj, separators=(",", ":"), ensure_ascii=False)
        try:
            got_pretty = pretty.decode("utf-8")
            got_compact = compact.decode("utf-8")
            same = json.loads(got_pretty) == obj and json.loads(got_compact) == obj
        except ValueError as e:
            print(f"case {n} ({desc!r}): not JSON in UTF-8: {e}")
            failures += 1
            continue
        if not same:
            print(f"case {n} ({desc!r}): reads back differently")
            failures += 1
        if EMPTY.sub(r"\1\2", got_pretty) != want_pretty:
            print(f"case {n} ({desc!r}): pretty {got_pretty!r} != {want_pretty!r}")
            failures += 1
        if got_compact != want_compact:
            print(f"case {n} ({desc!r}): compact {got_compact!r} != {want_compact!r}")
            failures += 1
    sys.exit(1 if failures else 0)


main()

#!/usr/bin/env python3
"""The key tables of the README and of the manual page against what kestrov sends, character by character:
every byte that sends a key, its code and its button, and nothing else. Usage: keytable.py KESTROV README MANPAGE"""
import os, re, subprocess, sys

kestrov, readme, manual = sys.argv[1:]
names = {"line feed (Enter)": "\n", "space": " "}
plain = {k: v for k, v in os.environ.items() if not k.startswith("CASCADE_")}  # the trace on standard error


def expand(cell):
    """'`0` to `9`, `a`' -> ['0', ..., '9', 'a']: each item, or each of a range that counts up its last character."""
    out = []
    for item in re.sub(r"`|\\f[BIR]", "", cell).split(", "):
        first, _, last = item.partition(" to ")
        if first.startswith("0x"):  # a code
            out += [f"0x{n:X}" for n in range(int(first, 16), int(last or first, 16) + 1)]
        elif last:
            out += [first[:-1] + chr(c) for c in range(ord(first[-1]), ord(last[-1]) + 1)]
        else:
            out.append(names.get(item, item))
    return out


def documented(rows):
    table = {}
    for characters, code, button in rows:
        codes, buttons = expand(code), expand(button)
        for i, c in enumerate(expand(characters)):
            if code != "none":
                table[c] = f"{codes[min(i, len(codes) - 1)]} {buttons[min(i, len(buttons) - 1)]}"
    return table


def sends(characters, digit=b""):
    trace = subprocess.run([kestrov, "-k", characters], input=digit, capture_output=True, env=plain).stderr.decode()
    return " ".join(re.findall(r"^down (.*)$", trace, re.M))


markdown = [cells for line in open(readme) if line.startswith("| ") and "0x" in line
            for cells in (line.split("|")[1:4], line.split("|")[5:8]) if cells[0].strip()]
roff = open(manual).read().split(".ta 20n 40n\n")[1].split("\n.fi")[0].splitlines()[1:]
tables = {"README": documented([[c.strip() for c in cells] for cells in markdown]),
          "manual page": documented([line.split("\t") for line in roff])}
tool = {chr(b): sends(bytes([b])) for b in range(1, 256) if chr(b) != "u"} | {f"u{d}": sends("u", b"%d" % d) for d in range(1, 9)}
tool = {c: key for c, key in tool.items() if key}
passed = failed = 0
for name, table in tables.items():
    for c in sorted(set(table) | set(tool)):
        passed += table.get(c) == tool.get(c)
        if table.get(c) != tool.get(c):
            failed += 1
            print(f"FAIL: {name}: {c!r} is {table.get(c) or 'no key'}; kestrov -k {c!r} sends {tool.get(c) or 'nothing'}")
print(f"{passed} passed, {failed} failed")
sys.exit(failed != 0)

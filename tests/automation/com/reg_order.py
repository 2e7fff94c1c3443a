#!/usr/bin/env python3
"""Checks the order in which the server writes and deletes its registry rows,
read from a Wine registry trace of regsvr32 (WINEDEBUG=trace+reg).

Usage: reg_order.py register|unregister TRACEFILE
Prints the observed sequence and exits 1 when it differs from the listed order.
"""
import re
import sys

CLASSES = [  # list order: DEZSign first (newest factory at the head), then Profile
    ("{8F66692E-BB74-4260-85C2-595777718FAB}", "LumoDEZLib.DEZSign"),
    ("{0F014182-08B8-4A79-9619-85D9AF9720F7}", "LumoDEZLib.Profile"),
]


def ours(key):
    for clsid, progid in CLASSES:
        if key.upper().startswith(("CLSID\\" + clsid).upper()) or key.split("\\")[0] == progid:
            return True
    return False


def expected(mode):
    seq = []
    for clsid, progid in CLASSES:
        k = "CLSID\\" + clsid
        if mode == "register":
            seq += [("create", k), ("set", ""),
                    ("create", k + "\\InprocServer32"), ("set", ""),
                    ("create", k + "\\InprocServer32"), ("set", "ThreadingModel"),
                    ("create", progid), ("set", ""),
                    ("create", progid + "\\Clsid"), ("set", ""),
                    ("create", k + "\\ProgID"), ("set", ""),
                    ("create", k + "\\Version"), ("set", ""),
                    ("create", k + "\\TypeLib"), ("set", "")]
        else:
            seq += [("delete", k + "\\TypeLib"), ("delete", k + "\\Version"),
                    ("delete", k + "\\ProgID"), ("delete", progid + "\\Clsid"),
                    ("delete", progid), ("delete", k + "\\InprocServer32"), ("delete", k)]
    return seq


def observed(mode, lines):
    seq = []
    create = re.compile(r'NtCreateKey \(0x[0-9a-f]+,L"(.*?)",')
    openk = re.compile(r'NtOpenKeyEx \(0x[0-9a-f]+,L"(.*?)",')
    setv = re.compile(r'NtSetValueKey \(0x[0-9a-f]+,L"(.*?)",')
    last_create = None
    last_open = None
    for line in lines:
        line = line.replace("\\\\", "\\")
        m = create.search(line)
        if m:
            last_create = m.group(1)
            if mode == "register" and ours(last_create):
                seq.append(("create", last_create))
            continue
        m = setv.search(line)
        if m and mode == "register" and last_create and ours(last_create):
            seq.append(("set", m.group(1)))
            last_create = None
            continue
        m = openk.search(line)
        if m:
            last_open = m.group(1)
            continue
        if "NtDeleteKey (" in line and mode == "unregister" and last_open and ours(last_open):
            seq.append(("delete", last_open))
            last_open = None
    return seq


def main(argv):
    mode, path = argv[1], argv[2]
    with open(path, encoding="utf-8", errors="replace") as f:
        got = observed(mode, f)
    want = expected(mode)
    for op, name in got:
        print("  %-6s %s" % (op, name))
    if got != want:
        print("order differs from the required one; expected:")
        for op, name in want:
            print("  %-6s %s" % (op, name))
        return 1
    print("%s order as listed: %d steps" % (mode, len(got)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

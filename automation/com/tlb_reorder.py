#!/usr/bin/env python3
"""Put the type descriptions of a binary (MSFT) type library into a given order.

widl adds a type to the library the first time a member refers to it, so an interface
that names a later interface or enumeration pulls that type forward. The published type library fixes the
order of the six descriptions, so the build lets widl write the library and then moves
the typeinfo records into place here, rewriting every reference to them.

--flags sets a type's stored flag word (not needed by the current build).

Usage: tlb_reorder.py IN.tlb OUT.tlb [--flags Name=0xVALUE ...] Name1 Name2 ...
       (all type names, in the wanted order)
       tlb_reorder.py --list IN.tlb
"""
import struct
import sys

TI_SIZE = 0x64
SEGS = ["TypeInfoTab", "ImpInfo", "ImpFiles", "RefTab", "GuidHashTab", "GuidTab",
        "NameHashTab", "NameTab", "StringTab", "TypdescTab", "ArrayDesc", "CustData",
        "CDGuids", "res0e", "res0f"]


def i32(b, o):
    return struct.unpack_from("<i", b, o)[0]


def put32(b, o, v):
    struct.pack_into("<i", b, o, v)


class Tlb:
    def __init__(self, data):
        self.b = bytearray(data)
        if self.b[:4] != b"MSFT":
            raise SystemExit("not an MSFT type library")
        self.n = i32(self.b, 0x20)
        varflags = i32(self.b, 0x14)
        self.arr = 0x54 + (4 if varflags & 0x100 else 0)
        segdir = self.arr + 4 * self.n
        self.seg = {}
        for k, name in enumerate(SEGS):
            off, length = struct.unpack_from("<ii", self.b, segdir + 16 * k)
            self.seg[name] = (off, length)

    def name_at(self, name_offset):
        base = self.seg["NameTab"][0] + name_offset
        ln = self.b[base + 8]
        return self.b[base + 12: base + 12 + ln].decode("latin-1")

    def ti(self, i):
        return self.seg["TypeInfoTab"][0] + i * TI_SIZE

    def names(self):
        return [self.name_at(i32(self.b, self.ti(i) + 0x34)) for i in range(self.n)]


def reorder(tlb, order):
    names = tlb.names()
    if sorted(names) != sorted(order) or len(order) != tlb.n:
        raise SystemExit("names %s do not match %s" % (names, order))
    new_index = {names.index(nm): k for k, nm in enumerate(order)}   # old -> new
    remap = {old * TI_SIZE: new * TI_SIZE for old, new in new_index.items() if old != new}
    b = tlb.b

    def fix(off):
        v = i32(b, off)
        if v in remap:
            put32(b, off, remap[v])

    # TYPEDESC entries: VT_USERDEFINED (0x1d) carries a typeinfo offset.
    off, length = tlb.seg["TypdescTab"]
    for p in range(off, off + length, 8):
        if (i32(b, p) & 0xFFFF) == 0x1D:
            fix(p + 4)
    # Reference records (implemented interfaces): reftype is a typeinfo offset when local.
    off, length = tlb.seg["RefTab"]
    for p in range(off, off + length, 16):
        if i32(b, p) & 3 == 0:
            fix(p)
    # GUID entries: GUID, hreftype, next.
    off, length = tlb.seg["GuidTab"]
    for p in range(off, off + length, 24):
        fix(p + 16)
    # Name entries: hreftype, next, len|hash, chars padded to 4.
    off, length = tlb.seg["NameTab"]
    p = off
    while p < off + length:
        fix(p)
        ln = b[p + 8]
        p += 12 + ((ln + 3) & ~3)
    # Interfaces name their base type directly in datatype1 (an HREFTYPE).
    for i in range(tlb.n):
        kind = i32(b, tlb.ti(i)) & 0xF
        if kind in (3, 4):          # TKIND_INTERFACE, TKIND_DISPATCH
            fix(tlb.ti(i) + 0x54)
    # Move the records and the offset array.
    recs = [bytes(b[tlb.ti(i): tlb.ti(i) + TI_SIZE]) for i in range(tlb.n)]
    arr = [i32(b, tlb.arr + 4 * i) for i in range(tlb.n)]
    for old, new in new_index.items():
        b[tlb.ti(new): tlb.ti(new) + TI_SIZE] = recs[old]
        put32(b, tlb.arr + 4 * new, remap.get(arr[old], arr[old]))
    return b


def main(argv):
    if len(argv) == 3 and argv[1] == "--list":
        t = Tlb(open(argv[2], "rb").read())
        for k, nm in enumerate(t.names()):
            print(k, nm, "kind", i32(t.b, t.ti(k)) & 0xF, "flags", hex(i32(t.b, t.ti(k) + 0x30)))
        return 0
    if len(argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    t = Tlb(open(argv[1], "rb").read())
    rest = argv[3:]
    flags = {}
    while len(rest) >= 2 and rest[0] == "--flags":
        name, value = rest[1].split("=")
        flags[name] = int(value, 0)
        rest = rest[2:]
    names = t.names()
    for name, value in flags.items():
        put32(t.b, t.ti(names.index(name)) + 0x30, value)
    out = reorder(t, rest)
    open(argv[2], "wb").write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

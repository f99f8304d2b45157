#!/usr/bin/python3
# Crafts the stored inputs of fuzz/regressions/state_file/ from the seeds of
# fuzz/corpus/state_file/ (run fuzz/make-state-seeds.sh first): valid files
# (checksum and all) whose contents no run writes, one per fault that the
# fuzzer once found.
#
#   fuzz/make-state-regressions.py
#
# serial-generator-out-of-range            checkpoint-serial, its generator's
#                                          first state 0x12345678 (beyond its modulus)
# threaded-next-block-before-photons-done  checkpoint-threaded, next block 0
#                                          after 1000 photons
# merge-escape-records-past-the-run        partial-1-of-1, its 1001 escape
#                                          records said to start at photon 2 (the
#                                          last would land past the run's 1001)
# merge-without-histogram                  partial-1-of-1 as it is: the totals of
#                                          a run without histogram
# section-length-beyond-its-pieces         checkpoint-threaded, its MODE section
#                                          alone, stated 193 GB long
# serial-start-distance-not-a-number       checkpoint-serial, the start distance
#                                          kept for the next photon a NaN
# part-number-at-int32-limit               partial-1-of-1 named part 2147483647
#                                          of 2147483647 (the next part's number
#                                          overflows an int32)
# section-zero-runs-short-of-a-huge-length partial-1-of-1, its SUMS section
#                                          stated 537 GB long, three of its zero
#                                          runs raised to 5.9 GB in all
# section-zero-runs-beyond-memory          found by the fuzzer (a section "BLK"
#                                          and a zero byte whose pieces run past
#                                          its end): kept as it is, its layout
#                                          number made this one's and its
#                                          checksum made anew
import hashlib
import os
import shutil
import struct
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
seeds = os.path.join(root, "fuzz", "corpus", "state_file")
out = os.path.join(root, "fuzz", "regressions", "state_file")
MAGIC = b"\x89QUILLET"
LAYOUT = 4  # the layout of format/state_file.h


class reader:
    def __init__(self, data, at=0):
        self.data, self.at = data, at

    def get(self, fmt):
        v = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return v[0] if len(v) == 1 else v

    def raw(self, n):
        b = self.data[self.at:self.at + n]
        self.at += n
        return b

    def text(self):
        return self.raw(self.get("I"))


def unpack_zeros(packed):
    r, out = reader(packed), bytearray()
    while r.at < len(packed):
        out += r.raw(r.get("I"))
        out += bytes(r.get("I"))
    return bytes(out)


def pack_zeros(b):
    # Literal stretches and the runs of 16 or more zero bytes after them.
    out, at = bytearray(), 0
    while at < len(b):
        start = at
        zeros = 0
        while at < len(b):
            if b[at] != 0:
                at += 1
                continue
            z = at
            while z < len(b) and b[z] == 0:
                z += 1
            if z - at >= 16 or z == len(b):
                zeros = z - at
                break
            at = z
        out += struct.pack("<I", at - start) + b[start:at] + struct.pack("<I", zeros)
        at += zeros
    return bytes(out)


def decode(data, lengths=True):
    """Header bytes (layout to the inputs' end) and sections [tag, bytes]; with
    lengths, each section's stated length checked, else its bytes are left
    packed (a stated length may be far beyond memory)."""
    assert data[:8] == MAGIC and struct.unpack_from("<Q", data, 8)[0] == len(data)
    assert hashlib.sha256(data[:-32]).digest() == data[-32:]
    r = reader(data, 16)
    r.get("I")
    r.text()
    r.get("I"), r.get("I"), r.get("I")
    for _ in range(r.get("I")):
        r.text(), r.text(), r.raw(32)
    header = data[16:r.at]
    sections = []
    for _ in range(r.get("I")):
        tag = r.raw(4)
        length, n = r.get("Q"), r.get("Q")
        packed = r.raw(n)
        sections.append([tag, unpack_zeros(packed) if lengths else packed])
        assert not lengths or len(sections[-1][1]) == length
    assert r.at == len(data) - 32
    return header, sections


def encode(header, sections, stated=None, packed_as=None):
    """The file; stated[tag] replaces that section's stated length, and
    packed_as[tag] its packed bytes."""
    body = bytearray(header) + struct.pack("<I", len(sections))
    for tag, b in sections:
        packed = (packed_as or {}).get(tag) or pack_zeros(b)
        body += tag + struct.pack("<QQ", (stated or {}).get(tag, len(b)), len(packed)) + packed
    body = MAGIC + struct.pack("<Q", 16 + len(body) + 32) + body
    return bytes(body) + hashlib.sha256(body).digest()


def with_part(header, part, parts):
    """The header naming another part K of M (after layout, version, kind)."""
    at = 12 + struct.unpack_from("<I", header, 4)[0]
    return header[:at] + struct.pack("<II", part, parts) + header[at + 8:]


def section(sections, tag):
    return next(s for s in sections if s[0] == tag)


def load(name):
    with open(os.path.join(seeds, name), "rb") as f:
        return decode(f.read())


def save(name, data, lengths=True):
    decode(data, lengths)
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
    print(f"{name}: {len(data)} bytes")


os.makedirs(out, exist_ok=True)

# SERL: ran1_state (int32 ix1, ix2, ix3, float r[98]), double inidist, two int32.
header, sections = load("checkpoint-serial")
serl = section(sections, b"SERL")
serl[1] = struct.pack("<i", 0x12345678) + serl[1][4:]
save("serial-generator-out-of-range", encode(header, sections))

# The same checkpoint with its start distance (the double after the
# generator's 404 bytes) not a number.
header, sections = load("checkpoint-serial")
serl = section(sections, b"SERL")
serl[1] = serl[1][:404] + struct.pack("<d", float("nan")) + serl[1][412:]
save("serial-start-distance-not-a-number", encode(header, sections))

# MODE: u32 mode, int64 nphot, int32 ntest, int64 photons done, int64 next block.
header, sections = load("checkpoint-threaded")
mode = section(sections, b"MODE")
kind, nphot, ntest, done, nxt = struct.unpack("<IqiqQ", mode[1])
assert (kind, done, nxt) == (2, 1000, 1), (kind, done, nxt)
mode[1] = struct.pack("<Iqiqq", kind, nphot, ntest, done, 0)
save("threaded-next-block-before-photons-done", encode(header, sections))

# The MODE section alone, its length stated as 193 GB (its pieces hold 32 bytes).
save("section-length-beyond-its-pieces", encode(header, [mode], {b"MODE": 193_000_000_000}), False)

# SUMS: "QLEXACT1", int64 ntest, int64 first photon and number of the
# escape records; per table its values: 11 tables of sums (int64 count, four
# u64 limbs each), 6 counters (one int64 each), 4 image and histogram tables
# (int64 count: int32 counts or two u64 limbs each), 4 escape tables (the
# records' floats).
header, sections = load("partial-1-of-1")
save("part-number-at-int32-limit", encode(with_part(header, 0x7FFFFFFF, 0x7FFFFFFF), sections))

# The SUMS section stated 537 GB long; three of its zero runs raised so that
# its pieces stand for 5.9 GB: counted short of the stated length before a
# byte is unpacked (they were once filled in first).
sums = section(sections, b"SUMS")
pieces = bytearray(pack_zeros(sums[1]))
r, raised = reader(pieces), 0
while r.at < len(pieces) and raised < 3:
    r.raw(r.get("I"))
    if r.get("I") > 0:
        struct.pack_into("<I", pieces, r.at - 4, 1_970_000_000)
        raised += 1
assert raised == 3
save("section-zero-runs-short-of-a-huge-length",
     encode(header, sections, {b"SUMS": 537_000_000_000}, {b"SUMS": bytes(pieces)}), False)

shutil.copyfile(os.path.join(seeds, "partial-1-of-1"), os.path.join(out, "merge-without-histogram"))
header, sections = load("partial-1-of-1")
sums = section(sections, b"SUMS")
b = bytearray(sums[1])
assert b[:8] == b"QLEXACT1"
ntest, first, count = struct.unpack_from("<qqq", b, 8)
assert (first, count) == (1, 1001), (first, count)
struct.pack_into("<q", b, 16, 2)
sums[1] = bytes(b)
save("merge-escape-records-past-the-run", encode(header, sections))

# A file the fuzzer found, of an earlier layout: the layout number (after the
# magic and the total length) made this one's, the checksum made anew.
name = os.path.join(out, "section-zero-runs-beyond-memory")
with open(name, "rb") as f:
    data = bytearray(f.read())
struct.pack_into("<I", data, 16, LAYOUT)
data[-32:] = hashlib.sha256(bytes(data[:-32])).digest()
with open(name, "wb") as f:
    f.write(data)
print(f"section-zero-runs-beyond-memory: {len(data)} bytes")

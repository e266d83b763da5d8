#!/usr/bin/python3
# agree.py: for each label drawn by both renderers (OURS/NAME-001.pbm, THEIRS/NAME-001.png),
# the share of black dots both agree on (black in both, of black in either) over the area both
# drew.  One line a label, then the mean.
import os
import struct
import sys
import zlib


def read_pbm(path):
    data = open(path, "rb").read()
    _, dims, body = data.split(b"\n", 2)
    w, h = map(int, dims.split())
    stride = (w + 7) // 8
    return w, h, lambda x, y: (body[y * stride + x // 8] >> (7 - x % 8)) & 1


def unfilter(raw, h, stride, bpp):
    rows, prev, i = [], bytearray(stride), 0
    for _ in range(h):
        kind, line = raw[i], bytearray(raw[i + 1:i + 1 + stride])
        i += 1 + stride
        for x in range(stride):
            a = line[x - bpp] if x >= bpp else 0
            b = prev[x]
            c = prev[x - bpp] if x >= bpp else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prev = line
        rows.append(bytes(line))
    return rows


def read_png(path):
    data = open(path, "rb").read()
    pos, idat = 8, []
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        pos += 12 + n
        if kind == b"IHDR":
            w, h, depth, colour = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat.append(body)
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[colour]
    bpp = 1 if depth == 1 else channels
    stride = (w + 7) // 8 if depth == 1 else w * channels
    rows = unfilter(zlib.decompress(b"".join(idat)), h, stride, bpp)
    if depth == 1:
        return w, h, lambda x, y: 1 - ((rows[y][x // 8] >> (7 - x % 8)) & 1)
    return w, h, lambda x, y: 1 if rows[y][x * channels] < 128 else 0


ours, theirs = sys.argv[1], sys.argv[2]
shares = []
for name in sorted(os.listdir(ours)):
    if not name.endswith(".pbm"):
        continue
    other = os.path.join(theirs, name[:-4] + ".png")
    if not os.path.exists(other):
        print("%-40s drawn by ours only" % name[:-4])
        continue
    w1, h1, a = read_pbm(os.path.join(ours, name))
    w2, h2, b = read_png(other)
    both = either = 0
    for y in range(min(h1, h2)):
        for x in range(min(w1, w2)):
            p, q = a(x, y), b(x, y)
            both += p and q
            either += p or q
    share = both / either if either else 1.0
    shares.append(share)
    print("%-40s %5.1f %%  (%d of %d black dots)" % (name[:-4], 100 * share, both, either))
if shares:
    print("%-40s %5.1f %%  over %d labels" % ("mean", 100 * sum(shares) / len(shares), len(shares)))

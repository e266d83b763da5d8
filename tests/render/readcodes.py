#!/usr/bin/python3
# readcodes.py: the barcodes zxing-cpp reads on printed labels, for the placement tests.
#
# Copyright 2026 the labelfilters authors. Licensed under the Apache License 2.0.
#
# Usage: readcodes.py LABEL.pgm...  (binary PGM, 0 black)
# Prints one line per barcode: file, format, text (non-printing bytes as \xNN), and for a
# linear code the narrowest bar or space in dots along its middle line.
import sys

import numpy
import zxingcpp


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    at = 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        start = at
        while not data[at:at + 1].isspace():
            at += 1
        fields.append(data[start:at])
    at += 1
    width, height = int(fields[1]), int(fields[2])
    return numpy.frombuffer(data, numpy.uint8, width * height, at).reshape(height, width)


def narrowest(image, result):
    p = result.position
    ax, ay = (p.top_left.x + p.bottom_left.x) / 2, (p.top_left.y + p.bottom_left.y) / 2
    bx, by = (p.top_right.x + p.bottom_right.x) / 2, (p.top_right.y + p.bottom_right.y) / 2
    steps = int(max(abs(bx - ax), abs(by - ay)))
    if steps < 2:
        return 0
    values = []
    for i in range(steps + 1):
        x = round(ax + (bx - ax) * i / steps)
        y = round(ay + (by - ay) * i / steps)
        if 0 <= y < image.shape[0] and 0 <= x < image.shape[1]:
            values.append(image[y, x] < 128)
    runs = []
    count = 1
    for a, b in zip(values, values[1:]):
        if a == b:
            count += 1
        else:
            runs.append(count)
            count = 1
    runs.append(count)
    inner = runs[1:-1]  # the ends run into the quiet zones
    return min(inner) if inner else 0


def printable(text):
    return "".join(c if " " <= c <= "~" else "\\x%02X" % ord(c) for c in text)


for path in sys.argv[1:]:
    image = read_pgm(path)
    for result in zxingcpp.read_barcodes(image):
        linear = result.format in (zxingcpp.BarcodeFormat.Code128,)
        print("%s\t%s\t%s\t%d" % (path, result.format.name, printable(result.text),
                                 narrowest(image, result) if linear else 0))

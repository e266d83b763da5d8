#!/usr/bin/python3
# decode.py: reads the barcodes in a PGM image with zxing-cpp, one "FORMAT<TAB>text<TAB>symbology identifier"
# line each,
# bytes outside printable ASCII written as \xNN.  "pure" as a second argument says the image
# holds one symbol alone (MaxiCode is read only so).
import sys

import numpy
import zxingcpp


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields = []
    pos = 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        fields.append(data[start:pos])
    pos += 1
    width, height = int(fields[1]), int(fields[2])
    return numpy.frombuffer(data[pos:pos + width * height], numpy.uint8).reshape(height, width)


def escaped(raw):
    return "".join(chr(b) if 32 <= b < 127 and b != 0x5C else "\\x%02x" % b for b in raw)


image = read_pgm(sys.argv[1])
pure = len(sys.argv) > 2 and sys.argv[2] == "pure"
for result in zxingcpp.read_barcodes(image, is_pure=pure):
    print("%s\t%s\t%s" % (str(result.format).split(".")[-1], escaped(result.bytes),
                         result.symbology_identifier))

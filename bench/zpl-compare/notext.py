#!/usr/bin/python3
# notext.py: a ZPL job without its text: fields that draw text are dropped and barcodes'
# interpretation lines turned off, so that two renderers' faces do not count in a comparison.
#   notext.py INDIR OUTDIR     every INDIR/*.zpl to OUTDIR
#   notext.py --size FILE      "WIDTH_MM HEIGHT_MM" of the job's first ^PW/^LL at 8 dots/mm
import os
import re
import sys

# Barcode commands and the parameter (the orientation being 0) that turns the interpretation
# line on.
INTERPRETATION = {"BC": 2, "B3": 3, "BA": 2, "BE": 2, "B8": 2, "BU": 2, "B9": 2, "B2": 2}


def turn_off(match):
    params = match.group(2).split(",")
    i = INTERPRETATION[match.group(1)]
    while len(params) <= i:
        params.append("")
    params[i] = "N"
    return "^" + match.group(1) + ",".join(params)


def without_text(zpl):
    out = []
    for field in re.split(r"(?<=\^FS)", zpl):
        barcode = re.search(r"\^B[0-9A-Z]", field.replace("^BY", "")) is not None
        graphic = re.search(r"\^(GB|GC|GD|GE|GF|XG|IM|XF)", field) is not None
        text = re.search(r"\^(FD|SN|FN)", field) is not None and not barcode
        if text and not graphic:
            out.append(re.split(r"\^F[OT]", field)[0])  # the settings before the field
            continue
        out.append(re.sub(r"\^(BC|B3|BA|BE|B8|BU|B9|B2)([^\^]*)", turn_off, field))
    return "".join(out)


def size(zpl):
    w = re.search(r"\^PW(\d+)", zpl)
    h = re.search(r"\^LL(\d+)", zpl)
    return "%g %g" % (int(w.group(1)) / 8 if w else 101.6, int(h.group(1)) / 8 if h else 152.4)


if sys.argv[1] == "--size":
    print(size(open(sys.argv[2], encoding="latin-1").read()))
    sys.exit(0)
for name in sorted(os.listdir(sys.argv[1])):
    if name.endswith(".zpl"):
        text = open(os.path.join(sys.argv[1], name), encoding="latin-1").read()
        with open(os.path.join(sys.argv[2], name), "w", encoding="latin-1") as f:
            f.write(without_text(text))

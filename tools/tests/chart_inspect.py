#!/usr/bin/env python3
"""Reads what the chart tests check, with nothing but the standard library.

  chart_inspect.py svg FILE   parses the SVG as XML (a parse error exits 1) and prints, as JSON, the
                              title and per panel its value range, plot frame and series: the drawn
                              points, single samples and failed-poll marks
  chart_inspect.py png FILE   decodes the PNG and prints its size, the number of distinct colours and
                              the share of pixels that are not background
"""
import json
import struct
import sys
import xml.etree.ElementTree as ET
import zlib

NS = "{http://www.w3.org/2000/svg}"


def svg(path):
    root = ET.parse(path).getroot()
    if root.tag != NS + "svg":
        raise SystemExit("root element is not svg: " + root.tag)
    out = {"title": root.findtext(NS + "title"), "panels": [],
           "subtitle": "".join(t.text or "" for t in root.iter(NS + "text") if t.get("class") == "subtitle"),
           "legend": ["".join(g.itertext()) for g in root.iter(NS + "g") if g.get("class") == "legend"],
           "time_ticks": [t.text for g in root.iter(NS + "g") if g.get("class") == "axis-x"
                          for t in g.iter(NS + "text") if t.get("class") != "caption"]}
    for panel in root.iter(NS + "g"):
        if panel.get("class") != "panel":
            continue
        plot = next(r for r in panel.iter(NS + "rect") if r.get("class") == "plot")
        p = {"unit": panel.get("data-unit"), "min": float(panel.get("data-min")),
             "max": float(panel.get("data-max")),
             "plot": [float(plot.get(k)) for k in ("x", "y", "width", "height")], "series": []}
        for g in panel.iter(NS + "g"):
            if g.get("class") != "series":
                continue
            s = {"name": g.get("data-name"), "unit": g.get("data-unit"), "lines": [], "singles": [], "gaps": 0}
            for el in g:
                cls = el.get("class")
                if el.tag == NS + "polyline":
                    s["lines"].append([[float(v) for v in xy.split(",")] for xy in el.get("points").split()])
                elif el.tag == NS + "circle" and cls == "single":
                    s["singles"].append([float(el.get("cx")), float(el.get("cy"))])
                elif el.tag == NS + "g" and cls == "gap":
                    s["gaps"] += 1
            p["series"].append(s)
        out["panels"].append(p)
    return out


def png(path):
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise SystemExit("not a PNG")
    pos, idat, head = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            head = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = head
    channels = {2: 3, 6: 4, 0: 1, 4: 2}[colour]
    if depth != 8 or interlace != 0:
        raise SystemExit("unexpected PNG layout")
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append(bytes(line))
        prev = line
    counts, ink = {}, 0
    for line in rows:
        for x in range(width):
            px = bytes(line[x * channels:(x + 1) * channels])
            counts[px] = counts.get(px, 0) + 1
            if px[:3] != b"\xff\xff\xff" and (channels < 4 or px[3] != 0):
                ink += 1
    # Colours that fill more than a few pixels: the frame, the text, the series.
    print(json.dumps({"width": width, "height": height, "colours": len(counts), "ink": ink / (width * height),
                      "main": sorted(px[:3].hex() for px, n in counts.items() if n >= 50)}))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("svg", "png"):
        raise SystemExit(__doc__)
    try:
        if sys.argv[1] == "svg":
            print(json.dumps(svg(sys.argv[2])))
        else:
            png(sys.argv[2])
    except ET.ParseError as e:
        print("not well-formed XML: %s" % e, file=sys.stderr)
        sys.exit(1)

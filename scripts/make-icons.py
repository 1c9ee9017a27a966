#!/usr/bin/env python3
"""Writes the Windows icon files of the driver from our XPM artwork in src/app/icons.cpp.

    scripts/make-icons.py [OUTPUT_DIR]     (default: src/app/win32)

Each XPM array of icons.cpp (kIcon1Xpm, kIcon108Xpm) becomes one 16-colour .ico file
(icon1.ico 32 x 32, icon108.ico 16 x 16): a 4-bit bitmap in the standard 16-colour palette and
its 1-bit transparency mask. A colour outside that palette is an error, so the artwork and the
icon files never drift apart silently. The .ico files are committed; run this again after
changing the artwork.
"""
import pathlib
import re
import struct
import sys

# The standard 16-colour palette, in palette order.
PALETTE = [
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0,
    0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
]


def read_xpms(source):
    """{array name: list of its strings} for every `const char* const kIcon...Xpm[]`."""
    xpms = {}
    for m in re.finditer(r"(kIcon\w+Xpm)\[\]\s*=\s*\{(.*?)\};", source, re.S):
        xpms[m.group(1)] = re.findall(r'"((?:[^"\\]|\\.)*)"', m.group(2))
    return xpms


def parse_xpm(lines):
    """(width, height, rows of palette indexes or None for transparent)."""
    width, height, ncolors, cpp = (int(v) for v in lines[0].split()[:4])
    colours = {}
    for line in lines[1:1 + ncolors]:
        key, rest = line[:cpp], line[cpp:].split()
        value = rest[rest.index("c") + 1]
        if value.lower() == "none":
            colours[key] = None
            continue
        rgb = int(value.lstrip("#"), 16)
        if rgb not in PALETTE:
            raise SystemExit(f"colour {value} is not in the 16-colour palette")
        colours[key] = PALETTE.index(rgb)
    pixels = lines[1 + ncolors:1 + ncolors + height]
    rows = [[colours[row[x * cpp:(x + 1) * cpp]] for x in range(width)] for row in pixels]
    if len(rows) != height or any(len(r) != width for r in rows):
        raise SystemExit("XPM size does not match its pixel rows")
    return width, height, rows


def padded(row_bytes):
    return row_bytes + b"\0" * (-len(row_bytes) % 4)


def ico_bytes(width, height, rows):
    """One-image .ico: header, directory entry, BITMAPINFOHEADER, palette, XOR and AND bitmaps."""
    xor, mask = b"", b""
    for row in reversed(rows):  # bitmaps are stored bottom-up
        nibbles = [0 if p is None else p for p in row]
        xor += padded(bytes((nibbles[i] << 4) | nibbles[i + 1] for i in range(0, width, 2)))
        bits = 0
        for x, p in enumerate(row):
            bits |= (1 if p is None else 0) << (width - 1 - x)
        mask += padded(bits.to_bytes((width + 7) // 8, "big"))
    palette = b"".join(struct.pack("<BBBB", c & 0xFF, (c >> 8) & 0xFF, c >> 16, 0)
                       for c in PALETTE)
    info = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 4, 0, len(xor) + len(mask),
                       0, 0, 16, 0)
    image = info + palette + xor + mask
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", width % 256, height % 256, 16, 0, 1, 4, len(image), 6 + 16)
    return header + entry + image


def main():
    root = pathlib.Path(__file__).resolve().parent.parent
    out = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else root / "src/app/win32"
    xpms = read_xpms((root / "src/app/icons.cpp").read_text())
    for name, file_name in (("kIcon1Xpm", "icon1.ico"), ("kIcon108Xpm", "icon108.ico")):
        (out / file_name).write_bytes(ico_bytes(*parse_xpm(xpms[name])))


if __name__ == "__main__":
    main()

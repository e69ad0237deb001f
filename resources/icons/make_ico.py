#!/usr/bin/env python3
"""Builds ql5-updater.ico, icon resource 128 for the Windows build: 48, 32
and 16 px, each in 16 colours, 256 colours and 24-bit colour, as classic
BMP entries with an AND mask. Needs ImageMagick's convert. Run by hand; the
.ico is committed."""
import os
import struct
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.join(HERE, "ql5-updater-256.png")


def run(*args):
    return subprocess.run(args, check=True, capture_output=True).stdout


def entry(size, bits, tmp):
    png = os.path.join(tmp, f"{size}.png")
    run("convert", SRC, "-filter", "Lanczos", "-resize", f"{size}x{size}", png)
    # Transparent pixels must be colour 0 (black) under the AND mask.
    flat = ["convert", png, "-background", "black", "-alpha", "remove"]
    bmp = os.path.join(tmp, f"{size}-{bits}.bmp")
    if bits == 24:
        run(*flat, "-type", "TrueColor", "BMP3:" + bmp)
    else:
        colours = 16 if bits == 4 else 256
        run(*flat, "-dither", "FloydSteinberg", "-colors", str(colours), "-type", "Palette",
            "-compress", "None", "BMP3:" + bmp)
    data = open(bmp, "rb").read()
    offset = struct.unpack_from("<I", data, 10)[0]
    header = bytearray(data[14:54])
    width, height, planes, bitcount = struct.unpack_from("<iiHH", header, 4)
    assert (width, height) == (size, size), (width, height)
    if bitcount != bits:
        raise SystemExit(f"{size}px: ImageMagick wrote {bitcount} bits, wanted {bits}")
    palette = data[54:offset]
    pixels = data[offset:]
    # AND mask: 1 bit per pixel, rows bottom-up, padded to 32 bits; 1 = transparent.
    alpha = run("convert", png, "-alpha", "extract", "-depth", "8", "gray:-")
    row_bytes = ((size + 31) // 32) * 4
    mask = bytearray()
    for y in range(size - 1, -1, -1):
        row = bytearray(row_bytes)
        for x in range(size):
            if alpha[y * size + x] < 128:
                row[x // 8] |= 0x80 >> (x % 8)
        mask += row
    struct.pack_into("<i", header, 8, size * 2)  # XOR and AND bitmaps
    struct.pack_into("<I", header, 20, len(pixels) + len(mask))
    colours = len(palette) // 4
    return size, bits, colours, bytes(header) + palette + pixels + bytes(mask)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        entries = [entry(s, b, tmp) for s in (48, 32, 16) for b in (4, 8, 24)]
    out = bytearray(struct.pack("<HHH", 0, 1, len(entries)))
    offset = 6 + 16 * len(entries)
    blobs = b""
    for size, bits, colours, blob in entries:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colours if colours < 256 else 0, 0,
                           1, bits, len(blob), offset + len(blobs))
        blobs += blob
    out += blobs
    with open(os.path.join(HERE, "ql5-updater.ico"), "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()

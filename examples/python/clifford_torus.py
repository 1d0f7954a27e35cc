"""A Clifford torus drawn by orv from NumPy arrays, saved as a PNG file.

    python3 clifford_torus.py [OUT.png]

The torus is the set of points (cos a, sin a, cos b, sin b) / sqrt(2) of the 3-sphere, here a grid
of 48 x 24 of them joined by geodesic edges and coloured by the angle a. The observer starts on
the circle of the zw plane, everywhere pi/4 from the torus, moves and turns toward it; orv.render
draws what it sees as an (H, W, 4) uint8 array, which any plotting library shows; here it is
written as a PNG file with the standard library alone.
"""

import struct
import sys
import zlib

import numpy as np

import orv


def scene():
    """The observer, the torus's points (N, 4), its edges (M, 2) and its colours (N, 3)."""
    around, along = 48, 24
    a = np.repeat(np.linspace(0, 2 * np.pi, around, endpoint=False), along)
    b = np.tile(np.linspace(0, np.pi, along, endpoint=False), around)
    points = np.stack([np.cos(a), np.sin(a), np.cos(b), np.sin(b)], axis=1) / np.sqrt(2)
    # Each point to its neighbour along b, and to its neighbour along a. b runs over half a turn:
    # the point after the last is the first one turned by pi in a, negated (the same point).
    index = np.arange(around * along).reshape(around, along)
    next_b = np.concatenate([index[:, 1:], np.roll(index[:, :1], -around // 2, axis=0)], axis=1)
    next_a = np.roll(index, -1, axis=0)
    edges = np.concatenate([np.stack([index, next_b], -1), np.stack([index, next_a], -1)])
    colors = np.stack([0.5 + 0.5 * np.cos(a), 0.5 + 0.5 * np.sin(a), np.full_like(a, 0.9)], 1)

    observer = orv.Observer()  # at (0, 0, 0, 1), looking down -z, +y up
    observer.move_forward(0.6)  # radians along the great circle ahead
    observer.yaw(1.0)  # turn right, in place
    observer.pitch(0.2)  # and look up a little
    return observer, points, edges.reshape(-1, 2), colors


def png(image):
    """The bytes of a PNG file of an (H, W, 4) uint8 array."""
    height, width, _ = image.shape
    rows = b"".join(b"\0" + row.tobytes() for row in image)  # each row unfiltered

    def chunk(kind, data):
        crc = zlib.crc32(kind + data)
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", crc)

    header = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)  # 8 bits, RGBA
    body = chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b"")
    return b"\x89PNG\r\n\x1a\n" + body


def main(path):
    observer, points, edges, colors = scene()
    image = orv.render(observer, points, edges=edges, colors=colors, size=(640, 360), point_size=0)
    with open(path, "wb") as f:
        f.write(png(image))
    print(f"{path}: {image.shape[1]}x{image.shape[0]}, {len(points)} points, {len(edges)} edges")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "clifford-torus.png")

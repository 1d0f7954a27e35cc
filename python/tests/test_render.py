"""orv.render against the C++ devices: the same scenes give the same image bytes; bad arguments
and devices that cannot be had are refused saying why; the example renders and saves a PNG."""

import importlib.util
import math
import os
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

import orv
from conftest import SOURCE_DIR, the_observer


# The peer's scenes (cxx_peer.cpp) with the arguments it drew them with, as orv.render takes them.
RENDERS = {
    "cloud": {"size": (160, 90)},
    "cloud_styled": {
        "size": (90, 160), "horizontal_angle": 1.0, "point_size": 2.5, "depth_cue": False
    },
    "torus": {"size": (200, 120), "point_size": 0.0, "line_width": 1.5},
    "cell600": {"size": (160, 90), "horizontal_angle": 2.0},
}


def render_case(peer, name, device="cpu", **changes):
    """orv.render of the peer's scene `name` and the peer's image of it on `device`."""
    arguments = dict(RENDERS[name], device=device)
    arguments["colors"] = peer.array(f"{name}_colors", np.float32, 4)
    arguments["edges"] = peer.array(f"{name}_edges", np.uint32, 2)
    arguments.update(changes)
    image = orv.render(the_observer(), peer.array(f"{name}_points", np.float64, 4), **arguments)
    stem = name if device == "cpu" else f"{name}_{device}"
    width, height = RENDERS[name]["size"]
    return image, peer.array(f"{stem}_image", np.uint8).reshape(height, width, 4)


def test_renders_are_the_cxx_device_bytes(peer):
    if peer.vulkan_missing and os.environ.get("ORV_REQUIRE_VULKAN"):
        pytest.fail(f"ORV_REQUIRE_VULKAN is set, but no Vulkan device: {peer.vulkan_missing}")
    on_vulkan = [] if peer.vulkan_missing else [("cloud", "vulkan"), ("cell600", "vulkan")]
    for name, device in [(name, "cpu") for name in RENDERS] + on_vulkan:
        image, expected = render_case(peer, name, device)
        assert image.dtype == np.uint8 and (image == expected).all(), (name, device)
        assert (image[..., :3] > 0).any(axis=-1).mean() > 0.002, name  # not all black
    # The same scenes from other dtypes: colours without alpha in float64, int64 edges.
    colors = peer.array("cloud_styled_colors", np.float32, 4)[:, :3].astype(np.float64)
    image, expected = render_case(peer, "cloud_styled", colors=colors)
    assert (image == expected).all()
    edges = peer.array("torus_edges", np.uint32, 2).astype(np.int64)
    image, expected = render_case(peer, "torus", edges=edges)
    assert (image == expected).all()


def test_angle_point_size_and_depth_cue_draw_as_documented():
    # One grey point 0.5 rad away, 0.25 rad right of forward: a pinhole picture puts it at
    # x = (tan 0.25 / tan(h / 2) + 1) * width / 2, y = height / 2, a square of point_size pixels
    # (the centres in [x - 1.5, x + 1.5)), its colour whole without the depth cue
    # (255 * 0.5^(1/2.2), rounded) and dimmer with it.
    theta, distance, width = 0.25, 0.5, 200
    point = [math.sin(distance) * math.sin(theta), 0, -math.sin(distance) * math.cos(theta),
             math.cos(distance)]
    grey = [[0.5, 0.5, 0.5]]
    for angle in [1.0, 1.6]:
        image = orv.render(orv.Observer(), point, colors=grey, size=(width, 100),
                           horizontal_angle=angle, point_size=3, depth_cue=False)
        rows, columns = np.nonzero(image[..., 0])
        x = math.floor((math.tan(theta) / math.tan(angle / 2) + 1) * width / 2)
        assert len(rows) == 9 and set(columns) == {x - 1, x, x + 1}
        assert set(rows) == {48, 49, 50} and (image[rows, columns, :3] == 186).all()
    cued = orv.render(orv.Observer(), point, colors=grey, size=(width, 100), horizontal_angle=1.6,
                      point_size=3)
    assert 0 < cued[..., 0].max() < 186


def test_a_device_that_cannot_be_had_is_refused_saying_why(peer, monkeypatch):
    monkeypatch.setenv("ORV_VULKAN_DEVICE", "no device has this name")
    with pytest.raises(RuntimeError, match=r"^device 'vulkan': .*(no Vulkan device|no device)"):
        orv.render(orv.Observer(), np.zeros((1, 4)), size=(4, 4), device="vulkan")
    with pytest.raises(ValueError, match=r"^device: expected 'cpu' or 'vulkan', got 'gpu'$"):
        orv.render(orv.Observer(), np.zeros((1, 4)), size=(4, 4), device="gpu")


# Each bad argument with the error it raises and a pattern of its message.
BAD_ARGUMENTS = [
    ({"colors": np.ones((2, 3))}, ValueError, r"^colors: expected one colour per point, 3, got 2$"),
    ({"colors": np.ones((3, 3), dtype=np.uint8)}, TypeError, r"^colors: expected floating-point"),
    ({"colors": np.ones((3, 5))}, ValueError, r"^colors: expected shape \(N, 3 or 4\), got \(3, 5"),
    ({"colors": [[1, 1, 1.0], [0, 0, math.nan], [0, 0, 0]]}, ValueError, r"got nan in row 1$"),
    ({"edges": [[0, 3]]}, ValueError, r"^edges: expected indices from 0 to 3 - 1, got 3 in row 0"),
    ({"edges": [[0, 1], [-1, 2]]}, ValueError, r"got -1 in row 1$"),
    ({"edges": [[0.0, 1.0]]}, TypeError, r"^edges: expected integer indices"),
    ({"size": (0, 10)}, ValueError, r"^size: expected \(width, height\), two integers from 1 to "),
    ({"size": (10, 16385)}, ValueError, r"^size: .* got \(10, 16385\)$"),
    ({"size": (10.0, 10)}, TypeError, r"^size: "),
    ({"size": (10, 10, 10)}, TypeError, r"^size: "),
    ({"horizontal_angle": math.pi}, ValueError, r"^horizontal_angle: expected an angle in \(0, pi"),
    ({"horizontal_angle": math.nan}, ValueError, r"^horizontal_angle: .* got nan$"),
    ({"line_width": 0.0}, ValueError, r"^line_width: expected a width in \(0, 16.0\] pixels, got"),
    ({"point_size": 33.0}, ValueError, r"^point_size: expected a size in \(0, 32.0\] pixels for"),
    ({"point_size": 65.0, "edges": [[0, 1]]}, ValueError, r"\[0, 64.0\] pixels, got 65.0$"),
    ({"point_size": 0.0}, ValueError, r"^point_size: "),
]


@pytest.mark.parametrize("changes, error, message", BAD_ARGUMENTS)
def test_bad_render_arguments_are_refused_naming_them(changes, error, message):
    points = np.array([[0, 0, -1, 1], [0.1, 0, -1, 1], [0, 0.1, -1, 1.0]])
    with pytest.raises(error, match=message):
        orv.render(orv.Observer(), points, **changes)


def test_nan_points_are_not_drawn():
    points = np.array([[0, 0, -1, 1], [math.nan, 0, -1, 1], [0.2, 0.1, -1, 1.0]])
    for edges in [None, np.zeros((0, 2), dtype=int)]:
        drawn = orv.render(orv.Observer(), points, edges=edges, size=(64, 36))
        without = orv.render(orv.Observer(), points[[0, 2]], edges=edges, size=(64, 36))
        assert (drawn == without).all() and (drawn[..., 0] > 0).any()


def read_png(path):
    """The pixels of a PNG file of 8-bit RGBA rows that are not filtered, as the example writes."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    chunks, at = {}, 8
    while at < len(data):
        (length,) = struct.unpack(">I", data[at : at + 4])
        kind, body = data[at + 4 : at + 8], data[at + 8 : at + 8 + length]
        (crc,) = struct.unpack(">I", data[at + 8 + length : at + 12 + length])
        assert crc == zlib.crc32(kind + body)
        chunks[kind] = chunks.get(kind, b"") + body
        at += 12 + length
    width, height = struct.unpack(">II", chunks[b"IHDR"][:8])
    rows = np.frombuffer(zlib.decompress(chunks[b"IDAT"]), dtype=np.uint8)
    rows = rows.reshape(height, 1 + 4 * width)
    assert (rows[:, 0] == 0).all()
    return rows[:, 1:].reshape(height, width, 4)


def test_the_example_saves_the_render_as_a_png(tmp_path):
    script = os.path.join(SOURCE_DIR, "examples", "python", "clifford_torus.py")
    out = tmp_path / "torus.png"
    subprocess.run([sys.executable, script, str(out)], check=True, cwd=tmp_path)
    found = importlib.util.spec_from_file_location("clifford_torus", script)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    observer, points, edges, colors = example.scene()
    image = orv.render(observer, points, edges=edges, colors=colors, size=(640, 360), point_size=0)
    assert (read_png(out) == image).all() and (image[..., :3] > 0).any()

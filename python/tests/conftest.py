"""Shared fixtures of the orv module's tests: what the C++ peer program (cxx_peer.cpp, path in
ORV_PYTHON_PEER) computed and rendered through the C++ library, and the observer it used."""

import math
import os
import subprocess

import numpy as np
import pytest

import orv

# The top of orv's source tree.
SOURCE_DIR = os.environ.get("ORV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


class Peer:
    """The arrays the peer wrote: `peer.array(name, dtype, *row_shape)`, or None."""

    def __init__(self, folder):
        self.folder = folder
        missing = folder / "vulkan-missing.txt"
        self.vulkan_missing = missing.read_text().strip() if missing.exists() else None

    def array(self, name, dtype, *row_shape):
        path = self.folder / f"{name}.bin"
        return np.fromfile(path, dtype=dtype).reshape(-1, *row_shape) if path.exists() else None


@pytest.fixture(scope="session")
def peer(tmp_path_factory):
    folder = tmp_path_factory.mktemp("peer")
    subprocess.run([os.environ["ORV_PYTHON_PEER"], str(folder)], check=True)
    return Peer(folder)


def the_observer():
    """The observer of the peer's computations, made through the module by the same calls."""
    o = orv.Observer([0.1, -0.2, 0.3, 1.0], [0, 0, -1, 0], [0.0, 1.0, 0.0, 0.1])
    o.yaw(math.pi / 6)
    o.pitch(math.pi / 9)
    o.move_right(0.15)
    o.move_forward(0.1)
    o.move_up(-0.02)
    o.roll(0.05)
    return o


def bits(values):
    """The bit patterns of float64 values, for comparisons that tell -0.0, 0.0 and NaNs apart."""
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)

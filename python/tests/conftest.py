"""Shared fixtures of the orv module's tests: what the C++ peer program (cxx_peer.cpp, path in
ORV_PYTHON_PEER) computed and rendered through the C++ library, and the observer it used."""

import json
import os
import subprocess

import numpy as np
import pytest

import orv

# The top of orv's source tree.
SOURCE_DIR = os.environ.get("ORV_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


class Peer:
    """The peer's manifest and arrays: `peer.manifest[...]`, `peer.array(name)`."""

    def __init__(self, folder):
        self.folder = folder
        with open(folder / "manifest.json", encoding="utf-8") as f:
            self.manifest = json.load(f)

    def array(self, name):
        spec = self.manifest["arrays"][name]
        values = np.fromfile(self.folder / f"{name}.bin", dtype=np.dtype(spec["dtype"]))
        return values.reshape(spec["shape"])

    def observer(self):
        """The observer the peer built, built again through the module."""
        recipe = self.manifest["observer"]
        o = orv.Observer(recipe["position"], recipe["forward"], recipe["up"])
        for move, angle in recipe["moves"]:
            getattr(o, move)(angle)
        return o


@pytest.fixture(scope="session")
def peer(tmp_path_factory):
    folder = tmp_path_factory.mktemp("peer")
    subprocess.run([os.environ["ORV_PYTHON_PEER"], str(folder)], check=True)
    return Peer(folder)


def bits(values):
    """The bit patterns of float64 values, for comparisons that tell -0.0, 0.0 and NaNs apart."""
    return np.ascontiguousarray(values, dtype=np.float64).view(np.uint64)

"""Times orv's batch operations called from Python against the same C++ calls on the same arrays,
in one run, and prints each ratio (Python / C++: 1.00x is a call that costs nothing over C++).

    /usr/bin/python3 bench/python_bench.py [BUILD_DIR] [--points N] [--repetitions R]

BUILD_DIR is an orv build with the Python module, by default build/bench (`cmake --preset bench &&
cmake --build --preset bench`, optimised). The C++ side is the module's internal orv._orv._timing:
the library calls that orv's functions make, on the same arrays, their outputs allocated
uninitialised (std::make_unique_for_overwrite) as NumPy allocates its arrays, timed in C++ on a
steady clock. The Python side is the call from Python, timed around it with time.perf_counter: argument
checks, output arrays, the GIL released and taken back. Repetitions alternate the two sides, the
garbage collector off, each result freed after its timing; a ratio uses the fastest repetition of
each side, the least disturbed on a shared machine, as bench/run does.
"""

import argparse
import gc
import os
import sys
import time

parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
parser.add_argument(
    "build_dir", nargs="?", default=os.path.join(os.path.dirname(__file__), "..", "build", "bench")
)
parser.add_argument("--points", type=int, default=1_000_000)
parser.add_argument("--repetitions", type=int, default=21)
options = parser.parse_args()
sys.path.insert(0, os.path.join(options.build_dir, "python"))

import numpy as np  # noqa: E402

import orv  # noqa: E402
from orv._orv import _timing  # noqa: E402


def fastest_seconds(from_python, in_cxx):
    """The fastest of the Python call's and of the C++ call's seconds, repetitions interleaved."""
    python, cxx = [], []
    from_python(), in_cxx()  # warm up: pages touched, code loaded
    for _ in range(options.repetitions):
        start = time.perf_counter()
        result = from_python()
        python.append(time.perf_counter() - start)
        del result
        cxx.append(in_cxx())
    return min(python), min(cxx)


points = orv.normalize(np.random.default_rng(1).normal(size=(options.points, 4)))
observer = orv.Observer()
observer.move_forward(0.3)
observer.yaw(0.2)
position = observer.position
facing = orv.face_observer(position, points)
frustum = observer.frustum(1.2, orv.vertical_angle_of_view(1.2, 16 / 9))

# Each operation with its arguments: called through orv, and through _timing.
comparisons = [
    ("fs_distance", (points, position)),
    ("frustum_cull", (frustum, facing)),
    ("sort_by_fs_depth", (position, facing)),
]

gc.disable()
millions = options.points / 1e6
print(f"orv {orv.__version__} from {os.path.dirname(orv.__file__)}, {millions:g}M points, "
      f"fastest of {options.repetitions} repetitions")
for name, arguments in comparisons:
    python, cxx = fastest_seconds(
        lambda: getattr(orv, name)(*arguments), lambda: getattr(_timing, name)(*arguments)
    )
    print(
        f"RATIO {python / cxx:5.2f}x  <=1.10x  {name}, {millions:g}M points, from Python / the same"
        f" C++ call  ({python * 1e3:.2f} ms / {cxx * 1e3:.2f} ms)"
    )
# What the one conversion of points that are not float64 costs.
single = points.astype(np.float32)
python, cxx = fastest_seconds(
    lambda: orv.fs_distance(single, position), lambda: _timing.fs_distance(points, position)
)
print(
    f"RATIO {python / cxx:5.2f}x  info     fs_distance, {millions:g}M float32 points converted,"
    f" from Python / the C++ call on float64  ({python * 1e3:.2f} ms / {cxx * 1e3:.2f} ms)"
)

"""What the module does with the arguments it is given: float64 arrays read in place, others
converted, bad ones refused naming the argument; NaN and empty arrays as documented."""

import math
import tracemalloc

import numpy as np
import pytest

import orv
from conftest import bits

N = 50_000
ORIGIN = np.array([0.0, 0.0, 0.0, 1.0])


def calls(points):
    """Each batch operation on `points`, with the bytes its own result takes."""
    frustum = orv.Observer().frustum(1.0, 1.0)
    n = len(points)
    return {
        "fs_distance": (lambda: orv.fs_distance(points, ORIGIN), 8 * n),
        "is_same_point": (lambda: orv.is_same_point(ORIGIN, points), n),
        "normalize": (lambda: orv.normalize(points), 32 * n),
        "face_observer": (lambda: orv.face_observer(ORIGIN, points), 32 * n),
        "frustum_cull": (lambda: orv.frustum_cull(frustum, points), n),
        "sort_by_fs_depth": (lambda: orv.sort_by_fs_depth(ORIGIN, points), 8 * n),
    }


def peak_bytes(call):
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_float64_points_are_read_in_place_and_others_converted_once():
    # NumPy reports the memory of its arrays to tracemalloc: beyond its own result a call takes
    # nothing for float64 points in C order, and one converted copy of float32 points.
    points = np.random.default_rng(3).normal(size=(N, 4))
    single = points.astype(np.float32)
    slack = 16 * 1024
    for name, (call, result_bytes) in calls(points).items():
        assert peak_bytes(call) <= result_bytes + slack, name
    for name, (call, result_bytes) in calls(single).items():
        assert peak_bytes(call) >= result_bytes + 32 * N, name


@pytest.mark.parametrize(
    "bad, error, words",
    [
        (np.zeros((3, 4), dtype=np.complex128), TypeError, "got dtype complex128"),
        (np.zeros((3, 4), dtype=bool), TypeError, "got dtype bool"),
        ([["a", "b", "c", "d"]], TypeError, "got list of dtype <U1"),
        (None, TypeError, "got NoneType of dtype object"),
        ([[1, 2], [3]], TypeError, "got list, of which NumPy makes no array"),
        (np.zeros(3), ValueError, "expected shape (N, 4) or (4,), got (3,)"),
        (np.zeros((2, 3)), ValueError, "got (2, 3)"),
        (np.zeros((2, 4, 1)), ValueError, "got (2, 4, 1)"),
        (np.float64(1.0), ValueError, "got ()"),
    ],
)
def test_bad_points_are_refused_naming_the_argument(bad, error, words):
    with pytest.raises(error) as raised:
        orv.normalize(bad)
    assert str(raised.value).startswith("points: expected ") and words in str(raised.value)


def test_bad_arguments_of_pairs_positions_and_observers_are_refused():
    with pytest.raises(ValueError, match=r"^a and b: .* got 3 and 2$"):
        orv.fs_distance(np.zeros((3, 4)), np.zeros((2, 4)))
    with pytest.raises(TypeError, match=r"^b: expected real numbers"):
        orv.is_same_point(ORIGIN, "abcd")
    with pytest.raises(ValueError, match=r"^position: expected one point, shape \(4,\), got \(1,"):
        orv.sort_by_fs_depth(ORIGIN[None], np.zeros((2, 4)))
    with pytest.raises(ValueError, match=r"^points: expected shape \(N, 4\), got \(4,\)"):
        orv.sort_by_fs_depth(ORIGIN, ORIGIN)
    with pytest.raises(ValueError, match="^Observer: a coordinate .* is infinite or NaN$"):
        orv.Observer([0, 0, 0, math.nan])
    with pytest.raises(ValueError, match="^Observer: the observer's up is zero or in the plane"):
        orv.Observer(up=[0, 0, 2, 1])
    with pytest.raises(ValueError, match=r"^up: expected shape"):
        orv.Observer(up=[0, 1, 0])


def test_nan_points_give_the_documented_results():
    nan = math.nan
    points = np.array([[nan, 0, 0, 1], [0, 0, 0.5, 1], [0, 0, 0, 0]])
    distances = orv.fs_distance(ORIGIN, points)
    assert distances[0] == 0.0 and distances[2] == 0.0 and distances[1] > 0.0
    assert np.isnan(orv.normalize(points[0])).all()
    assert (orv.normalize(points[2]) == ORIGIN).all()
    assert not orv.is_same_point(points[0], points[0])
    assert orv.is_same_point(points[1], -3 * points[1])
    # A NaN product keeps the point; a NaN point is outside every frustum.
    assert (bits(orv.face_observer([nan, 0, 0, 1], -points[1])) == bits(-points[1])).all()
    looking_at_them = orv.Observer(forward=[0, 0, 1, 0]).frustum(2.0, 2.0)
    assert (orv.frustum_cull(looking_at_them, points) == [False, True, True]).all()
    # Distances of 0 (the NaN and the zero vector) come last, nearest, in input order.
    indices, _ = orv.sort_by_fs_depth(ORIGIN, points)
    assert indices.tolist() == [1, 0, 2]
    # The observer's moves ignore a NaN angle.
    o = orv.Observer()
    o.move_forward(nan)
    assert (bits(o.position) == bits(ORIGIN)).all()


def test_empty_point_arrays_give_empty_results():
    empty = np.zeros((0, 4))
    frustum = orv.Observer().frustum(1.0, 1.0)
    for result, dtype in [
        (orv.fs_distance(empty, ORIGIN), np.float64),
        (orv.fs_distance(empty, empty), np.float64),
        (orv.is_same_point(empty, ORIGIN), np.bool_),
        (orv.frustum_cull(frustum, empty), np.bool_),
        *zip(orv.sort_by_fs_depth(ORIGIN, empty), [np.int64, np.float64]),
    ]:
        assert result.shape == (0,) and result.dtype == dtype
    assert orv.normalize(empty).shape == (0, 4)
    assert orv.face_observer(ORIGIN, empty).shape == (0, 4)
    image = orv.render(orv.Observer(), empty, size=(8, 4))
    assert (image == [0, 0, 0, 255]).all()

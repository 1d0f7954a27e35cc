"""The module's geometry against the C++ library's on shared vectors: the same bits, masks and
orders, whatever layout and dtype the points come in."""

import copy

import numpy as np

import orv
from conftest import bits, the_observer

F8 = np.float64


def test_observer_frame_view_and_frustum_are_the_cxx_bits(peer):
    o = the_observer()
    frame = peer.array("frame", F8, 4)
    for row, vector in enumerate([o.position, o.forward, o.up, o.right]):
        assert (bits(vector) == bits(frame[row])).all(), row
    assert (bits(o.view) == bits(peer.array("view", F8, 4))).all()
    vertical = orv.vertical_angle_of_view(1.2, 16 / 9)
    assert bits(vertical) == bits(peer.array("vertical", F8)[0])
    frustum = o.frustum(1.2, vertical, 0.02, 1.4)
    assert (bits(frustum.planes) == bits(peer.array("planes", F8, 4))).all()
    assert (frustum.near, frustum.far) == (0.02, 1.4)
    assert (bits(frustum.observer) == bits(o.position)).all()
    # A copy is an observer of its own; the same moves give both the same frame.
    twin = copy.copy(o)
    twin.yaw(0.25)
    assert not (twin.forward == o.forward).all()
    o.yaw(0.25)
    assert (bits(twin.forward) == bits(o.forward)).all()


def test_batch_operations_are_the_cxx_results(peer):
    o = the_observer()
    points, others = peer.array("points", F8, 4), peer.array("others", F8, 4)
    distances, pair_distances = peer.array("distances", F8), peer.array("pair_distances", F8)
    facing = orv.face_observer(o.position, points)
    assert (bits(orv.fs_distance(o.position, points)) == bits(distances)).all()
    assert (bits(orv.fs_distance(points, o.position)) == bits(distances)).all()
    assert (bits(orv.fs_distance(points, others)) == bits(pair_distances)).all()
    assert all(
        bits(orv.fs_distance(points[i], others[i])) == bits(pair_distances[i])
        for i in range(len(points))
    )
    same = orv.is_same_point(points, others)
    assert same.dtype == np.bool_ and (same == peer.array("same", np.uint8)).all()
    assert same.any() and not same.all()
    assert (bits(orv.normalize(points)) == bits(peer.array("normalized", F8, 4))).all()
    assert (bits(facing) == bits(peer.array("facing", F8, 4))).all()
    frustum = o.frustum(1.2, orv.vertical_angle_of_view(1.2, 16 / 9), 0.02, 1.4)
    mask = orv.frustum_cull(frustum, facing)
    assert mask.dtype == np.bool_ and (mask == peer.array("mask", np.uint8)).all()
    assert mask.any() and not mask.all()
    indices, sorted_distances = orv.sort_by_fs_depth(o.position, facing)
    assert indices.dtype == np.int64 and (indices == peer.array("order", np.uint64)).all()
    assert (bits(sorted_distances) == bits(peer.array("sorted_distances", F8))).all()


def test_visible_indices_are_the_facing_points_the_frustum_keeps():
    # Random points, and points square to an observer at the origin (w = 0) given with either
    # sign: face_observer with the position alone keeps their sign, visible_indices the one ahead.
    rng = np.random.default_rng(5)
    points = rng.normal(size=(3001, 4))
    points[::3, 3] = 0.0
    points[1::6] *= -1
    for o in [the_observer(), orv.Observer()]:
        frustum = o.frustum(1.2, 0.8)
        indices, visible = orv.visible_indices(frustum, points)
        assert indices.dtype == np.uint32 and visible.shape == (len(indices), 4)
        facing = orv.face_observer(o.position, points)
        square = (facing @ o.position == 0) & (facing @ o.forward < 0)
        ahead = np.where(square[:, None], -facing, facing)
        expected = np.flatnonzero(orv.frustum_cull(frustum, ahead))
        assert 100 < len(expected) < len(points) and (indices == expected).all()
        assert (bits(visible) == bits(ahead[expected])).all()
    assert [len(a) for a in orv.visible_indices(frustum, points[:0])] == [0, 0]


def test_converted_and_strided_points_give_the_same_results(peer):
    o = the_observer()
    points = peer.array("points", F8, 4)
    distances = peer.array("distances", F8)
    fortran = np.asfortranarray(points)
    swapped = points.astype(points.dtype.newbyteorder())
    for converted in [fortran, swapped, points.tolist()]:
        assert (bits(orv.fs_distance(o.position, converted)) == bits(distances)).all()
    # Every other point, and the points read backwards: views whose rows are not consecutive.
    assert (bits(orv.fs_distance(o.position, points[::2])) == bits(distances[::2])).all()
    normalized = peer.array("normalized", F8, 4)
    assert (bits(orv.normalize(points[::-1])) == bits(normalized[::-1])).all()
    # float32 and integers are converted exactly.
    small = np.array([[1, 2, 2, 4], [0, 0, 3, 4]], dtype=np.int16)
    assert (bits(orv.normalize(small)) == bits(orv.normalize(small.astype(np.float64)))).all()
    assert orv.fs_distance(np.float32([0, 0, 0, 1]), [0, 0, 0, -2]) == 0.0

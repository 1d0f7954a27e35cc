"""The module's geometry against the C++ library's on shared vectors: the same bits, masks and
orders, whatever layout and dtype the points come in."""

import copy

import numpy as np

import orv
from conftest import bits


def test_observer_frame_view_and_frustum_are_the_cxx_bits(peer):
    o = peer.observer()
    frame = peer.array("frame")
    for row, vector in enumerate([o.position, o.forward, o.up, o.right]):
        assert (bits(vector) == bits(frame[row])).all(), row
    assert (bits(o.view) == bits(peer.array("view"))).all()
    horizontal, vertical, near, far = peer.manifest["frustum"]
    assert orv.vertical_angle_of_view(horizontal, peer.manifest["aspect"]) == vertical
    frustum = o.frustum(horizontal, vertical, near, far)
    assert (bits(frustum.planes) == bits(peer.array("planes"))).all()
    assert (frustum.near, frustum.far) == (near, far)
    assert (bits(frustum.observer) == bits(o.position)).all()
    # A copy is an observer of its own; the same moves give both the same frame.
    twin = copy.copy(o)
    twin.yaw(0.25)
    assert not (twin.forward == o.forward).all()
    o.yaw(0.25)
    assert (bits(twin.forward) == bits(o.forward)).all()


def test_batch_operations_are_the_cxx_results(peer):
    o = peer.observer()
    points, others = peer.array("points"), peer.array("others")
    facing = orv.face_observer(o.position, points)
    assert (bits(orv.fs_distance(o.position, points)) == bits(peer.array("distances"))).all()
    assert (bits(orv.fs_distance(points, o.position)) == bits(peer.array("distances"))).all()
    pair_distances = peer.array("pair_distances")
    assert (bits(orv.fs_distance(points, others)) == bits(pair_distances)).all()
    assert all(
        bits(orv.fs_distance(points[i], others[i])) == bits(pair_distances[i])
        for i in range(len(points))
    )
    same = orv.is_same_point(points, others, tol=peer.manifest["tol"])
    assert same.dtype == np.bool_ and (same == peer.array("same").astype(bool)).all()
    assert same.any() and not same.all()
    assert (bits(orv.normalize(points)) == bits(peer.array("normalized"))).all()
    assert (bits(facing) == bits(peer.array("facing"))).all()
    horizontal, vertical, near, far = peer.manifest["frustum"]
    mask = orv.frustum_cull(o.frustum(horizontal, vertical, near, far), facing)
    assert mask.dtype == np.bool_ and (mask == peer.array("mask").astype(bool)).all()
    assert mask.any() and not mask.all()
    indices, distances = orv.sort_by_fs_depth(o.position, facing)
    assert indices.dtype == np.int64 and (indices == peer.array("order")).all()
    assert (bits(distances) == bits(peer.array("sorted_distances"))).all()


def test_converted_and_strided_points_give_the_same_results(peer):
    o = peer.observer()
    points = peer.array("points")
    distances = peer.array("distances")
    fortran = np.asfortranarray(points)
    swapped = points.astype(points.dtype.newbyteorder())
    for converted in [fortran, swapped, points.tolist()]:
        assert (bits(orv.fs_distance(o.position, converted)) == bits(distances)).all()
    # Every other point, and the points read backwards: views whose rows are not consecutive.
    assert (bits(orv.fs_distance(o.position, points[::2])) == bits(distances[::2])).all()
    assert (bits(orv.normalize(points[::-1])) == bits(peer.array("normalized")[::-1])).all()
    # float32 and integers are converted exactly.
    small = np.array([[1, 2, 2, 4], [0, 0, 3, 4]], dtype=np.int16)
    assert (bits(orv.normalize(small)) == bits(orv.normalize(small.astype(np.float64)))).all()
    assert orv.fs_distance(np.float32([0, 0, 0, 1]), [0, 0, 0, -2]) == 0.0

"""orv: points of real projective 3-space as homogeneous 4-vectors on the unit 3-sphere, a vector
and its negation one point; Fubini-Study distances; an observer with its frustum; culling, depth
sorting and rendering on NumPy arrays, by the C++ library orv."""

from ._orv import (
    Frustum,
    Observer,
    __version__,
    face_observer,
    frustum_cull,
    fs_distance,
    is_same_point,
    normalize,
    render,
    sort_by_fs_depth,
    vertical_angle_of_view,
    visible_indices,
)

__all__ = [
    "Frustum",
    "Observer",
    "face_observer",
    "frustum_cull",
    "fs_distance",
    "is_same_point",
    "normalize",
    "render",
    "sort_by_fs_depth",
    "vertical_angle_of_view",
    "visible_indices",
]

"""Periodic boundaries: groups made whole before they are reduced, and contact lines drawn to the
nearest image of the other end.
"""
import numpy as np

from .frames import AXES


def make_whole(positions, anchor, box):
    """Each position moved by whole box vectors to the image nearest its anchor's position.

    `anchor` gives, for each row, the row it is unwrapped about (the group's parent particle; itself
    for a particle alone). Only periodic directions move. A row that is not moved keeps its bits.
    """
    shifts = box.shifts(positions - positions[anchor])
    moved = shifts.any(axis=1)
    whole = positions.copy()
    whole[moved] += box.along_edges(shifts[moved])
    return whole


def whole_groups(positions, anchor, element, groups, box, whole, limit=0.5):
    """`make_whole`'s positions written into `whole` (C-contiguous float64); returns the groups whose
    members, made whole about the anchor, still span more than `limit` of the box in a periodic
    direction: [(group, direction, span in box lengths)], widest first. Each anchor row is its own
    anchor (a parent)."""
    from . import _groups
    if not whole.flags.c_contiguous or whole.dtype != np.float64:
        raise ValueError("whole_groups: `whole` must be C-contiguous float64, to be written in place")
    element = np.ascontiguousarray(element, dtype=np.int32)
    bottom, top = np.full((3, groups), np.inf), np.full((3, groups), -np.inf)
    if box.triclinic:
        whole[...] = make_whole(positions, anchor, box)
        fractions = box.widths(whole - whole[anchor])
        for axis in np.flatnonzero(box.periodic):
            _groups.group_extents(element, np.ascontiguousarray(fractions[:, axis]), bottom[axis], top[axis])
    else:
        # Orthogonal (the usual box): one native pass, which makes no temporaries of n rows.
        low, high = np.full((groups, 3), np.inf), np.full((groups, 3), -np.inf)
        _groups.whole_about_anchors(np.ascontiguousarray(positions, dtype=np.float64).reshape(-1),
                                    np.ascontiguousarray(anchor, dtype=np.int64), element,
                                    np.ascontiguousarray(np.diag(box.edges)), tuple(map(bool, box.periodic)),
                                    whole.reshape(-1), low.reshape(-1), high.reshape(-1))
        bottom, top = low.T, high.T
    span = top - bottom
    found = [(int(group), AXES[axis], float(span[axis, group])) for axis in np.flatnonzero(box.periodic)
             for group in np.flatnonzero(span[axis] > limit)]
    return sorted(found, key=lambda item: -item[2])


def line_images(points, lines, box):
    """Contact lines joined to the nearest periodic image of their second end.

    `lines` (L, 2) are point indexes. Returns (lines, image points (K, 3), image_of (K,)): a line
    whose second end is nearer through a boundary ends at an image point appended after the
    existing points; each image point is made once per (point, shift).
    """
    if box is None or not box.any_periodic or not len(lines):
        return lines, np.zeros((0, 3)), np.zeros(0, np.int64)
    shifts = box.shifts(points[lines[:, 1]] - points[lines[:, 0]])
    crossing = np.flatnonzero(shifts.any(axis=1))
    if not len(crossing):
        return lines, np.zeros((0, 3)), np.zeros(0, np.int64)
    keys = np.column_stack([lines[crossing, 1], shifts[crossing].astype(np.int64)])
    unique, first, inverse = np.unique(keys, axis=0, return_index=True, return_inverse=True)
    # Image points in the order their lines come, so the file does not depend on np.unique's order.
    order = np.argsort(first, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    unique = unique[order]
    image_of = unique[:, 0]
    images = points[image_of] + box.along_edges(unique[:, 1:])
    lines = lines.copy()
    lines[crossing, 1] = len(points) + rank[inverse.reshape(-1)]
    return lines, images, image_of

"""Where a report looks from: one camera rule for BCF viewpoints, their snapshots and the HTML view."""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

FIELD_OF_VIEW = 60.0          # vertical, degrees
_MARGIN = 1.1                 # the fitted sphere fills 1/1.1 of the half height
_FALLBACK = np.array([1.0, -1.0, 1.0]) / math.sqrt(3.0)   # from south-east, above
_Z = np.array([0.0, 0.0, 1.0])
_LOWEST, _HIGHEST = math.radians(25), math.radians(65)    # elevation of the view, either sign


@dataclass(frozen=True)
class View:
    position: np.ndarray      # camera point
    direction: np.ndarray     # unit, from the camera towards the target
    up: np.ndarray            # unit, orthogonal to direction
    target: np.ndarray        # the point looked at
    radius: float             # the region in view lies within this distance of target
    fov: float = FIELD_OF_VIEW


@dataclass(frozen=True)
class Views:
    """Many views as rows: ``position``, ``direction``, ``up``, ``target`` (n, 3), ``radius`` (n,)."""
    position: np.ndarray
    direction: np.ndarray
    up: np.ndarray
    target: np.ndarray
    radius: np.ndarray
    fov: float = FIELD_OF_VIEW

    def __getitem__(self, i) -> View:
        return View(self.position[i], self.direction[i], self.up[i], self.target[i],
                    float(self.radius[i]), self.fov)


def view_of(clashes, boxes) -> View:
    """``view_for`` the clashes' contact points (non-finite ones left out), looking at their
    mean."""
    points = np.array([p for c in clashes for p in (c.point_a, c.point_b)], np.float64)
    return views_of(points.reshape(1, -1, 3), _stack([boxes]))[0]


def views_of(points, boxes) -> Views:
    """``views_for`` each row's contact ``points`` ((n, p, 3); non-finite rows are left out),
    looking at their mean (the origin when none is finite)."""
    points = np.asarray(points, dtype=np.float64)
    usable = np.isfinite(points).all(axis=2)
    count = usable.sum(axis=1)[:, None]
    total = np.where(usable[..., None], points, 0.0).sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        targets = np.where(count > 0, total / count, 0.0)
    return views_for(targets, boxes, points)


def view_for(target, boxes, points=()) -> View:
    """The one view of ``views_for``: ``boxes`` a list of (2, 3) boxes or None."""
    points = np.asarray(points, dtype=np.float64).reshape(1, -1, 3)
    return views_for(np.asarray(target, dtype=np.float64).reshape(1, 3), _stack([boxes]), points)[0]


def _stack(rows) -> np.ndarray:
    """Lists of (2, 3) boxes or None as one (n, k, 2, 3) array, absent ones NaN."""
    k = max(1, max(map(len, rows), default=0))
    out = np.full((len(rows), k, 2, 3), np.nan)
    for i, row in enumerate(rows):
        for j, b in enumerate(row):
            if b is not None:
                out[i, j] = np.asarray(b, dtype=np.float64).reshape(2, 3)
    return out


def views_for(targets, boxes, points) -> Views:
    """Per row, the camera that looks at ``targets[i]`` (the clash point) from outside the
    boxes ``boxes[i]`` ((n, k, 2, 3): min and max corner of the two clashing objects, or of a
    group's; a box with a non-finite or inverted corner is absent) so that the clash points
    ``points[i]`` ((n, p, 3), non-finite ones absent) and the objects around them are in view.

    Rule:
    - Region in view: each box cut to the cube of half-size L around the target, where L is
      4 times the largest dimension of the smallest box, and at least 1.5 times the largest
      distance from the target to a clash point. A pipe touching a slab thus shows the pipe
      and the slab around it rather than the whole slab with the pipe as a dot. R is the
      largest distance from the target to a corner of the cut boxes (1 model unit without
      boxes).
    - Direction: each box gives an outward direction, the unit vector from its centre to the
      target (a centre within R/20 of the target gives a shorter one in proportion). The
      camera looks from the sum of these (for two objects the bisector), so that it faces the
      sides where the objects stick out of each other rather than looking through one of them.
      The sum loses its part along the long axis of every elongated box (longest side at least
      3 times the next) whose ends are both farther than that next side from the target, so
      that a pipe, beam or duct is seen from the side, not end-on, unless the clash is at its
      end.
      When what is left is short (objects on opposite sides of the target, or centred on it)
      the fallback direction (1, -1, 1) is used, from below (z = -1) if what was left points
      down, with its part along the line between the first and the last box centre removed,
      so that neither object hides the other. Finally the elevation is clamped to 25..65
      degrees above or below the horizon (above when level): a raised view separates objects
      that overlap in plan, and "up" stays defined.
    - Distance: 1.1 R / sin(30 degrees) = 2.2 R from the target, so that the sphere of radius R
      around the target fits in the 60 degree vertical field of view (wider horizontally);
      moved further back along the same line while that point is inside one of the
      (uncut) boxes, so that the camera is outside every box.
    - The up vector is world z made orthogonal to the view direction.
    """
    targets = np.asarray(targets, dtype=np.float64).reshape(-1, 3)
    n = len(targets)
    if n == 0:                      # a report without clashes
        empty = np.empty((0, 3))
        return Views(empty, empty, empty, empty, np.empty(0))
    boxes = np.asarray(boxes, dtype=np.float64).reshape(n, -1, 2, 3)
    points = np.asarray(points, dtype=np.float64).reshape(n, -1, 3)
    has = np.isfinite(boxes).all(axis=(2, 3)) & (boxes[:, :, 0] <= boxes[:, :, 1]).all(axis=2)
    boxes = np.where(has[..., None, None], boxes, 0.0)
    lo, hi = boxes[:, :, 0], boxes[:, :, 1]
    t = targets[:, None]

    usable = np.isfinite(points).all(axis=2)
    offsets = np.where(usable[..., None], points - t, 0.0)
    spread = np.sqrt((offsets * offsets).sum(axis=2)).max(axis=1, initial=0.0)
    size = hi - lo
    smallest = np.where(has, size.max(axis=2), np.inf).min(axis=1, initial=np.inf)
    half = np.maximum(4 * np.where(np.isfinite(smallest), smallest, 0.0), 1.5 * spread)[:, None, None]
    cut = np.abs(np.clip(boxes, t[:, :, None] - half[..., None], t[:, :, None] + half[..., None])
                 - t[:, :, None]).max(axis=2)
    radius = np.where(has, np.sqrt((cut * cut).sum(axis=2)), 0.0).max(axis=1, initial=0.0)
    radius = np.where((radius > 0) & np.isfinite(radius), radius, 1.0)

    centres = (lo + hi) / 2
    d = t - centres
    step = d / np.maximum(np.sqrt((d * d).sum(axis=2)), 0.05 * radius[:, None])[..., None]
    outward = np.zeros((n, 3))
    for j in range(boxes.shape[1]):                 # summed in box order
        outward += np.where(has[:, j, None], step[:, j], 0.0)
    ranked = np.argsort(size, axis=2)
    longest, middle = ranked[:, :, 2:], ranked[:, :, 1:2]

    def along(a, axis):
        return np.take_along_axis(np.broadcast_to(a, size.shape), axis, axis=2)[..., 0]

    s_long, s_mid, t_long = along(size, longest), along(size, middle), along(t, longest)
    elongated = has & (s_long >= 3 * s_mid) & (along(lo, longest) + s_mid < t_long) \
        & (t_long < along(hi, longest) - s_mid)
    for j in range(boxes.shape[1]):
        rows = np.flatnonzero(elongated[:, j])
        outward[rows, longest[rows, j, 0]] = 0

    short = np.sqrt((outward * outward).sum(axis=1)) < 0.25
    if short.any():
        fallback = _FALLBACK * np.where(outward[:, 2:] < 0, [1, 1, -1], [1, 1, 1])
        first = has.argmax(axis=1)
        last = boxes.shape[1] - 1 - has[:, ::-1].argmax(axis=1)
        axis = centres[np.arange(n), last] - centres[np.arange(n), first]
        length = np.sqrt((axis * axis).sum(axis=1))
        apart = (has.sum(axis=1) >= 2) & (length > 1e-9 * radius)
        with np.errstate(invalid="ignore", divide="ignore"):
            axis = axis / length[:, None]
        fallback = np.where(apart[:, None],
                            fallback - axis * (fallback * axis).sum(axis=1)[:, None], fallback)
        outward = np.where(short[:, None], fallback, outward)
    horizontal = np.hypot(outward[:, 0], outward[:, 1])
    level = horizontal > 1e-9
    with np.errstate(invalid="ignore", divide="ignore"):
        azimuth = np.where(level[:, None], outward[:, :2] / horizontal[:, None],
                           _FALLBACK[:2] / math.sqrt(2 / 3))
    elevation = np.arctan2(outward[:, 2], horizontal)
    elevation = np.copysign(np.clip(np.abs(elevation), _LOWEST, _HIGHEST), elevation)
    outward = np.concatenate([azimuth * np.cos(elevation)[:, None], np.sin(elevation)[:, None]],
                             axis=1)

    distance = _MARGIN * radius / math.sin(math.radians(FIELD_OF_VIEW / 2))
    enter, leave = _ray_spans(targets, outward, lo, hi, has)
    order = np.lexsort((leave, enter), axis=1)
    enter = np.take_along_axis(enter, order, axis=1)
    leave = np.take_along_axis(leave, order, axis=1)
    for j in range(boxes.shape[1]):                 # entered in order along the ray
        inside = (enter[:, j] <= distance) & (distance <= leave[:, j])
        distance = np.where(inside, leave[:, j] + 0.02 * radius, distance)
    direction = -outward
    up = _Z - direction * direction[:, 2:]
    up /= np.sqrt((up * up).sum(axis=1))[:, None]
    return Views(targets + outward * distance[:, None], direction, up, targets, radius)


def _ray_spans(origin, direction, lo, hi, has):
    """(enter, leave), each (n, k), of the ray origin + t direction through each box; both
    infinite where the ray misses the box or the box is absent."""
    o, d = origin[:, None], direction[:, None]
    with np.errstate(divide="ignore", invalid="ignore"):
        t0, t1 = (lo - o) / d, (hi - o) / d
    near, far = np.minimum(t0, t1), np.maximum(t0, t1)
    flat = np.broadcast_to(d == 0, lo.shape)       # parallel to the slab: in it for all t, or never
    inside = (lo <= o) & (o <= hi)
    near = np.where(flat, np.where(inside, -np.inf, np.inf), near)
    far = np.where(flat, np.where(inside, np.inf, -np.inf), far)
    enter, leave = near.max(axis=2), far.min(axis=2)
    meets = has & (enter <= leave)
    return np.where(meets, enter, np.inf), np.where(meets, leave, np.inf)

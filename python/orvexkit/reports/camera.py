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


def view_of(clashes, boxes) -> View:
    """``view_for`` the clashes' contact points (non-finite ones left out), looking at their
    mean."""
    points = np.array([p for c in clashes for p in (c.point_a, c.point_b)], np.float64)
    points = points[np.isfinite(points).all(axis=1)]
    return view_for(points.mean(axis=0) if len(points) else np.zeros(3), boxes, points)


def view_for(target, boxes, points=()) -> View:
    """The camera that looks at ``target`` (the clash point) from outside the ``boxes``
    ((2, 3) arrays, min and max corner: the two clashing objects', or a group's) so that the
    clash ``points`` and the objects around them are in view.

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
    target = np.asarray(target, dtype=np.float64)
    boxes = [np.asarray(b, dtype=np.float64) for b in boxes if b is not None]
    points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    spread = float(np.linalg.norm(points - target, axis=1).max()) if len(points) else 0.0
    half = max(4 * min((float((b[1] - b[0]).max()) for b in boxes), default=0.0), 1.5 * spread)
    radius = 0.0
    for b in boxes:      # the farthest corner of the cut box, axis by axis
        cut = np.abs(np.clip(b, target - half, target + half) - target).max(axis=0)
        radius = max(radius, math.sqrt(cut @ cut))
    if not radius > 0 or not math.isfinite(radius):
        radius = 1.0

    centres = [b.mean(axis=0) for b in boxes]
    outward = np.zeros(3)
    for c in centres:
        d = target - c
        outward += d / max(np.linalg.norm(d), 0.05 * radius)
    for b in boxes:
        size = b[1] - b[0]
        longest, middle = np.argsort(size)[::-1][:2]
        if (size[longest] >= 3 * size[middle]
                and b[0][longest] + size[middle] < target[longest] < b[1][longest] - size[middle]):
            outward[longest] = 0
    if np.linalg.norm(outward) < 0.25:
        outward = _FALLBACK * [1, 1, -1 if outward[2] < 0 else 1]
        if len(centres) >= 2:
            axis = centres[-1] - centres[0]
            n = np.linalg.norm(axis)
            if n > 1e-9 * radius:
                axis /= n
                outward -= axis * (outward @ axis)
    horizontal = np.hypot(outward[0], outward[1])
    azimuth = outward[:2] / horizontal if horizontal > 1e-9 else _FALLBACK[:2] / math.sqrt(2 / 3)
    elevation = math.atan2(outward[2], horizontal)
    elevation = math.copysign(min(max(abs(elevation), _LOWEST), _HIGHEST), elevation)
    outward = np.array([*(azimuth * math.cos(elevation)), math.sin(elevation)])

    distance = _MARGIN * radius / math.sin(math.radians(FIELD_OF_VIEW / 2))
    for enter, leave in sorted(_ray_spans(target, outward, boxes)):
        if enter <= distance <= leave:
            distance = leave + 0.02 * radius
    direction = -outward
    up = _Z - direction * (_Z @ direction)
    up /= np.linalg.norm(up)
    return View(target + outward * distance, direction, up, target, radius)


def _ray_spans(origin, direction, boxes):
    """(enter, leave) parameters of the ray origin + t direction through each box it meets."""
    with np.errstate(divide="ignore", invalid="ignore"):
        for b in boxes:
            t0 = (b[0] - origin) / direction
            t1 = (b[1] - origin) / direction
            lo, hi = np.minimum(t0, t1), np.maximum(t0, t1)
            flat = direction == 0           # parallel to the slab: in it for all t, or never
            inside = (b[0] <= origin) & (origin <= b[1])
            lo[flat] = np.where(inside[flat], -np.inf, np.inf)
            hi[flat] = np.where(inside[flat], np.inf, -np.inf)
            enter, leave = lo.max(), hi.min()
            if enter <= leave:
                yield float(enter), float(leave)

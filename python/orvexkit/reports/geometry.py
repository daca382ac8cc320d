"""Where the writers get meshes from: the ``GeometrySource`` protocol and an in-memory source."""
from __future__ import annotations

import math
from typing import Protocol

import numpy as np

ObjectId = tuple[str, str]   # (model, key)


class GeometrySource(Protocol):
    def mesh(self, model: str, key: str) -> tuple[np.ndarray, np.ndarray]:
        """Vertices (n, 3) float32 and triangles (m, 3) uint32 in model units; KeyError if absent."""

    def bounds(self, model: str, key: str) -> np.ndarray:
        """The object's box as (2, 3) float32: minimum corner, maximum corner."""

    def near(self, point, radius: float, limit: int) -> list[ObjectId]:
        """(model, key) of at most ``limit`` objects whose boxes come within ``radius`` of
        ``point``, nearest first."""


class DictGeometry:
    """A ``GeometrySource`` over ``{(model, key): (vertices, triangles)}``, for tests and scripts.

    ``near`` is a linear scan over the boxes: fine for thousands of objects, not for a building.
    """

    def __init__(self, meshes):
        self.meshes = {}
        for (model, key), (vertices, triangles) in meshes.items():
            v = np.ascontiguousarray(vertices, dtype=np.float32).reshape(-1, 3)
            t = np.ascontiguousarray(triangles, dtype=np.int64).reshape(-1, 3)
            if t.size and (t.min() < 0 or t.max() >= len(v)):
                raise ValueError(f"{model}/{key}: triangle index outside the {len(v)} vertices")
            self.meshes[(model, key)] = (v, t.astype(np.uint32))
        self._ids = list(self.meshes)
        self._index = {obj: i for i, obj in enumerate(self._ids)}
        boxes = np.full((len(self._ids), 2, 3), np.nan)
        for i, (v, _) in enumerate(self.meshes.values()):
            if len(v):
                boxes[i] = v.min(axis=0), v.max(axis=0)
        self._boxes = boxes

    def mesh(self, model, key):
        return self.meshes[(model, key)]

    def bounds(self, model, key):
        return self._boxes[self._index[(model, key)]].astype(np.float32)

    def near(self, point, radius, limit):
        p = np.asarray(point, dtype=np.float64)
        outside = np.maximum(self._boxes[:, 0] - p, 0) + np.maximum(p - self._boxes[:, 1], 0)
        dist = np.sqrt((outside ** 2).sum(axis=1))
        close = np.flatnonzero(dist <= radius)       # NaN (objects without vertices) is not
        order = close[np.argsort(dist[close], kind="stable")]
        return [self._ids[i] for i in order[:max(limit, 0)]]


class SceneCache:
    """Meshes and boxes fetched once per object, checked so that nothing downstream can index
    out of bounds or draw NaN.

    An object the source does not know (``LookupError``) or returns in an unusable shape is
    absent (None); triangles that reference a missing or non-finite vertex are dropped.
    """

    def __init__(self, geometry: GeometrySource):
        self.geometry = geometry
        self.meshes: dict[ObjectId, tuple[np.ndarray, np.ndarray] | None] = {}
        self._boxes: dict[ObjectId, np.ndarray | None] = {}

    def mesh(self, obj: ObjectId):
        if obj not in self.meshes:
            self.meshes[obj] = self._fetch_mesh(obj)
        return self.meshes[obj]

    def _fetch_mesh(self, obj):
        try:
            vertices, triangles = self.geometry.mesh(*obj)
            v = np.asarray(vertices, dtype=np.float32).reshape(-1, 3)
            t = np.asarray(triangles).astype(np.int64, copy=False).reshape(-1, 3)
        except (LookupError, ValueError, TypeError):
            return None
        finite = np.isfinite(v).all(axis=1)
        keep = ((t >= 0) & (t < len(v))).all(axis=1)
        t = t[keep]
        t = t[finite[t].all(axis=1)]
        return np.ascontiguousarray(v), t.astype(np.uint32)

    def box(self, obj: ObjectId):
        """The box as (2, 3) float64, from the source or else from the mesh; None if neither."""
        if obj not in self._boxes:
            box = None
            try:
                b = np.asarray(self.geometry.bounds(*obj), dtype=np.float64).reshape(2, 3)
                if np.isfinite(b).all() and (b[0] <= b[1]).all():
                    box = b
            except (LookupError, ValueError, TypeError):
                pass
            if box is None:
                m = self.mesh(obj)
                if m is not None and len(m[1]):
                    used = m[0][np.unique(m[1])].astype(np.float64)
                    box = np.stack([used.min(axis=0), used.max(axis=0)])
            self._boxes[obj] = box
        return self._boxes[obj]

    def near(self, point, radius, limit, exclude=()) -> list[ObjectId]:
        """Neighbours of ``point`` without ``exclude`` and duplicates, in the source's order."""
        if limit <= 0:
            return []
        skip = set(exclude)
        out = []
        for obj in self.geometry.near(tuple(float(c) for c in point), float(radius),
                                      int(limit) + len(skip)):
            obj = (str(obj[0]), str(obj[1]))
            if obj not in skip:
                skip.add(obj)
                out.append(obj)
                if len(out) == limit:
                    break
        return out


class ModelGeometry:
    """A ``GeometrySource`` over loaded ``orvexkit.Model``s by name (``{"structure": model}``).

    Meshes and boxes are the models' own arrays. ``near`` looks in a grid over every
    object's box, built on its first call: each box is filed under the cells it overlaps (a
    box over more than ``_MAX_CELLS`` cells is checked on every call instead). A query reads
    the cells ring by ring around the point's cell and stops once ``limit`` boxes are closer
    than every box not yet seen; it scans all boxes when the rings grow too large.
    """

    _MAX_CELLS = 64

    def __init__(self, models):
        self.models = dict(models)
        self._grid = None
        self._rings = {}

    def mesh(self, model, key):
        obj = self.models[model][key]              # KeyError for an unknown model or key
        return obj.vertices, obj.triangles

    def bounds(self, model, key):
        m = self.models[model]
        return m.object_bounds[m.index_of(key)]

    def _build(self):
        ids, boxes = [], []
        for name, model in self.models.items():
            b = np.asarray(model.object_bounds, dtype=np.float64).reshape(-1, 2, 3)
            usable = np.isfinite(b).all(axis=(1, 2)) & (b[:, 0] <= b[:, 1]).all(axis=1)
            keys = model.keys
            ids += [(name, keys[i]) for i in np.flatnonzero(usable).tolist()]
            boxes.append(b[usable])
        boxes = np.concatenate(boxes) if boxes else np.empty((0, 2, 3))
        extent = (boxes[:, 1] - boxes[:, 0]).max(axis=1) if len(boxes) else np.ones(1)
        size = float(np.median(extent))
        if not size > 0:
            size = max(float(extent.max()), 1.0)
        lo = np.floor(boxes[:, 0] / size).astype(np.int64)
        span = np.floor(boxes[:, 1] / size).astype(np.int64) - lo + 1
        count = span.prod(axis=1)
        filed = np.flatnonzero(count <= self._MAX_CELLS)
        n = count[filed]
        box_of = np.repeat(filed, n)
        within = np.arange(n.sum()) - np.repeat(np.cumsum(n) - n, n)
        s = span[box_of]
        cell = lo[box_of] + np.stack([within // (s[:, 1] * s[:, 2]), within // s[:, 2] % s[:, 1],
                                      within % s[:, 2]], axis=1)
        keys = _cell_keys(cell)
        order = np.argsort(keys, kind="stable")
        self._grid = (ids, boxes, size, keys[order], box_of[order],
                      np.flatnonzero(count > self._MAX_CELLS))

    def _ring(self, k):
        """Cell offsets at Chebyshev distance k."""
        if k not in self._rings:
            steps = np.arange(-k, k + 1)
            cube = np.stack(np.meshgrid(steps, steps, steps, indexing="ij"), -1).reshape(-1, 3)
            self._rings[k] = cube[np.abs(cube).max(axis=1) == k]
        return self._rings[k]

    def near(self, point, radius, limit):
        if self._grid is None:
            self._build()
        p = np.asarray(point, dtype=np.float64).reshape(3)
        radius = float(radius)
        if limit <= 0 or not len(self._grid[1]) or not (np.isfinite(p).all() and radius >= 0):
            return []
        return self._near_rings(p, radius, limit)

    def _near_rings(self, p, radius, limit):
        ids, boxes, size, keys, box_of, large = self._grid

        def distance(candidates):
            b = boxes[candidates]
            outside = np.maximum(b[:, 0] - p, 0) + np.maximum(p - b[:, 1], 0)
            return np.sqrt((outside ** 2).sum(axis=1))

        centre = np.floor(p / size).astype(np.int64)
        last = math.ceil(radius / size) if math.isfinite(radius / size) else len(boxes)
        seen = large
        k = 0
        while True:
            if (2 * k + 1) ** 3 > 8 * len(boxes):          # rings this large: scan everything
                seen = np.arange(len(boxes))
                dist = distance(seen)
                break
            # The first step reads rings 0 and 1: ring 0 alone can never be enough.
            offsets = np.concatenate([self._ring(0), self._ring(1)]) if k == 0 else self._ring(k)
            k = max(k, 1)
            wanted = _cell_keys(centre + offsets)
            start = np.searchsorted(keys, wanted, side="left")
            n = np.searchsorted(keys, wanted, side="right") - start
            picked = np.repeat(start - np.cumsum(n) + n, n) + np.arange(n.sum())
            seen = np.sort(np.concatenate([seen, box_of[picked]]))
            seen = seen[np.concatenate([[True], seen[1:] != seen[:-1]])] if len(seen) else seen
            dist = distance(seen)
            # Every box not seen yet lies outside the cells of rings 0..k, at least k cells
            # from the point: the nearest `limit` are found once that many are closer.
            if k >= last or np.count_nonzero(dist < k * size) >= limit:
                break
            k += 1
        close = np.flatnonzero(dist <= radius)
        chosen = seen[close[np.argsort(dist[close], kind="stable")][:limit]]
        return [ids[i] for i in chosen.tolist()]


def _cell_keys(cells):
    """One sortable key per row of integer cell coordinates (the rows' 24 bytes)."""
    return np.ascontiguousarray(cells, dtype=np.int64).view(np.dtype((np.void, 24))).reshape(-1)

"""Where the writers get meshes from: the ``GeometrySource`` protocol and an in-memory source."""
from __future__ import annotations

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

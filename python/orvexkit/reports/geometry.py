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

    # A source may also answer for many objects or points at once; ``SceneCache`` uses
    # these when present and asks object by object otherwise:
    #   meshes_of(objects) -> (vertices (N, 3) float32, triangles (M, 3) uint32 counted from
    #       each mesh's first vertex, counts (n, 2) int64 of vertices and triangles per
    #       object, -1 for an object the source does not know), in the order of ``objects``;
    #   boxes_of(objects) -> (n, 2, 3) float64, NaN for an object the source does not know;
    #   near_all(points (n, 3), radii (n,), limit) -> one ``near`` list per point, of
    #       (model, key) tuples of str.


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
        if obj not in self.meshes:         # one object: the source's own call is quicker
            vertices, triangles, counts = _checked(*self._mesh_by_mesh([obj]))
            self.meshes[obj] = None if counts[0, 0] < 0 else (vertices, triangles)
        return self.meshes[obj]

    def mesh_runs(self, objs):
        """The meshes of ``objs`` in one run: (vertices (N, 3) float32, triangles (M, 3)
        uint32 counted from each mesh's first vertex, counts (n, 2) int64 of each object's
        vertices and usable triangles; -1 vertices for an absent object)."""
        fetched = None
        if hasattr(self.geometry, "meshes_of"):
            try:
                vertices, triangles, counts = self.geometry.meshes_of(list(objs))
                fetched = (np.asarray(vertices, dtype=np.float32).reshape(-1, 3),
                           np.asarray(triangles).astype(np.int64, copy=False).reshape(-1, 3),
                           np.asarray(counts, dtype=np.int64).reshape(-1, 2))
                if not _adds_up(*fetched) or len(fetched[2]) != len(objs):
                    fetched = None
            except (LookupError, ValueError, TypeError):
                fetched = None
        if fetched is None:
            fetched = self._mesh_by_mesh(objs)
        return _checked(*fetched)

    def _mesh_by_mesh(self, objs):
        vertices, triangles, counts = [], [], []
        for obj in objs:
            try:
                v, t = self.geometry.mesh(*obj)
                v = np.asarray(v, dtype=np.float32).reshape(-1, 3)
                t = np.asarray(t).astype(np.int64, copy=False).reshape(-1, 3)
            except (LookupError, ValueError, TypeError):
                counts.append((-1, 0))
                continue
            vertices.append(v)
            triangles.append(t)
            counts.append((len(v), len(t)))
        return (np.concatenate(vertices) if vertices else np.empty((0, 3), np.float32),
                np.concatenate(triangles) if triangles else np.empty((0, 3), np.int64),
                np.array(counts, dtype=np.int64).reshape(-1, 2))

    def box(self, obj: ObjectId):
        """The box as (2, 3) float64, from the source or else from the mesh; None if neither."""
        if obj not in self._boxes:
            self.boxes([obj])
        return self._boxes[obj]

    def boxes(self, objs) -> np.ndarray:
        """``box`` of each object as (n, 2, 3) float64, NaN where it has none."""
        objs = list(objs)
        out = np.full((len(objs), 2, 3), np.nan)
        wanted = [i for i, o in enumerate(objs) if o not in self._boxes]
        asked = [objs[i] for i in wanted]
        from_source = None
        if hasattr(self.geometry, "boxes_of"):
            try:
                from_source = np.asarray(self.geometry.boxes_of(asked), dtype=np.float64).reshape(-1, 2, 3)
            except (LookupError, ValueError, TypeError):
                from_source = None
        if from_source is None:
            from_source = np.full((len(asked), 2, 3), np.nan)
            for j, obj in enumerate(asked):
                try:
                    from_source[j] = np.asarray(self.geometry.bounds(*obj), dtype=np.float64).reshape(2, 3)
                except (LookupError, ValueError, TypeError):
                    pass
        usable = np.isfinite(from_source).all(axis=(1, 2)) & (from_source[:, 0] <= from_source[:, 1]).all(axis=1)
        for j, obj in enumerate(asked):
            box = from_source[j] if usable[j] else None
            if box is None:              # from the vertices that usable triangles use
                m = self.mesh(obj)
                if m is not None and len(m[1]):
                    used = m[0][np.unique(m[1])].astype(np.float64)
                    box = np.stack([used.min(axis=0), used.max(axis=0)])
            self._boxes[obj] = box
        for i, obj in enumerate(objs):
            if self._boxes[obj] is not None:
                out[i] = self._boxes[obj]
        return out

    def near(self, point, radius, limit, exclude=()) -> list[ObjectId]:
        """Neighbours of ``point`` without ``exclude`` and duplicates, in the source's order."""
        return self.near_all([point], [radius], limit, [exclude])[0]

    def near_all(self, points, radii, limit, excludes) -> list[list[ObjectId]]:
        """``near`` for each point, radius and exclude list."""
        if limit <= 0:
            return [[] for _ in points]
        skips = [set(e) for e in excludes]
        ask = int(limit) + max(map(len, skips), default=0)
        points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
        radii = np.asarray(radii, dtype=np.float64).reshape(-1)
        if hasattr(self.geometry, "near_all"):
            found = self.geometry.near_all(points, radii, ask)
        else:
            found = [[(str(m), str(k)) for m, k in self.geometry.near(tuple(p), r, ask)]
                     for p, r in zip(points.tolist(), radii.tolist())]
        return [[o for o in dict.fromkeys(objs) if o not in skip][:limit]
                for skip, objs in zip(skips, found)]


def _adds_up(vertices, triangles, counts) -> bool:
    nv, nt = counts[:, 0], counts[:, 1]
    return bool((nt >= 0).all() and (nv >= -1).all() and ((nv >= 0) | (nt == 0)).all()
                and np.maximum(nv, 0).sum() == len(vertices) and nt.sum() == len(triangles))


def _checked(vertices, triangles, counts):
    """Triangles that name a missing or non-finite vertex of their own mesh dropped, and the
    counts of those kept; what ``SceneCache.mesh_runs`` returns."""
    nv, nt = np.maximum(counts[:, 0], 0), counts[:, 1]
    mesh_of = np.repeat(np.arange(len(counts)), nt)
    first = (np.cumsum(nv) - nv)[mesh_of]
    keep = ((triangles >= 0) & (triangles < nv[mesh_of, None])).all(axis=1)
    finite = np.isfinite(vertices).all(axis=1)
    keep[keep] = finite[triangles[keep] + first[keep, None]].all(axis=1)
    kept = counts.copy()
    kept[:, 1] = np.bincount(mesh_of[keep], minlength=len(counts))
    return np.ascontiguousarray(vertices), triangles[keep].astype(np.uint32), kept


class ModelGeometry:
    """A ``GeometrySource`` over loaded ``orvexkit.Model``s by name (``{"structure": model}``).

    Meshes and boxes are the models' own arrays, fetched for many objects in one native call
    (``meshes_of``, ``boxes_of``). ``near`` and ``near_all`` look in a grid over every
    object's box, built on first use: each box is filed under the cells it overlaps (a box
    over more than ``_MAX_CELLS`` cells is checked for every point instead). Every point's
    cells are read together, nearest first, until ``limit`` boxes are closer than every box
    not yet seen (see ``_near_pairs``).
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

    def _indices(self, objects):
        """Per model name, (positions in ``objects``, object indices in the model); the
        positions of objects no model has are left out."""
        wanted: dict[str, tuple[list, list]] = {}
        for i, (name, key) in enumerate(objects):
            model = self.models.get(name)
            j = model._handle.find(key) if model is not None and isinstance(key, str) else -1
            if j >= 0:
                at, index = wanted.setdefault(name, ([], []))
                at.append(i)
                index.append(j)
        return {name: (np.array(at, np.int64), np.array(index, np.int64))
                for name, (at, index) in wanted.items()}

    def meshes_of(self, objects):
        counts = np.zeros((len(objects), 2), np.int64)
        counts[:, 0] = -1
        runs = []
        for name, (at, index) in self._indices(objects).items():
            v, t, c = (np.asarray(a) for a in self.models[name]._handle.meshes(index))
            counts[at] = c
            runs.append((at, v, t, c))
        # Back into the order asked: each model's runs cut per object and interleaved.
        first_v, first_t = np.cumsum(np.maximum(counts[:, 0], 0)), np.cumsum(counts[:, 1])
        vertices = np.empty((first_v[-1] if len(counts) else 0, 3), np.float32)
        triangles = np.empty((first_t[-1] if len(counts) else 0, 3), np.uint32)
        for at, v, t, c in runs:
            vertices[_spread(first_v[at] - c[:, 0], c[:, 0])] = v
            triangles[_spread(first_t[at] - c[:, 1], c[:, 1])] = t
        return vertices, triangles, counts

    def boxes_of(self, objects):
        out = np.full((len(objects), 2, 3), np.nan)
        for name, (at, index) in self._indices(objects).items():
            out[at] = self.models[name].object_bounds[index]
        return out

    def _build(self):
        names, index, boxes = [], [], []
        for name, model in self.models.items():
            b = np.asarray(model.object_bounds, dtype=np.float64).reshape(-1, 2, 3)
            usable = np.flatnonzero(np.isfinite(b).all(axis=(1, 2)) & (b[:, 0] <= b[:, 1]).all(axis=1))
            names.append(np.full(len(usable), len(names)))
            index.append(usable)
            boxes.append(b[usable])
        owner = (np.concatenate(names), np.concatenate(index)) if names else None
        boxes = np.concatenate(boxes) if boxes else np.empty((0, 2, 3))
        extent = (boxes[:, 1] - boxes[:, 0]).max(axis=1) if len(boxes) else np.ones(1)
        size = float(np.median(extent))
        if not size > 0:
            size = max(float(extent.max()), 1.0)
        # Cell ranges in floats first: a huge box would not fit in integers.
        lo_f, hi_f = np.floor(boxes[:, 0] / size), np.floor(boxes[:, 1] / size)
        small = (hi_f - lo_f + 1).prod(axis=1) <= self._MAX_CELLS
        filed = np.flatnonzero(small)
        cells = np.zeros((len(boxes), 2, 3), np.int64)     # first and last cell of filed boxes
        cells[filed, 0], cells[filed, 1] = _cell_of(lo_f[filed]), _cell_of(hi_f[filed])
        span = cells[filed, 1] - cells[filed, 0] + 1
        n = span.prod(axis=1)
        box_of = np.repeat(filed, n)
        within = np.arange(n.sum()) - np.repeat(np.cumsum(n) - n, n)
        s = np.repeat(span, n, axis=0)
        step = np.empty_like(s)             # the entry's cell counted from its box's first
        rest, step[:, 2] = np.divmod(within, s[:, 2])
        step[:, 0], step[:, 1] = np.divmod(rest, s[:, 1])
        cell = np.repeat(cells[filed, 0], n, axis=0) + step
        axes = [np.unique(cell[:, i]) for i in range(3)]
        keys = _cell_keys(axes, cell)
        order = np.argsort(keys, kind="stable")
        # Per entry, bit i: the cell is its box's first along axis i; bit 3 + i: its last.
        ends = ((step == 0) @ np.array([1, 2, 4]) + (step == s - 1) @ np.array([8, 16, 32])
                ).astype(np.uint8)
        large = np.flatnonzero(~small)
        self._grid = (owner, boxes, size, keys[order], box_of[order], ends[order], large, axes)

    def _ids(self, chosen):
        """(model, key) of boxes by their position in the grid."""
        names, index = self._grid[0]
        keys = [(name, model._key_tuple()) for name, model in self.models.items()]
        return [(keys[m][0], keys[m][1][i])
                for m, i in zip(names[chosen].tolist(), index[chosen].tolist())]

    def _ring(self, k):
        """Cell offsets at Chebyshev distance k."""
        if k not in self._rings:
            steps = np.arange(-k, k + 1)
            cube = np.stack(np.meshgrid(steps, steps, steps, indexing="ij"), -1).reshape(-1, 3)
            self._rings[k] = cube[np.abs(cube).max(axis=1) == k]
        return self._rings[k]

    def near(self, point, radius, limit):
        return self.near_all(np.reshape(np.asarray(point, dtype=np.float64), (1, 3)),
                             [radius], limit)[0]

    def near_all(self, points, radii, limit):
        """``near`` of each row of ``points`` with its radius, every point's rings read
        together."""
        if self._grid is None:
            self._build()
        boxes = self._grid[1]
        p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
        r = np.asarray(radii, dtype=np.float64).reshape(-1)
        out = [[] for _ in range(len(p))]
        if limit <= 0 or not len(boxes):
            return out
        asked = np.flatnonzero(np.isfinite(p).all(axis=1) & (r >= 0))
        found = self._near_pairs(p[asked], r[asked], limit)
        ids = self._ids(np.concatenate([np.empty(0, np.int64)] + [c for _, c in found]))
        end = 0
        for q, chosen in found:
            out[asked[q]] = ids[end:end + len(chosen)]
            end += len(chosen)
        return out

    def _near_pairs(self, p, radius, limit):
        """(query, chosen boxes) per query of ``p``: the boxes within its radius, nearest
        first (ties in box order), at most ``limit``, for all points at once.

        A point first reads the 2 x 2 x 2 cells nearest to it, and is done if ``limit``
        boxes are closer than the edge of that block (every box not seen lies beyond it) or
        the block holds its whole radius. The others read the cells ring by ring around
        their cell until ``limit`` boxes are closer than every box not yet seen; a point
        whose rings grow too large scans all boxes."""
        _, boxes, size, keys, box_of, ends, large, axes = self._grid
        n = len(boxes)

        def distance(query, box):
            b, q = boxes[box], p[query]
            outside = np.maximum(b[:, 0] - q, 0) + np.maximum(q - b[:, 1], 0)
            with np.errstate(over="ignore"):          # far beyond any radius: inf
                return np.sqrt((outside ** 2).sum(axis=1))

        centre = _cell_of(p / size)
        with np.errstate(invalid="ignore", over="ignore"):
            ratio = np.ceil(radius / size)
        last = np.where(np.isfinite(ratio), np.minimum(ratio, n), n).astype(np.int64)
        # Only cells that meet the cube of half-size radius around the point can hold a box
        # within the radius (nor need more than `last` rings).
        with np.errstate(invalid="ignore", over="ignore"):
            reach = np.stack([np.floor((p - radius[:, None]) / size),
                              np.floor((p + radius[:, None]) / size)], axis=1)
        reach = np.clip(np.nan_to_num(reach, nan=0.0), (centre - last[:, None] - 1)[:, None],
                        (centre + last[:, None] + 1)[:, None]).astype(np.int64)

        def read(active, cells, need, clip=True):
            """(query, box, distance) of the boxes filed under ``cells`` (one row of cells
            per active query), each box once: from the cell where its ``ends`` bits hold
            ``need`` (bit i: the box's first cell along axis i; bit 3 + i: its last).
            ``clip``: only the cells within reach, which holds each box's counting cell."""
            inside = ((reach[active, :1] <= cells) & (cells <= reach[active, 1:])).all(axis=2) \
                if clip else np.ones(cells.shape[:2], bool)
            wanted = _cell_keys(axes, cells[inside])
            start = np.searchsorted(keys, wanted, side="left")
            count = np.searchsorted(keys, wanted, side="right") - start
            entry = np.repeat(start - np.cumsum(count) + count, count) + np.arange(count.sum())
            need = np.repeat(np.broadcast_to(need, inside.shape)[inside], count)
            own = (ends[entry] & need) == need
            query = np.repeat(np.repeat(active, inside.sum(axis=1)), count)[own]
            box = box_of[entry[own]]
            return query, box, distance(query, box)

        def with_large(active, found):
            query, box = np.repeat(active, len(large)), np.tile(large, len(active))
            return [np.concatenate(a) for a in zip((query, box, distance(query, box)), found)]

        done = []
        # The block: along each axis the point's cell and the neighbour on its nearer side.
        # A box counts from its first cell in the block.
        first = centre - (p / size - centre < 0.5)    # (far out, both are clamped: no matter)
        block = first[:, None, :] + _CORNERS
        query, box, dist = with_large(np.arange(len(p)),
                                      read(np.arange(len(p)), block, _CORNERS @ [1, 2, 4], False))
        edge = np.minimum(p - first * size, (first + 2) * size - p).min(axis=1)
        edge -= 1e-9 * (size + np.abs(p).max(axis=1))    # rounding of the cells' bounds
        closer = np.bincount(query[dist < edge[query]], minlength=len(p))
        finished = (closer >= limit) | (radius < edge)
        now = finished[query]
        done.append((query[now], box[now], dist[now]))
        active = np.flatnonzero(~finished)

        # The rest: every box not seen yet lies outside the cells of rings 0..k, at least k
        # cells from the point; the nearest `limit` are found once that many are closer.
        query, box, dist = with_large(active, [np.empty(0, np.int64)] * 2 + [np.empty(0)])
        scans = []
        k = 0
        while len(active):
            if (2 * k + 1) ** 3 > 8 * n:               # rings this large: scan everything
                scans = active
                break
            offsets = np.concatenate([self._ring(0), self._ring(1)]) if k == 0 else self._ring(k)
            k = max(k, 1)
            # From its cell nearest the point's cell, which lies in the first ring that
            # reaches the box: its first cell along each axis where the cell lies beyond
            # the point's, its last where it lies before, any where they are level.
            need = ((offsets > 0) @ [1, 2, 4] + (offsets < 0) @ [8, 16, 32]).astype(np.uint8)
            found = read(active, centre[active][:, None, :] + offsets[None], need)
            query, box, dist = (np.concatenate(a) for a in zip((query, box, dist), found))
            closer = np.bincount(query[dist < k * size], minlength=len(p))
            finished = (k >= last) | (closer >= limit)
            now = finished[query]
            done.append((query[now], box[now], dist[now]))
            query, box, dist = query[~now], box[~now], dist[~now]
            active = active[~finished[active]]
            k += 1
        for q in scans:
            every = np.arange(n)
            done.append((np.full(n, q), every, distance(np.full(n, q), every)))
        query, box, dist = (np.concatenate(a) for a in zip(*done))
        close = dist <= radius[query]
        query, box, dist = query[close], box[close], dist[close]
        order = np.lexsort((box, dist, query))
        query, box = query[order], box[order]
        starts = np.flatnonzero(np.r_[True, query[1:] != query[:-1]]) if len(query) else query
        rank = np.arange(len(query)) - np.repeat(starts, np.diff(np.r_[starts, len(query)]))
        keep = rank < limit
        query, box = query[keep], box[keep]
        bounds = np.flatnonzero(np.r_[True, query[1:] != query[:-1], True]) if len(query) else []
        return [(int(query[a]), box[a:b]) for a, b in zip(bounds[:-1], bounds[1:])]


_CORNERS = np.array([[i >> 2 & 1, i >> 1 & 1, i & 1] for i in range(8)], np.int64)


def _cell_of(scaled):
    """Integer cells of coordinates in cell units, clamped far beyond any model so that
    ring offsets cannot overflow."""
    return np.floor(np.clip(scaled, -2.0 ** 60, 2.0 ** 60)).astype(np.int64)


def _spread(starts, lengths):
    """The positions starts[i], starts[i] + 1, ... of runs of ``lengths``, run after run."""
    offsets = np.repeat(starts - np.cumsum(lengths) + lengths, lengths)
    return offsets + np.arange(lengths.sum())


def _cell_keys(axes, cells):
    """One sortable int64 key per row of integer cell coordinates: the coordinates' ranks
    among ``axes`` (each axis's sorted distinct coordinates of the filed cells), so that it
    cannot overflow; -1 for a cell with a coordinate no filed cell has."""
    key = np.zeros(len(cells), np.int64)
    found = np.ones(len(cells), bool)
    for axis, c in zip(axes, np.asarray(cells, dtype=np.int64).T):
        rank = np.minimum(np.searchsorted(axis, c), max(len(axis) - 1, 0))
        found &= axis[rank] == c if len(axis) else False
        key = key * len(axis) + rank
    return np.where(found, key, -1)

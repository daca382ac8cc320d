"""A self-contained HTML report: clash table, summary, resolved clashes and a WebGL view of the
selected clash, with its CSS, script and geometry inline so that it opens offline."""
from __future__ import annotations

import base64
import json
import math
import re
from importlib import resources

import numpy as np

from . import raster
from ._files import atomic_output
from .camera import views_of
from .geometry import GeometrySource, SceneCache
from .model import Clash, Report


def write_html(report: Report, path, geometry: GeometrySource, *, max_objects=5000,
               neighbours=20) -> None:
    """Writes ``report`` as one HTML file at ``path`` that needs no network to view.

    Each distinct object's mesh is embedded once (float32 vertices relative to one origin, so
    that georeferenced coordinates keep their precision, and uint32 triangles, base64). At most
    ``max_objects`` meshes are embedded: both objects of every clash in the report's order
    first, then up to ``neighbours`` surrounding objects per clash; a clash whose objects did
    not fit says so in the view. The file is written to a temporary name and renamed.
    """
    HtmlPage(report, geometry, max_objects=max_objects, neighbours=neighbours).write(path)


class HtmlPage:
    """``write_html`` in two steps: the clashes' views, neighbours and meshes are worked out
    when made, and the page is put together when written, with the report's models (their
    file hashes, say) as they are then."""

    def __init__(self, report: Report, geometry: GeometrySource, *, max_objects=5000,
                 neighbours=20) -> None:
        self.report = report
        self._data, self._vertices, self._triangles = _scene(report, geometry, max_objects, neighbours)

    def write(self, path) -> None:
        report = self.report
        data = {"title": report.title, "created": report.created, "tool": report.tool,
                "models": [vars(m) for m in report.models],
                "checks": [vars(c) for c in report.checks], **self._data}
        assets = resources.files(__package__) / "assets"
        parts = {"STYLE": (assets / "report.css").read_bytes(),
                 "SCRIPT": (assets / "report.js").read_bytes(),
                 "DATA": _json(data).encode("ascii"), "VERTICES": _blob(self._vertices),
                 "TRIANGLES": _blob(self._triangles)}
        # The template's text and its slots in turn, each slot filled once: inserted text
        # (a name that reads "/*SCRIPT*/") is never taken for a slot.
        pieces = re.split(rb"/\*(STYLE|SCRIPT|DATA|VERTICES|TRIANGLES)\*/", (assets / "report.html").read_bytes())
        with atomic_output(path) as f:
            f.writelines(parts[piece.decode()] if k % 2 else piece for k, piece in enumerate(pieces))


def _scene(report, geometry, max_objects, neighbours):
    """The page's data but for the report's title, date, tool, models and checks, and its
    vertices and triangles as lists of arrays."""
    scene = SceneCache(geometry)
    # The objects of clashes, then of resolved clashes, by number; each gets a row in the
    # order of first mention, its name and type from that mention.
    refs = [ref for c in report.clashes for ref in (c.a, c.b)]
    refs += [ref for c in report.resolved for ref in (c.a, c.b)]
    numbers = scene.numbers([(ref.model, ref.key) for ref in refs])
    named, first, mention = np.unique(numbers, return_index=True, return_inverse=True)
    row_of_named = np.empty(len(named), np.int64)
    row_of_named[np.argsort(first, kind="stable")] = np.arange(len(named))
    named_refs = [refs[i] for i in np.sort(first).tolist()]
    ends = row_of_named[mention].reshape(-1, 2)
    n = len(report.clashes)
    pairs = numbers[:2 * n].reshape(n, 2)

    boxes = scene.boxes(pairs.reshape(-1)).reshape(-1, 2, 2, 3)
    points = _points(report.clashes)
    views = views_of(points, boxes)
    query, near = scene.near_all(views.target, views.radius, neighbours, pairs)

    # Meshes in order of need (clash objects before neighbours) until the budget is spent;
    # a neighbour takes a row only when its mesh is embedded, since the view draws nothing
    # else of it.
    wanted = np.concatenate([pairs.reshape(-1), near])
    _, at = np.unique(wanted, return_index=True)
    order = wanted[np.sort(at)]
    finite = points.reshape(-1, 3)[np.isfinite(points.reshape(-1, 3)).all(axis=1)]
    if not len(finite):
        finite = np.zeros((1, 3))
    origin = (finite.min(axis=0) + finite.max(axis=0)) / 2
    vertices, triangles, counts, drawn = [], [], [], []
    room = max_objects
    while len(order) and room > 0:
        # Fetched in runs of what the budget still takes: most objects have a mesh.
        batch, order = order[:room], order[room:]
        v, t, run = scene.mesh_runs(batch)
        shown = run[:, 1] > 0
        vn, tn = np.maximum(run[:, 0], 0), run[:, 1]
        drawn.append(batch[shown])
        room -= len(drawn[-1])
        counts.append(np.stack([vn[shown], tn[shown]], axis=1))
        if not shown.all():
            v, t = v[np.repeat(shown, vn)], t[np.repeat(shown, tn)]
        vertices.append((v - origin).astype("<f4"))        # in float64, then rounded once
        triangles.append(t.astype("<u4", copy=False))
    drawn = np.concatenate(drawn) if drawn else np.empty(0, np.int64)   # by mesh number
    # The row of each drawn object: its clash row, or a new one after them.
    at, has_row = _find(named, drawn)
    row_of_mesh = np.empty(len(drawn), np.int64)
    row_of_mesh[has_row] = row_of_named[at[has_row]]
    row_of_mesh[~has_row] = len(named_refs) + np.arange(np.count_nonzero(~has_row))
    mesh_of_row = np.full(len(named_refs) + np.count_nonzero(~has_row), -1, np.int64)
    mesh_of_row[row_of_mesh] = np.arange(len(drawn))
    more = scene.ids(drawn[~has_row])
    # The object table as columns (text as JSON lists, mesh numbers in binary, -1 for none).
    objects = {"model": [r.model for r in named_refs] + [model for model, _ in more],
               "key": [r.key for r in named_refs] + [key for _, key in more],
               "type": [r.type for r in named_refs] + [""] * len(more),
               "name": [r.name for r in named_refs] + [None] * len(more),
               "level": [r.level for r in named_refs] + [None] * len(more),
               "mesh": _base64([mesh_of_row.astype("<i4")])}
    counts = np.concatenate(counts) if counts else np.zeros((0, 2), np.int64)
    first = np.cumsum(counts, axis=0) - counts
    # Per mesh: first vertex, vertices, first triangle, triangles.
    meshes = np.stack([first[:, 0], counts[:, 0], first[:, 1], counts[:, 1]], axis=1)
    # Each clash's neighbours that have a mesh, as rows.
    at, kept = _find(drawn, near, np.argsort(drawn))
    near_rows = row_of_mesh[at[kept]]
    near_start = np.searchsorted(query[kept], np.arange(n + 1))
    view = np.concatenate([views.position, views.target, views.radius[:, None]], axis=1)
    clashes = _clash_table(report.clashes, points, ends[:n], view, near_start, near_rows)
    resolved = _clash_table(report.resolved, None, ends[n:])

    data = {"clashes": clashes, "resolved": resolved, "objects": objects,
            "meshes": _base64([meshes.astype("<u4")]),
            "origin": [float(c) for c in origin], "maxObjects": max_objects,
            "colours": {"a": raster.COLOUR_A, "b": raster.COLOUR_B, "context": raster.CONTEXT,
                        "background": raster.BACKGROUND, "marker": raster.MARKER}}
    return data, vertices, triangles


def _find(values, wanted, sorter=None):
    """Where each of ``wanted`` is in ``values`` (sorted, or put in order by ``sorter``),
    and whether it is there at all."""
    if not len(values):
        return np.zeros(len(wanted), np.int64), np.zeros(len(wanted), bool)
    at = np.searchsorted(values, wanted, sorter=sorter).clip(max=len(values) - 1)
    if sorter is not None:
        at = sorter[at]
    return at, values[at] == wanted


# Per clash in a table's "numbers": dist, the baseline's dist, point on a, point on b, the
# view (camera position, target, radius), overlap volume, thickness and centre.
_NUMBERS = 20


def _clash_table(clashes: list[Clash], points, ends, view=None, near_start=None, near=None) -> dict:
    """Clashes for the page as columns, the page's script making rows of them again: text
    and small values as JSON lists, numbers as little-endian binary (base64), NaN for
    what is unknown; `ends` the object rows of a and b, `near` the object rows of the
    clashes' neighbours, clash k's from near_start[k] to near_start[k + 1] (the view and
    neighbours of current clashes only)."""
    n = len(clashes)
    if points is None:
        points = _points(clashes)
    numbers = np.full((n, _NUMBERS), np.nan)
    numbers[:, 0] = [_float(c.dist) for c in clashes]
    numbers[:, 1] = [_float(c.previous_dist) for c in clashes]
    numbers[:, 2:8] = points.reshape(n, 6)
    if view is not None:
        numbers[:, 8:15] = view
    numbers[:, 15] = [_float(c.volume) for c in clashes]
    numbers[:, 16] = [_float(c.thickness) for c in clashes]
    numbers[:, 17:20] = np.reshape([(math.nan,) * 3 if c.centre is None else _point(c.centre)
                                    for c in clashes], (n, 3))
    if near is None:
        near_start, near = np.zeros(n + 1), np.empty(0)
    return {"id": [c.id for c in clashes], "check": [c.check for c in clashes],
            "kind": [c.kind for c in clashes], "group": [c.group for c in clashes],
            "status": [c.status for c in clashes], "contained": [c.contained for c in clashes],
            "approximate": [c.approximate for c in clashes], "extra": [c.extra for c in clashes],
            "numbers": _base64([numbers.astype("<f8")]),
            "ends": _base64([np.asarray(ends, "<i4").reshape(-1, 2)]),
            "nearStart": _base64([np.asarray(near_start, "<i4")]),
            "near": _base64([np.asarray(near, "<i4")])}


def _float(x) -> float:
    return math.nan if x is None else float(x)


def _points(clashes) -> np.ndarray:
    """(n, 2, 3): the point on a and the point on b of each clash."""
    return np.array([[_point(c.point_a), _point(c.point_b)] for c in clashes]).reshape(-1, 2, 3)


def _point(p) -> tuple[float, float, float]:
    """A contact point as three floats; NaN for one that is not three numbers."""
    try:
        if len(p) == 3:
            return float(p[0]), float(p[1]), float(p[2])
    except (TypeError, ValueError):
        pass
    return math.nan, math.nan, math.nan


def _blob(arrays) -> bytes:
    """The arrays' bytes one after the other, base64."""
    return base64.b64encode(b"".join(a.tobytes() for a in arrays))


def _base64(arrays) -> str:
    return _blob(arrays).decode("ascii")


def _clean(value):
    """JSON-ready: non-finite numbers become null, numpy scalars and unknown objects plain."""
    if isinstance(value, float) or isinstance(value, np.floating):
        return float(value) if math.isfinite(value) else None
    if isinstance(value, (str, bool, int)) or value is None:
        return value
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, dict):
        return {str(k): _clean(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [_clean(v) for v in value]
    return str(value)


def _json(data) -> str:
    """JSON that is safe inside a <script> element and pure ASCII (lone surrogates included)."""
    try:
        text = json.dumps(data, ensure_ascii=True, separators=(",", ":"), allow_nan=False)
    except (TypeError, ValueError):          # NaN, or objects JSON does not know: the slow way
        text = json.dumps(_clean(data), ensure_ascii=True, separators=(",", ":"))
    for c, escaped in (("<", "\\u003c"), (">", "\\u003e"), ("&", "\\u0026")):
        if c in text:                    # a scan is much quicker than a copy
            text = text.replace(c, escaped)
    return text

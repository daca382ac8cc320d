"""A self-contained HTML report: clash table, summary, resolved clashes and a WebGL view of the
selected clash, with its CSS, script and geometry inline so that it opens offline."""
from __future__ import annotations

import base64
import itertools
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
    page = _page(report, geometry, max_objects, neighbours)
    with atomic_output(path) as f:
        f.writelines(page)


def _page(report, geometry, max_objects, neighbours) -> list[bytes]:
    """The page as UTF-8 pieces, in order."""
    scene = SceneCache(geometry)
    objects: dict[tuple[str, str], int] = {}
    rows: list[list] = []

    def object_index(ref):
        i = objects.setdefault((ref.model, ref.key), len(rows))
        if i == len(rows):
            rows.append([ref.model, ref.key, ref.type, ref.name, ref.level, -1])
        return i

    ends = [[object_index(c.a), object_index(c.b)] for c in report.clashes]
    resolved_ends = [[object_index(c.a), object_index(c.b)] for c in report.resolved]
    pairs = [[(c.a.model, c.a.key), (c.b.model, c.b.key)] for c in report.clashes]
    boxes = scene.boxes([o for pair in pairs for o in pair]).reshape(-1, 2, 2, 3)
    points = np.array([[_point(c.point_a), _point(c.point_b)] for c in report.clashes]
                      ).reshape(-1, 2, 3)
    views = views_of(points, boxes)
    near = scene.near_all(views.target, views.radius, neighbours, pairs)

    # Meshes in order of need (clash objects before neighbours) until the budget is spent;
    # a neighbour takes a row only when its mesh is embedded, since the view draws nothing
    # else of it.
    order = list(dict.fromkeys([o for pair in pairs for o in pair] + [o for objs in near for o in objs]))
    finite = points.reshape(-1, 3)[np.isfinite(points.reshape(-1, 3)).all(axis=1)]
    if not len(finite):
        finite = np.zeros((1, 3))
    origin = (finite.min(axis=0) + finite.max(axis=0)) / 2
    vertices, triangles, counts = [], [], []
    mesh_of: dict[tuple[str, str], int] = {}      # object -> its mesh's number
    while order and len(mesh_of) < max_objects:
        # Fetched in runs of what the budget still takes: most objects have a mesh.
        batch, order = order[:max_objects - len(mesh_of)], order[max_objects - len(mesh_of):]
        v, t, run = scene.mesh_runs(batch)
        shown = run[:, 1] > 0
        vn, tn = np.maximum(run[:, 0], 0), run[:, 1]
        mesh_of.update(zip([batch[k] for k in np.flatnonzero(shown).tolist()], itertools.count(len(mesh_of))))
        counts.append(np.stack([vn[shown], tn[shown]], axis=1))
        vertices.append((v[np.repeat(shown, vn)].astype(np.float64) - origin).astype("<f4"))
        triangles.append(t[np.repeat(shown, tn)].astype("<u4"))
    drawn: dict[tuple[str, str], int] = {}        # object with a mesh -> its row
    for obj, k in mesh_of.items():
        i = objects.get(obj)
        if i is None:
            i = objects[obj] = len(rows)
            rows.append([*obj, "", None, None, -1])
        rows[i][5] = k
        drawn[obj] = i
    counts = np.concatenate(counts) if counts else np.zeros((0, 2), np.int64)
    first = np.cumsum(counts, axis=0) - counts
    # Per mesh: first vertex, vertices, first triangle, triangles.
    meshes = np.stack([first[:, 0], counts[:, 0], first[:, 1], counts[:, 1]], axis=1)
    near_rows = [[i for i in map(drawn.get, objs) if i is not None] for objs in near]
    view = np.concatenate([views.position, views.target, views.radius[:, None]], axis=1)
    clashes = _clash_table(report.clashes, points, ends, view, near_rows)
    resolved = _clash_table(report.resolved, None, resolved_ends)

    data = {
        "title": report.title, "created": report.created, "tool": report.tool,
        "models": [vars(m) for m in report.models],
        "checks": [vars(c) for c in report.checks],
        "clashes": clashes, "resolved": resolved, "objects": rows,
        "meshes": _base64([meshes.astype("<u4")]),
        "origin": [float(c) for c in origin], "maxObjects": max_objects,
        "colours": {"a": raster.COLOUR_A, "b": raster.COLOUR_B, "context": raster.CONTEXT,
                    "background": raster.BACKGROUND, "marker": raster.MARKER},
    }
    assets = resources.files(__package__) / "assets"
    parts = {"STYLE": (assets / "report.css").read_bytes(),
             "SCRIPT": (assets / "report.js").read_bytes(),
             "DATA": _json(data).encode("ascii"), "VERTICES": _blob(vertices),
             "TRIANGLES": _blob(triangles)}
    # The template's text and its slots in turn, each slot filled once: inserted text (a
    # name that reads "/*SCRIPT*/") is never taken for a slot.
    pieces = re.split(rb"/\*(STYLE|SCRIPT|DATA|VERTICES|TRIANGLES)\*/", (assets / "report.html").read_bytes())
    return [parts[piece.decode()] if k % 2 else piece for k, piece in enumerate(pieces)]


# Per clash in a table's "numbers": dist, the baseline's dist, point on a, point on b, the
# view (camera position, target, radius), overlap volume, thickness and centre.
_NUMBERS = 20


def _clash_table(clashes: list[Clash], points, ends, view=None, near=None) -> dict:
    """Clashes for the page as columns, the page's script making rows of them again: text
    and small values as JSON lists, numbers as little-endian binary (base64), NaN for
    what is unknown; `ends` the object rows of a and b, `near` each clash's neighbours'
    object rows (the view and neighbours of current clashes only)."""
    n = len(clashes)
    if points is None:
        points = np.array([[_point(c.point_a), _point(c.point_b)] for c in clashes]).reshape(-1, 2, 3)
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
    near = near or [[] for _ in clashes]
    return {"id": [c.id for c in clashes], "check": [c.check for c in clashes],
            "kind": [c.kind for c in clashes], "group": [c.group for c in clashes],
            "status": [c.status for c in clashes], "contained": [c.contained for c in clashes],
            "approximate": [c.approximate for c in clashes], "extra": [c.extra for c in clashes],
            "numbers": _base64([numbers.astype("<f8")]),
            "ends": _base64([np.asarray(ends, "<i4").reshape(-1, 2)]),
            "nearStart": _base64([np.cumsum([0] + [len(r) for r in near]).astype("<i4")]),
            "near": _base64([np.fromiter((i for r in near for i in r), "<i4")])}


def _float(x) -> float:
    return math.nan if x is None else float(x)


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
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")

"""The HTML report's views, neighbours and meshes, worked out for all clashes at once, against
the rule applied clash by clash: the camera as first written (kept here as the reference), the
neighbours by a scan over every box, and each object's mesh fetched on its own."""
import base64
import dataclasses
import json
import math
import re
from pathlib import Path

import numpy as np
import orvexkit
import pytest

from orvexkit import _native
from orvexkit.checks import Check, _Objects, run_checks
from orvexkit.reports import DictGeometry, ObjectRef, write_html
from orvexkit.reports.camera import _FALLBACK, _HIGHEST, _LOWEST, _MARGIN, FIELD_OF_VIEW, views_for
from orvexkit.reports.geometry import ModelGeometry
from models import box, inline_object
from test_reports_html import embedded


def reference_view(target, boxes, points):
    """(position, radius) of the camera rule for one clash, vector by vector."""
    target = np.asarray(target, dtype=np.float64)
    boxes = [np.asarray(b, dtype=np.float64) for b in boxes if b is not None]
    points = np.asarray(points, dtype=np.float64).reshape(-1, 3)
    spread = float(np.linalg.norm(points - target, axis=1).max()) if len(points) else 0.0
    half = max(4 * min((float((b[1] - b[0]).max()) for b in boxes), default=0.0), 1.5 * spread)
    radius = 0.0
    for b in boxes:
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
                outward -= axis / n * (outward @ (axis / n))
    horizontal = np.hypot(outward[0], outward[1])
    azimuth = outward[:2] / horizontal if horizontal > 1e-9 else _FALLBACK[:2] / math.sqrt(2 / 3)
    elevation = math.atan2(outward[2], horizontal)
    elevation = math.copysign(min(max(abs(elevation), _LOWEST), _HIGHEST), elevation)
    outward = np.array([*(azimuth * math.cos(elevation)), math.sin(elevation)])
    distance = _MARGIN * radius / math.sin(math.radians(FIELD_OF_VIEW / 2))
    spans = []
    with np.errstate(divide="ignore", invalid="ignore"):
        for b in boxes:
            t0, t1 = (b[0] - target) / outward, (b[1] - target) / outward
            lo, hi = np.minimum(t0, t1), np.maximum(t0, t1)
            flat, inside = outward == 0, (b[0] <= target) & (target <= b[1])
            lo[flat] = np.where(inside[flat], -np.inf, np.inf)
            hi[flat] = np.where(inside[flat], np.inf, -np.inf)
            if lo.max() <= hi.min():
                spans.append((float(lo.max()), float(hi.min())))
    for enter, leave in sorted(spans):
        if enter <= distance <= leave:
            distance = leave + 0.02 * radius
    return target + outward * distance, radius


def random_box(rng, centre, sizes=(0.05, 0.3, 1, 5, 40)):
    """Cubes, slabs, pipes and beams from 5 cm to 40 units."""
    size = rng.choice(sizes, 3) * rng.uniform(0.5, 2, 3)
    lo = centre + rng.uniform(-1, 1, 3) - size / 2
    return np.array([lo, lo + size])


def close(a, b, scale):
    """Equal but for rounding: the same formulas summed in another order (a few ulps of the
    coordinates, which reach 100 units here), with margin."""
    return np.allclose(a, b, rtol=0, atol=1e-9 * scale)


def test_views_for_every_clash_at_once_match_the_rule_clash_by_clash():
    """Pairs and groups of up to five boxes; boxes absent, level with the target, sharing a
    centre (the fallback direction), elongated through the target; points not finite."""
    rng = np.random.default_rng(11)
    rows = []
    for i in range(600):
        k = 2 if i < 400 else int(rng.integers(0, 6))
        boxes = [random_box(rng, rng.uniform(-3, 3, 3)) for _ in range(k)]
        if i % 7 == 1 and k >= 2:
            boxes[-1] = boxes[0].copy()
        if i % 5 == 2 and k:
            boxes[int(rng.integers(k))] = None
        points = rng.uniform(-3, 3, (int(rng.integers(0, 4)), 3))
        if i % 11 == 3 and len(points):
            points[0, 1] = np.nan
        usable = points[np.isfinite(points).all(axis=1)]
        target = usable.mean(axis=0) if len(usable) else rng.uniform(-3, 3, 3)
        if i % 9 == 4:
            target[2] = 0.0
        rows.append((target, boxes, points))
    k, p = max(len(r[1]) for r in rows), max(len(r[2]) for r in rows)
    boxes = np.full((len(rows), k, 2, 3), np.nan)
    points = np.full((len(rows), p, 3), np.nan)
    for i, (_, b, pts) in enumerate(rows):
        for j, x in enumerate(b):
            if x is not None:
                boxes[i, j] = x
        points[i, :len(pts)] = pts
    views = views_for(np.array([r[0] for r in rows]), boxes, points)
    fallbacks = 0
    for i, (target, b, pts) in enumerate(rows):
        usable = pts[np.isfinite(pts).all(axis=1)]
        position, radius = reference_view(target, b, usable)
        assert close(views.radius[i], radius, 100) and close(views.position[i], position, 100), i
        fallbacks += bool(len(b) >= 2 and b[0] is not None and b[-1] is not None
                          and np.array_equal(b[0], b[-1]))
    assert fallbacks > 10


def scene_models(tmp_path):
    """Two models of a few hundred boxes of every shape crowded into a storey; some have a
    corner beyond float32 (no view draws the triangles there)."""
    rng = np.random.default_rng(5)
    for name in ("structure", "services"):
        lines = []
        for i in range(200):
            lo, hi = random_box(rng, rng.uniform([0, 0, 0], [60, 60, 6]), (0.05, 0.3, 1, 3, 12))
            key = f"{name[0]}-{i}" if i % 13 else f"{name[0]}-{i} ø <\"\\>"
            points, triangles = box(tuple(lo), tuple(hi))
            if i % 17 == 0:
                points[6] = (1e39, *points[6][1:])
            lines.append(inline_object(key, points, triangles))
        (tmp_path / f"{name}.txt").write_text("".join(lines), "utf-8")
    return {n: orvexkit.Model(Path(tmp_path / f"{n}.txt"), name=n) for n in ("structure", "services")}


@pytest.mark.parametrize("budget", [5000, 150])
def test_html_views_neighbours_and_meshes_match_clash_by_clash(tmp_path, budget):
    """The page's data from the models' bulk accessors and from a source that answers one
    object at a time are the same, and each clash's view, neighbours and meshes are those of
    the rule applied to that clash alone, neighbours found by scanning every box."""
    models = scene_models(tmp_path)
    report = run_checks([Check("hard", "structure", "services", clearance=0.5)], models)
    assert 300 < len(report.clashes) < 3000
    write_html(report, tmp_path / "bulk.html", ModelGeometry(models), max_objects=budget)
    one_by_one = DictGeometry({(n, o.key): (o.vertices, o.triangles)
                               for n, m in models.items() for o in m})
    write_html(report, tmp_path / "each.html", one_by_one, max_objects=budget)
    page, data, meshes = embedded(tmp_path / "bulk.html")
    _, data_each, meshes_each = embedded(tmp_path / "each.html")
    assert data == data_each
    assert meshes.keys() == meshes_each.keys()
    # An object no model has (a report from elsewhere) gets a row but no box, mesh or
    # neighbours, from either source alike.
    stray = dataclasses.replace(report.clashes[0], id="stray", b=ObjectRef("services", "no such key", "X"))
    more = dataclasses.replace(report, clashes=[report.clashes[0], stray, *report.clashes[1:]])
    for name, source in (("bulk-stray", ModelGeometry(models)), ("each-stray", one_by_one)):
        write_html(more, tmp_path / f"{name}.html", source, max_objects=budget)
    stray_data = embedded(tmp_path / "bulk-stray.html")[1]
    assert stray_data == embedded(tmp_path / "each-stray.html")[1]
    assert stray_data["objects"][stray_data["clashes"][1]["b"]][1:] == ["no such key", "X", None, None, -1]

    ids = [(n, o.key) for n, m in models.items() for o in m]
    boxes = np.concatenate([m.object_bounds for m in models.values()]).astype(np.float64)
    box_of = {obj: boxes[i] for i, obj in enumerate(ids)}
    objects = [tuple(o[:2]) for o in data["objects"]]
    pairs, near = [], []
    for entry, c in zip(data["clashes"], report.clashes):
        pair = [(c.a.model, c.a.key), (c.b.model, c.b.key)]
        target = (np.array(c.point_a) + np.array(c.point_b)) / 2
        position, radius = reference_view(target, [box_of[o] for o in pair],
                                          [c.point_a, c.point_b])
        assert close(entry["view"][:3], position, 100) and close(entry["view"][6], radius, 100)
        assert entry["view"][3:6] == target.tolist()
        outside = np.maximum(boxes[:, 0] - target, 0) + np.maximum(target - boxes[:, 1], 0)
        dist = np.sqrt((outside ** 2).sum(axis=1))
        order = [i for i in np.argsort(dist, kind="stable") if dist[i] <= entry["view"][6]]
        pairs += pair
        near.append([ids[i] for i in order if ids[i] not in pair][:20])
    # Clash objects first, then neighbours, in order of need until the budget is spent; a
    # clash's neighbours are those that made it.
    assert list(meshes) == list(dict.fromkeys(pairs + [o for objs in near for o in objs]))[:budget]
    for entry, objs in zip(data["clashes"], near):
        assert [objects[i] for i in entry["near"]] == [o for o in objs if o in meshes]
    origin = np.array(data["origin"])
    blob = re.search(r'id="report-vertices">([^<]*)<', page)[1]
    vertices = np.frombuffer(base64.b64decode(blob), "<f4").reshape(-1, 3)
    for (model, key, *_, k) in data["objects"]:
        if k >= 0:
            v0, nv, _, nt = data["meshes"][k]
            m = models[model][key]
            assert np.array_equal(vertices[v0:v0 + nv],
                                  (m.vertices.astype(np.float64) - origin).astype("<f4"))
            drawn = np.isfinite(m.vertices[m.triangles]).all(axis=(1, 2))
            assert np.array_equal(meshes[(model, key)][1], m.triangles[drawn])


@pytest.mark.parametrize("threads", [1, 3])
def test_neighbours_across_models_match_a_scan_of_every_box(tmp_path, threads, monkeypatch):
    """Each model's hierarchy answers for its objects and the answers merge as one scan over
    every box in model order would: nearest first, ties (repeated and flush boxes on a
    coarse grid) in model and then object order, at most the limit; objects without
    triangles are never near; points that are not finite get nothing."""
    monkeypatch.setenv("ORVEX_NUM_THREADS", str(threads))
    rng = np.random.default_rng(5)
    models = {}
    for name in ("-0", "ø \"x\""):
        lines = []
        for i in range(300):
            lo = rng.integers(-8, 8, 3) * 0.5
            hi = lo + rng.integers(1, 4, 3) * 0.5 if i % 50 else lo + [400.0, 0.5, 0.5]
            if i % 29 == 0:       # a corner beyond float32: no finite triangle, no box
                lo[0], hi[0] = 1e39, 2e39
            lines.append(inline_object(f"{i % 7}-{i}", *box(tuple(lo), tuple(hi))))
        (tmp_path / "m.txt").write_text("".join(lines) * 2, "utf-8")     # every key twice
        models[name] = orvexkit.Model(Path(tmp_path / "m.txt"), name=name)
    ids = [(n, k) for n, m in models.items() for k in m.keys]
    boxes = np.concatenate([m.object_bounds for m in models.values()]).astype(np.float64)
    usable = np.isfinite(boxes).all(axis=(1, 2)) & (boxes[:, 0] <= boxes[:, 1]).all(axis=1)
    assert not usable.all()
    points = np.concatenate([rng.integers(-10, 10, (200, 3)) * 0.5, rng.uniform(-300, 300, (50, 3)),
                             [[np.nan, 0, 0], [0, np.inf, 0]]])
    radii = rng.choice([0.0, 0.5, 2.0, np.inf], len(points))
    for limit in (1, 20, 10_000):
        found = ModelGeometry(models).near_all(points, radii, limit)
        for p, r, got in zip(points, radii, found):
            with np.errstate(invalid="ignore"):         # inf - inf for the points not finite
                outside = np.maximum(boxes[:, 0] - p, 0) + np.maximum(p - boxes[:, 1], 0)
                dist = np.sqrt((outside ** 2).sum(axis=1))
            order = np.argsort(dist, kind="stable")
            assert got == [ids[i] for i in order if usable[i] and dist[i] <= r][:limit]


def test_meshes_of_many_objects_in_one_native_call(tmp_path):
    """The bulk copy over several models is the objects' own meshes in the order asked
    (models interleaved, repeats included), without the triangles that have a corner that
    is not finite; a model position or index out of range, or arrays that are not int64,
    are refused, not read. Keys are looked up in bulk the same way, anything that is no
    key of the model giving -1."""
    models = scene_models(tmp_path)
    model, other = models["structure"], models["services"]
    keys = [model.keys[3], "\ud800", 7, None, model.keys[-1], model.keys[3] + " ", ""]
    assert np.asarray(model._handle.find_all(keys)).tolist() == [3, -1, -1, -1, len(model) - 1, -1, -1]
    assert model._handle.triangle_count() == sum(len(o.triangles) for o in model)
    handles = [model._handle, other._handle]
    picked = [(0, 5), (1, 0), (0, 0), (0, 5), (1, 7), (0, len(model) - 1)]   # 0 has a corner beyond float32
    objects = [(model, other)[m][i] for m, i in picked]
    drawn = [o.triangles[np.isfinite(o.vertices[o.triangles]).all(axis=(1, 2))] for o in objects]
    assert len(drawn[2]) < len(model[0].triangles)
    owners, indices = (np.array(column, np.int64) for column in zip(*picked))
    v, t, counts = (np.asarray(a) for a in _native.meshes(handles, owners, indices))
    assert np.array_equal(v, np.concatenate([o.vertices for o in objects]))
    assert np.array_equal(t, np.concatenate(drawn))
    assert counts.tolist() == [[len(o.vertices), len(d)] for o, d in zip(objects, drawn)]
    empty = np.empty(0, np.int64)
    assert [np.asarray(a).shape for a in _native.meshes(handles, empty, empty)] == [(0, 3), (0, 3), (0, 2)]
    for owner, index, error in [([0], [len(model)], IndexError), ([0], [-1], IndexError),
                                ([2], [0], IndexError), ([-1], [0], IndexError),
                                ([0, 0], [0], ValueError)]:
        with pytest.raises(error):
            _native.meshes(handles, np.array(owner, np.int64), np.array(index, np.int64))
    with pytest.raises(ValueError):
        _native.meshes(handles, np.array([0], np.int64), np.array([0], np.int32))
    with pytest.raises(TypeError):
        _native.meshes([model], np.array([0], np.int64), np.array([0], np.int64))
    point, radius = np.zeros((1, 3)), np.ones(1)
    for args, error in [(([model], point, radius, 5, 1), TypeError),
                        (([model._handle], point.astype(np.float32), radius, 5, 1), ValueError),
                        (([model._handle], np.zeros((1, 2)), radius, 5, 1), ValueError),
                        (([model._handle], point, np.ones(2), 5, 1), ValueError),
                        (([model._handle], point, radius, -1, 1), ValueError),
                        (([model._handle], point, radius, 5, 0), ValueError)]:
        with pytest.raises(error):
            _native.nearest(*args)


def test_names_and_levels_in_bulk_are_the_string_members_of_each_object(tmp_path):
    """The clash records' keys, types, names and levels, read natively for many objects at
    once, are each object's own: names and levels what its parsed members say where those
    are strings (escapes, non-ASCII, digits, empty), and None where they are numbers,
    objects, null or absent."""
    values = ["-0", "", "é \"q\" \\ \t\u2028", "0", 5, None, {"name": "x"}, ["l"], "Level 1"]
    lines = []
    for i in range(40):
        members = {}
        for member, k in (("name", i), ("level", i // 3)):
            if k % 10 < len(values):
                members[member] = values[k % 10]
        lines.append(inline_object(f"k{i}", *box((i, 0, 0), (i + 1, 1, 1)))
                     .replace('"displayValue"', json.dumps(members)[1:-1] + ',"displayValue"'
                              if members else '"displayValue"'))
    (tmp_path / "m.txt").write_text("".join(lines), "utf-8")
    model = orvexkit.Model(tmp_path / "m.txt")
    asked = [7, 0, 7, 39, 12]
    refs = _Objects("m", model).refs(asked)
    for i, ref in zip(asked, refs):
        meta = model[i].meta
        expected = [v if isinstance(v, str) else None for v in (meta.get("name"), meta.get("level"))]
        assert [ref.key, ref.type, ref.name, ref.level] == [model.keys[i], model.types[i], *expected]
    assert {r.name for r in _Objects("m", model).refs(list(range(40)))} >= {"-0", "", values[2], None}
    for bad, error in [(np.array([40]), IndexError), (np.array([0], np.int32), ValueError),
                       ([0], TypeError)]:
        for read in (lambda at: model._handle.string_members("name", at), model._handle.keys,
                     model._handle.types):
            with pytest.raises(error):
                read(bad)

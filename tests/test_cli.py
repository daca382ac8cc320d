"""The `orvex` command and the checks behind it: kinds against the plain pass, every report
on a hand-made scene with known clashes, status across runs, clash-set files, selections,
groups, bad input and exit codes."""
import csv
import gc
import json
import os
import subprocess
import sys
import typing
import zipfile
from pathlib import Path

import numpy as np
import pytest

import orvexkit
from orvexkit import cli
from orvexkit.checks import (Check, KINDS, TypeSelector, clash_id, distance_components,
                             run_check)
from models import MESH, box, faces_of, flat, line
from test_reports import validate

COLUMN, BEAM, SLAB, WALL = ("2O2Fr$t4X7Zf8NOew3FLOH", "1hOSvn6df7F8_7GcBWlRGQ",
                            "3cUkl32yn9qRSPvBJVyWYp", "0BTBFw6f90Nfh9rP1dlXrb")


def element(key, lo, hi, speckle_type, name=None, level=None):
    points, triangles = box(lo, hi)
    obj = {"speckle_type": speckle_type, "id": key, "displayValue": [
        {"speckle_type": MESH, "id": f"{key}-mesh", "vertices": flat(points),
         "faces": faces_of(triangles)}]}
    if name is not None:
        obj["name"] = name
    if level is not None:
        obj["level"] = level
    return line(key, obj)


STRUCTURE = [
    (COLUMN, (0, 0, 0), (0.4, 0.4, 3), "IFC.IfcColumn", "C1", "Level 1"),
    (BEAM, (0.4, 0, 2.6), (6, 0.4, 3), "IFC.IfcBeam", "B1", "Level 1"),
    (SLAB, (0, 0, 3), (6, 6, 3.2), "IFC.IfcSlab", "S1", "Level 2"),
    (WALL, (20, 0, 0), (20.2, 6, 3), "IFC.IfcWallStandardCase", "W9", "Level 1"),
]
SERVICES = {
    "duct-1": ((0.1, -1, 1), (0.3, 2, 1.2), "Objects.BuiltElements.Duct", "D1", "Level 1"),
    "duct-2": ((5.4, -1, 2.0), (5.6, 2, 2.6), "Objects.BuiltElements.Duct", "D2", "Level 1"),
    "pipe-1": ((1, 1, 3.23), (1.5, 1.1, 3.3), "Objects.BuiltElements.Pipe", "P1 ø50", "Level 2"),
    "pipe-2": ((20.25, 1, 1), (21, 1.1, 1.1), "Objects.BuiltElements.Pipe", "P2", None),
    "pipe-3": ((10, 10, 10), (11, 11, 11), "Objects.BuiltElements.Pipe", "P3", None),
}
# Structure x services with --clearance 0.1 --touching 0.001, in report order:
# (a key, b key, kind, group).
EXPECTED = [(COLUMN, "duct-1", "crossing", "G1"), (BEAM, "duct-2", "touching", "G2"),
            (SLAB, "pipe-1", "clearance", "G1"), (WALL, "pipe-2", "clearance", "G3")]


def write_scene(folder, services=SERVICES):
    folder.mkdir(exist_ok=True)
    structure = folder / "structure.txt"
    structure.write_text("".join(element(*e) for e in STRUCTURE))
    mep = folder / "services.txt"
    mep.write_text("".join(element(k, *v) for k, v in services.items()))
    return structure, mep


def run(*args):
    """cli.main on strings, paths and numbers."""
    return cli.main([str(a) for a in args])


def needs_types():
    model = orvexkit.Model(element("x", (0, 0, 0), (1, 1, 1), "IFC.IfcWall", "n"))
    if model.types != ["IFC.IfcWall"]:
        pytest.fail("the engine keeps no object types: the command's selections and reports "
                    "need them")


# --- kinds ------------------------------------------------------------------------------------

def reference_kind(d, check):
    """README's table, in float32."""
    d, f32 = np.float32(d), np.float32
    if check.touching is not None and abs(d) <= f32(check.touching):
        return None if check.ignore_touching else "touching"
    if d < -f32(check.hard):
        return "crossing"
    if check.clearance is not None and d < f32(check.clearance):
        return "clearance"
    return None


def random_model(rng, n, types, name):
    lines = []
    for k in range(n):
        lo = rng.uniform(0, 6, 3).round(2)
        hi = lo + rng.uniform(0.1, 1.5, 3).round(2)
        lines.append(element(f"{name}-{k}-{rng.integers(0, 99)}", lo, hi, types[rng.integers(len(types))]))
    return orvexkit.Model("".join(lines), name=name)


def test_checks_against_the_plain_pass():
    """run_check against every pair within reach from orvexkit.clash(min_dist=inf), kept by
    the table, on random scenes and tolerances that sit on the pairs' own distances; self
    clashes with equal and with different selections on the two sides, and same-type pairs
    left out."""
    needs_types()
    rng = np.random.default_rng(12)
    types = ["IFC.IfcBeam", "IFC.IfcColumn", "IFC.IfcWallStandardCase", "Objects.BuiltElements.Duct"]
    selector = TypeSelector()
    for trial in range(12):
        a = random_model(rng, 25, types, "a")
        b = random_model(rng, 25, types, "b")
        models = {"a": a, "b": b}
        for self_clash in (False, True):
            other = a if self_clash else b
            full = orvexkit.clash(a, other, np.inf, reach=3.0)
            d = full.dist.astype(np.float64)

            def pick(values):
                return float(rng.choice(values)) if len(values) else float(rng.uniform(0, 0.3))

            touching = [None, 0.0, pick(np.abs(d[np.abs(d) < 0.2]))][trial % 3]
            check = Check("c", "a", None if self_clash else "b",
                          hard=[0.0, pick(-d[d < 0])][trial % 2],
                          clearance=[None, pick(d[d > 0]), 0.7][trial % 3],
                          touching=touching, ignore_touching=touching is not None and trial % 4 == 0,
                          a_include=[(), ("IfcBuildingElement",)][trial % 2],
                          b_include=[(), ("IfcColumn", "Objects.BuiltElements.Duct")][(trial // 2) % 2],
                          b_exclude=[(), ("IfcWall",)][(trial // 3) % 2],
                          ignore_same_type=trial % 5 == 0)
            in_a = [selector.matches(t, check.a_include) if check.a_include else True for t in a.types]
            in_b = [(not check.b_include or selector.matches(t, check.b_include))
                    and not (check.b_exclude and selector.matches(t, check.b_exclude))
                    for t in other.types]
            want = {}
            for i, j, dist in zip(full.a_index.tolist(), full.b_index.tolist(), full.dist.tolist()):
                kind = reference_kind(dist, check)
                if kind is None or (check.ignore_same_type and a.types[i] == other.types[j]):
                    continue
                if self_clash:
                    if i == j or not ((in_a[i] and in_b[j]) or (in_a[j] and in_b[i])):
                        continue
                    key = tuple(sorted((a.keys[i], a.keys[j])))
                elif in_a[i] and in_b[j]:
                    key = (a.keys[i], b.keys[j])
                else:
                    continue
                want[key] = (kind, dist)
            got = {}
            for c in run_check(check, models):
                key = tuple(sorted((c.a.key, c.b.key))) if self_clash else (c.a.key, c.b.key)
                assert key not in got
                got[key] = (c.kind, c.dist)
                assert c.id == clash_id("c", c.a.key, c.b.key, self_clash)
            assert got == want, (trial, self_clash, check)


def test_kind_boundaries_are_float32():
    from orvexkit.checks import CLEARANCE, CROSSING, NOT_REPORTED, TOUCHING, classify
    t = np.float32(0.001)
    up, down = np.nextafter(t, np.float32(1)), np.nextafter(-t, np.float32(-1))
    check = Check("c", "a", hard=0.001, clearance=0.05, touching=0.001)
    d = np.array([t, -t, up, down, np.float32(0.05), np.nextafter(np.float32(0.05), np.float32(0))],
                 np.float32)
    assert classify(d, check).tolist() == [TOUCHING, TOUCHING, CLEARANCE, CROSSING,
                                           NOT_REPORTED, CLEARANCE]
    assert check.min_dist == np.float32(0.05)
    touch = Check("c", "a", touching=0.001)
    assert touch.min_dist == up                  # keeps d <= T: the engine keeps d < min_dist
    assert Check("c", "a", clearance=2.0).reach == 2.0
    assert Check("c", "a", hard=0.5).min_dist == -0.5
    assert classify(np.float32([0.0, -0.0]), Check("c", "a", clearance=1, ignore_touching=True)).tolist() \
        == [NOT_REPORTED, NOT_REPORTED]
    for bad in (dict(hard=-1), dict(clearance=float("nan")), dict(touching=1e39), dict(hard="1")):
        with pytest.raises(ValueError):
            Check("c", "a", **bad)


# --- reports through the command --------------------------------------------------------------

def test_every_report_on_a_hand_made_scene(tmp_path, capsys):
    needs_types()
    structure, services = write_scene(tmp_path / "in")
    out = tmp_path / "out"
    out.mkdir()
    assert run("clash", structure, services, "--clearance", 0.1, "--touching", 0.001,
               "--json", out / "r.json", "--csv", out / "r.csv", "--json-ifcclash", out / "i.json",
               "--bcf", out / "r.bcf", "--html", out / "r.html", "--threads", 2) == 0
    summary = capsys.readouterr()
    assert summary.out == ""
    assert "clearance  structure  services        4         1         1          2" in summary.err

    report = json.loads((out / "r.json").read_text("utf-8"))
    assert report["format"] == "orvex clash report" and report["version"] == 1
    got = [(c["a"]["key"], c["b"]["key"], c["kind"], c["group"]) for c in report["clashes"]]
    assert got == EXPECTED
    first = report["clashes"][0]
    assert first["id"] == clash_id("clearance", COLUMN, "duct-1", False)
    assert first["a"] == {"model": "structure", "key": COLUMN, "type": "IFC.IfcColumn",
                          "name": "C1", "level": "Level 1"}
    assert first["dist"] < 0 and first["status"] == "new" and first["previous_dist"] is None
    gaps = {c["b"]["key"]: c["dist"] for c in report["clashes"]}
    assert gaps["pipe-1"] == pytest.approx(0.03, abs=1e-6)
    assert gaps["pipe-2"] == pytest.approx(0.05, abs=1e-6)
    import hashlib
    assert [(m["name"], m["objects"], m["triangles"], m["sha256"]) for m in report["models"]] == [
        ("structure", 4, 48, hashlib.sha256(structure.read_bytes()).hexdigest()),
        ("services", 5, 60, hashlib.sha256(services.read_bytes()).hexdigest())]
    assert report["checks"] == [{"name": "clearance", "a": "structure", "b": "services",
                                 "settings": {"hard": 0.0, "clearance": 0.1, "touching": 0.001}}]
    # The same run on one thread writes the same report.
    assert run("clash", structure, services, "--clearance", 0.1, "--touching", 0.001, "--json",
               out / "one.json", "--threads", 1, "-q") == 0
    again = json.loads((out / "one.json").read_text("utf-8"))
    assert {**again, "created": None} == {**report, "created": None}

    with open(out / "r.csv", newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    assert [(r["id"], r["kind"], r["group"], float(r["dist"]), r["b_name"]) for r in rows] == \
        [(c["id"], c["kind"], c["group"], c["dist"], c["b"]["name"]) for c in report["clashes"]]
    assert rows[3]["b_level"] == "" and float(rows[0]["point_b_z"]) == report["clashes"][0]["point_b"][2]

    # IfcClash's schema, checked against the package's own declarations.
    from ifcclash.ifcclash import ClashResult, ClashSet, ClashSource
    sets = json.loads((out / "i.json").read_text("utf-8"))
    (clash_set,) = sets
    assert set(clash_set) <= set(typing.get_type_hints(ClashSet))
    assert clash_set["mode"] == "clearance" and clash_set["clearance"] == 0.1
    assert clash_set["a"] == [{"file": str(structure)}]
    assert all(set(s) <= set(typing.get_type_hints(ClashSource)) for s in clash_set["a"] + clash_set["b"])
    result_keys = set(typing.get_type_hints(ClashResult))       # smart_group included
    assert list(clash_set["clashes"]) == [f"{a}-{b}" for a, b, _, _ in EXPECTED]
    for (a, b, kind, group), c in zip(EXPECTED, clash_set["clashes"].values()):
        assert set(c) == result_keys
        assert (c["a_global_id"], c["b_global_id"]) == (a, b)
        assert c["type"] == {"crossing": "collision", "touching": "collision"}.get(kind, kind)
        assert c["distance"] >= 0 and len(c["p1"]) == len(c["p2"]) == 3
        assert c["smart_group"] == int(group[1:])
    assert clash_set["clashes"][f"{COLUMN}-duct-1"]["a_ifc_class"] == "IfcColumn"

    # BCF: valid against the XSDs, one topic per group, the GlobalIds selected.
    from bcf.v2.bcfxml import BcfXml
    validate(out / "r.bcf")
    archive = BcfXml.load(out / "r.bcf")
    topics = sorted(archive.topics.values(), key=lambda t: t.topic.index)
    assert [t.topic.title for t in topics] == [
        "Crossing: IfcColumn C1 × Duct D1 and 1 more (group G1)",
        "Touching: IfcBeam B1 × Duct D2", "Clearance: IfcWallStandardCase W9 × Pipe P2"]
    assert [list(t.viewpoints.values())[0].get_selected_guids() for t in topics] == \
        [[COLUMN, SLAB], [BEAM], [WALL]]

    from test_reports_html import embedded
    _, data, meshes = embedded(out / "r.html")
    assert [c["id"] for c in data["clashes"]] == [c["id"] for c in report["clashes"]]
    assert ("structure", COLUMN) in meshes and ("services", "pipe-3") not in meshes
    assert not list(out.glob(".*"))           # no temporary files left


def test_a_run_without_clashes_writes_every_report(tmp_path):
    structure, services = write_scene(tmp_path / "in")
    out = {s: tmp_path / f"r.{s}" for s in ("json", "csv", "bcf", "html")}
    assert run("clash", structure, services, "--b-include", "Objects.BuiltElements.Wire", "-q",
               *(x for s, p in out.items() for x in (f"--{s}", p))) == 0
    assert gc.isenabled()       # paused during the run only: in-process callers keep it
    assert json.loads(out["json"].read_text())["clashes"] == []
    validate(out["bcf"])
    from test_reports_html import embedded
    assert embedded(out["html"])[1]["clashes"] == []


def test_html_report_in_a_browser(tmp_path, browser):
    needs_types()
    structure, services = write_scene(tmp_path)
    page = tmp_path / "report.html"
    assert run("clash", structure, services, "--clearance", 0.1, "--touching", 0.001,
               "--html", page, "-q") == 0
    browser.open(page.as_uri())
    from test_reports_html import ROWS, pixels
    from test_reports import bluish, reddish
    ids = [clash_id("clearance", a, b, False) for a, b, _, _ in EXPECTED]
    assert browser.js(ROWS) == ids
    drawn = pixels(browser.js("document.getElementById('canvas').toDataURL()"))
    assert reddish(drawn) > 500 and bluish(drawn) > 500
    browser.screenshot(tmp_path / "report.png")
    print(f"\nscreenshot: {tmp_path / 'report.png'}")


from test_reports_html import browser  # noqa: E402,F401  (the fixture)


def test_status_across_runs(tmp_path, capsys):
    needs_types()
    structure, services = write_scene(tmp_path / "week1")
    first = tmp_path / "week1.json"
    options = ["--clearance", 0.1, "--touching", 0.001, "-q"]
    assert run("clash", structure, services, *options, "--json", first, "--fail-on-clash") == 3
    data = json.loads(first.read_text("utf-8"))
    data["clashes"][0]["status"] = "approved"          # column x duct-1
    data["clashes"][2]["status"] = "ignored"           # slab x pipe-1
    first.write_text(json.dumps(data))

    moved = dict(SERVICES)
    del moved["pipe-2"]                                 # resolved
    moved["duct-2"] = ((5.4, -1, 1.95), (5.6, 2, 2.62), *SERVICES["duct-2"][2:])   # now crossing
    moved["pipe-4"] = ((20.23, 3, 1), (21, 3.1, 1.1), "Objects.BuiltElements.Pipe", "P4", None)
    structure, services = write_scene(tmp_path / "week2", moved)
    second = tmp_path / "week2.json"
    assert run("clash", structure, services, *options, "--baseline", first, "--json", second,
               "--csv", tmp_path / "week2.csv", "--bcf", tmp_path / "week2.bcf",
               "--bcf-version", "3.0", "--bcf-per", "clash") == 0
    report = json.loads(second.read_text("utf-8"))
    got = [(c["b"]["key"], c["kind"], c["status"], c["previous_dist"] is not None)
           for c in report["clashes"]]
    assert got == [("duct-1", "crossing", "approved", True), ("duct-2", "crossing", "active", True),
                   ("pipe-1", "clearance", "ignored", True), ("pipe-4", "clearance", "new", False)]
    assert report["clashes"][1]["previous_dist"] == data["clashes"][1]["dist"]
    assert [(c["b"]["key"], c["status"]) for c in report["resolved"]] == [("pipe-2", "resolved")]
    rows = list(csv.DictReader(open(tmp_path / "week2.csv", encoding="utf-8")))
    assert [r["status"] for r in rows] == ["approved", "active", "ignored", "new", "resolved"]
    # BCF 3.0, a topic per clash: open for new and active ones, closed for the others.
    from bcf.v3.bcfxml import BcfXml
    archive = BcfXml.load(tmp_path / "week2.bcf")
    assert archive.version.version_id == "3.0"
    topics = sorted(archive.topics.values(), key=lambda t: t.topic.index)
    assert [t.topic.topic_status for t in topics] == ["Closed", "Open", "Closed", "Open", "Closed"]
    # Open clashes fail a pipeline; approved and ignored ones do not.
    assert run("clash", structure, services, *options, "--baseline", first, "--fail-on-clash") == 3
    for c in report["clashes"]:
        c["status"] = "approved"
    second.write_text(json.dumps(report))
    assert run("clash", structure, services, *options, "--baseline", second, "--fail-on-clash") == 0


def test_clash_set_file_loads_each_model_once(tmp_path, monkeypatch, capsys):
    needs_types()
    structure, services = write_scene(tmp_path)
    set_file = tmp_path / "checks.json"
    set_file.write_text(json.dumps({
        "title": "Weekly",
        "models": {"frame": "structure.txt"},
        "checks": [
            {"name": "hard", "a": "frame", "b": "services.txt", "touching": 0.001,
             "ignore_touching": True},
            {"name": "frame clearance", "a": "frame", "b": "services.txt", "clearance": 0.1,
             "a_include": "IfcBuildingElement", "a_exclude": ["IfcSlab"]},
            {"name": "frame self", "a": "structure.txt", "touching": 0.001,
             "ignore_same_type": True}]}))
    loads = []
    real = orvexkit.runs.Model
    monkeypatch.setattr(orvexkit.runs, "Model", lambda path, **kw: loads.append(path) or real(path, **kw))
    out = tmp_path / "set.json"
    assert run("clash", "--set", set_file, "--json", out, "--group-by", "level") == 0
    assert sorted(Path(p).name for p in loads) == ["services.txt", "structure.txt"]
    report = json.loads(out.read_text("utf-8"))
    assert report["title"] == "Weekly"
    assert [m["name"] for m in report["models"]] == ["frame", "services"]
    got = [(c["check"], c["a"]["key"], c["b"]["key"], c["kind"], c["group"]) for c in report["clashes"]]
    assert got == [
        ("hard", COLUMN, "duct-1", "crossing", "G1"),
        ("frame clearance", COLUMN, "duct-1", "crossing", "G1"),
        ("frame clearance", BEAM, "duct-2", "clearance", "G1"),
        ("frame clearance", WALL, "pipe-2", "clearance", "G1"),
        ("frame self", COLUMN, BEAM, "touching", "G1"),
        ("frame self", COLUMN, SLAB, "touching", "G1"),
        ("frame self", BEAM, SLAB, "touching", "G1")]
    # Level groups: all of a's objects above are on Level 1.
    assert run("clash", "--set", set_file, "--json", out, "--group-by", "pair", "-q") == 0
    groups = [c["group"] for c in json.loads(out.read_text("utf-8"))["clashes"]]
    assert groups == ["G1", "G1", "G2", "G3", "G4", "G5", "G6"]

    # The README's example runs.
    examples = Path(__file__).resolve().parent.parent / "examples" / "checks.json"
    assert run("clash", "--set", examples, "--json", out, "-q") == 0
    assert [c["name"] for c in json.loads(out.read_text("utf-8"))["checks"]] == \
        ["hard", "walls 5 cm", "ducts and trays"]

    bad = tmp_path / "bad.json"
    for content, message in (
            ({"checks": [{"name": "x", "a": "structure.txt"}, {"name": "x", "a": "services.txt"}]},
             "two checks are named 'x'"),
            ({"checks": [{"a": "structure.txt", "clearence": 1}]}, "unknown member 'clearence'"),
            ({"checks": [{"a": "structure.txt", "hard": -1}]}, "hard must be a finite number"),
            ({"checks": [{"a": "structure.txt", "a_include": "IfcBeem"}]}, "unknown IFC class"),
            ({"checks": [{"a": "missing.txt"}]}, "cannot read")):
        bad.write_text(json.dumps(content))
        capsys.readouterr()
        assert run("clash", "--set", bad, "--json", out) == 1
        assert message in capsys.readouterr().err


def test_groups_join_transitively_and_deterministically():
    """Groups against joining every close pair, on points crowded on a grid (ties at exactly
    the distance), with -0.0, points that are not finite, and coordinates far beyond the
    distance (georeferenced models, tiny distances) where grid cells cannot be counted."""
    rng = np.random.default_rng(5)
    for trial in range(120):
        n = int(rng.integers(0, 80))
        p = rng.uniform(0, 8, (n, 3))
        if trial % 3 == 0:
            p = p.round()                        # ties at exactly the distance
            p[p == 0] = -0.0
        distance = float(rng.choice([0.0, 0.5, 1.0, 3.0, np.inf]))
        scale, shrink, offset = [(1, 1, 0), (1e-3, 1, 1e12), (1e10, 1e-19, 0), (1e20, 1, 0)][trial % 4]
        p, distance = p * scale + offset, distance * scale * shrink
        if trial % 5 == 0 and n:
            p[rng.integers(n)] = [np.nan, np.inf, -np.inf][trial % 3]
        parent = list(range(n))

        def root(x):
            while parent[x] != x:
                x = parent[x]
            return x
        with np.errstate(invalid="ignore", over="ignore"):
            for i in range(n):
                for j in range(i + 1, n):
                    close = (p[i] == p[j]).all() if distance == 0 else ((p[i] - p[j]) ** 2).sum() <= distance ** 2
                    if close and np.isfinite(p[i]).all() and np.isfinite(p[j]).all():
                        parent[max(root(i), root(j))] = min(root(i), root(j))
        assert distance_components(p, distance).tolist() == [root(i) for i in range(n)], trial
    # A chain of points 2.9 apart is one group however long; NaN stays alone.
    chain = np.array([[2.9 * k, 0, 0] for k in range(50)] + [[np.nan, 0, 0]])
    assert distance_components(chain, 3.0).tolist() == [0] * 50 + [50]


# --- bad input and exit codes -----------------------------------------------------------------

def test_bad_input_and_options(tmp_path, capsys):
    structure, services = write_scene(tmp_path / "in")
    out = tmp_path / "out"
    out.mkdir()
    report = out / "r.json"

    def fails(code, *args, message):
        capsys.readouterr()
        assert run("clash", *args) == code
        err = capsys.readouterr().err
        assert message in err, err
        assert list(out.iterdir()) == []         # no report, whole or partial

    fails(1, structure, tmp_path / "nothing.txt", "--json", report,
          message=f"cannot read {tmp_path / 'nothing.txt'}: No such file or directory")
    (tmp_path / "notjson.json").write_text("{\"format\": ")
    fails(1, structure, services, "--baseline", tmp_path / "notjson.json", "--json", report,
          message="is not JSON")
    (tmp_path / "other.json").write_text("[]")
    fails(1, structure, services, "--baseline", tmp_path / "other.json", "--json", report,
          message="is not an orvex clash report")
    fails(1, structure, services, "--baseline", tmp_path / "none.json", "--csv", report,
          message="cannot read the baseline")
    fails(1, structure, services, "--json", report, "--html", structure / "r.html",
          message=f"cannot write {structure / 'r.html'}")
    fails(1, structure, services, "--csv", tmp_path / "missing" / "r.csv", "--json", report,
          message="No such file or directory")
    (tmp_path / "bad.txt").write_bytes(b"k\t{\"speckle_type\": \"x\"}\n\xff\n")
    fails(1, structure, tmp_path / "bad.txt", "--json", report, message="cannot load")
    fails(2, structure, services, "--json", report, "--csv", report, message="name the same file")
    fails(2, structure, services, "--bcf", "-", message="cannot go to standard output")
    fails(2, structure, services, "--json", "-", "--csv", "-", message="both write to standard output")
    fails(2, structure, services, structure, message="give one model")
    fails(2, "--set", tmp_path / "x.json", structure, message="not with --set")
    fails(2, "--set", tmp_path / "x.json", "--clearance", 1, message="--clearance: checks of a clash-set")
    fails(2, structure, "--a-include", "IfcBeem", message="unknown IFC class 'IfcBeem'")
    with pytest.raises(SystemExit) as e:
        run("clash", structure, "--clearance", "-1")
    assert e.value.code == 2
    # Standard output carries data only when asked.
    capsys.readouterr()
    assert run("clash", structure, services, "--csv", "-", "-q") == 0
    assert capsys.readouterr().out.startswith("id,check,kind,status,group,dist,")


# A volumetric scene: (a key, b key) -> kind by surface and by volume (hard by volume
# beyond 2 mm, touching within 1 mm), and the overlap's volume where the meshes overlap.
VOLUMETRIC_A = [("col", (0, 0, 0), (1, 1, 3), "IFC.IfcColumn", "C1"),
                ("beam", (0, 0, 3), (4, 1, 3.5), "IFC.IfcBeam", "B1"),
                ("wall", (10, 0, 0), (12, 0.2, 3), "IFC.IfcWall", "W1")]
VOLUMETRIC_B = [("twin", (0, 0, 0), (1, 1, 3), "IFC.IfcColumn", "C1 copy"),
                ("inner", (10.5, 0.05, 1), (11, 0.15, 2), "IFC.IfcPipe", "P1"),
                ("flush", (3, 0, 3), (6, 1, 3.5), "IFC.IfcBeam", "B2"),
                ("near", (0, -0.5, 0), (1, -0.0005, 1), "IFC.IfcDuct", "D1")]
VOLUMETRIC_KINDS = {("col", "twin"): ("touching", "duplicate", 3.0),
                    ("col", "near"): ("touching", "touching", None),
                    ("beam", "twin"): ("touching", "touching", 0.0),
                    ("beam", "flush"): ("touching", "crossing", 0.5),     # 1 m flush inside
                    ("wall", "inner"): (None, "contained", 0.05)}


def test_volumetric_kinds_in_every_report(tmp_path, capsys):
    pytest.importorskip("manifold3d")
    needs_types()
    a, b = tmp_path / "a.txt", tmp_path / "b.txt"
    a.write_text("".join(element(*e) for e in VOLUMETRIC_A))
    b.write_text("".join(element(*e) for e in VOLUMETRIC_B))
    options = ("--tolerance", 0.002, "--touching", 0.001, "-q")

    def kinds(path):
        return {(c["a"]["key"], c["b"]["key"]): c["kind"] for c in json.loads(path.read_text())["clashes"]}

    assert run("clash", a, b, *options, "--json", tmp_path / "surface.json") == 0
    assert kinds(tmp_path / "surface.json") == {k: v[0] for k, v in VOLUMETRIC_KINDS.items() if v[0]}
    # Volumetric, hard by the surface: duplicates and containments added, the rest as before.
    assert run("clash", a, b, *options, "--volumetric", "--json", tmp_path / "v.json") == 0
    assert kinds(tmp_path / "v.json") == {k: v[1] if v[1] in ("duplicate", "contained") else v[0]
                                          for k, v in VOLUMETRIC_KINDS.items()}

    out = {s: tmp_path / f"r.{s}" for s in ("json", "csv", "bcf", "html")}
    assert run("clash", a, b, *options, "--hard-by", "volume", *(x for s, p in out.items()
                                                               for x in (f"--{s}", p))) == 0
    report = json.loads(out["json"].read_text())
    assert kinds(out["json"]) == {k: v[1] for k, v in VOLUMETRIC_KINDS.items()}
    assert [m["open_meshes"] for m in report["models"]] == [0, 0]
    assert report["checks"][0]["settings"] == {"hard": 0.002, "touching": 0.001, "volumetric": True,
                                               "hard_by": "volume", "duplicate_tolerance": 0.001}
    for c in report["clashes"]:
        volume = VOLUMETRIC_KINDS[c["a"]["key"], c["b"]["key"]][2]
        # The boolean works on float32 corners: volumes within their rounding.
        assert c.get("volume") == (None if volume is None else pytest.approx(volume, rel=1e-6))
        assert c.get("contained") == ("b" if c["kind"] == "contained" else None)
    from orvexkit.reports.records import read_json
    again = read_json(out["json"])
    assert [(c.kind, c.volume, c.contained) for c in again.clashes] == \
        [(c["kind"], c.get("volume"), c.get("contained")) for c in report["clashes"]]
    with open(out["csv"], newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    assert [(r["kind"], r["contained"], r["volume"] and float(r["volume"])) for r in rows] == \
        [(c["kind"], c.get("contained") or "", c.get("volume", "")) for c in report["clashes"]]
    validate(out["bcf"])
    from bcf.v2.bcfxml import BcfXml
    archive = BcfXml.load(out["bcf"])
    descriptions = [t.topic.description for t in archive.topics.values()]
    assert any("b (inner) lies inside the other" in d and "overlap volume 0.05 m³" in d
               for d in descriptions)
    from test_reports_html import embedded
    _, data, _ = embedded(out["html"])
    assert [(c["kind"], c["contained"]) for c in data["clashes"]] == \
        [(c["kind"], c.get("contained")) for c in report["clashes"]]

    # Two hard tolerances that differ, and a volumetric cell in shards, are refused.
    capsys.readouterr()
    assert run("clash", a, b, *options, "--hard", 0.001, "--json", tmp_path / "x.json") == 2
    assert "two hard tolerances" in capsys.readouterr().err
    matrix = tmp_path / "m.json"
    matrix.write_text(json.dumps({"models": {"a": str(a), "b": str(b)},
                                  "cells": [{"a": "a", "b": "b", "hard_by": "volume", "shards": 2}]}))
    from orvexkit.runs import InputError
    with pytest.raises(InputError, match="a volumetric cell runs whole"):
        orvexkit.read_matrix(matrix)


def test_console_script_and_ifc_without_the_extra(tmp_path):
    structure, services = write_scene(tmp_path)
    script = Path(sys.executable).parent / "orvex"
    if not script.exists():
        pytest.skip("the console script is not installed beside this interpreter")
    done = subprocess.run([script, "clash", structure, services, "--fail-on-clash", "-q"],
                          capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (3, "", "")
    ifc = tmp_path / "model.txt"
    ifc.write_text("ISO-10303-21;\nHEADER;\nENDSEC;\nEND-ISO-10303-21;\n")   # IFC by its content
    hide = ("import sys; sys.modules['ifcopenshell'] = None; from orvexkit.cli import main; "
            "sys.exit(main(sys.argv[1:]))")
    done = subprocess.run([sys.executable, "-c", hide, "clash", ifc, services, "--json",
                           tmp_path / "r.json"], capture_output=True, text=True, cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr == "orvex: error: IFC input needs the ifc extra: pip install 'orvex[ifc]'\n"
    assert not (tmp_path / "r.json").exists()


def _shared_ifc():
    for parent in Path(__file__).resolve().parents:
        candidate = parent / "shared" / "data" / "ifc" / "pcert_sample_scene_ifc4"
        if candidate.is_dir():
            return candidate
    return None


@pytest.mark.skipif(_shared_ifc() is None, reason="no shared/data/ifc beside the project")
def test_ifc_models(tmp_path, monkeypatch):
    """Two IFC files of the shared house through the command: the pairs are
    clash_detection's on the converted texts, keyed by GlobalId, with IFC classes,
    names and storeys; IFC classes select with their subclasses."""
    pytest.importorskip("ifcopenshell")
    needs_types()
    import hashlib
    import orvex
    import orvex_ifc
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    structure, architecture = (_shared_ifc() / f"Building-{n}.ifc" for n in ("Structural", "Architecture"))
    out = tmp_path / "house.json"
    assert run("clash", structure, architecture, "--touching", 0.001, "--json", out,
               "--json-ifcclash", tmp_path / "ifcclash.json", "-q") == 0
    report = json.loads(out.read_text("utf-8"))
    assert [(m["path"], m["sha256"]) for m in report["models"]] == [
        (str(p), hashlib.sha256(p.read_bytes()).hexdigest()) for p in (structure, architecture)]
    texts = [orvex_ifc.convert_cached(p).read_text() for p in (structure, architecture)]
    want = {c.ids: c.dist for c in orvex.clash_detection(
        *texts, float(Check("t", "a", touching=0.001).min_dist))}
    assert {(c["a"]["key"], c["b"]["key"]): c["dist"] for c in report["clashes"]} == want
    clash = report["clashes"][0]
    assert clash["a"]["type"].startswith("IFC.Ifc") and clash["b"]["name"]
    assert any(c["a"]["level"] for c in report["clashes"])
    (clash_set,) = json.loads((tmp_path / "ifcclash.json").read_text("utf-8"))
    first = clash_set["clashes"][f"{clash['a']['key']}-{clash['b']['key']}"]
    assert (first["a_ifc_class"], first["b_name"]) == (clash["a"]["type"][4:], clash["b"]["name"])
    # IfcElement takes every element class, less the walls.
    assert run("clash", structure, architecture, "--touching", 0.001, "--a-include", "IfcElement",
               "--a-exclude", "IfcWall", "--json", out, "-q") == 0
    kept = [c["id"] for c in json.loads(out.read_text("utf-8"))["clashes"]]
    assert kept == [c["id"] for c in report["clashes"] if c["a"]["type"] != "IFC.IfcWall"]
    assert 0 < len(kept) < len(report["clashes"])

"""The IFC converter and clash runs on real buildings.

The IFC files live beside the project, in shared/data/ifc of a parent folder; without
them, or without ifcopenshell, these tests skip, so that a fresh clone still passes.
"""

import collections
import json
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("ifcopenshell")

_ROOT = pathlib.Path(__file__).resolve().parent.parent
try:
    import orvex_ifc
except ImportError:
    sys.path.insert(0, str(_ROOT / "python"))
    import orvex_ifc
from orvex_ifc import cache, cli
from orvex_ifc.converter import _Keys


def _find_data():
    for parent in _ROOT.parents:
        candidate = parent / "shared" / "data" / "ifc"
        if candidate.is_dir():
            return candidate
    return None


DATA = _find_data()
needs_data = pytest.mark.skipif(DATA is None, reason="no shared/data/ifc beside the project")

HOUSE = "pcert_sample_scene_ifc4/Building-{}.ifc"
STEEL_DESIGN = "schependomlaan/design_ROOT/IFC-staal.ifc"
STEEL_FABRICATED = "schependomlaan/subcontractors/BERNTS-Staalconstructie.ifc"
FLOORS_DESIGN = "schependomlaan/design_ROOT/IFC-breedplaatvloeren.ifc"
SLABS_LEVEL_1 = "schependomlaan/subcontractors/GEELEN-Breedplaat V1.ifc"
SLABS_LEVEL_2 = "schependomlaan/subcontractors/GEELEN-Breedplaat V2.ifc"
LINTELS = "schependomlaan/design_ROOT/IFC-lateien_en_geveldragers.ifc"
RAILINGS = "schependomlaan/design_ROOT/IFC-traphekken.ifc"
DUPLEX = "duplex/Duplex_A_20110907.ifc"


@pytest.fixture(autouse=True)
def _own_cache_folder(tmp_path_factory, monkeypatch):
    """The command caches by default in the user's cache folder; tests keep theirs."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path_factory.mktemp("cache")))

_converted = {}


def converted(name, **options):
    """(model text, Summary) of a data file, converted once per session and options."""
    key = (name, tuple(sorted(options.items())))
    if key not in _converted:
        summary = orvex_ifc.Summary()
        lines = orvex_ifc.model_lines(orvex_ifc.open_ifc(DATA / name), summary=summary, **options)
        _converted[key] = "".join(lines), summary
    return _converted[key]


def model(name, **options):
    return converted(name, **options)[0]


def parse(text):
    """key -> object of every line, failing on a key written twice (the loader would
    keep only the last line of a key and silently lose the others)."""
    objects = {}
    for line in text.splitlines():
        key, obj = line.split("\t", 1)
        assert key not in objects, f"key {key} written twice"
        objects[key] = json.loads(obj)
    return objects


def displayed(objects):
    return {k: o for k, o in objects.items() if "@displayValue" in o}


def mesh_points(objects, obj):
    """The (x, y, z) points of a displayed object, read through its references."""
    mesh = objects[obj["@displayValue"][0]["referencedId"]]
    numbers = [x for ref in mesh["vertices"] for x in objects[ref["referencedId"]]["data"]]
    return list(zip(numbers[0::3], numbers[1::3], numbers[2::3]))


# Counts from the files themselves: every product with a body representation, less
# the default exclusions (the architecture's two IfcSpace and its IfcSpatialZone
# "gross volume"). Products with no representation yield nothing: the two "Group#"
# proxies of the architecture, its IfcRoof and IfcChimney (aggregates, drawn by their
# parts or in the structure file), the structure's IfcRoof.
@needs_data
@pytest.mark.parametrize("discipline, expected", [
    ("Architecture", {"IfcWall": 4, "IfcSlab": 3, "IfcBuildingElementProxy": 3, "IfcFurniture": 1}),
    ("Structural", {"IfcBeam": 6, "IfcWall": 4, "IfcBuildingElementProxy": 2, "IfcChimney": 1,
                    "IfcFooting": 1, "IfcDiscreteAccessory": 2}),
    ("Hvac", {"IfcBuildingElementProxy": 2, "IfcDuctSegment": 1, "IfcAirTerminal": 2}),
])
def test_house_objects_by_class(discipline, expected):
    ifc = orvex_ifc.open_ifc(DATA / HOUSE.format(discipline))
    objects = displayed(parse(model(HOUSE.format(discipline))))
    counts = collections.Counter(o["speckle_type"] for o in objects.values())
    assert counts == {f"IFC.{c}": n for c, n in expected.items()}
    for key, obj in objects.items():
        assert obj["id"] == key
        assert ifc.by_guid(key).is_a() == obj["speckle_type"][4:]


@needs_data
@pytest.mark.parametrize("chunk_size", [7, orvex_ifc.DEFAULT_CHUNK_SIZE])
@pytest.mark.parametrize("discipline", ["Architecture", "Structural", "Hvac"])
def test_house_round_trips_through_the_loader(discipline, chunk_size, capfd):
    """Every object loads and converts without a diagnostic, with its geometry intact:
    against a copy of itself under other keys, each object meets its own copy at
    distance 0 and nothing else."""
    orvex = pytest.importorskip("orvex")
    text = model(HOUSE.format(discipline), chunk_size=chunk_size)
    objects = parse(text)
    for obj in objects.values():
        if "data" in obj:
            assert 0 < len(obj["data"]) <= chunk_size
    keys = set(displayed(objects))
    copy = "".join(f"copy-{line}" if line.split("\t", 1)[0] in keys else line
                   for line in text.splitlines(keepends=True))

    capfd.readouterr()
    orvex.clash_detection(text, text)
    found = orvex.clash_detection(text, copy, min_dist=1e-4)
    assert capfd.readouterr().out == ""
    assert {c.ids[0] for c in found if c.ids[1] == f"copy-{c.ids[0]}"} == keys


@needs_data
def test_millimetre_model_comes_out_in_metres():
    """The Schependomlaan files are in millimetres; their elements lie within about
    0-23 m in x and y and 0-12 m in z, plus the 1 m reference marker at (-1, -1, 0)."""
    objects = parse(model(STEEL_DESIGN))
    points = [p for obj in displayed(objects).values() for p in mesh_points(objects, obj)]
    lo = [min(p[i] for p in points) for i in range(3)]
    hi = [max(p[i] for p in points) for i in range(3)]
    assert lo[0] >= -1.0 - 1e-6 and lo[1] >= -1.0 - 1e-6 and lo[2] > -1.0
    assert hi[0] < 24 and hi[1] < 24 and 11 < hi[2] < 13


def boxes(text):
    """key -> (IFC class, name, lowest corner, highest corner) of each displayed object."""
    objects = parse(text)
    out = {}
    for key, obj in displayed(objects).items():
        points = mesh_points(objects, obj)
        out[key] = (obj["speckle_type"][4:], obj.get("name"),
                    tuple(min(p[i] for p in points) for i in range(3)),
                    tuple(max(p[i] for p in points) for i in range(3)))
    return out


def assert_points_on_design_objects(found, design):
    """The contact point is reported on the first model's mesh, so it lies within
    that object's box."""
    for c in found:
        _, _, lo, hi = design[c.ids[0]]
        assert all(lo[i] - 1e-3 <= c.point[i] <= hi[i] + 1e-3 for i in range(3)), c


# Design elements that the steel fabricator does not supply: the facade bearers
# ("geveldrager") and the stair-landing angles ("hoeklijn bordes") come with the
# brickwork and the precast stairs, and no fabricated steel lies within 8 cm of them;
# "ROOT nulpunt" is the design model's reference marker at (-1, -1, 0), outside the
# building.
NOT_FABRICATED_AS_STEEL = {"geveldrager", "hoeklijn bordes", "ROOT nulpunt"}


@needs_data
def test_design_steel_against_fabricated_steel():
    """The fabrication model details the same steel frame as the design model, in
    the same frame: every designed column, beam and member meets its fabricated twin
    (plus the bolts and plates at its joints). Twins drawn with the same faces touch
    rather than cross, and touching surfaces have distance 0 with no fixed sign, so
    this duplicate check uses the usual tolerance of 1 mm."""
    orvex = pytest.importorskip("orvex")
    design_text, fabricated_text = model(STEEL_DESIGN), model(STEEL_FABRICATED)
    design = boxes(design_text)
    found = orvex.clash_detection(design_text, fabricated_text, min_dist=0.001)

    expected = {k for k, (_, name, _, _) in design.items() if name not in NOT_FABRICATED_AS_STEEL}
    assert {c.ids[0] for c in found} == expected
    assert {design[k][0] for k in expected} == {"IfcBeam", "IfcColumn", "IfcMember"}
    assert_points_on_design_objects(found, design)

    # Without tolerance, only crossing faces count: fewer pairs, none new.
    hard = orvex.clash_detection(design_text, fabricated_text)
    assert hard and {c.ids for c in hard} <= {c.ids for c in found}


@needs_data
@pytest.mark.parametrize("slabs, level", [(SLABS_LEVEL_1, 2.6), (SLABS_LEVEL_2, 5.6)])
def test_design_floors_against_fabricated_slabs(slabs, level):
    """Each slab file of the precast supplier holds the floor of one level (z = 2.6,
    5.6 m). Every design floor field of that level lies where the supplier's plates,
    lattice girders and fillers are, so it clashes with them; the fields of the
    other levels lie 3 m away, beyond the query's 0.5 m reach, and clash with
    nothing."""
    orvex = pytest.importorskip("orvex")
    design_text, slabs_text = model(FLOORS_DESIGN), model(slabs)
    design = boxes(design_text)
    found = orvex.clash_detection(design_text, slabs_text)

    expected = {k for k, (cls, _, lo, _) in design.items()
                if cls == "IfcSlab" and abs(lo[2] - level) < 0.1}
    assert expected
    assert {c.ids[0] for c in found} == expected
    assert_points_on_design_objects(found, design)


@needs_data
@pytest.mark.parametrize("args, expected", [
    (["--include", "IfcWall,IfcSlab"], {"IfcWall": 4, "IfcSlab": 3}),
    (["--include", "IfcSpace"], {"IfcSpace": 2}),
    (["--exclude", "IfcBuildingElementProxy"], {"IfcWall": 4, "IfcSlab": 3, "IfcFurniture": 1,
                                                "IfcSpace": 2, "IfcSpatialZone": 1}),
    (["--exclude", "IfcBuildingElement", "--exclude", "IfcSpatialElement"],
     {"IfcFurniture": 1}),
])
def test_cli_class_filters(args, expected, tmp_path):
    out = tmp_path / "house.txt"
    assert cli.main([str(DATA / HOUSE.format("Architecture")), "-o", str(out), *args]) == 0
    counts = collections.Counter(o["speckle_type"] for o in displayed(parse(out.read_text())).values())
    assert counts == {f"IFC.{c}": n for c, n in expected.items()}


@needs_data
@pytest.mark.parametrize("include, expected", [
    (["IfcSpatialZone"], 0),               # an IFC4 class: nothing of an IFC2X3 file
    (["IfcSpatialZone", "IfcColumn"], 15),
])
def test_classes_missing_from_the_files_schema(include, expected):
    ifc = orvex_ifc.open_ifc(DATA / STEEL_DESIGN)
    assert len(orvex_ifc.select_products(ifc, include=include)) == expected


@pytest.mark.parametrize("content, message", [
    (None, "No such file or directory"),
    (b"", "as IFC"),
    (b"not a model\n", "as IFC"),
])
def test_cli_unreadable_input(content, message, tmp_path, capsys):
    source = tmp_path / "in.ifc"
    if content is not None:
        source.write_bytes(content)
    out = tmp_path / "out.txt"
    assert cli.main([str(source), "-o", str(out)]) == 1
    err = capsys.readouterr().err
    assert err.startswith("orvex-ifc: error: ") and str(source) in err and message in err
    assert list(tmp_path.iterdir()) == ([source] if content is not None else [])


@needs_data
@pytest.mark.parametrize("args", [["--include", "IfcNoSuchThing"], ["--include", "IfcPropertySet"],
                                  ["--chunk-size", "0"]])
def test_cli_refuses_bad_options(args, tmp_path, capsys):
    out = tmp_path / "out.txt"
    with pytest.raises(SystemExit) as exit:
        cli.main([str(DATA / HOUSE.format("Hvac")), "-o", str(out), *args])
    assert exit.value.code == 2
    assert not out.exists() and not (tmp_path / "out.txt.partial").exists()


@needs_data
def test_partitions_make_one_model_with_unique_keys():
    """Partitions of a federated model can repeat an element (the Schependomlaan design
    exports its lintels in two partitions): converted together, each occurrence stays
    an object of its own under its own key."""
    path = DATA / HOUSE.format("Hvac")
    single = displayed(parse(model(HOUSE.format("Hvac"))))
    both = displayed(parse(orvex_ifc.convert([path, path])))
    assert len(both) == 2 * len(single)
    assert set(single) <= set(both)
    assert all(k.split("#")[0] in single for k in both)


def test_unusable_global_ids_get_unique_keys():
    keys = _Keys()
    assert keys("2O2Fr$t4X7Zf8NOew3FLOH", 10) == "2O2Fr$t4X7Zf8NOew3FLOH"
    assert keys("2O2Fr$t4X7Zf8NOew3FLOH", 11) == "2O2Fr$t4X7Zf8NOew3FLOH#11"
    assert keys("2O2Fr$t4X7Zf8NOew3FLOH", 11) == "2O2Fr$t4X7Zf8NOew3FLOH#11.2"
    assert keys("bad\tguid", 12) == "#12"
    assert keys(None, 13) == "#13"
    assert keys("", 13) == "#13.2"


def meshes(text):
    """key -> (points (n, 3), triangles (m, 3)) of each displayed object."""
    objects = parse(text)
    out = {}
    for key, obj in displayed(objects).items():
        mesh = objects[obj["@displayValue"][0]["referencedId"]]
        faces = np.array([x for ref in mesh["faces"] for x in objects[ref["referencedId"]]["data"]])
        assert (faces[0::4] == 3).all()
        out[key] = (np.array(mesh_points(objects, obj)), faces.reshape(-1, 4)[:, 1:])
    return out


def world_reference(path):
    """GlobalId -> (points, triangles) as the kernel gives them in world coordinates,
    for every product it tessellates: the conversion before we placed the products
    ourselves."""
    import ifcopenshell.geom
    ifc = orvex_ifc.open_ifc(path)
    settings = ifcopenshell.geom.settings()
    settings.set("use-world-coords", True)
    iterator = ifcopenshell.geom.iterator(settings, ifc, 1, include=orvex_ifc.select_products(ifc))
    out = {}
    assert iterator.initialize()
    while True:
        shape = iterator.get()
        triangles = np.frombuffer(shape.geometry.faces_buffer, dtype=np.int32).reshape(-1, 3)
        if len(triangles):
            assert shape.guid not in out
            out[shape.guid] = (np.frombuffer(shape.geometry.verts_buffer).reshape(-1, 3), triangles)
        if not iterator.next():
            return out


def corner_distance(a, b):
    """Largest distance between matched corners of two triangle soups (k, 3, 3), each
    triangle of `a` matched to the nearest unused triangle of `b` with the same
    orientation; inf when the counts differ."""
    if len(a) != len(b):
        return np.inf
    turns = [b, b[:, [1, 2, 0]], b[:, [2, 0, 1]]]
    free = np.ones(len(b), dtype=bool)
    worst = 0.0
    for t in a:
        d = np.min([np.abs(turn - t).max(axis=(1, 2)) for turn in turns], axis=0)
        d[~free] = np.inf
        j = int(np.argmin(d))
        free[j] = False
        worst = max(worst, d[j])
    return worst


# Files with products whose representations are equal, so that part of the objects
# are placed copies of another's triangles, and the house with its IFC4 files.
@needs_data
@pytest.mark.parametrize("name, copies", [
    (HOUSE.format("Architecture"), 0), (HOUSE.format("Structural"), 0), (HOUSE.format("Hvac"), 0),
    (STEEL_DESIGN, 26), (LINTELS, 27), (RAILINGS, 9), (DUPLEX, 63),
])
def test_triangles_are_the_kernels_world_triangles(name, copies):
    """Every object has the triangles the kernel computes in world coordinates,
    within 1e-6 m. Mostly point for point; where the kernel welds the points of a
    mesh differently in world coordinates (one Duplex wall: 16 points there, 20 in
    its own frame), triangle for triangle."""
    text, summary = converted(name)
    new = meshes(text)
    reference = world_reference(DATA / name)
    assert sum(summary.objects.values()) - summary.tessellated == copies
    assert set(new) == set(reference)
    rewelded = 0
    for key, (points, triangles) in reference.items():
        ours, our_triangles = new[key]
        if ours.shape == points.shape and np.array_equal(our_triangles, triangles):
            assert np.abs(ours - points).max() <= 1e-6, key
        else:
            rewelded += 1
            assert corner_distance(points[triangles], ours[our_triangles]) <= 1e-6, key
    assert rewelded == (1 if name == DUPLEX else 0)


@needs_data
def test_text_is_the_same_for_any_number_of_threads():
    files = [DATA / STEEL_DESIGN, DATA / LINTELS, DATA / RAILINGS]
    one = orvex_ifc.convert(files, threads=1)
    assert orvex_ifc.convert(files, threads=2) == one
    assert orvex_ifc.convert(files, threads=3) == one
    # Duplex's elements with openings go to the workers before the others are keyed,
    # and the tessellations come back in the order the chunks finish.
    assert orvex_ifc.convert(DATA / DUPLEX, threads=3) == orvex_ifc.convert(DATA / DUPLEX,
                                                                            threads=1)


@needs_data
def test_objects_carry_their_storey():
    """Duplex: the storeys of its elements, as the file's spatial structure has them."""
    levels = collections.Counter(o.get("level") for o in displayed(parse(model(DUPLEX))).values())
    assert levels == {"Level 1": 101, "Level 2": 93, "T/FDN": 14, "Roof": 7}


@pytest.fixture
def hvac(tmp_path):
    """A copy of the smallest data file, free to change."""
    if DATA is None:
        pytest.skip("no shared/data/ifc beside the project")
    path = tmp_path / "hvac.ifc"
    shutil.copyfile(DATA / HOUSE.format("Hvac"), path)
    return path


def test_cache_hit_does_not_convert(hvac, tmp_path, monkeypatch):
    first = orvex_ifc.convert_cached(hvac, cache_dir=tmp_path)
    assert not first.hit and first.read_text() == orvex_ifc.convert(hvac)
    assert first.sources[0].size == hvac.stat().st_size
    written = first.path.stat().st_mtime_ns

    def no_conversion(*args, **kwargs):
        raise AssertionError("converted again")
    with monkeypatch.context() as m:
        m.setattr(cache, "model_lines", no_conversion)
        second = orvex_ifc.convert_cached(hvac, cache_dir=tmp_path, threads=1)
    assert second.hit and second.path == first.path and second.key == first.key
    assert second.summary == first.summary and second.path.stat().st_mtime_ns == written

    # Options that change the text make an entry of their own.
    other = orvex_ifc.convert_cached(hvac, cache_dir=tmp_path, chunk_size=7)
    assert not other.hit and other.key != first.key
    assert not orvex_ifc.convert_cached(hvac, cache_dir=tmp_path, use_cache=False).hit


def test_changed_file_is_converted_again(hvac, tmp_path):
    before = orvex_ifc.convert_cached(hvac, cache_dir=tmp_path)
    hvac.write_bytes(hvac.read_bytes().replace(b"#67=IFCAIRTERMINAL('23uPJWDfXEcwHH3kdFgV9c',#1,'chimney cover'",
                                               b"#67=IFCAIRTERMINAL('23uPJWDfXEcwHH3kdFgV9c',#1,'chimney hood'"))
    after = orvex_ifc.convert_cached(hvac, cache_dir=tmp_path)
    assert not after.hit and after.key != before.key
    assert '"name":"chimney hood"' in after.read_text()
    assert '"name":"chimney cover"' in before.read_text()


def test_file_changing_during_conversion_leaves_no_entry(hvac, tmp_path, monkeypatch):
    convert = cache.model_lines

    def changing(*args, **kwargs):
        lines = convert(*args, **kwargs)
        yield next(lines)
        with open(hvac, "ab") as f:
            f.write(b"\n")
        yield from lines
    monkeypatch.setattr(cache, "model_lines", changing)
    with pytest.raises(orvex_ifc.IfcReadError, match="changed while it was converted"):
        orvex_ifc.convert_cached(hvac, cache_dir=tmp_path)
    assert list((tmp_path / "ifc").iterdir()) == []


def _flip_a_digit(entry):
    text = entry.path.read_bytes()
    at = text.index(b"data\":[") + 7
    entry.path.write_bytes(text[:at] + (b"1" if text[at:at + 1] != b"1" else b"2") + text[at + 1:])


@pytest.mark.parametrize("damage", [
    _flip_a_digit,
    lambda entry: entry.path.write_bytes(entry.path.read_bytes()[:-100]),
    lambda entry: entry.path.unlink(),
    lambda entry: entry.path.with_suffix(".json").write_text("{\"key\": "),
    lambda entry: entry.path.with_suffix(".json").write_text(
        entry.path.with_suffix(".json").read_text().replace(entry.key, "0" * 64)),
], ids=["digit changed", "text cut short", "text missing", "record cut short", "foreign record"])
def test_damaged_entry_is_converted_again(hvac, tmp_path, damage):
    entry = orvex_ifc.convert_cached(hvac, cache_dir=tmp_path)
    original = entry.read_text()
    damage(entry)
    again = orvex_ifc.convert_cached(hvac, cache_dir=tmp_path)
    assert not again.hit and again.read_text() == original
    assert orvex_ifc.convert_cached(hvac, cache_dir=tmp_path).hit


def test_concurrent_commands_share_one_cache(hvac, tmp_path):
    """Runs that convert the same file at once all succeed, and leave one valid entry
    that the next run uses."""
    folder = tmp_path / "cache"
    command = [sys.executable, "-m", "orvex_ifc", str(hvac), "--cache-dir", str(folder)]
    runs = [subprocess.Popen([*command, "-o", str(tmp_path / f"{i}.txt")], stderr=subprocess.PIPE)
            for i in range(3)]
    assert [run.wait(timeout=120) for run in runs] == [0, 0, 0]
    expected = orvex_ifc.convert(hvac)
    assert all((tmp_path / f"{i}.txt").read_text() == expected for i in range(3))
    assert sorted(p.suffix for p in (folder / "ifc").iterdir()) == [".json", ".txt"]
    again = subprocess.run([*command, "-o", str(tmp_path / "again.txt")], capture_output=True,
                           text=True, timeout=120)
    assert again.returncode == 0 and "from the cache" in again.stderr
    assert (tmp_path / "again.txt").read_text() == expected


def test_cli_without_a_usable_cache_converts_anyway(hvac, tmp_path, caplog):
    blocked = tmp_path / "not-a-folder"
    blocked.write_text("")
    out = tmp_path / "out.txt"
    assert cli.main([str(hvac), "-o", str(out), "--cache-dir", str(blocked)]) == 0
    assert [r.getMessage() for r in caplog.records] == [
        "cannot use the cache (Not a directory); converting without it"]
    assert out.read_text() == orvex_ifc.convert(hvac)

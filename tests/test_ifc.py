"""The IFC converter and clash runs on real buildings.

The IFC files live beside the project, in shared/data/ifc of a parent folder; without
them, or without ifcopenshell, these tests skip, so that a fresh clone still passes.
"""

import collections
import json
import os
import pathlib
import sys

import pytest

pytest.importorskip("ifcopenshell")

_ROOT = pathlib.Path(__file__).resolve().parent.parent
try:
    import orvex_ifc
except ImportError:
    sys.path.insert(0, str(_ROOT / "python"))
    import orvex_ifc
from orvex_ifc import cli
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

_converted = {}


def model(name, **options):
    """Model text of a data file, converted once per session and options."""
    key = (name, tuple(sorted(options.items())))
    if key not in _converted:
        _converted[key] = orvex_ifc.convert(DATA / name, **options)
    return _converted[key]


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

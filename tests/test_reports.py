"""Report writers on a small hand-made scene: BCF archives checked against the BCF 2.1 XSDs and
read back by a second BCF reader, the camera rule, and writes that are whole or absent."""
import io
import math
import os
import zipfile
from pathlib import Path

import numpy as np
import pytest

from orvexkit.reports import (CheckInfo, Clash, DictGeometry, ModelInfo, ObjectRef, Report,
                              write_bcf)
from orvexkit.reports._files import atomic_output, finish_in_background
from orvexkit.reports.camera import view_for

COLUMN = "2O2Fr$t4X7Zf8NOew3FLOH"      # IFC GlobalIds
BEAM = "1hOSvn6df7F8_7GcBWlRGQ"
SLAB = "3cUkl32yn9qRSPvBJVyWYp"
DUCT = "duct-7"                        # keys that are no GlobalId
PIPE = "pipe/ø50 <&>"


def box(lo, hi):
    """Vertices and triangles of an axis-aligned box."""
    lo, hi = np.asarray(lo, float), np.asarray(hi, float)
    corners = [[(lo, hi)[i & 1][0], (lo, hi)[i >> 1 & 1][1], (lo, hi)[i >> 2][2]] for i in range(8)]
    triangles = [[0, 2, 1], [1, 2, 3], [4, 5, 6], [5, 7, 6], [0, 1, 4], [1, 5, 4],
                 [2, 6, 3], [3, 6, 7], [0, 4, 2], [2, 4, 6], [1, 3, 5], [3, 7, 5]]
    return np.array(corners, np.float32), np.array(triangles, np.uint32)


def scene():
    """A column, a beam and a slab against a duct and a pipe; walls around them. Returns the
    report and its geometry: four current clashes (two in group G1), one resolved."""
    meshes = {
        ("structure", COLUMN): box((2.8, -0.2, 0), (3.2, 0.2, 3.2)),
        ("structure", BEAM): box((0, -0.15, 2.7), (6, 0.15, 3.0)),
        ("structure", SLAB): box((-1, -5, 3.2), (8, 5, 3.4)),
        ("mep", DUCT): box((2.5, -2, 2.6), (3.5, 2, 2.9)),
        ("mep", PIPE): box((6, -0.025, 3.175), (6.5, 0.025, 3.225)),
        ("structure", "wall-1"): box((-1, 4.8, 0), (8, 5, 3.2)),
        ("structure", "wall-2"): box((-1, -5, 0), (-0.8, 5, 3.2)),
        ("structure", "far"): box((100, 100, 0), (101, 101, 1)),
    }
    column = ObjectRef("structure", COLUMN, "IFC.IfcColumn", "C1", "Level 1")
    beam = ObjectRef("structure", BEAM, "IFC.IfcBeam", 'Träger <B1> & "x"', "Level 1")
    slab = ObjectRef("structure", SLAB, "IFC.IfcSlab", None, "Level 2")
    duct = ObjectRef("mep", DUCT, "Objects.BuiltElements.Duct", "D7 </script>")
    pipe = ObjectRef("mep", PIPE, "Objects.BuiltElements.Pipe", "P\x01ø50\ud800")
    clashes = [
        Clash("c-beam-duct", "hard", "crossing", -0.2, (3.0, 0.0, 2.7), (3.0, 0.0, 2.9),
              beam, duct, group="G1"),
        Clash("c-column-duct", "hard", "crossing", -0.3, (3.0, 0.2, 2.75), (3.0, -0.1, 2.75),
              column, duct, group="G1", status="active", previous_dist=-0.25),
        Clash("c-slab-pipe", "clearance", "touching", 0.0, (6.2, 0.0, 3.2), (6.2, 0.0, 3.2),
              slab, pipe, status="approved"),
        Clash("c-beam-pipe", "clearance", "clearance", 0.175, (6.0, 0.0, 3.0),
              (6.0, 0.0, 3.175), beam, pipe, group="G2", extra={"note": "x"}),
    ]
    resolved = [Clash("c-column-pipe", "hard", "crossing", -0.1, (3.0, 0.0, 3.1),
                      (3.0, 0.0, 3.1), column, pipe, status="resolved", previous_dist=-0.1)]
    report = Report(
        title="Structure × MEP", created="2026-03-01T10:00:00Z", tool="orvex 0.1.0",
        models=[ModelInfo("structure", "/data/structure.ifc", "ab" * 32, 6, 72, units="mm"),
                ModelInfo("mep", "/data/mep.ifc", "cd" * 32, 2, 24, diagnostics=1, units="mm")],
        checks=[CheckInfo("hard", "structure", "mep", {"kind": "hard", "tolerance": 0}),
                CheckInfo("clearance", "structure", "mep", {"kind": "clearance", "distance": 0.2}),
                CheckInfo("mep self", "mep", None, {"kind": "hard"})],
        clashes=clashes, resolved=resolved)
    return report, DictGeometry(meshes)


# ---- BCF -------------------------------------------------------------------------------------

SCHEMAS = {"markup.bcf": "markup", "viewpoint.bcfv": "visinfo", "project.bcfp": "project",
           "bcf.version": "version"}


def validate(path):
    """Checks every XML file of a BCF 2.1 archive against the official XSDs as the
    bcf-api-xml package ships them; returns the archive's names."""
    import bcf_api_xml
    from lxml import etree
    folder = Path(bcf_api_xml.__file__).parent / "Schemas"
    xsd = {name: etree.XMLSchema(etree.parse(str(folder / f"{name}.xsd")))
           for name in set(SCHEMAS.values())}
    with zipfile.ZipFile(path) as z:
        for name in z.namelist():
            kind = SCHEMAS.get(name.rsplit("/", 1)[-1])
            if kind:
                schema = xsd[kind]
                assert schema.validate(etree.fromstring(z.read(name))), (name, schema.error_log)
        return z.namelist()


def reparse_30(path):
    """BCF 3.0 XSDs do not come with bcf-api-xml. Instead every XML file goes through
    bcf-client's data model, which is generated from them: its parser rejects unknown elements
    and its serializer writes the schema's element order, which ours must match."""
    import xml.etree.ElementTree as ET
    import bcf.v3.model as mdl
    from bcf.xml_parser import XmlParserSerializer
    kinds = {"markup.bcf": mdl.Markup, "viewpoint.bcfv": mdl.VisualizationInfo,
             "bcf.version": mdl.Version, "project.bcfp": mdl.ProjectInfo,
             "extensions.xml": mdl.Extensions}
    handler = XmlParserSerializer()
    with zipfile.ZipFile(path) as z:
        for name in z.namelist():
            kind = kinds.get(name.rsplit("/", 1)[-1])
            if kind:
                ours = z.read(name)
                again = handler.serialize(handler.parse(ours, kind)).encode()
                assert [e.tag for e in ET.fromstring(ours).iter()] == \
                    [e.tag for e in ET.fromstring(again).iter()], name


def reddish(image):
    """Pixels of object a's hue in an RGB image (shading scales the channels alike)."""
    r, g, b = image[..., 0], image[..., 1], image[..., 2]
    return ((r > 1.6 * g) & (r > 1.6 * b)).sum()


def bluish(image):
    r, g, b = image[..., 0], image[..., 1], image[..., 2]
    return ((b > 1.6 * r) & (b > 1.15 * g)).sum()


def selected(visinfo):
    """(IfcGuid or AuthoringToolId) of a viewpoint's selected components."""
    return [c.ifc_guid or c.authoring_tool_id for c in visinfo.components.selection.component]


def check_camera(camera, boxes, target, scale):
    """The camera stands outside every box, looks at the target, and its up is z made
    orthogonal to the view."""
    pos = np.array([camera.camera_view_point.x, camera.camera_view_point.y,
                    camera.camera_view_point.z]) / scale
    d = np.array([camera.camera_direction.x, camera.camera_direction.y, camera.camera_direction.z])
    up = np.array([camera.camera_up_vector.x, camera.camera_up_vector.y, camera.camera_up_vector.z])
    assert camera.field_of_view == 60
    assert np.linalg.norm(d) == pytest.approx(1) and np.linalg.norm(up) == pytest.approx(1)
    assert d @ up == pytest.approx(0, abs=1e-12) and up[2] > 0
    to_target = np.asarray(target) - pos
    assert np.linalg.norm(np.cross(d, to_target)) < 1e-9 * np.linalg.norm(to_target)
    assert d @ to_target > 0
    for lo, hi in boxes:
        assert not ((lo <= pos) & (pos <= hi)).all()


def test_bcf_21_validates_and_reads_back(tmp_path):
    from bcf.v2.bcfxml import BcfXml
    report, geometry = scene()
    path = tmp_path / "clashes.bcfzip"
    calls = []
    assert write_bcf(report, path, geometry, resolved=True,
                     progress=lambda *done: calls.append(done)) == 4
    assert calls == [(1, 4), (2, 4), (3, 4), (4, 4)]
    write_bcf(report, tmp_path / "again.bcfzip", geometry, resolved=True)
    assert (tmp_path / "again.bcfzip").read_bytes() == path.read_bytes()    # reproducible

    names = validate(path)
    assert names[:2] == ["bcf.version", "project.bcfp"] and len(names) == 2 + 4 * 3

    bcf = BcfXml.load(path)
    assert bcf.version.version_id == "2.1"
    topics = sorted(bcf.topics.values(), key=lambda t: t.topic.index)
    got = [(t.topic.title, t.topic.topic_status, t.topic.labels) for t in topics]
    assert got == [
        ('Crossing: IfcBeam Träger <B1> & "x" × Duct D7 </script> and 1 more (group G1)',
         "Open", ["crossing", "hard"]),
        ("Touching: IfcSlab 3cUkl32yn9qRSPvBJVyWYp × Pipe P\ufffdø50\ufffd", "Closed",
         ["touching", "clearance"]),
        ('Clearance: IfcBeam Träger <B1> & "x" × Pipe P\ufffdø50\ufffd', "Open", ["clearance"]),
        ("Crossing: IfcColumn C1 × Pipe P\ufffdø50\ufffd", "Closed", ["crossing", "hard"]),
    ]
    assert "status active" in topics[0].topic.description
    assert "(was -0.25)" in topics[0].topic.description
    expect = [[BEAM, COLUMN, DUCT], [SLAB, PIPE], [BEAM, PIPE], [COLUMN, PIPE]]
    clashes = [report.clashes[:2], report.clashes[2:3], report.clashes[3:], report.resolved]
    for topic, keys, members in zip(topics, expect, clashes):
        (viewpoint,) = topic.viewpoints.values()
        visinfo = viewpoint.visualization_info
        assert selected(visinfo) == keys
        assert viewpoint.get_selected_guids() == [k for k in keys if k not in (DUCT, PIPE)]
        assert visinfo.components.visibility.default_visibility is True
        assert [c.color for c in visinfo.components.coloring.color] == ["E0452B", "2B7DE0"]
        ids = {(c.a.model, c.a.key) for c in members} | {(c.b.model, c.b.key) for c in members}
        boxes = [geometry.bounds(*o) for o in ids]
        target = np.mean([p for c in members for p in (c.point_a, c.point_b)], axis=0)
        check_camera(visinfo.perspective_camera, boxes, target, scale=1e-3)   # mm -> m
        assert viewpoint.snapshot.startswith(b"\x89PNG")


def test_bcf_30_per_clash_reads_back_with_stable_topics(tmp_path):
    from bcf.v3.bcfxml import BcfXml
    from PIL import Image
    report, geometry = scene()
    first, second = tmp_path / "a.bcf", tmp_path / "b.bcf"
    assert write_bcf(report, first, geometry, version="3.0", per="clash") == 4
    report.clashes.reverse()
    write_bcf(report, second, geometry, version="3.0", per="clash")
    reparse_30(first)
    bcf = BcfXml.load(first)
    assert bcf.version.version_id == "3.0"
    assert bcf.extensions.topic_types.topic_type == ["Clash"]
    topics = {t.topic.title.split(":")[0] + " " + t.topic.description.split("id ")[1].split()[0]:
              t for t in bcf.topics.values()}
    assert sorted(topics) == ["Clearance c-beam-pipe", "Crossing c-beam-duct",
                              "Crossing c-column-duct", "Touching c-slab-pipe"]
    assert set(BcfXml.load(second).topics) == set(bcf.topics)    # ids make the topic GUIDs
    topic = topics["Crossing c-beam-duct"]
    assert topic.topic.labels.label == ["crossing", "hard"]
    (viewpoint,) = topic.viewpoints.values()
    visinfo = viewpoint.visualization_info
    assert selected(visinfo) == [BEAM, DUCT]
    assert visinfo.perspective_camera.aspect_ratio == pytest.approx(4 / 3)
    check_camera(visinfo.perspective_camera,
                 [geometry.bounds("structure", BEAM), geometry.bounds("mep", DUCT)],
                 (3.0, 0.0, 2.8), scale=1e-3)
    # The snapshot shows both objects in their highlight colours.
    image = np.asarray(Image.open(io.BytesIO(viewpoint.snapshot)).convert("RGB"), np.int32)
    assert image.shape == (480, 640, 3)
    assert reddish(image) > 500 and bluish(image) > 500


def test_bcf_bad_arguments():
    report, geometry = scene()
    with pytest.raises(ValueError, match="2.1, 3.0"):
        write_bcf(report, "x.bcf", geometry, version="2.0")
    with pytest.raises(ValueError, match="per"):
        write_bcf(report, "x.bcf", geometry, per="level")


# ---- camera rule and rasterizer --------------------------------------------------------------

def test_camera_rule_on_random_pairs():
    """Over random pairs (slabs, pipes, cubes; tiny against huge): the camera stands outside
    both boxes, sees the smaller object and the clash point whole within the 60 degree view,
    looks from 25..65 degrees above or below the horizon, and its up is z made orthogonal."""
    rng = np.random.default_rng(7)
    for _ in range(300):
        boxes = []
        for _ in range(2):
            size = rng.choice([0.05, 0.3, 1, 5, 40], 3) * rng.uniform(0.5, 2, 3)
            lo = rng.uniform(-3, 3, 3) - size / 2
            boxes.append(np.array([lo, lo + size]))
        small = min(boxes, key=lambda b: (b[1] - b[0]).max())
        target = rng.uniform(small[0], small[1])
        view = view_for(target, boxes, [target])
        d, up, pos = view.direction, view.up, view.position
        assert np.linalg.norm(d) == pytest.approx(1) and np.linalg.norm(up) == pytest.approx(1)
        assert abs(d @ up) < 1e-12 and up[2] > 0
        assert 25 - 1e-9 <= abs(math.degrees(math.asin(d[2]))) <= 65 + 1e-9
        assert np.allclose(pos + d * np.linalg.norm(target - pos), target)
        for lo, hi in boxes:
            assert not ((lo <= pos) & (pos <= hi)).all()
        corners = small[[[0, 0, 0], [0, 0, 1], [0, 1, 0], [0, 1, 1],
                         [1, 0, 0], [1, 0, 1], [1, 1, 0], [1, 1, 1]], [0, 1, 2]]
        rays = corners - pos
        cos = rays @ d / np.linalg.norm(rays, axis=1)
        assert cos.min() >= math.cos(math.radians(30)) - 1e-9


def test_rasterizer_against_ray_casting():
    """Depth and owner per pixel match a ray cast through each pixel centre, for random
    triangles including ones that cross the near plane or lie behind the camera. Pixels
    within 1e-6 of a triangle edge or where two triangles' depths agree to 1e-6 are left out:
    either answer is right there."""
    from orvexkit.reports import raster
    from orvexkit.reports.camera import View
    rng = np.random.default_rng(3)
    w, h = 64, 48
    view = View(np.zeros(3), np.array([0.0, 1, 0]), np.array([0.0, 0, 1]),
                np.array([0.0, 5, 0]), 5.0)
    tris = rng.uniform([-6, -3, -4], [6, 10, 4], (40, 3, 3))
    inv_z, hit, _, mesh = raster._rasterize(
        view, [(t, np.array([[0, 1, 2]]), (1, 1, 1)) for t in tris], w, h, near=5e-3)
    owner = np.where(hit >= 0, mesh[hit], -1)

    f = (h / 2) / math.tan(math.radians(30))
    py, px = np.mgrid[0:h, 0:w].reshape(2, -1) + 0.5
    rays = np.stack([(px - w / 2) / f, np.ones_like(px), -(py - h / 2) / f], axis=1)  # y ahead
    depth = np.full((len(tris), len(rays)), np.nan)
    margin = np.full((len(tris), len(rays)), np.inf)
    for k, (a, b, c) in enumerate(tris):           # Moller-Trumbore, per pixel
        e1, e2 = b - a, c - a
        p = np.cross(rays, e2)
        det = p @ e1
        inv = 1 / det
        u = (-a @ p.T) * inv
        q = np.cross(-a, e1)
        v = (rays @ q) * inv
        t = (e2 @ q) * inv
        hit = (u >= 0) & (v >= 0) & (u + v <= 1) & (t >= 5e-3)
        depth[k, hit] = t[hit]
        margin[k] = np.minimum.reduce([np.abs(u), np.abs(v), np.abs(1 - u - v)])
    ranked = np.sort(np.where(np.isnan(depth), np.inf, depth), axis=0)
    clear = (margin.min(axis=0) > 1e-6) & (ranked[1] - ranked[0] > 1e-6 * ranked[0])
    nearest = np.where(np.isnan(depth), np.inf, depth).argmin(axis=0)
    covered = np.isfinite(ranked[0])

    assert clear.sum() > 0.8 * len(rays) and covered[clear].sum() > 200
    assert np.array_equal(inv_z[clear] > 0, covered[clear])
    both = clear & covered
    assert np.array_equal(owner[both], nearest[both])
    assert np.allclose(inv_z[both], 1 / ranked[0][both], rtol=1e-9)


def test_snapshot_shows_an_object_inside_another():
    """A duct run inside a wall (and a wall hidden behind a neighbour) still shows."""
    from orvexkit.reports import raster
    wall, duct, screen = box((0, 0, 0), (4, 0.3, 3)), box((1, 0.1, 1), (3, 0.2, 2)), \
        box((-1, -1, -1), (5, -0.9, 4))
    view = view_for((2, 0.15, 1.5), [np.array([[0, 0, 0], [4, 0.3, 3]])])

    def snap(b_side, context=()):
        return raster.render(view, [(*wall, raster.COLOUR_A)], b_side, list(context))

    alone = snap([])
    assert (snap([(*duct, raster.COLOUR_B)]) != alone).any(axis=2).sum() > 1000
    behind = snap([], [(*screen, raster.CONTEXT)])
    assert reddish(behind) > 1000 and (behind != alone).any(axis=2).sum() > 1000


def test_png_decodes_to_the_same_pixels():
    from PIL import Image
    from orvexkit.reports import raster
    image = np.random.default_rng(1).integers(0, 256, (7, 5, 3), dtype=np.uint8)
    assert np.array_equal(np.asarray(Image.open(io.BytesIO(raster.png(image)))), image)


# ---- whole files or none ---------------------------------------------------------------------

class FailingGeometry(DictGeometry):
    """Fails on the n-th mesh, as a source might on a corrupt model."""

    def __init__(self, meshes, n):
        super().__init__(meshes)
        self.left = n

    def mesh(self, model, key):
        self.left -= 1
        if self.left == 0:
            raise RuntimeError("model read failed")
        return super().mesh(model, key)


@pytest.mark.parametrize("kind", ["bcf", "html"])
def test_failed_write_leaves_the_old_file_and_no_partial_one(tmp_path, kind):
    from orvexkit.reports import write_html
    write = {"bcf": write_bcf, "html": write_html}[kind]
    report, geometry = scene()
    target = tmp_path / f"report.{kind}"
    target.write_bytes(b"last week")
    with pytest.raises(RuntimeError, match="model read failed"):
        write(report, target, FailingGeometry(geometry.meshes, 4))
    assert target.read_bytes() == b"last week"
    assert os.listdir(tmp_path) == [target.name]

    with pytest.raises(FileNotFoundError, match="cannot write .*missing/report"):
        write(report, tmp_path / "missing" / f"report.{kind}", geometry)
    (tmp_path / "file").write_text("")
    with pytest.raises(NotADirectoryError, match="cannot write .*file/report"):
        write(report, tmp_path / "file" / f"report.{kind}", geometry)
    if os.geteuid() != 0:                       # root writes into a read-only folder anyway
        locked = tmp_path / "locked"
        locked.mkdir(mode=0o500)
        with pytest.raises(PermissionError, match="cannot write .*locked/report"):
            write(report, locked / f"report.{kind}", geometry)
        assert os.listdir(locked) == []
    assert sorted(os.listdir(tmp_path)) == ["file", target.name] + (
        ["locked"] if os.geteuid() != 0 else [])
    write(report, target, geometry)
    assert oct(target.stat().st_mode & 0o777) == oct(0o666 & ~_umask())


def test_files_finished_in_the_background(tmp_path):
    """Handed to a thread to be synced and renamed: every file is in place when the block
    ends, also when the block raised; one that cannot be put in place raises then and
    leaves no temporary file, the others still in place."""
    def put(name, data):
        with atomic_output(tmp_path / name) as f:
            f.write(data)
    (tmp_path / "folder" / "x").mkdir(parents=True)
    with pytest.raises(IsADirectoryError):
        with finish_in_background():
            put("a", b"a")
            put("folder", b"not a folder")
            put("b", b"b")
    with pytest.raises(ValueError):
        with finish_in_background():
            put("c", b"c")
            raise ValueError
    assert [(tmp_path / n).read_bytes() for n in "abc"] == [b"a", b"b", b"c"]
    assert sorted(os.listdir(tmp_path)) == ["a", "b", "c", "folder"]


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


class BrokenGeometry:
    """A source with faults a model converter can produce: a triangle that points past the
    vertices, a NaN vertex, an object it does not know, and boxes it cannot give."""

    def mesh(self, model, key):
        if key == "gone":
            raise KeyError(key)
        v, t = box((0, 0, 0), (1, 1, 1))
        v[7] = np.nan
        return v, np.vstack([t, [[0, 1, 99]]])

    def bounds(self, model, key):
        raise KeyError(key)

    def near(self, point, radius, limit):
        return [("m", "other"), ("m", "gone")]


def test_writers_survive_bad_geometry_and_numbers(tmp_path):
    from test_reports_html import embedded
    from orvexkit.reports import write_html
    nan = float("nan")
    report = Report("bad", "not a date", "orvex", [ModelInfo("m", None, None, 2, 0, units="??")],
                    [CheckInfo("c", "m", None, {})],
                    [Clash("x", "c", "crossing", nan, (nan, 0, 0), (1, 1, 1),
                           ObjectRef("m", "here", "T"), ObjectRef("m", "gone", "T"))])
    assert write_bcf(report, tmp_path / "bad.bcf", BrokenGeometry()) == 1
    validate(tmp_path / "bad.bcf")
    write_html(report, tmp_path / "bad.html", BrokenGeometry())
    _, data, meshes = embedded(tmp_path / "bad.html")
    assert set(meshes) == {("m", "here"), ("m", "other")}
    assert len(meshes[("m", "here")][1]) == 12 - 3        # 3 touch the NaN vertex
    assert data["clashes"][0]["dist"] is None and data["clashes"][0]["pa"][0] is None


def random_clashes(rng, n):
    """Clashes with text and numbers that stress spelling: quotes, separators, control and
    non-ASCII characters, digits and "-0"; every kind of float, unknown and absent values."""
    pieces = ['"', "\\", ",", "\r", "\n", "\t", "\x00", "\x1f", "\x7f", "é", "€", "𝄞", "\u2028",
              " ", "a", "0", "-0", ""]
    specials = [0.0, -0.0, 1e16, 9999999999999998.0, 1e-4, 1e-5, 0.0001234, 5e-324, 1e22,
                1.7976931348623157e308, -123456789.125, 0.1, float("nan"), float("inf"), -float("inf")]

    def text():
        return "".join(rng.choice(pieces) for _ in range(rng.integers(0, 5)))

    def number():
        if rng.random() < 0.3:
            return specials[rng.integers(len(specials))]
        return float(np.frombuffer(rng.bytes(8), "<f8")[0] if rng.random() < 0.5 else rng.normal() * 10.0 ** rng.integers(-8, 20))

    def maybe(make):
        return None if rng.random() < 0.3 else make()

    def ref():
        return ObjectRef(text(), text(), text(), maybe(text), maybe(text))

    def point():
        return tuple(number() for _ in range(3))

    return [Clash(text(), text(), text(), number(), point(), point(), ref(), ref(), maybe(text),
                  text(), maybe(number), maybe(number), maybe(number), maybe(point),
                  contained=maybe(text), approximate=bool(rng.random() < 0.3))
            for _ in range(n)]


def test_engine_rows_are_the_python_writers_bytes(tmp_path, monkeypatch):
    """JSON and CSV reports whose clash rows the engine writes are byte for byte those the
    Python writers write alone, for random text and floats of every kind; a report with a
    clash the engine does not spell (extra members, a number that is no float, a lone
    surrogate) is written by Python whole."""
    from orvexkit.reports import records
    rng = np.random.default_rng(11)
    info = [ModelInfo("m", None, None, 2, 0)]
    odd = Clash("o", "c", "crossing", 1.0, (0.0, 0.0, 0.0), (0.0, 0.0, 0.0),
                ObjectRef("m", "k", "T"), ObjectRef("m", "k\ud800", "T"))
    reports = [Report("t", "c", "orvex", info, [], random_clashes(rng, 300), random_clashes(rng, 20)),
               Report("t", "c", "orvex", info, [], [], []),
               Report("t", "c", "orvex", info, [], random_clashes(rng, 3) + [odd])]
    for extra in ({"x": 1}, None):
        c = random_clashes(rng, 1)[0]
        c.extra = extra
        reports.append(Report("t", "c", "orvex", info, [], [c]))
    reports.append(Report("t", "c", "orvex", info, [], [Clash("i", "c", "crossing", 1, (0.0,) * 3, (0.0,) * 3,
                                                            ObjectRef("m", "k", "T"), ObjectRef("m", "l", "T"))]))
    native = []
    for i, report in enumerate(reports):
        records.write_json(report, tmp_path / f"{i}.json")
        records.write_csv(report, tmp_path / f"{i}.csv")
        native.append(report.clashes and records._native.clash_rows(report.clashes, "json") is not None)
    assert native == [True, [], False, False, True, False]

    class PythonOnly:
        @staticmethod
        def clash_rows(clashes, format):
            return None
    monkeypatch.setattr(records, "_native", PythonOnly)
    for i, report in enumerate(reports):
        records.write_json(report, tmp_path / f"{i}.py.json")
        records.write_csv(report, tmp_path / f"{i}.py.csv")
        for kind in ("json", "csv"):
            assert (tmp_path / f"{i}.{kind}").read_bytes() == (tmp_path / f"{i}.py.{kind}").read_bytes(), (i, kind)

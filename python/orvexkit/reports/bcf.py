"""BCF 2.1 and 3.0 archives: one topic per clash group or per clash, each with a viewpoint that
selects the clashing objects and a snapshot rendered offscreen."""
from __future__ import annotations

import math
import re
import uuid
import xml.etree.ElementTree as ET
import zipfile

from . import raster
from ._files import atomic_output, xml_text
from .camera import view_of
from .geometry import GeometrySource, SceneCache
from .model import Clash, ObjectRef, Report

VERSIONS = ("2.1", "3.0")

# Topic GUIDs are derived from clash ids, so that the same clash keeps its topic across runs and
# a tracker that re-imports the archive updates its topics instead of duplicating them.
_NAMESPACE = uuid.UUID("5b0f7c1e-7a43-4d0e-9d57-2f0b8e1c6a90")

_IFC_GUID = re.compile(r"[0-9A-Za-z_$]{22}")

# BCF coordinates are in metres.
_METRES = {"m": 1.0, "metre": 1.0, "meter": 1.0, "metres": 1.0, "meters": 1.0,
           "mm": 1e-3, "millimetre": 1e-3, "millimeter": 1e-3, "millimetres": 1e-3,
           "millimeters": 1e-3, "cm": 1e-2, "centimetre": 1e-2, "centimeter": 1e-2,
           "centimetres": 1e-2, "centimeters": 1e-2, "dm": 0.1, "km": 1e3,
           "ft": 0.3048, "foot": 0.3048, "feet": 0.3048, "in": 0.0254, "inch": 0.0254,
           "inches": 0.0254}

# Open clashes are for someone to act on; approved, ignored and resolved ones are done.
_OPEN = {"new", "active"}


def write_bcf(report: Report, path, geometry: GeometrySource, *, version="2.1", per="group",
              neighbours=30, snapshot_size=(640, 480), resolved=False, progress=None) -> int:
    """Writes ``report`` as a BCF archive at ``path``; returns the number of topics.

    One topic per clash group (``per="group"``; clashes without a group get a topic each) or
    per clash (``per="clash"``), in the report's order; with ``resolved`` the baseline's
    resolved clashes follow as closed topics. Each topic has one viewpoint that selects and
    colours its objects (a side red, b side blue; others keep their default visibility), a
    perspective camera by the rule of ``camera.view_for`` and a snapshot of the objects and up to
    ``neighbours`` objects around them. ``progress(done, total)`` is called after each topic.

    The archive is written to a temporary file and renamed: a failure leaves no partial file.
    """
    if version not in VERSIONS:
        raise ValueError(f"BCF version must be one of {', '.join(VERSIONS)}, not {version!r}")
    if per not in ("group", "clash"):
        raise ValueError(f"per must be 'group' or 'clash', not {per!r}")
    topics = _topics(report.clashes, per)
    if resolved:
        topics += _topics(report.resolved, per)
    scale = _scale_to_metres(report)
    scene = SceneCache(geometry)
    v3 = version == "3.0"
    when = _zip_time(report)

    def put(z, name, data, compress=zipfile.ZIP_DEFLATED):
        z.writestr(zipfile.ZipInfo(name, when), data, compress)

    with atomic_output(path) as f, zipfile.ZipFile(f, "w") as z:
        put(z, "bcf.version", _version(v3))
        put(z, "project.bcfp", _project(report, v3))
        if v3:
            put(z, "extensions.xml", _extensions(report, topics))
        used = set()
        for index, clashes in enumerate(topics, 1):
            guid = _topic_guid(clashes)
            if guid in used:                 # a report that repeats a clash id
                guid = uuid.uuid5(guid, str(index))
            used.add(guid)
            viewpoint = str(uuid.uuid5(guid, "viewpoint"))
            view, image = _snapshot(scene, clashes, neighbours, snapshot_size)
            put(z, f"{guid}/markup.bcf", _markup(report, clashes, str(guid), index, viewpoint, v3))
            put(z, f"{guid}/viewpoint.bcfv",
                _viewpoint(clashes, viewpoint, view, scale, snapshot_size, v3))
            put(z, f"{guid}/snapshot.png", raster.png(image), zipfile.ZIP_STORED)
            if progress is not None:
                progress(index, len(topics))
    return len(topics)


def _topics(clashes, per) -> list[list[Clash]]:
    if per == "clash":
        return [[c] for c in clashes]
    groups: dict[str, list[Clash]] = {}
    out = []
    for c in clashes:
        if c.group is None:
            out.append([c])
        elif c.group in groups:
            groups[c.group].append(c)
        else:
            groups[c.group] = [c]
            out.append(groups[c.group])
    return out


def _topic_guid(clashes) -> uuid.UUID:
    if len(clashes) == 1:
        return uuid.uuid5(_NAMESPACE, f"clash:{clashes[0].id}")
    return uuid.uuid5(_NAMESPACE, "group:" + "\n".join(sorted(c.id for c in clashes)))


def _scale_to_metres(report) -> float:
    """Model units to metres, from the first model; unknown units are taken as metres."""
    units = report.models[0].units if report.models else "m"
    return _METRES.get(str(units).strip().lower(), 1.0)


def _zip_time(report):
    """Entries carry the report's creation time, so that one report gives identical archives."""
    m = re.match(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)", _date(report))
    stamp = tuple(int(g) for g in m.groups())
    return stamp if 1980 <= stamp[0] <= 2107 else (1980, 1, 1, 0, 0, 0)


def _objects(clashes) -> tuple[list[ObjectRef], list[ObjectRef]]:
    """The a sides and the b sides of ``clashes``, each object once, in order of appearance;
    an object on both sides counts as a."""
    seen, a_side, b_side = set(), [], []
    for side, refs in ((a_side, [c.a for c in clashes]), (b_side, [c.b for c in clashes])):
        for ref in refs:
            if (ref.model, ref.key) not in seen:
                seen.add((ref.model, ref.key))
                side.append(ref)
    return a_side, b_side


def _snapshot(scene, clashes, neighbours, size):
    a_side, b_side = _objects(clashes)
    ids = [(r.model, r.key) for r in a_side + b_side]
    view = view_of(clashes, [scene.box(o) for o in ids])
    near = scene.near(view.target, view.radius, neighbours, exclude=ids)

    def meshes(objs, colour):
        return [(*m, colour) for m in map(scene.mesh, objs) if m is not None]

    points = [p for c in clashes for p in (c.point_a, c.point_b)]
    image = raster.render(view, meshes([(r.model, r.key) for r in a_side], raster.COLOUR_A),
                          meshes([(r.model, r.key) for r in b_side], raster.COLOUR_B),
                          meshes(near, raster.CONTEXT), points, size)
    return view, image


def _short_type(type_name: str) -> str:
    """ "IFC.IfcBeam" -> "IfcBeam", "Objects.BuiltElements.Duct" -> "Duct"."""
    return type_name.rsplit(".", 1)[-1] or type_name


def _label(ref: ObjectRef) -> str:
    return f"{_short_type(ref.type)} {ref.name if ref.name else ref.key}"


def _number(x) -> str:
    """Four significant digits without an exponent for everyday magnitudes."""
    if x is None or not math.isfinite(x):
        return str(x)
    if x == 0:
        return "0"
    digits = min(max(0, 3 - math.floor(math.log10(abs(x)))), 12)
    return f"{x:.{digits}f}".rstrip("0").rstrip(".") if digits else f"{x:.0f}"


def _title(clashes) -> str:
    first = clashes[0]
    title = f"{first.kind.capitalize()}: {_label(first.a)} × {_label(first.b)}"
    if len(clashes) > 1:
        title += f" and {len(clashes) - 1} more (group {first.group})"
    return title


def _describe(report, clash: Clash) -> str:
    units = next((m.units for m in report.models if m.name == clash.a.model), "")
    dist = f"distance {_number(clash.dist)} {units}".rstrip()
    if clash.previous_dist is not None:
        dist += f" (was {_number(clash.previous_dist)})"
    lines = [f"{clash.kind}, {dist}, check {clash.check}, status {clash.status}, id {clash.id}"]
    if clash.contained is not None:
        inner = clash.a if clash.contained == "a" else clash.b
        lines.append(f"{clash.contained} ({inner.key}) lies inside the other"
                     + (" (open mesh: approximate)" if clash.approximate else ""))
    if clash.volume is not None:
        line = f"overlap volume {_number(clash.volume)}" + (f" {units}³" if units else "")
        if clash.thickness is not None:
            line += f", thickness {_number(clash.thickness)} {units}".rstrip()
        lines.append(line)
    for side, ref in (("a", clash.a), ("b", clash.b)):
        name = f" {ref.name}" if ref.name else ""
        line = f"{side}: {ref.type}{name} [{ref.model} {ref.key}]"
        if ref.level:
            line += f", level {ref.level}"
        lines.append(line)
    return "\n".join(lines)


def _description(report, clashes) -> str:
    return "\n\n".join(_describe(report, c) for c in clashes)


def _status(clashes) -> str:
    return "Open" if any(c.status in _OPEN for c in clashes) else "Closed"


def _labels(clashes) -> list[str]:
    return list(dict.fromkeys(v for c in clashes for v in (c.kind, c.check) if v))


def _basename(path: str) -> str:
    return path.replace("\\", "/").rstrip("/").rsplit("/", 1)[-1] or path


def _author(report) -> str:
    return report.tool or "orvex"          # BCF 3.0 wants a non-empty user


def _xml(root: ET.Element) -> bytes:
    return ET.tostring(root, encoding="utf-8", xml_declaration=True)


def _sub(parent, tag, text=None, **attrib):
    e = ET.SubElement(parent, tag, {k: xml_text(v) for k, v in attrib.items()})
    if text is not None:
        e.text = xml_text(text)
    return e


def _xyz(parent, tag, v, scale=1.0):
    e = _sub(parent, tag)
    for name, c in zip("XYZ", v):
        _sub(e, name, repr(float(c) * scale + 0.0))     # + 0.0: no "-0.0"
    return e


def _component(parent, ref: ObjectRef, tag="Component"):
    if _IFC_GUID.fullmatch(ref.key):
        return _sub(parent, tag, IfcGuid=ref.key)
    e = _sub(parent, tag)
    _sub(e, "AuthoringToolId", ref.key)
    return e


def _date(report) -> str:
    """``report.created`` as xs:dateTime; a value that is not one falls back to the epoch."""
    s = str(report.created).strip()
    if re.fullmatch(r"-?\d{4,}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?(Z|[+-]\d\d:\d\d)?", s):
        return s
    return "1970-01-01T00:00:00Z"


def _hex(rgb) -> str:
    return "".join(f"{c:02X}" for c in rgb)


def _version(v3) -> bytes:
    root = ET.Element("Version", VersionId="3.0" if v3 else "2.1")
    if not v3:
        _sub(root, "DetailedVersion", "2.1")
    return _xml(root)


def _project(report, v3) -> bytes:
    root = ET.Element("ProjectInfo" if v3 else "ProjectExtension")
    project = _sub(root, "Project", ProjectId=str(uuid.uuid5(_NAMESPACE, report.title)))
    _sub(project, "Name", report.title)
    if not v3:
        _sub(root, "ExtensionSchema", "")
    return _xml(root)


def _markup(report, clashes, guid, index, viewpoint, v3) -> bytes:
    root = ET.Element("Markup")
    files = [m for m in report.models if m.path]
    if files:
        header = _sub(root, "Header")
        if v3:
            header = _sub(header, "Files")
        for m in files:
            f = _sub(header, "File")
            _sub(f, "Filename", _basename(m.path))
            _sub(f, "Reference", m.path)
    topic = _sub(root, "Topic", Guid=guid, TopicType="Clash", TopicStatus=_status(clashes))
    _sub(topic, "Title", _title(clashes))
    _sub(topic, "Index", str(index))
    parent, tag = (_sub(topic, "Labels"), "Label") if v3 else (topic, "Labels")
    for label in _labels(clashes):
        _sub(parent, tag, label)
    _sub(topic, "CreationDate", _date(report))
    _sub(topic, "CreationAuthor", _author(report))
    _sub(topic, "Description", _description(report, clashes))
    vp = (_sub(_sub(topic, "Viewpoints"), "ViewPoint", Guid=viewpoint) if v3
          else _sub(root, "Viewpoints", Guid=viewpoint))
    _sub(vp, "Viewpoint", "viewpoint.bcfv")
    _sub(vp, "Snapshot", "snapshot.png")
    return _xml(root)


def _viewpoint(clashes, guid, view, scale, size, v3) -> bytes:
    root = ET.Element("VisualizationInfo", Guid=guid)
    components = _sub(root, "Components")
    a_side, b_side = _objects(clashes)
    selection = _sub(components, "Selection")
    for ref in a_side + b_side:
        _component(selection, ref)
    _sub(components, "Visibility", DefaultVisibility="true")
    coloring = _sub(components, "Coloring")
    for side, rgb in ((a_side, raster.COLOUR_A), (b_side, raster.COLOUR_B)):
        if side:
            members = _sub(coloring, "Color", Color=_hex(rgb))
            if v3:
                members = _sub(members, "Components")
            for ref in side:
                _component(members, ref)
    camera = _sub(root, "PerspectiveCamera")
    _xyz(camera, "CameraViewPoint", view.position, scale)
    _xyz(camera, "CameraDirection", view.direction)
    _xyz(camera, "CameraUpVector", view.up)
    _sub(camera, "FieldOfView", repr(view.fov))
    if v3:
        _sub(camera, "AspectRatio", repr(size[0] / size[1]))
    return _xml(root)


def _extensions(report, topics) -> bytes:
    """BCF 3.0 lists the values its topics use."""
    root = ET.Element("Extensions")
    for group, tag, values in (
            ("TopicTypes", "TopicType", ["Clash"]),
            ("TopicStatuses", "TopicStatus", ["Open", "Closed"]),
            ("TopicLabels", "TopicLabel", list(dict.fromkeys(
                label for t in topics for label in _labels(t)))),
            ("Users", "User", [_author(report)])):
        container = _sub(root, group)
        for v in values:
            _sub(container, tag, v)
    return _xml(root)

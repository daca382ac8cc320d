"""IFC file -> orvex model text.

Every IfcProduct with body geometry becomes one displayed object keyed by its
GlobalId. Its geometry is one triangle mesh in world coordinates, in metres
whatever the file's length unit, stored the way exports store it: the object's
display list references a mesh line, and the mesh's "vertices" and "faces" are
lists of references to chunk lines of bounded size. Keys of meshes and chunks are
content hashes, so repeated chunks and meshes are written once.
"""

import hashlib
import json
import logging
import os
import re
from dataclasses import dataclass, field
from collections import Counter

import numpy as np

log = logging.getLogger("orvex_ifc")

MESH_TYPE = "Objects.Geometry.Mesh"
CHUNK_TYPE = "Speckle.Core.Models.DataChunk"

#: Numbers per chunk line.
DEFAULT_CHUNK_SIZE = 10_000

#: Left out unless named in `include`: voids, rooms and zones are volumes, not
#: things that can collide.
DEFAULT_EXCLUDE = ("IfcOpeningElement", "IfcSpace", "IfcSpatialZone")

# Beyond this distance from the origin a single-precision coordinate resolves
# steps of 1 mm or more, which is coarser than real clearances.
_FAR_FROM_ORIGIN = 8192.0

_COMPACT = (",", ":")


class IfcReadError(Exception):
    """The input file is missing, unreadable or not an IFC file."""


@dataclass
class Summary:
    """What one conversion wrote."""
    objects: Counter = field(default_factory=Counter)  # IFC class -> objects written
    triangles: int = 0
    skipped: int = 0  # products with a representation but no usable triangles
    max_coordinate: float = 0.0


def _ifcopenshell():
    try:
        import ifcopenshell
        import ifcopenshell.geom
    except ImportError as e:
        raise ImportError("the IFC converter needs ifcopenshell: pip install 'orvex[ifc]'") from e
    return ifcopenshell


def _product_class(name, schema):
    """Canonical spelling of an IfcProduct class in `schema`, or None when the schema
    lacks it. ValueError when no supported schema knows it as a product class."""
    from ifcopenshell import ifcopenshell_wrapper as wrapper

    others = [s for s in wrapper.schema_names() if s.startswith("IFC")]
    known_elsewhere = False
    for candidate in (schema, *others):
        try:
            decl = wrapper.schema_by_name(candidate).declaration_by_name(name)
        except RuntimeError:
            continue
        ancestor = decl
        while ancestor is not None and ancestor.name() != "IfcProduct":
            ancestor = ancestor.supertype() if hasattr(ancestor, "supertype") else None
        if ancestor is None:
            raise ValueError(f"{name} is not an IfcProduct class")
        if candidate == schema:
            return decl.name()
        known_elsewhere = True
    if known_elsewhere:
        return None
    raise ValueError(f"unknown IFC class {name}")


def _classes(names, schema):
    return [c for c in (_product_class(n, schema) for n in names) if c is not None]


def open_ifc(path):
    """Opens an IFC file; IfcReadError with the reason when that is not possible."""
    ifcopenshell = _ifcopenshell()
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            f.read(1)
    except OSError as e:
        raise IfcReadError(f"cannot read {path}: {e.strerror or e}") from e
    try:
        return ifcopenshell.open(path)
    except (OSError, ifcopenshell.Error, RuntimeError) as e:
        raise IfcReadError(f"cannot read {path} as IFC: {e}") from e


def select_products(ifc, include=None, exclude=None):
    """The IfcProducts with a representation that pass the class filters. Classes
    match with their subclasses. Without `exclude`, DEFAULT_EXCLUDE applies, except
    for the classes named in `include`."""
    included = _classes(include, ifc.schema) if include else None
    if exclude is None:
        named = {c.lower() for c in included or ()}
        exclude = [c for c in DEFAULT_EXCLUDE if c.lower() not in named]
    exclude = _classes(exclude, ifc.schema)
    return [p for p in ifc.by_type("IfcProduct")
            if p.Representation is not None
            and (included is None or any(p.is_a(c) for c in included))
            and not any(p.is_a(c) for c in exclude)]


def _shapes(ifc, products, threads):
    """(shape, percent done) for each product whose geometry the kernel produced."""
    ifcopenshell = _ifcopenshell()
    if not products:
        return
    settings = ifcopenshell.geom.settings()
    settings.set("use-world-coords", True)
    settings.set("no-normals", True)
    iterator = ifcopenshell.geom.iterator(settings, ifc, threads, include=products)
    if not iterator.initialize():
        return
    while True:
        yield iterator.get(), iterator.progress()
        if not iterator.next():
            return


_BAD_KEY = re.compile(r"[\x00-\x1f\x7f]")


class _Keys:
    """Object keys, unique within one model text: the GlobalId, or, for a GlobalId
    that is already taken (an element exported twice) or that cannot be a key (none,
    or with control characters), the GlobalId or '' followed by '#<STEP id>'."""

    def __init__(self):
        self.used = set()

    def __call__(self, guid, step_id):
        usable = isinstance(guid, str) and guid != "" and not _BAD_KEY.search(guid)
        key = guid if usable else f"#{step_id}"
        base = f"{guid if usable else ''}#{step_id}"
        n = 1
        while key in self.used:
            key = base if n == 1 else f"{base}.{n}"
            n += 1
        if key != guid:
            reason = "is taken" if usable else "cannot be a key"
            log.warning("GlobalId %r of #%d %s; keyed %s", guid, step_id, reason, key)
        self.used.add(key)
        return key


def _reference(key):
    return {"speckle_type": "reference", "referencedId": key}


def _chunked(numbers, chunk_size, written, out):
    """Appends the chunk lines of `numbers` not yet in `written` to `out`; returns
    the list of chunk references."""
    refs = []
    for start in range(0, len(numbers), chunk_size):
        data = json.dumps(numbers[start:start + chunk_size], separators=_COMPACT)
        key = hashlib.md5(data.encode(), usedforsecurity=False).hexdigest()
        if key not in written:
            written.add(key)
            out.append(f'{key}\t{{"speckle_type":"{CHUNK_TYPE}","id":"{key}","data":{data}}}\n')
        refs.append(_reference(key))
    return refs


def _mesh_arrays(shape):
    """Flat vertex list and (n, 3) triangle array of a shape, or None when it holds
    no triangles or nothing the engine could safely read."""
    geometry = shape.geometry
    vertices = np.frombuffer(geometry.verts_buffer, dtype=np.float64)
    triangles = np.frombuffer(geometry.faces_buffer, dtype=np.int32).reshape(-1, 3)
    if len(triangles) == 0:
        return None
    if not np.isfinite(vertices).all():
        log.warning("%s #%d has non-finite coordinates; left out", shape.type, shape.id)
        return None
    # A corner without a point would end the whole clash run.
    if len(vertices) % 3 or triangles.min() < 0 or triangles.max() >= len(vertices) // 3:
        log.warning("%s #%d has triangles without points; left out", shape.type, shape.id)
        return None
    return vertices, triangles


def model_lines(ifcs, include=None, exclude=None, chunk_size=DEFAULT_CHUNK_SIZE, threads=1,
                progress=False, summary=None):
    """The lines of one model text holding the products of one opened IFC file or
    of a sequence of them (the partitions of a federated model), as an iterator.

    `include`/`exclude` name IfcProduct classes (subclasses match too; see
    select_products). `progress` shows a bar on standard error for conversions
    that take more than a second, when standard error is a terminal. `summary`, a
    Summary, is filled in as lines are produced. Bad options raise ValueError here,
    before any line is produced."""
    if chunk_size < 1:
        raise ValueError("chunk size must be at least 1")
    if not isinstance(ifcs, (list, tuple)):
        ifcs = [ifcs]
    selected = [(ifc, select_products(ifc, include, exclude)) for ifc in ifcs]
    summary = Summary() if summary is None else summary
    return _all_lines(selected, chunk_size, threads, progress, summary)


def _all_lines(selected, chunk_size, threads, progress, summary):
    keys = _Keys()
    written = set()
    for ifc, products in selected:
        yield from _lines(ifc, products, chunk_size, threads, progress, summary, keys, written)
    if summary.max_coordinate > _FAR_FROM_ORIGIN:
        step = float(np.spacing(np.float32(summary.max_coordinate))) * 1000
        log.warning("coordinates reach %.0f m from the origin, where single precision "
                    "resolves only %.1f mm", summary.max_coordinate, step)


def _lines(ifc, products, chunk_size, threads, progress, summary, keys, written):
    bar = _progress_bar() if progress else None
    produced = 0
    try:
        for shape, percent in _shapes(ifc, products, threads):
            if bar is not None:
                bar.update(percent - bar.n)
            produced += 1
            arrays = _mesh_arrays(shape)
            if arrays is None:
                summary.skipped += 1
                continue
            vertices, triangles = arrays
            faces = np.empty((len(triangles), 4), dtype=np.int64)
            faces[:, 0] = 3
            faces[:, 1:] = triangles
            out = []
            vertex_refs = _chunked(vertices.tolist(), chunk_size, written, out)
            face_refs = _chunked(faces.ravel().tolist(), chunk_size, written, out)
            mesh_key = hashlib.md5(json.dumps([vertex_refs, face_refs]).encode(),
                                   usedforsecurity=False).hexdigest()
            if mesh_key not in written:
                written.add(mesh_key)
                mesh = {"speckle_type": MESH_TYPE, "id": mesh_key, "units": "m",
                        "vertices": vertex_refs, "faces": face_refs}
                out.append(f"{mesh_key}\t{json.dumps(mesh, separators=_COMPACT)}\n")
            key = keys(shape.guid, shape.id)
            obj = {"speckle_type": f"IFC.{shape.type}", "id": key}
            if shape.name:
                obj["name"] = shape.name
            obj["@displayValue"] = [_reference(mesh_key)]
            out.append(f"{key}\t{json.dumps(obj, separators=_COMPACT)}\n")
            summary.objects[shape.type] += 1
            summary.triangles += len(triangles)
            summary.max_coordinate = max(summary.max_coordinate, float(np.abs(vertices).max()))
            yield from out
    finally:
        if bar is not None:
            bar.close()
    summary.skipped += len(products) - produced


def _progress_bar():
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    # disable=None turns the bar off when standard error is not a terminal.
    return tqdm(total=100, unit="%", delay=1.0, disable=None, leave=False,
                bar_format="{l_bar}{bar}| {elapsed}<{remaining}")


def convert(paths, **options):
    """Model text of the IFC file at `paths`, or of the files of a sequence of paths
    together. Options as for model_lines."""
    if isinstance(paths, (list, tuple)):
        return "".join(model_lines([open_ifc(p) for p in paths], **options))
    return "".join(model_lines(open_ifc(paths), **options))


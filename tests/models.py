"""Builders of model texts for the tests: objects, meshes and chunk lines."""

import itertools
import json

MESH = "Objects.Geometry.Mesh"


def line(key, obj):
    """One model line: key, TAB, compact JSON, LF."""
    return f"{key}\t{json.dumps(obj, separators=(',', ':'))}\n"


def flat(points):
    """[(x, y, z), ...] -> [x, y, z, ...]"""
    return [float(c) for p in points for c in p]


def faces_of(triangles):
    """Count-prefixed face list of triangles [(i, j, k), ...]."""
    out = []
    for t in triangles:
        out.append(len(t))
        out.extend(t)
    return out


def inline_object(key, points, triangles, obj_id=None):
    """A displayed object whose display list holds one inline mesh."""
    mesh = {"speckle_type": MESH, "id": f"{key}-mesh",
            "vertices": flat(points), "faces": faces_of(triangles)}
    return line(key, {"speckle_type": "Objects.BuiltElements.Wall",
                      "id": key if obj_id is None else obj_id, "displayValue": [mesh]})


_chunk_ids = itertools.count()


def referenced_object(key, meshes, chunk_size=6):
    """A displayed object as exports write it: "reference" elements to mesh lines whose
    "vertices" and "faces" are chunk references to lines holding "data".
    `meshes` is a list of (points, triangles)."""
    lines = []
    elements = []
    for n, (points, triangles) in enumerate(meshes):
        mesh_key = f"{key}-mesh{n}"
        members = {}
        for name, numbers in (("vertices", flat(points)), ("faces", faces_of(triangles))):
            refs = []
            for start in range(0, len(numbers), chunk_size):
                chunk_key = f"chunk{next(_chunk_ids)}"
                lines.append(line(chunk_key, {"speckle_type": "Speckle.Core.Models.DataChunk",
                                              "data": numbers[start:start + chunk_size]}))
                refs.append({"speckle_type": "reference", "referencedId": chunk_key})
            members[name] = refs
        lines.append(line(mesh_key, {"speckle_type": MESH, "id": mesh_key, **members}))
        elements.append({"speckle_type": "reference", "referencedId": mesh_key})
    lines.append(line(key, {"speckle_type": "Objects.BuiltElements.Duct", "id": key,
                            "@displayValue": elements}))
    return "".join(lines)


def box(lo, hi):
    """Closed axis-aligned box: 8 points, 12 outward-wound triangles."""
    (x0, y0, z0), (x1, y1, z1) = lo, hi
    points = [(x0, y0, z0), (x1, y0, z0), (x1, y1, z0), (x0, y1, z0),
              (x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]
    triangles = [(0, 2, 1), (0, 3, 2), (4, 5, 6), (4, 6, 7), (0, 1, 5), (0, 5, 4),
                 (1, 2, 6), (1, 6, 5), (2, 3, 7), (2, 7, 6), (3, 0, 4), (3, 4, 7)]
    return points, triangles


def tetrahedron(p0, p1, p2, p3):
    """Closed tetrahedron on four points."""
    return [p0, p1, p2, p3], [(0, 2, 1), (0, 1, 3), (1, 2, 3), (2, 0, 3)]

"""Seeded sample building: a structure model and a services model, as export texts, or
the same building as one model per discipline.

The building is a grid of square bays on several storeys. The structure model holds per
bay a floor slab, a column at its corner and walls on its west and south grid lines; the
services model holds per bay a duct, a cable tray and two pipes hung below the slab
above. Most services stay clear of the walls, some run through one (a clash) and some
stop a few centimetres short of one (a near miss).

Both texts are written the way exports are: every element's display list holds
"reference" elements naming mesh lines, and each mesh's "vertices" and "faces" are lists
of references to chunk lines holding "data". Faces are count-prefixed quads and
triangles. Generation is linear in the number of objects.

Regenerate the bundled sample with
    python examples/building.py --objects 120 --seed 1 examples/data

and the sample project of examples/matrix.json (structure, architecture, ducts, pipes and
cable trays, the building of 60 bays) with
    python examples/building.py --objects 240 --seed 2 --disciplines examples/data/project
"""

import argparse
import json
import math
import os
import random

MESH = "Objects.Geometry.Mesh"
BAY = 6.0         # grid spacing
STOREY = 3.5      # floor to floor
SLAB = 0.25       # slab thickness, below each floor level
WALL = 0.2        # wall thickness, centred on its grid line
COLUMN = 0.4      # square column side, centred on a grid crossing
CLEARANCE = 0.6   # gap between a clear service's end and the wall face
PIPE_SEGMENTS = 12

_dumps = json.JSONEncoder(separators=(",", ":")).encode


def box(lo, hi):
    """8 points and 6 outward quads of an axis-aligned box."""
    (x0, y0, z0), (x1, y1, z1) = lo, hi
    points = [(x0, y0, z0), (x1, y0, z0), (x1, y1, z0), (x0, y1, z0),
              (x0, y0, z1), (x1, y0, z1), (x1, y1, z1), (x0, y1, z1)]
    faces = [(0, 3, 2, 1), (4, 5, 6, 7), (0, 1, 5, 4), (1, 2, 6, 5), (2, 3, 7, 6), (3, 0, 4, 7)]
    return points, faces


def cylinder(axis, start, end, centre, radius, segments=PIPE_SEGMENTS):
    """Closed cylinder along axis 0 (x) or 1 (y) from `start` to `end`; `centre` gives
    the two other coordinates. Quads around the side, triangle fans on the caps."""
    other = [k for k in range(3) if k != axis]
    points = []
    for along in (start, end):
        for s in range(segments):
            angle = 2 * math.pi * s / segments
            p = [0.0, 0.0, 0.0]
            p[axis] = along
            p[other[0]] = centre[0] + radius * math.cos(angle)
            p[other[1]] = centre[1] + radius * math.sin(angle)
            points.append(tuple(p))
    for along in (start, end):
        p = [0.0, 0.0, 0.0]
        p[axis] = along
        p[other[0]], p[other[1]] = centre
        points.append(tuple(p))
    c0, c1 = 2 * segments, 2 * segments + 1
    faces = []
    for s in range(segments):
        t = (s + 1) % segments
        faces.append((s, t, segments + t, segments + s))
        faces.append((c0, t, s))
        faces.append((c1, segments + s, segments + t))
    return points, faces


class _Model:
    """Lines of one model text: elements, their mesh lines and chunk lines."""

    def __init__(self, rng, chunk_size):
        self.rng = rng
        self.chunk_size = chunk_size
        self.lines = []
        self.elements = []

    def _key(self):
        return "%032x" % self.rng.getrandbits(128)

    def _line(self, key, obj):
        self.lines.append(key + "\t" + _dumps(obj) + "\n")

    def _chunks(self, numbers):
        refs = []
        for at in range(0, len(numbers), self.chunk_size):
            key = self._key()
            # Written by hand: chunk lines are most of the text, and str() of a finite
            # float or an int is already JSON.
            data = ",".join(map(str, numbers[at:at + self.chunk_size]))
            self.lines.append(f'{key}\t{{"speckle_type":"DataChunk","id":"{key}","data":[{data}]}}\n')
            refs.append({"speckle_type": "reference", "referencedId": key})
        return refs

    def add(self, speckle_type, name, level, shape):
        points, faces = shape
        vertices = [round(c, 4) for p in points for c in p]
        face_numbers = []
        for f in faces:
            face_numbers.append(len(f))
            face_numbers.extend(f)
        mesh = self._key()
        self._line(mesh, {"speckle_type": MESH, "id": mesh, "units": "m",
                          "vertices": self._chunks(vertices), "faces": self._chunks(face_numbers)})
        key = self._key()
        self._line(key, {"speckle_type": speckle_type, "id": key, "name": name, "level": level,
                         "@displayValue": [{"speckle_type": "reference", "referencedId": mesh}]})
        self.elements.append(key)

    def text(self, name):
        key = self._key()
        self._line(key, {"speckle_type": "Collection", "id": key, "name": name,
                         "elements": [{"speckle_type": "reference", "referencedId": k}
                                      for k in self.elements]})
        return "".join(self.lines)


def _layout(cells):
    """Storeys and bays per side for about `cells` bays: roughly as tall as it is wide
    in bays divided by two, so that footprints stay plausible."""
    storeys = max(1, min(40, round(cells ** (1 / 3) / 1.5)))
    per_storey = math.ceil(cells / storeys)
    nx = math.ceil(math.sqrt(per_storey))
    ny = math.ceil(per_storey / nx)
    return storeys, nx, ny


def _run(rng, lo_line, hi_line, crossing, near):
    """Extent along its axis of a service in the bay between two grid lines: clear of
    both walls, through the lower wall into the previous bay, or stopping a few
    centimetres short of the lower wall. Returns (start, end)."""
    face_lo, face_hi = lo_line + WALL / 2, hi_line - WALL / 2
    end = face_hi - CLEARANCE
    roll = rng.random()
    if roll < crossing:
        return lo_line - rng.uniform(0.5, 1.5), end
    if roll < crossing + near:
        return face_lo + round(rng.uniform(0.01, 0.05), 3), end
    return face_lo + CLEARANCE, end


#: Where each element type goes when the building is written per discipline.
DISCIPLINES = {"Floor": "structure", "Column": "structure", "Wall": "architecture",
               "Duct": "ducts", "Pipe": "pipes", "CableTray": "trays"}


def generate(n_objects=120, seed=1, chunk_size=60, crossing=0.06, near=0.06, disciplines=False):
    """Two model texts of one building, each with `n_objects` displayed objects:
    (structure: slabs, columns, walls; services: ducts, cable trays, pipes).
    `crossing` and `near` are the shares of services that run through a wall or stop
    1 to 5 cm short of one; the rest keep 0.6 from every wall.

    disciplines=True writes the same kind of building as five texts instead, by name in
    the order of DISCIPLINES' values: structure (slabs and columns), architecture
    (walls), ducts, pipes and trays; `n_objects` still counts the structure and the
    services of the two-model form."""
    rng = random.Random(seed)
    names = list(dict.fromkeys(DISCIPLINES.values())) if disciplines else ["structure", "services"]
    models = {name: _Model(random.Random(rng.getrandbits(64)), chunk_size) for name in names}
    counts = {"structure": 0, "services": 0}
    storeys, nx, ny = _layout(math.ceil(n_objects / 4))

    def add(side, kind, name, level, shape):
        if counts[side] < n_objects:
            counts[side] += 1
            target = DISCIPLINES[kind.rsplit(".", 1)[-1]] if disciplines else side
            models[target].add(kind, name, level, shape)

    cells = ((f, i, j) for f in range(storeys) for i in range(nx) for j in range(ny))
    for f, i, j in cells:
        if counts["structure"] >= n_objects and counts["services"] >= n_objects:
            break
        x, y, z = i * BAY, j * BAY, f * STOREY
        soffit = z + STOREY - SLAB
        level = f"Level {f}"
        bay = f"{f}.{i}.{j}"
        c, w = COLUMN / 2, WALL / 2
        for kind, name, shape in (
                ("Objects.BuiltElements.Floor", "Slab",
                 box((x, y, z - SLAB), (x + BAY, y + BAY, z))),
                ("Objects.BuiltElements.Column", "Column",
                 box((x - c, y - c, z), (x + c, y + c, soffit))),
                ("Objects.BuiltElements.Wall", "Wall W",
                 box((x - w, y + c, z), (x + w, y + BAY - c, soffit))),
                ("Objects.BuiltElements.Wall", "Wall S",
                 box((x + c, y - w, z), (x + BAY - c, y + w, soffit)))):
            add("structure", kind, f"{name} {bay}", level, shape)

        x0, x1 = _run(rng, x, x + BAY, crossing, near)
        duct = box((x0, y + 0.9, soffit - 0.55), (x1, y + 1.5, soffit - 0.15))
        x0, x1 = _run(rng, x, x + BAY, crossing, near)
        radius = rng.choice((0.025, 0.05, 0.075))
        pipe_x = cylinder(0, x0, x1, (y + 2.5, soffit - 0.8), radius)
        y0, y1 = _run(rng, y, y + BAY, crossing, near)
        tray = box((x + 1.35, y0, soffit - 0.2), (x + 1.65, y1, soffit - 0.1))
        y0, y1 = _run(rng, y, y + BAY, crossing, near)
        radius = rng.choice((0.025, 0.05, 0.1))
        pipe_y = cylinder(1, y0, y1, (x + 3.5, soffit - 1.0), radius)
        for kind, name, shape in (("Objects.BuiltElements.Duct", "Duct", duct),
                                  ("Objects.BuiltElements.Pipe", "Pipe", pipe_x),
                                  ("Objects.BuiltElements.CableTray", "Cable tray", tray),
                                  ("Objects.BuiltElements.Pipe", "Pipe", pipe_y)):
            add("services", kind, f"{name} {bay}", level, shape)

    texts = [models[name].text(name.capitalize()) for name in names]
    return tuple(texts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir", help="folder for structure.txt and services.txt (or the "
                                            "five discipline models)")
    parser.add_argument("--objects", type=int, default=120, help="displayed objects per model")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--disciplines", action="store_true",
                        help="one model per discipline: " + ", ".join(dict.fromkeys(DISCIPLINES.values())))
    args = parser.parse_args()
    os.makedirs(args.out_dir, exist_ok=True)
    names = dict.fromkeys(DISCIPLINES.values()) if args.disciplines else ("structure", "services")
    texts = generate(args.objects, args.seed, disciplines=args.disciplines)
    for name, text in zip(names, texts):
        with open(os.path.join(args.out_dir, name + ".txt"), "w", encoding="utf-8", newline="\n") as f:
            f.write(text)


if __name__ == "__main__":
    main()

"""Dense closed meshes for the single contact query (W3), written to a file that the
C++ driver and the peers read, so that every side queries the same float triangles.

File layout (little endian): u32 point count P, u32 triangle count T, then P x 3 float32
coordinates, then T x 3 uint32 corner indices.
"""

import numpy as np


def torus(rings, segments, major, minor, seed, roughness):
    """Closed torus in the xy plane around the origin: rings x segments x 2 triangles,
    outward wound. The tube radius is shrunk by up to `roughness` (seeded), except on the
    outer equator, which stays exact: it is then the outermost extent of the surface, so
    that a gap set along x between two such tori is the mesh distance."""
    rng = np.random.default_rng(seed)
    u = np.arange(rings) * (2 * np.pi / rings)         # around the main axis
    v = np.arange(segments) * (2 * np.pi / segments)   # around the tube
    uu, vv = np.meshgrid(u, v, indexing="ij")
    r = minor - roughness * rng.uniform(0.0, 1.0, size=uu.shape)
    r[:, 0] = minor                                     # v = 0: the outer equator
    points = np.stack([(major + r * np.cos(vv)) * np.cos(uu),
                       (major + r * np.cos(vv)) * np.sin(uu),
                       r * np.sin(vv)], axis=-1).reshape(-1, 3)

    i = np.arange(rings)[:, None]
    j = np.arange(segments)[None, :]
    a = i * segments + j
    b = ((i + 1) % rings) * segments + j
    c = ((i + 1) % rings) * segments + (j + 1) % segments
    d = i * segments + (j + 1) % segments
    triangles = np.concatenate([np.stack([a, b, c], axis=-1).reshape(-1, 3),
                                np.stack([a, c, d], axis=-1).reshape(-1, 3)])
    return points.astype(np.float32), triangles.astype(np.uint32)


MAJOR = 1.0
MINOR = 0.35


def pair(triangles_per_mesh, offset_gap, seed):
    """Two tori side by side along x, the second shifted so that the outer equators are
    `offset_gap` apart (negative: they overlap by that much). Returns two (points, triangles)."""
    rings = max(8, int(round(np.sqrt(triangles_per_mesh / 2 * 1.25))))
    segments = max(4, int(round(triangles_per_mesh / 2 / rings)))
    p1, t1 = torus(rings, segments, MAJOR, MINOR, seed, roughness=0.02)
    p2, t2 = torus(rings, segments, MAJOR, MINOR, seed + 1, roughness=0.02)
    shift = 2 * (MAJOR + MINOR) + offset_gap
    # Turn the second torus half a ring step so that its outer equator point at u = pi
    # still lies on the x axis and its triangles do not mirror the first one's.
    p2 = p2.astype(np.float64)
    p2[:, 0] = -p2[:, 0] + shift
    p2[:, 1] = -p2[:, 1]
    return (p1, t1), (p2.astype(np.float32), t2)


def write(path, points, triangles):
    with open(path, "wb") as f:
        np.array([len(points), len(triangles)], dtype="<u4").tofile(f)
        np.ascontiguousarray(points, dtype="<f4").tofile(f)
        np.ascontiguousarray(triangles, dtype="<u4").tofile(f)


def read(path):
    raw = np.fromfile(path, dtype="<u4")
    n_points, n_triangles = int(raw[0]), int(raw[1])
    points = raw[2:2 + 3 * n_points].view("<f4").reshape(-1, 3)
    triangles = raw[2 + 3 * n_points:2 + 3 * n_points + 3 * n_triangles].reshape(-1, 3)
    return points, triangles

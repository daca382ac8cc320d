"""Brute-force reference of the signed contact of two triangle meshes, in numpy float64.

Per triangle pair (t1 of mesh 1, t2 of mesh 2):
- the triangles cross when an edge of one pierces the other (its ends strictly on either
  side of the other's plane, the piercing point inside the other); their signed distance is
  then minus the penetration depth, the smallest overlap over the two normals and the nine
  edge cross products, both signs, where the overlap along unit u is
  max over t1 of x.u - min over t2 of x.u; a depth within rounding of 0 counts as touching;
- otherwise the signed distance is the distance of the nearest features: edge against
  edge, and corner against triangle.
A zero-area triangle has no normal and acts through its edges. The mesh contact is the
smallest signed distance over all pairs within the prediction distance; every pair is
examined, none is pruned by a hierarchy.
"""

import math

import numpy as np

# Below this sine two directions count as parallel, and a triangle as zero-area.
PARALLEL_SINE = 1e-8
# A depth below this fraction of the pair's extent is rounding: the pair touches.
TOUCH_FRACTION = 2.0 ** -40
# Relative margin within which two candidate values count as a tie for the witness.
TIE_FRACTION = 1e-9


def _sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def _add(a, b):
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


def _mul(a, s):
    return (a[0] * s, a[1] * s, a[2] * s)


def _dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def _cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def _dist(a, b):
    return math.sqrt(_dot(_sub(a, b), _sub(a, b)))


def _point_segment(x, r, s):
    """Nearest point to x on segment [r, s]."""
    d = _sub(s, r)
    dd = _dot(d, d)
    if dd == 0.0:
        return r
    t = min(1.0, max(0.0, _dot(_sub(x, r), d) / dd))
    return _add(r, _mul(d, t))


def _segment_segment(p, q, r, s):
    """Nearest points of segments [p, q] and [r, s], and whether they are the only ones.

    The squared distance is a convex quadratic over the parameter square: its minimum is
    the stationary point when that lies inside, else on a side of the square, which is an
    end of one segment against the other segment."""
    d1, d2 = _sub(q, p), _sub(s, r)
    candidates = [(p, _point_segment(p, r, s)), (q, _point_segment(q, r, s)),
                  (_point_segment(r, p, q), r), (_point_segment(s, p, q), s)]
    a, b, e = _dot(d1, d1), _dot(d1, d2), _dot(d2, d2)
    det = a * e - b * b
    parallel = det <= (PARALLEL_SINE ** 2) * a * e
    if not parallel:
        w = _sub(p, r)
        c, f = _dot(d1, w), _dot(d2, w)
        u = (b * f - c * e) / det
        t = (a * f - b * c) / det
        if 0.0 < u < 1.0 and 0.0 < t < 1.0:
            candidates.append((_add(p, _mul(d1, u)), _add(r, _mul(d2, t))))
    x, y = min(candidates, key=lambda c: _dist(c[0], c[1]))
    return x, y, not (parallel and a > 0 and e > 0)


def _normal(t):
    """The triangle's normal, or None for a zero-area triangle."""
    e = [_sub(t[(k + 1) % 3], t[k]) for k in range(3)]
    n = _cross(e[0], e[1])
    longest = max(_dot(x, x) for x in e)
    if _dot(n, n) <= (PARALLEL_SINE ** 2) * longest * longest:
        return None
    return n


def _inside(t, n, x):
    """Whether x, in the plane of t, lies in t (boundary included)."""
    return all(_dot(_cross(_sub(t[(k + 1) % 3], t[k]), _sub(x, t[k])), n) >= 0.0
               for k in range(3))


def _point_triangle(x, t, n):
    """Nearest point to x on triangle t (normal n, or None when zero-area)."""
    if n is not None:
        foot = _sub(x, _mul(n, _dot(_sub(x, t[0]), n) / _dot(n, n)))
        if _inside(t, n, foot):
            return foot
    return min((_point_segment(x, t[k], t[(k + 1) % 3]) for k in range(3)),
               key=lambda y: _dist(x, y))


def _pierces(p, q, t, n):
    """Whether segment [p, q] has its ends strictly on either side of t's plane and
    meets t."""
    if n is None:
        return False
    sp, sq = _dot(_sub(p, t[0]), n), _dot(_sub(q, t[0]), n)
    if not (sp < 0.0 < sq or sq < 0.0 < sp):
        return False
    return _inside(t, n, _add(p, _mul(_sub(q, p), sp / (sp - sq))))


def _nearest_features(t1, t2, n1, n2):
    """(distance, point on t1, point on t2, unique) of the nearest features."""
    found = []
    for i in range(3):
        for j in range(3):
            x, y, unique = _segment_segment(t1[i], t1[(i + 1) % 3], t2[j], t2[(j + 1) % 3])
            found.append((_dist(x, y), x, y, unique))
    for v in t2:
        x = _point_triangle(v, t1, n1)
        found.append((_dist(x, v), x, v, True))
    for v in t1:
        y = _point_triangle(v, t2, n2)
        found.append((_dist(v, y), v, y, True))
    best = min(found, key=lambda f: f[0])
    return best[0], best[1], best[2], found


def _extent(t1, t2):
    o = t1[0]
    return max(abs(c) for v in list(t1) + list(t2) for c in _sub(v, o))


def _penetration(t1, t2, n1, n2):
    """(depth, point on t1, point on t2, unique) of a crossing pair."""
    e1 = [(t1[k], t1[(k + 1) % 3]) for k in range(3)]
    e2 = [(t2[k], t2[(k + 1) % 3]) for k in range(3)]
    axes = []
    if n1 is not None:
        axes.append((n1, "face1", None))
    if n2 is not None:
        axes.append((n2, "face2", None))
    # An edge axis remembers its two edges: their nearest points are the witnesses.
    for a in e1:
        for b in e2:
            da, db = _sub(a[1], a[0]), _sub(b[1], b[0])
            c = _cross(da, db)
            if _dot(c, c) > (PARALLEL_SINE ** 2) * _dot(da, da) * _dot(db, db):
                axes.append((c, "edges", (a, b)))
    options = []
    for c, kind, edges in axes:
        u = _mul(c, 1.0 / math.sqrt(_dot(c, c)))
        for sign in (1.0, -1.0):
            v = _mul(u, sign)
            overlap = max(_dot(x, v) for x in t1) - min(_dot(x, v) for x in t2)
            options.append((overlap, v, kind, edges))
    options.sort(key=lambda o: o[0])
    depth, u, kind, edges = options[0]
    tie = TIE_FRACTION * max(1.0, _extent(t1, t2))
    unique = len(options) < 2 or options[1][0] > depth + tie
    if kind == "face1":
        heights = sorted((_dot(y, u), y) for y in t2)
        point2 = heights[0][1]
        point1 = _add(point2, _mul(u, depth))
        unique = unique and heights[1][0] > heights[0][0] + tie
    elif kind == "face2":
        heights = sorted(((_dot(x, u), x) for x in t1), reverse=True)
        point1 = heights[0][1]
        point2 = _sub(point1, _mul(u, depth))
        unique = unique and heights[1][0] < heights[0][0] - tie
    else:
        (p, q), (r, s) = edges
        point1, point2, _ = _segment_segment(p, q, r, s)
    return depth, point1, point2, unique


def pair_contact(t1, t2, prediction=0.5):
    """Signed contact of two triangles (3 points each), as (dist, point1, point2, unique),
    or None beyond the prediction distance. `unique` says whether point1 is the only
    witness by the definitions above."""
    t1 = tuple(tuple(float(c) for c in v) for v in t1)
    t2 = tuple(tuple(float(c) for c in v) for v in t2)
    n1, n2 = _normal(t1), _normal(t2)
    crossing = (any(_pierces(t1[k], t1[(k + 1) % 3], t2, n2) for k in range(3))
                or any(_pierces(t2[k], t2[(k + 1) % 3], t1, n1) for k in range(3)))
    dist, point1, point2, found = _nearest_features(t1, t2, n1, n2)
    tie = TIE_FRACTION * max(1.0, _extent(t1, t2))
    if crossing:
        depth, p1, p2, unique = _penetration(t1, t2, n1, n2)
        if depth > TOUCH_FRACTION * _extent(t1, t2):
            return -depth, p1, p2, unique
        dist = 0.0
    if dist > prediction:
        return None
    unique = all(_dist(f[1], point1) <= tie and f[3] for f in found if f[0] <= dist + tie)
    return dist, point1, point2, unique


def mesh_contact_reference(points1, tris1, points2, tris2, prediction=0.5):
    """Contact of two meshes as (dist, point1, unique), or None when no triangle pair is
    within the prediction distance. Points are narrowed to float32 first, as the engine
    stores them. `unique` says whether point1, on mesh 1, is the only witness of the
    minimum: every pair within a tie of the minimal distance has the same point1, and
    that point is its pair's only witness."""
    p1 = np.asarray(points1, dtype=np.float32).astype(np.float64)
    p2 = np.asarray(points2, dtype=np.float32).astype(np.float64)
    tri1 = p1[np.asarray(tris1, dtype=np.int64)]
    tri2 = p2[np.asarray(tris2, dtype=np.int64)]
    lo1, hi1 = tri1.min(axis=1), tri1.max(axis=1)
    lo2, hi2 = tri2.min(axis=1), tri2.max(axis=1)
    # Pairs whose boxes are farther apart than the prediction on some axis cannot be
    # within it; the margin keeps the cut conservative under rounding.
    gap = np.maximum(lo2[None, :, :] - hi1[:, None, :], lo1[:, None, :] - hi2[None, :, :])
    near = np.argwhere((gap <= prediction * (1 + 1e-9)).all(axis=2))
    contacts = []
    for i, j in near:
        c = pair_contact(tri1[i], tri2[j], prediction)
        if c is not None:
            contacts.append(c)
    if not contacts:
        return None
    scale = max(1.0, float(np.abs(np.concatenate([p1, p2])).max()))
    best = min(contacts, key=lambda c: c[0])
    tie = TIE_FRACTION * scale
    unique = all(c[3] and _dist(c[1], best[1]) <= tie
                 for c in contacts if c[0] <= best[0] + tie)
    return best[0], np.array(best[1]), unique

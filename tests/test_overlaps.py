"""orvexkit.overlaps against independent references: seeded closed solids (boxes,
tetrahedra, tori, L prisms) inside, outside, crossing, touching and duplicated, their
overlap volumes and centres against Monte Carlo estimates by numpy ray parity; its
surface pairs against clash on every scene of test_kit; open meshes never contained
by the exact path."""

import math
import pickle

import numpy as np
import pytest

import orvexkit
from models import box, inline_object, tetrahedron
from test_contact_reference import rotation
from test_kit import SCENES, texts  # noqa: F401  (texts: the fixture)

# --- solids: (points, triangles), a point deep inside and its distance to the surface ---


def signed_volume(points, triangles):
    p = np.asarray(points, dtype=np.float64)
    t = np.asarray(triangles)
    return float(np.einsum("ij,ij->i", p[t[:, 0]], np.cross(p[t[:, 1]], p[t[:, 2]])).sum() / 6)


def outwards(points, triangles):
    t = np.asarray(triangles)
    return points, (t if signed_volume(points, t) > 0 else t[:, ::-1]).tolist()


def torus(big, small, n=16, m=8):
    u, v = np.meshgrid(2 * np.pi * np.arange(n) / n, 2 * np.pi * np.arange(m) / m, indexing="ij")
    points = np.stack([(big + small * np.cos(v)) * np.cos(u), (big + small * np.cos(v)) * np.sin(u),
                       small * np.sin(v)], -1).reshape(-1, 3)
    at = lambda i, j: (i % n) * m + j % m  # noqa: E731
    triangles = [t for i in range(n) for j in range(m)
                 for t in ((at(i, j), at(i + 1, j), at(i + 1, j + 1)), (at(i, j), at(i + 1, j + 1), at(i, j + 1)))]
    # The tube's polygon and the ring's chords stay within small * cos(pi / m) - the
    # ring's sagitta of (big + small)(1 - cos(pi / n)) of the core circle.
    clearance = small * math.cos(math.pi / m) - (big + small) * (1 - math.cos(math.pi / n))
    return (*outwards(points.tolist(), triangles), (big, 0.0, 0.0), clearance)


def l_prism(s, h):
    xy = s * np.array([(0, 0), (2, 0), (2, 1), (1, 1), (1, 2), (0, 2)], dtype=float)
    points = [(x, y, z) for z in (0.0, h) for x, y in xy]
    triangles = [t for k in range(1, 5) for t in ((0, k + 1, k), (6, 6 + k, 7 + k))]
    triangles += [t for i in range(6) for t in ((i, (i + 1) % 6, 6 + (i + 1) % 6), (i, 6 + (i + 1) % 6, 6 + i))]
    return points, triangles, (0.5 * s, 0.5 * s, 0.5 * h), min(0.5 * s, 0.5 * h)


def shape(rng):
    kind = rng.integers(4)
    if kind == 0:
        half = rng.uniform(0.2, 1.0, 3)
        return (*box(-half, half), (0.0, 0.0, 0.0), float(half.min()))
    if kind == 1:
        k = rng.uniform(0.4, 1.0)
        return (*tetrahedron((k, k, k), (k, -k, -k), (-k, k, -k), (-k, -k, k)), (0.0, 0.0, 0.0), k / math.sqrt(3))
    if kind == 2:
        return torus(rng.uniform(0.8, 1.2), rng.uniform(0.2, 0.4))
    return l_prism(rng.uniform(0.3, 0.6), rng.uniform(0.4, 1.0))


def placed(solid, rot, centre):
    """The solid turned by `rot` about its deep point, which goes to `centre`."""
    points, triangles, deep, clearance = solid
    moved = (np.asarray(points) - deep) @ rot.T + centre
    return moved, triangles, clearance


def within(solid, rng, centre, radius):
    """The solid scaled to lie within `radius` of `centre` (its deep point there)."""
    points, triangles, deep, clearance = solid
    extent = np.linalg.norm(np.asarray(points) - deep, axis=1).max()
    scaled = (np.asarray(points) - deep) * (radius / extent)
    return placed((scaled, triangles, (0, 0, 0), clearance * radius / extent), rotation(rng), centre)[:2]


def copied(points, triangles, rng, noise):
    """A modeller's copy: every corner moved by up to `noise` per axis (shared corners
    alike, so the copy stays closed), each triangle split in three at its centroid, the
    triangles with corners of their own and in shuffled order."""
    p = np.asarray(points, dtype=np.float64) + rng.uniform(-noise, noise, (len(points), 3))
    out = []
    for a, b, c in triangles:
        g = (p[a] + p[b] + p[c]) / 3
        out += [(p[a], p[b], g), (p[b], p[c], g), (p[c], p[a], g)]
    rng.shuffle(out)
    return np.array(out).reshape(-1, 3), np.arange(3 * len(out)).reshape(-1, 3).tolist()


# --- the independent reference: ray parity in numpy -----------------------------------


def inside(samples, points, triangles, rng):
    """Whether each sample lies inside the closed mesh: the parity of the triangles a
    ray in a random direction crosses (Moller-Trumbore in float64). Such a ray meets an
    edge, where the count could slip, with probability 0."""
    tri = np.asarray(points, dtype=np.float64)[np.asarray(triangles)]
    a, e1, e2 = tri[:, 0], tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0]
    d = rng.normal(size=3)
    p = np.cross(d, e2)
    det = np.einsum("ij,ij->i", e1, p)
    odd = np.zeros(len(samples), bool)
    for start in range(0, len(samples), 2000):
        s = samples[start:start + 2000, None, :] - a
        u = np.einsum("nij,ij->ni", s, p) / det
        q = np.cross(s, e1)
        v = (q @ d) / det
        t = np.einsum("nij,ij->ni", q, e2) / det
        odd[start:start + 2000] = ((u >= 0) & (v >= 0) & (u + v <= 1) & (t > 0)).sum(1) % 2 == 1
    return odd


def monte_carlo(mesh_a, mesh_b, rng, n=20000):
    """Volume of A ∩ B with its standard error, and the centroid of the samples inside
    both with the standard error of each coordinate."""
    pa, pb = np.asarray(mesh_a[0], dtype=np.float64), np.asarray(mesh_b[0], dtype=np.float64)
    lo = np.maximum(pa.min(0), pb.min(0))
    hi = np.minimum(pa.max(0), pb.max(0))
    if np.any(hi <= lo):
        return 0.0, 0.0, None, None
    samples = rng.uniform(lo, hi, (n, 3))
    hit = inside(samples, *mesh_a, rng) & inside(samples, *mesh_b, rng)
    box_volume = float(np.prod(hi - lo))
    share = hit.mean()
    error = box_volume * math.sqrt(max(share * (1 - share), 1 / n) / n)
    if hit.sum() < 2:
        return box_volume * share, error, None, None
    chosen = samples[hit]
    return box_volume * share, error, chosen.mean(0), chosen.std(0) / math.sqrt(len(chosen))


# --- scenes ---------------------------------------------------------------------------

def scene(seed):
    """Pairs of closed solids in known configurations, 20 apart along x: (mesh a,
    mesh b, expected kind, expected contained side)."""
    rng = np.random.default_rng(seed)
    pairs = []
    for k in range(3):
        # The outer solid's deep point at the origin, a solid around it.
        pts, tris, clearance = placed(shape(rng), rotation(rng), np.zeros(3))
        inner = within(shape(rng), rng, np.zeros(3), 0.5 * clearance)
        outer_mesh = (pts, tris)
        pairs.append((outer_mesh, inner, "contained", "b") if k % 2 else (inner, outer_mesh, "contained", "a"))
        # Crossing: a solid around one of the outer's corners.
        corner = pts[rng.integers(len(pts))]
        pairs.append((outer_mesh, within(shape(rng), rng, corner, rng.uniform(0.2, 0.5)), "crossing", ""))
        # Duplicate: a copy with 0.5 mm of noise, split and reordered.
        pairs.append((outer_mesh, copied(pts, tris, rng, 0.0005), "duplicate", ""))
    # In a torus's hole and in an L's notch: within the box, outside the solid.
    ring = torus(1.0, 0.3)
    pairs.append(((ring[0], ring[1]), within(shape(rng), rng, np.zeros(3), 0.4), None, ""))
    notch = l_prism(0.5, 1.0)
    pairs.append(((notch[0], notch[1]), within(shape(rng), rng, np.array([0.75, 0.75, 0.5]), 0.2), None, ""))
    # Flush inside, a shifted twin along coplanar faces, overlapping boxes turned alike.
    pairs.append((box((0, 0, 0), (2, 2, 2)), box((0, 0.5, 0.5), (1, 1.5, 1.5)), "contained", "b"))
    pairs.append((box((0, 0, 0), (2, 0.5, 0.25)), box((0.5, 0, 0), (2.5, 0.5, 0.25)), "crossing", ""))
    rot = rotation(rng)
    turned = [(np.asarray(p, dtype=np.float64) @ rot.T, t) for p, t in
              (box((0, 0, 0), (2, 1, 0.5)), box((1.5, 0.25, -0.5), (3, 2, 0.25)))]
    pairs.append((*turned, "crossing", ""))
    return pairs


def models(pairs):
    a = "".join(inline_object(f"a{k}", (np.asarray(m[0]) + (20.0 * k, 0, 0)).astype(np.float32).tolist(), m[1])
                for k, (m, _, _, _) in enumerate(pairs))
    b = "".join(inline_object(f"b{k}", (np.asarray(m[0]) + (20.0 * k, 0, 0)).astype(np.float32).tolist(), m[1])
                for k, (_, m, _, _) in enumerate(pairs))
    return orvexkit.Model(a), orvexkit.Model(b)


def mesh_of(model, index):
    return model[index].vertices.astype(np.float64), model[index].triangles


@pytest.mark.parametrize("seed", range(4))
def test_kinds_volumes_and_centres_against_monte_carlo(seed):
    pairs = scene(seed)
    a, b = models(pairs)
    result = orvexkit.overlaps(a, b)
    rows = {(i, j): r for r, (i, j) in enumerate(zip(result.a_index.tolist(), result.b_index.tolist()))}
    assert all(i == j for i, j in rows)
    rng = np.random.default_rng(100 + seed)
    for k, (_, _, kind, side) in enumerate(pairs):
        if kind is None:
            assert (k, k) not in rows, k
            continue
        r = rows[(k, k)]
        assert (result.kind[r], result.contained[r]) == (kind, side), k
        assert not result.approximate[r] and result.closed_a[r] and result.closed_b[r]
        mesh_a, mesh_b = mesh_of(a, k), mesh_of(b, k)
        volume, error, centre, centre_error = monte_carlo(mesh_a, mesh_b, rng)
        assert abs(result.volume[r] - volume) <= 5 * error + 1e-9, (k, kind, result.volume[r], volume, error)
        assert np.all(np.abs(result.centre[r] - centre) <= 5 * centre_error + 1e-6), (k, result.centre[r], centre)
        if kind == "contained":
            inner = mesh_a if side == "a" else mesh_b
            assert result.volume[r] == pytest.approx(abs(signed_volume(*inner)), rel=1e-6)
        if kind == "duplicate":
            # Within the noise: no point of the copy is 0.9 mm off the original's surface.
            assert abs(result.volume[r] - abs(signed_volume(*mesh_a))) <= 0.0009 * area(*mesh_a)
    # The last three pairs are known: overlap boxes 1 x 1 x 1, 1.5 x 0.5 x 0.25 and,
    # turned with both boxes, 0.5 x 0.75 x 0.25, whose float32 corners near x = 300
    # are off by up to 2^-24 x 512 / 2 (1.5e-5) per coordinate.
    for k, (size, thickness) in zip(range(len(pairs) - 3, len(pairs)), [(1, 1), (0.1875, 0.25), (0.09375, 0.25)]):
        r = rows[(k, k)]
        assert result.volume[r] == pytest.approx(size, abs=1e-4)
        assert result.thickness[r] == pytest.approx(thickness, abs=1e-4)
    # Shifted twins touch by the surface distance; only their volume makes them cross.
    assert result.dist[rows[(len(pairs) - 2, len(pairs) - 2)]] == 0


def area(points, triangles):
    t = np.asarray(points)[np.asarray(triangles)]
    return float(np.linalg.norm(np.cross(t[:, 1] - t[:, 0], t[:, 2] - t[:, 0]), axis=1).sum() / 2)


def test_touching_and_clearance_follow_min_dist():
    a, b = models([(box((0, 0, 0), (1, 1, 1)), box((0.25, 0.25, 1), (0.75, 0.75, 1.5)), None, ""),
                   (box((0, 0, 0), (1, 1, 1)), box((0.25, 0.25, 1.03125), (0.75, 0.75, 1.5)), None, "")])
    assert len(orvexkit.overlaps(a, b)) == 0
    result = orvexkit.overlaps(a, b, 0.05)
    assert result.kind.tolist() == ["touching", "clearance"]
    # Closed solids that touch share no volume; surfaces apart are never measured.
    assert result.volume[0] == 0 and result.thickness[0] == 0 and np.isnan(result.volume[1])
    assert not result.hard(0.0).any()


def test_open_meshes_are_never_contained_by_the_exact_path():
    rng = np.random.default_rng(7)
    lid = box((0, 0, 0), (2, 2, 2))
    open_box = (lid[0], lid[1][:2] + lid[1][4:])  # no top
    inner = within(shape(rng), rng, np.array([1.0, 1.0, 1.0]), 0.5)
    ring = torus(1.0, 0.3)
    cut_ring = (ring[0], ring[1][4:])  # a strip of the tube missing
    pairs = [(open_box, inner, "contained", "b"), (inner, open_box, "contained", "a"),
             (box((-1, -1, -1), (3, 3, 3)), open_box, "contained", "b"),
             (cut_ring, within(shape(rng), rng, np.array([-1.0, 0, 0]), 0.1), "contained", "b"),
             (open_box, box((1.5, 0.5, 0.5), (2.5, 1.5, 1.5)), "crossing", "")]
    a, b = models(pairs)
    for volumes in (True, False):
        result = orvexkit.overlaps(a, b, volumes=volumes)
        assert result.kind.tolist() == [p[2] for p in pairs]
        assert result.contained.tolist() == [p[3] for p in pairs]
        contained = result.kind == "contained"
        assert result.approximate[contained].all()
        assert (~(result.closed_a & result.closed_b))[contained].all()
        assert np.isnan(result.volume[contained]).all()
        # An open mesh's crossing is hard by its surface depth.
        assert result.hard(0.1)[-1] and not result.hard(0.6)[-1]
    assert a.open_count == 3 and a.closed.tolist() == [False, True, True, False, False]


@pytest.mark.parametrize("name", SCENES)
def test_surface_pairs_are_clash_s_own_on_every_scene(name, texts):  # noqa: F811
    text_a, text_b = texts[name]
    a, b = orvexkit.Model(text_a), orvexkit.Model(text_b)
    for min_dist in SCENES[name][1]:
        for other in (b, None):
            plain = orvexkit.clash(a, other, min_dist)
            result = orvexkit.overlaps(a, other, min_dist, threads=1)
            surface = result.dist < np.float32(min_dist)
            for column in ("a_index", "b_index", "dist", "point_a", "point_b"):
                np.testing.assert_array_equal(getattr(result, column)[surface], getattr(plain, column))
            assert set(result.kind[~surface].tolist()) <= {"duplicate", "contained", "crossing"}
            assert np.all(result.kind[result.dist < 0] != "touching")
            again = orvexkit.overlaps(a, other, min_dist, threads=3)
            for column in ("a_index", "b_index", "dist", "kind", "volume", "thickness", "centre", "contained"):
                np.testing.assert_array_equal(getattr(again, column), getattr(result, column))


def test_results_pickle_and_tabulate():
    a, b = models(scene(0))
    result = orvexkit.overlaps(a, b)
    back = pickle.loads(pickle.dumps(result))
    assert back.a is None and back.a_ids == result.a_ids
    for column in ("kind", "volume", "centre", "contained", "approximate", "closed_a"):
        np.testing.assert_array_equal(getattr(back, column), getattr(result, column))
    record = result[0]
    assert (record.kind, record.a_key) == (result.kind[0], result.a_ids[0])
    assert list(result)[-1] == result[-1]
    table = result.to_pandas()
    assert table["kind"].tolist() == result.kind.tolist()
    assert result.to_arrow().column("volume").to_pylist()[0] == result.volume[0]
    assert "OverlapResult" in repr(result) and isinstance(result, orvexkit.ClashResult)


def test_arguments_and_a_missing_manifold(monkeypatch):
    a, b = models(scene(1)[:3])
    with pytest.raises(ValueError, match="duplicate_tolerance"):
        orvexkit.overlaps(a, b, duplicate_tolerance=-1)
    with pytest.raises(ValueError, match="select_a only"):
        orvexkit.overlaps(a, select_b=[0])
    with pytest.raises(TypeError):
        orvexkit.overlaps(a, "b")
    real = orvexkit._overlap.importlib.import_module

    def refuse(name):
        if name == "manifold3d":
            raise ImportError(name)
        return real(name)

    monkeypatch.setattr(orvexkit._overlap.importlib, "import_module", refuse)
    with pytest.raises(ImportError, match=r"orvex\[volumes\]"):
        orvexkit.overlaps(a, b)
    without = orvexkit.overlaps(a, b, volumes=False)
    # The engine alone still tells the exact containment and the duplicate.
    assert without.kind.tolist() == ["contained", "crossing", "duplicate"]
    assert np.isnan(without.volume[1:]).all() and not np.isnan(without.volume[0])

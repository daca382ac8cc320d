"""The mesh contact seen from the host, one object per model, against the brute-force
reference over every triangle pair (tests/reference.py)."""

import math

import numpy as np
import pytest

import orvex
from models import box, inline_object, tetrahedron
from reference import mesh_contact_reference

# Both sides see the same float32 coordinates widened to double. The engine computes in
# double and narrows dist and point to float32, a relative error of at most 2^-24 (6e-8)
# of each value; the reference's own float64 rounding is about 1e-15 of the scene's extent.
# 1e-6 x (1 + extent) covers the narrowing of any value up to the extent 16 times over, and
# stays far below the smallest feature of these scenes (1e-3).
def tolerance(*point_lists):
    return 1e-6 * (1 + max(float(np.abs(np.asarray(p, dtype=np.float64)).max())
                           for p in point_lists))


def engine_contact(mesh1, mesh2, min_dist=math.inf):
    """(dist, point) that clash_detection reports for two one-object models, or None."""
    found = orvex.clash_detection(inline_object("A", *mesh1), inline_object("B", *mesh2),
                                  min_dist=min_dist)
    assert len(found) <= 1
    if not found:
        return None
    assert found[0].ids == ("A", "B")
    return found[0].dist, np.array(found[0].point)


def check_against_reference(mesh1, mesh2):
    """Asserts that the engine agrees with the reference; returns the reference."""
    ref = mesh_contact_reference(*mesh1, *mesh2)
    got = engine_contact(mesh1, mesh2)
    tol = tolerance(mesh1[0], mesh2[0])
    if ref is not None and abs(ref[0] - 0.5) <= tol:
        return ref  # at the reach itself either answer is within rounding
    assert (got is None) == (ref is None), (got, ref)
    if ref is not None:
        assert got[0] == pytest.approx(ref[0], abs=tol)
        if ref[2]:
            np.testing.assert_allclose(got[1], ref[1], atol=tol)
    return ref


def rotation(rng):
    q = rng.normal(size=4)
    w, x, y, z = q / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def placed(mesh, rot, shift):
    """The mesh turned by `rot` about the origin, then moved by `shift`, in float32."""
    points, triangles = mesh
    moved = np.asarray(points, dtype=np.float64) @ rot.T + shift
    return moved.astype(np.float32).tolist(), triangles


def soup(rng, count, centre, size):
    points = (centre + rng.uniform(-size, size, (3 * count, 3))).astype(np.float32)
    return points.tolist(), [(3 * k, 3 * k + 1, 3 * k + 2) for k in range(count)]


@pytest.mark.parametrize("seed", range(12))
def test_random_soups(seed):
    rng = np.random.default_rng(seed)
    mesh1 = soup(rng, 14, np.zeros(3), 1.0)
    mesh2 = soup(rng, 14, rng.uniform(-1.5, 1.5, 3), 1.0)
    ref = check_against_reference(mesh1, mesh2)
    # Swapped, the distance is the same; the point then lies on the other mesh.
    swapped = engine_contact(mesh2, mesh1)
    if ref is not None and abs(ref[0] - 0.5) > 1e-3:
        assert swapped[0] == pytest.approx(ref[0], abs=tolerance(mesh1[0], mesh2[0]))


@pytest.mark.parametrize("seed", range(10))
@pytest.mark.parametrize("shape", ["box", "tetrahedron"])
def test_interpenetrating_closed_meshes(seed, shape):
    rng = np.random.default_rng(100 + seed)
    if shape == "box":
        mesh = box((-1, -0.6, -0.4), (1, 0.6, 0.4))
    else:
        mesh = tetrahedron((1, 1, 1), (1, -1, -1), (-1, 1, -1), (-1, -1, 1))
    mesh1 = placed(mesh, rotation(rng), np.zeros(3))
    mesh2 = placed(mesh, rotation(rng), rng.uniform(-0.8, 0.8, 3))
    ref = check_against_reference(mesh1, mesh2)
    assert ref is not None and ref[0] < 0


@pytest.mark.parametrize("gap", [0.3, 0.49, 0.499, 0.501, 0.51, 0.7])
@pytest.mark.parametrize("seed", range(3))
def test_near_misses_around_the_reach(gap, seed):
    rng = np.random.default_rng(200 + seed)
    mesh = tetrahedron((1, 1, 1), (1, -1, -1), (-1, 1, -1), (-1, -1, 1))
    mesh1 = placed(mesh, rotation(rng), np.zeros(3))
    turned = placed(mesh, rotation(rng), np.zeros(3))
    # Slide the second tetrahedron along x until the reference puts it `gap` away.
    points1 = np.asarray(mesh1[0])
    points2 = np.asarray(turned[0])
    shift = points1[:, 0].max() - points2[:, 0].min() + gap
    for _ in range(30):
        mesh2 = (points2 + [shift, 0, 0]).astype(np.float32).tolist(), turned[1]
        ref = mesh_contact_reference(*mesh1, *mesh2, prediction=10.0)
        if abs(ref[0] - gap) < 1e-7:
            break
        shift -= ref[0] - gap
    ref = check_against_reference(mesh1, mesh2)
    assert (ref is not None) == (gap < 0.5)


@pytest.mark.parametrize("width", [1e-3, 1e-5, 1e-7])
@pytest.mark.parametrize("seed", range(4))
def test_thin_slivers(width, seed):
    rng = np.random.default_rng(300 + seed)
    slivers = []
    for _ in range(8):
        a = rng.uniform(-1, 1, 3)
        b = rng.uniform(-1, 1, 3)
        side = np.cross(b - a, rng.normal(size=3))
        c = (a + b) / 2 + width * side / np.linalg.norm(side)
        slivers.append([a, b, c])
    points = np.asarray(slivers, dtype=np.float32).reshape(-1, 3).tolist()
    mesh1 = points, [(3 * k, 3 * k + 1, 3 * k + 2) for k in range(len(slivers))]
    mesh2 = soup(rng, 8, rng.uniform(-0.5, 0.5, 3), 1.0)
    check_against_reference(mesh1, mesh2)
    check_against_reference(mesh2, mesh1)


def test_boxes_apart_give_the_gap_and_the_nearest_point_on_mesh_1():
    mesh1 = box((0, 0, 0), (1, 1, 1))
    mesh2 = box((1.3, 0.25, 0.5), (2, 2, 2))
    dist, point = engine_contact(mesh1, mesh2)
    assert dist == pytest.approx(0.3, abs=1e-6)
    assert point[0] == 1.0
    assert 0.25 <= point[1] <= 1 and 0.5 <= point[2] <= 1
    check_against_reference(mesh1, mesh2)


def test_overlapping_boxes_give_the_deepest_crossing_pair_not_the_solid_overlap():
    # The solids overlap by 1 along x; no face pair crosses deeper than the 0.5 by which
    # the second box's side faces reach into the first box's end face.
    mesh1 = box((0, 0, 0), (2, 2, 2))
    mesh2 = box((1, 0.5, 0.5), (3, 1.5, 1.5))
    dist, _ = engine_contact(mesh1, mesh2)
    assert dist == pytest.approx(-0.5, abs=1e-6)
    check_against_reference(mesh1, mesh2)
    assert engine_contact(mesh1, mesh2, min_dist=0.0)[0] == dist


def test_closed_mesh_deep_inside_another_has_no_contact():
    assert engine_contact(box((0, 0, 0), (10, 10, 10)), box((4, 4, 4), (6, 6, 6))) is None


@pytest.mark.parametrize("hi2", [(2, 1, 1), (2, 1.5, 0.75), (1.5, 0.5, 0.5)])
def test_exactly_touching_faces_give_zero(hi2):
    mesh1 = box((0, 0, 0), (1, 1, 1))
    mesh2 = box((1, hi2[1] - 1, hi2[2] - 0.5), hi2)
    dist, point = engine_contact(mesh1, mesh2)
    assert dist == 0.0
    assert point[0] == 1.0
    # Touching is no clash under the default threshold.
    assert orvex.clash_detection(inline_object("A", *mesh1), inline_object("B", *mesh2)) == []


@pytest.mark.parametrize("gap", [0.5001, 1.0, 40.0])
def test_nothing_beyond_the_reach(gap):
    mesh1 = box((0, 0, 0), (1, 1, 1))
    mesh2 = box((1 + gap, 0, 0), (2 + gap, 1, 1))
    assert engine_contact(mesh1, mesh2, min_dist=1000.0) is None

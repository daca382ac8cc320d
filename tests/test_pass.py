"""The clash pass end to end: which pairs are reported, in what order, with what values."""

import math
import os
import random
import struct
import sys

import pytest

import orvex
from models import box, inline_object

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
import building  # noqa: E402

INF = float("inf")


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def boxes(*specs):
    """A model of boxes: (key, lo, hi) each."""
    return "".join(inline_object(key, *box(lo, hi)) for key, lo, hi in specs)


def random_boxes(rng, prefix, count):
    specs = []
    for n in range(count):
        lo = [rng.uniform(0, 8) for _ in range(3)]
        specs.append((f"{prefix}{n}", lo, [c + rng.uniform(0.1, 1.5) for c in lo]))
    return specs


def on_box_surface(point, lo, hi, tol=1e-5):
    inside = all(lo[k] - tol <= point[k] <= hi[k] + tol for k in range(3))
    return inside and any(abs(point[k] - lo[k]) <= tol or abs(point[k] - hi[k]) <= tol for k in range(3))


UNIT = ("A", (0, 0, 0), (1, 1, 1))


def test_equal_ids_are_never_tested():
    a = boxes(UNIT)
    b = boxes(("A", (0.5, 0.5, 0.5), (2, 2, 2)), ("B", (0.5, 0.5, 0.5), (2, 2, 2)))
    assert [c.ids for c in orvex.clash_detection(a, b)] == [("A", "B")]


@pytest.mark.parametrize("gap, min_dist, reported", [
    (0.25, 0.25, False),                      # a distance equal to the threshold
    (0.25, math.nextafter(0.25, 1), False),   # the same threshold once narrowed to float32
    (0.25, 0.25 + 2**-25, True),              # the next float32
    (0.25, 0.0, False),
    (-0.25, 0.0, True),
    (-0.25, math.nan, False),
    (-0.25, -INF, False),
    (0.25, INF, True),
    (0.25, 1e39, True),                       # +inf once narrowed
    (0.49, INF, True),
    (0.51, INF, False),                       # beyond the reach, whatever the threshold
    (3.0, 1e30, False),
])
def test_threshold_is_strict_in_float32_and_the_reach_is_fixed(gap, min_dist, reported):
    b = boxes(("B", (1 + gap, 0.2, 0.2), (2 + gap, 0.8, 0.8)))
    found = orvex.clash_detection(boxes(UNIT), b, min_dist)
    assert len(found) == reported
    if found and gap > 0:
        assert found[0].dist == pytest.approx(gap, abs=1e-6)


def test_results_keep_loop_order():
    rng = random.Random(5)
    a = random_boxes(rng, "a", 25)
    b = random_boxes(rng, "b", 25)
    found = [c.ids for c in orvex.clash_detection(boxes(*a), boxes(*b), 0.3)]
    assert len({i for i, _ in found}) > 5
    # Each a object forms one run, and every run lists its b objects in one common order.
    runs = [i for n, (i, _) in enumerate(found) if n == 0 or found[n - 1][0] != i]
    assert len(runs) == len(set(runs))
    rank = {}
    for i, j in found:
        rank.setdefault(j, len(rank))
    b_order = sorted(rank, key=rank.get)
    for run in runs:
        js = [j for i, j in found if i == run]
        assert js == [j for j in b_order if j in js]


def test_same_model_on_both_sides_reports_both_orientations():
    rng = random.Random(11)
    specs = random_boxes(rng, "o", 30)
    where = {key: (lo, hi) for key, lo, hi in specs}
    model = boxes(*specs)
    found = {c.ids: c for c in orvex.clash_detection(model, model, 0.2)}
    assert found and all(i != j for i, j in found)
    for (i, j), c in found.items():
        assert (j, i) in found
        assert c.dist == pytest.approx(found[j, i].dist, abs=1e-5)
        assert on_box_surface(c.point, *where[i])


@pytest.mark.parametrize("min_dist", [0.0, 0.1, 0.5, 2.0])
def test_any_threshold_keeps_what_the_full_reach_finds_below_it(min_dist):
    """With an infinite threshold the pass keeps every contact within the reach, as the
    plain loop over all pairs does; a lower threshold must keep exactly those below it
    (in float32), with the same distances and points."""
    a, b = building.generate(n_objects=200, seed=3, near=0.3)
    want = [(c.ids, c.dist, c.point) for c in orvex.clash_detection(a, b, INF) if c.dist < f32(min_dist)]
    got = [(c.ids, c.dist, c.point) for c in orvex.clash_detection(a, b, min_dist)]
    assert want and got == want


def test_generated_building_loads_cleanly_and_clashes_walls(capfd):
    structure, services = building.generate(n_objects=400, seed=7)
    assert (structure, services) == building.generate(n_objects=400, seed=7)
    found = orvex.clash_detection(structure, services, 0.06)
    assert capfd.readouterr().out == ""
    clashes = [c for c in found if c.dist < 0]
    near = [c for c in found if c.dist >= 0]
    assert clashes and near
    assert all(0.0099 < c.dist < 0.0501 for c in near)


@pytest.fixture
def collision():
    a = boxes(("wall", (0, 0, 0), (1, 1, 1)))
    b = boxes(("duct", (0.9, 0.2, 0.3), (3, 0.7, 0.65)))
    (c,) = orvex.clash_detection(a, b)
    return c


def test_collision_from_a_real_result(collision):
    c = collision
    assert c.ids == ("wall", "duct") and c.ids is not c.ids
    assert isinstance(c.point, tuple) and len(c.point) == 3 and c.point is not c.point
    assert c.point == c.point
    for value in (c.dist, *c.point):
        assert type(value) is float and f32(value) == value
    assert c.dist < 0 and on_box_surface(c.point, (0, 0, 0), (1, 1, 1))
    text = "Collision(ids:('wall', 'duct'),dist: {:.2f}, point: ({:.2f}, {:.2f}, {:.2f}))"
    assert repr(c) == str(c) == text.format(c.dist, *c.point)


@pytest.mark.parametrize("name", ["ids", "dist", "point", "other"])
def test_collision_attributes_are_read_only(collision, name):
    with pytest.raises(AttributeError):
        setattr(collision, name, 1.0)

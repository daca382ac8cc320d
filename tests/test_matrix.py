"""Clash matrices run on one machine, and one pair cut into spatial shards: the shards'
merged rows against the single call."""

import numpy as np
import pytest

import orvexkit
from orvexkit.shards import clash_shard, merge_shards, shard_box, shard_plan
from test_kit import building, hostile

COLUMNS = ("a_index", "b_index", "dist", "point_a", "point_b")


def assert_same_result(got, want):
    for name in COLUMNS:
        assert np.array_equal(getattr(got, name), getattr(want, name)), name
    assert got.a_ids == want.a_ids and got.b_ids == want.b_ids
    assert got.self_clash == want.self_clash


@pytest.fixture(scope="module")
def scenes():
    return {"building": [orvexkit.Model(t) for t in building.generate(n_objects=500, seed=4, near=0.3)],
            "hostile": [orvexkit.Model(t) for t in hostile()]}


@pytest.mark.parametrize("scene", ["building", "hostile"])
def test_shards_merge_into_the_single_call(scenes, scene):
    a, b = scenes[scene]
    rng = np.random.default_rng(3)
    pick_a, pick_b = rng.random(len(a)) < 0.7, rng.random(len(b)) < 0.7
    cases = [(b, {}), (None, {}), (b, {"select_a": pick_a, "select_b": np.flatnonzero(pick_b)}),
             (None, {"select_a": pick_a})]
    cut_boxes = 0
    for shards in (1, 2, 7):
        parts = shard_plan(a.object_bounds, shards)
        assert len(parts) == shards
        assert np.array_equal(np.sort(np.concatenate(parts)), np.arange(len(a)))   # each once
        boxes = [shard_box(a.object_bounds, p) for p in parts]
        cut_boxes += sum(bool((x[0] < y[1]).all() and (y[0] < x[1]).all())
                         for i, x in enumerate(boxes) for y in boxes[i + 1:])
        for other, select in cases:
            for min_dist, reach in ((0.0, 0.5), (0.06, 0.5), (np.inf, 0.3)):
                want = orvexkit.clash(a, other, min_dist, reach=reach, **select)
                got = [clash_shard(a, other, p, min_dist, reach=reach, **select) for p in parts]
                assert_same_result(merge_shards(got), want)
                # As they come back from workers: columns and keys, no models.
                unpickled = [r.__reduce__()[0](*r.__reduce__()[1]) for r in got]
                assert_same_result(merge_shards(unpickled[::-1]), want)
    if scene == "building":
        assert cut_boxes, "no shard cuts through an object's box"


def test_shard_plan_edges():
    boxes = np.array([[[0, 0, 0], [1, 1, 1]], [[np.inf] * 3, [-np.inf] * 3],
                      [[5, 0, 0], [6, 1, 1]]], dtype=np.float32)
    parts = shard_plan(boxes, 5)       # more shards than objects: some are empty
    assert [p.tolist() for p in parts] == [[0], [], [], [2], [1]]     # no finite box: last
    with pytest.raises(ValueError):
        shard_plan(boxes, 0)

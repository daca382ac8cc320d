"""One clash cut into spatial shards of model a, each shard a clash of its own (on another
worker, say), merged into exactly the result of the single call.

    parts = shard_plan(a.object_bounds, 4)
    results = [clash_shard(a, b, part, min_dist=0.05) for part in parts]
    assert merge_shards(results) == clash(a, b, min_dist=0.05)   (column for column)

Why the merge is exact: the pass gives its pairs grouped by a's object, in object order,
and within a group by b's object; a shard holds each of its a objects with all of their
pairs, since it keeps every b object that comes within reach of the shard's box (the
union of its objects' boxes, which holds each object's box). Putting the shards' rows
together and sorting them stably by a's index gives the single call's rows in its order.
"""
from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from orvexkit._clash import DEFAULT_REACH, ClashResult, _selection, clash
from orvexkit._model import Model

# Slack on the reach when choosing b objects for a shard, relative to the coordinates'
# magnitude: the engine measures in float32 (a relative step of 2**-23), so a pair it
# reports within reach may lie a few steps beyond it when measured in float64. Taking more
# b objects than needed never changes a result, only what the shard costs.
_SLACK = 2.0 ** -16


def shard_plan(bounds: np.ndarray, shards: int) -> list[np.ndarray]:
    """Object indices (ascending int64) of `shards` spatial shards of the objects whose
    boxes are `bounds` ((n, 2, 3), rows lo and hi: Model.object_bounds).

    Each object belongs to exactly one shard, by its box centre: the objects are halved
    (in proportion to the shards on each side) along the longest extent of their centres,
    recursively, so shards are compact boxes of about n / shards objects. Objects with a
    box that is not finite (no finite triangle) go to the last shard. Shards may be empty
    when there are fewer objects than shards."""
    if isinstance(shards, bool) or not isinstance(shards, (int, np.integer)) or shards < 1:
        raise ValueError(f"shards must be a whole number >= 1, not {shards!r}")
    boxes = np.asarray(bounds, dtype=np.float64).reshape(-1, 2, 3)
    with np.errstate(invalid="ignore"):            # inf + -inf for an empty box
        centre = (boxes[:, 0] + boxes[:, 1]) / 2
    finite = np.isfinite(centre).all(axis=1)
    parts: list[np.ndarray] = []

    def split(indices: np.ndarray, k: int) -> None:
        if k == 1:
            parts.append(np.sort(indices))
            return
        first = k // 2
        points = centre[indices]
        axis = int(np.argmax(np.ptp(points, axis=0))) if len(indices) else 0
        order = indices[np.argsort(points[:, axis], kind="stable")]
        cut = (len(order) * first + k // 2) // k
        split(order[:cut], first)
        split(order[cut:], k - first)

    split(np.flatnonzero(finite), int(shards))
    parts[-1] = np.union1d(parts[-1], np.flatnonzero(~finite))
    return [p.astype(np.int64) for p in parts]


def within_reach(bounds: np.ndarray, box: np.ndarray, reach: float) -> np.ndarray:
    """One flag per object of `bounds` ((n, 2, 3)): its box comes within `reach` (plus the
    float32 slack) of `box` ((2, 3)). Objects without a finite box are always taken; an
    empty `box` (lo > hi) takes only those."""
    boxes = np.asarray(bounds, dtype=np.float64).reshape(-1, 2, 3)
    box = np.asarray(box, dtype=np.float64).reshape(2, 3)
    finite = np.asarray(np.isfinite(boxes).all(axis=(1, 2)))
    if not (box[0] <= box[1]).all():
        return ~finite
    magnitude = max(1.0, float(np.abs(box).max()),
                    float(np.abs(boxes[finite]).max()) if finite.any() else 0.0)
    pad = reach * (1 + _SLACK) + magnitude * _SLACK
    with np.errstate(invalid="ignore"):
        gap = np.maximum(np.maximum(box[0] - boxes[:, 1], boxes[:, 0] - box[1]), 0.0)
        near = np.asarray((gap ** 2).sum(axis=1) <= pad * pad)
    return np.asarray(near | ~finite)


def shard_box(bounds: np.ndarray, part: np.ndarray) -> np.ndarray:
    """The box around the finite boxes of the objects `part`: (2, 3) float64, empty (lo >
    hi) when there is none."""
    boxes = np.asarray(bounds, dtype=np.float64).reshape(-1, 2, 3)[part]
    boxes = boxes[np.isfinite(boxes).all(axis=(1, 2))]
    if not len(boxes):
        return np.array([[np.inf] * 3, [-np.inf] * 3])
    box: np.ndarray = np.stack([boxes[:, 0].min(axis=0), boxes[:, 1].max(axis=0)])
    return box


def clash_shard(a: Model, b: Model | None, part: Sequence[int] | np.ndarray, min_dist: float = 0.0, *,
                threads: int | None = None, reach: float = DEFAULT_REACH,
                select_a: Sequence[bool] | Sequence[int] | np.ndarray | None = None,
                select_b: Sequence[bool] | Sequence[int] | np.ndarray | None = None) -> ClashResult:
    """The rows of clash(a, b, min_dist, ...) whose a object is in `part` (object indices of
    a, one shard of shard_plan), in the call's order, with only the b objects within reach
    of the shard taking part. b=None: a's self clash, each pair once as (lower, higher);
    select_a then chooses the objects on both sides, as for clash()."""
    other = a if b is None else b
    self_clash = b is None
    if self_clash and select_b is not None:
        raise ValueError("a self clash takes select_a only: it chooses the objects on both sides")
    chosen = np.zeros(len(a), dtype=bool)
    chosen[np.asarray(part, dtype=np.int64)] = True
    flags_a = _selection(select_a, a, "select_a")
    if flags_a is not None:
        chosen &= flags_a.astype(bool)
    near = within_reach(other.object_bounds, shard_box(a.object_bounds, np.flatnonzero(chosen)), reach)
    flags_b = flags_a if self_clash else _selection(select_b, other, "select_b")
    if flags_b is not None:
        near &= flags_b.astype(bool)
    result = clash(a, other, min_dist, threads=threads, reach=reach, select_a=chosen, select_b=near)
    if not self_clash:
        return result
    # The pass of a model against itself gives both orientations of a pair; the self
    # clash's (lower, higher) one is computed the same way.
    keep = result.a_index < result.b_index
    return ClashResult(a, a, result.a_index[keep], result.b_index[keep], result.dist[keep],
                       result.point_a[keep], result.point_b[keep], result.min_dist, result.reach, True)


def merge_shards(results: Sequence[ClashResult]) -> ClashResult:
    """The shards' results as the single call's result: rows sorted stably by a's index.
    The shards must come from one shard_plan (each a object in one shard) and one set of
    arguments; their models (or, after unpickling, their keys; or neither) come along."""
    if not results:
        raise ValueError("merge_shards needs at least one result")
    first = results[0]
    order = np.argsort(np.concatenate([r.a_index for r in results]), kind="stable")

    def column(name: str) -> np.ndarray:
        return np.concatenate([getattr(r, name) for r in results])[order]

    def ids(side: str) -> list[str] | None:
        if getattr(first, side) is not None or getattr(first, f"_{side}_ids") is None:
            return None
        keys = [key for r in results for key in getattr(r, f"{side}_ids")]
        return [keys[i] for i in order.tolist()]

    return ClashResult(first.a, first.b, column("a_index"), column("b_index"), column("dist"),
                       column("point_a"), column("point_b"), first.min_dist, first.reach,
                       first.self_clash, ids("a"), ids("b"))


__all__ = ["clash_shard", "merge_shards", "shard_box", "shard_plan", "within_reach"]

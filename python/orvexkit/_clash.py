"""The clash pass over loaded models, and its results as columns."""

import importlib
import math
from dataclasses import dataclass, field
from typing import Any, Iterator, NamedTuple, Sequence

import numpy as np

from orvexkit import _native
from orvexkit._model import Model
from orvexkit._threads import resolve_threads

#: The contact query's default reach, the one orvex.clash_detection uses.
DEFAULT_REACH = 0.5


class ClashRecord(NamedTuple):
    """One clash as a small record: the two objects' keys, the signed distance
    (negative when the meshes cross) and the contact points on a's and on b's mesh."""

    a_key: str
    b_key: str
    dist: float
    point_a: tuple[float, float, float]
    point_b: tuple[float, float, float]


def _number(value: Any, name: str) -> float:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    try:
        return float(value)
    except TypeError:
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}") from None


def _selection(selection: Any, model: Model, name: str) -> np.ndarray | None:
    """One uint8 flag per object of `model`, from a boolean mask or object indices."""
    if selection is None:
        return None
    chosen = np.asarray(selection)
    size = len(model)
    if chosen.dtype == np.bool_:
        if chosen.shape != (size,):
            raise ValueError(f"{name}: a boolean mask needs one flag per object ({size}), "
                             f"not shape {chosen.shape}")
        return chosen.astype(np.uint8)
    if chosen.size == 0:
        chosen = chosen.astype(np.intp)
    if chosen.ndim != 1 or chosen.dtype.kind not in "iu":
        raise TypeError(f"{name} must be a boolean mask or a sequence of object indices, "
                        f"not {chosen.dtype} of shape {chosen.shape}")
    if chosen.size and (chosen.max() >= size or chosen.min() < -size):
        raise IndexError(f"{name}: object index out of range for {size} objects")
    flags = np.zeros(size, np.uint8)
    flags[chosen] = 1
    return flags


class _PassArguments(NamedTuple):
    """A pass's arguments, checked: b is a for a self clash, selections as flags."""

    b: Model
    self_clash: bool
    min_dist: float
    reach: float
    threads: int
    select_a: np.ndarray | None
    select_b: np.ndarray | None


def _pass_arguments(a: Any, b: Any, min_dist: Any, reach: Any, threads: Any, select_a: Any,
                    select_b: Any) -> _PassArguments:
    """The arguments that clash() and overlaps() share, checked as clash() says."""
    if not isinstance(a, Model):
        raise TypeError(f"a must be an orvexkit.Model, not {type(a).__name__}")
    self_clash = b is None
    if self_clash:
        if select_b is not None:
            raise ValueError("a self clash takes select_a only: it chooses the objects on both sides")
        b = a
    elif not isinstance(b, Model):
        raise TypeError(f"b must be an orvexkit.Model or None, not {type(b).__name__}")
    threshold = _number(min_dist, "min_dist")
    prediction = _number(reach, "reach")
    # The engine also refuses a reach that becomes infinite in float32 (1e39).
    if not (prediction >= 0 and math.isfinite(prediction)):
        raise ValueError(f"reach must be finite and at least 0, not {prediction}")
    count = resolve_threads(threads)
    flags_a = _selection(select_a, a, "select_a")
    flags_b = flags_a if self_clash else _selection(select_b, b, "select_b")
    return _PassArguments(b, self_clash, threshold, prediction, count, flags_a, flags_b)


def clash(a: Model, b: Model | None = None, min_dist: float = 0.0, *, threads: int | None = None,
          reach: float = DEFAULT_REACH, select_a: Sequence[bool] | Sequence[int] | np.ndarray | None = None,
          select_b: Sequence[bool] | Sequence[int] | np.ndarray | None = None) -> "ClashResult":
    """Clashes every object of `a` with every object of `b`.

    Keeps the pairs whose signed distance (negative when the meshes cross) is below
    `min_dist` (strictly, after narrowing to float32: NaN keeps none, +inf keeps every
    pair within the reach); objects with equal keys are never paired. The pairs,
    distances and points on a's mesh are those of orvex.clash_detection(a_text,
    b_text, min_dist), bit for bit and in the same order (grouped by a's object, then
    b's), here with the contact point on b's mesh too.

    b=None clashes `a` with itself: each unordered pair of distinct objects once, as
    (lower index, higher index). Passing one model as both a and b is not that: it
    reports both orientations, as clash_detection(t, t) does.

    threads: as for Model; the result is the same for every count. reach: the contact
    query's prediction (finite, >= 0, in model units); no pair farther apart is ever
    reported, whatever min_dist says. select_a, select_b: only these objects take part,
    as a boolean mask (one flag per object) or a sequence of object indices; in a self
    clash, select_a chooses the objects on both sides and select_b is refused.

    The call releases the interpreter lock; Ctrl-C stops it (KeyboardInterrupt) with
    no thread left running.
    """
    args = _pass_arguments(a, b, min_dist, reach, threads, select_a, select_b)
    a_index, b_index, dist, point_a, point_b = map(np.asarray, _native.clash(
        a._handle, args.b._handle, args.min_dist, args.reach, args.threads, args.self_clash, args.select_a,
        args.select_b))
    return ClashResult(a, args.b, a_index, b_index, dist, point_a, point_b, args.min_dist, args.reach,
                       args.self_clash)


def _column(values: Any, dtype: type, shape: tuple[int, ...]) -> np.ndarray:
    """`values` as a read-only array of `dtype` and `shape` (-1: any length), without a
    copy when they already are one; the caller's own array keeps its flags."""
    array: np.ndarray = np.asarray(values, dtype=dtype).view()
    if array.ndim != len(shape) or any(want not in (-1, have) for want, have in zip(shape, array.shape)):
        raise ValueError(f"a column of shape {shape} cannot hold shape {array.shape}")
    array.flags.writeable = False
    return array


@dataclass(frozen=True, slots=True, eq=False)
class ClashResult:
    """The pairs a clash kept, as columns in the pass's order.

    a, b: the models (b is a for a self clash; both None after unpickling).
    a_index, b_index: object positions in a and b, int64 arrays.
    dist: signed distances, float32 (negative when the meshes cross).
    point_a, point_b: the contact points on a's and on b's mesh, (n, 3) float32.
    min_dist, reach, self_clash: what was asked.
    a_ids, b_ids: the objects' keys as lists of str, made on first use.

    All arrays are read-only. len(result) is the number of pairs; iterating, or
    indexing with an int, gives ClashRecord(a_key, b_key, dist, point_a, point_b).
    to_pandas() and to_arrow() give tables when pandas or pyarrow is installed.

    clash() makes results; the constructor takes the columns as they are (shards of
    one clash put together, for instance) and makes them read-only arrays of the
    types above.

    A result pickles its columns and the keys of its rows, not the models: an
    unpickled result has a and b None and keeps everything else.
    """

    a: Model | None
    b: Model | None
    a_index: np.ndarray
    b_index: np.ndarray
    dist: np.ndarray
    point_a: np.ndarray
    point_b: np.ndarray
    min_dist: float = 0.0
    reach: float = DEFAULT_REACH
    self_clash: bool = False
    _a_ids: list[str] | None = field(default=None, repr=False)
    _b_ids: list[str] | None = field(default=None, repr=False)

    def __post_init__(self) -> None:
        put = object.__setattr__
        put(self, "a_index", _column(self.a_index, np.int64, (-1,)))
        n = len(self.a_index)
        put(self, "b_index", _column(self.b_index, np.int64, (n,)))
        put(self, "dist", _column(self.dist, np.float32, (n,)))
        put(self, "point_a", _column(self.point_a, np.float32, (n, 3)))
        put(self, "point_b", _column(self.point_b, np.float32, (n, 3)))

    def _ids(self, model: Model | None, index: np.ndarray, cached: list[str] | None, name: str) -> list[str]:
        if cached is None:
            if model is None:
                raise ValueError(f"{name} needs the model or the keys it was made with")
            keys = model._key_tuple()
            cached = [keys[i] for i in index.tolist()]
            object.__setattr__(self, "_" + name, cached)
        return cached

    @property
    def a_ids(self) -> list[str]:
        """Keys of the a objects, one per pair."""
        return self._ids(self.a, self.a_index, self._a_ids, "a_ids")

    @property
    def b_ids(self) -> list[str]:
        """Keys of the b objects, one per pair."""
        return self._ids(self.b, self.b_index, self._b_ids, "b_ids")

    def __len__(self) -> int:
        return len(self.dist)

    def __iter__(self) -> Iterator[ClashRecord]:
        points_a = map(tuple, self.point_a.tolist())
        points_b = map(tuple, self.point_b.tolist())
        return map(ClashRecord._make, zip(self.a_ids, self.b_ids, self.dist.tolist(), points_a, points_b))

    def __getitem__(self, i: int) -> ClashRecord:
        i = range(len(self))[i]
        return ClashRecord(self.a_ids[i], self.b_ids[i], float(self.dist[i]),
                           tuple(self.point_a[i].tolist()), tuple(self.point_b[i].tolist()))

    def __repr__(self) -> str:
        what = "self clash" if self.self_clash else "clash"
        return f"<orvexkit.ClashResult: {len(self)} pairs, {what} below {self.min_dist}>"

    def __reduce__(self) -> tuple[Any, ...]:
        return ClashResult, (None, None, self.a_index, self.b_index, self.dist, self.point_a, self.point_b,
                             self.min_dist, self.reach, self.self_clash, self.a_ids, self.b_ids)

    def _table_columns(self) -> dict[str, Any]:
        """Columns that a result of a kind adds to its tables, after ClashResult's."""
        return {}

    def to_pandas(self) -> Any:
        """A pandas DataFrame: a_index, b_index, a_key, b_key, dist, and the points as
        point_a_x, point_a_y, point_a_z, point_b_x, point_b_y, point_b_z (then the
        columns a result of overlaps() adds)."""
        try:
            pandas = importlib.import_module("pandas")
        except ImportError:
            raise ImportError("to_pandas() needs pandas: pip install 'orvex[pandas]'") from None
        columns: dict[str, Any] = {"a_index": self.a_index, "b_index": self.b_index,
                                   "a_key": self.a_ids, "b_key": self.b_ids, "dist": self.dist}
        for side, points in (("a", self.point_a), ("b", self.point_b)):
            for axis, name in enumerate("xyz"):
                columns[f"point_{side}_{name}"] = points[:, axis]
        columns.update(self._table_columns())
        return pandas.DataFrame(columns)

    def to_arrow(self) -> Any:
        """A pyarrow Table: a_index, b_index, a_key, b_key, dist, and point_a, point_b
        as fixed-size lists of three float32 (then the columns a result of overlaps()
        adds)."""
        try:
            pyarrow = importlib.import_module("pyarrow")
        except ImportError:
            raise ImportError("to_arrow() needs pyarrow: pip install 'orvex[arrow]'") from None

        def points(p: np.ndarray) -> Any:
            return pyarrow.FixedSizeListArray.from_arrays(pyarrow.array(p.reshape(-1)), 3)

        columns: dict[str, Any] = {"a_index": self.a_index, "b_index": self.b_index,
                                   "a_key": pyarrow.array(self.a_ids, pyarrow.string()),
                                   "b_key": pyarrow.array(self.b_ids, pyarrow.string()),
                                   "dist": self.dist, "point_a": points(self.point_a),
                                   "point_b": points(self.point_b)}
        columns.update(self._table_columns())
        return pyarrow.table(columns)

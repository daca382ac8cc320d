"""The volumetric view of a clash: kinds, overlap volumes and containment beside the
surface distance."""

import importlib
import math
from dataclasses import dataclass
from types import ModuleType
from typing import Any, Iterator, NamedTuple, Sequence

import numpy as np

from orvexkit import _native
from orvexkit._clash import DEFAULT_REACH, ClashResult, _column, _number, _pass_arguments
from orvexkit._model import Model

#: The kinds of a pair, in the order of the rules that decide them (the first that
#: holds wins; see overlaps()).
KINDS = ("duplicate", "contained", "crossing", "touching", "clearance")

#: Default duplicate tolerance, in model units (1 mm for models in metres).
DEFAULT_DUPLICATE_TOLERANCE = 0.001

#: A solid counts as inside the other when the overlap holds all of its volume but this
#: fraction: the boolean's result repeats the inner solid's corners, so the two volumes
#: differ by the rounding of two sums, many orders of magnitude below it.
CONTAINED_FRACTION = 1e-6

#: Pieces of an overlap whose mean thickness (volume over half the area) is below this
#: fraction of their largest coordinate are where faces touch, not where solids overlap:
#: two float32 roundings (2^-24 relative each, of the input's corners and of the
#: boolean's output) move coinciding faces apart by that much, and the boolean leaves
#: such slivers, of volume 1e-20 to 1e-15 m3 on the real models, between them.
FLAT_FRACTION = 2.0 ** -22


class OverlapRecord(NamedTuple):
    """One pair of overlaps(): ClashRecord's fields, then the volumetric ones."""

    a_key: str
    b_key: str
    dist: float
    point_a: tuple[float, float, float]
    point_b: tuple[float, float, float]
    kind: str
    volume: float
    thickness: float
    centre: tuple[float, float, float]
    contained: str
    approximate: bool


def _manifold3d() -> ModuleType:
    try:
        return importlib.import_module("manifold3d")
    except ImportError:
        raise ImportError("overlap volumes need manifold3d: pip install 'orvex[volumes]' "
                          "(or pass volumes=False)") from None


class _Solids:
    """Each object's solid for the boolean, built once per call: None for a mesh that
    manifold3d refuses. A mesh of several closed pieces that may overlap each other (a
    profile and its end plate as one mesh) is their union, so that no volume counts
    twice."""

    def __init__(self, manifold: ModuleType, model: Model) -> None:
        self._manifold = manifold
        self._model = model
        self._built: dict[int, Any] = {}

    def get(self, index: int) -> Any:
        if index not in self._built:
            points, triangles, pieces = self._model._handle.welded(index)
            mesh = self._manifold.Mesh(vert_properties=np.array(points), tri_verts=np.array(triangles))
            solid = self._manifold.Manifold(mesh)
            if solid.status() != self._manifold.Error.NoError or solid.is_empty():
                solid = None
            elif pieces > 1:
                solid = self._manifold.Manifold.batch_boolean(solid.decompose(), self._manifold.OpType.Add)
            self._built[index] = solid
        return self._built[index]


def overlaps(a: Model, b: Model | None = None, min_dist: float = 0.0, *,
             duplicate_tolerance: float = DEFAULT_DUPLICATE_TOLERANCE, volumes: bool = True,
             threads: int | None = None, reach: float = DEFAULT_REACH,
             select_a: Sequence[bool] | Sequence[int] | np.ndarray | None = None,
             select_b: Sequence[bool] | Sequence[int] | np.ndarray | None = None) -> "OverlapResult":
    """The pairs of clash(a, b, min_dist), with the same distances and points, and the
    pairs whose solids overlap although their surfaces do not cross, each with its kind
    and its overlap measures.

    Candidate pairs are those whose boxes come within max(min_dist, duplicate_tolerance)
    (within the reach), so the cost follows the candidates. A pair is reported when its
    kind is duplicate, contained or crossing, or when its surface distance is below
    min_dist (touching, clearance). Its kind is the first rule that holds:

    1. duplicate: the boxes agree within duplicate_tolerance on all six sides, and every
       corner of each mesh lies within it of the other's surface.
    2. contained: one solid lies inside the other (`contained` says which). Closed
       meshes: the surfaces are apart and every corner of the inner one lies inside the
       outer (ray winding number, exact), or the overlap holds all of the inner solid's
       volume but a millionth (flush inside, from the boolean). With an open mesh: the
       surfaces are apart and every corner of the inner has a generalised winding number
       of at least 0.5 in the outer; `approximate` is set.
    3. crossing: the surfaces cross (dist < 0) or the closed solids overlap (volume > 0,
       which finds coincident and flush faces that the surface distance calls 0).
    4. touching: dist == 0.
    5. clearance: 0 < dist < min_dist.

    volume, thickness, centre: of the overlap solid A ∩ B of two closed meshes (mesh
    boolean by manifold3d on the meshes with equal corners merged; a mesh of several
    closed pieces counts as their union): its volume, its smallest width over the three
    axes and the normals of its 16 largest faces (the smallest side of a box-shaped
    overlap in any orientation), its centroid. Pieces of the overlap whose mean
    thickness is below 2^-22 of their coordinates, where faces touch up to float
    rounding, are left out, so closed solids that only touch share a volume of 0; of
    several pieces, the thickness is the thickest's. For an exact containment these are
    the inner solid's. NaN where they are not known: a mesh that is open or that
    manifold3d refuses (counted as open: closed_a/closed_b False), or volumes=False,
    which runs no boolean (then a flush containment is reported as crossing or touching,
    crossings have no volume, and an exact containment's measures are the engine's
    divergence sums, which count overlapping pieces of one mesh twice).

    duplicate_tolerance: in model units, finite and >= 0. The other arguments are
    clash()'s. The engine's part runs on `threads` with the interpreter lock released;
    the booleans run on the calling thread (manifold3d keeps the lock, and parallelises
    large booleans inside).
    """
    args = _pass_arguments(a, b, min_dist, reach, threads, select_a, select_b)
    tolerance = _number(duplicate_tolerance, "duplicate_tolerance")
    if not (tolerance >= 0 and math.isfinite(tolerance)):
        raise ValueError(f"duplicate_tolerance must be finite and at least 0, not {tolerance}")
    manifold = _manifold3d() if volumes else None
    b = args.b
    (a_index, b_index, dist, point_a, point_b, closed_a, closed_b, duplicate, inside, approximate,
     volume, centre, thickness) = map(np.array, _native.survey(
         a._handle, b._handle, args.min_dist, args.reach, tolerance, args.threads, args.self_clash,
         args.select_a, args.select_b))
    closed_a = closed_a.view(np.bool_)
    closed_b = closed_b.view(np.bool_)
    duplicate = duplicate.view(np.bool_)
    approximate = approximate.view(np.bool_)

    if manifold is not None:
        solids_a = _Solids(manifold, a)
        solids_b = solids_a if b is a else _Solids(manifold, b)
        _measure_overlaps(solids_a, solids_b, a_index, b_index, dist, closed_a, closed_b, duplicate, inside,
                          approximate, volume, centre, thickness)

    kind = np.select([duplicate, inside != 0, (dist < 0) | (volume > 0), dist <= 0],
                     ["duplicate", "contained", "crossing", "touching"], "clearance")
    # Pairs surveyed only because their solids might overlap, and that do not.
    keep = np.isin(kind, ("duplicate", "contained", "crossing")) | (dist < np.float32(args.min_dist))
    contained = np.where(kind == "contained", np.array(["", "a", "b"])[inside], "")
    return OverlapResult(a, b, a_index[keep], b_index[keep], dist[keep], point_a[keep], point_b[keep],
                         args.min_dist, args.reach, args.self_clash, kind=kind[keep], volume=volume[keep],
                         thickness=thickness[keep], centre=centre[keep], contained=contained[keep],
                         approximate=approximate[keep], closed_a=closed_a[keep], closed_b=closed_b[keep],
                         duplicate_tolerance=tolerance, volumes=volumes)


def _measure_overlaps(solids_a: _Solids, solids_b: _Solids, a_index: np.ndarray, b_index: np.ndarray,
                      dist: np.ndarray, closed_a: np.ndarray, closed_b: np.ndarray, duplicate: np.ndarray,
                      inside: np.ndarray, approximate: np.ndarray, volume: np.ndarray, centre: np.ndarray,
                      thickness: np.ndarray) -> None:
    """Fills the overlap measures of the closed pairs that need a boolean, in place."""
    # Every closed mesh of a surveyed pair is built, so that one manifold3d refuses
    # counts as open wherever it appears.
    for rows, index, closed, solids in ((np.flatnonzero(closed_a), a_index, closed_a, solids_a),
                                        (np.flatnonzero(closed_b), b_index, closed_b, solids_b)):
        for row in rows.tolist():
            if solids.get(int(index[row])) is None:
                closed[row] = False
                if inside[row]:
                    approximate[row] = True
                    volume[row] = thickness[row] = np.nan
                    centre[row] = np.nan
    # Exact containments: the inner solid, measured once its pieces are one.
    for row in np.flatnonzero((inside != 0) & ~approximate).tolist():
        inner = solids_a.get(int(a_index[row])) if inside[row] == 1 else solids_b.get(int(b_index[row]))
        volume[row], centre[row], thickness[row] = _shared(inner)
    # Surfaces that meet, or duplicates, of two closed solids.
    need = closed_a & closed_b & ((dist <= 0) | duplicate) & (inside == 0)
    for row in np.flatnonzero(need).tolist():
        solid_a = solids_a.get(int(a_index[row]))
        solid_b = solids_b.get(int(b_index[row]))
        common = solid_a ^ solid_b
        volume[row], centre[row], thickness[row] = _shared(common)
        if volume[row] > 0:
            shared = common.volume()
            inner_a = shared >= solid_a.volume() * (1 - CONTAINED_FRACTION)
            inner_b = shared >= solid_b.volume() * (1 - CONTAINED_FRACTION)
            if inner_a or inner_b:
                # Both: the same solid twice; the smaller (or a) is called the inner one.
                inside[row] = 1 if inner_a and (not inner_b or solid_a.volume() <= solid_b.volume()) else 2


def _shared(common: Any) -> tuple[float, Any, float]:
    """(volume, centroid, thickness) of a solid (a boolean's result) without its flat
    pieces: those whose volume over half their area (their mean thickness) is below
    FLAT_FRACTION of their largest coordinate, where faces that touch meet up to rounding. Of several
    pieces: their total volume, their centroid, the thickest's thickness. (0, NaN, 0)
    when nothing is left."""
    mesh = common.to_mesh()
    points = np.ascontiguousarray(mesh.vert_properties[:, :3], dtype=np.float32)
    if not len(points):
        return 0.0, np.nan, 0.0
    flat = FLAT_FRACTION * float(np.abs(points).max())
    kept, flat_volume = [], 0.0
    for piece in _native.measure_pieces(points, mesh.tri_verts.astype(np.uint32)):
        if piece[0] > flat * piece[3] / 2:
            kept.append(piece)
        else:
            flat_volume += piece[0]
    if not kept:
        return 0.0, np.nan, 0.0
    # The volume is the boolean's own, computed in double before its corners were
    # rounded to float32 for the mesh, less the flat pieces.
    total = common.volume() - flat_volume
    weight = sum(p[0] for p in kept)
    centroid = [sum(p[0] * p[1][k] for p in kept) / weight for k in range(3)]
    return total, centroid, max(p[2] for p in kept)


@dataclass(frozen=True, slots=True, eq=False, kw_only=True)
class OverlapResult(ClashResult):
    """The pairs overlaps() kept, as columns: ClashResult's, and

    kind: str array, one of KINDS per pair.
    volume, thickness: float64, the overlap solid's volume and smallest width (NaN when
        unknown, 0 for closed solids that only touch).
    centre: (n, 3) float64, the overlap solid's centroid (NaN when unknown or empty).
    contained: str array, "a" when a lies inside b, "b" when b lies inside a, else "".
    approximate: bool, the containment was decided for an open mesh.
    closed_a, closed_b: bool, each mesh is closed (and accepted by the boolean).
    duplicate_tolerance, volumes: what was asked.

    The volumetric columns are keyword arguments of the constructor. Iterating, or
    indexing with an int, gives OverlapRecord. Pickles with its columns and keys, not
    the models, as ClashResult does.
    """

    kind: np.ndarray
    volume: np.ndarray
    thickness: np.ndarray
    centre: np.ndarray
    contained: np.ndarray
    approximate: np.ndarray
    closed_a: np.ndarray
    closed_b: np.ndarray
    duplicate_tolerance: float = DEFAULT_DUPLICATE_TOLERANCE
    volumes: bool = True

    def __post_init__(self) -> None:
        super(OverlapResult, self).__post_init__()
        put = object.__setattr__
        n = len(self.a_index)
        put(self, "kind", _column(self.kind, np.str_, (n,)))
        if not set(self.kind.tolist()) <= set(KINDS):
            raise ValueError(f"kinds must be among {KINDS}")
        put(self, "volume", _column(self.volume, np.float64, (n,)))
        put(self, "thickness", _column(self.thickness, np.float64, (n,)))
        put(self, "centre", _column(self.centre, np.float64, (n, 3)))
        put(self, "contained", _column(self.contained, np.str_, (n,)))
        put(self, "approximate", _column(self.approximate, np.bool_, (n,)))
        put(self, "closed_a", _column(self.closed_a, np.bool_, (n,)))
        put(self, "closed_b", _column(self.closed_b, np.bool_, (n,)))

    def _record(self, i: int) -> OverlapRecord:
        return OverlapRecord(self.a_ids[i], self.b_ids[i], float(self.dist[i]), tuple(self.point_a[i].tolist()),
                             tuple(self.point_b[i].tolist()), str(self.kind[i]), float(self.volume[i]),
                             float(self.thickness[i]), tuple(self.centre[i].tolist()), str(self.contained[i]),
                             bool(self.approximate[i]))

    def __iter__(self) -> Iterator[OverlapRecord]:  # type: ignore[override]
        return map(self._record, range(len(self)))

    def __getitem__(self, i: int) -> OverlapRecord:  # type: ignore[override]
        return self._record(range(len(self))[i])

    def __repr__(self) -> str:
        counts = ", ".join(f"{int((self.kind == k).sum())} {k}" for k in KINDS if (self.kind == k).any())
        return f"<orvexkit.OverlapResult: {len(self)} pairs{': ' + counts if counts else ''}>"

    def __reduce__(self) -> tuple[Any, ...]:
        columns = {name: getattr(self, name) for name in _VOLUMETRIC_FIELDS}
        return _unpickle_overlaps, ((None, None, self.a_index, self.b_index, self.dist, self.point_a,
                                     self.point_b, self.min_dist, self.reach, self.self_clash, self.a_ids,
                                     self.b_ids), columns)

    def hard(self, tolerance: float = 0.0) -> np.ndarray:
        """Mask of the hard clashes by volume: pairs whose overlap is thicker than
        `tolerance` where both meshes are closed (a duplicate or containment counts by
        its overlap's thickness too), and, where one is open, whose surfaces cross
        deeper than it (dist < -tolerance). Without volumes (volumes=False, or a
        refused mesh) the surface distance decides."""
        limit = _number(tolerance, "tolerance")
        measured = ~np.isnan(self.thickness)
        by_volume = measured & (self.thickness > limit)
        by_surface = ~measured & (self.dist < -np.float32(limit))
        result: np.ndarray = by_volume | by_surface
        return result

    def _table_columns(self) -> dict[str, Any]:
        return {"kind": self.kind, "volume": self.volume, "thickness": self.thickness,
                "centre_x": self.centre[:, 0], "centre_y": self.centre[:, 1], "centre_z": self.centre[:, 2],
                "contained": self.contained, "approximate": self.approximate,
                "closed_a": self.closed_a, "closed_b": self.closed_b}


_VOLUMETRIC_FIELDS = ("kind", "volume", "thickness", "centre", "contained", "approximate", "closed_a", "closed_b",
                      "duplicate_tolerance", "volumes")


def _unpickle_overlaps(arguments: tuple[Any, ...], columns: dict[str, Any]) -> OverlapResult:
    return OverlapResult(*arguments, **columns)

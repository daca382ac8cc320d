"""The data between the ``orvex`` command and the report writers.

The command runs the checks and fills a :class:`Report`; the writers turn it into files.
Coordinates and distances are in model units (``ModelInfo.units``).
"""
from __future__ import annotations

from dataclasses import dataclass, field

Point = tuple[float, float, float]


@dataclass(frozen=True)
class ObjectRef:
    model: str            # the model's name in the run (e.g. "structure", or the file stem)
    key: str              # object key (a GlobalId for IFC-converted models)
    type: str             # "speckle_type", e.g. "IFC.IfcBeam" or "Objects.BuiltElements.Duct"
    name: str | None = None
    level: str | None = None   # storey name when the object carries "level"


@dataclass
class Clash:
    id: str                       # stable from the two keys and the check: the same pair in the
                                  # next run has the same id
    check: str                    # name of the check (a matrix cell for `orvex matrix`)
    kind: str                     # "crossing" | "touching" | "clearance" | "duplicate" |
                                  # "contained"
    dist: float                   # signed surface distance, negative when crossing
    point_a: Point                # contact point on a's mesh
    point_b: Point                # contact point on b's mesh
    a: ObjectRef
    b: ObjectRef
    group: str | None = None      # group label
    status: str = "new"           # "new" | "active" | "resolved" | "approved" | "ignored"
    previous_dist: float | None = None    # for active clashes: dist in the baseline
    volume: float | None = None           # volumetric checks: the overlap solid's volume,
    thickness: float | None = None        # its smallest width, its centre (None: unknown,
    centre: Point | None = None           # such as for an open mesh)
    extra: dict = field(default_factory=dict)  # anything else a writer may show verbatim
    contained: str | None = None          # kind "contained": "a" when a lies inside b, else "b"
    approximate: bool = False             # the containment was decided for an open mesh


@dataclass
class ModelInfo:
    name: str
    path: str | None
    sha256: str | None
    objects: int
    triangles: int
    diagnostics: int = 0
    units: str = "m"
    open_meshes: int | None = None    # objects whose mesh is not closed (volumetric checks)


@dataclass
class CheckInfo:
    name: str
    a: str                        # model name
    b: str | None                 # model name; None for a model clashed with itself
    settings: dict                # kind and tolerances, selections, as the command ran them
    error: str | None = None      # why the check has no result (a model that could not be
                                  # read...): its clashes are unknown, not none


@dataclass
class Report:
    title: str
    created: str                  # ISO 8601 UTC
    tool: str                     # "orvex <version>"
    models: list[ModelInfo]
    checks: list[CheckInfo]
    clashes: list[Clash]          # current clashes (new/active/approved/ignored)
    resolved: list[Clash] = field(default_factory=list)  # in the baseline only

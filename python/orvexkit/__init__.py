"""orvexkit: building models loaded once and clashed many times, on every core.

    from pathlib import Path
    import orvexkit

    structure = orvexkit.Model(Path("structure.txt"))   # read by the engine
    services = orvexkit.Model(Path("services.txt"))
    hard = orvexkit.clash(structure, services)                    # crossing meshes
    near = orvexkit.clash(structure, services, min_dist=0.05)     # and 5 cm clearance
    for c in hard:
        print(c.a_key, c.b_key, c.dist, c.point_a, c.point_b)

Model: a model text loaded and meshed once (from a str, bytes or a path); its
objects with keys, types, metadata and meshes as numpy arrays; its diagnostics as data.
clash(a, b=None, min_dist=0.0, ...): the pass of orvex.clash_detection over loaded
models, with the same pairs, distances and points, as a ClashResult of numpy columns;
b=None clashes a model with itself. overlaps(a, b=None, ...): the same pairs and the
solids that overlap without crossing surfaces (duplicates, containment, flush faces),
each with its kind and overlap volume, thickness and centre (the volumes need the
`volumes` extra, manifold3d). Loading and clashing run on every core the process
may use (ORVEX_NUM_THREADS caps it) with the interpreter lock released, and give the
same result for every thread count.
read_matrix(path), run_matrix(matrix, client=None, ...): a clash matrix (many models, many
checks) run on every core here or on a Dask cluster (orvexkit.matrix, orvexkit.distributed).
"""

__version__ = "0.1.0"

from typing import TYPE_CHECKING, Any

from orvexkit._clash import ClashRecord, ClashResult, clash
from orvexkit._model import Diagnostic, Model, ObjectView
from orvexkit._overlap import KINDS, OverlapRecord, OverlapResult, overlaps

if TYPE_CHECKING:
    from orvexkit.matrix import read_matrix, run_matrix

__all__ = ["Model", "ObjectView", "Diagnostic", "clash", "ClashResult", "ClashRecord", "overlaps",
           "OverlapResult", "OverlapRecord", "KINDS", "read_matrix", "run_matrix", "__version__"]


def __getattr__(name: str) -> Any:
    # Matrices bring the report data model with them: imported when first asked for.
    if name in ("read_matrix", "run_matrix"):
        from orvexkit import matrix
        return getattr(matrix, name)
    raise AttributeError(f"module 'orvexkit' has no attribute {name!r}")

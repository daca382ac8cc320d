"""Clash detection between two building models.

Each model is a text of lines "key<TAB>{json object}"; objects reference display meshes
and chunked number lists by key. Every displayed object becomes a triangle mesh, every
object of a is tested against every object of b, and each pair whose signed distance
(negative when the meshes interpenetrate; reach 0.5 units) is below min_dist comes back
as a Collision. orvexkit offers models loaded once and clashed many times.
"""

from typing import SupportsFloat, SupportsIndex, final

__all__ = ["clash_detection", "Collision"]

@final
class Collision:
    """One clashing pair. Instances come from clash_detection only; read-only."""

    @property
    def ids(self) -> tuple[str, str]:
        """The keys of the a object and of the b object."""
    @property
    def dist(self) -> float:
        """Signed distance of the two meshes, a float32 value: negative when they cross."""
    @property
    def point(self) -> tuple[float, float, float]:
        """Contact point on the a object's mesh, float32 values."""

def clash_detection(a: str, b: str, min_dist: SupportsFloat | SupportsIndex | None = 0.0) -> list[Collision]:
    """Loads and meshes both model texts, then keeps every pair of an a object and a b
    object with different keys whose signed distance is below min_dist (narrowed to
    float32; None counts as 0.0), in loop order. Diagnostics of loading and meshing are
    printed on file descriptor 1 as they arise. Runs on one thread with the interpreter
    lock held; an internal fault raises PanicException, a BaseException."""

"""The benchmark's own parts that could make it compare different answers: the peer's
model decoding, the dense meshes, and the agreement rules.
Run in the benchmark's environment: python -m pytest bench"""

import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("fcl")
ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "tests")]

import dense  # noqa: E402
import models  # noqa: E402
import peers  # noqa: E402
import run  # noqa: E402


def test_peer_decodes_like_orvex():
    """Per-mesh corner indices shifted by the points before them, polygons fanned,
    points narrowed to float32, undisplayed lines (meshes, chunks) passed over."""
    tri = ([(0, 0, 0), (1, 0, 0), (0, 1, 0)], [(0, 1, 2)])
    quad = ([(0, 0, 0.1), (1, 0, 0), (1, 1, 0), (0, 1, 0)], [(0, 1, 2, 3)])
    text = models.referenced_object("R", [tri, quad], chunk_size=5) + \
        models.inline_object("I", *quad)
    meshes = {key: (p, t) for key, p, t in peers.mesh_objects(peers.parse_model(text))}
    assert set(meshes) == {"R", "I"}
    points, triangles = meshes["R"]
    assert points.dtype == np.float32 and points.shape == (7, 3)
    assert points[3, 2] == np.float32(0.1)
    assert triangles.tolist() == [[0, 1, 2], [3, 4, 5], [3, 5, 6]]
    assert meshes["I"][1].tolist() == [[0, 1, 2], [0, 2, 3]]


@pytest.mark.parametrize("gap", [-0.2, 0.3])
def test_dense_pair_is_closed_and_set_apart(tmp_path, gap):
    (p1, t1), (p2, t2) = dense.pair(2000, gap, seed=3)
    for t in (t1, t2):
        edges = {(a, b) for tri in t.tolist() for a, b in zip(tri, tri[1:] + tri[:1])}
        assert len(edges) == 3 * len(t) and all((b, a) in edges for a, b in edges)
    # The outer equators stay exact, so the gap along x is the one asked for.
    assert p2[:, 0].min() - p1[:, 0].max() == pytest.approx(gap, abs=1e-6)
    dense.write(tmp_path / "m.bin", p2, t2)
    back_p, back_t = dense.read(tmp_path / "m.bin")
    assert np.array_equal(back_p, p2) and np.array_equal(back_t, t2)


P = ("a", "b")


@pytest.mark.parametrize("ours, near, theirs, ok", [
    ({P: -0.1}, {P: -0.1}, {P: (0, 0, 0)}, True),
    ({}, {P: 0.0}, {P: (0, 0, 0)}, True),          # touching: FCL only
    ({}, {P: 0.01}, {P: (0, 0, 0)}, False),        # orvex sees a gap
    ({}, {}, {P: (0, 0, 0)}, False),
    ({P: -0.1}, {P: -0.1}, {}, False),
])
def test_clash_agreement(ours, near, theirs, ok):
    assert run.agree_clashes(run.Check(), "W", ours, near, theirs) is ok


@pytest.mark.parametrize("ours, theirs, ok", [
    ({P: 0.02}, {P: 0.02 + 5e-5}, True),
    ({P: 0.02}, {P: 0.021}, False),
    ({P: -0.3}, {P: 0.0}, True),                   # depth defined differently
    ({P: -0.3}, {P: 0.01}, False),
    ({P: run.CLEARANCE - 1e-6}, {}, True),         # at the threshold
    ({P: 0.02}, {}, False),
])
def test_clearance_agreement(ours, theirs, ok):
    assert run.agree_clearance(run.Check(), "W", ours, theirs) is ok

"""Mesh conversion seen from the host: its messages, their order, and its one fault."""

import pytest

import orvex
from models import MESH, line

TRIANGLE = [0, 0, 0, 1, 0, 0, 0, 1, 0]


def obj(key, *meshes):
    """A displayed object with inline meshes, each (vertices, faces)."""
    elements = [{"speckle_type": MESH, "id": f"{key}-m{n}", "vertices": v, "faces": f}
                for n, (v, f) in enumerate(meshes)]
    return line(key, {"speckle_type": "Wall", "id": key, "displayValue": elements})


@pytest.mark.parametrize("vertices, faces, out", [
    (TRIANGLE + [7], [3, 0, 1, 2], "ERROR: chunk 4 has invalid size. Obj id: k\n"),
    ([1, 2], [3, 0, 1, 2], "ERROR: chunk 1 has invalid size. Obj id: k\nERROR: Object id k has 0 vertices.\n"),
    (TRIANGLE[:6], [3, 0, 1, 2], "ERROR: Object id k has 2 vertices.\n"),
    (TRIANGLE, [3, 0, 1], "Error creating mesh: A triangle mesh must contain at least one triangle.\n"),
    (TRIANGLE, [3, 0, 1, 7], "ERROR: Object id k has face index 7 but only 3 vertices.\n"),
    (TRIANGLE, [3, 0, 0, 1], ""),
    (TRIANGLE, [1e30, 0, 1, 2], "Error creating mesh: A triangle mesh must contain at least one triangle.\n"),
])
def test_conversion_messages(capfd, vertices, faces, out):
    assert orvex.clash_detection(obj("k", (vertices, faces)), "", float("inf")) == []
    assert capfd.readouterr().out == out


@pytest.mark.parametrize("faces, count", [
    ([2, 0, 1], 2), ([3, 0, 1, 2, 0, 1, 2, 3], 0), ([2.9, 0, 1, 2], 2), ([-1, 0, 1, 2], 0), ([0.5, 0, 1, 2], 0),
])
def test_face_count_below_three_ends_the_call(capfd, faces, count):
    good = obj("good", (TRIANGLE, [3, 0, 1, 2]))
    with pytest.raises(BaseException, match=f"^Invalid face size: {count}$") as info:
        orvex.clash_detection(good + obj("bad", (TRIANGLE[:6] + [5], faces)), good)
    assert type(info.value).__name__ == "PanicException"
    # The point message of the same object comes first; b is never loaded.
    assert capfd.readouterr().out == "ERROR: chunk 3 has invalid size. Obj id: bad\n"


def test_messages_of_a_precede_those_of_b(capfd):
    a = obj("a1", (TRIANGLE[:6], [3, 0, 1, 2]))
    b = obj("b1", (TRIANGLE[:3], [3, 0, 1, 2]))
    orvex.clash_detection(a, b)
    assert capfd.readouterr().out == ("ERROR: Object id a1 has 2 vertices.\n"
                                      "ERROR: Object id b1 has 1 vertices.\n")


def test_bad_object_does_not_cost_the_others_their_result():
    square = [0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0]
    crossing = [0.5, 0.5, -1, 0.5, 0.5, 1, 0.6, 0.4, 1]
    a = obj("a", (square, [4, 0, 1, 2, 3])) + obj("broken", (square, [3, 0, 1, 9]))
    b = obj("b", (crossing, [3, 0, 1, 2]))
    ids = [c.ids for c in orvex.clash_detection(a, b, 1.0)]
    assert ids == [("a", "b")]


def test_meshes_of_one_object_keep_their_own_indices():
    # Two meshes, each indexing from 0: the second one's triangle lies at z = 5 and
    # crosses the b object there. Read against the object's whole point list, it
    # would be the first mesh's triangle at z = 0 and miss.
    first = ([0, 0, 0, 1, 0, 0, 0, 1, 0], [3, 0, 1, 2])
    second = ([0, 0, 5, 1, 0, 5, 0, 1, 5], [3, 0, 1, 2])
    a = obj("a", first, second)
    b = obj("b", ([0.2, 0.2, 4, 0.2, 0.2, 6, 0.3, 0.1, 6], [3, 0, 1, 2]))
    (hit,) = orvex.clash_detection(a, b, 0.0)
    assert hit.point[2] == pytest.approx(5.0)

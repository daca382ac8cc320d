"""Model loading seen from the host: messages on fd 1, their order, and which lines load."""

import pytest

import orvex
from models import MESH, box, inline_object, line, referenced_object

CUBE = box((0, 0, 0), (1, 1, 1))


def root(key, elements, obj_id="R"):
    return line(key, {"speckle_type": "Wall", "id": obj_id, "@displayValue": elements})


def ref(key):
    return {"speckle_type": "reference", "referencedId": key}


def test_messages_of_a_precede_those_of_b(capfd):
    a = root("a1", [{"speckle_type": "Brep"}, ref("gone")]) + root("a2", [], 7)
    b = root("b1", [{"speckle_type": "Wänd"}], [1.5, {"z": None, "a": -0}])
    assert orvex.clash_detection(a, b) == []
    assert capfd.readouterr().out == (
        "ERROR: Display value type not supported: Brep\n"
        "ERROR: Could not find object gone in object_map\n"
        "WARN: object id 7 has no faces.\n"
        "ERROR: Display value type not supported: Wänd\n"
        'WARN: object id [1.5,{"a":0,"z":null}] has no faces.\n')


def test_chunk_messages_come_in_pairs(capfd):
    model = referenced_object("o", [CUBE])
    missing = model.split("\n")[0].split("\t")[0]
    orvex.clash_detection("".join(model.split("\n", 1)[1:]), "")
    assert capfd.readouterr().out == (
        f"ERROR: Unable to find reference vertices with id {missing} in object map.\n"
        "ERROR: Could not extract vertices from object: o-mesh0\n"
        'WARN: object id "o" has no vertices.\n')


def test_loaded_models_are_silent(capfd):
    a = referenced_object("r", [CUBE, CUBE]).replace("\n", "\r\n") + inline_object("i", *CUBE, obj_id=7)
    orvex.clash_detection(a, a.rstrip("\r\n"))
    assert capfd.readouterr().out == ""


T = '{"speckle_type":"T"'


@pytest.mark.parametrize("json_part, accepted", [
    (T + "}", True),
    (" \t" + T + ",\t\"v\":[18446744073709551616,-9223372036854775809,1e-400,-0]} \r", True),
    (T + r',"v":"\ud83d\ude00\u0000"}', True),
    (T + "}" + T + "}", False),
    (T + ',"v":NaN}', False),
    (T + ',"v":"a\x01"}', False),
    (T + r',"v":"\ud800"}', False),
    (T + r',"v":"\udc00"}', False),
    (T + ',"v":1e400}', False),
    ('{"a":' + "[" * 126 + "]" * 126 + ',"speckle_type":"T"}', True),
    ('{"a":' + "[" * 127 + "]" * 127 + ',"speckle_type":"T"}', False),
    ('{"speckle":"T"}', False),
    ("", False),
])
def test_json_acceptance(capfd, json_part, accepted):
    # A root referencing "x": an accepted "x" of another type is passed over, so the
    # root has no faces; a rejected one is missing from the map.
    orvex.clash_detection(root("r", [ref("x")]) + "x\t" + json_part + "\n", "")
    assert capfd.readouterr().out == ('WARN: object id "R" has no faces.\n' if accepted
                                      else "ERROR: Could not find object x in object_map\n")


def test_last_line_of_a_key_wins(capfd):
    a = inline_object("k", *CUBE) + root("k", [{"speckle_type": "Old"}]) + "k\t[]\n"
    orvex.clash_detection(a, "")
    assert capfd.readouterr().out == ("ERROR: Display value type not supported: Old\n"
                                      'WARN: object id "R" has no faces.\n')

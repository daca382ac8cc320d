"""Model loading seen from the host: messages on fd 1, their order, and which lines load."""

import json

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



def named_model(name):
    """A model around one name: four lines as a real export writes them (a triangle in
    chunk lines keyed by `name`), a second root showing it, a root with an inline triangle
    whose x is spelt 1e-0, and a root whose messages show the name beside -0 and integers
    beyond 64 bits. Every line with a zero in its numbers holds the name, so each meets
    the loader's -0 check."""
    def s(text):
        return json.dumps(text)

    def ref_to(key):
        return '{"speckle_type":"reference","referencedId":%s}' % s(key)

    v, f, n = name + ".v0", name + ".f0", s(name)
    return (
        f'{v}\t{{"id":{s(v)},"speckle_type":"DataChunk","data":[0,0,0,1,0,0,0,1,0]}}\n'
        f'{name}\t{{"id":{n},"speckle_type":"{MESH}","vertices":[{ref_to(v)}],"faces":[{ref_to(f)}]}}\n'
        f'{f}\t{{"id":{s(f)},"speckle_type":"DataChunk","data":[3,0,1,2]}}\n'
        f'O\t{{"id":"O","speckle_type":"Building.Element","@displayValue":[{ref_to(name)}]}}\n'
        f'O{name}\t{{"id":{s("O" + name)},"speckle_type":"W","displayValue":[{ref_to(name)}]}}\n'
        f'T{name}\t{{"speckle_type":"W","id":{n},"@displayValue":[{{"speckle_type":"{MESH}",'
        f'"id":{n},"faces":[3,0,1,2],"vertices":[0,0,0,1e-0,0,0,0,1,0]}}]}}\n'
        f'N{name}\t{{"speckle_type":"W","id":[0,{n},-0,18446744073709551616,"18446744073709551616"],'
        f'"name":{n},{n}:0,"@displayValue":[{{"speckle_type":{n}}}]}}\n')


# Each name is the stem with "~" replaced by the text; "QZ" stands for plain text.
@pytest.mark.parametrize("stem, text", [
    ("beam~/m0", "-0"),        # the keys of a real export: "beam-0/m0.f0"
    ("~", "-0"), ("~A", "-0"), ("Wall~", "-0"), ('a"~', "-0"), ('~"', "-0"),
    ("a\\~", "-0"), ('\\"~', "-0"), ("é~\\", "-0"), ("~", "-0-0.0e-0"),
    ("~", "18446744073709551616"), ("~", "-99999999999999999999 1e5 -"),
])
def test_number_text_in_names_reads_as_plain_text(capfd, stem, text):
    # The same model with plain text in place of `text` gives the same clashes and the
    # same messages once the plain text is mapped back.
    other = inline_object("B", *box((-0.5, -0.5, -0.5), (0.25, 0.25, 0.5)))

    def outcome(name):
        found = [(c.ids, repr((c.dist, c.point))) for c in orvex.clash_detection(named_model(name), other)]
        return found, capfd.readouterr().out

    plain_found, plain_out = outcome(stem.replace("~", "QZ"))
    assert len(plain_found) == 3
    # Warnings show a string id as JSON; "QZ" needs no escape, `text` may.
    shown = json.dumps(text, ensure_ascii=False)[1:-1]
    mapped_out = "".join(
        part.replace("QZ", shown if part.startswith("WARN:") else text)
        for part in plain_out.splitlines(keepends=True))
    mapped_found = [(tuple(i.replace("QZ", text) for i in ids), values) for ids, values in plain_found]
    assert outcome(stem.replace("~", text)) == (mapped_found, mapped_out)

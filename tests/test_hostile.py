"""Hostile and extreme input: every case ends in its stated result or a clean Python
exception, and the module answers the next call as before."""

import contextlib
import math
import os
import subprocess
import sys
import textwrap

import pytest

import orvex
from models import MESH, box, flat, inline_object, line
from stdio import closed_stdout

CUBE_A = inline_object("a", *box((0, 0, 0), (1, 1, 1)))
CUBE_B = inline_object("b", *box((0.5, 0.5, 0.5), (2, 2, 2)))
# A slanted triangle that runs through the inside of CUBE_B.
SPIKE = [(1, 1, -1), (1, 1.2, 3), (1.2, 1, 3)]
TESTS = os.path.dirname(os.path.abspath(__file__))
# AddressSanitizer reserves terabytes of address space, so an address-space limit
# cannot be set under it.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def results(found):
    return [(c.ids, c.dist, c.point) for c in found]


@pytest.fixture(autouse=True)
def module_stays_usable(capfd):
    yield
    # The cubes' deepest crossing pairs tie, so which one names the point is open.
    assert [(c.ids, c.dist) for c in orvex.clash_detection(CUBE_A, CUBE_B)] == [(("a", "b"), -0.5)]


def run_limited(body, limit_mb):
    """Runs `body` in a fresh interpreter whose address space may grow by `limit_mb`
    MiB past what it holds after importing orvex; returns its standard output."""
    script = textwrap.dedent("""
        import resource, sys
        sys.path.insert(0, {tests!r})
        import orvex
        from models import box, inline_object, line, MESH
        orvex.clash_detection("", "")
        size = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (size + ({limit} << 20), resource.RLIM_INFINITY))
    """).format(tests=TESTS, limit=limit_mb) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


# --- non-finite and out-of-range numbers ---------------------------------------------

@pytest.mark.parametrize("far", ["1e+39", "-1e+300"])
def test_coordinate_beyond_float_range_leaves_only_its_triangle_out(far):
    """A coordinate that narrows to an infinite float takes its triangles out of every
    contact; the object's finite triangles still clash."""
    points = [(7, 0, 0), (0, 0, 0), (0, 1, 0)] + SPIKE
    text = inline_object("s", points, [(0, 1, 2), (3, 4, 5)]).replace("7.0", far, 1)
    finite = inline_object("s", SPIKE, [(0, 1, 2)])
    assert results(orvex.clash_detection(text, CUBE_B)) == results(orvex.clash_detection(finite, CUBE_B))
    assert results(orvex.clash_detection(CUBE_B, text)) == results(orvex.clash_detection(CUBE_B, finite))


@pytest.mark.parametrize("literal", ["NaN", "Infinity", "-Infinity", "1e999"])
def test_unrepresentable_number_skips_its_line(capfd, literal):
    """JSON has no NaN or infinity, and 1e999 is out of double range: the line is
    malformed and skipped without a message."""
    text = inline_object("s", SPIKE, [(0, 1, 2)]).replace("-1.0", literal, 1)
    assert orvex.clash_detection(text, CUBE_B) == []
    assert capfd.readouterr().out == ""


def test_all_infinite_object_meets_nothing():
    text = inline_object("s", [(1e39, 0, 0), (0, -1e39, 0), (0, 0, 1e39)], [(0, 1, 2)])
    assert orvex.clash_detection(text, CUBE_B, math.inf) == []


def test_coordinates_near_float_max_give_no_nan():
    wide = inline_object("h", [(-3e38, 0, 0), (3e38, 0, 0), (0, 3e38, 0)], [(0, 1, 2)])
    across = inline_object("g", [(0, 0, -3e38), (0, 0, 3e38), (1e38, -3e38, 0)], [(0, 1, 2)])
    for found in (orvex.clash_detection(wide, across, math.inf), orvex.clash_detection(across, wide, math.inf)):
        assert len(found) == 1
        assert not math.isnan(found[0].dist) and not any(map(math.isnan, found[0].point))


@pytest.mark.parametrize("faces, out", [
    # A count of 1e30 cannot fit: decoding ends there, the triangle before it stays.
    ([3, 3, 4, 5, 1e30, 0, 1, 2], ""),
    # 5e9 clamps to the largest 32-bit index, which names no point.
    ([3, 3, 4, 5, 3, 0, 1, 5e9], "ERROR: Object id s has face index 4294967295 but only 6 vertices.\n"),
])
def test_huge_counts_and_indices(capfd, faces, out):
    text = line("s", {"speckle_type": "W", "id": "s", "displayValue": [
        {"speckle_type": MESH, "id": "m", "vertices": flat([(5, 5, 5)] * 3 + SPIKE), "faces": faces}]})
    found = orvex.clash_detection(text, CUBE_B)
    assert capfd.readouterr().out == out
    assert [c.ids for c in found] == ([("s", "b")] if out == "" else [])


def test_huge_count_alone_leaves_no_triangle(capfd):
    text = inline_object("s", SPIKE, []).replace('"faces":[]', '"faces":[1e30,0,1,2]')
    assert orvex.clash_detection(text, CUBE_B) == []
    assert capfd.readouterr().out == "Error creating mesh: A triangle mesh must contain at least one triangle.\n"


# --- size and nesting ------------------------------------------------------------------

@pytest.mark.parametrize("depth, loaded", [(127, True), (128, False)])
def test_nesting_limit(depth, loaded):
    """The line's object counts as one level; 127 levels load, 128 skip the line."""
    text = inline_object("s", SPIKE, [(0, 1, 2)])
    nested = "[" * (depth - 1) + "]" * (depth - 1)
    text = text.replace("{", '{"deep":' + nested + ",", 1)
    assert [c.ids for c in orvex.clash_detection(text, CUBE_B)] == ([("s", "b")] if loaded else [])


@pytest.mark.slow
@pytest.mark.parametrize("valid", [True, False])
def test_line_of_200_mb(valid):
    """One 200 MB line: a valid object with a long text member loads like the object
    without it; an unterminated one is skipped and costs its neighbour nothing."""
    pad = "x" * (200 << 20)
    spike = inline_object("s", SPIKE, [(0, 1, 2)])
    if valid:
        text = spike.replace("{", '{"pad":"' + pad + '",', 1)
    else:
        text = 'junk\t{"speckle_type":"W","pad":"' + pad + "\n" + spike
    assert len(text) > 200 << 20
    assert [c.ids for c in orvex.clash_detection(text, CUBE_B)] == [("s", "b")]


@pytest.mark.slow
def test_million_one_triangle_objects():
    """10^6 objects of one triangle each on a grid; those that run through CUBE_B clash
    (no triangle touches a face of the cube)."""
    n = 1000
    lines = []
    for i in range(n):
        for j in range(n):
            x, y = i * 0.01 + 0.0025, j * 0.01 + 0.0025
            mesh = ('{"speckle_type":"%s","id":"m","vertices":[%r,%r,-1,%r,%r,3,%r,%r,3],"faces":[3,0,1,2]}'
                    % (MESH, x, y, x, y + 0.005, x + 0.005, y))
            lines.append('t%d.%d\t{"speckle_type":"W","id":"t","displayValue":[%s]}\n' % (i, j, mesh))
    found = orvex.clash_detection("".join(lines), CUBE_B)
    inside = [i for i in range(n) if 0.5 < i * 0.01 + 0.0025 < 2]
    assert len(found) == len(inside) ** 2 == 150 ** 2
    assert all(c.ids[1] == "b" and c.dist < 0 for c in found)


def test_one_chunk_referenced_100000_times():
    """A mesh whose lists name one chunk 10^5 times holds 10^5 copies of its triangle;
    the copies change nothing about the contact."""
    refs = [{"speckle_type": "reference", "referencedId": "v"}]
    text = (line("v", {"speckle_type": "C", "data": flat(SPIKE)})
            + line("f", {"speckle_type": "C", "data": [3, 0, 1, 2]})
            + line("m", {"speckle_type": MESH, "id": "m", "vertices": refs * 100000,
                         "faces": [{"speckle_type": "reference", "referencedId": "f"}] * 100000})
            + line("s", {"speckle_type": "W", "id": "s",
                         "displayValue": [{"speckle_type": "reference", "referencedId": "m"}]}))
    once = inline_object("s", SPIKE, [(0, 1, 2)])
    assert results(orvex.clash_detection(text, CUBE_B)) == results(orvex.clash_detection(once, CUBE_B))


# --- memory ----------------------------------------------------------------------------

@pytest.mark.skipif(UNDER_ASAN, reason="no address-space limit under AddressSanitizer")
def test_small_model_loads_under_a_tight_address_space_limit():
    """Regression (number arena of a full block per load): every load reserved a 32 MiB
    block for its numbers whatever the model's size, so a two-box call needed 64 MiB."""
    out = run_limited("""
        a = inline_object("a", *box((0, 0, 0), (1, 1, 1)))
        b = inline_object("b", *box((0.5, 0.5, 0.5), (2, 2, 2)))
        print(len(orvex.clash_detection(a, b)))
    """, limit_mb=16)
    assert out == "1\n"


@pytest.mark.skipif(UNDER_ASAN, reason="no address-space limit under AddressSanitizer")
def test_display_list_amplification_is_a_memory_error():
    """5000 references to one mesh of 2*10^4 triangles ask for about 4 GB of numbers
    from 1 MB of text. No bound is put on it (a building may be that large), so under
    the host's 1 GiB address-space limit the allocation fails: MemoryError, after which
    the module works as before."""
    out = run_limited("""
        import itertools
        n = 100
        points = [(i * 0.01, j * 0.01, (i + j) % 2 * 0.01) for i in range(n + 1) for j in range(n + 1)]
        faces = []
        for i, j in itertools.product(range(n), range(n)):
            v = i * (n + 1) + j
            faces += [3, v, v + 1, v + n + 2, 3, v, v + n + 2, v + n + 1]
        text = (line("m", {"speckle_type": MESH, "id": "m",
                           "vertices": [{"speckle_type": "reference", "referencedId": "v"}],
                           "faces": [{"speckle_type": "reference", "referencedId": "f"}]})
                + line("v", {"speckle_type": "C", "data": [c for p in points for c in p]})
                + line("f", {"speckle_type": "C", "data": faces})
                + line("s", {"speckle_type": "W", "id": "s",
                             "displayValue": [{"speckle_type": "reference", "referencedId": "m"}] * 5000}))
        try:
            orvex.clash_detection(text, "")
        except MemoryError:
            print("MemoryError")
        a = inline_object("a", *box((0, 0, 0), (1, 1, 1)))
        b = inline_object("b", *box((0.5, 0.5, 0.5), (2, 2, 2)))
        print(len(orvex.clash_detection(a, b)))
    """, limit_mb=1024)
    assert out == "MemoryError\n1\n"


@pytest.mark.skipif(UNDER_ASAN, reason="no address-space limit under AddressSanitizer")
def test_parser_out_of_memory_is_a_memory_error():
    """The JSON parser needs several times a line's length: with 400 MiB to spare after
    building a 200 MB line, the call is MemoryError, not a skipped line, and the module
    works on afterwards."""
    out = run_limited("""
        pad = "x" * (200 << 20)
        text = inline_object("s", *box((0, 0, 0), (1, 1, 1))).replace("{", '{"pad":"' + pad + '",', 1)
        try:
            orvex.clash_detection(text, "")
        except MemoryError:
            print("MemoryError")
        del pad, text
        a = inline_object("a", *box((0, 0, 0), (1, 1, 1)))
        b = inline_object("b", *box((0.5, 0.5, 0.5), (2, 2, 2)))
        print(len(orvex.clash_detection(a, b)))
    """, limit_mb=800)
    assert out == "MemoryError\n1\n"


# --- standard output -----------------------------------------------------------------

UNWRITABLE = "failed printing to stdout: Bad file descriptor (os error 9)"


@pytest.mark.parametrize("a, b", [
    # loader message for a
    (line("k", {"speckle_type": "W", "id": "k", "displayValue": []}), ""),
    # converter messages: a trailing coordinate, a point count, an empty mesh
    (inline_object("k", SPIKE, [(0, 1, 2)]).replace("3.0]", "3.0,4]", 1), ""),
    (inline_object("k", SPIKE[:2], [(0, 1, 1)]), ""),
    (inline_object("k", SPIKE, []), ""),
    # a message due only for b, after a was loaded
    (CUBE_A, line("k", {"speckle_type": "W", "id": "k", "displayValue": [{"speckle_type": "X"}]})),
])
def test_closed_stdout_fails_the_call_when_a_message_is_due(a, b):
    with pytest.raises(BaseException) as info, closed_stdout():
        orvex.clash_detection(a, b)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (UNWRITABLE,)


def test_closed_stdout_without_messages_is_no_fault():
    with closed_stdout():
        found = orvex.clash_detection(CUBE_A, CUBE_B)
    assert [c.ids for c in found] == [("a", "b")]


@contextlib.contextmanager
def stdout_to(target):
    """File descriptor 1 on a pipe whose reader is gone, or on a device that is full."""
    sys.stdout.flush()
    saved = os.dup(1)
    if target == "pipe":
        read, write = os.pipe()
        os.close(read)
    else:
        write = os.open(target, os.O_WRONLY)
    os.dup2(write, 1)
    os.close(write)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


@pytest.mark.parametrize("target, error", [
    ("pipe", "Broken pipe (os error 32)"),  # the interpreter ignores SIGPIPE
    ("/dev/full", "No space left on device (os error 28)"),
])
def test_unwritable_stdout_names_the_system_error(target, error):
    with pytest.raises(BaseException) as info, stdout_to(target):
        orvex.clash_detection(line("k", {"speckle_type": "W", "id": "k", "displayValue": []}), "")
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("failed printing to stdout: " + error,)


# --- threshold objects that run host code -------------------------------------------

class Threshold:
    """A threshold whose float conversion runs `action` first."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.1


def test_threshold_conversion_may_call_the_module_again():
    inner = []
    outer = orvex.clash_detection(CUBE_A, CUBE_B, Threshold(lambda: inner.append(orvex.clash_detection(CUBE_B, CUBE_A))))
    assert results(outer) == results(orvex.clash_detection(CUBE_A, CUBE_B, 0.1))
    assert [c.ids for c in inner[0]] == [("b", "a")]


def test_threshold_conversion_interrupted_passes_unchanged(capfd):
    def interrupt():
        raise KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        orvex.clash_detection(line("k", {"speckle_type": "W", "id": "k", "displayValue": []}), "",
                              Threshold(interrupt))
    assert capfd.readouterr().out == ""


# --- a bad line among good ones ------------------------------------------------------

MALFORMED = [
    "no tab at all",
    "\t",
    "k\t",
    "k\t{",
    'k\t{"speckle_type":"W"} {}',
    'k\t[1, 2, 3]',
    'k\t"text"',
    'k\t{"speckle_type":"W","id":"k","displayValue":[{"speckle_type":"' + MESH + '","id":"m","vertices":[NaN]}]}',
    'k\t{"speckle_type":"W",\x00"id":"k"}',
    'k\t{"speckle_type":"W","id":"k","displayValue":[1, null, {"speckle_type":7}, {"speckle_type":"reference"}]}',
    'k\t{"speckle_type":"W","id":"k","displayValue":[{"speckle_type":"reference","referencedId":"missing"}]}',
    'k\t{"speckle_type":"W","id":"k","displayValue":[{"speckle_type":"' + MESH + '","id":"m","faces":{},"vertices":"x"}]}',
    'k\t{"speckle_type":"W","id":"k","@displayValue":{"a":1},"displayValue":[]}',
    'k\t{"speckle_type":"W","s":"\\ud800 unpaired escape"}',
    "k\t" + "[" * 100000,
    "k\t{\"speckle_type\":\"W\",\"id\":\"k\",\"displayValue\":[{\"speckle_type\":\"" + MESH
    + "\",\"id\":\"m\",\"vertices\":[0,0,0,1,0,0,0,1],\"faces\":[3,0,1,2,9]}]}",
]


@pytest.mark.parametrize("bad", MALFORMED)
@pytest.mark.parametrize("where", ["a", "b"])
def test_malformed_line_does_not_change_good_results(bad, where):
    good_a = CUBE_A + inline_object("s", SPIKE, [(0, 1, 2)])
    good_b = CUBE_B + inline_object("t", *box((0.9, 0.9, 0.9), (1.1, 1.1, 1.1)))
    expected = sorted(results(orvex.clash_detection(good_a, good_b)))
    assert len(expected) == 4
    a, b = good_a, good_b
    if where == "a":
        a = CUBE_A + bad + "\n" + inline_object("s", SPIKE, [(0, 1, 2)])
    else:
        b = CUBE_B + bad + "\r\n" + inline_object("t", *box((0.9, 0.9, 0.9), (1.1, 1.1, 1.1)))
    assert sorted(results(orvex.clash_detection(a, b))) == expected


@pytest.mark.parametrize("json", [
    "", "{", '{"speckle_type":"W"} {}', "[1, 2, 3]", '"text"', '{"speckle_type":"W","v":[NaN]}',
    '{"speckle_type":"W",\x00"id":"s"}', "[" * 100000, '{"id":"s","displayValue":[]}',
])
def test_rejected_line_does_not_replace_the_object_of_its_key(json):
    """Only an accepted line replaces an earlier line of the same key."""
    good = inline_object("s", SPIKE, [(0, 1, 2)])
    assert results(orvex.clash_detection(good + "s\t" + json + "\n", CUBE_B)) == results(
        orvex.clash_detection(good, CUBE_B))

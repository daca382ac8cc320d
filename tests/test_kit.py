"""orvexkit against orvex.clash_detection: the same pairs, distances and points on every
scene the suite has, for every thread count; the contact point on b's mesh against the
brute-force reference; self clashes, selections, the model's objects and diagnostics,
and bad input."""

import concurrent.futures
import json
import math
import os
import pathlib
import pickle
import random
import signal
import sys
import threading
import weakref

import numpy as np
import pytest

import orvex
import orvexkit
from models import box, inline_object, line, referenced_object, tetrahedron
from reference import mesh_contact_reference
from test_contact_reference import placed, rotation, soup, tolerance
from test_hostile import MALFORMED, SPIKE, UNDER_ASAN
from test_pass import boxes, random_boxes

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
import building  # noqa: E402

THREAD_COUNTS = [1, 2, 3, 8]
INF = math.inf


# --- scenes ----------------------------------------------------------------------------

def pairs_apart(meshes):
    """Two models from (mesh1, mesh2) pairs, pair k moved 100 k along x, so that only
    the two meshes of one pair can meet."""
    a, b = [], []
    for k, (mesh1, mesh2) in enumerate(meshes):
        shift = np.array([100.0 * k, 0, 0])
        for out, (points, triangles) in ((a, mesh1), (b, mesh2)):
            moved = (np.asarray(points, dtype=np.float32) + shift).astype(np.float32).tolist()
            out.append((moved, triangles))
    return ("".join(inline_object(f"p{k}", *m) for k, m in enumerate(a)),
            "".join(inline_object(f"q{k}", *m) for k, m in enumerate(b)))


def soups():
    rng = np.random.default_rng(1)
    return pairs_apart([(soup(rng, 14, np.zeros(3), 1.0), soup(rng, 14, rng.uniform(-1.5, 1.5, 3), 1.0))
                        for _ in range(12)])


def closed_meshes():
    rng = np.random.default_rng(2)
    shapes = [box((-1, -0.6, -0.4), (1, 0.6, 0.4)),
              tetrahedron((1, 1, 1), (1, -1, -1), (-1, 1, -1), (-1, -1, 1))]
    return pairs_apart([(placed(shape, rotation(rng), np.zeros(3)),
                         placed(shape, rotation(rng), rng.uniform(-1.6, 1.6, 3)))
                        for _ in range(8) for shape in shapes])


def hostile():
    """Malformed lines, messages of every stage, CRLF, keys with escapes, digits, -0
    and non-ASCII, repeated keys, coordinates beyond float range."""
    cube_a = inline_object("a", *box((0, 0, 0), (1, 1, 1)))
    cube_b = inline_object("b", *box((0.5, 0.5, 0.5), (2, 2, 2)))
    odd = [inline_object(key, *box((0.2 * n, 0.9, 0.9), (0.2 * n + 0.3, 1.4, 1.4)))
           for n, key in enumerate(["-0", "0", "1e3", "Wänd ✓", 'q"uote\\', "a"])]
    far = inline_object("far", [(7, 0, 0), (0, 0, 0), (0, 1, 0)] + SPIKE,
                        [(0, 1, 2), (3, 4, 5)]).replace("7.0", "1e+39", 1)
    noisy = [line("k", {"speckle_type": "W", "id": "k", "displayValue": [{"speckle_type": "Brep"}]}),
             inline_object("p", SPIKE, [(0, 1, 2)]).replace("3.0]", "3.0,4]", 1),
             inline_object("f", SPIKE, [(0, 1, 5)]),
             inline_object("e", SPIKE, [])]
    a = cube_a + "\n".join(MALFORMED) + "\n" + "".join(odd) + far + "".join(noisy)
    b = (cube_b + referenced_object("r", [box((0.8, 0.8, -1), (1.2, 1.2, 3))]).replace("\n", "\r\n")
         + "".join(noisy[::-1]) + "".join(odd[::2]))
    return a, b


def same_text():
    text = boxes(*random_boxes(random.Random(11), "o", 30))
    return text, text


def sample():
    return ((ROOT / "examples" / "data" / "structure.txt").read_text(),
            (ROOT / "examples" / "data" / "services.txt").read_text())


SCENES = {
    "random boxes": (lambda: (boxes(*random_boxes(random.Random(5), "a", 25)),
                              boxes(*random_boxes(random.Random(6), "b", 25))), [0.0, 0.3]),
    "same text on both sides": (same_text, [0.2]),
    "building": (lambda: building.generate(n_objects=400, seed=7), [0.0, 0.06]),
    "building, everything within reach": (lambda: building.generate(n_objects=200, seed=3, near=0.3), [INF]),
    "sample": (sample, [0.05]),
    "soups": (soups, [INF]),
    "closed meshes": (closed_meshes, [INF, 0.0]),
    "hostile": (hostile, [INF, 0.0]),
}


@pytest.fixture(scope="module")
def texts():
    return {name: make() for name, (make, _) in SCENES.items()}


def bits(values):
    """float32 bit patterns, so that -0.0 and 0.0 differ."""
    return np.asarray(values, dtype=np.float32).view(np.uint32).tolist()


# --- the same answers as clash_detection -----------------------------------------------

@pytest.mark.parametrize("scene", SCENES)
def test_same_pairs_distances_points_and_messages_as_clash_detection(scene, texts, capfd):
    text_a, text_b = texts[scene]
    for min_dist in SCENES[scene][1]:
        found = orvex.clash_detection(text_a, text_b, min_dist)
        printed = capfd.readouterr().out.splitlines()
        want = ([c.ids for c in found], bits([c.dist for c in found]), bits([c.point for c in found]))
        for threads in THREAD_COUNTS:
            a = orvexkit.Model(text_a, threads=threads)
            b = orvexkit.Model(text_b.encode(), threads=threads)
            result = orvexkit.clash(a, b, min_dist, threads=threads)
            got = (list(zip(result.a_ids, result.b_ids)), bits(result.dist), bits(result.point_a.tolist()))
            assert got == want, (min_dist, threads)
            # Diagnostics are data, in the printed order, and nothing reaches fd 1.
            assert [d.text for d in a.diagnostics + b.diagnostics] == printed
            assert capfd.readouterr().out == ""
    assert found, "a scene without results compares nothing"


def test_point_b_lies_on_b_at_the_reported_distance(texts):
    """dist is |point_a - point_b| (the gap, or the depth of a crossing), and point_b lies
    on b's mesh by the brute-force reference."""
    for scene in ("soups", "closed meshes"):
        a, b = (orvexkit.Model(t) for t in texts[scene])
        result = orvexkit.clash(a, b, INF)
        assert len(result) >= 12
        for i, j, dist, pa, pb in zip(result.a_index, result.b_index, result.dist, result.point_a,
                                      result.point_b):
            vertices, triangles = b[j].vertices, b[j].triangles
            tol = tolerance(a[i].vertices, vertices)
            assert np.linalg.norm(pa.astype(np.float64) - pb) == pytest.approx(abs(dist), abs=tol)
            on_b = mesh_contact_reference([pb] * 3, [(0, 1, 2)], vertices, triangles, prediction=1.0)
            assert on_b[0] == pytest.approx(0, abs=tol)


def fingerprint(model):
    objects = [(o.key, o.type, o.meta, o.vertices.tobytes(), o.triangles.tobytes()) for o in model]
    return objects, model.bounds.tobytes(), model.object_bounds.tobytes(), model.diagnostics


@pytest.mark.parametrize("scene", ["building", "hostile"])
def test_models_are_the_same_for_every_thread_count(scene, texts):
    for text in texts[scene]:
        one = fingerprint(orvexkit.Model(text, threads=1))
        for threads in THREAD_COUNTS[1:]:
            assert fingerprint(orvexkit.Model(text, threads=threads)) == one


def test_python_threads_may_share_models(texts):
    """Calls from several Python threads at once, on the same models, while each runs
    with the interpreter lock released."""
    a, b = (orvexkit.Model(t) for t in texts["building"])
    want = rows(orvexkit.clash(a, b, 0.06))
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda threads: orvexkit.clash(a, b, 0.06, threads=threads), [1, 2, 3, 8] * 2))
    assert all(rows(r) == want for r in results)


# --- self clash and selections ---------------------------------------------------------

def rows(result, keep=slice(None)):
    return (result.a_index[keep].tolist(), result.b_index[keep].tolist(), bits(result.dist[keep]),
            bits(result.point_a[keep]), bits(result.point_b[keep]))


def test_self_clash_is_the_upper_half_of_the_model_against_itself(texts):
    model = orvexkit.Model(texts["building, everything within reach"][0])
    both = orvexkit.clash(model, model, 0.2)
    assert not both.self_clash and both.b is model
    # Both orientations, as clash_detection(t, t) gives them.
    assert sorted(zip(both.a_index.tolist(), both.b_index.tolist())) == \
        sorted(zip(both.b_index.tolist(), both.a_index.tolist()))
    for threads in THREAD_COUNTS:
        once = orvexkit.clash(model, min_dist=0.2, threads=threads)
        assert once.self_clash and once.b is model and len(once) > 10
        assert rows(once) == rows(both, both.a_index < both.b_index)


def test_selections_keep_exactly_the_pairs_of_selected_objects(texts):
    a, b = (orvexkit.Model(t) for t in texts["building, everything within reach"])
    full = orvexkit.clash(a, b, INF)
    rng = np.random.default_rng(4)
    mask_a = rng.random(len(a)) < 0.5
    indices_b = np.flatnonzero(rng.random(len(b)) < 0.3)
    keep = mask_a[full.a_index] & np.isin(full.b_index, indices_b)
    for threads in (1, 3):
        chosen = orvexkit.clash(a, b, INF, select_a=mask_a, select_b=indices_b - len(b), threads=threads)
        assert rows(chosen) == rows(full, keep) and 0 < len(chosen) < len(full)
    # In a self clash the selection holds on both sides.
    whole = orvexkit.clash(a, min_dist=INF)
    part = orvexkit.clash(a, min_dist=INF, select_a=mask_a.tolist())
    assert rows(part) == rows(whole, mask_a[whole.a_index] & mask_a[whole.b_index])
    assert len(orvexkit.clash(a, b, INF, select_a=[])) == 0
    with pytest.raises(ValueError, match="one flag per object"):
        orvexkit.clash(a, b, select_a=mask_a[1:])
    with pytest.raises(IndexError):
        orvexkit.clash(a, b, select_b=[len(b)])
    with pytest.raises(TypeError):
        orvexkit.clash(a, b, select_b=[0.5])
    with pytest.raises(ValueError, match="select_a only"):
        orvexkit.clash(a, select_b=[0])


# --- the model and its objects -------------------------------------------------------------

def test_objects_and_their_arrays(texts):
    text = texts["sample"][0]
    model = orvexkit.Model(text, name="structure")
    assert model.name == "structure" and model.path is None and len(model) == 120
    assert model.keys == [o.key for o in model] and len(set(model.keys)) == len(model)
    last = model[-1]
    assert model[last.key] == last == model[len(model) - 1] and last.index == len(model) - 1
    assert last.key in model and "no such key" not in model and 0 not in model
    assert model.index_of(last.key) == last.index
    with pytest.raises(KeyError):
        model["no such key"]
    with pytest.raises(IndexError):
        model[len(model)]

    # The mesh of the key's line, as clash_detection sees it: one box.
    vertices, triangles = last.vertices, last.triangles
    assert vertices.dtype == np.float32 and vertices.shape[1] == 3
    assert triangles.dtype == np.uint32 and triangles.shape[1] == 3 and triangles.max() < len(vertices)
    np.testing.assert_array_equal(last.bounds, [vertices.min(axis=0), vertices.max(axis=0)])
    np.testing.assert_array_equal(model.bounds, [model.object_bounds[:, 0].min(axis=0),
                                                 model.object_bounds[:, 1].max(axis=0)])
    for array in (vertices, triangles, model.bounds, model.object_bounds):
        assert not array.flags.writeable
        with pytest.raises(ValueError):
            array[0] = 0

    # Views hold the engine's model, not a copy, and keep it alive without the Model.
    assert np.shares_memory(vertices, model[-1].vertices)
    copy = vertices.copy()
    gone = weakref.ref(model)
    del model, last
    assert gone() is None
    np.testing.assert_array_equal(vertices, copy)


def test_object_information_is_the_root_line_s(texts):
    """type and meta against json.loads of each object's line: its "speckle_type", and
    every member but the display lists (the last of a repeated member)."""
    odd = ('odd\t{"speckle_type":"Odd","id":"odd","name":"B\\u00e4r \\"1\\"","n":-0,"n":[1.5e300,{"z":null}],'
           '"units":"mm","displayValue":[{"speckle_type":"Objects.Geometry.Mesh","id":"m",'
           '"vertices":[0,0,0,1,0,0,0,1,0],"faces":[3,0,1,2]}]}\n')
    text = texts["sample"][0] + odd
    model = orvexkit.Model(text)
    if not any(model.types):
        pytest.skip("the engine keeps no object information yet")
    lines = dict(line.split("\t", 1) for line in text.splitlines())
    for o in model:
        members = json.loads(lines[o.key])
        assert o.type == members["speckle_type"]
        assert o.meta == {k: v for k, v in members.items() if k not in ("displayValue", "@displayValue")}
        assert o.name == members.get("name")
    assert model["odd"].name == 'Bär "1"' and model["odd"].meta["n"] == [1.5e300, {"z": None}]


def test_file_and_buffer_sources_load_the_same_model(texts, tmp_path):
    text = texts["hostile"][1]
    path = tmp_path / "b.txt"
    path.write_bytes(text.encode())
    want = fingerprint(orvexkit.Model(text))
    for source in (text.encode(), bytearray(text.encode()), memoryview(text.encode()), path):
        assert fingerprint(orvexkit.Model(source)) == want
    loaded = orvexkit.Model.from_file(str(path))
    assert fingerprint(loaded) == want and loaded.path == str(path) and loaded.name == "b.txt"
    # A str is text: one that names a file is refused rather than read as an empty model.
    with pytest.raises(ValueError, match="names an existing path"):
        orvexkit.Model(str(path))
    with pytest.raises(TypeError):
        orvexkit.Model(42)


def test_models_pickle_through_the_engine(texts):
    for scene in ("hostile", "building"):
        models = [orvexkit.Model(text, name=scene) for text in texts[scene]]
        again = pickle.loads(pickle.dumps(models))
        for model, copy in zip(models, again):
            assert fingerprint(copy) == fingerprint(model) and copy.name == scene
        assert rows(orvexkit.clash(*again, INF)) == rows(orvexkit.clash(*models, INF))
    data = models[0]._handle.serialize()
    for bad in (data[:-1], data[:len(data) // 2] + bytes([data[len(data) // 2] ^ 1]) + data[len(data) // 2 + 1:]):
        with pytest.raises(ValueError):
            orvexkit._native.ModelHandle.deserialize(bad, 2)


# --- bad input -------------------------------------------------------------------------------

def test_unreadable_paths_raise_os_errors_naming_the_path(tmp_path):
    cases = [(tmp_path / "missing.txt", FileNotFoundError), (tmp_path, IsADirectoryError),
             (pathlib.Path("/proc/self/mem"), OSError)]  # opens, but reading address 0 fails
    for path, error in cases:
        with pytest.raises(error) as info:
            orvexkit.Model(path)
        assert info.value.filename == str(path) and str(path) in str(info.value)
    if os.geteuid() != 0:  # root reads anything
        locked = tmp_path / "locked.txt"
        locked.write_text("")
        locked.chmod(0)
        with pytest.raises(PermissionError):
            orvexkit.Model(locked)


def test_non_utf8_is_refused_at_the_first_bad_byte(tmp_path):
    """The offset agrees with Python's own decoder on random corruptions of a text."""
    text = inline_object("Wänd ✓", *box((0, 0, 0), (1, 1, 1))).encode() * 3
    rng = random.Random(3)
    path = tmp_path / "bad.txt"
    for _ in range(40):
        data = bytearray(text)
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] = rng.randrange(128, 256)
        try:
            bytes(data).decode("utf-8")
            continue
        except UnicodeDecodeError as e:
            offset = e.start
        with pytest.raises(ValueError, match=f"model text: not UTF-8 text: invalid byte .* at offset {offset} "):
            orvexkit.Model(bytes(data))
        path.write_bytes(data)
        with pytest.raises(ValueError, match=f"^{path}: not UTF-8 text: .* at offset {offset} "):
            orvexkit.Model(path)


def test_faults_abandon_the_load():
    cube = inline_object("k", *box((0, 0, 0), (1, 1, 1)))
    with pytest.raises(ValueError, match="^Invalid face size: 2$"):
        orvexkit.Model(inline_object("a", SPIKE, [(0, 1, 2)]) + cube.replace('"faces":[3,', '"faces":[2,', 1))
    with pytest.raises(UnicodeEncodeError):
        orvexkit.Model(cube + "\ud800")


def test_argument_checks(monkeypatch):
    model = orvexkit.Model(inline_object("k", *box((0, 0, 0), (1, 1, 1))))
    for bad in (0, -1):
        with pytest.raises(ValueError, match="threads"):
            orvexkit.clash(model, threads=bad)
    for bad in (1.5, True, "2"):
        with pytest.raises(TypeError, match="threads"):
            orvexkit.Model("", threads=bad)
    for reach in (-0.1, math.nan, INF, 1e39):
        with pytest.raises(ValueError, match="reach"):
            orvexkit.clash(model, reach=reach)
    with pytest.raises(TypeError, match="min_dist"):
        orvexkit.clash(model, min_dist="0.1")
    with pytest.raises(TypeError):
        orvexkit.clash("text")
    monkeypatch.setenv("ORVEX_NUM_THREADS", "1")
    assert orvexkit._threads.default_threads() == 1
    monkeypatch.setenv("ORVEX_NUM_THREADS", "")
    assert orvexkit._threads.default_threads() == len(os.sched_getaffinity(0))
    for bad in ("0", "two", "-3"):
        monkeypatch.setenv("ORVEX_NUM_THREADS", bad)
        with pytest.raises(ValueError, match=f"ORVEX_NUM_THREADS must be a positive integer, not '{bad}'"):
            orvexkit.clash(model)


# --- results -------------------------------------------------------------------------------

def test_result_records_and_tables(texts):
    a, b = (orvexkit.Model(t) for t in texts["sample"])
    result = orvexkit.clash(a, b, 0.05)
    records = list(result)
    assert len(records) == len(result) > 3 and records[-1] == result[-1]
    first = records[0]
    assert first == (a.keys[result.a_index[0]], b.keys[result.b_index[0]], float(result.dist[0]),
                     tuple(result.point_a[0].tolist()), tuple(result.point_b[0].tolist()))
    assert result.a_index.dtype == np.int64 and result.point_b.shape == (len(result), 3)
    pandas = pytest.importorskip("pandas")
    frame = result.to_pandas()
    assert isinstance(frame, pandas.DataFrame) and len(frame) == len(result)
    assert frame["a_key"].tolist() == result.a_ids
    np.testing.assert_array_equal(frame[["point_b_x", "point_b_y", "point_b_z"]].to_numpy(), result.point_b)
    # A pickled result keeps its columns and keys, not the models.
    again = pickle.loads(pickle.dumps(result))
    assert again.a is None and again.b is None and not again.self_clash
    assert rows(again) == rows(result) and list(again) == records and again.min_dist == result.min_dist
    assert not again.dist.flags.writeable
    pyarrow = pytest.importorskip("pyarrow")
    table = result.to_arrow()
    assert table.column("b_key").to_pylist() == result.b_ids
    assert table.column("point_a").type == pyarrow.list_(pyarrow.float32(), 3)
    np.testing.assert_array_equal(np.array(table.column("point_a").to_pylist(), np.float32), result.point_a)


# --- interrupts ------------------------------------------------------------------------------

def dense_model_text(objects, triangles):
    """`objects` objects of `triangles` equal triangles each: slow to load and mesh."""
    mesh = ('{"speckle_type":"Objects.Geometry.Mesh","id":"m","vertices":[' + ",".join(["0,0,0,1,0,0,0,1,0"] * triangles)
            + '],"faces":[' + ",".join(["3,0,1,2"] * triangles) + "]}")
    return "".join(f'k{n}\t{{"speckle_type":"W","id":"k{n}","displayValue":[{mesh}]}}\n' for n in range(objects))


def task_count():
    return len(os.listdir("/proc/self/task"))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def interrupt(call, signum=signal.SIGINT, expected=KeyboardInterrupt, delay=0.05):
    """Runs call() while a timer sends `signum` to this thread after `delay` seconds;
    checks that the call itself raised `expected` and left no thread behind."""
    before = task_count()
    timer = threading.Timer(delay, signal.pthread_kill, (threading.main_thread().ident, signum))
    finished = False
    with pytest.raises(expected):
        try:
            timer.start()
            call()
            finished = True
        finally:
            timer.join()
    assert not finished, "the call ended before the signal came: give it more work"
    assert task_count() == before


@pytest.fixture(scope="module")
def dense_text():
    # Long enough on two threads to be running when the signal comes.
    return dense_model_text(20, 100_000)


@pytest.mark.parametrize("threads", [1, 2])
def test_interrupts_end_long_calls_cleanly(threads, dense_text):
    interrupt(lambda: orvexkit.Model(dense_text, threads=threads))
    a, b = (orvexkit.Model(t) for t in building.generate(n_objects=1000, seed=1))
    interrupt(lambda: orvexkit.clash(a, b, INF, reach=4.0, threads=threads))

    # A handler's own exception is what the call raises.
    def stop(signum, frame):
        raise RuntimeError("stopped by the handler")
    previous = signal.signal(signal.SIGUSR1, stop)
    try:
        interrupt(lambda: orvexkit.Model(dense_text, threads=threads), signal.SIGUSR1, RuntimeError)
    finally:
        signal.signal(signal.SIGUSR1, previous)
    # The models are as good as before.
    assert len(orvexkit.clash(a, b, threads=threads)) == len(orvexkit.clash(a, b, threads=1)) > 0


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer holds freed memory in quarantine")
def test_repeated_calls_leak_nothing(texts):
    """Interrupted loads, and loads, clashes and views that run to their end, leave the
    process's size and the reference counts of what they were given as they were."""
    text = texts["building"][0]
    source = text.encode()
    # Smaller than dense_text, so that what the allocator keeps between calls stays well
    # below the bound; on one thread it is still running when the signal comes.
    dense_text = dense_model_text(10, 50_000)

    def calls():
        interrupt(lambda: orvexkit.Model(dense_text, threads=1))
        model = orvexkit.Model(source, threads=2)
        result = orvexkit.clash(model, select_a=np.arange(0, len(model), 2), threads=2)
        return len(result) + int(model[3].vertices.sum()) + len(pickle.dumps(result))

    for _ in range(2):  # warm the allocator's pools and arenas
        calls()
    counts, before = [sys.getrefcount(x) for x in (text, source, dense_text)], resident_bytes()
    for _ in range(4):
        calls()
    # One lost model of the dense text would be about 30 MiB.
    assert resident_bytes() - before < 8 << 20
    assert [sys.getrefcount(x) for x in (text, source, dense_text)] == counts

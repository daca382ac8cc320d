"""orvex against the peers, on seeded data generated here; see bench/README.md.

    python bench/run.py [--quick] [--objects N] [--only W1,W3,K2,C1,...]

Builds orvex, orvexkit and the benchmark drivers for this interpreter into build/bench,
checks that orvex and the peer (or orvexkit and clash_detection, or the orvex command
and orvexkit) agree on every workload, then times them and prints one table with the
ratios and the targets P1 to P5, K1, K2, C1 and V1. Exits 1 when an answer disagrees.
"""

import argparse
import hashlib
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "bench" / "out"
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "examples")]

import dense  # noqa: E402
import peers  # noqa: E402

CLEARANCE = 0.05
# K2: the checks a coordinator reruns on one pair of models, (name, min_dist).
CHECKS = [("hard", 0.0), ("hard beyond 2 mm", -0.002), ("touching within 1 mm", 0.001),
          ("clearance 1 cm", 0.01), ("clearance 2.5 cm", 0.025), ("clearance 5 cm", 0.05)]
# Both sides query the same float32 triangles; distances agree to float32 rounding of
# coordinates of up to a few hundred units.
DIST_TOL = 1e-4


def build(build_dir):
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DORVEX_BUILD_BENCH=ON",
                    f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build_dir), "--target", "bench", "-j2"],
                   check=True, stdout=subprocess.DEVNULL)


def best_peer(run_peer, repeats):
    """(pairs, times) of the peer run with the least total time."""
    return min((run_peer() for _ in range(repeats)), key=lambda r: r[1]["total"])


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.machine()


def building(n_objects, seed):
    """The two model texts of the sample building, cached as files for the C++ driver."""
    import building

    # A changed generator makes new files.
    version = hashlib.sha1(Path(building.__file__).read_bytes()).hexdigest()[:8]
    path_a = OUT / f"building-{version}-{n_objects}-{seed}-a.txt"
    path_b = OUT / f"building-{version}-{n_objects}-{seed}-b.txt"
    if not (path_a.exists() and path_b.exists()):
        text_a, text_b = building.generate(n_objects=n_objects, seed=seed)
        path_a.write_text(text_a)
        path_b.write_text(text_b)
    return path_a, path_b


class Check:
    """Agreement of orvex and a peer; problems are kept, not raised, so that the table
    still shows every figure. Per workload, the count and the first few are kept."""

    SHOWN = 3

    def __init__(self):
        self.counts = {}
        self.examples = []

    def fail(self, workload, text):
        self.counts[workload] = self.counts.get(workload, 0) + 1
        if self.counts[workload] <= self.SHOWN:
            self.examples.append(f"{workload}: {text}")
        return False

    @property
    def problems(self):
        more = [f"{w}: {n} disagreements in all" for w, n in self.counts.items() if n > self.SHOWN]
        return self.examples + more


def agree_clashes(check, workload, ours, near, theirs):
    """`ours`: {pair: dist} with dist < 0; `near`: orvex's {pair: dist} below the
    clearance, to classify touching pairs; `theirs`: FCL's clashing pairs. FCL also
    counts touching triangles as a collision, orvex only penetration: a pair on one
    side only is accepted when orvex puts its distance within DIST_TOL of 0."""
    ok = True
    for pair in set(ours) ^ set(theirs):
        d = near.get(pair, ours.get(pair))
        if d is None or abs(d) > DIST_TOL:
            side = "orvex" if pair in ours else "FCL"
            ok = check.fail(workload, f"only {side} reports {pair} (orvex distance {d})")
    return ok


def agree_clearance(check, workload, ours, theirs):
    """`ours` and `theirs`: {pair: dist} below the clearance. Gaps must match; a pair
    that orvex finds penetrating (dist < 0) must be intersecting for FCL (dist <= 0): the
    depth itself is defined differently. A pair on one side only must lie within
    DIST_TOL of the clearance."""
    ok = True
    for pair in set(ours) | set(theirs):
        if pair not in ours or pair not in theirs:
            d = ours.get(pair, theirs.get(pair))
            if abs(d - CLEARANCE) > DIST_TOL:
                side = "orvex" if pair in ours else "FCL"
                ok = check.fail(workload, f"only {side} reports {pair} at {d}")
        elif ours[pair] < 0:
            if theirs[pair] > DIST_TOL:
                ok = check.fail(workload, f"{pair}: orvex {ours[pair]}, FCL {theirs[pair]}")
        elif abs(ours[pair] - theirs[pair]) > DIST_TOL:
            ok = check.fail(workload, f"{pair}: orvex {ours[pair]}, FCL {theirs[pair]}")
    return ok


def orvex_pairs(orvex, text_a, text_b, min_dist):
    return {c.ids: c.dist for c in orvex.clash_detection(text_a, text_b, min_dist)}


def stage_figures(build_dir, path_a, path_b, repeats):
    out = subprocess.run([str(build_dir / "orvex_stage_bench"), str(path_a), str(path_b), "0",
                          str(repeats)], check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def host_rss(build_dir, path_a, path_b):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(build_dir), *filter(None, [os.environ.get("PYTHONPATH")])]))
    out = subprocess.run([sys.executable, str(ROOT / "bench" / "host_rss.py"), str(path_a),
                          str(path_b)], check=True, capture_output=True, text=True, env=env).stdout
    return json.loads(out.strip().splitlines()[-1])


def run_end_to_end(orvex, check, n_objects, seed, repeats, with_clearance):
    """W1 (and W2): both pipelines on the building of `n_objects` per model."""
    path_a, path_b = building(n_objects, seed)
    text_a, text_b = path_a.read_text(), path_b.read_text()
    rows = {}

    near = orvex_pairs(orvex, text_a, text_b, CLEARANCE)
    ours, t_ours = peers.best_of(lambda: orvex_pairs(orvex, text_a, text_b, 0.0), repeats)
    theirs, t_parts = best_peer(lambda: peers.run_fcl(text_a, text_b), repeats)
    ok = agree_clashes(check, f"W1 {n_objects}", ours, near, theirs)
    rows["W1"] = {"objects": n_objects, "orvex_s": t_ours, "peer_s": t_parts["total"],
                  "peer_parts": t_parts, "pairs": len(ours), "agree": ok,
                  "text_bytes": len(text_a) + len(text_b)}

    if with_clearance:
        ours, t_ours = peers.best_of(lambda: orvex_pairs(orvex, text_a, text_b, CLEARANCE), repeats)
        theirs, t_parts = best_peer(lambda: peers.run_fcl(text_a, text_b, CLEARANCE), repeats)
        ok = agree_clearance(check, f"W2 {n_objects}", ours, theirs)
        rows["W2"] = {"objects": n_objects, "orvex_s": t_ours, "peer_s": t_parts["total"],
                      "peer_parts": t_parts, "pairs": len(ours), "agree": ok}
    return rows, (path_a, path_b)


def kit_pairs(result):
    return {(a, b): d for a, b, d in zip(result.a_ids, result.b_ids, result.dist.tolist())}


def kit_end_to_end(orvexkit, path_a, path_b, threads, checks):
    """Both models loaded from their files, then one clash per threshold of `checks`:
    ({pair: dist} per check, seconds loading both, seconds of all passes)."""
    start = time.perf_counter()
    a = orvexkit.Model(path_a, threads=threads)
    b = orvexkit.Model(path_b, threads=threads)
    loaded = time.perf_counter()
    found = [kit_pairs(orvexkit.clash(a, b, min_dist, threads=threads)) for _, min_dist in checks]
    return found, loaded - start, time.perf_counter() - loaded


def best_split(run, repeats):
    """(answer, load seconds, pass seconds) of the run with the least total time."""
    runs = [run() for _ in range(repeats)]
    return min(runs, key=lambda r: r[1] + r[2])


def run_kit(orvex, orvexkit, check, path_a, path_b, repeats, only):
    """K1: orvexkit end to end on the W1 models, 2 threads against 1. K2: the six CHECKS
    as six clash_detection calls against six passes on the two loaded models, both on
    one thread, so that the ratio is what reuse of the loaded models gains; the time of
    loading both once is kept beside it."""
    rows = {}
    path_a, path_b = Path(path_a), Path(path_b)
    if "K1" in only:
        k1 = {"cores": len(os.sched_getaffinity(0)), "agree": True}
        answers = {}
        for threads in (1, 2):
            answers[threads], load_s, pass_s = best_split(
                lambda: kit_end_to_end(orvexkit, path_a, path_b, threads, CHECKS[:1]), repeats)
            k1[f"threads_{threads}"] = {"load_s": load_s, "pass_s": pass_s, "total_s": load_s + pass_s}
        if answers[1] != answers[2]:
            k1["agree"] = check.fail("K1", "2 threads give another result than 1")
        rows["K1"] = k1
    if "K2" in only:
        text_a, text_b = path_a.read_text(), path_b.read_text()
        theirs, calls_s = peers.best_of(
            lambda: [orvex_pairs(orvex, text_a, text_b, min_dist) for _, min_dist in CHECKS], repeats)
        ours, load_s, pass_s = best_split(lambda: kit_end_to_end(orvexkit, path_a, path_b, 1, CHECKS), repeats)
        ok = True
        for (name, _), mine, reference in zip(CHECKS, ours, theirs):
            if mine != reference:
                ok = check.fail("K2", f"{name}: orvexkit and clash_detection differ")
        rows["K2"] = {"calls_s": calls_s, "load_s": load_s, "pass_s": pass_s, "kit_s": load_s + pass_s,
                      "pairs": [len(p) for p in ours], "agree": ok}
    return rows


# C1: BCF topics (one per clash) whose writing is timed.
BCF_TOPICS = 20


def run_command(orvexkit, check, path_a, path_b, repeats):
    """C1: the orvex command (in this process) clashing the W1 models and writing JSON, CSV
    and HTML, against orvexkit end to end (both models loaded, one clash), each run in
    turn, best of `repeats`, both on the default threads; the command's pairs must be
    orvexkit's. Then the BCF writer on the command's first BCF_TOPICS clashes, one topic
    each: seconds per topic, and of that the snapshot rendering."""
    # Imported before the clock runs, as the command's run imports them on first use.
    from orvexkit import cli
    from orvexkit.checks import Check, run_checks
    from orvexkit.reports import bcf, records, write_bcf, write_html  # noqa: F401
    from orvexkit.reports.geometry import ModelGeometry, SceneCache
    from orvexkit.reports.model import Report
    from orvexkit.reports.records import read_json

    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder)
        argv = ["clash", str(path_a), str(path_b), "-q", "--json", str(out / "r.json"),
                "--csv", str(out / "r.csv"), "--html", str(out / "r.html")]
        kit_s, command_s = [], []
        for _ in range(repeats):
            found, load_s, pass_s = kit_end_to_end(orvexkit, path_a, path_b, None, CHECKS[:1])
            kit_s.append(load_s + pass_s)
            start = time.perf_counter()
            if cli.main(argv) != 0:
                raise RuntimeError("orvex clash failed")
            command_s.append(time.perf_counter() - start)
        report = read_json(out / "r.json")
        ours = {(c.a.key, c.b.key): c.dist for c in report.clashes}
        agree = ours == {pair: float(d) for pair, d in found[0].items()}
        if not agree:
            check.fail("C1", "the command's clashes are not orvexkit's")
        sizes = {name: (out / f"r.{name}").stat().st_size for name in ("json", "csv", "html")}

        models = {m.name: orvexkit.Model(Path(m.path)) for m in report.models}
        first = run_checks([Check("hard", *models)], models).clashes[:BCF_TOPICS]
        sub = Report(report.title, report.created, report.tool, report.models, report.checks, first)
        geometry = ModelGeometry(models)
        bcf_s = peers.best_of(lambda: write_bcf(sub, out / "r.bcf", geometry, per="clash"), repeats)[1]
        scene = SceneCache(geometry)
        topics = [[c] for c in first]
        render_s = peers.best_of(lambda: [bcf._snapshot(scene, t, 30, (640, 480)) for t in topics],
                                 repeats)[1]
    return {"kit_s": min(kit_s), "command_s": min(command_s), "clashes": len(report.clashes),
            "sizes": sizes, "agree": agree, "cores": len(os.sched_getaffinity(0)),
            "bcf_topics": len(topics), "bcf_topic_s": bcf_s / len(topics),
            "snapshot_s": render_s / len(topics)}


def run_overlaps(orvexkit, check, path_a, path_b, repeats):
    """V1: the volumetric kinds (load both models, then overlaps) against the
    surface-only clash (load both, then clash) on the W1 models, each end to end on
    every core, interleaved, the best of the repeats. The surface pairs of overlaps must
    be clash's."""
    def run(call):
        start = time.perf_counter()
        a = orvexkit.Model(Path(path_a))
        b = orvexkit.Model(Path(path_b))
        loaded = time.perf_counter()
        result = call(a, b)
        return result, loaded - start, time.perf_counter() - loaded

    runs = {"clash": [], "overlaps": []}
    for _ in range(repeats):
        runs["clash"].append(run(orvexkit.clash))
        runs["overlaps"].append(run(orvexkit.overlaps))
    row = {"cores": len(os.sched_getaffinity(0)), "load": os.getloadavg()[0]}
    for name, done in runs.items():
        result, load_s, pass_s = min(done, key=lambda r: r[1] + r[2])
        row[name] = {"load_s": load_s, "pass_s": pass_s, "total_s": load_s + pass_s}
    plain, volumetric = runs["clash"][0][0], runs["overlaps"][0][0]
    surface = volumetric.dist < 0
    row["agree"] = (kit_pairs(plain) == {(a, b): d for a, b, d, s in zip(
        volumetric.a_ids, volumetric.b_ids, volumetric.dist.tolist(), surface.tolist()) if s}) or check.fail(
        "V1", "the surface pairs of overlaps are not clash's")
    row["kinds"] = {k: int((volumetric.kind == k).sum()) for k in orvexkit.KINDS}
    return row


def run_dense(build_dir, check, triangles, seed, repeats):
    """W3: one contact query on two dense tori, overlapping and then 0.3 apart."""
    rows = []
    for label, gap in (("overlapping", -0.2), ("0.3 apart", 0.3)):
        mesh1, mesh2 = dense.pair(triangles, gap, seed)
        files = []
        for n, (points, tris) in enumerate((mesh1, mesh2)):
            path = OUT / f"torus-{triangles}-{seed}-{gap}-{n}.bin"
            dense.write(path, points, tris)
            files.append(str(path))
        out = subprocess.run([str(build_dir / "orvex_contact_bench"), *files, str(repeats)],
                             check=True, capture_output=True, text=True).stdout
        ours = json.loads(out)
        # Read back what the driver read, so that the peers see the very same numbers.
        mesh1, mesh2 = dense.read(files[0]), dense.read(files[1])
        contact = ours["contact"]
        for name, query in (("FCL", peers.fcl_contact), ("Coal", peers.coal_contact)):
            colliding, distance, build_s, query_s = query(mesh1, mesh2, repeats)
            workload = f"W3 {label} vs {name}"
            if contact is None:
                ok = check.fail(workload, "orvex finds no contact")
            elif gap < 0:
                ok = (colliding and contact["dist"] < 0) or check.fail(
                    workload, f"orvex {contact['dist']}, {name} colliding {colliding}")
            else:
                ok = (not colliding and abs(contact["dist"] - distance) <= DIST_TOL) or \
                    check.fail(workload, f"orvex {contact['dist']}, {name} {distance}")
            rows.append({"case": label, "peer": name, "orvex_s": ours["query_best_s"],
                         "peer_s": query_s, "orvex_build_s": ours["build_s"],
                         "peer_build_s": build_s, "orvex_dist": contact and contact["dist"],
                         "peer_dist": distance, "triangle_pairs": ours["triangle_pairs"],
                         "agree": ok})
    return rows


def fmt_s(seconds):
    if seconds is None:
        return "-"
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.0f} us"


def ratio(peer, ours):
    return peer / ours if ours and peer else None


def fmt_x(value):
    return "-" if value is None else f"{value:.1f}x"


def rss_ratio(stages):
    """Peak resident size of the stage driver, less what the process held before it
    read the texts, against the size of the texts: the texts themselves count, as the
    module's caller holds them too."""
    return (stages["rss_peak"] - stages["rss_start"]) / stages["text_bytes"]


def path_rss_ratio(stages):
    """Peak resident size of the stage driver while it builds both models from their
    files and holds them, less what it held at start, against the texts' size."""
    return (stages["rss_path_peak"] - stages["rss_start"]) / stages["text_bytes"]


def table(results):
    """Rows of (workload, orvex, peer, ratio, note) and the targets."""
    rows = []
    for key in ("W1", "W2"):
        r = results.get(key)
        if r:
            what = "hard clashes" if key == "W1" else f"clearance {CLEARANCE}"
            rows.append((f"{key} {what}, {r['objects']} objects/model", fmt_s(r["orvex_s"]),
                         fmt_s(r["peer_s"]) + " FCL", fmt_x(ratio(r["peer_s"], r["orvex_s"])),
                         f"{r['pairs']} pairs, " + ("agree" if r["agree"] else "DISAGREE")
                         + "; FCL json+decode {parse:.2f} s, BVH {build:.2f} s, "
                           "query {query:.2f} s".format(**r["peer_parts"])))
    for r in results.get("W3", []):
        rows.append((f"W3 contact, {r['case']}", fmt_s(r["orvex_s"]),
                     fmt_s(r["peer_s"]) + f" {r['peer']}", fmt_x(ratio(r["peer_s"], r["orvex_s"])),
                     (f"orvex {r['orvex_dist']:.4g}, {r['peer']} {r['peer_dist']:.4g}, "
                      + ("agree" if r["agree"] else "DISAGREE")
                      if r["orvex_dist"] is not None else "DISAGREE")
                     + f"; {r['triangle_pairs']} triangle pairs; hierarchies built in "
                       f"{fmt_s(r['orvex_build_s'])} vs {fmt_s(r['peer_build_s'])}"))
    previous = None
    for r in results.get("W4", []):
        step = fmt_x(r["orvex_s"] / previous) if previous else ""
        previous = r["orvex_s"]
        rows.append((f"W4 {r['objects']} objects/model", fmt_s(r["orvex_s"]),
                     fmt_s(r.get("peer_s")) + (" FCL" if r.get("peer_s") else ""),
                     fmt_x(ratio(r.get("peer_s"), r["orvex_s"])),
                     f"doubling {step or '-'}, {r['object_pairs']} object pairs, "
                     f"{r['triangle_pairs']} triangle pairs"
                     + ("" if r.get("agree", True) else ", DISAGREE")))
    s = results.get("W5")
    if s:
        load = s["load_a_s"] + s["load_b_s"]
        convert = s["mesh_a_s"] + s["mesh_b_s"]
        rows.append(("W5 load (both models)", fmt_s(load), fmt_s(s["simdjson_parse_s"])
                     + " simdjson", fmt_x(load / s["simdjson_parse_s"]), "load / bare parse"))
        rows.append(("W5 convert (both models)", fmt_s(convert), "", "",
                     f"{s['triangles']} triangles"))
        rows.append(("W5 pass", fmt_s(s["pass_s"]), "", "",
                     f"{s['object_pairs']} object pairs, {s['triangle_pairs']} triangle pairs"))
        one, two = s["threads"].get("1"), s["threads"].get("2")
        if one and two:
            rows.append(("W5 all stages, 2 threads", fmt_s(sum(two.values())),
                         fmt_s(sum(one.values())) + " 1 thread",
                         fmt_x(sum(one.values()) / sum(two.values())),
                         "1 thread / 2 threads; per stage: " + ", ".join(
                             f"{k[:-2]} {one[k] / two[k]:.2f}x" for k in sorted(two))))
        rows.append(("W5 peak RSS", f"{s['rss_peak'] / 2**20:.0f} MiB",
                     f"{s['text_bytes'] / 2**20:.0f} MiB text", fmt_x(rss_ratio(s)),
                     f"(peak - {s['rss_start'] / 2**20:.0f} MiB at start) / text; "
                     f"{s['rss_before'] / 2**20:.0f} MiB with the texts read"))
        if "rss_path_peak" in s:
            rows.append(("W5 peak RSS, pair from files", f"{s['rss_path_peak'] / 2**20:.0f} MiB",
                         f"{s['text_bytes'] / 2**20:.0f} MiB text", fmt_x(path_rss_ratio(s)),
                         "(peak - start) / text, both models built from their files as "
                         "orvexkit builds them and held; no text held"))
            rows.append(("W5 object information", fmt_s(s["build_info_s"]),
                         fmt_s(s["build_s"]) + " without", fmt_x(s["build_info_s"] / s["build_s"]),
                         f"load+mesh both, 1 thread; {s['info_bytes'] / 2**20:.1f} MiB of types "
                         f"and members ({s['info_bytes'] / s['text_bytes']:.1%} of the text)"))
        h = s.get("host")
        if h:
            extra = h["rss_peak"] - h["rss_held"]
            rows.append(("W5 peak RSS, host call", f"{h['rss_peak'] / 2**20:.0f} MiB",
                         f"{h['text_bytes'] / 2**20:.0f} MiB text",
                         fmt_x(extra / h["text_bytes"]),
                         f"clash_detection's peak above the {h['rss_held'] / 2**20:.0f} MiB "
                         "held before it (interpreter and texts) / text"))
    k = results.get("K1")
    if k:
        one, two = k["threads_1"], k["threads_2"]
        rows.append(("K1 orvexkit end to end, 2 threads", fmt_s(two["total_s"]),
                     fmt_s(one["total_s"]) + " 1 thread", fmt_x(ratio(one["total_s"], two["total_s"])),
                     f"load+mesh both {fmt_s(two['load_s'])} vs {fmt_s(one['load_s'])}, pass "
                     f"{fmt_s(two['pass_s'])} vs {fmt_s(one['pass_s'])}; {k['cores']} cores; "
                     + ("same result" if k["agree"] else "DISAGREE")))
    k = results.get("K2")
    if k:
        rows.append(("K2 six checks on loaded models", fmt_s(k["pass_s"]),
                     fmt_s(k["calls_s"]) + " 6 calls", fmt_x(ratio(k["calls_s"], k["pass_s"])),
                     f"1 thread; loading both models once more: {fmt_s(k['load_s'])}, "
                     f"{fmt_x(ratio(k['calls_s'], k['kit_s']))} with it; pairs "
                     + "/".join(map(str, k["pairs"])) + (", agree" if k["agree"] else ", DISAGREE")))
    c = results.get("C1")
    if c:
        rows.append(("C1 orvex clash writing JSON, CSV, HTML", fmt_s(c["command_s"]),
                     fmt_s(c["kit_s"]) + " orvexkit", fmt_x(ratio(c["command_s"], c["kit_s"])),
                     f"command / orvexkit end to end; {c['clashes']} clashes, "
                     + ", ".join(f"{k} {v / 1e6:.1f} MB" for k, v in c["sizes"].items())
                     + f"; BCF {fmt_s(c['bcf_topic_s'])} per topic, snapshot "
                     f"{fmt_s(c['snapshot_s'])} of it ({c['bcf_topics']} topics, 640x480); "
                     f"{c['cores']} cores; " + ("same clashes" if c["agree"] else "DISAGREE")))
    k = results.get("V1")
    if k:
        plain, volumetric = k["clash"], k["overlaps"]
        kinds = ", ".join(f"{n} {kind}" for kind, n in k["kinds"].items() if n)
        rows.append(("V1 volumetric kinds on W1, end to end", fmt_s(volumetric["total_s"]),
                     fmt_s(plain["total_s"]) + " surface only", fmt_x(ratio(plain["total_s"], volumetric["total_s"])),
                     f"overlaps {fmt_x(ratio(volumetric['total_s'], plain['total_s']))} the clash: load+mesh "
                     f"{fmt_s(volumetric['load_s'])} vs {fmt_s(plain['load_s'])}, pass "
                     f"{fmt_s(volumetric['pass_s'])} vs {fmt_s(plain['pass_s'])}; {k['cores']} cores, load "
                     f"{k['load']:.1f}; {kinds}" + ("" if k["agree"] else "; DISAGREE")))
    return rows


def targets(results):
    """(name, goal, measured, verdict); a target over rows whose answers disagree has
    no verdict."""
    def verdict(met, rows):
        if not all(r.get("agree", True) for r in rows):
            return "not valid: answers disagree"
        return "met" if met else "MISSED"

    out = []
    if "W1" in results:
        r = ratio(results["W1"]["peer_s"], results["W1"]["orvex_s"])
        out.append(("P1", "W1 >= 20x faster than Python/FCL", fmt_x(r),
                    verdict(r is not None and r >= 20, [results["W1"]])))
    if results.get("W3"):
        worst = min(ratio(r["peer_s"], r["orvex_s"]) or 0 for r in results["W3"])
        out.append(("P2", "W3 >= 3x faster than FCL and Coal", f"worst {fmt_x(worst)}",
                    verdict(worst >= 3, results["W3"])))
    s = results.get("W5")
    if s:
        r = (s["load_a_s"] + s["load_b_s"]) / s["simdjson_parse_s"]
        out.append(("P3", "load <= 2x bare simdjson parse", fmt_x(r), verdict(r <= 2, [])))
        r = rss_ratio(s)
        out.append(("P5", "peak RSS <= 2x text size", fmt_x(r), verdict(r <= 2, [])))
        r = (s["load_a_s"] + s["load_b_s"]) / s["simdjson_parse_s"]
        out.append(("K3 load", "1-thread load <= 2.0x bare simdjson parse", fmt_x(r), verdict(r <= 2, [])))
        if "rss_path_peak" in s:
            r = path_rss_ratio(s)
            out.append(("K3 memory", "pair from files: peak RSS <= 1.5x text size", f"{r:.2f}x",
                        verdict(r <= 1.5, [])))
    w4 = results.get("W4", [])
    if len(w4) > 1:
        worst = max(b["orvex_s"] / a["orvex_s"] for a, b in zip(w4, w4[1:]))
        out.append(("P4", "each W4 doubling <= 2.2x time", f"worst {fmt_x(worst)}",
                    verdict(worst <= 2.2, w4)))
    k = results.get("K1")
    if k:
        r = ratio(k["threads_1"]["total_s"], k["threads_2"]["total_s"])
        out.append(("K1", "orvexkit on W1, 2 threads >= 1.7x 1 thread", fmt_x(r),
                    verdict(r is not None and r >= 1.7, [k])))
    k = results.get("K2")
    if k:
        r = ratio(k["calls_s"], k["pass_s"])
        out.append(("K2", "6 checks on loaded models >= 4x 6 calls", fmt_x(r),
                    verdict(r is not None and r >= 4, [k])))
    c = results.get("C1")
    if c:
        r = ratio(c["command_s"], c["kit_s"])
        out.append(("C1", "orvex clash with reports <= 1.5x orvexkit", fmt_x(r),
                    verdict(r is not None and r <= 1.5, [c])))
    k = results.get("V1")
    if k:
        r = ratio(k["overlaps"]["total_s"], k["clash"]["total_s"])
        out.append(("V1", "volumetric kinds on W1 <= 3x the surface-only clash", fmt_x(r),
                    verdict(r is not None and r <= 3, [k])))
    return sorted(out)


def print_report(results, problems, markdown):
    rows = table(results)
    head = ("workload", "orvex", "peer", "peer/orvex", "notes")
    if markdown:
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for row in rows:
            print("| " + " | ".join(row) + " |")
        print()
        print("| target | goal | measured | verdict |")
        print("|---|---|---|---|")
        for name, goal, measured, verdict in targets(results):
            print(f"| {name} | {goal} | {measured} | {verdict} |")
    else:
        widths = [max(len(str(r[i])) for r in [head, *rows]) for i in range(len(head))]
        for row in [head, *rows]:
            print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())
        print()
        for name, goal, measured, verdict in targets(results):
            print(f"{name}  {goal:<42} {measured:<14} {verdict}")
    for problem in problems:
        print(f"DISAGREEMENT {problem}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="small sizes, one repeat: a smoke run of the whole suite")
    parser.add_argument("--objects", type=int, help="objects per model for W1, W2, W5, K1, K2, C1, V1 (20000)")
    parser.add_argument("--scaling", help="W4 sizes, comma separated (1000,...,32000)")
    parser.add_argument("--dense", type=int, help="triangles per W3 mesh (100000)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeats", type=int,
                        help="runs of each side in W1, W2, W3 and of orvex in W4, best kept (3)")
    parser.add_argument("--only", default="W1,W2,W3,W4,W5,K1,K2,C1,V1", help="workloads to run")
    parser.add_argument("--no-peer-scaling", action="store_true",
                        help="run W4 without the peer (no ratios or checks there)")
    parser.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--no-build", action="store_true", help="use the build dir as it is")
    parser.add_argument("--markdown", action="store_true", help="print the tables as markdown")
    parser.add_argument("--json", type=Path, help="also write every figure to this file")
    args = parser.parse_args()

    objects = args.objects or (1000 if args.quick else 20000)
    scaling = [int(n) for n in args.scaling.split(",")] if args.scaling else (
        [250, 500, 1000] if args.quick else [1000, 2000, 4000, 8000, 16000, 32000])
    triangles = args.dense or (10000 if args.quick else 100000)
    repeats = args.repeats or (1 if args.quick else 3)
    only = set(args.only.upper().split(","))

    OUT.mkdir(parents=True, exist_ok=True)
    if not args.no_build:
        build(args.build_dir)
    sys.path.insert(0, str(args.build_dir))
    import orvex
    import orvexkit

    check = Check()
    results = {"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
               "machine": f"{cpu_name()}, {os.cpu_count()} cores, "
                          f"{platform.python_implementation()} {platform.python_version()}",
               "sizes": {"objects": objects, "scaling": scaling, "dense": triangles,
                         "repeats": repeats, "seed": args.seed}}
    if only & {"W1", "W2", "W5"}:
        rows, paths = run_end_to_end(orvex, check, objects, args.seed, repeats, "W2" in only)
        results.update((k, v) for k, v in rows.items() if k in only)
        if "W5" in only:
            results["W5"] = stage_figures(args.build_dir, *paths, repeats)
            results["W5"]["host"] = host_rss(args.build_dir, *paths)
    if only & {"K1", "K2"}:
        results.update(run_kit(orvex, orvexkit, check, *building(objects, args.seed), repeats, only))
    if "C1" in only:
        results["C1"] = run_command(orvexkit, check, *building(objects, args.seed), repeats)
    if "V1" in only:
        results["V1"] = run_overlaps(orvexkit, check, *building(objects, args.seed), repeats)
    if "W3" in only:
        results["W3"] = run_dense(args.build_dir, check, triangles, args.seed, repeats)
    if "W4" in only:
        results["W4"] = []
        for n in scaling:
            path_a, path_b = building(n, args.seed)
            text_a, text_b = path_a.read_text(), path_b.read_text()
            row = {"objects": n}
            ours, row["orvex_s"] = peers.best_of(
                lambda: orvex_pairs(orvex, text_a, text_b, 0.0), repeats)
            if not args.no_peer_scaling:
                theirs, parts = peers.run_fcl(text_a, text_b)
                row["peer_s"] = parts["total"]
                near = orvex_pairs(orvex, text_a, text_b, CLEARANCE)
                row["agree"] = agree_clashes(check, f"W4 {n}", ours, near, theirs)
            stages = stage_figures(args.build_dir, path_a, path_b, 1)
            row["object_pairs"] = stages["object_pairs"]
            row["triangle_pairs"] = stages["triangle_pairs"]
            results["W4"].append(row)

    print(f"orvex benchmark, {results['date']}, {results['machine']}")
    print(f"sizes: {json.dumps(results['sizes'])}")
    print()
    print_report(results, check.problems, args.markdown)
    results["disagreements"] = check.problems
    if args.json:
        args.json.write_text(json.dumps(results, indent=1, default=str))
    return 1 if check.problems else 0


if __name__ == "__main__":
    sys.exit(main())

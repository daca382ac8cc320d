"""Real buildings from IFC files to clashes: orvex against IfcClash.

Two parts.

Conversion of every shared IFC file: the kernel's world coordinates on one thread
(the conversion before orvex placed the triangles itself) against orvex_ifc on one
thread and on every core, without the cache.

End to end, from the IFC files to the list of clashes, runs interleaved in turn:
- IfcClash (PyPI ifcclash), driven through its own API as its command drives it:
  a clash set with the same files, its iterator on its own thread count
  (multiprocessing.cpu_count(), replaced by --threads when given), its tree and its
  check in the mode that matches orvex's threshold (see WORKLOADS);
- orvex, cold: convert_cached into an empty cache (hash the files, convert, store),
  then orvex.clash_detection on the texts;
- orvex, warm: convert_cached finding the entries, reading the texts, clash_detection.
Each orvex result is checked before it counts: every run returns the same pairs, and
they are the pairs of texts converted with the kernel's world coordinates.

    PYTHONPATH=python python bench/ifc_bench.py [--repeat 5] [--json out.json] [--markdown]

The IFC files are found in shared/data/ifc of a parent folder of the project, or at
--data. Medians of --repeat runs; the load average is printed with each figure,
since the 2-core machine is shared.
"""

import argparse
import json
import logging
import os
import pathlib
import statistics
import sys
import tempfile
import time

import numpy as np

import orvex
import orvex_ifc
from orvex_ifc.converter import _Keys

ROOT = pathlib.Path(__file__).resolve().parent.parent

DESIGN = [f"schependomlaan/design_ROOT/IFC-{name}.ifc" for name in (
    "kalkzandsteen", "breedplaatvloeren", "kanaalplaatvloer", "staal",
    "kapconstructie_dakkapellen_platdak", "lateien_en_geveldragers", "Vebo",
    "prefab_trappen", "traphekken", "prefab_balkons", "prefab_vloer_lifttop")]
FABRICATION = [f"schependomlaan/subcontractors/{name}.ifc" for name in (
    "BERNTS-Staalconstructie", "MULTICOM-Prefab", "GEELEN-Breedplaat V1",
    "GEELEN-Breedplaat V2", "GEELEN-Breedplaat V3", "GEELEN-Dakvloer")]
DUPLEX = ["duplex/Duplex_A_20110907.ifc"]

# name -> (files of model a, files of model b or None for a against itself, orvex
# min_dist, IfcClash mode). orvex reports pairs whose signed distance is below
# min_dist: at 0 the crossing pairs, which IfcClash's collision mode without touching
# finds; at 1 mm also the pairs that touch or nearly touch, which its collision mode
# with touching finds.
WORKLOADS = {
    "steel": ("Schependomlaan steel: design vs fabricated",
              ["schependomlaan/design_ROOT/IFC-staal.ifc"],
              ["schependomlaan/subcontractors/BERNTS-Staalconstructie.ifc"], 0.001,
              {"mode": "collision", "allow_touching": True}),
    "duplex": ("Duplex against itself", DUPLEX, None, 0.0,
               {"mode": "collision", "allow_touching": False}),
    "design": ("Schependomlaan design (11 files) vs fabrication (6 files)",
               DESIGN, FABRICATION, 0.0, {"mode": "collision", "allow_touching": False}),
}


def find_data():
    for parent in ROOT.parents:
        candidate = parent / "shared" / "data" / "ifc"
        if candidate.is_dir():
            return candidate
    return None


def load():
    return "%.1f" % os.getloadavg()[0]


# --- the conversion before: the kernel's world coordinates ---------------------------

def world_text(paths):
    """Model text with the kernel's world-coordinate triangles of the same products
    under the same keys as orvex_ifc gives them, each mesh inline."""
    import ifcopenshell.geom
    keys = _Keys()
    lines = []
    for path in paths:
        ifc = orvex_ifc.open_ifc(path)
        products = orvex_ifc.select_products(ifc)
        settings = ifcopenshell.geom.settings()
        settings.set("use-world-coords", True)
        settings.set("no-normals", True)
        meshes = {}
        iterator = ifcopenshell.geom.iterator(settings, ifc, 1, include=products)
        if products and iterator.initialize():
            while True:
                shape = iterator.get()
                meshes[shape.id] = (list(shape.geometry.verts), list(shape.geometry.faces))
                if not iterator.next():
                    break
        for p in products:
            vertices, faces = meshes.get(p.id(), ((), ()))
            if not faces:
                continue
            key = keys(p.GlobalId, p.id())
            quads = np.insert(np.array(faces).reshape(-1, 3), 0, 3, axis=1).ravel().tolist()
            mesh = {"speckle_type": orvex_ifc.converter.MESH_TYPE, "id": key, "vertices": vertices,
                    "faces": quads}
            lines.append(f"{key}\t" + json.dumps({"speckle_type": f"IFC.{p.is_a()}", "id": key,
                                                  "@displayValue": [mesh]}) + "\n")
    return "".join(lines)


# --- conversion of each file -----------------------------------------------------------

def conversions(data, threads, repeat):
    rows = []
    for path in sorted(data.glob("**/*.ifc")):
        summary = orvex_ifc.Summary()

        def world():
            world_text([path])

        def ours(n):
            def run():
                summary.__init__()
                "".join(orvex_ifc.model_lines(orvex_ifc.open_ifc(path), threads=n,
                                              summary=summary))
            return run
        times = {"world": [], "one": [], "all": []}
        for _ in range(repeat):
            for name, fn in (("world", world), ("one", ours(1)), ("all", ours(threads))):
                start = time.perf_counter()
                fn()
                times[name].append(time.perf_counter() - start)
        row = {"file": str(path.relative_to(data)), "objects": sum(summary.objects.values()),
               "tessellated": summary.tessellated, "triangles": summary.triangles,
               "load": load(), **{k: statistics.median(v) for k, v in times.items()}}
        rows.append(row)
        print(f"  {row['file']}: {row['objects']} objects ({row['tessellated']} tessellated), "
              f"before {row['world']:.2f} s, now {row['one']:.2f} s on 1 thread, "
              f"{row['all']:.2f} s on {threads}; load {row['load']}", flush=True)
    return rows


# --- end to end --------------------------------------------------------------------------

def ifcclash_run(data, files_a, files_b, check, threads):
    """Seconds from the files to IfcClash's clash list, and the number of clashes."""
    import multiprocessing
    from ifcclash import ifcclash

    settings = ifcclash.ClashSettings()
    settings.logger = logging.getLogger("ifcclash")
    settings.output = os.devnull
    clasher = ifcclash.Clasher(settings)
    clash_set = {"name": "bench", "a": [{"file": str(data / f)} for f in files_a], **check}
    if files_b:
        clash_set["b"] = [{"file": str(data / f)} for f in files_b]
    clasher.clash_sets = [clash_set]
    cores = multiprocessing.cpu_count
    ifcclash.multiprocessing.cpu_count = lambda: threads
    try:
        start = time.perf_counter()
        clasher.clash()
        return time.perf_counter() - start, len(clash_set["clashes"])
    finally:
        ifcclash.multiprocessing.cpu_count = cores


def orvex_run(data, files_a, files_b, min_dist, threads, cache_dir):
    """(seconds, seconds of the clash call, pairs, hits) from the files to orvex's
    clash list, through the cache in `cache_dir`."""
    start = time.perf_counter()
    a = orvex_ifc.convert_cached([data / f for f in files_a], threads=threads, cache_dir=cache_dir)
    text_a = a.read_text()
    if files_b is None:
        text_b, hits = text_a, [a.hit]
    else:
        b = orvex_ifc.convert_cached([data / f for f in files_b], threads=threads,
                                     cache_dir=cache_dir)
        text_b, hits = b.read_text(), [a.hit, b.hit]
    clash_start = time.perf_counter()
    found = orvex.clash_detection(text_a, text_b, min_dist)
    end = time.perf_counter()
    return end - start, end - clash_start, sorted(c.ids for c in found), hits


def end_to_end(data, name, files_a, files_b, min_dist, check, threads, repeat):
    reference_a = world_text([data / f for f in files_a])
    reference_b = reference_a if files_b is None else world_text([data / f for f in files_b])
    expected = sorted(c.ids for c in orvex.clash_detection(reference_a, reference_b, min_dist))

    peer, cold, warm, clash_cold, clash_warm, loads = [], [], [], [], [], []
    peer_clashes = None
    with tempfile.TemporaryDirectory() as scratch:
        warm_cache = pathlib.Path(scratch) / "warm"
        orvex_run(data, files_a, files_b, min_dist, threads, warm_cache)
        for i in range(repeat):
            runs = ["peer", "cold", "warm"]
            for run in runs[i % 3:] + runs[:i % 3]:
                loads.append(os.getloadavg()[0])
                if run == "peer":
                    seconds, peer_clashes = ifcclash_run(data, files_a, files_b, check, threads)
                    peer.append(seconds)
                    continue
                cache = warm_cache if run == "warm" else pathlib.Path(scratch) / f"cold{i}"
                seconds, clash_seconds, pairs, hits = orvex_run(data, files_a, files_b, min_dist,
                                                                threads, cache)
                if pairs != expected:
                    raise SystemExit(f"{name}: orvex's pairs differ from the world-coordinate "
                                     f"conversion's ({len(pairs)} against {len(expected)})")
                if hits != [run == "warm"] * len(hits):
                    raise SystemExit(f"{name}: cache hits {hits} on a {run} run")
                (warm if run == "warm" else cold).append(seconds)
                (clash_warm if run == "warm" else clash_cold).append(clash_seconds)
    m = statistics.median
    return {"workload": name, "min_dist": min_dist, "ifcclash_check": check, "threads": threads,
            "repeat": repeat, "ifcclash_s": m(peer), "orvex_cold_s": m(cold),
            "orvex_warm_s": m(warm), "clash_call_cold_s": m(clash_cold),
            "clash_call_warm_s": m(clash_warm), "orvex_pairs": len(expected),
            "ifcclash_clashes": peer_clashes, "load_min": min(loads), "load_max": max(loads),
            "cold_speedup": m(peer) / m(cold), "warm_speedup": m(peer) / m(warm)}


def report(r):
    check = ", ".join(f"{k}={v}" for k, v in r["ifcclash_check"].items())
    print(f"== {r['workload']} (orvex min_dist {r['min_dist']}; IfcClash {check}; "
          f"{r['threads']} threads; medians of {r['repeat']}; load {r['load_min']:.1f}-"
          f"{r['load_max']:.1f})")
    print(f"   IfcClash {r['ifcclash_s']:.2f} s ({r['ifcclash_clashes']} clashes)")
    print(f"   orvex cold {r['orvex_cold_s']:.2f} s ({r['cold_speedup']:.2f}x), "
          f"warm {r['orvex_warm_s'] * 1e3:.0f} ms ({r['warm_speedup']:.0f}x); clash call "
          f"{r['clash_call_cold_s'] * 1e3:.0f} ms; {r['orvex_pairs']} pairs, the same as with "
          "the kernel's world coordinates", flush=True)


def markdown(rows, results):
    out = ["| File | Objects (tessellated) | Before: world coordinates, 1 thread | Now, 1 thread "
           "| Now, all cores |", "|---|---|---|---|---|"]
    for r in rows:
        out.append(f"| {r['file']} | {r['objects']} ({r['tessellated']}) | {r['world']:.2f} s "
                   f"| {r['one']:.2f} s | {r['all']:.2f} s |")
    out += ["", "| Workload | IfcClash | orvex, converting | orvex, cache warm | Pairs (orvex) "
            "/ clashes (IfcClash) |", "|---|---|---|---|---|"]
    for r in results:
        out.append(f"| {r['workload']} | {r['ifcclash_s']:.2f} s | {r['orvex_cold_s']:.2f} s "
                   f"({r['cold_speedup']:.2f}x) | {r['orvex_warm_s'] * 1e3:.0f} ms "
                   f"({r['warm_speedup']:.0f}x) | {r['orvex_pairs']} / {r['ifcclash_clashes']} |")
    return "\n".join(out)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--data", type=pathlib.Path, default=find_data(), help="the ifc data folder")
    p.add_argument("--repeat", type=int, default=5, help="interleaved runs per figure (median)")
    p.add_argument("--threads", type=int, default=orvex_ifc.available_cores(),
                   help="geometry threads of both tools (default: every core)")
    p.add_argument("--workloads", default=",".join(WORKLOADS),
                   help=f"comma-separated, of {', '.join(WORKLOADS)}")
    p.add_argument("--no-files", action="store_true", help="skip the per-file conversions")
    p.add_argument("--json", type=pathlib.Path, help="also write the figures here")
    p.add_argument("--markdown", action="store_true", help="print the tables in Markdown")
    args = p.parse_args()
    # Repeated GlobalIds across the design partitions are expected here.
    logging.getLogger("orvex_ifc").setLevel(logging.ERROR)
    if args.data is None or not args.data.is_dir():
        raise SystemExit("no IFC data: give --data PATH/TO/shared/data/ifc")
    print(f"{os.cpu_count()} cores, load {load()}, {args.threads} threads, "
          f"CPython {sys.version.split()[0]}", flush=True)

    rows = [] if args.no_files else conversions(args.data, args.threads, max(1, args.repeat // 2))
    results = []
    for name in args.workloads.split(","):
        title, files_a, files_b, min_dist, check = WORKLOADS[name]
        results.append(end_to_end(args.data, title, files_a, files_b, min_dist, check,
                                  args.threads, args.repeat))
        report(results[-1])
    if args.markdown:
        print(markdown(rows, results))
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({"files": rows, "workloads": results}, indent=2))


if __name__ == "__main__":
    main()

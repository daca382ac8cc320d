"""M1: the sample project's clash matrix (examples/matrix.json: 5 discipline models, 12
cells) on the building of examples/building.py at --objects per side, run here with 1 and
2 threads and on a Dask LocalCluster of 2 worker processes (1 thread each), every run's
report identical. Then the per-task figures a larger cluster's estimate rests on (see
bench/README.md): per model its text, load time, pickled size and the summary sent to the
client; per cell its estimated cost, pass time on one thread, rows, and the bytes of a
task's arguments and result; the client's own work per clash and per file byte.

    python bench/matrix_bench.py [--objects 20000] [--repeats 3] [--seed 2]

Needs the distributed extra (pip install '.[distributed]'); data goes to bench/out/.
"""
from __future__ import annotations

import argparse
import json
import os
import pickle
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "bench" / "out"
sys.path.insert(0, str(ROOT / "examples"))
import building  # noqa: E402

import orvexkit  # noqa: E402
from orvexkit import distributed as od  # noqa: E402
from orvexkit.checks import TypeSelector, check_clashes, check_pairs  # noqa: E402
from orvexkit.matrix import (cell_part, estimate_cost, merge_parts, read_matrix,  # noqa: E402
                             run_matrix, summarise)


def project(n_objects: int, seed: int) -> Path:
    """The five discipline models and the sample matrix over them, generated once."""
    folder = OUT / f"project-{n_objects}-{seed}"
    matrix_data = json.loads((ROOT / "examples" / "matrix.json").read_text())
    names = list(matrix_data["models"])
    if not all((folder / f"{n}.txt").exists() for n in names):
        folder.mkdir(parents=True, exist_ok=True)
        texts = dict(zip(dict.fromkeys(building.DISCIPLINES.values()),
                         building.generate(n_objects, seed, disciplines=True)))
        for name in names:
            (folder / f"{name}.txt").write_text(texts[name], encoding="utf-8")
    matrix_data["models"] = {n: str(folder / f"{n}.txt") for n in names}
    (folder / "matrix.json").write_text(json.dumps(matrix_data, ensure_ascii=False))
    return folder / "matrix.json"


def best(run, repeats):
    times, out = [], None
    for _ in range(repeats):
        t = time.perf_counter()
        out = run()
        times.append(time.perf_counter() - t)
    return min(times), out


def fmt(seconds: float) -> str:
    return f"{seconds * 1e3:.0f} ms" if seconds < 1 else f"{seconds:.2f} s"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--objects", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    from distributed import Client, LocalCluster

    matrix_data = project(args.objects, args.seed)
    matrix = read_matrix(matrix_data)
    load_before = os.getloadavg()
    one, run1 = best(lambda: run_matrix(matrix, threads=1), args.repeats)
    two, run2 = best(lambda: run_matrix(matrix, threads=2), args.repeats)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        dask_s, run3 = best(lambda: run_matrix(matrix, client, mode="files"), args.repeats)
        send_s, run4 = best(lambda: run_matrix(matrix, client, mode="send"), 1)
    load_after = os.getloadavg()
    same = all(r.report.clashes == run1.report.clashes for r in (run2, run3, run4))
    clashes = len(run1.report.clashes)
    text_mb = sum(os.path.getsize(s.path) for s in matrix.models) / 2**20
    print(f"M1 matrix of the sample project: {len(matrix.models)} models ({text_mb:.0f} MiB of text, "
          f"{args.objects} objects per side), {len(matrix.checks)} cells, {clashes} clashes, "
          f"results {'identical' if same else 'DIFFER'}")
    print(f"load average {load_before[0]:.1f} before, {load_after[0]:.1f} after; {os.cpu_count()} cores")
    print()
    print("| run | wall (best of %d) | vs 1 thread |" % args.repeats)
    print("|---|---|---|")
    for label, s in (("here, 1 thread", one), ("here, 2 threads", two),
                     ("LocalCluster 2 workers x 1 thread, models read by the workers", dask_s),
                     ("LocalCluster, models sent to the workers (1 run)", send_s)):
        print(f"| {label} | {fmt(s)} | {one / s:.2f}x |")

    # Per-task figures, all on one thread here.
    models, sizes = {}, {}
    print()
    print("| model | text | load, 1 thread | pickled (sent) | summary to the client |")
    print("|---|---|---|---|---|")
    for source in matrix.models:
        t = time.perf_counter()
        models[source.name] = orvexkit.Model(Path(source.path), threads=1, name=source.name)
        load_s = time.perf_counter() - t
        sizes[source.name] = os.path.getsize(source.path)
        pickled = len(pickle.dumps(models[source.name]))
        summary = len(pickle.dumps(summarise(models, 1, source.name)))
        print(f"| {source.name} ({len(models[source.name])} objects) | {sizes[source.name] / 2**20:.1f} MiB | "
              f"{fmt(load_s)} | {pickled / 2**20:.1f} MiB | {summary / 2**10:.0f} KiB |")
    summaries = {n: summarise(models, 1, n) for n in models}
    selector = TypeSelector()
    print()
    print("| cell | estimated cost | pass, 1 thread | rows | task arguments | task result | finishing here |")
    print("|---|---|---|---|---|---|---|")
    total_args = total_result = 0
    for check in matrix.checks:
        cost = estimate_cost(check, summaries, selector)
        b = None if check.b is None else models[check.b]
        pass_s, _ = best(lambda: check_pairs(check, models[check.a], b, threads=1), args.repeats)
        part = cell_part(models, 1, check, 1, 0)
        args_b = len(pickle.dumps((check, 1, 0)))
        result_b = len(pickle.dumps(part))
        total_args += args_b
        total_result += result_b
        finish_s, found = best(lambda: merge_parts(check, [part]), args.repeats)
        print(f"| {check.name} | {cost} | {fmt(pass_s)} | {len(part.columns[0])} | {args_b} B | "
              f"{result_b / 2**10:.1f} KiB | {fmt(finish_s)} ({len(found)} clashes) |")
    path = matrix.models[0].path
    hash_s, _ = best(lambda: od._digests.clear() or od.file_sha256(path), args.repeats)
    print()
    print(f"client: SHA-256 of files {sizes[matrix.models[0].name] / 2**20 / hash_s:.0f} MiB/s; "
          f"task arguments {total_args} B and results {total_result / 2**10:.0f} KiB in all")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())

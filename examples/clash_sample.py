"""Clash the bundled sample building: structure (a) against services (b).

Prints how many objects of each model carry a display list, a table of the clashes
(ids, signed distance, contact point on the structure object) and the time the
clash_detection call took, loading and mesh conversion included.

    python examples/clash_sample.py [--min-dist D] [STRUCTURE SERVICES]
"""

import argparse
import json
import os
import sys
import time

import orvex

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def displayed_objects(text):
    """Names of the objects that have a display list, by key. This reads the model the
    way the module's loader picks its roots, without following the meshes, so an object
    whose meshes turn out unusable is still counted here."""
    names = {}
    for line in text.splitlines():
        key, tab, rest = line.partition("\t")
        if not tab:
            continue
        try:
            obj = json.loads(rest)
        except ValueError:
            continue
        if not isinstance(obj, dict) or "speckle_type" not in obj:
            continue
        display = obj["@displayValue"] if "@displayValue" in obj else obj.get("displayValue")
        if isinstance(display, list):
            names[key] = str(obj.get("name", obj["speckle_type"]))
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("structure", nargs="?", default=os.path.join(DATA, "structure.txt"))
    parser.add_argument("services", nargs="?", default=os.path.join(DATA, "services.txt"))
    parser.add_argument("--min-dist", type=float, default=0.0,
                        help="report pairs closer than this (default 0: interpenetrating only)")
    args = parser.parse_args()

    with open(args.structure, encoding="utf-8") as f:
        a = f.read()
    with open(args.services, encoding="utf-8") as f:
        b = f.read()
    names_a, names_b = displayed_objects(a), displayed_objects(b)
    print(f"structure: {len(names_a)} objects with a display list ({args.structure})")
    print(f"services:  {len(names_b)} objects with a display list ({args.services})")
    # The module writes its diagnostics straight to file descriptor 1.
    sys.stdout.flush()

    start = time.perf_counter()
    clashes = orvex.clash_detection(a, b, args.min_dist)
    elapsed = time.perf_counter() - start

    print(f"\n{len(clashes)} clashes below {args.min_dist:g}:")
    if clashes:
        rows = [("#", "structure id", "name", "services id", "name", "dist", "point")]
        for n, c in enumerate(clashes, 1):
            id_a, id_b = c.ids
            point = "({:.3f}, {:.3f}, {:.3f})".format(*c.point)
            rows.append((str(n), id_a, names_a.get(id_a, "?"), id_b, names_b.get(id_b, "?"),
                         f"{c.dist:.4f}", point))
        widths = [max(len(r[k]) for r in rows) for k in range(len(rows[0]))]
        for r in rows:
            print("  ".join(cell.rjust(w) if k in (0, 5) else cell.ljust(w)
                            for k, (cell, w) in enumerate(zip(r, widths))).rstrip())
    print(f"\nclash_detection took {elapsed:.3f} s")


if __name__ == "__main__":
    main()

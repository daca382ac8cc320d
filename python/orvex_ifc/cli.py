"""orvex-ifc: writes the orvex model text of one or more IFC files."""

import argparse
import logging
import os
import sys
import time

from .converter import (DEFAULT_CHUNK_SIZE, DEFAULT_EXCLUDE, IfcReadError, Summary, model_lines,
                        open_ifc)

PROG = "orvex-ifc"


def _class_list(text):
    return [name for name in text.replace(",", " ").split() if name]


def _parser():
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Convert IFC files into one orvex model text: one displayed object per "
                    "IfcProduct with body geometry, keyed by its GlobalId, in world "
                    "coordinates in metres. Several files (the partitions of one "
                    "federated model) make one model.")
    p.add_argument("inputs", nargs="+", metavar="input", help="IFC file")
    p.add_argument("-o", "--output", default="-",
                   help="model text to write (default: standard output)")
    p.add_argument("--include", action="extend", type=_class_list, default=[], metavar="CLASSES",
                   help="convert only these IfcProduct classes and their subclasses "
                        "(comma-separated, repeatable)")
    p.add_argument("--exclude", action="extend", type=_class_list, default=None,
                   metavar="CLASSES",
                   help="leave out these classes and their subclasses (default: "
                        f"{', '.join(DEFAULT_EXCLUDE)}, unless included); "
                        "--exclude '' leaves out nothing")
    p.add_argument("--chunk-size", type=int, default=DEFAULT_CHUNK_SIZE, metavar="N",
                   help=f"numbers per chunk line (default {DEFAULT_CHUNK_SIZE})")
    p.add_argument("--threads", type=int, default=1, metavar="N",
                   help="geometry threads (default 1); with more, objects come in no fixed order")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary line")
    return p


def _fail(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 1


def main(argv=None):
    args = _parser().parse_args(argv)
    if args.threads < 1:
        _parser().error("--threads must be at least 1")
    if args.output == "-" and sys.stdout.isatty():
        _parser().error("will not write a model text to a terminal; give -o PATH")
    logging.basicConfig(format=f"{PROG}: warning: %(message)s", level=logging.WARNING)

    try:
        ifcs = [open_ifc(path) for path in args.inputs]
    except (ImportError, IfcReadError) as e:
        return _fail(str(e))
    summary = Summary()
    started = time.perf_counter()
    try:
        lines = model_lines(ifcs, include=args.include, exclude=args.exclude,
                            chunk_size=args.chunk_size, threads=args.threads,
                            progress=not args.quiet, summary=summary)
    except ValueError as e:
        _parser().error(str(e))
    try:
        if args.output == "-":
            sys.stdout.writelines(lines)
            sys.stdout.flush()
        else:
            _write_atomically(args.output, lines)
    except OSError as e:
        return _fail(f"cannot write {args.output}: {e.strerror or e}")

    if not args.quiet:
        classes = ", ".join(f"{n} {c}" for c, n in sorted(summary.objects.items()))
        print(f"{PROG}: {sum(summary.objects.values())} objects, {summary.triangles} triangles "
              f"in {time.perf_counter() - started:.1f} s ({classes or 'none'}); "
              f"{summary.skipped} without triangles left out", file=sys.stderr)
    return 0


def _write_atomically(path, lines):
    """Writes next to `path` and renames, so that a failed conversion leaves no
    partial model behind."""
    partial = f"{path}.partial"
    try:
        with open(partial, "w", encoding="utf-8", newline="\n") as f:
            f.writelines(lines)
        os.replace(partial, path)
    except BaseException:
        try:
            os.remove(partial)
        except OSError:
            pass
        raise

"""orvex-ifc: writes the orvex model text of one or more IFC files."""

import argparse
import logging
import os
import sys
import time

from .cache import convert_cached, default_cache_dir
from .converter import (DEFAULT_CHUNK_SIZE, DEFAULT_EXCLUDE, IfcReadError, Summary,
                        available_cores, model_lines, open_ifc)

PROG = "orvex-ifc"


def _class_list(text):
    return [name for name in text.replace(",", " ").split() if name]


def _parser():
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Convert IFC files into one orvex model text: one displayed object per "
                    "IfcProduct with body geometry, keyed by its GlobalId, in world "
                    "coordinates in metres. Several files (the partitions of one "
                    "federated model) make one model. Conversions are cached by the "
                    "files' contents and the options.")
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
    p.add_argument("--threads", type=int, default=None, metavar="N",
                   help=f"geometry workers (default: one per core, here {available_cores()}); "
                        "the text is the same for any number")
    p.add_argument("--cache-dir", metavar="DIR",
                   help=f"cache folder (default {default_cache_dir()})")
    p.add_argument("--no-cache", action="store_true",
                   help="convert without reading or writing the cache")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar and no summary line")
    return p


def _fail(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 1


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.output == "-" and sys.stdout.isatty():
        parser.error("will not write a model text to a terminal; give -o PATH")
    logging.basicConfig(format=f"{PROG}: warning: %(message)s", level=logging.WARNING)
    options = dict(include=args.include, exclude=args.exclude, chunk_size=args.chunk_size,
                   threads=args.threads, progress=not args.quiet)

    started = time.perf_counter()
    cached = None
    try:
        if not args.no_cache:
            try:
                cached = convert_cached(args.inputs, cache_dir=args.cache_dir, **options)
            except OSError as e:
                logging.warning("cannot use the cache (%s); converting without it",
                                e.strerror or e)
        if cached is None:
            summary = Summary()
            ifcs = [open_ifc(path) for path in args.inputs]
            chunks = model_lines(ifcs, summary=summary, **options)
        else:
            summary = cached.summary
            chunks = _read_chunks(cached.path)
        _write(args.output, chunks)
    except (ImportError, IfcReadError, RuntimeError) as e:
        return _fail(str(e))
    except ValueError as e:
        parser.error(str(e))
    except OSError as e:
        return _fail(f"cannot write {args.output}: {e.strerror or e}")

    if not args.quiet:
        classes = ", ".join(f"{n} {c}" for c, n in sorted(summary.objects.items()))
        how = ("from the cache" if cached is not None and cached.hit
               else f"{summary.tessellated} tessellated")
        print(f"{PROG}: {sum(summary.objects.values())} objects, {summary.triangles} triangles "
              f"in {time.perf_counter() - started:.1f} s, {how} ({classes or 'none'}); "
              f"{summary.skipped} without triangles left out", file=sys.stderr)
    return 0


def _read_chunks(path, size=1 << 20):
    with open(path, encoding="utf-8", newline="") as f:
        while chunk := f.read(size):
            yield chunk


def _write(output, chunks):
    if output == "-":
        sys.stdout.writelines(chunks)
        sys.stdout.flush()
    else:
        _write_atomically(output, chunks)


def _write_atomically(path, chunks):
    """Writes next to `path` and renames, so that a failed conversion leaves no
    partial model behind."""
    partial = f"{path}.partial"
    try:
        with open(partial, "w", encoding="utf-8", newline="\n") as f:
            f.writelines(chunks)
        os.replace(partial, path)
    except BaseException:
        try:
            os.remove(partial)
        except OSError:
            pass
        raise

"""The `orvex` command: clash runs that write reports a coordinator can act on.

    orvex clash structure.ifc services.ifc --touching 0.001 --html report.html --bcf issues.bcf
    orvex clash --set checks.json --baseline last-week.json --json this-week.json
    orvex matrix matrix.json --scheduler tcp://scheduler:8786 --html matrix.html

Exit status: 0 when the run completed (with or without clashes), 1 on bad input (a file
that cannot be read or written), 2 on bad options, 3 with --fail-on-clash when there are
open clashes (new or active), 4 when a matrix run is incomplete (cells failed, for
instance on a model file that cannot be read: the reports hold the other cells and say
which failed; it wins over 3), 130 when interrupted. Messages and the summary go to
standard error; data goes to standard output only for an output named "-".
"""
from __future__ import annotations

import argparse
import contextlib
import gc
import importlib.util
import logging
import math
import os
import sys
import tempfile
import time
from collections import Counter

from orvexkit import __version__
from orvexkit.checks import (CLEARANCE, DEFAULT_GROUP_DISTANCE, GROUP_BY, HARD_BY, KINDS, Check,
                             TypeSelector, apply_baseline, group_clashes, open_clashes, run_checks)
from orvexkit.runs import (InputError, ClashSet, file_digests, load_models, model_sources,
                           read_clash_set)

PROG = "orvex"
EXIT_OK, EXIT_INPUT, EXIT_USAGE, EXIT_CLASHES, EXIT_INCOMPLETE, EXIT_INTERRUPTED = 0, 1, 2, 3, 4, 130

# Outputs: option, what it is, whether "-" (standard output) may stand for a file.
_OUTPUTS = (("json", "orvex JSON", True), ("json_ifcclash", "IfcClash JSON", True),
            ("csv", "CSV", True), ("bcf", "BCF", False), ("html", "HTML", False))


class UsageError(Exception):
    """Options that do not make a run (exit status 2)."""


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, not {text}")
    return value


def _threads(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _names(text: str) -> list[str]:
    return [n for n in text.replace(",", " ").split() if n]


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Clash detection between building "
                                     "models, with reports to act on.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    p = commands.add_parser(
        "clash", help="clash models and write reports",
        description="Clash model A against model B, or A against itself, or run the checks of a "
                    "clash-set file. Models are orvex model texts or IFC files.")
    p.add_argument("models", nargs="*", metavar="MODEL", help="A, and B (default: A with itself)")
    p.add_argument("--set", metavar="FILE", help="run the checks of this clash-set file (JSON)")

    check = p.add_argument_group("the check (not with --set)")
    check.add_argument("--name", help="name of the check in reports (default: hard or clearance)")
    check.add_argument("--hard", nargs="?", type=_number, const=0.0, metavar="TOL",
                       help="crossings deeper than TOL (default 0: every crossing)")
    check.add_argument("--clearance", type=_number, metavar="D",
                       help="also pairs closer than D")
    check.add_argument("--touching", type=_number, metavar="TOL",
                       help="pairs with |distance| <= TOL are of kind touching")
    check.add_argument("--ignore-touching", action="store_true",
                       help="leave touching pairs out (|distance| <= the --touching TOL, else 0)")
    for side in "ab":
        for what in ("include", "exclude"):
            check.add_argument(f"--{side}-{what}", action="extend", type=_names, default=[],
                               metavar="TYPES",
                               help=f"{what} these types on side {side}: IFC classes (with their "
                                    "subclasses) or speckle_types, comma-separated, repeatable")
    check.add_argument("--ignore-same-type", action="store_true",
                       help="leave out pairs of two objects of the same type")
    check.add_argument("--volumetric", action="store_true",
                       help="also duplicates and objects inside others, with the overlap's volume, "
                            "thickness and centre (overlap volumes need the volumes extra)")
    check.add_argument("--hard-by", choices=HARD_BY,
                       help="what decides a hard clash: the surface distance (default) or, with "
                            "'volume', the overlap's thickness (> TOL) for closed meshes; implies "
                            "--volumetric")
    check.add_argument("--tolerance", type=_number, metavar="TOL",
                       help="the hard tolerance, as --hard TOL")
    check.add_argument("--duplicate-tolerance", type=_number, metavar="TOL",
                       help="meshes within TOL of each other are duplicates (default 0.001)")

    _run_options(p)
    m = commands.add_parser(
        "matrix", help="run a clash matrix (many models, many checks) into one report set",
        description="Run every cell of a matrix file (JSON: named models, cells with their "
                    "kind, tolerances and selections) on this machine or on a Dask cluster, "
                    "and write one report set with the cell of every clash.")
    m.add_argument("matrix", metavar="MATRIX", help="the matrix file (JSON)")
    cluster = m.add_argument_group("on a Dask cluster (the distributed extra)")
    cluster.add_argument("--scheduler", metavar="ADDRESS",
                         help="run the cells as tasks on the Dask scheduler at ADDRESS "
                              "(tcp://host:8786)")
    cluster.add_argument("--models-to-workers", choices=("auto", "files", "send"), default="auto",
                         help="files: each worker reads the model files at the given paths; "
                              "send: the models are sent to the workers; auto (default): files "
                              "where every worker has them with the same content")
    _run_options(m)
    return parser


def _run_options(p) -> None:
    run = p.add_argument_group("the run")
    run.add_argument("--threads", type=_threads, metavar="N",
                     help="threads (default: every core; ORVEX_NUM_THREADS caps it)")
    run.add_argument("--baseline", metavar="JSON",
                     help="an earlier run's --json report: mark clashes new, active or resolved")
    run.add_argument("--group-by", choices=GROUP_BY, default="distance",
                     help="groups of clashes (default: distance)")
    run.add_argument("--group-distance", type=_number, default=DEFAULT_GROUP_DISTANCE,
                     metavar="D", help="clashes within D of each other form a group, "
                                       f"transitively (default {DEFAULT_GROUP_DISTANCE:g})")
    run.add_argument("--title", help="title of the reports")
    run.add_argument("--fail-on-clash", action="store_true",
                     help="exit with status 3 when there are open (new or active) clashes")
    run.add_argument("--cache-dir", metavar="DIR", help="IFC conversion cache folder")
    run.add_argument("--no-cache", action="store_true", help="convert IFC files again")
    run.add_argument("-q", "--quiet", action="store_true", help="no progress bar, no summary")

    out = p.add_argument_group("reports (any combination; - is standard output)")
    out.add_argument("--json", metavar="PATH", help="orvex JSON report (a later --baseline)")
    out.add_argument("--json-ifcclash", metavar="PATH", help="IfcClash's result JSON")
    out.add_argument("--csv", metavar="PATH", help="one row per clash")
    out.add_argument("--bcf", metavar="PATH", help="BCF archive, a topic per group or per clash")
    out.add_argument("--bcf-version", choices=("2.1", "3.0"), default="2.1")
    out.add_argument("--bcf-per", choices=("group", "clash"), default="group")
    out.add_argument("--html", metavar="PATH", help="self-contained HTML report with a 3D view")


# --- progress and messages ---------------------------------------------------------------------

class Progress:
    """A bar of the run's steps on standard error, only when it is a terminal (and tqdm is
    installed); otherwise nothing."""

    def __init__(self, enabled: bool, total: int) -> None:
        self.bar = None
        self.started = False
        if enabled:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total, unit="step", leave=False, file=sys.stderr,
                            bar_format="{desc} {bar}| {n_fmt}/{total_fmt} {elapsed}")

    @property
    def enabled(self) -> bool:
        return self.bar is not None

    def step(self, text: str) -> None:
        if self.bar is not None:
            if self.started:
                self.bar.update(1)
            self.started = True
            self.bar.set_description_str(text)

    def topics(self, done: int, total: int) -> None:
        if self.bar is not None:
            self.bar.set_description_str(f"writing BCF: topic {done} of {total}")

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _say(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr)


# --- the run -----------------------------------------------------------------------------------

def _outputs(args) -> list[tuple[str, str, str]]:
    """(option, description, path) of the outputs asked for, checked: distinct, "-" at most
    once and only where allowed, none over an input file."""
    chosen = [(option, what, getattr(args, option)) for option, what, _ in _OUTPUTS
              if getattr(args, option) is not None]
    stdout_ok = {option for option, _, ok in _OUTPUTS if ok}
    seen: dict[str, str] = {}
    for option, what, path in chosen:
        flag = "--" + option.replace("_", "-")
        if path == "-":
            if option not in stdout_ok:
                raise UsageError(f"{flag}: the {what} report cannot go to standard output")
            if "-" in seen:
                raise UsageError(f"{flag} and {seen['-']} both write to standard output")
            seen["-"] = flag
            continue
        if not path:
            raise UsageError(f"{flag}: empty path")
        real = os.path.realpath(path)
        if real in seen:
            raise UsageError(f"{flag} and {seen[real]} name the same file {path}")
        seen[real] = flag
    return chosen


def _check_writable(outputs, inputs) -> None:
    """Bad input when an output would replace a model file or goes to a folder that is
    missing or not writable: found before the run rather than after it."""
    for option, what, path in outputs:
        if path == "-":
            continue
        for source in inputs:
            if os.path.exists(path) and os.path.exists(source) and os.path.samefile(path, source):
                raise InputError(f"the {what} report {path} would replace the model file {source}")
        folder = os.path.dirname(os.path.abspath(path))
        try:
            fd, probe = tempfile.mkstemp(prefix=".orvex-", dir=folder)
        except OSError as e:
            raise InputError(f"cannot write {path}: {e.strerror or e}") from None
        os.close(fd)
        os.unlink(probe)
        if os.path.isdir(path):
            raise InputError(f"cannot write {path}: it is a folder")


def _single_check(args, models) -> Check:
    if args.hard is not None and args.tolerance is not None and args.hard != args.tolerance:
        raise UsageError("--hard TOL and --tolerance TOL give two hard tolerances")
    hard = next((t for t in (args.hard, args.tolerance) if t is not None), 0.0)
    name = args.name or ("clearance" if args.clearance is not None else "hard")
    a, b = models[0].name, models[1].name if len(models) > 1 else None
    volumetric = {"volumetric": args.volumetric, "hard_by": args.hard_by or "surface"}
    if args.duplicate_tolerance is not None:
        volumetric["duplicate_tolerance"] = args.duplicate_tolerance
    try:
        return Check(name, a, b, hard=hard, clearance=args.clearance, touching=args.touching,
                     ignore_touching=args.ignore_touching, a_include=args.a_include,
                     a_exclude=args.a_exclude, b_include=args.b_include,
                     b_exclude=args.b_exclude, ignore_same_type=args.ignore_same_type, **volumetric)
    except ValueError as e:
        raise UsageError(str(e)) from None


def _plan(args) -> ClashSet:
    """The models and checks the options ask for."""
    check_options = [f"--{n.replace('_', '-')}" for n in
                     ("name", "hard", "clearance", "touching", "a_include", "a_exclude",
                      "b_include", "b_exclude", "hard_by", "tolerance", "duplicate_tolerance")
                     if getattr(args, n) not in (None, [])]
    check_options += [f"--{n.replace('_', '-')}" for n in ("ignore_touching", "ignore_same_type",
                                                           "volumetric")
                      if getattr(args, n)]
    if args.set is not None:
        if args.models:
            raise UsageError("give models in the clash-set file, not with --set")
        if check_options:
            raise UsageError(f"{check_options[0]}: checks of a clash-set file are set in the file")
        return read_clash_set(args.set)
    if not 1 <= len(args.models) <= 2:
        raise UsageError("give one model (clashed with itself) or two, or --set FILE")
    sources = model_sources(args.models)
    return ClashSet(None, sources, [_single_check(args, sources)])


def _selection_names(checks) -> list[str]:
    return [n for c in checks for n in (*c.a_include, *c.a_exclude, *c.b_include, *c.b_exclude)]


# Reports that show the models' content hashes.
_SHOW_DIGESTS = ("json", "html")


def _write(report, outputs, models, args, progress, digests=None) -> list[str]:
    """Writes the reports; `digests` (file_digests' wait) fills in the models' missing
    hashes before the first report that shows them, so the reports that do not, and the
    HTML page's views and meshes, are made first while the hashing goes on. Each file is
    synced and put in place while the next is made."""
    from orvexkit.reports import records, write_bcf
    from orvexkit.reports._files import finish_in_background
    from orvexkit.reports.geometry import ModelGeometry
    from orvexkit.reports.html import HtmlPage
    written: dict[str, str] = {}
    asked = {option for option, _, _ in outputs}
    geometry = ModelGeometry(models) if asked & {"bcf", "html"} else None
    page = None
    with finish_in_background():
        for option, what, path in sorted(outputs, key=lambda output: output[0] in _SHOW_DIGESTS):
            if digests is not None and option in _SHOW_DIGESTS:
                if "html" in asked:
                    progress.step("writing HTML")
                    page = HtmlPage(report, geometry)
                found, digests = digests(), None
                for m in report.models:
                    m.sha256 = m.sha256 or found.get(m.name)
            if option != "html" or page is None:
                progress.step(f"writing {what}")
            if option == "json":
                records.write_json(report, path)
            elif option == "json_ifcclash":
                records.write_ifcclash(report, path)
            elif option == "csv":
                records.write_csv(report, path)
            elif option == "bcf":
                write_bcf(report, path, geometry, version=args.bcf_version, per=args.bcf_per,
                          resolved=args.baseline is not None, progress=progress.topics)
            else:
                (page or HtmlPage(report, geometry)).write(path)
            if path != "-":
                written[option] = path
    return [path for option, _, path in outputs if option in written]      # in the order asked


def _summary(report, groups, written, seconds, baseline) -> str:
    lines = []
    for m in report.models:
        note = f", {m.diagnostics} diagnostics" if m.diagnostics else ""
        if m.open_meshes is not None:
            note += f", {m.open_meshes} open meshes"
        lines.append(f"{m.name}: {m.objects} objects, {m.triangles} triangles{note} ({m.path})")
    # The volumetric kinds have columns when a check could give them.
    volumetric = any(c.settings.get("volumetric") for c in report.checks)
    shown = KINDS if volumetric else KINDS[:CLEARANCE + 1]
    head = ["check", "a", "b", "clashes", *shown]
    rows = []
    for check in report.checks:
        kinds = Counter(c.kind for c in report.clashes if c.check == check.name)
        if check.error is not None:
            rows.append([check.name, check.a, check.b or "(itself)", "failed", *("" for _ in shown)])
            continue
        rows.append([check.name, check.a, check.b or "(itself)", str(sum(kinds.values())),
                     *(str(kinds[k]) for k in shown)])
    widths = [max(len(r[i]) for r in [head, *rows]) for i in range(len(head))]
    for r in [head, *rows]:
        lines.append("  ".join(c.rjust(w) if i >= 3 else c.ljust(w)
                               for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    total = len(report.clashes)
    line = f"{total} clash{'es' if total != 1 else ''}"
    if groups:
        line += f" in {groups} group{'s' if groups != 1 else ''}"
    if baseline:
        status = Counter(c.status for c in report.clashes)
        parts = [f"{status[s]} {s}" for s in ("new", "active", "approved", "ignored") if status[s]]
        parts.append(f"{len(report.resolved)} resolved")
        line += " (" + ", ".join(parts) + ")"
    lines.append(f"{line}; {seconds:.2f} s")
    failed = [c for c in report.checks if c.error is not None]
    for check in failed:
        lines.append(f"{check.name} failed: {check.error}")
    if failed:
        lines.append(f"incomplete: {len(failed)} of {len(report.checks)} checks failed "
                     f"(exit status {EXIT_INCOMPLETE})")
    if written:
        lines.append("wrote " + ", ".join(written))
    return "\n".join(f"{PROG}: {x}" for x in lines)


def _matrix_plan(args):
    from orvexkit.matrix import read_matrix
    return read_matrix(args.matrix)


def _show_diagnostics(diagnostics) -> None:
    for name, found in diagnostics.items():
        shown = found[:3]
        for d in shown:
            _say(f"{name}: {d.text}")
        if len(found) > len(shown):
            _say(f"{name}: ... {len(found) - len(shown)} more diagnostics")


def _client(args):
    """The Dask client of --scheduler; InputError when dask is missing or the scheduler
    cannot be reached."""
    from orvexkit import distributed as od
    try:
        return od.connect(args.scheduler)
    except ImportError as e:
        raise InputError(str(e)) from None
    except (OSError, TimeoutError, ValueError) as e:
        raise InputError(f"cannot reach the Dask scheduler at {args.scheduler}, or no worker "
                         f"joined it: {e or type(e).__name__}") from None


def _run_matrix(args, plan, outputs, progress):
    """(report, models for the reports' geometry, failed cells) of `orvex matrix`."""
    from orvexkit.matrix import run_matrix
    from orvexkit.runs import load_model
    client = _client(args) if args.scheduler else None
    try:
        run = run_matrix(plan, client, threads=args.threads, mode=args.models_to_workers,
                         title=args.title, cache_dir=args.cache_dir, use_cache=not args.no_cache,
                         step=progress.step)
    finally:
        if client is not None:
            client.close()
    if not args.quiet:
        _show_diagnostics(run.diagnostics)
    models = run.models
    if client is not None and any(option in ("bcf", "html") for option, _, _ in outputs):
        # Snapshots and the 3D view need the meshes here: the models with clashes.
        wanted = {ref.model for c in run.report.clashes for ref in (c.a, c.b)}
        for source in plan.models:
            if source.name in wanted:
                progress.step(f"loading {source.name} for the reports")
                models[source.name] = load_model(source, threads=args.threads,
                                                 cache_dir=args.cache_dir)[0]
    return run.report, models, run.failed


@contextlib.contextmanager
def _collector_paused():
    """The cycle collector off: the clash records and reports make objects by the clash
    and hardly any cycles, so its passes over them would cost more than they free."""
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if collecting:
            gc.enable()


def _run(args) -> int:
    started = time.perf_counter()
    matrix = args.command == "matrix"
    plan = _matrix_plan(args) if matrix else _plan(args)
    source = args.matrix if matrix else args.set
    selector = TypeSelector()
    try:
        selector.check_names(_selection_names(plan.checks))
    except ValueError as e:
        if source is not None:
            raise InputError(f"{source}: {e}") from None
        raise UsageError(str(e)) from None
    if any(selector.ifc_class(n) for n in _selection_names(plan.checks)) and not selector.subclasses:
        _say("note: IFC classes select without their subclasses; subclass matching needs "
             "the ifc extra: pip install 'orvex[ifc]'")
    if any(c.volumetric for c in plan.checks) and importlib.util.find_spec("manifold3d") is None:
        raise InputError("volumetric checks need the volumes extra: pip install 'orvex[volumes]'")
    outputs = _outputs(args)

    baseline = None
    if args.baseline is not None:
        from orvexkit.reports.records import read_json
        try:
            baseline = read_json(args.baseline)
        except OSError as e:
            raise InputError(f"cannot read the baseline {args.baseline}: {e.strerror or e}") from None
        except ValueError as e:
            raise InputError(f"cannot use the baseline: {e}") from None
    _check_writable(outputs, [s.path for s in plan.models])

    steps = len(plan.models) + len(plan.checks) + len(outputs) + 1
    progress = Progress(not args.quiet and sys.stderr.isatty(), steps)
    failed: dict[str, str] = {}
    digests = None
    try:
        if matrix:
            report, models, failed = _run_matrix(args, plan, outputs, progress)
        else:
            models, infos = load_models(plan.models, threads=args.threads, cache_dir=args.cache_dir,
                                        use_cache=not args.no_cache, progress=progress.enabled,
                                        step=progress.step, digests=False)
            if not args.quiet:
                _show_diagnostics({name: model.diagnostics for name, model in models.items()})
        with _collector_paused():
            if not matrix:
                report = run_checks(plan.checks, models, threads=args.threads, infos=infos,
                                    title=args.title or plan.title,
                                    progress=lambda check: progress.step(f"clash {check.name}"))
                # The files are hashed on the core that the rest of the run, mostly one
                # thread of Python, leaves free; the clashes took both.
                if any(option in _SHOW_DIGESTS for option, _, _ in outputs):
                    digests = file_digests([s for s in plan.models if infos[s.name].sha256 is None])
            progress.step("grouping")
            groups = group_clashes(report.clashes, by=args.group_by, distance=args.group_distance)
            if baseline is not None:
                apply_baseline(report, baseline)
            written = _write(report, outputs, models, args, progress, digests)
    finally:
        progress.close()
    if not args.quiet:
        print(_summary(report, groups, written, time.perf_counter() - started,
                       baseline is not None), file=sys.stderr)
    if failed:
        return EXIT_INCOMPLETE
    if args.fail_on_clash and open_clashes(report):
        return EXIT_CLASHES
    return EXIT_OK


def main(argv=None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_usage(sys.stderr)
        _say("error: give a command, for instance: orvex clash A B --html report.html")
        return EXIT_USAGE
    logging.basicConfig(format=f"{PROG}: warning: %(message)s", level=logging.WARNING)
    try:
        return _run(args)
    except UsageError as e:
        if args.command == "matrix":
            print(f"usage: {PROG} matrix [options] MATRIX", file=sys.stderr)
        else:
            print(f"usage: {PROG} clash [options] A [B] | --set FILE", file=sys.stderr)
        _say(f"error: {e}")
        return EXIT_USAGE
    except InputError as e:
        _say(f"error: {e}")
        return EXIT_INPUT
    except OSError as e:
        # Writing a report failed after the checks ran (disk full, a folder removed...).
        text = e.strerror or str(e)
        if e.filename and str(e.filename) not in text:
            text = f"cannot write {e.filename}: {text}"
        _say(f"error: {text}")
        return EXIT_INPUT
    except KeyboardInterrupt:
        _say("interrupted")
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())

"""What a clash run reads: model files (orvex model texts and IFC files, each loaded once)
and clash-set files (named checks over named models).

    sources = model_sources(["structure.ifc", "services.txt"])
    models, infos = load_models(sources)
    report = orvexkit.checks.run_checks(checks, models, infos=infos)

Problems with the files (missing, unreadable, not a model, a bad clash-set file, IFC
without ifcopenshell) raise InputError with a message for the user.
"""
from __future__ import annotations

import contextlib
import hashlib
import json
import mmap
import os
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

from orvexkit._model import Model
from orvexkit.checks import Check
from orvexkit.reports.model import ModelInfo

IFC_EXTRA = "IFC input needs the ifc extra: pip install 'orvex[ifc]'"
_IFC_MAGIC = b"ISO-10303-21"


class InputError(Exception):
    """A model, clash-set or baseline file that cannot be used; the message says why."""


@dataclass(frozen=True)
class ModelSource:
    """A model of a run: its name in reports and the file it comes from."""

    name: str
    path: str
    units: str = "m"


def is_ifc(path: str) -> bool:
    """An IFC file by its suffix (.ifc) or, whatever the suffix, by its first bytes
    ("ISO-10303-21", the STEP header). InputError when the file cannot be read."""
    if path.lower().endswith(".ifc"):
        return True
    try:
        with open(path, "rb") as f:
            head = f.read(64)
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror or e}") from None
    return head.lstrip(b"\xef\xbb\xbf \t\r\n").startswith(_IFC_MAGIC)


def _stem(path: str) -> str:
    name = os.path.basename(path.rstrip("/\\")) or path
    stem, suffix = os.path.splitext(name)
    return stem if stem and suffix else name


def model_sources(paths: Sequence[str], names: Sequence[str | None] | None = None) -> list[ModelSource]:
    """One source per distinct file (the same file named twice is one model), named by
    `names` or by the file's stem, made unique with " (2)", " (3)"... in order."""
    names = list(names) if names is not None else [None] * len(paths)
    sources: dict[str, ModelSource] = {}
    taken: set[str] = set()
    for path, name in zip(paths, names):
        path = os.fspath(path)
        real = os.path.realpath(path)
        if real in sources:
            continue
        base = name or _stem(path)
        unique, n = base, 1
        while unique in taken:
            n += 1
            unique = f"{base} ({n})"
        taken.add(unique)
        sources[real] = ModelSource(unique, path)
    return list(sources.values())


def _sha256(path: str, out: dict) -> None:
    # Mapped and hashed in one call, which holds the interpreter lock once: read in
    # chunks, the hash would wait for the lock at every chunk while the run computes.
    try:
        with open(path, "rb") as f:
            try:
                with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
                    out["sha256"] = hashlib.sha256(mapped).hexdigest()
            except (ValueError, OSError):     # empty, or not a file that maps
                f.seek(0)
                out["sha256"] = hashlib.file_digest(f, "sha256").hexdigest()
    except OSError as e:
        out["error"] = e


def _load_text(source: ModelSource, threads: int | None, digest: bool) -> tuple[Model, str | None]:
    """The model and, with `digest`, the SHA-256 of its file, hashed on a thread of its
    own while the engine loads (both release the interpreter lock)."""
    wait = file_digests([source]) if digest else dict
    try:
        model = Model(Path(source.path), threads=threads, name=source.name)
    except OSError as e:
        raise InputError(f"cannot read {source.path}: {e.strerror or e}") from None
    except ValueError as e:
        raise InputError(f"cannot load {source.path}: {e}") from None
    finally:
        found = wait()
    return model, found.get(source.name)


def file_digests(sources: Sequence[ModelSource]) -> Callable[[], dict[str, str | None]]:
    """Starts hashing the sources' files on a thread of its own and returns the call that
    waits for it: the SHA-256 of each source's file by its name, None for a file that
    could not be read. The thread runs at the lowest priority where the system allows it
    (Linux), on what the run leaves idle, rather than taking a core from it."""
    digests: dict[str, str | None] = {}

    def run() -> None:
        with contextlib.suppress(AttributeError, OSError):
            # On Linux a thread's id names the thread alone here.
            os.setpriority(os.PRIO_PROCESS, threading.get_native_id(), 19)
        for source in sources:
            out: dict = {}
            _sha256(source.path, out)
            digests[source.name] = out.get("sha256")

    hasher = threading.Thread(target=run, daemon=True)
    hasher.start()

    def wait() -> dict[str, str | None]:
        hasher.join()
        return digests
    return wait


def convert_ifc(source: ModelSource, threads: int | None, cache_dir, use_cache: bool,
                progress: bool) -> tuple[str, str | None]:
    """(the model text's path, the IFC file's SHA-256): the IFC file converted through
    orvex_ifc.convert_cached (read from its cache when converted before)."""
    try:
        import ifcopenshell  # noqa: F401  (the converter's geometry kernel)
    except ImportError:
        raise InputError(IFC_EXTRA) from None
    from orvex_ifc import IfcReadError, convert_cached
    try:
        cached = convert_cached(source.path, threads=threads, cache_dir=cache_dir,
                                use_cache=use_cache, progress=progress)
    except IfcReadError as e:
        raise InputError(str(e)) from None
    except OSError as e:
        raise InputError(f"cannot convert {source.path}: IFC cache: {e.strerror or e}") from None
    return os.fspath(cached.path), cached.sources[0].sha256


def _load_ifc(source: ModelSource, threads: int | None, cache_dir, use_cache: bool,
              progress: bool) -> tuple[Model, str | None]:
    path, digest = convert_ifc(source, threads, cache_dir, use_cache, progress)
    try:
        model = Model(Path(path), threads=threads, name=source.name)
    except (OSError, ValueError) as e:
        raise InputError(f"cannot load the conversion of {source.path}: {e}") from None
    return model, digest


def load_models(sources: Sequence[ModelSource], *, threads: int | None = None, cache_dir=None,
                use_cache: bool = True, progress: bool = False,
                step: Callable[[str], None] | None = None, digests: bool = True
                ) -> tuple[dict[str, Model], dict[str, ModelInfo]]:
    """Loads every source once: (models by name, their ModelInfo by name).

    IFC files go through orvex_ifc.convert_cached (cache_dir, use_cache: its cache; the
    converted text is read from the cache on later runs); `progress` lets it show its
    bar. The info records the file a user gave (the IFC file for IFC) and its SHA-256;
    with `digests` False that of a model text is left None, for the caller to take with
    file_digests once a core is free. `step(text)` is called before each model."""
    models: dict[str, Model] = {}
    infos: dict[str, ModelInfo] = {}
    for source in sources:
        if step is not None:
            step(f"loading {source.name}")
        models[source.name], infos[source.name] = load_model(
            source, threads=threads, cache_dir=cache_dir, use_cache=use_cache, progress=progress,
            digest=digests)
    return models, infos


def load_model(source: ModelSource, *, threads: int | None = None, cache_dir=None,
               use_cache: bool = True, progress: bool = False,
               digest: bool = True) -> tuple[Model, ModelInfo]:
    """One source of load_models: the model and its ModelInfo. InputError when it cannot
    be had."""
    from orvexkit.checks import model_info
    if is_ifc(source.path):
        model, sha256 = _load_ifc(source, threads, cache_dir, use_cache, progress)
    else:
        model, sha256 = _load_text(source, threads, digest)
    return model, model_info(source.name, model, path=source.path, sha256=sha256, units=source.units)


# --- clash-set files ---------------------------------------------------------------------------

@dataclass
class ClashSet:
    """A clash-set file read: its title, the models and the checks over them."""

    title: str | None
    models: list[ModelSource]
    checks: list[Check]


_CHECK_KEYS = {"name", "a", "b", "hard", "clearance", "touching", "ignore_touching", "a_include",
               "a_exclude", "b_include", "b_exclude", "ignore_same_type", "volumetric", "hard_by",
               "duplicate_tolerance"}


def _names(value, where) -> tuple[str, ...]:
    """Type names from "IfcBeam,IfcColumn" or ["IfcBeam", "IfcColumn"]."""
    items = [value] if isinstance(value, str) else value
    if not isinstance(items, list) or not all(isinstance(x, str) for x in items):
        raise InputError(f"{where}: expected a string or a list of strings")
    return tuple(n for x in items for n in x.replace(",", " ").split())


def read_clash_set(path) -> ClashSet:
    """Reads a clash-set file (JSON; see the README):

        {"title": "...",                               (optional)
         "models": {"structure": "structure.ifc",      (optional: names for files)
                    "services": {"path": "services.txt", "units": "m"}},
         "checks": [{"name": "hard", "a": "structure", "b": "services", "touching": 0.001},
                    {"name": "ducts", "a": "services.txt", "a_include": ["Duct"]}]}

    A check's "a" and "b" name a model of "models" or a file; relative paths are taken
    from the set file's folder, and each file is one model however many checks use it.
    A check has the members of orvexkit.checks.Check; "hard": true means hard 0.
    A bare list is taken as the list of checks."""
    path = os.fspath(path)
    return clash_set(read_json_file(path), path)


def read_json_file(path: str):
    """The JSON value in the file at `path`; InputError when it cannot be read or parsed."""
    try:
        with open(path, "rb") as f:
            return json.loads(f.read().decode("utf-8"))
    except OSError as e:
        raise InputError(f"cannot read {path}: {e.strerror or e}") from None
    except (UnicodeDecodeError, ValueError) as e:
        raise InputError(f"{path} is not JSON: {e}") from None


def clash_set(top, path: str) -> ClashSet:
    """The clash set of a clash-set file's JSON value `top` (see read_clash_set); `path` is
    the file, for messages and relative paths."""
    if isinstance(top, list):
        top = {"checks": top}
    if not isinstance(top, dict):
        raise InputError(f"{path}: expected an object with \"checks\"")
    unknown = set(top) - {"title", "models", "checks"}
    if unknown:
        raise InputError(f"{path}: unknown member {sorted(unknown)[0]!r}")
    folder = os.path.dirname(os.path.abspath(path))

    def located(file):
        return file if os.path.isabs(file) else os.path.join(folder, file)

    title = top.get("title")
    if title is not None and not isinstance(title, str):
        raise InputError(f"{path}: \"title\" must be a string")
    named: dict[str, tuple[str, str]] = {}
    declared = top.get("models", {})
    if not isinstance(declared, dict):
        raise InputError(f"{path}: \"models\" must be an object of name: file")
    for name, entry in declared.items():
        units = "m"
        if isinstance(entry, dict):
            extra = set(entry) - {"path", "units"}
            if (extra or not isinstance(entry.get("path"), str)
                    or not isinstance(entry.get("units", "m"), str)):
                raise InputError(f"{path}: model {name!r}: expected "
                                 "{\"path\": file, \"units\": text}")
            entry, units = entry["path"], entry.get("units", "m")
        if not isinstance(entry, str) or not entry:
            raise InputError(f"{path}: model {name!r}: expected a file name")
        named[name] = (located(entry), units)

    checks_in = top.get("checks")
    if not isinstance(checks_in, list) or not checks_in:
        raise InputError(f"{path}: \"checks\" must be a non-empty list")
    files: list[str] = []
    names: list[str | None] = []
    units_of: dict[str, str] = {}
    for name, (file, units) in named.items():
        files.append(file)
        names.append(name)
        units_of[os.path.realpath(file)] = units
    raw = []
    for i, entry in enumerate(checks_in, 1):
        where = f"{path}: check {i}"
        if not isinstance(entry, dict):
            raise InputError(f"{where}: expected an object")
        unknown = set(entry) - _CHECK_KEYS
        if unknown:
            raise InputError(f"{where}: unknown member {sorted(unknown)[0]!r}")
        for side in ("a", "b"):
            ref = entry.get(side)
            if side == "a" and ref is None:
                raise InputError(f"{where}: \"a\" is missing")
            if ref is not None and (not isinstance(ref, str) or not ref):
                raise InputError(f"{where}: {side!r} must be a model name or a file")
            if ref is not None and ref not in named:
                files.append(located(ref))
                names.append(None)
        raw.append((where, entry))
    sources = model_sources(files, names)
    by_file = {os.path.realpath(s.path): s for s in sources}
    sources = [ModelSource(s.name, s.path, units_of.get(os.path.realpath(s.path), "m"))
               for s in sources]

    def model_name(ref):
        if ref is None:
            return None
        file = named[ref][0] if ref in named else located(ref)
        return by_file[os.path.realpath(file)].name

    checks = []
    for i, (where, entry) in enumerate(raw, 1):
        options = {k: v for k, v in entry.items() if k not in ("name", "a", "b")}
        if options.get("hard") is True:
            options["hard"] = 0.0
        for key in ("a_include", "a_exclude", "b_include", "b_exclude"):
            if key in options:
                options[key] = _names(options[key], f"{where}: {key}")
        for key in ("ignore_touching", "ignore_same_type", "volumetric"):
            if key in options and not isinstance(options[key], bool):
                raise InputError(f"{where}: {key} must be true or false")
        name = entry.get("name", f"check {i}")
        if not isinstance(name, str):
            raise InputError(f"{where}: \"name\" must be a string")
        try:
            checks.append(Check(name, model_name(entry["a"]), model_name(entry.get("b")), **options))
        except ValueError as e:
            raise InputError(f"{where}: {e}") from None
    names_seen = [c.name for c in checks]
    for name in names_seen:
        if names_seen.count(name) > 1:
            raise InputError(f"{path}: two checks are named {name!r}")
    used = {n for c in checks for n in (c.a, c.b) if n is not None}
    return ClashSet(title, [s for s in sources if s.name in used], checks)

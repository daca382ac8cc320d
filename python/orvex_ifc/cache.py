"""Converted model texts kept by the content of their IFC files.

An entry is two files in <cache folder>/ifc/: KEY.txt, the model text, and
KEY.json, which records the key, the text's length and SHA-256, the sources and
the conversion's summary and warnings. KEY is the SHA-256 of the inputs' contents
and of everything else the text depends on (options, converter revision,
ifcopenshell version). Each file is written under a temporary name and renamed
into place, the text first, so a reader sees whole files only; an entry is used
only when its record names its key and its text has the recorded length and hash,
so a damaged, half-replaced or foreign entry is converted again, never read.
Concurrent conversions of the same inputs write the same text and leave a valid
entry whichever rename comes last.
"""

import hashlib
import importlib.metadata
import json
import logging
import os
import pathlib
import tempfile
from collections import Counter
from dataclasses import asdict, dataclass

from .converter import (CONVERTER_REVISION, DEFAULT_CHUNK_SIZE, IfcReadError, Summary,
                        check_options, model_lines, open_ifc)

log = logging.getLogger("orvex_ifc")

# Layout of an entry; part of the key.
_FORMAT = 1
_BLOCK = 1 << 20


@dataclass(frozen=True)
class Source:
    """One input file as it was converted."""
    path: str
    sha256: str
    size: int


@dataclass(frozen=True)
class CachedModel:
    """A model text in the cache and what it was made from."""
    path: pathlib.Path  # the model text: UTF-8, lines ending in "\n"
    key: str
    hit: bool  # True when the text was found in the cache, False when converted by this call
    sources: tuple  # of Source, in the order given
    summary: Summary

    def read_text(self):
        return self.path.read_text(encoding="utf-8")


def default_cache_dir():
    """$XDG_CACHE_HOME/orvex, or ~/.cache/orvex when that variable is unset or not an
    absolute path."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return pathlib.Path(base) / "orvex"


def convert_cached(paths, *, include=None, exclude=None, chunk_size=DEFAULT_CHUNK_SIZE,
                   threads=None, cache_dir=None, use_cache=True, progress=False):
    """The model text of an IFC file, or of the files of a sequence of paths
    together (the partitions of one federated model), from the cache when it holds
    a valid conversion of the same file contents with the same options, otherwise
    converted now and stored. Returns a CachedModel whose `path` names the text.

    Options are those of model_lines. `threads` does not change the text and is not
    part of the key. `cache_dir` is the cache folder (default: default_cache_dir());
    entries go to its subfolder "ifc". With `use_cache` False the files are
    converted whatever the cache holds and the entry is replaced.

    A conversion's warnings are logged again when its entry is used. Raises
    IfcReadError for an input that cannot be read or that changed while it was
    converted, ValueError for bad options, OSError when the cache cannot be
    written."""
    check_options(chunk_size, threads)
    paths = [os.fspath(p) for p in (paths if isinstance(paths, (list, tuple)) else [paths])]
    sources = [_source(p) for p in paths]
    key = _key(sources, include, exclude, chunk_size)
    folder = pathlib.Path(cache_dir if cache_dir is not None else default_cache_dir()) / "ifc"
    text_path, record_path = folder / f"{key}.txt", folder / f"{key}.json"

    if use_cache:
        found = _valid_record(key, text_path, record_path)
        if found is not None:
            record, summary = found
            for message in record["warnings"]:
                log.warning("%s", message)
            return CachedModel(text_path, key, True, tuple(sources), summary)

    # Options are checked and files opened before anything is written.
    ifcs = [open_ifc(p) for p in paths]
    summary = Summary()
    lines = model_lines(ifcs, include=include, exclude=exclude, chunk_size=chunk_size,
                        threads=threads, progress=progress, summary=summary)
    folder.mkdir(parents=True, exist_ok=True)

    def unchanged():
        for source in sources:
            if _source(source.path) != source:
                raise IfcReadError(f"{source.path} changed while it was converted")

    with _Warnings() as warnings:
        length, digest = _write_atomically(text_path, lines, before_rename=unchanged)
    record = {"key": key, "length": length, "sha256": digest,
              "sources": [asdict(s) for s in sources], "summary": _summary_record(summary),
              "warnings": warnings.messages}
    _write_atomically(record_path, [json.dumps(record, indent=1) + "\n"])
    return CachedModel(text_path, key, False, tuple(sources), summary)


def _source(path):
    digest = hashlib.sha256()
    size = 0
    try:
        with open(path, "rb") as f:
            while block := f.read(_BLOCK):
                digest.update(block)
                size += len(block)
    except OSError as e:
        raise IfcReadError(f"cannot read {path}: {e.strerror or e}") from e
    return Source(path, digest.hexdigest(), size)


def _key(sources, include, exclude, chunk_size):
    try:
        kernel = importlib.metadata.version("ifcopenshell")
    except importlib.metadata.PackageNotFoundError:
        kernel = None
    described = {
        "format": _FORMAT, "converter": CONVERTER_REVISION, "ifcopenshell": kernel,
        "inputs": [s.sha256 for s in sources],
        "include": sorted(set(include or ())),
        "exclude": None if exclude is None else sorted(set(exclude)),
        "chunk_size": chunk_size,
    }
    return hashlib.sha256(json.dumps(described, sort_keys=True).encode()).hexdigest()


def _valid_record(key, text_path, record_path):
    """(record, Summary) of the entry when it is whole and belongs to `key`, else
    None."""
    try:
        record = json.loads(record_path.read_text(encoding="utf-8"))
        valid = (isinstance(record, dict) and record.get("key") == key
                 and isinstance(record.get("warnings"), list)
                 and text_path.stat().st_size == record.get("length")
                 and _sha256(text_path) == record.get("sha256"))
        summary = _summary(record["summary"]) if valid else None
    except (FileNotFoundError, NotADirectoryError):
        return None
    except (OSError, ValueError, TypeError, KeyError) as e:
        log.warning("cache entry %s is unreadable (%s); converting again", record_path, e)
        return None
    if not valid:
        log.warning("cache entry %s is damaged; converting again", text_path)
        return None
    return record, summary


def _sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while block := f.read(_BLOCK):
            digest.update(block)
    return digest.hexdigest()


def _write_atomically(path, lines, before_rename=None):
    """Writes `lines` under a temporary name in the same folder and renames it to
    `path` unless `before_rename` raises; returns (length in bytes, SHA-256 hex) of
    what was written. Nothing is left behind when writing fails."""
    fd, partial = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".partial")
    digest = hashlib.sha256()
    length = 0
    try:
        with open(fd, "wb") as f:
            for line in lines:
                data = line.encode("utf-8")
                digest.update(data)
                length += len(data)
                f.write(data)
        if before_rename is not None:
            before_rename()
        os.replace(partial, path)
    except BaseException:
        try:
            os.remove(partial)
        except OSError:
            pass
        raise
    return length, digest.hexdigest()


def _summary_record(summary):
    record = asdict(summary)
    record["objects"] = dict(summary.objects)
    return record


def _summary(record):
    values = dict(record)
    values["objects"] = Counter(dict(values["objects"]))
    return Summary(**values)


class _Warnings(logging.Handler):
    """Collects the messages the converter logs on this thread while active."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.messages = []
        self.addFilter(lambda record: record.thread == self.thread)

    def emit(self, record):
        self.messages.append(record.getMessage())

    def __enter__(self):
        import threading
        self.thread = threading.get_ident()
        log.addHandler(self)
        return self

    def __exit__(self, *exc):
        log.removeHandler(self)

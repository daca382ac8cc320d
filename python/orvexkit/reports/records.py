"""Reports as records: orvex's own JSON (written, and read back as the baseline of the next
run), IfcClash's result JSON, and CSV with one row per clash.

Each writer takes a path, or "-" for standard output; a file is written whole under a
temporary name and renamed, so a failure never leaves part of one.
"""
from __future__ import annotations

import contextlib
import csv
import io
import json
import math
import re
import sys
from pathlib import Path

from orvexkit import _native

from ._files import atomic_output
from .model import CheckInfo, Clash, ModelInfo, ObjectRef, Report

FORMAT = "orvex clash report"
VERSION = 1

_STATUSES = ("new", "active", "resolved", "approved", "ignored")


@contextlib.contextmanager
def _output(path):
    """A binary file for `path`; "-" is standard output."""
    if str(path) == "-":
        out = sys.stdout.buffer
        yield out
        out.flush()
    else:
        with atomic_output(path) as f:
            yield f


def _number(x):
    """A float for JSON: None for None, NaN and infinities (JSON has none)."""
    if x is None:
        return None
    x = float(x)
    return x if math.isfinite(x) else None


def _point(p):
    if p is None:
        return None
    p = [float(c) for c in p]
    return p if all(map(math.isfinite, p)) else [x if math.isfinite(x) else None for x in p]


def _object(ref: ObjectRef) -> dict:
    return {"model": ref.model, "key": ref.key, "type": ref.type, "name": ref.name,
            "level": ref.level}


def _clash(c: Clash) -> dict:
    out = {"id": c.id, "check": c.check, "kind": c.kind, "status": c.status, "group": c.group,
           "dist": _number(c.dist), "previous_dist": _number(c.previous_dist),
           "point_a": _point(c.point_a), "point_b": _point(c.point_b),
           "a": _object(c.a), "b": _object(c.b)}
    for name in ("volume", "thickness"):
        if getattr(c, name) is not None:
            out[name] = _number(getattr(c, name))
    if c.centre is not None:
        out["centre"] = _point(c.centre)
    if c.contained is not None:
        out["contained"] = c.contained
    if c.approximate:
        out["approximate"] = True
    if c.extra:
        out["extra"] = c.extra
    return out


def _head(report: Report) -> dict:
    """The report's members before its clashes."""
    return {"format": FORMAT, "version": VERSION, "title": report.title,
            "created": report.created, "tool": report.tool,
            "models": [{"name": m.name, "path": m.path, "sha256": m.sha256, "objects": m.objects,
                        "triangles": m.triangles, "diagnostics": m.diagnostics, "units": m.units,
                        **({"open_meshes": m.open_meshes} if m.open_meshes is not None else {})}
                       for m in report.models],
            "checks": [{"name": c.name, "a": c.a, "b": c.b, "settings": c.settings,
                        **({"error": c.error} if c.error is not None else {})}
                       for c in report.checks]}


def report_dict(report: Report) -> dict:
    """The report in orvex's JSON schema (see the README)."""
    return {**_head(report), "clashes": [_clash(c) for c in report.clashes],
            "resolved": [_clash(c) for c in report.resolved]}


def write_json(report: Report, path) -> None:
    """Writes the report in orvex's JSON schema, UTF-8, one clash per line."""
    encode = json.JSONEncoder(ensure_ascii=False, allow_nan=False, default=str).encode

    def rows(clashes) -> bytes:
        # The engine writes the rows of plain clashes; Python the others, the same way.
        native = _native.clash_rows(list(clashes), "json")
        if native is not None:
            return native
        items = [encode(_clash(c)) for c in clashes]
        return _json_bytes("[\n  " + ",\n  ".join(items) + "\n ]" if items else "[]")

    head = encode(_head(report))
    with _output(path) as f:
        f.write(b"".join([_json_bytes(f'{head[:-1]},\n "clashes": '), rows(report.clashes),
                          b',\n "resolved": ', rows(report.resolved), b"\n}\n"]))


def _json_bytes(text: str) -> bytes:
    """UTF-8 of JSON text. A lone surrogate (a name read from "\\ud800") can only stand in a
    string, where backslashreplace writes it as the JSON escape it was read from."""
    return text.encode("utf-8", "backslashreplace")


# --- reading a report back ---------------------------------------------------------------------

class ReportError(ValueError):
    """A file that is not a readable orvex JSON report."""


def _get(obj, name, kinds, where, optional=False):
    if not isinstance(obj, dict):
        raise ReportError(f"{where}: expected an object")
    if name not in obj or (optional and obj[name] is None):
        if optional:
            return None
        raise ReportError(f"{where}: {name!r} is missing")
    value = obj[name]
    if not isinstance(value, kinds) or isinstance(value, bool) and bool not in kinds:
        raise ReportError(f"{where}: {name!r} has the wrong type ({type(value).__name__})")
    return value


def _read_point(obj, name, where, optional=False):
    p = _get(obj, name, (list,), where, optional)
    if p is None:
        return None
    if len(p) != 3 or not all(isinstance(x, (int, float)) and not isinstance(x, bool) for x in p):
        raise ReportError(f"{where}: {name!r} must be three numbers")
    return tuple(float(x) for x in p)


def _read_object(obj, where) -> ObjectRef:
    return ObjectRef(_get(obj, "model", (str,), where), _get(obj, "key", (str,), where),
                     _get(obj, "type", (str,), where), _get(obj, "name", (str,), where, True),
                     _get(obj, "level", (str,), where, True))


def _read_clash(obj, where) -> Clash:
    number = (int, float)
    status = _get(obj, "status", (str,), where)
    if status not in _STATUSES:
        raise ReportError(f"{where}: status {status!r} is none of {', '.join(_STATUSES)}")
    dist = _get(obj, "dist", number, where, True)
    previous = _get(obj, "previous_dist", number, where, True)
    volume = _get(obj, "volume", number, where, True)
    thickness = _get(obj, "thickness", number, where, True)
    extra = _get(obj, "extra", (dict,), where, True) or {}
    contained = _get(obj, "contained", (str,), where, True)
    if contained not in (None, "a", "b"):
        raise ReportError(f"{where}: \"contained\" must be \"a\" or \"b\", not {contained!r}")
    return Clash(_get(obj, "id", (str,), where), _get(obj, "check", (str,), where),
                 _get(obj, "kind", (str,), where), math.nan if dist is None else float(dist),
                 _read_point(obj, "point_a", where), _read_point(obj, "point_b", where),
                 _read_object(_get(obj, "a", (dict,), where), f"{where}, a"),
                 _read_object(_get(obj, "b", (dict,), where), f"{where}, b"),
                 _get(obj, "group", (str,), where, True), status,
                 None if previous is None else float(previous),
                 None if volume is None else float(volume),
                 None if thickness is None else float(thickness),
                 _read_point(obj, "centre", where, True), extra, contained,
                 bool(_get(obj, "approximate", (bool,), where, True)))


def read_json(path) -> Report:
    """An orvex JSON report read back (for instance last week's, as a baseline).

    Raises OSError when the file cannot be read and ReportError (a ValueError) naming
    what is wrong when it is not such a report."""
    path = Path(path)
    data = path.read_bytes()
    try:
        top = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as e:
        raise ReportError(f"{path} is not JSON: {e}") from None
    if not isinstance(top, dict) or top.get("format") != FORMAT:
        raise ReportError(f"{path} is not an orvex clash report (its \"format\" is not {FORMAT!r})")
    version = top.get("version")
    if not isinstance(version, int) or isinstance(version, bool) or version > VERSION:
        raise ReportError(f"{path}: report version {version!r} is not one this orvex reads "
                          f"(up to {VERSION})")
    where = str(path)
    models = [ModelInfo(_get(m, "name", (str,), f"{where}: model {i}"),
                        _get(m, "path", (str,), f"{where}: model {i}", True),
                        _get(m, "sha256", (str,), f"{where}: model {i}", True),
                        _get(m, "objects", (int,), f"{where}: model {i}"),
                        _get(m, "triangles", (int,), f"{where}: model {i}"),
                        _get(m, "diagnostics", (int,), f"{where}: model {i}"),
                        _get(m, "units", (str,), f"{where}: model {i}"),
                        _get(m, "open_meshes", (int,), f"{where}: model {i}", True))
              for i, m in enumerate(_get(top, "models", (list,), where))]
    checks = [CheckInfo(_get(c, "name", (str,), f"{where}: check {i}"),
                        _get(c, "a", (str,), f"{where}: check {i}"),
                        _get(c, "b", (str,), f"{where}: check {i}", True),
                        _get(c, "settings", (dict,), f"{where}: check {i}"),
                        _get(c, "error", (str,), f"{where}: check {i}", True))
              for i, c in enumerate(_get(top, "checks", (list,), where))]
    clashes = [_read_clash(c, f"{where}: clash {i}")
               for i, c in enumerate(_get(top, "clashes", (list,), where))]
    resolved = [_read_clash(c, f"{where}: resolved clash {i}")
                for i, c in enumerate(_get(top, "resolved", (list,), where))]
    return Report(_get(top, "title", (str,), where), _get(top, "created", (str,), where),
                  _get(top, "tool", (str,), where), models, checks, clashes, resolved)


# --- IfcClash's result schema ------------------------------------------------------------------

# Our kinds as IfcClash's clash types: it calls meshes that cross, touch or overlap a
# collision.
_IFCCLASH_TYPE = {"crossing": "collision", "touching": "collision", "clearance": "clearance",
                  "duplicate": "collision", "contained": "collision"}


def _ifc_class(type_name: str) -> str:
    """ "IFC.IfcBeam" -> "IfcBeam"; other types as they are."""
    return type_name[4:] if type_name.startswith("IFC.") else type_name


def ifcclash_sets(report: Report, files: dict[str, list[str]] | None = None) -> list[dict]:
    """The report as IfcClash's list of clash sets, one per check, with IfcClash's mode
    for the check ("clearance" with a clearance, "intersection" with the hard tolerance
    when it is above 0, else "collision"), its sources as {"file": path} (`files` maps a
    model name to its files; default: the model's path) and its clashes keyed by
    "<a key>-<b key>", with the group's number as IfcClash's "smart_group". IfcClash's
    distance is not signed: crossings give their depth, other clashes their gap."""
    paths = {m.name: [m.path] if m.path else [] for m in report.models}
    paths.update(files or {})
    sets = []
    by_check: dict[str, dict] = {}
    for check in report.checks:
        s = check.settings
        clash_set: dict = {"name": check.name,
                           "a": [{"file": f} for f in paths.get(check.a, [])]}
        if check.b is not None:
            clash_set["b"] = [{"file": f} for f in paths.get(check.b, [])]
        if s.get("clearance") is not None:
            clash_set.update(mode="clearance", clearance=s["clearance"], check_all=True)
        elif s.get("hard", 0):
            clash_set.update(mode="intersection", tolerance=s["hard"], check_all=True)
        else:
            touching = s.get("touching") is not None and not s.get("ignore_touching")
            clash_set.update(mode="collision", allow_touching=not touching)
        clash_set["clashes"] = by_check[check.name] = {}
        sets.append(clash_set)
    for c in report.clashes:
        clashes = by_check.get(c.check)
        if clashes is None:
            continue
        clashes[f"{c.a.key}-{c.b.key}"] = {
            "a_global_id": c.a.key, "b_global_id": c.b.key,
            "a_ifc_class": _ifc_class(c.a.type), "b_ifc_class": _ifc_class(c.b.type),
            "a_name": c.a.name, "b_name": c.b.name, "type": _IFCCLASH_TYPE.get(c.kind, c.kind),
            "p1": _point(c.point_a), "p2": _point(c.point_b),
            "distance": _number(abs(c.dist))}
        if c.group and c.group[1:].isdigit():
            clashes[f"{c.a.key}-{c.b.key}"]["smart_group"] = int(c.group[1:])
    return sets


def write_ifcclash(report: Report, path, files: dict[str, list[str]] | None = None) -> None:
    """Writes ifcclash_sets(report, files) as IfcClash writes its results (JSON, indent 4)."""
    text = json.dumps(ifcclash_sets(report, files), indent=4, ensure_ascii=False, allow_nan=False)
    with _output(path) as f:
        f.write(_json_bytes(text + "\n"))


# --- CSV -------------------------------------------------------------------------------------

CSV_COLUMNS = ("id", "check", "kind", "status", "group", "dist", "previous_dist",
               "a_model", "a_key", "a_type", "a_name", "a_level",
               "b_model", "b_key", "b_type", "b_name", "b_level",
               "point_a_x", "point_a_y", "point_a_z", "point_b_x", "point_b_y", "point_b_z",
               "volume", "thickness", "centre_x", "centre_y", "centre_z", "contained")


_LONE_SURROGATE = re.compile("[\ud800-\udfff]")


def _finite(x):
    """A float cell: empty (None) for a missing or non-finite value."""
    return None if x is None or not math.isfinite(x) else x


def write_csv(report: Report, path) -> None:
    """One row per clash, the current ones then the resolved ones, with the CSV_COLUMNS
    header; UTF-8, comma-separated, quoted where needed, empty cells for missing values."""
    clashes = [*report.clashes, *report.resolved]
    rows = _native.clash_rows(clashes, "csv")     # the engine's rows of plain clashes
    if rows is not None:
        with _output(path) as f:
            f.write(",".join(CSV_COLUMNS).encode("ascii") + b"\r\n" + rows)
        return
    buffer = io.StringIO(newline="")
    out = csv.writer(buffer, lineterminator="\r\n")
    out.writerow(CSV_COLUMNS)
    # The writer leaves None empty and writes floats as repr() does.
    out.writerows([
        c.id, c.check, c.kind, c.status, c.group, _finite(c.dist), _finite(c.previous_dist),
        c.a.model, c.a.key, c.a.type, c.a.name, c.a.level,
        c.b.model, c.b.key, c.b.type, c.b.name, c.b.level,
        *(_finite(float(v)) for v in c.point_a), *(_finite(float(v)) for v in c.point_b),
        _finite(c.volume), _finite(c.thickness),
        *(_finite(float(v)) for v in c.centre or (math.nan,) * 3), c.contained]
        for c in clashes)
    with _output(path) as f:
        f.write(_LONE_SURROGATE.sub("\ufffd", buffer.getvalue()).encode("utf-8"))

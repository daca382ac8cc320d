"""Clash work on a Dask cluster (dask.distributed): models loaded once per worker, tasks
that name their models rather than carry them, and one huge pair cut into shards.

    from distributed import Client
    import orvexkit.distributed as od

    client = Client("tcp://scheduler:8786")
    result = od.clash_sharded(client, Path("structure.txt"), Path("services.txt"), shards=16)

How a model reaches a worker (place_models): by default each worker reads the model file
itself, at the path the client gives, once, and only if the file there has the content the
client means (its SHA-256; a worker caches the hash of a file by its identity, size and
time, so a file is hashed once); a model loaded this way stays in the worker's memory for
the following tasks until release_models. A model that some worker cannot read so (paths
not shared, or other content) is loaded by the client and handed to Dask instead (pickled
through the engine's serialisation): each worker that needs it receives it once, from the
client or from a worker that has it. Tasks then carry only a ModelRef (name, path, hash)
or the key of the handed-over model, their few arguments, and bring back their rows.

Dask reruns a task whose worker dies (up to the scheduler's allowed-failures, 3 by
default); every task here is a pure function of its models and arguments, so a rerun
gives the same result. A task that fails (a model no worker can read) fails only itself:
run_tasks reports it and the others complete.

dask.distributed is an optional extra: pip install 'orvex[distributed]'.
"""
from __future__ import annotations

import hashlib
import os
import threading
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from orvexkit._clash import DEFAULT_REACH, ClashResult
from orvexkit._model import Model
from orvexkit._threads import default_threads

DISTRIBUTED_EXTRA = "running on a Dask cluster needs the distributed extra: pip install 'orvex[distributed]'"


def _distributed() -> Any:
    try:
        import distributed
    except ImportError:
        raise ImportError(DISTRIBUTED_EXTRA) from None
    return distributed


def connect(address: str, timeout: float = 30.0) -> Any:
    """A dask.distributed Client of the scheduler at `address` ("tcp://host:8786"), once a
    worker has joined it. OSError or TimeoutError when that does not happen in `timeout`
    seconds (each)."""
    client = _distributed().Client(address, timeout=timeout)
    try:
        client.wait_for_workers(1, timeout=timeout)
    except BaseException:
        client.close()
        raise
    return client


@dataclass(frozen=True)
class ModelRef:
    """A model file as the workers find it: its name in the run, its path and the SHA-256 of
    the content the run means."""

    name: str
    path: str
    sha256: str


class ModelUnavailable(Exception):
    """A worker cannot get the model a task needs; the message names the file and why."""


@dataclass(frozen=True)
class TaskFailure:
    """What run_tasks gives for a task that did not complete: why, for a person, and the
    exception (None when the task never ran)."""

    message: str
    error: BaseException | None = None


# --- on the workers ------------------------------------------------------------------------------

# Per worker process: models by content hash, and the content hashes of files by identity.
_models: dict[str, Model] = {}
_digests: dict[tuple[int, int, int, int], str] = {}
_lock = threading.Lock()
_loading: dict[str, threading.Lock] = {}


def file_sha256(path: str) -> str:
    """SHA-256 of the file at `path`, hashed once per (device, inode, size, mtime) in this
    process. OSError when it cannot be read."""
    st = os.stat(path)
    identity = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    digest = _digests.get(identity)
    if digest is None:
        with open(path, "rb") as f:
            digest = hashlib.file_digest(f, "sha256").hexdigest()
        _digests[identity] = digest
    return digest


def worker_model(ref: ModelRef) -> Model:
    """The model `ref` names, loaded from its file by this process on first use and kept.
    ModelUnavailable when the file cannot be read or loaded or holds other content."""
    with _lock:
        model = _models.get(ref.sha256)
        if model is not None:
            return model
        loading = _loading.setdefault(ref.sha256, threading.Lock())
    with loading:                      # one load per model, while other models load too
        model = _models.get(ref.sha256)
        if model is not None:
            return model
        try:
            digest = file_sha256(ref.path)
        except OSError as e:
            raise ModelUnavailable(f"cannot read {ref.path}: {e.strerror or e}") from None
        if digest != ref.sha256:
            raise ModelUnavailable(f"{ref.path} holds other content here than the run's "
                                   f"(SHA-256 {digest[:12]}..., not {ref.sha256[:12]}...)")
        try:
            model = Model(Path(ref.path), threads=engine_threads(), name=ref.name)
        except (OSError, ValueError) as e:
            raise ModelUnavailable(f"cannot load {ref.path}: {e}") from None
        with _lock:
            _models[ref.sha256] = model
    return model


def engine_threads() -> int:
    """Threads for the engine in a task: the cores shared among the worker's task threads
    (a worker started with --nthreads 1 gives every core to each task)."""
    try:
        slots = int(_distributed().get_worker().state.nthreads)
    except (ValueError, AttributeError):           # not on a worker
        slots = 1
    return max(1, default_threads() // max(1, slots))


def _readable(refs: Sequence[ModelRef]) -> list[bool]:
    """For each ref: this worker can read its file and the content is the run's."""
    out = []
    for ref in refs:
        try:
            out.append(file_sha256(ref.path) == ref.sha256)
        except OSError:
            out.append(False)
    return out


def _release(digests: Sequence[str]) -> int:
    with _lock:
        for d in digests:
            _loading.pop(d, None)
        return sum(_models.pop(d, None) is not None for d in digests)


def _digest_task(path: str) -> str:
    try:
        return file_sha256(path)
    except OSError as e:
        raise ModelUnavailable(f"cannot read {path}: {e.strerror or e}") from None


def _task(fn: Callable[..., Any], models: Mapping[str, Any], *args: Any) -> tuple[str, Any]:
    """(this worker's address, fn(models by name, engine threads, *args)) on a worker;
    `models` holds ModelRefs (loaded through the worker's cache) or models Dask delivered."""
    resolved = {name: m if isinstance(m, Model) else worker_model(m) for name, m in models.items()}
    return _distributed().get_worker().address, fn(resolved, engine_threads(), *args)


# --- on the client -------------------------------------------------------------------------------

MODES = ("auto", "files", "send")


def place_models(client: Any, models: Mapping[str, str | os.PathLike[str] | Model], *,
                 mode: str = "auto") -> tuple[dict[str, Any], dict[str, str]]:
    """How each model reaches the workers: (placed by name, failures by name).

    `models` gives a file path or a loaded Model per name. A path is hashed by the client
    (or, when the client cannot read it, by a worker). mode "files": every worker reads the
    files itself (a ModelRef each); "send": the client loads each model and hands it to
    Dask; "auto" (default): files where every current worker can read the file with the
    same content, else send. A Model given loaded is always sent. A model that cannot be
    had (no one can read its file) is in failures with the reason, not in placed.
    """
    if mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}, not {mode!r}")
    placed: dict[str, Any] = {}
    failures: dict[str, str] = {}
    refs: dict[str, ModelRef] = {}
    for name, source in models.items():
        if isinstance(source, Model):
            placed[name] = _send(client, source)
            continue
        path = os.fspath(source)
        try:
            digest = file_sha256(path)
        except OSError as e:
            try:
                digest = client.submit(_digest_task, path, pure=False).result()
            except ModelUnavailable:
                failures[name] = f"cannot read {path}: {e.strerror or e}"
                continue
        refs[name] = ModelRef(name, path, digest)
    if mode == "files":
        placed.update(refs)
        return placed, failures
    shared = {name: mode == "auto" for name in refs}
    if refs and mode == "auto":
        names = list(refs)
        for readable in client.run(_readable, [refs[n] for n in names]).values():
            for name, ok in zip(names, readable):
                shared[name] &= ok
    for name, ref in refs.items():
        if shared[name]:
            placed[name] = ref
            continue
        try:
            model = Model(Path(ref.path), name=name)
        except (OSError, ValueError) as e:
            failures[name] = f"cannot load {ref.path}: {e}"
            continue
        placed[name] = _send(client, model)
    return placed, failures


def _send(client: Any, model: Model) -> Any:
    """The model handed to Dask, on every current worker: data that Dask did not compute
    is lost with the last worker holding it, so each holds a copy (a worker that joins
    later fetches one from a peer)."""
    return client.scatter(model, hash=False, broadcast=True)


def release_models(client: Any, placed: Mapping[str, Any]) -> None:
    """Lets the workers drop the models of `placed` (files they loaded; handed-over models
    go when their futures are released)."""
    digests = [ref.sha256 for ref in placed.values() if isinstance(ref, ModelRef)]
    if digests:
        client.run(_release, digests)


@dataclass(frozen=True)
class Task:
    """One task for run_tasks: fn(models by name, engine threads, *args) on a worker, with
    the models named in `models`; higher `priority` starts first; `worker` (an address)
    is where it should run while that worker is there."""

    fn: Callable[..., Any]
    models: tuple[str, ...]
    args: tuple[Any, ...] = ()
    priority: float = 0.0
    worker: str | None = None


def _failure(error: BaseException) -> str:
    killed = _distributed().KilledWorker
    if isinstance(error, killed):
        return "workers died running it, time after time (see the workers' logs)"
    if isinstance(error, ModelUnavailable):
        return str(error)
    return f"{type(error).__name__}: {error}"


def run_tasks(client: Any, tasks: Sequence[Task], placed: Mapping[str, Any],
              failures: Mapping[str, str] | None = None,
              where: list[str | None] | None = None) -> list[Any]:
    """Runs `tasks` on the cluster and returns their results in the order of `tasks` (a
    TaskFailure for a task that did not complete: a model it names failed to place, it
    raised, or the workers running it kept dying). `where`, a list, receives the address
    of the worker that ran each task (None for one that did not complete)."""
    failures = failures or {}
    out: list[Any] = [None] * len(tasks)
    ran: list[str | None] = [None] * len(tasks)
    futures = {}
    for i, task in enumerate(tasks):
        missing = [failures.get(name, f"no model {name!r}") for name in task.models if name not in placed]
        if missing:
            out[i] = TaskFailure(missing[0])
            continue
        future = client.submit(_task, task.fn, {n: placed[n] for n in task.models}, *task.args,
                               pure=False, priority=task.priority,
                               workers=None if task.worker is None else [task.worker],
                               allow_other_workers=task.worker is not None)
        futures[future] = i
    for future in _distributed().as_completed(list(futures)):
        i = futures[future]
        if future.status == "finished":
            ran[i], out[i] = future.result()
        else:
            error = future.exception()
            out[i] = TaskFailure(_failure(error), error)
        future.release()
    if where is not None:
        where[:] = ran
    return out


# --- one pair in shards --------------------------------------------------------------------------

def _shard(models: Mapping[str, Model], threads: int, shards: int, index: int,
           options: dict[str, Any]) -> ClashResult:
    from orvexkit.shards import clash_shard, shard_plan
    a = models["a"]
    b = models.get("b")
    part = shard_plan(a.object_bounds, shards)[index]
    return clash_shard(a, b, part, threads=threads, **options)


def clash_sharded(client: Any, a: str | os.PathLike[str] | Model,
                  b: str | os.PathLike[str] | Model | None = None, min_dist: float = 0.0, *,
                  shards: int, reach: float = DEFAULT_REACH, select_a: Any = None,
                  select_b: Any = None, mode: str = "auto") -> ClashResult:
    """clash(a, b, min_dist, ...) computed in `shards` tasks on the cluster, one per spatial
    shard of a's objects (orvexkit.shards), and merged: the same rows in the same order,
    bit for bit. a and b are files (read by the workers, see place_models) or Models (sent
    to them); the result carries the Models given, else the keys only (a and b None).
    ModelUnavailable when a worker cannot get a model; a worker that dies is replaced."""
    from orvexkit.shards import merge_shards
    given = {"a": a} if b is None else {"a": a, "b": b}
    placed, failed = place_models(client, given, mode=mode)
    if failed:
        raise ModelUnavailable("; ".join(failed.values()))
    options = {"min_dist": min_dist, "reach": reach, "select_a": select_a, "select_b": select_b}
    tasks = [Task(_shard, tuple(given), (shards, i, options)) for i in range(shards)]
    try:
        results = run_tasks(client, tasks, placed)
    finally:
        release_models(client, placed)
    for r in results:
        if isinstance(r, TaskFailure):
            raise r.error if r.error is not None else ModelUnavailable(r.message)
    merged = merge_shards(results)
    if isinstance(a, Model) and (b is None or isinstance(b, Model)):
        merged = ClashResult(a, a if b is None else b, merged.a_index, merged.b_index, merged.dist,
                             merged.point_a, merged.point_b, merged.min_dist, merged.reach,
                             merged.self_clash)
    return merged


__all__ = ["DISTRIBUTED_EXTRA", "MODES", "ModelRef", "ModelUnavailable", "Task", "TaskFailure",
           "clash_sharded", "connect", "engine_threads", "file_sha256", "place_models",
           "release_models", "run_tasks", "worker_model"]

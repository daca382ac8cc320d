"""Writing report files whole or not at all."""
from __future__ import annotations

import contextlib
import contextvars
import os
import re
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Callable


# Set by finish_in_background: where atomic_output hands its files to be finished.
_finisher: contextvars.ContextVar[Callable | None] = contextvars.ContextVar("finisher", default=None)


@contextlib.contextmanager
def atomic_output(path):
    """Yields a binary file object; on success its content replaces ``path`` in one rename.

    The data goes to a temporary file beside the target and is synced before the rename, so a
    failure at any point (including in the caller's code) leaves the target as it was and no
    partial file behind. A target folder that is missing or not writable raises ``OSError``
    naming the target rather than the temporary file. Within ``finish_in_background`` the
    sync and the rename happen on its thread, and their errors come from its end.
    """
    path = Path(path)
    folder = path.parent
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=folder)
    except OSError as e:
        raise type(e)(e.errno, f"cannot write {path}: {e.strerror}", str(path)) from None
    f = None
    try:
        f = os.fdopen(fd, "wb")
        yield f
        f.flush()
    except BaseException:
        _discard(f, fd, tmp)
        raise
    finisher = _finisher.get()
    if finisher is None:
        _finish(f, tmp, path)
    else:
        finisher(f, tmp, path)


def _finish(f, tmp, path) -> None:
    try:
        os.fsync(f.fileno())
        f.close()
        os.chmod(tmp, 0o666 & ~_UMASK)
        os.replace(tmp, path)
    except BaseException:
        _discard(f, None, tmp)
        raise


def _discard(f, fd, tmp) -> None:
    with contextlib.suppress(OSError):
        if f is not None:
            f.close()
        elif fd is not None:
            os.close(fd)
    with contextlib.suppress(OSError):
        os.unlink(tmp)


@contextlib.contextmanager
def finish_in_background():
    """Files written with ``atomic_output`` within are synced and renamed into place on a
    thread of their own, in the order written, while the caller makes the next one, so
    that the disk's wait overlaps the work. On leaving, every file handed over is finished
    (also when the block raised) and, when the block did not raise, the first error of a
    file that could not be is raised."""
    futures = []
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="orvex-finish") as pool:
        token = _finisher.set(lambda *job: futures.append(pool.submit(_finish, *job)))
        try:
            yield
        finally:
            _finisher.reset(token)
    for future in futures:
        if future.exception() is not None:
            raise future.exception()


def _read_umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# Read once: os.umask can only be read by setting it, which is not safe while threads write files.
# mkstemp creates 0600; the report gets the permissions a plain open() would have given it.
_UMASK = _read_umask()


# Characters that XML 1.0 cannot carry, and lone surrogates that UTF-8 cannot encode.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def xml_text(value) -> str:
    """``value`` as text that any XML 1.0 document can hold: unusable characters become U+FFFD."""
    return _NOT_XML.sub("\ufffd", str(value))

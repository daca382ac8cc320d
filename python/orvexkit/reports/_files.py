"""Writing report files whole or not at all."""
from __future__ import annotations

import contextlib
import os
import re
import tempfile
from pathlib import Path


@contextlib.contextmanager
def atomic_output(path):
    """Yields a binary file object; on success its content replaces ``path`` in one rename.

    The data goes to a temporary file beside the target and is synced before the rename, so a
    failure at any point (including in the caller's code) leaves the target as it was and no
    partial file behind. A target folder that is missing or not writable raises ``OSError``
    naming the target rather than the temporary file.
    """
    path = Path(path)
    folder = path.parent
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=folder)
    except OSError as e:
        raise type(e)(e.errno, f"cannot write {path}: {e.strerror}", str(path)) from None
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o666 & ~_UMASK)
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


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

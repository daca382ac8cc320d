"""File-descriptor level helpers for the diagnostics tests."""

import contextlib
import os
import sys


@contextlib.contextmanager
def closed_stdout():
    """File descriptor 1 closed inside the block. Use it in the test body: pytest's own
    capture puts a file back on descriptor 1 when the body starts."""
    sys.stdout.flush()
    saved = os.dup(1)
    os.close(1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)

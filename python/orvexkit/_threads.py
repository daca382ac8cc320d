"""How many threads a call runs on."""

import operator
import os

#: Environment variable that caps the default thread count (threads=None).
THREADS_VARIABLE = "ORVEX_NUM_THREADS"


def default_threads() -> int:
    """The cores this process may run on, capped by ORVEX_NUM_THREADS when it is set
    (an empty value counts as unset). Raises ValueError for a value that is not a
    positive integer."""
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # no affinity masks on this system
        cores = os.cpu_count() or 1
    cap = os.environ.get(THREADS_VARIABLE, "").strip()
    if not cap:
        return cores
    try:
        limit = int(cap)
    except ValueError:
        limit = 0
    if limit < 1:
        raise ValueError(f"{THREADS_VARIABLE} must be a positive integer, not {cap!r}")
    return min(cores, limit)


def resolve_threads(threads: int | None) -> int:
    """`threads` checked (a positive int), or the default for None."""
    if threads is None:
        return default_threads()
    if isinstance(threads, bool):
        raise TypeError("threads must be an int or None, not bool")
    try:
        count = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be an int or None, not {type(threads).__name__}") from None
    if count < 1:
        raise ValueError(f"threads must be at least 1, not {count}")
    return count

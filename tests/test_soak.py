"""Leak soak: many calls on a mid-size building, with calls that end in PanicException
and TypeError mixed in. Reference counts of what a call returns and of what it is given
stay put, and the process does not grow."""

import os
import sys

import pytest

import orvex
from models import box, inline_object

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples"))
import building  # noqa: E402

# AddressSanitizer holds freed memory in quarantine, so resident size says nothing there;
# a shorter run still checks the reference counts.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
CALLS = 300 if UNDER_ASAN else 10_000
FAULTY = inline_object("k", *box((0, 0, 0), (1, 1, 1))).replace('"faces":[3,', '"faces":[2,', 1)


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def call(kind, a, b, min_dist):
    """One call of the given kind; returns its result or None after the expected error."""
    if kind == "ok":
        return orvex.clash_detection(a, b, min_dist)
    try:
        if kind == "panic":
            orvex.clash_detection(a, FAULTY, min_dist)
        else:
            orvex.clash_detection(a, b, "near")
    except TypeError:
        assert kind == "type"
    except BaseException as e:  # noqa: B036 - PanicException derives from BaseException
        assert kind == "panic" and type(e).__name__ == "PanicException", e
    else:
        pytest.fail(f"a {kind} call returned")
    return None


@pytest.mark.slow
@pytest.mark.parametrize("kinds", [("ok",), ("ok", "panic", "type")], ids=["results", "with-errors"])
def test_soak(capfd, kinds):
    a, b = building.generate(n_objects=40, seed=3)
    min_dist = 0.1
    expected = [(c.ids, c.dist, c.point) for c in orvex.clash_detection(a, b, min_dist)]
    assert len(expected) >= 2
    held = [a, b, min_dist, orvex.Collision, orvex.clash_detection]

    def counts():
        return [sys.getrefcount(x) for x in held]

    # Warm up allocator pools and caches before the baseline is taken.
    for i in range(200):
        call(kinds[i % len(kinds)], a, b, min_dist)
    capfd.readouterr()
    before_counts, before_rss = counts(), resident_bytes()

    for i in range(CALLS):
        kind = kinds[i % len(kinds)]
        found = call(kind, a, b, min_dist)
        if found is not None:
            # The list and each Collision are held only here (and by getrefcount's argument).
            assert sys.getrefcount(found) == 2
            assert all(sys.getrefcount(c) == 3 for c in found)  # the list, the loop, the argument
            if i % 1000 == 0:
                assert [(c.ids, c.dist, c.point) for c in found] == expected
        del found
        if i % 1000 == 999:
            capfd.readouterr()

    assert counts() == before_counts
    if not UNDER_ASAN:
        growth = resident_bytes() - before_rss
        assert growth < 1 << 20, f"resident size grew by {growth} bytes over {CALLS} calls"

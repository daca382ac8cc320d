import os
import sys

import pytest

# Run from a checkout, the tests use the module built in build/dev when it exists and
# PYTHONPATH does not name another build; installed, they use the installed module.
_HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, _HERE)


@pytest.fixture
def closed_stdout():
    """File descriptor 1 closed for the duration of the test."""
    sys.stdout.flush()
    saved = os.dup(1)
    os.close(1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)

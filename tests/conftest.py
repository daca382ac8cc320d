import os
import sys

# The tests import their helpers (models, reference, stdio) from this folder.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: takes seconds to minutes; deselect with -m 'not slow'")

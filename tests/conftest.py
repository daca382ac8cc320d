import os
import sys

# The tests import their helpers (models, reference, stdio) from this folder.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

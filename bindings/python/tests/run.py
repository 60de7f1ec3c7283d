"""Runs these tests with pytest (extra arguments are pytest's); exits 77, the suite's "skipped", without
pytest."""

import os
import sys

try:
    import pytest
except ImportError:
    print("SKIP: pytest is not installed (apt-get install python3-pytest)")
    sys.exit(77)

sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", os.path.dirname(os.path.abspath(__file__)),
                      *sys.argv[1:]]))

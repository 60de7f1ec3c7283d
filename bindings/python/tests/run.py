"""Runs these tests with pytest, or those the arguments name; exits 77, the suite's "skipped", without
pytest."""

import os
import sys

try:
    import pytest
except ImportError:
    print("SKIP: pytest is not installed (apt-get install python3-pytest)")
    sys.exit(77)

sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", *(sys.argv[1:] or [os.path.dirname(__file__)])]))

#!/usr/bin/python3
"""Runs the labgrid driver tests with labgrid's pytest plugin:
    run.py BUILD_DIR ADDRESS
Exits 77 (skipped) when python3-labgrid or python3-pytest is missing."""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing written into the source tree

try:
    import labgrid  # noqa: F401
    import pytest
except ImportError as e:
    print(f"labgrid tests skipped: {e.name} is not installed "
          "(apt install python3-labgrid python3-pytest)")
    sys.exit(77)

if len(sys.argv) != 3:
    sys.exit(__doc__)
os.environ["JYX_BIN_DIR"] = os.path.abspath(sys.argv[1])
os.environ["LG_JYX_ADDRESS"] = sys.argv[2]
os.environ["LG_JYX_BIN"] = os.path.join(os.environ["JYX_BIN_DIR"], "jyx")
sys.path.insert(0, os.path.join(HERE, "..", "..", "contrib", "labgrid"))
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [sys.path[0],
                                                         os.environ.get("PYTHONPATH")]))
sys.exit(pytest.main(["-p", "no:cacheprovider", "-v", "-rs", "--lg-env",
                      os.path.join(HERE, "env.yaml"), HERE]))

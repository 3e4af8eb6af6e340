"""Loads the test-only extension module built next to the package (build/<kind>/probe)."""

import os
import pathlib
import sys

import pytest


def load():
    root = os.environ.get("CORVANTILE_PKG_ROOT")
    if root:
        build = pathlib.Path(root).resolve().parent
    else:
        build = pathlib.Path(__file__).resolve().parent.parent / "build" / "release"
    path = str(build / "probe")
    if path not in sys.path:
        sys.path.insert(0, path)
    return pytest.importorskip("_corvantile_probe")

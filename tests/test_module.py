import os
import pathlib
import subprocess
import sys

import corvantile._core as core


def test_sanitizer_run_uses_its_own_build():
    # make asan points CORVANTILE_PKG_ROOT at the sanitizer build; the in-place module must not be picked up.
    root = os.environ.get("CORVANTILE_PKG_ROOT")
    if root:
        assert core.__file__.startswith(os.path.join(root, "corvantile"))


def test_quickstart_example_runs():
    root = pathlib.Path(__file__).resolve().parent.parent
    pkg_root = os.environ.get("CORVANTILE_PKG_ROOT", str(root))
    env = dict(os.environ, PYTHONPATH=pkg_root)
    out = subprocess.run([sys.executable, str(root / "examples" / "quickstart.py")],
                         env=env, capture_output=True, text=True, check=True).stdout
    assert "type: corvantile.ndarray" in out
    assert "shares memory with NumPy: True" in out

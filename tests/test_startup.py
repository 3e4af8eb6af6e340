"""Module start-up: the patch switch, the fast fronts, a second module object, the
one-interpreter rule, the sanitizer build and the example."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import corvantile as cv
from conftest import differential

core = cv._core


def test_set_patch_active_takes_bools_only():
    try:
        for value in (True, False, np.True_, np.bool_(0)):
            assert cv._set_patch_active(value) is None and cv._set_patch_active(active=value) is None
    finally:
        cv._set_patch_active(False)
    for args, kwargs, text in [
        ((1,), {}, "'int' object is not an instance of 'bool'"),
        ((np.int64(1),), {}, "'int64' object is not an instance of 'bool'"),
    ]:
        with pytest.raises(TypeError) as info:
            cv._set_patch_active(*args, **kwargs)
        assert str(info.value) == text


@pytest.mark.parametrize("call", [
    lambda xp: xp.asarray([1, 2, 3], None), lambda xp: xp.asarray([1.5], dtype=np.float32),
    lambda xp: xp.array([1, 2], ndmin=2), lambda xp: xp.where([0, 1, 2]), lambda xp: xp.where([True], [1, 2], [1, 2, 3]),
])
def test_fast_fronts_answer_like_numpy(call):
    differential(call)


def test_a_second_module_object_gets_the_same_namespace():
    spec = importlib.util.find_spec("corvantile._core")
    second = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(second)
    assert second is not core and second.__all__ == core.__all__ and second.ndarray is core.ndarray
    # Its fronts hand their calls to the full functions kept from the first module.
    differential(lambda xp: (second.asarray if xp is cv else xp.asarray)([1.0, 2.0], None), native=True)
    differential(lambda xp: (second.where if xp is cv else xp.where)([1, 0]))


def test_a_second_interpreter_is_refused():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="does not support loading in subinterpreters"):
            interp.exec(f"import sys; sys.path[:0] = {sys.path!r}; import corvantile._core")
    finally:
        interp.close()


def test_sanitizer_run_uses_its_own_build_and_the_example_runs():
    # make asan points CORVANTILE_PKG_ROOT at the sanitizer build; the in-place module must not be picked up.
    root = pathlib.Path(__file__).resolve().parent.parent
    pkg_root = os.environ.get("CORVANTILE_PKG_ROOT")
    if pkg_root:
        assert core.__file__.startswith(os.path.join(pkg_root, "corvantile"))
    out = subprocess.run([sys.executable, str(root / "examples" / "quickstart.py")], capture_output=True,
                         env=dict(os.environ, PYTHONPATH=pkg_root or str(root)), text=True, check=True).stdout
    assert "type: corvantile.ndarray" in out and "shares memory with NumPy: True" in out


def test_first_attribute_reads_in_a_fresh_process():
    # The first dtype read may come before the module has looked at NumPy's dtypes.
    root = pathlib.Path(__file__).resolve().parent.parent
    pkg_root = os.environ.get("CORVANTILE_PKG_ROOT")
    code = "import corvantile as cv; a = cv.zeros(2); print(a.dtype, a.ndim, a.size, a.shape, a.nbytes, a.dtype)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True,
                         env=dict(os.environ, PYTHONPATH=pkg_root or str(root)), text=True, check=True).stdout
    assert out == "float64 1 2 (2,) 16 float64\n"

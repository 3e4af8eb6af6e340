import corvantile
import corvantile._core as core


def test_module_identity():
    assert core.__name__ == "corvantile._core"
    assert core.__doc__ == "corvantile native core"


def test_package_reexports_all():
    assert corvantile.__all__ == list(getattr(core, "__all__", []))
    for name in corvantile.__all__:
        assert getattr(corvantile, name) is getattr(core, name)


def test_sanitizer_run_uses_its_own_build():
    # make asan points CORVANTILE_PKG_ROOT at the sanitizer build; the in-place module must not be picked up.
    import os

    root = os.environ.get("CORVANTILE_PKG_ROOT")
    if root:
        assert core.__file__.startswith(os.path.join(root, "corvantile"))

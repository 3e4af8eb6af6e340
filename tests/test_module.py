import corvantile
import corvantile._core as core


def test_module_identity():
    assert core.__name__ == "corvantile._core"
    assert core.__doc__ == "corvantile native core"


def test_package_reexports_all():
    assert corvantile.__all__ == list(getattr(core, "__all__", []))
    for name in corvantile.__all__:
        assert getattr(corvantile, name) is getattr(core, name)

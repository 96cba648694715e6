"""The module tree, the module functions and the Version class object, as they
behave; their names, documentation, signatures, members and flags are in the
checked-in surface (tests/python/surface.json)."""

import gc
import os
import sys
import weakref

import pytest

import kelto
import kelto.package.version
from kelto.package.version import Version

SUBMODULES = [
    # sys.modules key, __name__, parent key
    ("kelto.package", "package", "kelto"),
    ("kelto.package.outline", "outline", "kelto.package"),
    ("kelto.package.constraint", "constraint", "kelto.package"),
    ("kelto.package.version", "version", "kelto.package"),
]

FUNCTIONS = ["init_tracing", "main_entry"]


def no_args_message(name, *args, **kwargs):
    """The interpreter's own message for a built-in no-argument function of module kelto."""
    with pytest.raises(TypeError) as exc:
        os.getpid(*args, **kwargs)
    return str(exc.value).replace(f"{os.getpid.__module__}.getpid", f"kelto.{name}")


class TestTree:
    @pytest.mark.parametrize("key, short, parent", SUBMODULES)
    def test_registration(self, key, short, parent):
        mod = sys.modules[key]
        assert type(mod) is type(kelto)
        assert getattr(sys.modules[parent], short) is mod
        assert sys.modules["kelto"] is kelto

    def test_submodule_import_uses_sys_modules_only(self):
        # A finder ahead of all others sees every lookup that reaches the finders.
        seen = []

        class Spy:
            def find_spec(self, name, path=None, target=None):
                seen.append(name)

        sys.meta_path.insert(0, Spy())
        try:
            import kelto.package.constraint  # noqa: F401
            import kelto.package.outline  # noqa: F401
            import kelto.package.version as version
            from kelto.package.version import Version as again
        finally:
            del sys.meta_path[0]
        assert seen == []
        assert version is sys.modules["kelto.package.version"]
        assert again is Version

    def test_reimport_returns_the_cached_module(self, run_python):
        code = """
import sys, kelto
first = kelto
first.marker = 42
del sys.modules["kelto"], sys.modules["kelto.package.version"]
import kelto
print(kelto is first, kelto.marker, kelto.__all__)
print("kelto.package.version" in sys.modules, "kelto.package" in sys.modules)
print(kelto.package.version.Version is first.package.version.Version)
"""
        rc, out, err = run_python(code)
        assert (rc, err) == (0, b"")
        assert out == (
            b"True 42 ['package', 'init_tracing', 'main_entry']\n"
            b"False True\n"
            b"True\n"
        )


class TestFunctions:
    @pytest.mark.parametrize("name", FUNCTIONS)
    @pytest.mark.parametrize(
        "args, kwargs", [((1,), {}), ((1, 2), {}), ((), {"x": 1}), ((1,), {"x": 1})]
    )
    def test_arguments_refused_by_the_interpreter(self, name, args, kwargs):
        # Calling init_tracing for real would install the process-wide subscriber;
        # the binding error must come before anything runs.
        with pytest.raises(TypeError) as exc:
            getattr(kelto, name)(*args, **kwargs)
        assert type(exc.value) is TypeError
        assert str(exc.value) == no_args_message(name, *args, **kwargs)

    def test_main_entry_writes_to_fd_1(self, capfd):
        assert kelto.main_entry() is None
        assert kelto.main_entry() is None
        assert capfd.readouterr() == ("kelto entrypoint\nkelto entrypoint\n", "")


class TestVersionClass:
    def test_instances_take_no_new_attributes_and_no_weakrefs(self):
        v = Version("1")
        with pytest.raises(AttributeError):
            v.extra = 1
        assert not hasattr(v, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(v)

    def test_instances_release_their_class(self):
        # A collection during the loop could free Versions that earlier tests
        # left in cycles, each letting go of its class: none may run.
        gc.collect()
        gc.disable()
        try:
            before = sys.getrefcount(Version)
            for text in ["1", "", 3]:
                for _ in range(100):
                    try:
                        Version(text)
                    except (TypeError, ValueError):
                        pass
            assert sys.getrefcount(Version) == before
        finally:
            gc.enable()

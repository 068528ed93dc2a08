"""The module and the ZuDataFIle class as Python code sees them: type
properties, argument binding and conversion, object life and guarded access."""

from __future__ import annotations

import gc
import importlib
import os
import pathlib
import sys
import weakref

import numpy as np
import pytest

import zu_data_reader
from conftest import channel_lines, floats_be, run_child
from zu_data_reader import ZuDataFIle

HEADER = channel_lines("1", "ch", conversions=[("mV", "volts", "0", "1000")])
# Distinct first samples per segment tell which segment a call really read.
MEMBERS = [("run/0/channels/ch.dat", floats_be(0.5, 1.5)),
           ("run/1/channels/ch.dat", floats_be(2.5, 3.5))]
DATA = "ZuDataFIle.get_channel_data()"
UNITS = "ZuDataFIle.get_channel_units()"
NEW = "ZuDataFIle.__new__()"


@pytest.fixture
def path(zu_file):
    return zu_file(HEADER, MEMBERS)


@pytest.fixture
def obj(path):
    return ZuDataFIle(path)


class Conv:
    """Path-like and index-like at once: both conversions return fn()."""

    def __init__(self, fn):
        self.fn = fn

    def __index__(self):
        return self.fn()

    __fspath__ = __index__


def like(value):
    return Conv(lambda: value)


def raising(exc, cause=None):
    def fail():
        raise exc from cause
    return Conv(fail)


class StrSub(str):
    pass


def fds_on(path):
    """Number of this process's descriptors open on `path`."""
    fds = pathlib.Path("/proc/self/fd").iterdir()
    return sum(fd.exists() and fd.resolve() == path.resolve() for fd in fds)


# ---- module and class ----------------------------------------------------


def test_module_and_class():
    assert zu_data_reader.__all__ == ["ZuDataFIle"] and type(zu_data_reader.__all__) is list
    assert zu_data_reader.__doc__ == ""
    assert ZuDataFIle.__name__ == ZuDataFIle.__qualname__ == "ZuDataFIle"
    assert ZuDataFIle.__module__ == "builtins" and ZuDataFIle.__bases__ == (object,)
    assert ZuDataFIle.__doc__ == "Main Class for reading Zu data files."
    assert ZuDataFIle.__text_signature__ == "(location)"
    # No __init__, __repr__, __eq__, __hash__, context manager, pickling, close.
    assert set(vars(ZuDataFIle)) == {
        "__doc__", "__module__", "__new__", "location", "header",
        "get_channels", "get_channel_units", "get_channel_data"}
    assert ZuDataFIle.location.__doc__ is None and ZuDataFIle.header.__doc__ is None
    for method, signature in [("get_channels", "($self)"),
                              ("get_channel_units", "($self, channel_name)"),
                              ("get_channel_data", "($self, name, segment, unit_type)")]:
        assert getattr(ZuDataFIle, method).__doc__ is None
        assert getattr(ZuDataFIle, method).__text_signature__ == signature
    with pytest.raises(TypeError):
        class Derived(ZuDataFIle):
            pass


@pytest.mark.parametrize("attr", ["header", "location", "anything"])
def test_instances_are_closed_to_changes(obj, attr):
    with pytest.raises(AttributeError):
        setattr(obj, attr, {})
    with pytest.raises(AttributeError):
        delattr(obj, attr)
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not hasattr(obj, "__dict__") and not gc.is_tracked(obj)
    assert obj.header["lcd-info"]["1"]["channel"]["name"] == "ch"


def test_reimport_after_removal_gives_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "zu_data_reader")
    assert importlib.import_module("zu_data_reader") is zu_data_reader


def test_import_in_sub_interpreter_fails():
    # _testcapi's sub-interpreters use the legacy settings, under which
    # CPython itself would load a single-phase module: the refusal has to
    # come from the module.
    result = run_child('''
        import sys
        import zu_data_reader
        try:
            from _testcapi import run_in_subinterp
        except ImportError:
            sys.exit(3)
        run_in_subinterp("""if 1:
            import os
            try:
                import zu_data_reader
                os.write(1, b"imported|")
            except ImportError as e:
                os.write(1, ("ImportError: " + str(e) + "|").encode())
        """)
        print(zu_data_reader.ZuDataFIle.__name__)
    ''')
    if result.returncode == 3:
        pytest.skip("no sub-interpreter support in this interpreter")
    outcome, _, main = result.stdout.partition("|")
    assert outcome.startswith("ImportError: ") and "interpreter" in outcome.lower()
    assert result.returncode == 0, result.stderr
    assert main.strip() == "ZuDataFIle"  # the main interpreter's module is untouched


# ---- location ------------------------------------------------------------


@pytest.mark.parametrize("make", [str, StrSub, pathlib.Path, lambda p: like(str(p)),
                                  lambda p: like(StrSub(p))])
def test_location_accepted(path, make):
    for f in ZuDataFIle(make(path)), ZuDataFIle(location=make(path)):
        assert isinstance(f.location, pathlib.Path) and f.location == path


def test_location_kept_as_given(path, monkeypatch):
    (path.parent / "sub").mkdir()
    monkeypatch.chdir(path.parent / "sub")
    for given in pathlib.Path("..", path.name), f"../{path.name}":
        f = ZuDataFIle(given)
        first, second = f.location, f.location
        assert str(first) == f"../{path.name}"
        assert first == second and first is not second
    # The byte 0xff in a file name comes back as a surrogate escape.
    odd = path.parent / "d\udcffx.zip"
    os.rename(path, odd)
    assert str(ZuDataFIle(odd).location) == str(odd)


@pytest.mark.parametrize("make", [
    os.fsencode, lambda p: bytearray(os.fsencode(p)), lambda p: like(os.fsencode(p)),
    lambda p: 5, lambda p: None, lambda p: like(5),
], ids=["bytes", "bytearray", "fspath-bytes", "int", "none", "fspath-int"])
def test_location_rejected(path, make):
    value = make(path)
    with pytest.raises(TypeError) as info:
        ZuDataFIle(value)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'location': ")
    try:
        os.fspath(value)
    except TypeError as e:
        assert str(info.value) == "argument 'location': " + str(e)


@pytest.mark.parametrize("make, message", [
    (lambda p: f"{p}\0", "file name contained an unexpected NUL byte"),
    (lambda p: p.parent / "absent.zip", os.strerror(2) + " (os error 2)"),
])
def test_location_cannot_be_opened(path, make, message):
    with pytest.raises(OSError) as info:
        ZuDataFIle(make(path))
    assert type(info.value) is OSError and info.value.args == (message,)
    assert info.value.errno is None and info.value.filename is None


# ---- arity and argument conversion ---------------------------------------


@pytest.mark.parametrize("call, message", [
    (lambda o, p: ZuDataFIle(), f"{NEW} missing 1 required positional argument: 'location'"),
    (lambda o, p: ZuDataFIle(p, p), f"{NEW} takes 1 positional arguments but 2 were given"),
    (lambda o, p: ZuDataFIle(1, 2), f"{NEW} takes 1 positional arguments but 2 were given"),
    (lambda o, p: ZuDataFIle(1, path=1), f"{NEW} got an unexpected keyword argument 'path'"),
    (lambda o, p: ZuDataFIle(p, location=p),
     f"{NEW} got multiple values for argument 'location'"),
    (lambda o, p: o.get_channel_data(),
     f"{DATA} missing 3 required positional arguments: 'name', 'segment', and 'unit_type'"),
    (lambda o, p: o.get_channel_data("ch"),
     f"{DATA} missing 2 required positional arguments: 'segment' and 'unit_type'"),
    (lambda o, p: o.get_channel_data(name="ch", unit_type="volts"),
     f"{DATA} missing 1 required positional argument: 'segment'"),
    (lambda o, p: o.get_channel_data(1, 1.0, None, 4),
     f"{DATA} takes 3 positional arguments but 4 were given"),
    (lambda o, p: o.get_channel_data("ch", 0, "volts", name="ch"),
     f"{DATA} got multiple values for argument 'name'"),
    (lambda o, p: o.get_channel_data(1, 2, 3, unit="x"),
     f"{DATA} got an unexpected keyword argument 'unit'"),
    (lambda o, p: o.get_channel_units(),
     f"{UNITS} missing 1 required positional argument: 'channel_name'"),
    (lambda o, p: o.get_channel_units("ch", "x"),
     f"{UNITS} takes 1 positional arguments but 2 were given"),
    (lambda o, p: o.get_channel_units("ch", channel_name="ch"),
     f"{UNITS} got multiple values for argument 'channel_name'"),
    (lambda o, p: o.get_channels("ch"), None),
])
def test_arity(obj, path, call, message):
    with pytest.raises(TypeError) as info:
        call(obj, str(path))
    assert message is None or str(info.value) == message


def test_arguments_by_keyword_and_str_subclass(obj):
    assert obj.get_channels() == ["ch"]
    assert obj.get_channel_units(channel_name=StrSub("ch")) == ["mV"]
    assert obj.get_channel_data(unit_type="volts", segment=1, name="ch")[0, 0, 0] == 2.5
    assert obj.get_channel_data(StrSub("ch"), 0, StrSub("volts"))[0, 0, 1] == 1.5


@pytest.mark.parametrize("segment, first", [
    (0, 0.5), (1, 2.5), (False, 0.5), (True, 2.5), (like(1), 2.5), (np.uint8(1), 2.5),
    # reaching the archive lookup shows the value arrived unchanged
    (2, "/2/"), (255, "/255/"), (like(255), "/255/"),
])
def test_segment_accepted(obj, segment, first):
    if isinstance(first, str):
        with pytest.raises(OSError) as info:
            obj.get_channel_data("ch", segment, "volts")
        assert str(info.value) == (f"Expected File {first}channels/ch.dat, "
                                   "but this file was not present in the archive.")
    else:
        data = obj.get_channel_data("ch", segment, "volts")
        assert data.shape == (1, 1, 100) and data[0, 0, 0] == first


@pytest.mark.parametrize("segment", [256, -1, like(256), 2**63, 2**70, -(2**70)])
def test_segment_out_of_range(obj, segment):
    with pytest.raises(OverflowError) as info:
        obj.get_channel_data("ch", segment, None)  # before unit_type is looked at
    assert type(info.value) is OverflowError
    if abs(segment.__index__()) < 2**63:
        assert str(info.value) == "out of range integral type conversion attempted"
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("method, args, param", [
    ("get_channel_units", (b"ch",), "channel_name"),
    ("get_channel_data", (b"ch", 0, "volts"), "name"),
    ("get_channel_data", ("ch", 1.0, "volts"), "segment"),
    ("get_channel_data", ("ch", like("1"), "volts"), "segment"),
    ("get_channel_data", ("ch", 0, None), "unit_type"),
    ("get_channel_data", (1, 1.0, None), "name"),  # the first parameter decides
    ("get_channel_data", ("ch", None, 2), "segment"),
])
def test_wrong_argument_type(obj, method, args, param):
    with pytest.raises(TypeError) as info:
        getattr(obj, method)(*args)
    assert type(info.value) is TypeError
    assert str(info.value).startswith(f"argument '{param}': ")


CONVERT = {"segment": lambda obj, bad: obj.get_channel_data("ch", bad, "volts"),
           "location": lambda obj, bad: ZuDataFIle(bad)}
CAUSE = ValueError("root")


@pytest.mark.parametrize("param", CONVERT)
@pytest.mark.parametrize("exc, cause, rewrapped", [
    (TypeError("boom"), None, True),
    (TypeError("boom"), CAUSE, True),
    # only exactly TypeError gets the argument's name
    (type("SubTypeError", (TypeError,), {})("boom"), CAUSE, False),
    (ValueError("boom"), None, False),
    (KeyError("boom"), CAUSE, False),
])
def test_conversion_errors(obj, param, exc, cause, rewrapped):
    with pytest.raises(BaseException) as info:
        CONVERT[param](obj, raising(exc, cause))
    if rewrapped:
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument '{param}': boom"
        assert info.value.__cause__ is cause
    else:
        assert info.value is exc


@pytest.mark.parametrize("call", [
    lambda obj: obj.get_channel_units("c\udc80"),
    lambda obj: obj.get_channel_data("\ud800", 0, "volts"),
    lambda obj: obj.get_channel_data("ch", 0, "v\udfff"),
])
def test_lone_surrogate_raises_encode_error(obj, call):
    with pytest.raises(UnicodeEncodeError) as info:
        call(obj)
    assert type(info.value) is UnicodeEncodeError
    assert not str(info.value).startswith("argument")


# ---- results and object life ---------------------------------------------


def test_header_is_fresh_on_every_read(obj):
    first, second = obj.header, obj.header
    assert first == second and first is not second
    first["lcd-info"]["1"]["channel"].clear()
    first.clear()
    assert second["lcd-info"]["1"]["channel"]["name"] == "ch"
    assert obj.header == second


def test_file_closed_when_last_reference_goes(path, tmp_path, zu_file):
    a, b = ZuDataFIle(path), ZuDataFIle(path)
    alias = a
    del a
    assert fds_on(path) == 2
    del alias
    assert fds_on(path) == 1
    del b
    assert fds_on(path) == 0
    # A failed construction leaves nothing open either.
    junk = tmp_path / "junk.zip"
    junk.write_bytes(b"not an archive" * 100)
    for bad in junk, zu_file("a=1\nno equals\n"):
        with pytest.raises(OSError):
            ZuDataFIle(bad)
        assert fds_on(bad) == 0


@pytest.mark.parametrize("action, exc_type, message", [
    (lambda f: f.header, RuntimeError, "Already mutably borrowed"),
    (lambda f: f.location, RuntimeError, "Already mutably borrowed"),
    (lambda f: f.get_channels(), RuntimeError, "Already mutably borrowed"),
    (lambda f: f.get_channel_units("ch"), RuntimeError, "Already mutably borrowed"),
    (lambda f: f.get_channel_data("ch", 0, "volts"), RuntimeError, "Already borrowed"),
    # the arity check comes before the access check
    (lambda f: f.get_channel_data(), TypeError, f"argument 'segment': {DATA} missing 3 "
     "required positional arguments: 'name', 'segment', and 'unit_type'"),
])
def test_exclusive_access_refuses_reentry(obj, action, exc_type, message):
    with pytest.raises(exc_type) as info:
        # the segment's conversion calls back into the object in use
        obj.get_channel_data("ch", Conv(lambda: (action(obj), 0)[1]), "volts")
    assert type(info.value) is exc_type and str(info.value) == message
    # Access was given back on the way out, also after failures inside.
    for _ in range(2):
        with pytest.raises(OSError):
            obj.get_channel_data("ch", 0, "furlongs")
        with pytest.raises(OSError):
            obj.get_channel_units("nope")
    assert obj.get_channel_data("ch", 1, "volts")[0, 0, 0] == 2.5
    assert obj.get_channels() == ["ch"]


def test_shared_access_refuses_exclusive(path):
    # pathlib.Path is looked up on the first `location` read and called while
    # shared access is held; a hook there shows what is granted meanwhile.
    result = run_child("""
        import pathlib, sys
        from zu_data_reader import ZuDataFIle
        seen = []
        def hook(text):
            for call in (lambda: f.header, lambda: f.get_channel_units("ch"),
                         lambda: f.get_channel_data("ch", 0, "volts")):
                try:
                    seen.append(call() is not None)
                except RuntimeError as e:
                    seen.append(str(e))
            return pathlib.PosixPath(text)  # Path.__new__ looks itself up by name
        pathlib.Path = hook
        f = ZuDataFIle(sys.argv[1])
        f.location
        sys.stderr.write(repr(seen))
    """, path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == repr([True, True, "Already borrowed"])


def test_threads(zu_file):
    # A fresh process, so the threads also race the one-time lookups
    # (pathlib.Path, NumPy's API table) made on first use.
    paths = [zu_file(HEADER, MEMBERS) for _ in range(6)]
    result = run_child("""
        import sys, threading
        from zu_data_reader import ZuDataFIle
        errors, barrier = [], threading.Barrier(len(sys.argv) - 1)
        shared = ZuDataFIle(sys.argv[1])
        def work(p):
            try:
                barrier.wait()
                for _ in range(20):
                    f = ZuDataFIle(p)
                    assert str(f.location) == p
                    assert f.get_channel_data("ch", 1, "volts")[0, 0, 1] == 3.5
                    assert f.header == shared.header
                    assert f.get_channels() == ["ch"] == shared.get_channels()
            except BaseException as e:
                errors.append(repr(e))
        threads = [threading.Thread(target=work, args=(p,)) for p in sys.argv[1:]]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        sys.stderr.write(repr(errors))
    """, *paths)
    assert result.returncode == 0, result.stderr
    assert result.stderr == "[]"


def test_location_lookup_reentered_from_an_import_hook(path):
    # The first `location` read imports pathlib; an import hook that reads
    # `location` again, nested twice, re-enters that one-time lookup. The
    # import machinery may fail such nested imports; the process must not hang.
    result = run_child("""
        import sys
        from zu_data_reader import ZuDataFIle
        sys.modules.pop("pathlib", None)
        f = ZuDataFIle(sys.argv[1])
        depth = []
        class Hook:
            def find_spec(self, name, path=None, target=None):
                if name == "pathlib" and len(depth) < 2:
                    depth.append(name)
                    try:
                        f.location
                    except Exception:
                        pass
                return None
        hook = Hook()
        sys.meta_path.insert(0, hook)
        try:
            f.location
        except Exception:
            pass
        sys.meta_path.remove(hook)
        for name in [m for m in sys.modules if m == "pathlib" or m.startswith("pathlib.")]:
            del sys.modules[name]
        sys.stderr.write(f"{f.location.name} {len(depth)}")
    """, path)
    assert (result.returncode, result.stderr) == (0, f"{path.name} 2")

"""The module's host surface: import, the call's argument handling, PanicException."""

import importlib.util
import inspect
import math
import sys

import pytest

import orvex
from stdio import closed_stdout
from models import box, inline_object, line

# A model whose loading prints a warning: used to show that nothing was loaded.
NOISY = line("k", {"speckle_type": "T", "id": "k", "displayValue": []})


def panic_type():
    """The PanicException class, taken from a real fault (it is not a module member)."""
    try:
        orvex.clash_detection(inline_object("k", *box((0, 0, 0), (1, 1, 1))).replace('[3,', '[2,', 1), "")
    except BaseException as e:  # noqa: B036 - the class under test derives from BaseException
        return type(e)
    pytest.fail("no fault raised")


def test_module_members():
    assert orvex.__all__ == ["clash_detection", "Collision"]
    assert inspect.isbuiltin(orvex.clash_detection)
    assert orvex.clash_detection.__self__ is orvex
    assert orvex.clash_detection.__module__ == "orvex"
    assert orvex.clash_detection.__text_signature__ == "(a, b, min_dist=0.0)"
    assert str(inspect.signature(orvex.clash_detection)) == "(a, b, min_dist=0.0)"
    assert isinstance(orvex.Collision, type)
    assert orvex.Collision.__name__ == "Collision"


def test_repeated_init_returns_the_same_module():
    found = importlib.util.find_spec("orvex")
    again = found.loader.create_module(found)
    assert again is orvex
    assert orvex.__all__ == ["clash_detection", "Collision"]


def import_in_sub_interpreter():
    """The error name and message of `import orvex` in a fresh legacy sub-interpreter."""
    try:
        import _interpreters  # 3.13+
    except ImportError:
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create(isolated=False) if sys.version_info >= (3, 12) else interpreters.create()
        try:
            interpreters.run_string(interp, "import orvex")
        except Exception as e:  # the sub-interpreter's error, re-raised as RunFailedError
            return str(e)
        finally:
            interpreters.destroy(interp)
        return ""
    interp = _interpreters.create("legacy")
    try:
        failure = _interpreters.run_string(interp, "import orvex")
        return failure.formatted if failure is not None else ""
    finally:
        _interpreters.destroy(interp)


def test_sub_interpreter_refused():
    failure = import_in_sub_interpreter()
    assert "ImportError" in failure
    assert "orvex can only be imported in the main interpreter" in failure


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((NOISY,), {}),
    ((NOISY, NOISY, 0.0, 1), {}),
    ((NOISY, NOISY), {"c": 1}),
    ((NOISY, NOISY), {"a": NOISY}),
    ((NOISY,), {"min_dist": 1.0}),
    ((NOISY, NOISY, 1.0), {"min_dist": 1.0}),
])
def test_binding_errors_load_nothing(capfd, args, kwargs):
    with pytest.raises(TypeError):
        orvex.clash_detection(*args, **kwargs)
    assert capfd.readouterr().out == ""


class StrSubclass(str):
    pass


def test_keywords_in_any_order_and_str_subclasses(capfd):
    assert orvex.clash_detection(b=StrSubclass(""), min_dist=None, a="") == []
    assert orvex.clash_detection("", "", 0.5) == []
    orvex.clash_detection(a=StrSubclass(NOISY), b="")
    assert capfd.readouterr().out.startswith("WARN: object id")


@pytest.mark.parametrize("a, b, min_dist, name", [
    (b"", "", 0.0, "a"),
    (NOISY.encode(), 1, "x", "a"),  # a fails first; b and min_dist are not examined
    (NOISY, None, 0.0, "b"),
    (NOISY, NOISY, "0.1", "min_dist"),
    (NOISY, NOISY, [], "min_dist"),
])
def test_conversion_errors_name_the_argument(capfd, a, b, min_dist, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        orvex.clash_detection(a, b, min_dist)
    assert capfd.readouterr().out == ""


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def test_conversion_type_error_keeps_its_cause():
    cause = KeyError("inner")
    error = TypeError("no float here")
    error.__cause__ = cause
    with pytest.raises(TypeError, match="^argument 'min_dist': no float here$") as info:
        orvex.clash_detection("", "", FloatRaises(error))
    assert info.value.__cause__ is cause
    assert type(info.value) is TypeError


@pytest.mark.parametrize("exc", [ValueError("bad"), OverflowError("big"), type("TypeErrorChild", (TypeError,), {})("x")])
def test_other_conversion_errors_pass_unchanged(exc):
    with pytest.raises(type(exc)) as info:
        orvex.clash_detection("", "", FloatRaises(exc))
    assert info.value is exc


def test_unencodable_text_passes_unchanged():
    with pytest.raises(UnicodeEncodeError):
        orvex.clash_detection("\udc00", "")


@pytest.mark.parametrize("min_dist", [None, 0, 1, True, False, 0.1, 1e39, -1e39, math.nan, 10**30])
def test_accepted_thresholds(min_dist):
    assert orvex.clash_detection("", "", min_dist) == []


def test_threshold_out_of_float_range_is_an_overflow():
    with pytest.raises(OverflowError):
        orvex.clash_detection("", "", 10**400)


def test_panic_exception_class():
    panic = panic_type()
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "pyo3_runtime"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)


def test_fault_is_not_an_exception_and_module_stays_usable():
    text = inline_object("k", *box((0, 0, 0), (1, 1, 1))).replace('"faces":[3,', '"faces":[2,', 1)
    with pytest.raises(BaseException) as info:
        try:
            orvex.clash_detection(text, "")
        except Exception:  # must not catch it
            pytest.fail("a fault was caught as Exception")
    assert str(info.value) == "Invalid face size: 2"
    assert info.value.args == ("Invalid face size: 2",)
    assert orvex.clash_detection("", "") == []


def test_unwritable_stdout_is_a_fault():
    with pytest.raises(BaseException) as info, closed_stdout():
        orvex.clash_detection(NOISY, "")
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "failed printing to stdout: Bad file descriptor (os error 9)"


def test_import_is_clean_under_warnings_as_errors():
    import subprocess
    import sys
    done = subprocess.run([sys.executable, "-W", "error", "-c", "import orvex"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def _tool_output(*cmd):
    import shutil
    import subprocess
    if shutil.which(cmd[0]) is None:
        pytest.skip(f"{cmd[0]} not installed")
    return subprocess.run([*cmd, orvex.__file__], capture_output=True, text=True, check=True).stdout


def test_shared_object_exports_only_the_init_function():
    names = [row.split()[-1] for row in _tool_output("nm", "-D", "--defined-only").splitlines() if row.strip()]
    assert names == ["PyInit_orvex"]


def test_shared_object_names_no_interpreter_library():
    needed = [row for row in _tool_output("readelf", "-d").splitlines() if "(NEEDED)" in row]
    assert needed and not any("libpython" in row for row in needed)

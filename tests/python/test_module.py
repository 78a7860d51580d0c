"""The module vardimont._core: what its initialisation adds, in which order,
and what a second initialisation in the same process shares."""
import importlib
import inspect
import sys

import pytest

import vardimont._core as core


def test_contents_in_the_order_of_addition():
    assert core.__version__ == "1.3.0"
    assert core.__all__ == ["__version__", "Node", "encode_payload", "decode_payload"]
    public = [name for name in vars(core) if name in core.__all__]
    assert public == core.__all__
    assert isinstance(core.Node, type)


def test_docstring():
    first, blank, *rest = core.__doc__.split("\n")
    assert first == "Native module `vardimont._core`."
    assert blank == "" and rest and "GIL" in " ".join(rest)


@pytest.mark.parametrize("function, signature, doc", [
    (core.encode_payload, "(obj)", "Serializes a JSON-compatible Python object into wire payload bytes."),
    (core.decode_payload, "(data)", "Deserializes wire payload bytes into a Python object."),
])
def test_functions(function, signature, doc):
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ == doc
    assert function.__self__ is core
    assert function.__module__ == "vardimont._core"


@pytest.fixture
def fresh_import():
    """Imports the module again into a new module object, then puts the first back."""
    original = sys.modules.pop("vardimont._core")
    try:
        yield importlib.import_module("vardimont._core")
    finally:
        sys.modules["vardimont._core"] = original
        sys.modules["vardimont"]._core = original


def test_a_second_module_object_shares_the_class(fresh_import):
    assert fresh_import is not core
    assert fresh_import.Node is core.Node
    assert fresh_import.__all__ == core.__all__
    assert fresh_import.encode_payload.__self__ is fresh_import
    assert fresh_import.decode_payload(fresh_import.encode_payload([1])) == [1]


# Either refusal will do: the module's own, or the interpreter's, which on
# 3.12 and later refuses before the module's initialisation runs.
SUB_INTERPRETER_REFUSALS = (
    "vardimont._core cannot be imported in a sub-interpreter",
    "module vardimont._core does not support loading in subinterpreters",
)


def test_a_sub_interpreter_is_refused_at_import():
    # Run in a child process: a sub-interpreter's failed import must not
    # leave anything behind in the test process. The sub-interpreter reports
    # through the shared file descriptor, since run_string raises a failure
    # of its script on 3.12 but only returns it on 3.13.
    import subprocess
    code = """
try:
    import _xxsubinterpreters as interpreters
except ImportError:
    import _interpreters as interpreters
import vardimont._core
iid = interpreters.create()
failure = interpreters.run_string(iid, '''
import os
try:
    import vardimont._core
except ImportError as e:
    os.write(1, ("refused: %s\\\\n" % e).encode())
else:
    os.write(1, b"imported\\\\n")
''')
interpreters.destroy(iid)
assert failure is None, failure
print("ok")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout in [f"refused: {refusal}\nok\n" for refusal in SUB_INTERPRETER_REFUSALS], done.stdout

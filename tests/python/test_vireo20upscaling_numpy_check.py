"""The import-time check of NumPy's C interface, driven through a stand-in table in a fresh interpreter."""
import subprocess
import sys

import pytest

TABLE_MODULE = "numpy.core._multiarray_umath"
IMPORT_FAILED = "numpy.core.multiarray failed to import"

# The stand-in replaces the real table module only once NumPy's package is loaded, since importing
# the table module loads its package first.
SCRIPT = """
import ctypes, importlib.util, sys, types
import numpy
sys.path.insert(0, {stubs!r})
import _vireo20_numpy_api_stub as stub
name = {table_module!r}
{setup}
def load():
    if {through_import!r}:
        import _vireo20upscaling
        return _vireo20upscaling
    # Calling the entry point directly shows the error it leaves pending, which the import machinery
    # of this interpreter would replace by a SystemError.
    entry = ctypes.PyDLL(importlib.util.find_spec("_vireo20upscaling").origin).PyInit__vireo20upscaling
    entry.restype = ctypes.py_object
    return entry()
try:
    print("imported", load().MPUpscalingGenerator.__name__, sep="\\n")
except BaseException as error:
    print("failed", type(error).__name__, error, sep="\\n")
import _vireo20_generator_pointers
registered = _vireo20_generator_pointers.registered_generator_class()
print("registered", [key for key in vars(registered) if not key.startswith("__")])
"""

METHODS = ["SetParticlesEnabledIndexes", "GetCurrentTimestepIndex", "GetElementParticlesIndexes",
           "GetNumberOfEnabledParticles", "GetContactParentIDFrom", "GetContactParentIDTo", "CreateParticlesTopology",
           "CreateParticlesGeometry", "CoordsWeightedAverage", "WeightedAverage", "Sum", "TakeAny", "GetParticleIds"]


def stub_table(abi=0x1000009, feature=13, endianness=1):
    return (f"sys.modules[name] = types.ModuleType(name)\n"
            f"sys.modules[name]._ARRAY_API = stub.api_capsule({abi}, {feature}, {endianness})")


def run_import(setup, through_import, stubs_dir):
    script = SCRIPT.format(stubs=stubs_dir, table_module=TABLE_MODULE, setup=setup, through_import=through_import)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines(), done.stderr


THROUGH_IMPORT = pytest.mark.parametrize("through_import", [True, False], ids=["import", "entry"])


@THROUGH_IMPORT
@pytest.mark.parametrize("setup", [pytest.param("", id="real-numpy"), pytest.param(stub_table(), id="exact-versions"),
                                   pytest.param(stub_table(feature=16), id="newer-feature-version")])
def test_fitting_numpy_imports_cleanly(setup, through_import, stubs_dir):
    assert run_import(setup, through_import, stubs_dir) == (
        ["imported", "MPUpscalingGenerator", f"registered {METHODS}"], "")


NEW_TABLE = "sys.modules[name] = types.ModuleType(name)"


@THROUGH_IMPORT
@pytest.mark.parametrize("setup, printed", [
    pytest.param(stub_table(feature=12),
                 "RuntimeError: module compiled against API version 0xd but this version of numpy is 0xc",
                 id="old-feature-version"),
    pytest.param(stub_table(abi=0x2000000),
                 "RuntimeError: module compiled against ABI version 0x1000009 but this version of numpy is 0x2000000",
                 id="other-abi"),
    pytest.param(stub_table(endianness=0), "RuntimeError: FATAL: module compiled as unknown endian",
                 id="unknown-endian"),
    pytest.param(stub_table(endianness=2),
                 "RuntimeError: FATAL: module compiled as little endian, but detected different endianness at runtime",
                 id="big-endian"),
    pytest.param(NEW_TABLE, "AttributeError: _ARRAY_API not found", id="no-table"),
    pytest.param(NEW_TABLE + "\nsys.modules[name]._ARRAY_API = 42", "RuntimeError: _ARRAY_API is not PyCapsule object",
                 id="not-a-capsule"),
    pytest.param(NEW_TABLE + "\nsys.modules[name]._ARRAY_API = stub.named_capsule()",
                 "RuntimeError: _ARRAY_API is NULL pointer", id="unreadable-capsule"),
    pytest.param("sys.modules[name] = None",
                 f"ModuleNotFoundError: import of {TABLE_MODULE} halted; None in sys.modules", id="no-table-module"),
])
def test_unfitting_numpy_prints_the_cause_and_fails_the_import(setup, printed, through_import, stubs_dir):
    stdout, stderr = run_import(setup, through_import, stubs_dir)
    # Through the import machinery, this interpreter reports the pending ImportError as an unreported
    # exception of the initialisation; either way the class is registered all the same.
    failure = ["SystemError", "initialization of _vireo20upscaling raised unreported exception"] if through_import \
        else ["ImportError", IMPORT_FAILED]
    assert stdout == ["failed", *failure, f"registered {METHODS}"]
    assert (stderr if through_import else stderr.splitlines()[-1] + "\n") == printed + "\n"

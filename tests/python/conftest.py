"""Shared fixtures: the modules under test come from build/python (PYTHONPATH set by make test)."""
import gc
import os

import pytest


@pytest.fixture
def collect():
    """Runs the garbage collector, so that dropped views release what they hold."""
    return gc.collect


@pytest.fixture(scope="session")
def stubs_dir():
    """Where the build puts the test-only extension modules."""
    return os.path.join(os.path.abspath(os.environ.get("VIREO20_BUILD_DIR", "build")), "tests", "python", "stubs")

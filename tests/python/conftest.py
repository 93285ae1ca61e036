"""Shared fixtures: the modules under test come from build/python (PYTHONPATH set by make test)."""
import gc

import pytest


@pytest.fixture
def collect():
    """Runs the garbage collector, so that dropped views release what they hold."""
    return gc.collect

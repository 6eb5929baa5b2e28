import os
import pathlib

import pytest

import veltor

SOURCE_DIR = pathlib.Path(os.environ.get("VELTOR_SOURCE_DIR", pathlib.Path(__file__).parents[2]))


@pytest.fixture
def sim():
    with veltor.Simulator() as simulator:
        yield simulator


@pytest.fixture
def device(sim):
    with veltor.Device(sim.port) as connected:
        # The filler burst is in, so the request log starts with the test's own.
        assert sim.cpp.WaitForRawBytes(1024, 5000)
        sim.clear_log()
        yield connected


@pytest.fixture
def demo_path():
    return SOURCE_DIR / "examples" / "setups" / "demo.json"

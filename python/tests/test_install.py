"""pip installs the checkout, offline, into venvs of the interpreter on PATH
and of /usr/bin/python3, and the wheel it builds installs into another venv;
the in-tree backend's checks and wheel packing on their own.

The pip cases build the library and the module once per interpreter (about
a minute and a half each on two cores; with ccache, the second interpreter
takes the library's objects from the first): the wheel reuses the
install's CMake tree through VELTOR_BUILD_DIR.
"""

import base64
import hashlib
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile
import zipfile

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("VELTOR_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
sys.path.insert(0, str(SOURCE_DIR / "python" / "build_backend"))
from veltor_build import _checks, _sdist, _wheel  # noqa: E402

PROJECT_VERSION = re.search(
    r"project\(veltor\s+VERSION\s+([0-9.]+)", (SOURCE_DIR / "CMakeLists.txt").read_text()
).group(1)


CMAKE = "/usr/bin/cmake"
# (case, implementation, version, has Python.h, pybind11, cmake, words of the message or None)
CHECK_CASES = [
    ("ready", "CPython", (3, 11), True, (2, 10), CMAKE, None),
    ("newer pybind11 than the table knows", "CPython", (3, 14), True, (3, 0), CMAKE, None),
    ("PyPy", "PyPy", (3, 10), True, (2, 10), CMAKE, "CPython only"),
    ("no headers", "CPython", (3, 11), False, (2, 10), CMAKE, "python3-dev"),
    ("no pybind11", "CPython", (3, 11), True, None, CMAKE, "pybind11-dev"),
    ("Python too new for pybind11 2.10", "CPython", (3, 12), True, (2, 10), CMAKE, "up to 3.11"),
    ("no cmake", "CPython", (3, 11), True, (2, 10), None, "apt-get install cmake"),
]


@pytest.mark.parametrize(
    "implementation, version, headers, pybind11, cmake, words",
    [case[1:] for case in CHECK_CASES],
    ids=[case[0] for case in CHECK_CASES],
)
def test_backend_names_what_to_install(
    tmp_path, implementation, version, headers, pybind11, cmake, words
):
    if headers:
        (tmp_path / "Python.h").write_text("")
    problem = _checks.find_problem(implementation, version, tmp_path, pybind11, cmake)
    if words is None:
        assert problem is None
    else:
        assert words in problem


def test_backend_reads_the_pybind11_version(tmp_path):
    common = tmp_path / "second" / "pybind11" / "detail" / "common.h"
    common.parent.mkdir(parents=True)
    common.write_text("#define PYBIND11_VERSION_MAJOR 2\n#define PYBIND11_VERSION_MINOR 10\n")
    assert _checks.pybind11_version([tmp_path / "first", tmp_path / "second"]) == (2, 10)
    assert _checks.pybind11_version([tmp_path / "first"]) is None


def test_wheel_record_matches_its_files(tmp_path):
    package = tmp_path / "veltor"
    package.mkdir()
    (package / "__init__.py").write_text("x = 1\n")
    (package / "libveltor.so.0").write_bytes(bytes(range(256)))
    metadata = _wheel.Metadata("veltor", "1.2.3", "test", ">=3.7", "cp311-cp311-linux_x86_64")
    name = _wheel.pack(tmp_path / "dist", package, metadata)
    assert name == "veltor-1.2.3-cp311-cp311-linux_x86_64.whl"
    with zipfile.ZipFile(tmp_path / "dist" / name) as wheel:
        lines = wheel.read("veltor-1.2.3.dist-info/RECORD").decode().splitlines()
        recorded = {}
        for line in lines:
            path, digest, size = line.rsplit(",", 2)
            recorded[path] = (digest, size)
        assert recorded.pop("veltor-1.2.3.dist-info/RECORD") == ("", "")
        assert set(recorded) == set(wheel.namelist()) - {"veltor-1.2.3.dist-info/RECORD"}
        for path, (digest, size) in recorded.items():
            data = wheel.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, size) == (f"sha256={expected}", str(len(data))), path
        wheel_file = wheel.read("veltor-1.2.3.dist-info/WHEEL").decode()
        assert "Tag: cp311-cp311-linux_x86_64" in wheel_file
        # The module loads the library beside it, so it must stay executable.
        assert (wheel.getinfo("veltor/libveltor.so.0").external_attr >> 16) & 0o111


def test_source_archive_leaves_out_build_trees(tmp_path):
    source = tmp_path / "tree"
    for name in ["CMakeLists.txt", "python/build_backend/veltor_build/__init__.py",
                 "build/CMakeCache.txt", "build-asan/x.o", "python/veltor/__pycache__/a.pyc",
                 "PKG-INFO"]:
        (source / name).parent.mkdir(parents=True, exist_ok=True)
        (source / name).write_text(name)
    metadata = _wheel.Metadata("veltor", "1.2.3", "test", ">=3.7", "unused")
    name = _sdist.pack(tmp_path / "dist", source, metadata)
    with tarfile.open(tmp_path / "dist" / name) as archive:
        assert sorted(archive.getnames()) == [
            "veltor-1.2.3/CMakeLists.txt",
            "veltor-1.2.3/PKG-INFO",
            "veltor-1.2.3/python/build_backend/veltor_build/__init__.py",
        ]
        assert b"Version: 1.2.3" in archive.extractfile("veltor-1.2.3/PKG-INFO").read()


# Run by each venv's interpreter from outside the source tree.
SCRIPT = """
import json, sys, veltor
with veltor.Simulator() as sim, veltor.Device(sim.port) as device:
    device["A"].mode = veltor.DelayDuration(delay=1.5e-6, duration=10e-6)
    device["A"].set_timing_mode()
    sim.delay_counts("A", 4000)  # what the instrument measured
    print(json.dumps({"file": veltor.__file__, "version": veltor.__version__,
                      "version_info": list(veltor.version_info),
                      "counts": sim.state()["A"].delay_counts, "query": device["A"].query()}))
"""


def _interpreters():
    found = {}
    for candidate in (shutil.which("python3"), "/usr/bin/python3"):
        if candidate and os.path.exists(candidate):
            real = subprocess.run(
                [candidate, "-c", "import sys; print(sys.executable)"],
                capture_output=True,
                text=True,
            ).stdout.strip()
            found.setdefault(os.path.realpath(real), candidate)
    return list(found.values())


@pytest.fixture(scope="module")
def compiler_cache(tmp_path_factory):
    """A compiler cache shared by the interpreters' builds: the library's
    objects do not depend on the interpreter, so the second build takes them
    from the first. Each build's tree has a name of its own, and ccache
    rewrites the paths below its base folder so that the two builds' commands
    read the same."""
    if shutil.which("ccache") is None:
        return {}
    root = tmp_path_factory.mktemp("ccache")
    return {"CMAKE_CXX_COMPILER_LAUNCHER": "ccache", "CMAKE_C_COMPILER_LAUNCHER": "ccache",
            "CCACHE_DIR": str(root / "cache"), "CCACHE_BASEDIR": str(root / "builds"),
            "VELTOR_BUILD_DIR": str(root / "builds")}


def _environment(tmp_path, cache=None):
    # Nothing of the test's own interpreter or of the machine's pip settings.
    mine = ("PYTHON", "PIP_", "VIRTUAL_ENV")
    env = {k: v for k, v in os.environ.items() if not k.startswith(mine)}
    env.update(
        VELTOR_BUILD_DIR=str(tmp_path / "cmake"),
        PIP_CONFIG_FILE=os.devnull,
        PIP_DISABLE_PIP_VERSION_CHECK="1",
        PYTHONDONTWRITEBYTECODE="1",
    )
    env.update(cache or {})
    return env


def _run(command, env, cwd):
    command = [str(part) for part in command]
    result = subprocess.run(command, env=env, cwd=cwd, capture_output=True, text=True)
    assert result.returncode == 0, f"{command}:\n{result.stdout[-3000:]}\n{result.stderr[-3000:]}"
    return result.stdout


def _venv(interpreter, folder, env):
    made = subprocess.run(
        [interpreter, "-m", "venv", folder], env=env, capture_output=True, text=True
    )
    if made.returncode != 0:
        lines = (made.stderr or made.stdout).strip().splitlines() or ["no output"]
        pytest.skip(f"{interpreter} makes no venv with pip: {lines[-1]}")
    return folder / "bin" / "python"


def _check_installed(python, venv, env, cwd):
    result = json.loads(_run([python, "-c", SCRIPT], env, cwd))
    assert pathlib.Path(result["file"]).resolve().is_relative_to(venv.resolve())
    assert result["version"] == PROJECT_VERSION
    assert ".".join(map(str, result["version_info"])) == PROJECT_VERSION
    assert result["counts"] == 300  # the mode's 1.5 us at 200 MHz
    assert result["query"] == pytest.approx(4000 / 200e6)


@pytest.mark.parametrize("interpreter", _interpreters())
def test_pip_installs_the_checkout_and_its_wheel(tmp_path, interpreter, compiler_cache):
    env = _environment(tmp_path, compiler_cache)
    problem = subprocess.run(
        [interpreter, "-c", "import veltor_build._checks as c; c.check_interpreter()"],
        env=dict(env, PYTHONPATH=str(SOURCE_DIR / "python" / "build_backend")),
        capture_output=True,
        text=True,
    )
    if problem.returncode != 0:
        reason = problem.stderr.strip().splitlines()[-1]
        pytest.skip(f"{interpreter} cannot build the module: {reason}")
    outside = tmp_path / "elsewhere"
    outside.mkdir()

    # With pip's build isolation: the backend requires nothing to download.
    first = tmp_path / "first"
    python = _venv(interpreter, first, env)
    _run([python, "-m", "pip", "install", "--no-index", SOURCE_DIR], env, outside)
    _check_installed(python, first, env, outside)

    dist = tmp_path / "dist"
    wheel_command = ["-m", "pip", "wheel", "--no-index", "--no-deps", "-w", dist, SOURCE_DIR]
    _run([python, *wheel_command], env, outside)
    (wheel,) = dist.glob("veltor-*.whl")
    second = tmp_path / "second"
    python = _venv(interpreter, second, env)
    _run([python, "-m", "pip", "install", "--no-index", wheel], env, outside)
    _check_installed(python, second, env, outside)

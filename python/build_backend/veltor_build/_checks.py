"""What the build needs from the interpreter and the machine, checked
before CMake runs, so that a missing piece is named in one sentence rather
than shown as a compiler error."""

import os
import pathlib
import platform
import re
import shutil
import sys
import sysconfig

# The newest Python each pybind11 release builds modules for.
PYBIND11_NEWEST_PYTHON = {
    (2, 9): (3, 10),
    (2, 10): (3, 11),
    (2, 11): (3, 12),
    (2, 12): (3, 12),
    (2, 13): (3, 13),
}

_PACKAGES = "cmake g++ pybind11-dev nlohmann-json3-dev libcli11-dev"


def pybind11_include_dirs():
    """Where pybind11's headers may be: CMAKE_PREFIX_PATH's include folders,
    then the system's."""
    prefixes = [p for p in os.environ.get("CMAKE_PREFIX_PATH", "").split(os.pathsep) if p]
    return [pathlib.Path(p) / "include" for p in prefixes] + [
        pathlib.Path("/usr/local/include"),
        pathlib.Path("/usr/include"),
    ]


def pybind11_version(include_dirs):
    """(major, minor) of the first pybind11 found, or None."""
    for folder in include_dirs:
        common = folder / "pybind11" / "detail" / "common.h"
        if common.is_file():
            text = common.read_text(errors="replace")
            major = re.search(r"#define PYBIND11_VERSION_MAJOR (\d+)", text)
            minor = re.search(r"#define PYBIND11_VERSION_MINOR (\d+)", text)
            if major and minor:
                return int(major.group(1)), int(minor.group(1))
    return None


def find_problem(implementation, version, include_dir, pybind11, cmake):
    """The first thing that stops the build, as a sentence, or None.

    version is (major, minor); include_dir the interpreter's header folder;
    pybind11 its (major, minor) or None; cmake the path of cmake or None.
    """
    here = f"Python {version[0]}.{version[1]}"
    if implementation != "CPython":
        return f"veltor builds for CPython only; this interpreter is {implementation}."
    if not (pathlib.Path(include_dir) / "Python.h").is_file():
        return (
            f"{here} has no Python.h in {include_dir}: install its development headers "
            "(Debian's python3-dev for /usr/bin/python3, pythonX.Y-dev for another "
            "Debian python), or use an interpreter built with them (pyenv's are)."
        )
    if pybind11 is None:
        return (
            "pybind11's headers were not found: install Debian's pybind11-dev "
            "(scripts/setup.sh installs it), or name its prefix in CMAKE_PREFIX_PATH."
        )
    newest = PYBIND11_NEWEST_PYTHON.get(pybind11)
    if newest is not None and tuple(version) > newest:
        return (
            f"pybind11 {pybind11[0]}.{pybind11[1]} builds modules for Python up to "
            f"{newest[0]}.{newest[1]}, not for {here}: install veltor with Python "
            f"{newest[0]}.{newest[1]} or older (such as /usr/bin/python3), or install "
            f"a pybind11 that supports {here} and name its prefix in CMAKE_PREFIX_PATH."
        )
    if cmake is None:
        return f"cmake was not found on PATH: install it (Debian: apt-get install {_PACKAGES})."
    return None


def check_interpreter():
    """Raises with a sentence that says what to install when the running
    interpreter cannot get the module built."""
    problem = find_problem(
        platform.python_implementation(),
        sys.version_info[:2],
        sysconfig.get_paths()["include"],
        pybind11_version(pybind11_include_dirs()),
        shutil.which("cmake"),
    )
    if problem:
        raise RuntimeError(problem)

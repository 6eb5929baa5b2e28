"""PEP 517 build backend of the veltor Python package, in the tree.

Needs nothing that pip would download: CMake builds the library and the
_veltor module for the interpreter running pip (pybind11 from the system's
pybind11-dev), and the wheel is packed with the standard library alone.

    python -m pip install <checkout>         # build and install
    python -m pip wheel --no-deps <checkout> # a wheel for the same Python

build_sdist packs the tracked files (git ls-files) with PKG-INFO; pip can
build and install from that archive too.

The CMake build goes to a scratch folder, removed afterwards, unless
VELTOR_BUILD_DIR (or pip's ``--config-settings build-dir=DIR``) names a
folder to keep it in for the next build; it holds one build per interpreter.
"""

import pathlib
import re
import shutil
import tempfile

from . import _checks, _cmake, _sdist, _wheel

_SOURCE = pathlib.Path(__file__).resolve().parents[3]

_SUMMARY = "Host SDK for the Veltor eight-channel delay and pulse generator"


def _version():
    text = (_SOURCE / "CMakeLists.txt").read_text()
    match = re.search(r"project\(veltor\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError(f"{_SOURCE / 'CMakeLists.txt'}: no project version found")
    return match.group(1)


def _metadata():
    return _wheel.Metadata(
        name="veltor",
        version=_version(),
        summary=_SUMMARY,
        requires_python=">=3.7",
        tag=_wheel.interpreter_tag(),
    )


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_sdist(sdist_directory, config_settings=None):
    return _sdist.pack(pathlib.Path(sdist_directory), _SOURCE, _metadata())


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    return _wheel.write_dist_info(pathlib.Path(metadata_directory), _metadata())


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    _checks.check_interpreter()
    metadata = _metadata()
    with _cmake.build_folder(config_settings, _SOURCE, metadata.tag) as build:
        staging = pathlib.Path(tempfile.mkdtemp(prefix="veltor-wheel-"))
        try:
            package = _cmake.build_package(_SOURCE, build, staging)
            return _wheel.pack(pathlib.Path(wheel_directory), package, metadata)
        finally:
            shutil.rmtree(staging, ignore_errors=True)

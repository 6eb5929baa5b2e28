"""The CMake build of the library and the _veltor module for the running
interpreter, installed into a staging folder as the wheel will hold it."""

import contextlib
import hashlib
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile


@contextlib.contextmanager
def build_folder(config_settings, source, tag):
    """The CMake build tree: kept under VELTOR_BUILD_DIR (or the build-dir
    setting) for the next build, else a scratch folder."""
    root = (config_settings or {}).get("build-dir") or os.environ.get("VELTOR_BUILD_DIR")
    if not root:
        with tempfile.TemporaryDirectory(prefix="veltor-build-") as scratch:
            yield pathlib.Path(scratch)
        return
    # One tree per source tree and installed interpreter: the venvs made
    # from one interpreter share its headers, so they share a build.
    include = sysconfig.get_paths()["include"]
    key = hashlib.sha256(f"{source}\0{include}".encode()).hexdigest()[:10]
    folder = pathlib.Path(root).resolve() / f"{tag}-{key}"
    folder.mkdir(parents=True, exist_ok=True)
    yield folder


def _run(command):
    # The build's output goes to standard error: pip shows it with -v or
    # when the build fails, and keeps hook results apart from it.
    subprocess.run([str(part) for part in command], check=True, stdout=2)


def build_package(source, build, staging):
    """Configures and builds in build, installs the package into staging
    with the library beside the module; returns staging/veltor."""
    command = ["cmake", "-S", source, "-B", build]
    # A kept tree already has its generator.
    if shutil.which("ninja") and not (build / "CMakeCache.txt").exists():
        command += ["-G", "Ninja"]
    command += [
        "-DCMAKE_BUILD_TYPE=Release",
        f"-DPython3_EXECUTABLE={sys.executable}",
        "-DVELTOR_BUILD_TESTS=OFF",
        "-DVELTOR_BUILD_EXAMPLES=OFF",
        "-DVELTOR_BUILD_BENCH=OFF",
        "-DVELTOR_BUILD_DOCS=OFF",
        "-DVELTOR_BUILD_FUZZ=OFF",
        "-DVELTOR_SANITIZE=",
        "-DVELTOR_PYTHON_INSTALL_DIR:STRING=.",
        # The wheel carries its own libveltor beside the module.
        "-DVELTOR_PYTHON_RPATH:STRING=$ORIGIN",
    ]
    _run(command)
    jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
    _run(["cmake", "--build", build, "--target", "_veltor", "--parallel", jobs])
    _run(["cmake", "--install", build, "--component", "python", "--prefix", staging])
    package = staging / "veltor"
    library = pathlib.Path((build / "python" / "library-file.txt").read_text().strip())
    # The soname's link read through to the library's file.
    shutil.copyfile(library, package / library.name)
    return package

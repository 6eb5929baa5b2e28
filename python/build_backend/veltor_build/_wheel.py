"""The wheel: a zip of the package folder and its .dist-info (METADATA,
WHEEL, RECORD), written with the standard library alone."""

import base64
import dataclasses
import hashlib
import sys
import sysconfig
import zipfile


@dataclasses.dataclass(frozen=True)
class Metadata:
    name: str
    version: str
    summary: str
    requires_python: str
    tag: str

    @property
    def dist_info(self):
        return f"{self.name}-{self.version}.dist-info"

    def files(self):
        """The .dist-info's files but RECORD, by name."""
        metadata = (
            "Metadata-Version: 2.1\n"
            f"Name: {self.name}\n"
            f"Version: {self.version}\n"
            f"Summary: {self.summary}\n"
            f"Requires-Python: {self.requires_python}\n"
        )
        wheel = (
            "Wheel-Version: 1.0\n"
            "Generator: veltor_build\n"
            "Root-Is-Purelib: false\n"
            f"Tag: {self.tag}\n"
        )
        return {"METADATA": metadata, "WHEEL": wheel}


def interpreter_tag():
    """cpXY-cpXY-platform for the running interpreter; the ABI part carries
    SOABI's flags (d for a debug build, t for a free-threaded one)."""
    version = f"{sys.version_info[0]}{sys.version_info[1]}"
    soabi = sysconfig.get_config_var("SOABI") or f"cpython-{version}"
    abi = "cp" + soabi.split("-")[1]
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"cp{version}-{abi}-{platform}"


def write_dist_info(directory, metadata):
    folder = directory / metadata.dist_info
    folder.mkdir(parents=True, exist_ok=True)
    for name, text in metadata.files().items():
        (folder / name).write_text(text)
    return metadata.dist_info


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def pack(directory, package, metadata):
    """Writes the wheel of the folder package (installed as veltor/) into
    directory; returns the wheel's file name."""
    name = f"{metadata.name}-{metadata.version}-{metadata.tag}.whl"
    directory.mkdir(parents=True, exist_ok=True)
    entries = [
        (f"veltor/{path.name}", path.read_bytes(), 0o755 if ".so" in path.name else 0o644)
        for path in sorted(package.iterdir())
        if path.is_file() and path.suffix != ".pyc"
    ]
    entries += [
        (f"{metadata.dist_info}/{file}", text.encode(), 0o644)
        for file, text in metadata.files().items()
    ]
    record_name = f"{metadata.dist_info}/RECORD"
    record = "".join(_record_line(entry, data) for entry, data, _ in entries) + f"{record_name},,\n"
    entries.append((record_name, record.encode(), 0o644))
    with zipfile.ZipFile(directory / name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for entry, data, mode in entries:
            # A fixed time: the same build makes the same wheel.
            info = zipfile.ZipInfo(entry, date_time=(1980, 1, 1, 0, 0, 0))
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(info, data)
    return name

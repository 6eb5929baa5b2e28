"""The source archive: the project's tracked files (git's list in a
git checkout, else every file but build trees) and PKG-INFO."""

import io
import subprocess
import tarfile


def _skipped(parts):
    top = parts[0]
    return (
        top in (".git", "PKG-INFO", "build")
        or top.startswith("build-")
        or "__pycache__" in parts
    )


def _files(source):
    if (source / ".git").exists():
        try:
            listed = subprocess.run(
                ["git", "-C", str(source), "ls-files", "-z"], check=True, capture_output=True
            ).stdout
            names = [name for name in listed.decode().split("\0") if name]
            return sorted(name for name in names if (source / name).is_file())
        except (OSError, subprocess.CalledProcessError):
            pass
    # A tree without git (an unpacked archive): all but build trees.
    relative = (path.relative_to(source) for path in source.rglob("*") if path.is_file())
    return sorted(path.as_posix() for path in relative if not _skipped(path.parts))


def pack(directory, source, metadata):
    """Writes name-version.tar.gz into directory; returns its file name."""
    base = f"{metadata.name}-{metadata.version}"
    directory.mkdir(parents=True, exist_ok=True)
    with tarfile.open(directory / f"{base}.tar.gz", "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for name in _files(source):
            archive.add(source / name, arcname=f"{base}/{name}", recursive=False)
        info = metadata.files()["METADATA"].encode()
        entry = tarfile.TarInfo(f"{base}/PKG-INFO")
        entry.size = len(info)
        entry.mode = 0o644
        archive.addfile(entry, io.BytesIO(info))
    return f"{base}.tar.gz"

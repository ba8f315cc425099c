"""A PEP 517 build backend for the cindervox package, standard library only.

pip's usual backend (setuptools) would first be fetched from a package index into an
isolated build environment; this one needs nothing, so the package installs from the
repository on a machine without an index. It builds a pure-Python wheel of the package
folder, an sdist, and an editable wheel (a .pth file naming this folder).
"""
import base64
import hashlib
import io
import os
import re
import tarfile
import zipfile

NAME = "cindervox"
SUMMARY = "Client of the Cindervox command sandbox for AI agents"
REQUIRES_PYTHON = ">=3.9"
HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_DIR = os.path.join(HERE, NAME)
# Files of the project besides the package that go into the sdist.
SDIST_EXTRA = ("pyproject.toml", "wheel_backend.py")


def _version():
    with open(os.path.join(PACKAGE_DIR, "__init__.py"), encoding="utf-8") as f:
        match = re.search(r'^__version__ = "([^"]+)"', f.read(), re.M)
    if not match:
        raise RuntimeError("no __version__ in %s/__init__.py" % NAME)
    return match.group(1)


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\nSummary: %s\n"
            "Requires-Python: %s\nClassifier: Typing :: Typed\n"
            % (NAME, _version(), SUMMARY, REQUIRES_PYTHON)).encode()


def _package_files():
    """(archive name, path) of every file of the package, in a stable order."""
    found = []
    for folder, dirs, files in os.walk(PACKAGE_DIR):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        for name in sorted(files):
            if name.endswith((".py", ".typed")):
                path = os.path.join(folder, name)
                found.append((os.path.relpath(path, HERE).replace(os.sep, "/"), path))
    return found


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(data))


def _write_wheel(directory, entries):
    """entries: (archive name, bytes). Adds the dist-info files and returns the file name."""
    dist_info = "%s-%s.dist-info" % (NAME, _version())
    entries = list(entries) + [
        (dist_info + "/METADATA", _metadata()),
        (dist_info + "/WHEEL", b"Wheel-Version: 1.0\nGenerator: wheel_backend\n"
                               b"Root-Is-Purelib: true\nTag: py3-none-any\n"),
    ]
    filename = "%s-%s-py3-none-any.whl" % (NAME, _version())
    record = "".join(_record_line(name, data) for name, data in entries)
    record += dist_info + "/RECORD,,\n"
    with zipfile.ZipFile(os.path.join(directory, filename), "w", zipfile.ZIP_DEFLATED) as whl:
        for name, data in entries:
            whl.writestr(name, data)
        whl.writestr(dist_info + "/RECORD", record)
    return filename


def _read(path):
    with open(path, "rb") as f:
        return f.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, [(name, _read(path)) for name, path in _package_files()])


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, [(NAME + ".pth", (HERE + "\n").encode())])


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, _version())
    filename = base + ".tar.gz"
    files = _package_files() + [(name, os.path.join(HERE, name)) for name in SDIST_EXTRA]
    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for name, path in files:
            tar.add(path, arcname=base + "/" + name)
        info = tarfile.TarInfo(base + "/PKG-INFO")
        data = _metadata()
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    return filename

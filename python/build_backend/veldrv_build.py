"""A build backend (PEP 517, PEP 660) that needs nothing but the standard library.

pip builds packages in an isolated environment and installs the backend's
requirements into it from the package index; with this backend there are
none, so `pip install ./python` works on machines without network access and
without setuptools or wheel. The package is pure Python; a libveldrv.so*
(veldrv.dll) put into veldrv/ before building, or named by the setting
`library` (an absolute path), is packed beside it, and the wheel is then
tagged for this platform:

    pip wheel ./python --no-deps -w dist --config-settings library=$PWD/build/lib/libveldrv.so.1
"""

from __future__ import annotations

import base64
import hashlib
import io
import os
import re
import sysconfig
import tarfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "veldrv"
LIBRARY_FILE = re.compile(r"^(libveldrv\.so(\.\d+)*|libveldrv(\.\d+)*\.dylib|veldrv\.dll)$")
SDIST_ITEMS = ("pyproject.toml", "README.md", "build_backend", PACKAGE, "tests")


def _licence() -> bytes:
    """The project's LICENSE: beside pyproject.toml in an sdist, one folder up in the repository."""
    for path in (os.path.join(ROOT, "LICENSE"), os.path.join(os.path.dirname(ROOT), "LICENSE")):
        if os.path.exists(path):
            with open(path, "rb") as f:
                return f.read()
    raise FileNotFoundError("LICENSE not found beside or above " + ROOT)


def _project() -> dict:
    """The simple string keys of pyproject.toml's [project] table."""
    with open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8") as f:
        text = f.read()
    table = re.search(r"^\[project\]\s*$(.*?)(?=^\[|\Z)", text, re.M | re.S)
    return dict(re.findall(r'^([\w-]+)\s*=\s*"([^"]*)"\s*$', table.group(1), re.M)) if table else {}


def _metadata() -> str:
    p = _project()
    lines = ["Metadata-Version: 2.1", f"Name: {p['name']}", f"Version: {p['version']}"]
    if "description" in p:
        lines.append(f"Summary: {p['description']}")
    if "requires-python" in p:
        lines.append(f"Requires-Python: {p['requires-python']}")
    if "license" in p:
        lines.append(f"License: {p['license']}")
        lines.append("License-File: LICENSE")
    readme = os.path.join(ROOT, "README.md")
    body = ""
    if os.path.exists(readme):
        lines.append("Description-Content-Type: text/markdown")
        with open(readme, encoding="utf-8") as f:
            body = "\n" + f.read()
    return "\n".join(lines) + "\n" + body


def _library_setting(config_settings) -> str | None:
    """The library file named by the build setting `library`, if any."""
    value = (config_settings or {}).get("library")
    if isinstance(value, list):
        value = value[-1] if value else None
    if not value:
        return None
    name = os.path.basename(value)
    if not os.path.isabs(value) or not os.path.isfile(value) or not LIBRARY_FILE.match(name):
        raise ValueError(
            f"library={value}: give the absolute path of an existing libveldrv.so* (veldrv.dll)"
        )
    return value


def _package_files(library: str | None = None):
    """(path in the wheel, path on disk) of the package, and whether a library is among them."""
    files, native = {}, False
    base = os.path.join(ROOT, PACKAGE)
    for name in sorted(os.listdir(base)):
        path = os.path.join(base, name)
        if not os.path.isfile(path):
            continue
        if name.endswith(".py") or name == "py.typed":
            files[f"{PACKAGE}/{name}"] = path
        elif LIBRARY_FILE.match(name):
            files[f"{PACKAGE}/{name}"] = path
            native = True
    if library:
        # The file itself: a symbolic link such as libveldrv.so.1 is followed.
        files[f"{PACKAGE}/{os.path.basename(library)}"] = library
        native = True
    return sorted(files.items()), native


def _tag(native: bool) -> str:
    if not native:
        return "py3-none-any"
    return "py3-none-" + re.sub(r"[-.]", "_", sysconfig.get_platform())


class _Wheel:
    def __init__(self, path: str):
        self.zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self.record = []

    def add(self, arcname: str, data: bytes) -> None:
        info = zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        self.record.append(f"{arcname},sha256={digest},{len(data)}")

    def close(self, dist_info: str) -> None:
        self.record.append(f"{dist_info}/RECORD,,")
        self.add_plain(f"{dist_info}/RECORD", "\n".join(self.record) + "\n")
        self.zip.close()

    def add_plain(self, arcname: str, text: str) -> None:
        info = zipfile.ZipInfo(arcname, date_time=(2020, 1, 1, 0, 0, 0))
        info.external_attr = 0o644 << 16
        self.zip.writestr(info, text.encode())


def _build(wheel_directory: str, contents, native: bool) -> str:
    p = _project()
    tag = _tag(native)
    dist_info = f"{p['name']}-{p['version']}.dist-info"
    filename = f"{p['name']}-{p['version']}-{tag}.whl"
    wheel = _Wheel(os.path.join(wheel_directory, filename))
    for arcname, data in contents:
        wheel.add(arcname, data)
    wheel.add(f"{dist_info}/METADATA", _metadata().encode())
    wheel.add(f"{dist_info}/LICENSE", _licence())
    purelib = "false" if native else "true"
    wheel_file = f"Wheel-Version: 1.0\nGenerator: veldrv_build\nRoot-Is-Purelib: {purelib}\nTag: {tag}\n"
    wheel.add(f"{dist_info}/WHEEL", wheel_file.encode())
    wheel.close(dist_info)
    return filename


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files, native = _package_files(_library_setting(config_settings))
    return _build(wheel_directory, [(arc, _read(path)) for arc, path in files], native)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The installed .pth puts this folder on sys.path: the sources are used in place.
    return _build(wheel_directory, [(f"_{PACKAGE}_editable.pth", (ROOT + "\n").encode())], False)


def build_sdist(sdist_directory, config_settings=None):
    p = _project()
    base = f"{p['name']}-{p['version']}"
    filename = f"{base}.tar.gz"

    def keep(info: tarfile.TarInfo):
        name = os.path.basename(info.name)
        if name == "__pycache__" or name.endswith(".pyc") or LIBRARY_FILE.match(name):
            return None
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        return info

    with tarfile.open(os.path.join(sdist_directory, filename), "w:gz", format=tarfile.PAX_FORMAT) as tar:
        for item in SDIST_ITEMS:
            path = os.path.join(ROOT, item)
            if os.path.exists(path):
                tar.add(path, arcname=f"{base}/{item}", filter=keep)
        licence = _licence()
        info = tarfile.TarInfo(f"{base}/LICENSE")
        info.size = len(licence)
        tar.addfile(info, io.BytesIO(licence))
        pkg_info = _metadata().encode()
        info = tarfile.TarInfo(f"{base}/PKG-INFO")
        info.size = len(pkg_info)
        tar.addfile(info, io.BytesIO(pkg_info))
    return filename

"""Finding and loading the shared library, with the prototypes of its functions."""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import os
import sys
import sysconfig
import threading
from typing import List, Optional, Sequence

ENV_VARIABLE = "VELDRV_LIBRARY"
PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

if sys.platform == "win32":
    _BESIDE_PATTERNS = ("veldrv.dll",)
    _SYSTEM_NAMES = ("veldrv.dll",)
elif sys.platform == "darwin":
    _BESIDE_PATTERNS = ("libveldrv.dylib", "libveldrv.*.dylib")
    _SYSTEM_NAMES = ("libveldrv.1.dylib",)
else:
    _BESIDE_PATTERNS = ("libveldrv.so", "libveldrv.so.*")
    _SYSTEM_NAMES = ("libveldrv.so.1",)

_loaded: dict = {}
_load_lock = threading.Lock()


def prefix_folders() -> List[str]:
    """The library folders of the usual install prefixes, searched after the
    system's own search: ``cmake --install build --prefix ~/.local`` (or
    /usr/local) and the Debian package (/usr/lib) need no ldconfig run and
    no LD_LIBRARY_PATH."""
    if sys.platform == "win32":
        return []
    multiarch = sysconfig.get_config_var("MULTIARCH") or ""
    folders = [os.path.join(os.path.expanduser("~"), ".local", "lib")]
    for prefix in ("/usr/local", "/usr"):
        if multiarch:
            folders.append(os.path.join(prefix, "lib", multiarch))
        folders.append(os.path.join(prefix, "lib"))
    return folders


def _loads(name: str) -> bool:
    """Whether the dynamic loader finds and loads ``name`` by its own search."""
    try:
        ctypes.CDLL(name)
    except OSError:
        return False
    return True


def find_library(
    path: Optional[str] = None,
    package_dir: Optional[str] = None,
    prefixes: Optional[Sequence[str]] = None,
) -> str:
    """The file or name of the library to load, searched in this order:

    1. ``path``, when given;
    2. the environment variable VELDRV_LIBRARY, when set and not empty;
    3. a libveldrv.so* (veldrv.dll) inside the package folder;
    4. the system's search: ctypes.util.find_library('veldrv'), or
       'libveldrv.so.1' ('veldrv.dll') when the dynamic loader loads it
       (its cache, LD_LIBRARY_PATH);
    5. libveldrv.so.1 in the folders of ``prefixes``, by default
       prefix_folders(): ~/.local/lib, /usr/local/lib, /usr/lib and their
       multiarch folders.

    When nothing is found the result is 'libveldrv.so.1', whose loading then
    fails with a message that says where to put the library. A path given by
    argument or environment must name an existing file; it is an error, not a
    reason to look further, when it does not.
    """
    if path is not None:
        path = os.fspath(path)
        if not os.path.isfile(path):
            raise FileNotFoundError(f"veldrv library not found: {path}")
        return path
    from_env = os.environ.get(ENV_VARIABLE)
    if from_env:
        if not os.path.isfile(from_env):
            raise FileNotFoundError(f"veldrv library not found: {ENV_VARIABLE}={from_env}")
        return from_env
    folder = PACKAGE_DIR if package_dir is None else package_dir
    for pattern in _BESIDE_PATTERNS:
        found = sorted(glob.glob(os.path.join(glob.escape(folder), pattern)))
        if found:
            return found[0]
    system = ctypes.util.find_library("veldrv")
    if system:
        return system
    for name in _SYSTEM_NAMES:
        if _loads(name):
            return name
    for folder in prefix_folders() if prefixes is None else prefixes:
        for name in _SYSTEM_NAMES:
            candidate = os.path.join(folder, name)
            if os.path.isfile(candidate):
                return candidate
    return _SYSTEM_NAMES[0]


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    c_int, c_void_p = ctypes.c_int, ctypes.c_void_p
    lib.VelOpen.argtypes = [c_int, c_int]
    lib.VelClose.argtypes = [c_int]
    for name in ("VelRdB", "VelRdW", "VelWrB", "VelWrW"):
        getattr(lib, name).argtypes = [c_int, c_int, c_int, c_int, c_void_p]
    lib.VelReason.argtypes = [c_int, ctypes.c_char_p, c_int]
    lib.VelStatusText.argtypes = [c_int]
    lib.VelStatusText.restype = ctypes.c_char_p
    for name in ("VelOpen", "VelClose", "VelRdB", "VelRdW", "VelWrB", "VelWrW", "VelReason"):
        getattr(lib, name).restype = c_int
    return lib


# The library's texts are ASCII sentences around device names, which are in
# the system's encoding.
_TEXT_ENCODING = "mbcs" if sys.platform == "win32" else "utf-8"
REASON_BYTES = 256


def status_text(lib: ctypes.CDLL, code: int) -> str:
    """The library's English text for a status code (VelStatusText)."""
    return lib.VelStatusText(code).decode(_TEXT_ENCODING, "replace")


def reason(lib: ctypes.CDLL, handle: int, code: int) -> str:
    """Why the call that returned ``code`` failed, in the library's words
    (VelReason): on the handle's port, or with handle -1 for this thread's
    last failed VelOpen. Call it right after the failure, on the same thread.
    Empty when the library keeps no reason for that code (a letter the
    function refuses, a bad handle)."""
    text = ctypes.create_string_buffer(REASON_BYTES)
    if lib.VelReason(handle, text, REASON_BYTES) != code:
        return ""
    return text.value.decode(_TEXT_ENCODING, "replace")


def load_library(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the library found by find_library(path), once per file."""
    name = find_library(path)
    with _load_lock:
        lib = _loaded.get(name)
        if lib is None:
            try:
                # The platform's C convention (cdecl on 32-bit Windows): CDLL.
                lib = _declare(ctypes.CDLL(name))
            except (OSError, AttributeError) as error:
                raise OSError(
                    f"cannot load the veldrv library '{name}' ({error}); install it (the "
                    f"Debian package, or cmake --install to one of {', '.join(prefix_folders())}), "
                    f"give its path as an argument or in {ENV_VARIABLE}, or put it into {PACKAGE_DIR}"
                ) from error
            _loaded[name] = lib
        return lib

"""Finding and loading the shared library, with the prototypes of its six functions."""

from __future__ import annotations

import ctypes
import ctypes.util
import glob
import os
import sys
import threading
from typing import Optional

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


def find_library(path: Optional[str] = None, package_dir: Optional[str] = None) -> str:
    """The file or name of the library to load, searched in this order:

    1. ``path``, when given;
    2. the environment variable VELDRV_LIBRARY, when set and not empty;
    3. a libveldrv.so* (veldrv.dll) inside the package folder;
    4. the system's search: ctypes.util.find_library('veldrv'), else
       'libveldrv.so.1' ('veldrv.dll'), left to the dynamic loader.

    A path given by argument or environment must name an existing file; it is
    an error, not a reason to look further, when it does not.
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
    return ctypes.util.find_library("veldrv") or _SYSTEM_NAMES[0]


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    c_int, c_void_p = ctypes.c_int, ctypes.c_void_p
    lib.VelOpen.argtypes = [c_int, c_int]
    lib.VelClose.argtypes = [c_int]
    for name in ("VelRdB", "VelRdW", "VelWrB", "VelWrW"):
        getattr(lib, name).argtypes = [c_int, c_int, c_int, c_int, c_void_p]
    for name in ("VelOpen", "VelClose", "VelRdB", "VelRdW", "VelWrB", "VelWrW"):
        getattr(lib, name).restype = c_int
    return lib


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
                    f"cannot load the veldrv library '{name}' ({error}); give its path as "
                    f"an argument or in {ENV_VARIABLE}, or put it into {PACKAGE_DIR}"
                ) from error
            _loaded[name] = lib
        return lib

"""Link: one open handle of the library, for one controller on one port."""

from __future__ import annotations

import ctypes
import re
import threading
import warnings
from typing import Iterable, List, Optional, Union

from ._errors import BAD_HANDLE, VelError
from ._library import load_library

FX = "fx"
A_SERIES = "a"

PORT_COUNT = 16
MAX_BYTES = 65535
MAX_WORDS = 32767
MAX_START = 65535

_COM_NAME = re.compile(r"COM([1-9][0-9]?)", re.IGNORECASE)


def _port_number(port: Union[int, str]) -> int:
    if isinstance(port, str):
        match = _COM_NAME.fullmatch(port.strip())
        if not match:
            raise ValueError(f"port must be 0..15 or 'COM1'..'COM16', not {port!r}")
        number = int(match.group(1)) - 1
    elif isinstance(port, int) and not isinstance(port, bool):
        number = port
    else:
        raise TypeError(f"port must be an int or a 'COMn' string, not {type(port).__name__}")
    if not 0 <= number < PORT_COUNT:
        raise ValueError(f"port must be 0..15 (COM1..COM16), not {port!r}")
    return number


def _family(family: str) -> str:
    if not isinstance(family, str):
        raise TypeError(f"family must be 'fx' or 'a', not {type(family).__name__}")
    name = family.strip().lower()
    if name not in (FX, A_SERIES):
        raise ValueError(f"family must be 'fx' or 'a', not {family!r}")
    return name


def _letter(area: str) -> int:
    # Which letters an operation accepts is the library's judgement (VelError -10).
    if not isinstance(area, str):
        raise TypeError(f"area must be an operand letter, not {type(area).__name__}")
    if len(area) != 1:
        raise ValueError(f"area must be one operand letter, not {area!r}")
    return ord(area)


def _int_in(name: str, value: int, high: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= high:
        raise ValueError(f"{name} must be 0..{high}, not {value}")
    return value


class Link:
    """An open link to a controller: ``Link(0, FX)`` opens COM1 for an FX controller.

    Use it as a context manager, or call close(). Every failure of the library
    raises VelError; bad arguments raise ValueError or TypeError before the
    library is called. ``area`` is an operand letter: D data registers,
    E/I/X inputs (read only), A/O/Y outputs, M markers, S raw controller
    addresses; upper or lower case. Byte operations count ``start`` in bytes,
    word operations in words (S: always the controller address).

    A Link may be used from several threads; its calls run one after the other.
    """

    def __init__(self, port: Union[int, str], family: str = FX, library: Optional[str] = None):
        self.port = _port_number(port)
        self.family = _family(family)
        self._lib = load_library(library)
        self._lock = threading.Lock()
        self._handle: Optional[int] = None
        handle = self._lib.VelOpen(self.port, 1 if self.family == FX else 0)
        if handle < 0:
            raise VelError(handle, "VelOpen", f"COM{self.port + 1}, family {self.family}")
        self._handle = handle

    @property
    def handle(self) -> Optional[int]:
        """The library's handle number, None once closed."""
        return self._handle

    @property
    def closed(self) -> bool:
        return self._handle is None

    def close(self) -> None:
        """Closes the handle; the port closes with its last handle. Closing twice does nothing."""
        with self._lock:
            if self._handle is None:
                return
            rc = self._lib.VelClose(self._handle)
            if rc < 0:
                raise VelError(rc, "VelClose")
            self._handle = None

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_handle", None) is not None:
            warnings.warn(f"unclosed {self!r}", ResourceWarning, stacklevel=2)
            try:
                self.close()
            except Exception:  # noqa: BLE001 - nothing can be reported from a finalizer
                pass

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else f"handle {self._handle}"
        return f"<veldrv.Link COM{self.port + 1} {self.family} {state}>"

    def _call(self, name: str, area: str, start: int, count: int, buffer) -> None:
        letter = _letter(area)
        with self._lock:
            if self._handle is None:
                raise VelError(BAD_HANDLE, name, "the link is closed")
            rc = getattr(self._lib, name)(self._handle, letter, start, count, buffer)
        if rc < 0:
            raise VelError(rc, name, f"area {area!r}, start {start}, count {count}")

    def read_bytes(self, area: str, start: int, count: int) -> bytes:
        """Reads ``count`` bytes of the area from byte number ``start``."""
        _int_in("start", start, MAX_START)
        _int_in("count", count, MAX_BYTES)
        buffer = (ctypes.c_uint8 * count)()
        self._call("VelRdB", area, start, count, buffer)
        return bytes(buffer)

    def read_words(self, area: str, start: int, count: int) -> List[int]:
        """Reads ``count`` 16-bit words from word number ``start``, as the host reads
        the controller's bytes (little-endian on a PC)."""
        _int_in("start", start, MAX_START)
        _int_in("count", count, MAX_WORDS)
        buffer = (ctypes.c_uint16 * count)()
        self._call("VelRdW", area, start, count, buffer)
        return list(buffer)

    def write_bytes(self, area: str, start: int, data) -> None:
        """Writes a bytes-like object to the area from byte number ``start``."""
        _int_in("start", start, MAX_START)
        if isinstance(data, str):
            raise TypeError("data must be bytes-like, not str")
        payload = memoryview(data).tobytes()  # TypeError for anything not bytes-like
        if len(payload) > MAX_BYTES:
            raise ValueError(f"at most {MAX_BYTES} bytes per call, not {len(payload)}")
        buffer = (ctypes.c_uint8 * len(payload)).from_buffer_copy(payload)
        self._call("VelWrB", area, start, len(payload), buffer)

    def write_words(self, area: str, start: int, words: Iterable[int]) -> None:
        """Writes 16-bit words (ints 0..65535) to the area from word number ``start``."""
        _int_in("start", start, MAX_START)
        values = list(words)
        if len(values) > MAX_WORDS:
            raise ValueError(f"at most {MAX_WORDS} words per call, not {len(values)}")
        for value in values:
            _int_in("word", value, 0xFFFF)
        buffer = (ctypes.c_uint16 * len(values))(*values)
        self._call("VelWrW", area, start, len(values), buffer)

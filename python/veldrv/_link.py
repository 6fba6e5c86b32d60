"""Link: one open handle of the library, for one controller on one port."""

from __future__ import annotations

import ctypes
import os
import re
import sys
import threading
import warnings
from typing import Dict, Iterable, List, Optional, Tuple, Union

from ._errors import BAD_HANDLE, VeldrvError
from ._library import load_library, reason, status_text

FX = "fx"
A_SERIES = "a"

PORT_COUNT = 16
MAX_BYTES = 65535
MAX_WORDS = 32767
MAX_START = 65535
LAST_ADDRESS = 0xFFFF

# The controller byte address of each area's first operand, as the library
# maps the letters: A-series, FX, and FX with VELDRV_FX_AREAS=legacy (which
# the library reads when it opens an FX link).
_AREA_BASES = (
    ("D", 0x8800, 0x1000, 0x1000),  # data registers
    ("EIX", 0x8000, 0x0080, 0x0400),  # inputs
    ("AOY", 0x8200, 0x00A0, 0x0500),  # outputs
    ("M", 0x8400, 0x0100, 0x0800),  # markers
)
_RAW_LETTERS = "Ss"

_COM_NAME = re.compile(r"COM([1-9][0-9]?)", re.IGNORECASE)
_TCP_ADDRESS = re.compile(r"(?:tcp|rfc2217)://(\[[0-9A-Fa-f:.]+\]|[^\s:/\[\]]+):([0-9]{1,5})")
_NETWORK_SCHEMES = ("tcp://", "rfc2217://")  # a device server's raw TCP port, its RFC 2217 port
_DEVICE_VARIABLE = "VELDRV_COM{}"


def _parse_port(port: Union[int, str, "os.PathLike[str]"]) -> Tuple[Optional[int], Optional[str]]:
    """(port number, None) for 0..15 and 'COM1'..'COM16'; (None, device) for a
    device path or a tcp://HOST:PORT or rfc2217://HOST:PORT address."""
    if isinstance(port, os.PathLike):
        port = os.fspath(port)
    if isinstance(port, str):
        text = port.strip()
        match = _COM_NAME.fullmatch(text)
        if match and 1 <= int(match.group(1)) <= PORT_COUNT:
            return int(match.group(1)) - 1, None
        if text.startswith(_NETWORK_SCHEMES):
            address = _TCP_ADDRESS.fullmatch(text)
            if not address or not 1 <= int(address.group(2)) <= 65535:
                scheme = text.split("://")[0]
                raise ValueError(f"a TCP port is '{scheme}://HOST:PORT' with PORT 1..65535, not {port!r}")
            return None, text
        if sys.platform == "win32" and text and not match:
            return None, text  # a COM name the numbers do not reach, e.g. COM20 or \\.\COM20
        if sys.platform != "win32" and "/" in text:
            return None, os.path.abspath(text)
        raise ValueError(
            f"port must be 0..15, 'COM1'..'COM16', a device path or 'tcp://HOST:PORT', not {port!r}"
        )
    if isinstance(port, int) and not isinstance(port, bool):
        if not 0 <= port < PORT_COUNT:
            raise ValueError(f"port must be 0..15 (COM1..COM16), not {port!r}")
        return port, None
    raise TypeError(f"port must be an int, a 'COMn' string or a device, not {type(port).__name__}")


def _same_device(a: str, b: str) -> bool:
    if a.startswith(_NETWORK_SCHEMES) or b.startswith(_NETWORK_SCHEMES) or sys.platform == "win32":
        return a == b
    return os.path.realpath(a) == os.path.realpath(b)


class _PortTable:
    """The port numbers this process's links use. A link to a device takes a
    number through VELDRV_COM<n>, which the library reads when it opens a
    port: links to one device share a number (the library opens a device
    once and shares it), preferably the one whose VELDRV_COM<n> or
    VELDRV_DEVICE_DIR/COMn already is that device; other devices get the
    highest numbers that no link of this process uses and whose VELDRV_COM<n>
    is unset. While a device holds a number, Link('COMn') cannot take it.

    The environment is changed, and the library reads it, only under the
    table's lock, so every open of a Link holds it.
    """

    def __init__(self) -> None:
        # Reentrant: the finalizer of an unclosed Link may run, and close it,
        # in the middle of another Link's open.
        self.lock = threading.RLock()
        self._links: Dict[int, int] = {}
        self._devices: Dict[int, Tuple[str, Optional[str]]] = {}  # number: (device, earlier value)

    def claim(self, number: Optional[int], device: Optional[str]) -> int:
        """Takes a number for a new link (call with the lock held)."""
        if device is None:
            assert number is not None
            if number in self._devices:
                raise ValueError(
                    f"COM{number + 1} is in use by this process's link to {self._devices[number][0]}"
                )
        else:
            number = self._number_for(device)
            if number not in self._devices and not self._opens(number, device):
                variable = _DEVICE_VARIABLE.format(number + 1)
                self._devices[number] = (device, os.environ.get(variable))
                os.environ[variable] = device
        self._links[number] = self._links.get(number, 0) + 1
        return number

    def release(self, number: int) -> None:
        """Gives a link's number back; the last link of a device restores its
        VELDRV_COM<n> (call with the lock held)."""
        self._links[number] -= 1
        if self._links[number]:
            return
        del self._links[number]
        if number in self._devices:
            _, earlier = self._devices.pop(number)
            variable = _DEVICE_VARIABLE.format(number + 1)
            if earlier is None:
                os.environ.pop(variable, None)
            else:
                os.environ[variable] = earlier

    def _number_for(self, device: str) -> int:
        for number, (held, _) in self._devices.items():
            if _same_device(held, device):
                return number
        # A number whose device this already is (the user's VELDRV_COM<n>, or
        # VELDRV_DEVICE_DIR/COMn): the library then opens the device once.
        for number in range(PORT_COUNT):
            if number not in self._devices and self._opens(number, device):
                return number
        for number in reversed(range(PORT_COUNT)):
            if number not in self._links and not os.environ.get(_DEVICE_VARIABLE.format(number + 1)):
                return number
        raise OSError(
            f"no port number free for {device}: each of VELDRV_COM1..VELDRV_COM{PORT_COUNT} "
            "is in use by a link of this process or names another device"
        )

    @staticmethod
    def _opens(number: int, device: str) -> bool:
        """Whether the library opens ``device`` for port ``number`` as things are."""
        value = os.environ.get(_DEVICE_VARIABLE.format(number + 1))
        if not value:
            if sys.platform == "win32" or device.startswith(_NETWORK_SCHEMES):
                return False
            folder = os.environ.get("VELDRV_DEVICE_DIR")
            value = os.path.join(folder, f"COM{number + 1}") if folder else f"/dev/ttyS{number}"
        return _same_device(value, device)


_ports = _PortTable()


def _family(family: str) -> str:
    if not isinstance(family, str):
        raise TypeError(f"family must be 'fx' or 'a', not {type(family).__name__}")
    name = family.strip().lower()
    if name not in (FX, A_SERIES):
        raise ValueError(f"family must be 'fx' or 'a', not {family!r}")
    return name


def _area_bases(family: str, legacy: bool) -> Dict[str, int]:
    column = 1 if family == A_SERIES else 3 if legacy else 2
    bases = {}
    for row in _AREA_BASES:
        for letter in row[0]:
            bases[letter] = bases[letter.lower()] = row[column]
    return bases


def _letter(area: str) -> int:
    # Which letters an operation accepts is the library's judgement (VeldrvError -10).
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

    ``port`` is 0..15, 'COM1'..'COM16', a device path ('/dev/ttyUSB0') or a
    serial device server's address ('tcp://192.168.0.50:4001', or its RFC 2217
    port 'rfc2217://192.168.0.50:4001'). A device or address reaches the
    library through VELDRV_COM<n> (see _PortTable); the ``port`` attribute is
    then the number taken and ``device`` the device.

    Use it as a context manager, or call close(). Every failure of the library
    raises VeldrvError, with the library's reason; bad arguments raise
    ValueError or TypeError before the library is called. ``area`` is an
    operand letter: D data registers, E/I/X inputs (read only), A/O/Y
    outputs, M markers, S raw controller addresses; upper or lower case. Byte
    operations count ``start`` in bytes, word operations in words (S: always
    the controller address). A transfer must lie within controller memory,
    addresses 0..0xFFFF: the library carries 16-bit addresses, and a start
    beyond (D30720 on FX, at 0x10000) would reach address 0x0000 instead.

    A Link may be used from several threads; its calls run one after the other.
    """

    def __init__(self, port: Union[int, str, "os.PathLike[str]"], family: str = FX, library: Optional[str] = None):
        self._handle: Optional[int] = None
        number, self.device = _parse_port(port)
        self.family = _family(family)
        self._lib = load_library(library)
        self._lock = threading.Lock()
        why = ""
        with _ports.lock:
            self.port = _ports.claim(number, self.device)
            # The library takes the FX map from the environment at the open,
            # and the handle keeps it.
            legacy = os.environ.get("VELDRV_FX_AREAS") == "legacy"
            handle = self._lib.VelOpen(self.port, 1 if self.family == FX else 0)
            if handle < 0:
                why = reason(self._lib, -1, handle)
                _ports.release(self.port)
        if handle < 0:
            raise self._error(handle, "VelOpen", f"{self._where()}, family {self.family}", why)
        self._bases = _area_bases(self.family, legacy)
        self._handle = handle

    def _error(self, code: int, function: str, detail: str, why: str) -> VeldrvError:
        return VeldrvError(code, function, detail, why, status_text(self._lib, code))

    def _where(self) -> str:
        if self.device is None:
            return f"COM{self.port + 1}"
        return f"{self.device} (as COM{self.port + 1})"

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
                raise self._error(rc, "VelClose", str(self._handle), reason(self._lib, self._handle, rc))
            self._handle = None
            with _ports.lock:
                _ports.release(self.port)

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
        return f"<veldrv.Link {self._where()} {self.family} {state}>"

    def _check_reach(self, area: str, start: int, count: int, unit: int) -> None:
        """Refuses a transfer that leaves controller memory before anything is sent."""
        if area in _RAW_LETTERS:
            first = start
        elif area in self._bases:
            first = self._bases[area] + start * unit
        else:
            return  # not an area: the library refuses the letter
        what = "words" if unit == 2 else "bytes"
        if first > LAST_ADDRESS:
            highest = (LAST_ADDRESS - self._bases[area]) // unit
            raise ValueError(
                f"{area}{start} ({what}) lies at controller address 0x{first:X}, past the end of "
                f"controller memory (0x{LAST_ADDRESS:04X}); the last start of area {area} is {highest}"
            )
        last = first + count * unit - 1
        if last > LAST_ADDRESS:
            raise ValueError(
                f"{count} {what} from {area}{start} (controller address 0x{first:04X}) run past the "
                f"end of controller memory (0x{LAST_ADDRESS:04X}) to 0x{last:X}"
            )

    def _call(self, name: str, area: str, start: int, count: int, buffer) -> None:
        letter = _letter(area)
        detail = f"area {area!r}, start {start}, count {count}"
        with self._lock:
            if self._handle is None:
                raise self._error(BAD_HANDLE, name, detail, "the link is closed")
            self._check_reach(area, start, count, 2 if name.endswith("W") else 1)
            rc = getattr(self._lib, name)(self._handle, letter, start, count, buffer)
            # The reason lives in the port, where the next call replaces it.
            why = reason(self._lib, self._handle, rc) if rc < 0 else ""
        if rc < 0:
            raise self._error(rc, name, detail, why)

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

"""veldrv: read and write the memory of FX-series and A-series programmable
controllers over a serial port, through the veldrv shared library (ctypes).

    import veldrv
    with veldrv.Link(0, veldrv.FX) as link:        # COM1, FX controller
        link.write_words("D", 100, [1, 2, 3])
        print(link.read_words("D", 100, 3))
"""

from ._errors import (
    BAD_ARGUMENT,
    BAD_HANDLE,
    BAD_LETTER,
    CHECKSUM,
    NO_HANDLE,
    OK,
    PORT,
    TIMEOUT,
    WRONG_CHAR,
    VeldrvError,
    VelError,
    english_text,
    german_text,
)
from ._library import find_library, load_library
from ._link import A_SERIES, FX, Link

__version__ = "1.0.0"

__all__ = [
    "A_SERIES",
    "BAD_ARGUMENT",
    "BAD_HANDLE",
    "BAD_LETTER",
    "CHECKSUM",
    "FX",
    "Link",
    "NO_HANDLE",
    "OK",
    "PORT",
    "TIMEOUT",
    "VeldrvError",
    "VelError",
    "WRONG_CHAR",
    "english_text",
    "find_library",
    "german_text",
    "load_library",
]

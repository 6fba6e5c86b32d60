"""Status codes of the library and the exception that carries them."""

from __future__ import annotations

from typing import Optional

# The codes of veldrv.h (VEL_OK, VEL_TIMEOUT, ...).
OK = 0
TIMEOUT = -1
NO_HANDLE = -2
CHECKSUM = -3
PORT = -4
BAD_ARGUMENT = -5
WRONG_CHAR = -6
BAD_LETTER = -10
BAD_HANDLE = -99

# German words for every code, as the programs' table (common/status_texts.cpp)
# has them: the console program's words where its screen has some, a sentence
# of their own for the others.
_GERMAN = {
    OK: "kein Fehler",
    TIMEOUT: "Zeitueberlauf",
    NO_HANDLE: "keine Resourcen mehr frei",
    CHECKSUM: "Pr\u00fcfsumme der Antwort falsch oder Schlie\u00dfen der Verbindung fehlgeschlagen",
    PORT: "Schnittstelle ung\u00fcltig oder l\u00e4sst sich nicht \u00f6ffnen",
    BAD_ARGUMENT: "allgemeiner Fehler",
    WRONG_CHAR: "falsches Zeichen erhalten, \u00dcbertragungsfehler",
    BAD_LETTER: "Datentyp-Kennung falsch",
    BAD_HANDLE: "Referenznummer ist ungueltig",
}
_GERMAN_OTHER = "Unerwarteter Fehler"


def german_text(code: int) -> str:
    """The German words for a status code ("Unerwarteter Fehler" for a number
    that is none)."""
    return _GERMAN.get(code, _GERMAN_OTHER)


def english_text(code: int, library: Optional[str] = None) -> str:
    """The library's English text for a status code (VelStatusText; "unknown
    status" for a number that is none). Loads the library as load_library does."""
    from ._library import load_library, status_text

    return status_text(load_library(library), code)


class VeldrvError(Exception):
    """A call of the library returned a negative status code.

    ``code`` is the status code; ``reason`` the library's own account of this
    failure, naming the device ("COM3 (/dev/ttyUSB0): permission denied; ...",
    from VelReason), empty where it keeps none (a refused letter, a bad
    handle); ``english`` the code's meaning (VelStatusText) and ``german``
    the German words for it. ``function`` names the call that failed and
    ``detail`` its arguments.
    """

    def __init__(
        self,
        code: int,
        function: str = "",
        detail: str = "",
        reason: str = "",
        english: Optional[str] = None,
    ):
        self.code = code
        self.function = function
        self.detail = detail
        self.reason = reason
        if english is None:
            try:
                english = english_text(code)
            except OSError:  # no library to ask
                english = f"status {code}"
        self.english = english
        self.german = german_text(code)
        call = f"{function}({detail})" if function and detail else function or detail
        where = f"{call}: " if call else ""
        super().__init__(f"{where}{reason or english} ({code}) [{self.german}]")

    def __reduce__(self):
        return (type(self), (self.code, self.function, self.detail, self.reason, self.english))


# The exception's earlier name; ``except veldrv.VelError`` catches it still.
VelError = VeldrvError

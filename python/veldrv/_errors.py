"""Status codes of the library and the exception that carries them."""

from __future__ import annotations

OK = 0
TIMEOUT = -1
NO_HANDLE = -2
CHECKSUM = -3
PORT = -4
BAD_ARGUMENT = -5
WRONG_CHAR = -6
BAD_LETTER = -10
BAD_HANDLE = -99

# The console program's words for each code.
_GERMAN = {
    BAD_HANDLE: "Referenznummer ist ungueltig",
    BAD_LETTER: "Datentyp-Kennung falsch",
    WRONG_CHAR: "falsches Zeichen erhalten, \u00dcbertragungsfehler",
    BAD_ARGUMENT: "allgemeiner Fehler",
    NO_HANDLE: "keine Resourcen mehr frei",
    TIMEOUT: "Zeitueberlauf",
}
_GERMAN_OTHER = "Unerwarteter Fehler"

_ENGLISH = {
    TIMEOUT: "time-out: the controller did not answer within 990 ms",
    NO_HANDLE: "no free handle: all 32 are in use",
    CHECKSUM: "checksum of an FX read reply wrong, or closing the link failed",
    PORT: "port number invalid, port not openable, or no link on it",
    BAD_ARGUMENT: "bad argument: null buffer or count out of range",
    WRONG_CHAR: "wrong character received (transmission error)",
    BAD_LETTER: "operand letter not valid for this function",
    BAD_HANDLE: "handle not valid or not open",
}


def german_text(code: int) -> str:
    """The console program's German message for a status code."""
    return _GERMAN.get(code, _GERMAN_OTHER)


def english_text(code: int) -> str:
    """What a status code means, in English."""
    return _ENGLISH.get(code, "unexpected error")


class VelError(Exception):
    """A call of the library returned a negative status code.

    ``code`` is the status code, ``german`` the console program's message for
    it and ``english`` its meaning; ``function`` names the call that failed.
    """

    def __init__(self, code: int, function: str = "", detail: str = ""):
        self.code = code
        self.function = function
        self.detail = detail
        self.german = german_text(code)
        self.english = english_text(code)
        where = f"{function}: " if function else ""
        extra = f" ({detail})" if detail else ""
        super().__init__(f"{where}error {code}: {self.english}{extra} [{self.german}]")

    def __reduce__(self):
        return (type(self), (self.code, self.function, self.detail))

"""The status codes and their texts: the binding's codes are the header's,
its German words are the programs' table in common/, its English words the
library's own, and VeldrvError carries them all (also through pickling)."""

import os
import pickle
import re
import unittest

from simulator import REPO  # first: puts the package under test on sys.path

import veldrv


def header_codes():
    """The VEL_* status codes that lib/api/veldrv.h defines, by name."""
    with open(os.path.join(REPO, "lib", "api", "veldrv.h"), encoding="utf-8") as f:
        found = re.findall(r"^#define VEL_([A-Z_]+) \(?(-?\d+)\)?", f.read(), re.M)
    return {name: int(value) for name, value in found}


def c_string(literals):
    """Adjacent C string literals (their contents), joined and decoded as code page 850."""
    escapes = {"n": b"\n", "\\": b"\\", '"': b'"', "a": b"\a"}
    out = b""
    for literal in literals:
        for plain, hex_digits, letter in re.findall(r'([^\\]+)|\\x([0-9A-Fa-f]+)|\\(.)', literal):
            out += plain.encode("ascii") if plain else bytes([int(hex_digits, 16)]) if hex_digits else escapes[letter]
    return out.decode("cp850")


def programs_table():
    """{code: (console words or None, German text)} from common/status_texts.cpp."""
    with open(os.path.join(REPO, "common", "status_texts.cpp"), encoding="utf-8") as f:
        source = f.read()
    body = re.search(r"kTexts\[\] = \{(.*?)\n\};", source, re.S).group(1)
    table = {}
    for code, fields in re.findall(r"\{(-?\d+),(.*?)\}", body, re.S):
        console_part, text_part = re.match(r'\s*(nullptr|(?:"(?:[^"\\]|\\.)*"\s*)+),(.*)', fields, re.S).groups()
        console = None if console_part == "nullptr" else c_string(re.findall(r'"((?:[^"\\]|\\.)*)"', console_part))
        table[int(code)] = (console, c_string(re.findall(r'"((?:[^"\\]|\\.)*)"', text_part)))
    return table


class Codes(unittest.TestCase):
    def test_binding_codes_are_the_headers(self):
        codes = header_codes()
        self.assertIn("BAD_HANDLE", codes)
        binding = {name: getattr(veldrv, name) for name in codes if hasattr(veldrv, name)}
        self.assertEqual(binding, codes)
        # And no code of the binding that the header lacks.
        ours = {n: v for n, v in vars(veldrv).items() if n.isupper() and isinstance(v, int) and n in veldrv.__all__}
        self.assertEqual(ours, codes)

    def test_german_words_are_the_programs_table(self):
        table = programs_table()
        self.assertEqual(sorted(table), sorted(header_codes().values()))
        for code, (console, text) in table.items():
            with self.subTest(code=code):
                self.assertEqual(veldrv.german_text(code), text)
                # Where velcon's screen has words, they are the same.
                self.assertIn(console, (None, text))
        # velcon's screen calls -3 and -4 "Unerwarteter Fehler"; the German
        # texts have a sentence of their own for every code.
        self.assertEqual((table[-3][0], table[-4][0]), (None, None))
        self.assertNotIn("Unerwarteter Fehler", [text for _, text in table.values()])
        self.assertEqual(veldrv.german_text(-7), "Unerwarteter Fehler")

    def test_english_words_are_the_librarys(self):
        texts = {code: veldrv.english_text(code) for code in header_codes().values()}
        self.assertEqual(len(set(texts.values())), len(texts), texts)
        self.assertNotIn("unknown status", texts.values())
        self.assertIn("990 ms", texts[veldrv.TIMEOUT])
        self.assertEqual(veldrv.english_text(-7), "unknown status")
        self.assertEqual(veldrv.VeldrvError(veldrv.PORT).english, texts[veldrv.PORT])


class ErrorObjects(unittest.TestCase):
    def test_earlier_name_is_the_same_class(self):
        self.assertIs(veldrv.VelError, veldrv.VeldrvError)
        with self.assertRaises(veldrv.VelError):
            raise veldrv.VeldrvError(veldrv.TIMEOUT)

    def test_message_names_the_call_the_reason_and_the_code(self):
        error = veldrv.VeldrvError(-1, "VelRdW", "area 'D', start 0, count 1", "COM3 (/dev/x): no answer")
        self.assertEqual(str(error), "VelRdW(area 'D', start 0, count 1): COM3 (/dev/x): no answer (-1) [Zeitueberlauf]")
        without_reason = veldrv.VeldrvError(-10, "VelWrB")
        self.assertEqual(str(without_reason), f"VelWrB: {without_reason.english} (-10) [Datentyp-Kennung falsch]")

    def test_error_survives_pickling(self):
        error = veldrv.VeldrvError(-1, "VelRdB", "area 'D'", "COM1 (/dev/ttyUSB0): no answer", "time-out")
        again = pickle.loads(pickle.dumps(error))
        self.assertEqual(
            (again.code, again.function, again.detail, again.reason, again.english, again.german),
            (-1, "VelRdB", "area 'D'", "COM1 (/dev/ttyUSB0): no answer", "time-out", "Zeitueberlauf"),
        )
        self.assertEqual(str(again), str(error))


if __name__ == "__main__":
    unittest.main()

"""veldrv.Link against the simulator: round trips for both families, status
codes raised as VeldrvError with the library's reason, argument checks,
transfers that would leave controller memory, closing."""

import os
import time
import unittest
from unittest import mock

from simulator import Simulator  # first: puts the package under test on sys.path

import veldrv


class RoundTrips:
    """Cases run for each family on one shared link (a port open costs 0.5 s)."""

    family = None
    com = None

    @classmethod
    def setUpClass(cls):
        cls.sim = Simulator(cls.family, cls.com)
        try:
            cls.link = veldrv.Link(f"COM{cls.com}", cls.family)
        except Exception:
            cls.sim.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.link.close()
        cls.sim.stop()

    def test_words_round_trip_in_every_writable_area(self):
        for area, start in (("D", 100), ("m", 7), ("Y", 3), ("S", 0x0300)):
            with self.subTest(area=area):
                words = [0x1234, 0xFFFF, 0, 42]
                self.link.write_words(area, start, words)
                self.assertEqual(self.link.read_words(area, start, 4), words)

    def test_bytes_round_trip(self):
        data = bytes(range(1, 11))
        self.link.write_bytes("M", 5, data)
        self.assertEqual(self.link.read_bytes("M", 5, 10), data)
        self.link.write_bytes("d", 0, bytearray(b"\xaa\x55"))
        self.assertEqual(self.link.read_bytes("D", 0, 2), b"\xaa\x55")

    def test_words_are_host_reading_of_controller_bytes(self):
        # D20 is bytes 40 and 41 of the area; a PC reads them little-endian.
        self.link.write_bytes("D", 40, b"\x34\x12\x78\x56")
        self.assertEqual(self.link.read_words("D", 20, 2), [0x1234, 0x5678])
        self.link.write_words("D", 22, [0xBEEF])
        self.assertEqual(self.link.read_bytes("D", 44, 2), b"\xef\xbe")

    def test_transfer_longer_than_one_frame(self):
        words = [(i * 7919) & 0xFFFF for i in range(300)]
        self.link.write_words("D", 1000, words)
        self.assertEqual(self.link.read_words("D", 1000, 300), words)

    def test_inputs_read_but_not_written(self):
        self.assertEqual(len(self.link.read_bytes("x", 0, 4)), 4)
        with self.assertRaises(veldrv.VelError) as caught:
            self.link.write_bytes("E", 0, b"\x01")
        self.assertEqual(caught.exception.code, veldrv.BAD_LETTER)

    def test_unknown_letter_raises_code_minus_10(self):
        with self.assertRaises(veldrv.VeldrvError) as caught:
            self.link.read_words("Q", 0, 1)
        error = caught.exception
        self.assertEqual((error.code, error.german), (-10, "Datentyp-Kennung falsch"))
        self.assertIn("letter", error.english)
        self.assertEqual(error.reason, "")  # the library keeps no reason for a refused letter
        # The link still works after the refusal.
        self.assertEqual(len(self.link.read_words("D", 0, 1)), 1)

    def test_count_zero_transfers_nothing(self):
        self.assertEqual(self.link.read_bytes("D", 0, 0), b"")
        self.assertEqual(self.link.read_words("D", 0, 0), [])
        self.link.write_words("D", 0, [])

    def test_bad_arguments_raise_before_the_library(self):
        link = self.link
        for call, error in (
            (lambda: link.read_bytes("D", -1, 1), ValueError),
            (lambda: link.read_bytes("D", 0, 65536), ValueError),
            (lambda: link.read_words("D", 0, 32768), ValueError),
            (lambda: link.read_words("DD", 0, 1), ValueError),
            (lambda: link.read_words(68, 0, 1), TypeError),
            (lambda: link.read_words("D", 1.0, 1), TypeError),
            (lambda: link.write_words("D", 0, [65536]), ValueError),
            (lambda: link.write_words("D", 0, [-1]), ValueError),
            (lambda: link.write_words("D", 0, ["1"]), TypeError),
            (lambda: link.write_bytes("D", 0, "text"), TypeError),
            (lambda: link.write_bytes("D", 0, 5), TypeError),
            (lambda: link.write_bytes("D", 0, bytes(65536)), ValueError),
        ):
            with self.subTest(error=error.__name__), self.assertRaises(error):
                call()


    def test_transfers_stay_inside_controller_memory(self):
        # Each area's last operand lies at 0xFFFF; one further would be 0x10000,
        # which the library's 16-bit addresses turn into 0x0000.
        for area, base in self.bases.items():
            with self.subTest(area=area):
                top_word, top_byte = (0xFFFF - base) // 2, 0xFFFF - base
                self.link.write_bytes("S", 0xFFFE, b"\x5a\xa5")
                self.link.write_bytes("S", 0x0000, b"\x11\x22")
                self.assertEqual(self.link.read_words(area, top_word, 1), [0xA55A])
                self.assertEqual(self.link.read_bytes(area.lower(), top_byte, 1), b"\xa5")
                for call in (
                    lambda: self.link.read_words(area, top_word + 1, 1),
                    lambda: self.link.read_words(area, top_word + 1, 0),
                    lambda: self.link.read_words(area, top_word, 2),
                    lambda: self.link.read_bytes(area, top_byte + 1, 1),
                    lambda: self.link.write_words(area, top_word + 1, [0x3344]),
                    lambda: self.link.write_bytes(area.lower(), top_byte, b"\x33\x44"),
                ):
                    with self.assertRaises(ValueError) as caught:
                        call()
                    self.assertIn("0xFFFF", str(caught.exception))
                self.assertEqual(self.link.read_bytes("S", 0xFFFE, 2), b"\x5a\xa5")
                self.assertEqual(self.link.read_bytes("S", 0x0000, 2), b"\x11\x22")
        self.assertEqual(self.link.read_words("S", 0xFFFE, 1), [0xA55A])
        for call in (lambda: self.link.read_words("S", 0xFFFF, 1), lambda: self.link.write_bytes("s", 0xFFFF, b"12")):
            with self.assertRaises(ValueError):
                call()


class FxRoundTrips(RoundTrips, unittest.TestCase):
    family = veldrv.FX
    com = 1
    # The controllers' own byte areas.
    bases = {"D": 0x1000, "X": 0x0080, "Y": 0x00A0, "M": 0x0100}

    def test_legacy_areas_are_the_links_from_its_open(self):
        with mock.patch.dict(os.environ, {"VELDRV_FX_AREAS": "legacy"}):
            legacy = veldrv.Link(f"COM{self.com}", self.family)
        with legacy:
            self.link.write_bytes("S", 0xFFFF, b"\x77")
            self.assertEqual(legacy.read_bytes("M", 0xFFFF - 0x0800, 1), b"\x77")
            with self.assertRaises(ValueError):
                legacy.read_bytes("M", 0xF800, 1)  # 0x10000 there
            self.assertEqual(len(self.link.read_bytes("M", 0xF800, 1)), 1)  # 0xF900 here
            with self.assertRaises(ValueError):
                legacy.read_words("X", (0x10000 - 0x0400) // 2, 1)


class ASeriesRoundTrips(RoundTrips, unittest.TestCase):
    family = veldrv.A_SERIES
    com = 2
    bases = {"D": 0x8800, "E": 0x8000, "A": 0x8200, "M": 0x8400}


class Failures(unittest.TestCase):
    def test_silent_controller_times_out(self):
        sim = Simulator("fx", 3, "--fault", "silent")
        try:
            with veldrv.Link(sim.port, veldrv.FX) as link:
                began = time.monotonic()
                with self.assertRaises(veldrv.VelError) as caught:
                    link.read_words("D", 0, 1)
                elapsed = time.monotonic() - began
        finally:
            sim.stop()
        error = caught.exception
        self.assertEqual((error.code, error.german), (veldrv.TIMEOUT, "Zeitueberlauf"))
        self.assertEqual(error.function, "VelRdW")
        self.assertTrue(0.5 < elapsed < 10, elapsed)
        # The library's reason names the port and its device.
        self.assertTrue(error.reason.startswith(f"COM3 ({sim.path}): "), error.reason)
        self.assertIn(error.reason + " (-1)", str(error))

    def test_port_without_device_fails_to_open_with_the_reason(self):
        with self.assertRaises(veldrv.VeldrvError) as caught:
            veldrv.Link(9, veldrv.FX)  # nothing serves COM10
        error = caught.exception
        self.assertEqual(error.code, veldrv.PORT)
        self.assertEqual(error.german, "Schnittstelle ung\u00fcltig oder l\u00e4sst sich nicht \u00f6ffnen")
        path = os.path.join(os.environ["VELDRV_DEVICE_DIR"], "COM10")
        self.assertTrue(error.reason.startswith(f"COM10 ({path}): "), error.reason)
        self.assertIn("VELDRV_COM10", error.reason)  # how to name the device
        self.assertTrue(str(error).startswith(f"VelOpen(COM10, family fx): {error.reason} (-4)"), str(error))

    def test_bad_port_or_family_raises_before_the_library(self):
        for port, family, error in (
            (16, "fx", ValueError),
            (-1, "fx", ValueError),
            ("COM0", "fx", ValueError),
            ("COM17", "fx", ValueError),
            ("ttyS0", "fx", ValueError),
            (True, "fx", TypeError),
            (0, "q", ValueError),
            (0, 1, TypeError),
        ):
            with self.subTest(port=port, family=family), self.assertRaises(error):
                veldrv.Link(port, family)

    def test_closed_link_raises_and_calls_nothing(self):
        sim = Simulator("a", 4)
        try:
            with veldrv.Link("com4", "A") as link:
                link.write_words("D", 0, [7])
                first_handle = link.handle
            self.assertTrue(link.closed)
            # Another link takes the freed handle number; the closed one must not reach it.
            with veldrv.Link(sim.port, veldrv.A_SERIES) as other:
                self.assertEqual(other.handle, first_handle)
                for call in (
                    lambda: link.read_words("D", 0, 1),
                    lambda: link.read_bytes("D", 0, 1),
                    lambda: link.write_words("D", 0, [9]),
                    lambda: link.write_bytes("D", 0, b"\x09"),
                ):
                    with self.assertRaises(veldrv.VelError) as caught:  # the earlier name still catches
                        call()
                    self.assertEqual(caught.exception.code, veldrv.BAD_HANDLE)
                    self.assertEqual(caught.exception.reason, "the link is closed")
                self.assertEqual(other.read_words("D", 0, 1), [7])
                link.close()  # closing again does nothing
                self.assertFalse(other.closed)
        finally:
            sim.stop()


if __name__ == "__main__":
    unittest.main()

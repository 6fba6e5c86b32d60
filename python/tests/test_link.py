"""veldrv.Link against the simulator: round trips for both families, status
codes raised as VelError, argument checks, closing."""

import pickle
import time
import unittest

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
        with self.assertRaises(veldrv.VelError) as caught:
            self.link.read_words("Q", 0, 1)
        error = caught.exception
        self.assertEqual((error.code, error.german), (-10, "Datentyp-Kennung falsch"))
        self.assertIn("letter", error.english)
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


class FxRoundTrips(RoundTrips, unittest.TestCase):
    family = veldrv.FX
    com = 1


class ASeriesRoundTrips(RoundTrips, unittest.TestCase):
    family = veldrv.A_SERIES
    com = 2


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

    def test_port_without_device_fails_to_open(self):
        with self.assertRaises(veldrv.VelError) as caught:
            veldrv.Link(9, veldrv.FX)  # nothing serves COM10
        self.assertEqual(caught.exception.code, veldrv.PORT)
        self.assertEqual(caught.exception.german, "Unerwarteter Fehler")

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
                    with self.assertRaises(veldrv.VelError) as caught:
                        call()
                    self.assertEqual(caught.exception.code, veldrv.BAD_HANDLE)
                self.assertEqual(other.read_words("D", 0, 1), [7])
                link.close()  # closing again does nothing
                self.assertFalse(other.closed)
        finally:
            sim.stop()


class Errors(unittest.TestCase):
    def test_texts_of_the_codes(self):
        self.assertEqual(veldrv.VelError(-6).german, "falsches Zeichen erhalten, \u00dcbertragungsfehler")
        self.assertEqual(veldrv.VelError(-5).german, "allgemeiner Fehler")
        self.assertEqual(veldrv.VelError(-3).german, "Unerwarteter Fehler")
        self.assertEqual(veldrv.VelError(-1234).english, "unexpected error")

    def test_error_survives_pickling(self):
        error = pickle.loads(pickle.dumps(veldrv.VelError(-1, "VelRdB", "area 'D'")))
        self.assertEqual((error.code, error.function, error.german), (-1, "VelRdB", "Zeitueberlauf"))
        self.assertEqual(str(error), str(veldrv.VelError(-1, "VelRdB", "area 'D'")))


if __name__ == "__main__":
    unittest.main()

"""veldrv.Link on a device path or a tcp:// address: the port number it takes
through VELDRV_COM<n>, shared by the links to one device and never by two
devices, and the environment given back when the last link closes."""

import os
import shutil
import socket
import subprocess
import tempfile
import unittest
from unittest import mock

from simulator import VELSIM, Simulator  # first: puts the package under test on sys.path

import veldrv


def port_variables():
    return {k: v for k, v in os.environ.items() if k.startswith("VELDRV_COM")}


def free_tcp_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class DeviceLinks(unittest.TestCase):
    """Two controllers outside VELDRV_DEVICE_DIR, one FX and one A-series."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="veldrv-devices-")
        cls.sims = []
        try:
            for name, family in (("fx", "fx"), ("a", "a")):
                os.makedirs(os.path.join(cls.folder, name))
                cls.sims.append(Simulator(family, 1, folder=os.path.join(cls.folder, name)))
        except Exception:
            cls.tearDownClass()
            raise
        cls.fx_path, cls.a_path = (sim.path for sim in cls.sims)

    @classmethod
    def tearDownClass(cls):
        for sim in cls.sims:
            sim.stop()
        shutil.rmtree(cls.folder, ignore_errors=True)

    def setUp(self):
        before = port_variables()
        self.addCleanup(lambda: self.assertEqual(port_variables(), before, "VELDRV_COM<n> not given back"))

    def test_two_devices_take_two_numbers_and_links_to_one_device_share_its_number(self):
        with veldrv.Link(self.fx_path, veldrv.FX) as fx, veldrv.Link(self.a_path, veldrv.A_SERIES) as a:
            self.assertEqual((fx.port, fx.device), (15, self.fx_path))
            self.assertEqual((a.port, a.device), (14, self.a_path))
            self.assertEqual(os.environ["VELDRV_COM16"], self.fx_path)
            self.assertEqual(os.environ["VELDRV_COM15"], self.a_path)
            fx.write_words("D", 0, [0x1111])
            a.write_words("D", 0, [0x2222])
            # The pseudo-terminal itself is the same device as the link to it.
            with veldrv.Link(os.path.realpath(self.fx_path), veldrv.FX) as again:
                self.assertEqual(again.port, 15)
                self.assertNotEqual(again.handle, fx.handle)
                self.assertEqual(again.read_words("D", 0, 1), [0x1111])
            self.assertEqual(a.read_words("D", 0, 1), [0x2222])
            self.assertIn("as COM16", repr(fx))

    def test_a_number_a_device_holds_is_not_open_to_its_com_name(self):
        with veldrv.Link(self.fx_path, veldrv.FX):
            for port in ("COM16", 15):
                with self.subTest(port=port), self.assertRaises(ValueError):
                    veldrv.Link(port, veldrv.FX)
        # Given back: COM16 is VELDRV_DEVICE_DIR/COM16 again, where nothing serves.
        with self.assertRaises(veldrv.VelError) as caught:
            veldrv.Link("COM16", veldrv.FX)
        self.assertEqual(caught.exception.code, veldrv.PORT)

    def test_numbers_the_user_set_are_kept(self):
        elsewhere = os.path.join(self.folder, "nothing-here")
        with mock.patch.dict(os.environ, {"VELDRV_COM16": elsewhere, "VELDRV_COM15": ""}):
            with veldrv.Link(self.fx_path, veldrv.FX) as fx:
                self.assertEqual(fx.port, 14)  # an empty VELDRV_COM15 counts as unset
                self.assertEqual(os.environ["VELDRV_COM16"], elsewhere)
            self.assertEqual(os.environ["VELDRV_COM15"], "")
        # The user's own VELDRV_COM<n> for the device: that number, left as it is.
        with mock.patch.dict(os.environ, {"VELDRV_COM3": self.a_path}):
            with veldrv.Link(self.a_path, veldrv.A_SERIES) as a, veldrv.Link("COM3", veldrv.A_SERIES) as com3:
                self.assertEqual(a.port, 2)
                a.write_words("D", 5, [0x3333])
                self.assertEqual(com3.read_words("D", 5, 1), [0x3333])
            self.assertEqual(os.environ["VELDRV_COM3"], self.a_path)

    def test_device_in_the_device_folder_uses_its_com_number(self):
        # The library opens a device once: a second number for it would be refused.
        sim = Simulator("fx", 6)
        try:
            with veldrv.Link("COM6", veldrv.FX) as com6, veldrv.Link(os.path.realpath(sim.path), veldrv.FX) as dev:
                self.assertEqual(dev.port, 5)
                com6.write_words("D", 9, [0x4444])
                self.assertEqual(dev.read_words("D", 9, 1), [0x4444])
                self.assertNotIn("VELDRV_COM6", os.environ)
        finally:
            sim.stop()

    def test_failed_open_gives_the_number_back_and_names_the_device(self):
        missing = os.path.join(self.folder, "no-such-device")
        address = f"tcp://127.0.0.1:{free_tcp_port()}"  # nothing listens
        for device in (missing, address):
            with self.subTest(device=device), self.assertRaises(veldrv.VeldrvError) as caught:
                veldrv.Link(device, veldrv.FX)
            self.assertEqual(caught.exception.code, veldrv.PORT)
            self.assertTrue(caught.exception.reason.startswith(f"COM16 ({device}): "), caught.exception.reason)

    def test_malformed_devices_raise_before_the_library(self):
        for port in ("tcp://127.0.0.1", "tcp://127.0.0.1:0", "tcp://127.0.0.1:65536", "tcp://:502", "ttyUSB0",
                     "rfc2217://127.0.0.1", "rfc2217://127.0.0.1:0"):
            with self.subTest(port=port), self.assertRaises(ValueError):
                veldrv.Link(port, veldrv.FX)


def velsim_listens():
    help_text = subprocess.run([VELSIM, "--help"], capture_output=True, text=True).stdout
    return "--listen" in help_text


@unittest.skipUnless(velsim_listens(), "this velsim does not serve TCP (--listen)")
class TcpLinks(unittest.TestCase):
    def test_round_trip_over_tcp(self):
        address = f"127.0.0.1:{free_tcp_port()}"
        velsim = subprocess.Popen(
            [VELSIM, "--family", "fx", "--listen", address],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL,
        )
        try:
            line = velsim.stdout.readline().decode(errors="replace")
            self.assertTrue(line.startswith("velsim: "), line)
            with veldrv.Link(f"tcp://{address}", veldrv.FX) as link:
                self.assertEqual(os.environ[f"VELDRV_COM{link.port + 1}"], f"tcp://{address}")
                link.write_words("D", 100, [1, 2, 0xBEEF])
                self.assertEqual(link.read_words("D", 100, 3), [1, 2, 0xBEEF])
        finally:
            velsim.terminate()
            velsim.wait(timeout=10)
            velsim.stdout.close()

    def test_round_trip_over_rfc2217(self):
        if "--listen-rfc2217" not in subprocess.run([VELSIM, "--help"], capture_output=True, text=True).stdout:
            self.skipTest("this velsim has no RFC 2217 server (--listen-rfc2217)")
        address = f"127.0.0.1:{free_tcp_port()}"
        velsim = subprocess.Popen(
            [VELSIM, "--family", "a", "--listen-rfc2217", address],
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            stdin=subprocess.DEVNULL,
        )
        try:
            line = velsim.stdout.readline().decode(errors="replace")
            self.assertTrue(line.startswith("velsim: "), line)
            with veldrv.Link(f"rfc2217://{address}", veldrv.A_SERIES) as link:
                self.assertEqual(os.environ[f"VELDRV_COM{link.port + 1}"], f"rfc2217://{address}")
                link.write_words("D", 100, [0xFFFF, 0x00FF])
                self.assertEqual(link.read_words("D", 100, 2), [0xFFFF, 0x00FF])
        finally:
            velsim.terminate()
            velsim.wait(timeout=10)
            velsim.stdout.close()


if __name__ == "__main__":
    unittest.main()

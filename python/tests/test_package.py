"""The Python package as shipped: its version, and wheels built by the
standard-library backend with and without the library inside."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from simulator import REPO  # first: puts the package under test on sys.path

import veldrv

sys.path.insert(0, os.path.join(REPO, "python", "build_backend"))
import veldrv_build  # noqa: E402

BUILT = os.environ.get("VELDRV_LIBRARY", "")


def read(path):
    with open(os.path.join(REPO, path), encoding="utf-8") as f:
        return f.read()


class Version(unittest.TestCase):
    def test_package_version_is_the_project_version(self):
        project = re.search(r"project\(veldrv VERSION ([0-9.]+)", read("CMakeLists.txt")).group(1)
        pyproject = re.search(r'^version = "([^"]+)"', read("python/pyproject.toml"), re.M).group(1)
        self.assertEqual((veldrv.__version__, pyproject), (project, project))


class Wheels(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="veldrv-wheel-")
        self.addCleanup(shutil.rmtree, self.folder)

    def build(self, settings=None):
        name = veldrv_build.build_wheel(self.folder, settings)
        return os.path.join(self.folder, name)

    def test_plain_wheel_is_pure_python(self):
        wheel = self.build()
        self.assertTrue(wheel.endswith(f"veldrv-{veldrv.__version__}-py3-none-any.whl"), wheel)
        with zipfile.ZipFile(wheel) as z:
            names = z.namelist()
        self.assertIn("veldrv/__init__.py", names)
        self.assertIn(f"veldrv-{veldrv.__version__}.dist-info/LICENSE", names)  # every package carries it
        self.assertFalse([n for n in names if "libveldrv" in n])

    @unittest.skipUnless(os.path.isfile(BUILT), "VELDRV_LIBRARY does not name the built library")
    def test_wheel_with_the_library_loads_it_from_the_package(self):
        wheel = self.build({"library": os.path.abspath(BUILT)})
        self.assertNotIn("-none-any", wheel)
        with zipfile.ZipFile(wheel) as z:
            with open(BUILT, "rb") as f:
                self.assertEqual(z.read(f"veldrv/{os.path.basename(BUILT)}"), f.read())
            self.assertIn("Root-Is-Purelib: false", z.read(f"veldrv-{veldrv.__version__}.dist-info/WHEEL").decode())
            installed = os.path.join(self.folder, "site")
            z.extractall(installed)
        # A fresh interpreter with nothing but the unpacked wheel: the library beside the package.
        env = {k: v for k, v in os.environ.items() if k not in ("VELDRV_LIBRARY", "LD_LIBRARY_PATH")}
        env["PYTHONPATH"] = installed
        loaded = subprocess.run(
            [sys.executable, "-c", "import veldrv; print(veldrv.load_library()._name)"],
            capture_output=True, text=True, env=env, cwd=self.folder, check=True,
        ).stdout.strip()
        self.assertEqual(loaded, os.path.join(installed, "veldrv", os.path.basename(BUILT)))

    def test_library_setting_must_name_a_library_file(self):
        for value in ("libveldrv.so.1", os.path.join(self.folder, "libveldrv.so.1"), os.path.abspath(__file__)):
            with self.subTest(value=value), self.assertRaises(ValueError):
                self.build({"library": value})


if __name__ == "__main__":
    unittest.main()

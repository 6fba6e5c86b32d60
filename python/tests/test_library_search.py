"""Where veldrv looks for the shared library, in order: argument, VELDRV_LIBRARY,
the package folder, the system's search, the usual install prefixes."""

import ctypes
import os
import shutil
import sysconfig
import tempfile
import unittest
from unittest import mock

import simulator  # noqa: F401 - first: sys.path, VELDRV_DEVICE_DIR, VELDRV_LIBRARY
import veldrv
from veldrv import _library

BUILT = os.environ.get("VELDRV_LIBRARY", "")


@unittest.skipUnless(os.path.isfile(BUILT), "VELDRV_LIBRARY does not name the built library")
class LibrarySearch(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="veldrv-search-")
        self.addCleanup(shutil.rmtree, self.folder)
        # Links to the one built file: loading any of them gives the same library.
        self.explicit = self._link("explicit", "libveldrv.so.1")
        self.from_env = self._link("env", "libveldrv.so.1")
        self.package = os.path.join(self.folder, "package")
        self.beside = self._link("package", "libveldrv.so.1")

    def _link(self, sub, name):
        os.makedirs(os.path.join(self.folder, sub), exist_ok=True)
        path = os.path.join(self.folder, sub, name)
        os.symlink(os.path.abspath(BUILT), path)
        return path

    def find(self, path=None, env=None, package_dir=None, prefixes=()):
        environ = {"VELDRV_LIBRARY": env} if env is not None else {}
        with mock.patch.dict(os.environ, environ, clear=False):
            if env is None:
                os.environ.pop("VELDRV_LIBRARY", None)
            return veldrv.find_library(path, package_dir=package_dir or self.package, prefixes=prefixes)

    def test_order_argument_environment_package_system(self):
        self.assertEqual(self.find(self.explicit, self.from_env), self.explicit)
        self.assertEqual(self.find(None, self.from_env), self.from_env)
        self.assertEqual(self.find(None, ""), self.beside)  # empty variable counts as unset
        self.assertEqual(self.find(None, None), self.beside)
        empty = os.path.join(self.folder, "empty")
        os.makedirs(empty)
        with mock.patch("ctypes.util.find_library", return_value="libveldrv.so.1.0.0"):
            self.assertEqual(self.find(None, None, empty), "libveldrv.so.1.0.0")

    def test_system_search_then_install_prefixes(self):
        empty = os.path.join(self.folder, "empty")
        os.makedirs(empty)
        prefixes = [empty, os.path.join(self.folder, "usr-local-lib"), os.path.join(self.folder, "usr-lib")]
        self._link("usr-local-lib", "libveldrv.so.1")
        self._link("usr-lib", "libveldrv.so.1")
        with mock.patch("ctypes.util.find_library", return_value=None):
            # LD_LIBRARY_PATH or the loader's cache reach what find_library does not.
            with mock.patch.object(_library, "_loads", return_value=True):
                self.assertEqual(self.find(None, None, empty, prefixes), "libveldrv.so.1")
            with mock.patch.object(_library, "_loads", return_value=False):
                self.assertEqual(self.find(None, None, empty, prefixes), prefixes[1] + "/libveldrv.so.1")
                self.assertEqual(self.find(None, None, empty, [empty]), "libveldrv.so.1")

    def test_install_prefixes_of_the_packages_and_cmake_install(self):
        with mock.patch.dict(os.environ, {"HOME": self.folder}):
            folders = _library.prefix_folders()
        multiarch = sysconfig.get_config_var("MULTIARCH")
        self.assertEqual(folders[0], os.path.join(self.folder, ".local", "lib"))
        for folder in ("/usr/local/lib", "/usr/lib") + ((f"/usr/lib/{multiarch}",) if multiarch else ()):
            self.assertIn(folder, folders)

    def test_named_file_missing_is_an_error_not_a_reason_to_look_further(self):
        missing = os.path.join(self.folder, "nowhere", "libveldrv.so.1")
        with self.assertRaises(FileNotFoundError):
            self.find(missing, self.from_env)
        with self.assertRaises(FileNotFoundError):
            self.find(None, missing)

    def test_loaded_library_has_prototypes(self):
        lib = veldrv.load_library(self.explicit)
        self.assertIs(veldrv.load_library(self.explicit), lib)
        self.assertEqual(lib.VelClose(-1), veldrv.BAD_HANDLE)
        self.assertEqual(lib.VelOpen(16, 1), veldrv.PORT)
        for name in ("VelOpen", "VelClose", "VelRdB", "VelRdW", "VelWrB", "VelWrW"):
            self.assertIs(getattr(lib, name).restype, ctypes.c_int)
        self.assertEqual(lib.VelRdB.argtypes[-1], ctypes.c_void_p)

    def test_not_a_library_gives_a_clear_error(self):
        fake = os.path.join(self.folder, "libveldrv.so.1")
        with open(fake, "w") as f:
            f.write("not a shared library")
        with self.assertRaises(OSError) as caught:
            veldrv.load_library(fake)
        self.assertIn(_library.ENV_VARIABLE, str(caught.exception))


if __name__ == "__main__":
    unittest.main()

"""The HDF5 form of the Particle position file: written by
write_position_file, read back by read_position_file with every double
unchanged, and read by the program into the same run as the text form."""

import os
import tempfile
import unittest

import numpy as np

import quillet
from quillet import Deck, QuilletFileError

try:
    import h5py
except ImportError:   # pragma: no cover - tools/setup.sh installs it
    h5py = None

REPO = os.environ.get("QUILLET_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BINARY = os.environ.get("QUILLET_BINARY", os.path.join(REPO, "build", "quillet"))


def snapshot(n, seed):
    """An N-body-like field: full-mantissa coordinates and radii."""
    rng = np.random.default_rng(seed)
    return dict(x=rng.uniform(-15, 15, n), y=rng.uniform(-10, 10, n), z=rng.normal(0, 0.7, n),
                r=rng.uniform(0.3, 0.9, n) + 1e-17, xl=15.0, yl=10.0, sy=1.0 / 3.0)


@unittest.skipIf(h5py is None, "h5py is not installed")
class HDF5PositionFileTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dir = self.tmp.name

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_round_trip_keeps_every_double_and_the_header(self):
        s = snapshot(700, 5)
        path = quillet.write_position_file(self.path("snap.h5"), title="N-body it's", orb=2.5, **s)
        self.assertTrue(quillet.particles.is_hdf5_file(path))
        back = quillet.read_position_file(path)
        self.assertEqual((back.title, back.orb, back.xl, back.yl, back.sy, back.npartori),
                         ("N-body it's", 2.5, 15.0, 10.0, 1.0 / 3.0, 700))
        for name, key in (("xpart", "x"), ("ypart", "y"), ("zpart", "z"), ("rpart", "r")):
            np.testing.assert_array_equal(getattr(back, name), s[key], name)
        # The layout of docs/particle-file-hdf5.md, read without quillet.
        with h5py.File(path, "r") as f:
            self.assertEqual(int(f.attrs["version"]), 1)
            self.assertEqual(sorted(f.keys()), ["r", "x", "y", "z"])
            for key in "rxyz":
                self.assertEqual((f[key].dtype, f[key].shape, f[key].chunks), (np.float64, (700,), None))
        # The text form of the same arrays reads back to the same values.
        text = quillet.read_position_file(quillet.write_position_file(self.path("snap.pos"), title="N-body it's",
                                                                      orb=2.5, **s))
        for name in ("xpart", "ypart", "zpart", "rpart"):
            np.testing.assert_array_equal(getattr(text, name), getattr(back, name), name)

    def test_form_follows_the_suffix_unless_given(self):
        s = snapshot(3, 1)
        for name, form, hdf5 in (("a.h5", None, True), ("a.HDF5", None, True), ("a.pos", None, False),
                                 ("b.h5", "text", False), ("b.pos", "hdf5", True)):
            path = quillet.write_position_file(self.path(name), form=form, **s)
            self.assertEqual(quillet.particles.is_hdf5_file(path), hdf5, (name, form))
            self.assertEqual(quillet.read_position_file(path).npartori, 3)
        with self.assertRaises(ValueError):
            quillet.write_position_file(self.path("c.h5"), form="netcdf", **s)
        bad = dict(s, r=-s["r"])
        with self.assertRaises(ValueError):
            quillet.write_position_file(self.path("d.h5"), **bad)
        self.assertFalse(os.path.exists(self.path("c.h5")) or os.path.exists(self.path("d.h5")))
        self.assertEqual(sorted(os.listdir(self.dir)), ["a.HDF5", "a.h5", "a.pos", "b.h5", "b.pos"])

    def test_file_format_without_checksums_is_refused_as_the_program_refuses_it(self):
        s = snapshot(4, 3)
        path = quillet.write_position_file(self.path("f.h5"), **s)
        with open(path, "rb") as f:
            self.assertGreaterEqual(f.read(9)[8], 2)   # superblock version 2 or 3
        with h5py.File(self.path("g.h5"), "w") as f:   # h5py's default format
            f.attrs["version"] = 1
            f.attrs["title"] = "g"
            for name in ("orb", "xl", "yl", "sy"):
                f.attrs[name] = 5.0
            for key in "rxyz":
                f[key] = s[key]
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_position_file(self.path("g.h5"))
        self.assertIn('libver="latest"', str(cm.exception))

    def test_reader_names_what_is_missing_or_of_another_type(self):
        path = quillet.write_position_file(self.path("e.h5"), **snapshot(4, 2))
        with h5py.File(path, "a") as f:
            del f["y"]
            f["y"] = np.arange(4, dtype=np.int32)
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_position_file(path)
        self.assertIn("dataset y", str(cm.exception))
        with h5py.File(path, "a") as f:
            del f.attrs["xl"]
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_position_file(path)
        self.assertIn("attribute xl", str(cm.exception))

    @unittest.skipUnless(os.path.isfile(BINARY), "the quillet program is not built")
    def test_a_run_on_either_form_writes_the_same_result_files(self):
        # Ring particles and haze from the same arrays in both forms; every
        # result file of the two runs compared byte for byte.
        s = snapshot(400, 9)
        h = snapshot(60, 10)
        h["r"] = h["r"] * 0.1
        files = {}
        for form in ("text", "hdf5"):
            quillet.write_position_file(self.path("ring." + form), form=form, title="snap", **s)
            quillet.write_position_file(self.path("haze." + form), form=form, title="haze", **h)
            d = Deck(posfile="ring." + form, posfile_haze="haze." + form, bsun=30.0, method=4, ppar1=-0.3,
                     ssca_part=0.5, nxphot=30, nyphot=30, mx=8, my=8, idum=-7, outfile="escape",
                     epsfile="histogram", testimage="image", nxpix=16, nypix=16, base=self.dir)
            d.observe(latobs=20.0, phase_angle=[12.0, 40.0])
            workdir = self.path("run-" + form)
            os.mkdir(workdir)
            run = quillet.run(d, workdir=workdir, threads=2, program=BINARY, progress=False)
            files[form] = run.files
        self.assertEqual(sorted(files["text"]), sorted(files["hdf5"]))
        self.assertIn("wfile", files["text"])
        for key in files["text"]:
            with open(files["text"][key], "rb") as a, open(files["hdf5"][key], "rb") as b:
                ta, tb = a.read(), b.read()
            if key in ("wfile", "outfile", "epsfile"):
                # The last but one record holds the measured CPU time.
                ta, tb = (t.rstrip(b"\n").split(b"\n") for t in (ta, tb))
                self.assertEqual(len(ta), len(tb), key)
                del ta[-2], tb[-2]
            self.assertEqual(ta, tb, key)


if __name__ == "__main__":
    unittest.main()

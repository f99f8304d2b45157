"""Runs, sweeps and study files against the program: the dataset against the
direction files of its runs, the cache, long observer lists in one run,
the netCDF round trip, study-file errors and the phase-curve figure."""

import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np

import quillet
from quillet import Deck, DeckError, RunError
from quillet import study_file
from tests.pictures import assert_plausible_png

REPO = os.environ.get("QUILLET_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BINARY = os.environ.get("QUILLET_BINARY", os.path.join(REPO, "build", "quillet"))
RING = os.path.join(REPO, "examples", "ring.pos")
QUILLET_STUDY = os.path.join(REPO, "tools", "quillet-study")
QUILLET_PLOT = os.path.join(REPO, "tools", "quillet-plot")

try:
    import xarray as xr
except ImportError:  # pragma: no cover - installed by tools/setup.sh
    xr = None


def tiny_deck(base):
    d = Deck(posfile="ring.pos", bsun=30.0, method=4, ppar1=-0.3, ssca_part=0.5,
             nxphot=20, nyphot=20, mx=20, my=20, idum=-11, base=base)
    d.observe(latobs=20.0, phase_angle=[12.0, 18.0, 30.0, 60.0])
    return d


class StudyCase(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(BINARY):
            self.skipTest("the quillet program %s is not built yet" % BINARY)
        if xr is None:
            self.skipTest("xarray is not installed")
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dir = self.tmp.name
        shutil.copy(RING, os.path.join(self.dir, "ring.pos"))
        self.cache = os.path.join(self.dir, "cache")

    def sweep(self, deck, **axes):
        err = io.StringIO()
        log = []
        with contextlib.redirect_stderr(err):
            ds = quillet.sweep(deck, cache_dir=self.cache, program=BINARY, progress=False,
                               log=log, threads=1, **axes)
        return ds, log, err.getvalue()


class RunTest(StudyCase):
    def test_run_returns_report_and_readers(self):
        d = tiny_deck(self.dir)
        d.outfile = "x.esc"
        d.idebug = 1
        with self.assertRaises(DeckError) as cm:  # per-photon traces need the serial run
            quillet.run(d, threads=1, program=BINARY, progress=False)
        self.assertEqual(cm.exception.name, "idebug")
        r = quillet.run(d, workdir=os.path.join(self.dir, "one"), threads=None, program=BINARY,
                        progress=False)
        self.assertEqual(r.direction.ntest, 4)
        self.assertEqual(r.direction.nphot, 400)
        self.assertEqual(r.escape.esc_fii.shape, (400,))
        self.assertIsNone(r.histogram)
        self.assertIsNone(r.test_image)
        self.assertEqual(r.check_pos.npart, r.direction.npart)
        self.assertIn("NORI,TAU", r.report)
        # The report's I/F table and the direction file agree: total and
        # first order (the order-1 column of the per-order table).
        rows = r.report_i_over_f
        f, err = r.i_over_f()
        np.testing.assert_allclose(rows[:, 3], f, rtol=1e-12)
        np.testing.assert_allclose(rows[:, 4], err, rtol=1e-12)
        f1, _ = r.i_over_f_1()
        np.testing.assert_allclose(f1, r.direction.i_over_f_order()[0][:, 0], rtol=1e-12)
        # The run deck is a deck: it reads back to the values that ran.
        self.assertEqual(Deck.read(os.path.join(r.workdir, "run.deck")), r.run_deck)

    def test_failed_run_raises_with_the_programs_message(self):
        d = tiny_deck(self.dir)
        d.ssca_part = 1.5
        with self.assertRaises(DeckError):
            quillet.run(d, program=BINARY, progress=False)
        with self.assertRaises(RunError) as cm:
            quillet.run(d, workdir=os.path.join(self.dir, "bad"), program=BINARY, progress=False,
                        check=False)
        self.assertIn("single-scattering albedo ssca_part", str(cm.exception))
        self.assertEqual(cm.exception.status, 1)

    def test_missing_input_file_is_named(self):
        d = tiny_deck(self.dir)
        d.posfile = "nowhere.pos"
        with self.assertRaises(RunError) as cm:
            quillet.run(d, program=BINARY, progress=False)
        self.assertIn("nowhere.pos", str(cm.exception))

    def test_written_position_file_runs(self):
        rng = np.random.default_rng(8)
        n = 300
        quillet.write_position_file(os.path.join(self.dir, "snap.pos"), rng.uniform(-15, 15, n),
                                    rng.uniform(-15, 15, n), rng.uniform(-2, 2, n),
                                    np.full(n, 0.8), 15.0, 15.0, 4.1, title="snapshot")
        d = tiny_deck(self.dir)
        d.posfile = "snap.pos"
        r = quillet.run(d, threads=1, program=BINARY, progress=False)
        # Geometric optical depth of the written spheres, as the run found it.
        self.assertAlmostEqual(r.direction.tau, n * np.pi * 0.64 / (4 * 15.0 * 15.0), places=12)


class SweepTest(StudyCase):
    def test_dataset_against_the_direction_files(self):
        d = tiny_deck(self.dir)
        ds, log, err = self.sweep(d, bsun=[20.0, 40.0], ssca_part=[0.3, 0.6])
        self.assertEqual(ds["i_over_f"].dims, ("bsun", "ssca_part", "direction"))
        self.assertEqual(dict(ds.sizes), {"bsun": 2, "ssca_part": 2, "direction": 4, "order": 50})
        np.testing.assert_array_equal(ds["bsun"].values, [20.0, 40.0])
        np.testing.assert_array_equal(ds["latobs"].values, [20.0] * 4)
        np.testing.assert_array_equal(ds["phase_angle"].values, [12.0, 18.0, 30.0, 60.0])
        self.assertEqual(ds["azimuth"].dims, ("bsun", "ssca_part", "direction"))
        for name in ("i_over_f", "i_over_f_err", "i_over_f_1", "i_over_f_1_err", "i_over_f_order",
                     "fdir", "tau", "nphot", "latobs", "phase_angle", "azimuth"):
            self.assertIn("long_name", ds[name].attrs, name)
            self.assertIn("units", ds[name].attrs, name)
        # Every fixed deck value is an attribute, the swept ones are not.
        self.assertEqual(ds.attrs["method"], 4)
        self.assertEqual(ds.attrs["ppar1"], -0.3)
        self.assertEqual(ds.attrs["posfile"], "ring.pos")
        self.assertEqual(ds.attrs["method_name"], "HG-sphere-point")
        self.assertNotIn("bsun", ds.attrs)
        self.assertNotIn("ssca_part", ds.attrs)
        self.assertEqual(len(log), 4)
        self.assertFalse(any(cached for _, _, cached in log))
        # Sun at 40, observer at 20: phase angles from 20 up; 12 and 18 are
        # left out, NaN, and named once on standard error.
        self.assertIn("bsun = 40", err)
        self.assertEqual(err.count("\n"), 1)
        self.assertTrue(np.all(np.isnan(ds["i_over_f"].sel(bsun=40.0).values[:, :2])))
        self.assertTrue(np.all(np.isnan(ds["azimuth"].sel(bsun=40.0).values[:, :2])))
        # Each value against the run's own direction file, read directly.
        for digest, folder, _ in log:
            w = quillet.read_direction_file(os.path.join(folder, "run.dir"))
            run_deck = Deck.read(os.path.join(folder, "run.deck"))
            at = ds.sel(bsun=w.bsun, ssca_part=run_deck.ssca_part)
            k = [list(ds["phase_angle"].values).index(a) for a in run_deck.fiiobs]
            f, e = w.i_over_f()
            np.testing.assert_array_equal(at["i_over_f"].values[k], f)
            np.testing.assert_array_equal(at["i_over_f_err"].values[k], e)
            np.testing.assert_array_equal(at["i_over_f_order"].values[k],
                                          w.i_over_f_order()[0])
            np.testing.assert_array_equal(at["azimuth"].values[k], w.fiiobs - w.lonsun)
            self.assertEqual(float(at["fdir"]), w.fdir)
            self.assertEqual(float(at["tau"]), w.tau)
            self.assertEqual(int(at["nphot"]), 400)
        # The orders add up to the total (per-order table against totals).
        total = ds["i_over_f_order"].sum("order", skipna=False)
        np.testing.assert_allclose(total.values, ds["i_over_f"].values, rtol=1e-12)

    def test_second_sweep_runs_nothing(self):
        d = tiny_deck(self.dir)
        first, log1, _ = self.sweep(d, bsun=[20.0, 30.0])
        again, log2, _ = self.sweep(d, bsun=[20.0, 30.0])
        self.assertEqual([c for _, _, c in log1], [False, False])
        self.assertEqual([c for _, _, c in log2], [True, True])
        self.assertTrue(first.identical(again))
        # Changed input bytes make a new run; the deck alone is the same.
        with open(os.path.join(self.dir, "ring.pos"), "a") as f:
            f.write("\n")
        _, log3, _ = self.sweep(d, bsun=[20.0, 30.0])
        self.assertEqual([c for _, _, c in log3], [False, False])
        # A changed deck value is a new run too.
        _, log4, _ = self.sweep(d.copy(idum=-12), bsun=[20.0])
        self.assertEqual([c for _, _, c in log4], [False])

    def test_150_directions_run_as_one_run_equal_to_two_runs_of_75(self):
        # The peel-off draws no random number: a photon's path does not
        # depend on the directions, so one run of 150 directions gives what
        # two runs of 75 with the same deck give, value for value, in the
        # serial run (one stream for all photons) and in the threaded run
        # (a stream per photon).
        d = tiny_deck(self.dir)
        alphas = np.round(np.linspace(11.0, 110.0, 75), 6)
        d.observe(latobs=[25.0, 35.0], phase_angle=alphas)
        self.assertEqual(d.ntest, 150)
        first = d.copy(latobs=d.latobs[:75], fiiobs=d.fiiobs[:75])
        second = d.copy(latobs=d.latobs[75:], fiiobs=d.fiiobs[75:])
        for threads in (1, None):
            with self.subTest(threads=threads):
                err = io.StringIO()
                log = []
                with contextlib.redirect_stderr(err):
                    ds = quillet.sweep(d, cache_dir=self.cache, program=BINARY, progress=False,
                                       log=log, threads=threads)
                self.assertEqual(len(log), 1)
                self.assertEqual(err.getvalue(), "")
                self.assertEqual(ds["i_over_f"].shape, (150,))
                self.assertEqual(quillet.read_direction_file(
                    os.path.join(log[0][1], "run.dir")).ntest, 150)
                parts = [quillet.run(p, threads=threads, program=BINARY, progress=False)
                         for p in (first, second)]
                f = np.concatenate([p.i_over_f()[0] for p in parts])
                e = np.concatenate([p.i_over_f()[1] for p in parts])
                f1 = np.concatenate([p.i_over_f_1()[0] for p in parts])
                order = np.concatenate([p.direction.i_over_f_order()[0] for p in parts])
                np.testing.assert_array_equal(ds["i_over_f"].values, f)
                np.testing.assert_array_equal(ds["i_over_f_err"].values, e)
                np.testing.assert_array_equal(ds["i_over_f_1"].values, f1)
                np.testing.assert_array_equal(ds["i_over_f_order"].values, order)
                self.assertEqual(float(ds["fdir"]), parts[0].direction.fdir)
                self.assertEqual(float(ds["fdir"]), parts[1].direction.fdir)

    def test_netcdf_round_trip(self):
        d = tiny_deck(self.dir)
        ds, _, _ = self.sweep(d, method=[3, 4], ppar1=[-0.3, 0.2])
        path = os.path.join(self.dir, "s.nc")
        ds.to_netcdf(path)
        with xr.open_dataset(path) as back:
            back.load()
            self.assertTrue(back.identical(ds))
        with open(path, "rb") as f:
            self.assertEqual(f.read(4), b"\x89HDF")  # netCDF4

    def test_sweep_refuses_before_any_run(self):
        d = tiny_deck(self.dir)
        for axes, name in ((dict(ssca_part=[0.5, 1.5]), "ssca_part"), (dict(nosuch=[1]), "nosuch"),
                           (dict(fiiobs=[10.0]), "fiiobs"), (dict(bsun=30.0), "bsun"),
                           (dict(method=[3, 3]), "method"),
                           (dict(latobs=[20.0, 0.0]), "latobs"),
                           (dict(bsun=[10.0, 20.0], ssca_part=[0.5], paired=True), "bsun"),
                           (dict(bsun=[10.0], paired=["ssca_part"]), "ssca_part")):
            with self.assertRaises(DeckError, msg=str(axes)) as cm:
                self.sweep(d, **axes)
            self.assertEqual(cm.exception.name, name)
        self.assertFalse(os.path.exists(self.cache))


# The [deck] table of the small study files of these tests.
STUDY_HEAD = """\
[deck]
posfile = "ring.pos"
method = 4
ppar1 = -0.3
ssca_part = 0.5
nxphot = 20
nyphot = 20
mx = 20
my = 20
"""

STUDY = STUDY_HEAD + """
[observers]
latobs = 20.0
phase_angle = [5, 15, 30, 60]

[sweep]
bsun = [10, 20, 40]
"""


class StudyFileTest(StudyCase):
    def write(self, text, name="study.toml"):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def assert_study_error(self, text, *words):
        path = self.write(text)
        with self.assertRaises(study_file.StudyError) as cm:
            study_file.run_study(path, os.path.join(self.dir, "out.nc"), program=BINARY,
                                 cache_dir=self.cache, progress=False)
        for w in words:
            self.assertIn(w, str(cm.exception))
        self.assertIn(path, str(cm.exception))
        self.assertFalse(os.path.exists(self.cache), "a run was made")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "out.nc")))

    def test_errors_name_table_key_and_value(self):
        self.assert_study_error("[deck\n", "not a valid TOML")
        self.assert_study_error(STUDY + "[extra]\nx = 1\n", "unknown table [extra]")
        self.assert_study_error(STUDY.replace("method = 4", "methd = 4"), "[deck] methd = 4",
                                "unknown")
        self.assert_study_error(STUDY.replace("nxphot = 20", "nxphot = 20.5"),
                                "[deck] nxphot = 20.5", "integer")
        self.assert_study_error(STUDY.replace("ssca_part = 0.5", 'ssca_part = "half"'),
                                '[deck] ssca_part = "half"', "number")
        self.assert_study_error(STUDY.replace("ssca_part = 0.5", "ssca_part = 1.5"),
                                "[deck] ssca_part = 1.5", "albedo")
        self.assert_study_error(STUDY.replace("bsun = [10, 20, 40]", "bsun = [10, 95]"),
                                "[sweep] bsun = [10, 95]", "Sun elevation")
        self.assert_study_error(STUDY.replace("bsun = [10, 20, 40]", "bsun = 10"),
                                "[sweep] bsun = 10", "list")
        self.assert_study_error(STUDY.replace("bsun = [10, 20, 40]", "ppar1 = [0.1]"),
                                "[sweep] ppar1", "also given in [deck]")
        self.assert_study_error(STUDY.replace("latobs = 20.0", "latobs = 0"),
                                "[observers] latobs = 0", "other than 0")
        self.assert_study_error(STUDY.replace("phase_angle = [5, 15, 30, 60]", ""),
                                "[observers] needs latobs")
        self.assert_study_error(STUDY.replace("phase_angle = [5, 15, 30, 60]", "phase_angle = [5, 200]"),
                                "[observers] phase_angle = [5, 200]")
        self.assert_study_error(STUDY.replace('posfile = "ring.pos"\n', ""), "posfile", "not set")
        self.assert_study_error(STUDY.replace("method = 4", "method = 17"), "[deck] method = 17")

    def test_command_writes_the_dataset_and_the_figure(self):
        path = self.write(STUDY)
        out = os.path.join(self.dir, "out", "study.nc")
        env = dict(os.environ, QUILLET_BINARY=BINARY)
        run = subprocess.run([sys.executable, QUILLET_STUDY, path, "-o", out, "--jobs", "2",
                              "--quiet"], capture_output=True, text=True, env=env, timeout=600)
        self.assertEqual(run.returncode, 0, run.stderr)
        # Sun at 10 and at 40 cannot see phase angle 5 from 20 (and 40 not 15).
        self.assertIn("bsun = 10", run.stderr)
        self.assertIn("bsun = 40", run.stderr)
        with xr.open_dataset(out) as ds:
            ds.load()
        self.assertEqual(ds["i_over_f"].dims, ("bsun", "direction"))
        seen = np.isfinite(ds["i_over_f"].values)
        np.testing.assert_array_equal(seen, [[False, True, True, True], [True, True, True, True],
                                             [False, False, True, True]])
        self.assertEqual(ds.attrs["study_file"], "study.toml")
        # The same study from Python gives the same numbers (from the cache).
        deck, axes, _ = study_file.read_study(path)
        again, log, _ = self.sweep(deck, **axes)
        np.testing.assert_array_equal(again["i_over_f"].values, ds["i_over_f"].values)
        plot = subprocess.run([sys.executable, QUILLET_PLOT, out, "-o", self.dir],
                              capture_output=True, text=True, timeout=600)
        self.assertEqual(plot.returncode, 0, plot.stderr)
        png = os.path.join(self.dir, "study.nc.phase_curves.png")
        self.assertEqual(plot.stdout.strip(), png)
        assert_plausible_png(self, png)

    def test_command_failure_is_one_message_and_status_one(self):
        path = self.write(STUDY.replace("method = 4", "method = 0"))
        run = subprocess.run([sys.executable, QUILLET_STUDY, path, "-o",
                              os.path.join(self.dir, "x.nc")], capture_output=True, text=True,
                             env=dict(os.environ, QUILLET_BINARY=BINARY), timeout=600)
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stderr.count("\n"), 1, run.stderr)
        self.assertIn("[deck] method = 0", run.stderr)

    def test_study_from_a_deck_file(self):
        deck_path = os.path.join(self.dir, "base.deck")
        tiny_deck(self.dir).write(deck_path)
        sub = os.path.join(self.dir, "studies")
        os.makedirs(sub)
        path = self.write('[deck]\nfile = "../base.deck"\nssca_part = 0.3\n[sweep]\nbsun = [25, 30]\n',
                          name="studies/s.toml")
        deck, axes, _ = study_file.read_study(path)
        self.assertEqual(deck.posfile, os.path.join("..", "ring.pos"))
        self.assertEqual(deck.ssca_part, 0.3)
        self.assertEqual(deck.ntest, 4)
        self.assertEqual(axes, {"bsun": [25.0, 30.0]})
        ds, log, _ = self.sweep(deck, **axes)
        self.assertEqual(len(log), 2)
        self.assertTrue(np.all(np.isfinite(ds["i_over_f"].values)))


class PlotStudyTest(StudyCase):
    def test_the_figure_of_one_and_of_two_swept_values(self):
        d = tiny_deck(self.dir)
        d.observe(latobs=[20.0, 50.0], phase_angle=[30.0, 40.0, 60.0])
        from quillet import plot
        one, _, _ = self.sweep(d, bsun=[30.0, 40.0])
        two, _, _ = self.sweep(d, bsun=[30.0, 40.0], ssca_part=[0.3, 0.9])
        for ds, name in ((one, "one.png"), (two, "two.png")):
            path = plot.plot_study(ds, os.path.join(self.dir, name))
            assert_plausible_png(self, path)
        title = plot.study_title(one)
        self.assertIn("HG-sphere-point (ppar1=-0.3)", title)
        self.assertIn("albedo 0.5", title)
        self.assertIn("tau 0.4999", title)


if __name__ == "__main__":
    unittest.main()


class ProgressStreamTest(unittest.TestCase):
    """The message of a failed run without the progress line before it."""

    def test_progress_lines_are_dropped_from_the_message(self):
        from quillet import runner
        r, w = os.pipe()
        os.write(w, b"\rquillet: 1000 of 4000 photons (25%)\r" + b" " * 40 +
                 b"\rquillet: deck record 8: nxphot = 0\r\n")
        os.close(w)
        try:
            text = runner._stream(r, False)
        finally:
            os.close(r)
        self.assertEqual(text, "quillet: deck record 8: nxphot = 0")

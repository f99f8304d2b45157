"""Studies for papers against the program: observation tables, paired
sweeps, ensembles of fields and their error, albedo reweighting against
direct runs, an interrupted and resumed study, and the figures of joined,
paired and ensemble datasets."""

import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

import numpy as np

import quillet
from quillet import DeckError
from quillet import study_file
from tests.pictures import assert_plausible_png
from tests.study_cases import (BINARY, FIELD, QUILLET_STUDY, REPO, SMALL_FIELD, TABLE, Case,
                               deck_for, xr)
from tests.test_study import STUDY_HEAD


class ObservationTableTest(Case):
    def test_rows_share_runs_by_sun_elevation_and_match_a_plain_sweep(self):
        rows = [dict(bsun=10, latobs=10, phase_angle=p) for p in (0.0, 0.5, 3.0)]
        rows += [dict(bsun=25, latobs=22, azimuth=a) for a in (20.0, 90.0)]
        with self.assertRaises(DeckError):   # phase_angle and azimuth in one table
            quillet.read_observations(rows)
        rows = rows[:3] + [dict(bsun=25, latobs=22, phase_angle=p) for p in (5.0, 40.0)]
        d = deck_for(self.dir)
        ds, log, _ = self.sweep(d, observations=rows, ssca_part=[0.4, 0.6])
        self.assertEqual(ds["i_over_f"].dims, ("ssca_part", "observation"))
        self.assertEqual(len(log), 4)   # 2 albedos x 2 Sun elevations
        np.testing.assert_array_equal(ds["bsun"].values, [10, 10, 10, 25, 25])
        np.testing.assert_allclose(ds["phase_angle"].values, [0, 0.5, 3, 5, 40], atol=1e-9)
        # The rows of one Sun elevation are the directions of one run: the
        # same numbers as a sweep of that deck.
        for b, lat, sel, phases in ((10.0, 10.0, slice(0, 3), [0.0, 0.5, 3.0]),
                                    (25.0, 22.0, slice(3, 5), [5.0, 40.0])):
            one = d.copy(bsun=b)
            one.observe(latobs=lat, phase_angle=phases)
            plain, plog, _ = self.sweep(one, ssca_part=[0.4, 0.6])
            self.assertTrue(all(cached for _, _, cached in plog))
            np.testing.assert_array_equal(ds["i_over_f"].values[:, sel], plain["i_over_f"].values)
            np.testing.assert_array_equal(ds["fdir"].values[:, sel],
                                          np.repeat(plain["fdir"].values[:, None], len(phases), 1))

    def test_paired_values_are_zipped_not_crossed(self):
        d = deck_for(self.dir)
        ds, log, _ = self.sweep(d, bsun=[10.0, 25.0], latobs=[10.0, 25.0], paired=True)
        self.assertEqual(ds["i_over_f"].dims, ("pair", "direction"))
        self.assertEqual(len(log), 2)
        np.testing.assert_array_equal(ds["latobs"].values, [10.0, 25.0])
        for i, b in enumerate((10.0, 25.0)):
            one = d.copy(bsun=b)
            one.observe(latobs=b, phase_angle=[12.0, 18.0, 30.0, 60.0])
            plain, plog, _ = self.sweep(one)
            self.assertTrue(plog[0][2])
            np.testing.assert_array_equal(ds["i_over_f"].values[i], plain["i_over_f"].values)
            np.testing.assert_allclose(ds["azimuth"].values[i], plain["azimuth"].values)


class EnsembleTest(Case):
    def test_forty_rows_three_fields_and_the_error_against_eight(self):
        """The study file of the examples' kind: 40 rows, three fields, one
        netCDF dataset.  Its ensemble error is checked against the spread of
        eight realisations."""
        if not os.path.isfile(FIELD):
            self.skipTest("quillet-field is not built")
        shutil.copy(TABLE, os.path.join(self.dir, "observations.csv"))
        fields = "".join("%s = %r\n" % kv for kv in SMALL_FIELD.items())
        base = ("[deck]\nmethod = 4\nppar1 = -0.3\nssca_part = 0.5\nnxphot = 100\nnyphot = 100\n"
                "mx = 8\nmy = 8\nidum = -7\n\n[observations]\nfile = \"observations.csv\"\n\n"
                "[field]\n" + fields)
        path3 = self.write("three.toml", base + "seeds = [1, 2, 3]\n")
        out = os.path.join(self.dir, "three.nc")
        env = dict(os.environ, QUILLET_BINARY=BINARY)
        done = subprocess.run([sys.executable, QUILLET_STUDY, path3, "-o", out, "--quiet",
                               "--threads", "1", "--cache", self.cache, "--jobs", "2"],
                              capture_output=True, text=True, env=env)
        self.assertEqual(done.returncode, 0, done.stderr)
        three = xr.open_dataset(out)
        self.addCleanup(three.close)
        self.assertEqual(dict(three.sizes), {"realisation": 3, "observation": 40, "order": 50})
        np.testing.assert_array_equal(three["field_seed"].values, [1, 2, 3])
        self.assertEqual(len(set(three["field_digest"].values)), 3)
        self.assertTrue(three.attrs["quillet_version"].startswith("quillet "))
        self.assertIn("--rmin 0.2", three.attrs["field_settings"])
        self.assertAlmostEqual(three.attrs["field_filling_factor"], 0.15, delta=0.01)
        self.assertIn("note", three["i_over_f_mean_err"].attrs)
        f, e = three["i_over_f"].values, three["i_over_f_err"].values
        np.testing.assert_allclose(three["i_over_f_mean"].values, f.mean(axis=0), rtol=1e-12)

        path8 = self.write("eight.toml", base + "seeds = [1, 2, 3, 4, 5, 6, 7, 8]\n")
        deck, axes, tables = study_file.read_study(path8)
        eight, log, _ = self.sweep(deck, observations=tables["observations"],
                                   fields=tables["fields"])
        self.assertEqual(sum(cached for _, _, cached in log), 9)   # 3 fields x 3 Sun elevations
        f8, e8 = eight["i_over_f"].values, eight["i_over_f_err"].values
        np.testing.assert_array_equal(f8[:3], f)
        # The spread between fields is real: wider than the runs' own errors
        # say (a field of 330 spheres), so an error of one field is too small.
        s8 = f8.std(axis=0, ddof=1)
        photons = np.sqrt((e8 ** 2).mean(axis=0))
        self.assertGreater(np.median(s8 / photons), 1.2)
        # The error of the mean of three against what eight realisations
        # give for a mean of three, s8 / sqrt(3).  With 2 degrees of freedom
        # per row s3 scatters widely (a chi-square of 2 degrees: its 5-95 %
        # range is 0.05 to 3 in variance), and the rows of one Sun elevation
        # share their fields, so the check is on the median over rows of
        # each Sun elevation: a ratio of 0.3 to 2 in standard deviation.
        ratio = three["i_over_f_mean_err"].values / (s8 / np.sqrt(3.0))
        for b in (10.0, 17.0, 25.0):
            rows = three["bsun"].values == b
            self.assertTrue(0.3 < np.median(ratio[rows]) < 2.0, (b, np.median(ratio[rows])))
        # The error never falls below the photons' noise of the three runs.
        self.assertTrue(np.all(three["i_over_f_mean_err"].values
                               >= np.sqrt((e ** 2).mean(axis=0) / 3.0) * (1 - 1e-12)))
        # The mean of the other five is independent of the three: their
        # difference in units of the combined errors.
        m5 = f8[3:].mean(axis=0)
        e5 = eight["i_over_f"][3:].std(axis=0, ddof=1).values / np.sqrt(5.0)
        z = (three["i_over_f_mean"].values - m5) / np.hypot(three["i_over_f_mean_err"].values, e5)
        self.assertLess(np.median(np.abs(z)), 2.0)


class ReweightTest(Case):
    def test_reweighted_i_over_f_against_direct_runs(self):
        d = deck_for(self.dir, nxphot=60, nyphot=60)
        d.observe(latobs=20.0, phase_angle=[12.0, 30.0, 60.0, 100.0])
        ds, _, _ = self.sweep(d, ssca_part=[0.5, 0.2, 0.8])
        rw = quillet.reweight(ds.sel(ssca_part=0.5), ssca_part=[0.2, 0.8, 0.5])
        self.assertEqual(rw["i_over_f"].dims, ("ssca_part", "direction"))
        # The same seed draws the same paths: the reweighted I/F is what the
        # run with that albedo gives, to rounding.
        for a in (0.2, 0.8, 0.5):
            np.testing.assert_allclose(rw["i_over_f"].sel(ssca_part=a).values,
                                       ds["i_over_f"].sel(ssca_part=a).values, rtol=1e-9)
            np.testing.assert_allclose(rw["i_over_f_1"].sel(ssca_part=a).values,
                                       ds["i_over_f_1"].sel(ssca_part=a).values, rtol=1e-9)
        np.testing.assert_allclose(rw["i_over_f_err"].sel(ssca_part=0.5).values,
                                   ds["i_over_f_err"].sel(ssca_part=0.5).values, rtol=1e-12)
        # Its error estimate against the direct runs' own errors.
        for a in (0.2, 0.8):
            r = (rw["i_over_f_err"].sel(ssca_part=a) / ds["i_over_f_err"].sel(ssca_part=a)).values
            self.assertTrue(np.all((r > 0.8) & (r < 1.25)), (a, r))
        self.assertTrue(np.all(rw["i_over_f_tail"].values < 1e-10 * rw["i_over_f"].values))
        # Against independent runs (another seed) within their errors.
        other, _, _ = self.sweep(d.copy(idum=-12345), ssca_part=[0.2, 0.8])
        for a in (0.2, 0.8):
            diff = rw["i_over_f"].sel(ssca_part=a).values - other["i_over_f"].sel(ssca_part=a).values
            sigma = np.hypot(rw["i_over_f_err"].sel(ssca_part=a).values,
                             other["i_over_f_err"].sel(ssca_part=a).values)
            self.assertTrue(np.all(np.abs(diff) < 3.5 * sigma), (a, diff / sigma))
        for bad, name in ((dict(ssca_part=[1.2]), "ssca_part"), (dict(ssca_haze=[0.3]), "ssca_haze")):
            with self.assertRaises(DeckError) as cm:
                quillet.reweight(ds.sel(ssca_part=0.5), **bad)
            self.assertEqual(cm.exception.name, name)
        with self.assertRaises(DeckError):   # the albedo is swept: pick one first
            quillet.reweight(ds, ssca_part=[0.3])
        from quillet import plot
        assert_plausible_png(self, plot.plot_study(rw, os.path.join(self.dir, "rw.png")))

    def test_reweighted_with_haze_by_both_albedos(self):
        if not os.path.isfile(FIELD):
            self.skipTest("quillet-field is not built")
        subprocess.run([FIELD, "--xl", "70", "--yl", "70", "--sy", "20", "--radius", "0.3",
                        "--tau", "0.1", "--thickness", "9", "--overlap", "--seed", "5", "-o",
                        os.path.join(self.dir, "haze.pos")], check=True, capture_output=True)
        d = deck_for(self.dir, posfile_haze="haze.pos", method_haze=2, ssca_haze=0.6)
        ds, _, _ = self.sweep(d, ssca_part=[0.5, 0.8])
        # The ring-by-haze table holds every order: it adds up to the I/F.
        np.testing.assert_allclose(ds["i_over_f_haze"].sum(("ring_order", "haze_order")).values,
                                   ds["i_over_f"].values, rtol=1e-9)
        other, _, _ = self.sweep(d.copy(ssca_haze=0.3), ssca_part=[0.8])
        rw = quillet.reweight(ds.sel(ssca_part=0.5), ssca_part=[0.8], ssca_haze=[0.6, 0.3])
        self.assertEqual(rw["i_over_f"].dims, ("ssca_part", "ssca_haze", "direction"))
        np.testing.assert_allclose(rw["i_over_f"].sel(ssca_part=0.8, ssca_haze=0.6).values,
                                   ds["i_over_f"].sel(ssca_part=0.8).values, rtol=1e-9)
        np.testing.assert_allclose(rw["i_over_f"].sel(ssca_part=0.8, ssca_haze=0.3).values,
                                   other["i_over_f"].values[0], rtol=1e-9)


class InterruptTest(Case):
    def test_ctrl_c_keeps_checkpoints_and_the_second_study_resumes_them(self):
        text = STUDY_HEAD.replace("nxphot = 20\nnyphot = 20",
                                  "nxphot = 1400\nnyphot = 1400") + (
            "[observers]\nlatobs = 20\nphase_angle = [30, 60]\n\n[sweep]\nbsun = [20, 40]\n")
        path = self.write("study.toml", text)
        env = dict(os.environ, QUILLET_BINARY=BINARY)
        args = [sys.executable, QUILLET_STUDY, path, "--quiet", "--threads", "1"]
        out = os.path.join(self.dir, "a.nc")
        proc = subprocess.Popen(args + ["-o", out, "--cache", self.cache], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # Wait until the first run has photons under way, then Ctrl-C.
        deadline = time.time() + 60
        while time.time() < deadline:
            tmp = [n for n in os.listdir(self.cache)] if os.path.isdir(self.cache) else []
            if any(n.startswith("tmp-") and os.path.exists(os.path.join(self.cache, n,
                                                                        "run.report.part"))
                   for n in tmp):
                break
            time.sleep(0.05)
        time.sleep(0.8)
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=120)
        self.assertEqual(proc.returncode, 130, stderr)
        lines = [ln for ln in stderr.splitlines() if ln.strip()]
        self.assertEqual(len(lines), 1, stderr)
        self.assertIn("sweep interrupted: 0 of 2 runs done", lines[0])
        self.assertIn("1 stopped with a checkpoint", lines[0])
        self.assertNotIn("Traceback", stderr)
        self.assertFalse(os.path.exists(out))
        kept = os.listdir(os.path.join(self.cache, "checkpoints"))
        self.assertEqual(len([k for k in kept if k.endswith(".ck")]), 1, kept)
        # The same study again: resumed, and the dataset is that of a study
        # that was never interrupted.
        again = subprocess.run(args + ["-o", out, "--cache", self.cache], env=env,
                               capture_output=True, text=True)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("resuming 1 interrupted run from its checkpoint", again.stderr)
        self.assertEqual(os.listdir(os.path.join(self.cache, "checkpoints")), [])
        ref = os.path.join(self.dir, "b.nc")
        whole = subprocess.run(args + ["-o", ref, "--cache", os.path.join(self.dir, "other")],
                               env=env, capture_output=True, text=True)
        self.assertEqual(whole.returncode, 0, whole.stderr)
        with xr.open_dataset(out) as a, xr.open_dataset(ref) as b:
            xr.testing.assert_identical(a.load(), b.load())
            self.assertTrue(np.all(np.isfinite(a["i_over_f"].values)))


class ExampleStudiesTest(unittest.TestCase):
    def test_every_shipped_study_file_reads(self):
        folder = os.path.join(REPO, "examples")
        names = sorted(n for n in os.listdir(folder) if n.endswith(".toml"))
        self.assertIn("observation-table.toml", names)
        for name in names:
            deck, axes, tables = study_file.read_study(os.path.join(folder, name))
            if name == "observation-table.toml":
                self.assertEqual(len(tables["observations"]), 40)
                self.assertEqual(len(tables["fields"]), 3)


class FigureTest(Case):
    def test_figures_of_joined_paired_and_ensemble_datasets(self):
        import pandas as pd
        from quillet import plot

        d = deck_for(self.dir)
        parts = []
        for b in (10.0, 25.0):
            one = d.copy(bsun=b)
            one.observe(latobs=b, phase_angle=[0.0, 0.5, 1.0, 2.0, 5.0, 10.0, 20.0, 40.0])
            parts.append(self.sweep(one, ssca_part=[0.5])[0])
        joined = xr.concat(parts, dim=pd.Index([10.0, 25.0], name="bsun"))
        paired, _, _ = self.sweep(d, bsun=[10.0, 25.0], latobs=[10.0, 25.0], paired=True)
        for ds, name, kw in ((joined, "joined.png", dict(log_phase=True)),
                             (paired, "paired.png", {}), (paired, "tilt.png", dict(x="bsun"))):
            path = plot.plot_study(ds, os.path.join(self.dir, name), **kw)
            assert_plausible_png(self, path)
        title = plot.study_title(joined)
        self.assertNotIn("Sun elevation", title)   # bsun is a coordinate of the joined set
        self.assertIn("filling factor 0.07", title)
        self.assertIn("r = 1", title)
        self.assertIn("quillet 0.", title)
        meta = png_text(os.path.join(self.dir, "joined.png"))
        self.assertTrue(meta["Software"].startswith("quillet "))
        self.assertIn("filling factor 0.07", meta["Description"])


def png_text(path):
    """The tEXt entries of a PNG file."""
    import struct
    import zlib

    out = {}
    with open(path, "rb") as f:
        data = f.read()
    pos = 8
    while pos < len(data):
        n, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + n]
        if kind == b"tEXt":
            k, v = body.split(b"\0", 1)
            out[k.decode("latin-1")] = v.decode("latin-1")
        elif kind == b"zTXt":
            k, rest = body.split(b"\0", 1)
            out[k.decode("latin-1")] = zlib.decompress(rest[1:]).decode("latin-1")
        elif kind == b"iTXt":
            k, rest = body.split(b"\0", 1)
            rest = rest[2:].split(b"\0", 2)[2]
            out[k.decode("latin-1")] = rest.decode("utf-8")
        pos += 12 + n
    return out


if __name__ == "__main__":
    unittest.main()

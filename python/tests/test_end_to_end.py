"""Whole runs of the quillet program, read back with the package and checked
against the run report and against each other.

The program is QUILLET_BINARY (set by the test driver); the tests skip, with
the reason, while it is not built or while its engine does not yet write the
result files.
"""

import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np

import quillet
from tests.pictures import assert_plausible_png

REPO = os.environ.get("QUILLET_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BINARY = os.environ.get("QUILLET_BINARY", os.path.join(REPO, "build", "quillet"))
QUILLET_PLOT = os.path.join(REPO, "tools", "quillet-plot")

TINY_DECK = """\
'ring.pos'          posfile
30.0 15.0           bsun, lonsun
3                   ntest
30.0 20.0           latobs, phase angle 20
45.0 60.0           latobs, phase angle 60
60.0 1180.0         latobs, azimuth 180 from the Sun
20 20 5 5           nxphot, nyphot, mx, my
junk                parfile
'run.esc'           outfile
'run.eps'           epsfile
'run.w'             wfile
4                   method: HG-sphere-point
-0.3 0.0 0.0        ppar1..3
junk                posfile_haze
2                   method_haze
0.0 0.0 0.0         ppar1_haze..3
0.5 0.5             ssca_part, ssca_haze
0                   icheck
-7                  idum
1.0 1.0             sredu, zredu
0.0                 sizemin
0.0 1.0             s20, f20
0                   isat
130.0               distance
20 40               nlat_sat, nfii_sat
4                   model_sat
0                   irot
0                   isquare
'run'               testimage
16 12               nxpix, nypix
1                   idebug
0                   iemulate
"""


def tiny_field_text(n=60, xl=10.0, yl=8.0, seed=11):
    """A Particle position file: n spheres of radius 0.6..1.2 in the cell."""
    rng = np.random.default_rng(seed)
    lines = ["'tiny test field'", "0", "%r %r %r %r" % (100.0, xl, yl, 3.0), str(n)]
    for _ in range(n):
        lines.append("%r %r %r %r" % (float(rng.uniform(0.6, 1.2)), float(rng.uniform(-xl, xl)),
                                      float(rng.uniform(-yl, yl)), float(rng.uniform(-2.0, 2.0))))
    return "\n".join(lines) + "\n"


def report_values(report, label):
    """The numbers after the label on the first report line that starts with it."""
    for line in report.split("\n"):
        if line.startswith(label):
            return [float(v) for v in line[len(label):].split()]
    raise AssertionError("the report has no line %r" % label)


def direction_lines(report):
    """(latitude, azimuth, phase angle) of the report's direction lines."""
    out = []
    for line in report.split("\n"):
        if line[:16] == "   lat,fii,alpha":
            out.append((float(line[16:24]), float(line[24:32]), float(line[32:44])))
    return out


class RunCase(unittest.TestCase):
    def run_deck(self, deck_text, files):
        """Runs the program on the deck in a fresh folder holding ``files``
        (name -> text); returns (folder, report)."""
        if not os.path.isfile(BINARY):
            self.skipTest("the quillet program %s is not built yet" % BINARY)
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        for name, text in files.items():
            os.makedirs(os.path.dirname(os.path.join(tmp.name, name)), exist_ok=True)
            with open(os.path.join(tmp.name, name), "w") as out:
                out.write(text)
        run = subprocess.run([BINARY], input=deck_text, capture_output=True, text=True,
                             cwd=tmp.name, timeout=600)
        self.assertEqual(run.returncode, 0, "quillet failed:\n%s" % run.stderr[-2000:])
        return tmp.name, run.stdout

    def require(self, path):
        if not os.path.isfile(path):
            self.skipTest("the engine is still a placeholder: the run wrote no %s"
                          % os.path.basename(path))


class TinyRunTest(RunCase):
    """A run of 400 photons through 60 spheres, every file written."""

    @classmethod
    def setUpClass(cls):
        cls.cached = None

    def setUp(self):
        if TinyRunTest.cached is None:
            folder, report = self.run_deck(TINY_DECK, {"ring.pos": tiny_field_text()})
            self.require(os.path.join(folder, "run.w"))
            # Keep the folder for the other tests of the class.
            keep = tempfile.mkdtemp(prefix="quillet-e2e-")
            shutil.copytree(folder, keep, dirs_exist_ok=True)
            TinyRunTest.cached = (keep, report)
        self.folder, self.report = TinyRunTest.cached

    @classmethod
    def tearDownClass(cls):
        if cls.cached is not None:
            shutil.rmtree(cls.cached[0], ignore_errors=True)

    def f(self, name):
        return os.path.join(self.folder, name)

    def test_direction_file_agrees_with_the_report(self):
        d = quillet.read_direction_file(self.f("run.w"))
        self.assertEqual((d.ntest, d.nphot, d.bsun, d.lonsun), (3, 400, 30.0, 15.0))
        self.assertEqual(d.posfile, "ring.pos")
        np.testing.assert_array_equal(d.latobs, [30.0, 45.0, 60.0])
        nori, tau = report_values(self.report, "NORI,TAU  = ")
        self.assertEqual((d.npartori, d.tau), (int(nori), tau))
        npart, npot, nbox, iscat = report_values(self.report, "npart,npot,nbox,iscat")
        self.assertEqual(d.npart, int(npart))
        # Single-precision means: the file and the report may show them with
        # float or double digits, the same float either way.
        self.assertEqual(np.float32([d.npot_mean, d.nbox_mean, d.iscat_mean]).tolist(),
                         np.float32([npot, nbox, iscat]).tolist())
        fdir, mu0, tau_p, tau_n = report_values(self.report, "fdir,mu0,tau_p,tau_n")
        self.assertEqual(d.fdir, fdir)
        self.assertAlmostEqual(d.tau_p, tau_p, places=12)
        self.assertAlmostEqual(d.tau_n, tau_n, places=6)  # the report's mu0 has 7 digits
        mean_testw, _ = report_values(self.report, "mean: testw,iscat")
        self.assertAlmostEqual(float(np.mean(d.testw)), mean_testw, delta=1e-12 * mean_testw)
        sredu, zredu = report_values(self.report, "SREDU, ZREDU = ")
        self.assertEqual((d.sredu, d.zredu), (sredu, zredu))

    def test_phase_angles_and_azimuths_match_the_report_lines(self):
        d = quillet.read_direction_file(self.f("run.w"))
        lines = direction_lines(self.report)
        self.assertEqual(len(lines), 3)
        alpha = d.phase_angle()
        for k, (lat, fii, a) in enumerate(lines):
            self.assertAlmostEqual(d.latobs[k], lat, places=3)
            self.assertAlmostEqual(d.fiiobs[k], fii, delta=0.0005)
            self.assertAlmostEqual(alpha[k], a, delta=2e-6)
        np.testing.assert_allclose(alpha, [20.0, 60.0, 90.0], atol=1e-9)

    def test_orders_and_scattering_kinds_add_up_to_the_totals(self):
        d = quillet.read_direction_file(self.f("run.w"))
        self.assertTrue(np.all(d.testw > 0.0))
        np.testing.assert_allclose(d.w_order.sum(axis=1), d.testw, rtol=1e-12)
        np.testing.assert_allclose(d.w_haze.sum(axis=(1, 2)), d.testw, rtol=1e-12)
        # No haze: every contribution has zero haze scatterings, and the
        # number of ring scatterings is the order.
        self.assertTrue(np.all(d.w_haze[:, :, 1:] == 0.0))
        np.testing.assert_allclose(d.w_haze[:, 1:20, 0], d.w_order[:, :19], rtol=1e-12)
        self.assertTrue(np.all(d.w_haze[:, 0, :] == 0.0))
        value, err = d.i_over_f()
        self.assertTrue(np.all(np.isfinite(err)) and np.all(err > 0) and np.all(err < value))

    def test_escape_records_agree_with_the_totals(self):
        d = quillet.read_direction_file(self.f("run.w"))
        e = quillet.read_escape_file(self.f("run.esc"))
        for name in ("testw", "testw_n", "testw_sig", "testd_corr", "w_order", "fiiobs", "latobs"):
            np.testing.assert_array_equal(getattr(e, name), getattr(d, name), name)
        escaped = e.esc_weight > 0
        # Albedo 0.5 on every scattering: the weight is 0.5 to the power of
        # the number of scatterings.
        np.testing.assert_array_equal(e.esc_weight[escaped],
                                      (0.5 ** e.esc_sca[escaped]).astype(np.float32))
        ndirect = int(np.sum(escaped & (e.esc_sca == 0)))
        self.assertEqual(ndirect / 400.0, d.fdir)
        # Mean scatterings per photon: escaped photons scattered esc_sca
        # times, the others were stopped after maxscat searches.
        scatterings = np.where(escaped, e.esc_sca, d.maxscat).astype(np.float64)
        self.assertAlmostEqual(float(scatterings.mean()), d.iscat_mean, delta=1e-5)
        self.assertTrue(np.all(np.abs(e.esc_lat) <= np.float32(math.pi / 2)))

    def test_histogram_sums_the_escape_records(self):
        e = quillet.read_escape_file(self.f("run.esc"))
        h = quillet.read_histogram_file(self.f("run.eps"))
        self.assertEqual(h.hist_dims, (180, 90, 50))
        self.assertTrue(np.all(h.esc_hist[0] == 0.0))
        lat = np.degrees(e.esc_lat.astype(np.float64))
        fii = np.degrees(e.esc_fii.astype(np.float64))  # no rotation in this run
        w = e.esc_weight.astype(np.float64)
        for plane in range(1, 10):
            sel = (e.esc_sca == plane) & (w > 0)
            self.assertAlmostEqual(float(h.esc_hist[plane].sum(dtype=np.float64)),
                                   float(w[sel].sum()), delta=1e-5 * max(1.0, w[sel].sum()))
            by_lat, _ = np.histogram(lat[sel], bins=h.lat_edges(), weights=w[sel])
            by_fii, _ = np.histogram(fii[sel], bins=h.fii_edges(), weights=w[sel])
            # A photon within rounding of a bin edge may land on either side.
            self.assertLessEqual(np.abs(h.esc_hist[plane].sum(axis=1) - by_lat).sum(),
                                 2 * 0.5 ** plane + 1e-5)
            self.assertLessEqual(np.abs(h.esc_hist[plane].sum(axis=0) - by_fii).sum(),
                                 2 * 0.5 ** plane + 1e-5)

    def test_test_image_agrees_with_the_run(self):
        d = quillet.read_direction_file(self.f("run.w"))
        t = quillet.read_test_image_file(self.f("run.TESTIMAGE"))
        field = quillet.read_check_pos(self.f("run.CHECK_POS"))
        self.assertEqual((t.nxpix, t.nypix, t.nxphot, t.nyphot, t.nphot, t.ntest),
                         (16, 12, 20, 20, 400, 3))
        self.assertEqual((t.npart, t.xl, t.yl, t.sy), (d.npart, field.xl, field.yl, field.sy))
        np.testing.assert_array_equal(t.latobs, d.latobs)
        np.testing.assert_array_equal(t.fiiobs, d.fiiobs)
        ix = np.arange(1, 17, dtype=np.float64)
        np.testing.assert_allclose(t.ximage[0], (2 * (ix - 0.5) * t.xl) / 16 - t.xl, atol=1e-5)
        # Every photon that hit a particle made one first scattering at its
        # entry pixel; the visible ones are a subset.
        ndirect = round(d.fdir * 400)
        self.assertEqual(int(t.ill_image.sum()), 400 - ndirect)
        self.assertTrue(np.all(t.vis_image <= t.ill_image))
        self.assertTrue(np.all(t.vis_image >= 0))
        # The first map sums the first-order contributions toward direction 1.
        self.assertGreaterEqual(t.ntest_images, 1)
        self.assertAlmostEqual(float(t.test_image[0].sum(dtype=np.float64)), d.w_order[0, 0],
                               delta=1e-5 * d.w_order[0, 0])

    def test_check_pos_holds_the_field_the_run_used(self):
        d = quillet.read_direction_file(self.f("run.w"))
        field = quillet.read_check_pos(self.f("run.CHECK_POS"))
        given = quillet.read_position_file(self.f("ring.pos"))
        self.assertEqual(field.npart, d.npart)
        self.assertEqual(report_values(self.report, "duplicate edges ")[0], d.npart)
        n = given.npartori
        np.testing.assert_array_equal(field.rpart[:n], given.rpart)
        np.testing.assert_array_equal(field.zpart[:n], given.zpart)
        self.assertTrue(np.all(field.itype == 1))
        self.assertAlmostEqual(given.field().tau(), d.tau, delta=1e-12)
        self.assertEqual((field.zmin, field.zmax), (given.field().zmin, given.field().zmax))

    def test_quillet_plot_draws_every_file_of_the_run(self):
        outdir = self.f("plots")
        names = ["run.w", "run.esc", "run.eps", "run.TESTIMAGE", "run.CHECK_POS", "ring.pos"]
        out = subprocess.run([sys.executable, QUILLET_PLOT, "-o", outdir, "--no-fits"]
                             + [self.f(n) for n in names], capture_output=True, text=True,
                             timeout=300)
        self.assertEqual(out.returncode, 0, out.stderr)
        written = out.stdout.split()
        self.assertEqual(len(written), 10, written)
        for path in written:
            assert_plausible_png(self, path)


if __name__ == "__main__":
    unittest.main()

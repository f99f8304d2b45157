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


class RunChecks(RunCase):
    """Checks of every file of one run; a subclass names the deck and what
    the run must show (``expect``) and where its files are (``names``)."""

    deck = None
    files = {}
    names = {}
    expect = {}
    cached = None

    @classmethod
    def tearDownClass(cls):
        if cls.cached is not None:
            shutil.rmtree(cls.cached[0], ignore_errors=True)
            cls.cached = None

    def setUp(self):
        cls = type(self)
        if cls.cached is None:
            folder, report = self.run_deck(cls.deck(), cls.files())
            self.require(os.path.join(folder, cls.names["w"]))
            # Keep the folder for the other tests of the class.
            keep = tempfile.mkdtemp(prefix="quillet-e2e-")
            shutil.copytree(folder, keep, dirs_exist_ok=True)
            cls.cached = (keep, report)
        self.folder, self.report = cls.cached

    def f(self, kind):
        return os.path.join(self.folder, self.names[kind])


    def test_direction_file_agrees_with_the_report(self):
        d = quillet.read_direction_file(self.f("w"))
        x = self.expect
        self.assertEqual((d.ntest, d.nphot, d.bsun, d.lonsun, d.posfile),
                         (x["ntest"], x["nphot"], x["bsun"], x["lonsun"], x["posfile"]))
        np.testing.assert_array_equal(d.latobs, x["latobs"])
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
        d = quillet.read_direction_file(self.f("w"))
        lines = direction_lines(self.report)
        self.assertEqual(len(lines), self.expect["ntest"])
        alpha = d.phase_angle()
        for k, (lat, fii, a) in enumerate(lines):
            self.assertAlmostEqual(d.latobs[k], lat, places=3)
            self.assertAlmostEqual(d.fiiobs[k], fii, delta=0.0005)
            self.assertAlmostEqual(alpha[k], a, delta=2e-6)
        for got, want in zip(alpha, self.expect["alpha"]):
            if want is not None:
                self.assertAlmostEqual(got, want, delta=1e-9)

    def test_orders_and_scattering_kinds_add_up_to_the_totals(self):
        d = quillet.read_direction_file(self.f("w"))
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
        d = quillet.read_direction_file(self.f("w"))
        e = quillet.read_escape_file(self.f("esc"))
        for name in ("testw", "testw_n", "testw_sig", "testd_corr", "w_order", "fiiobs", "latobs"):
            np.testing.assert_array_equal(getattr(e, name), getattr(d, name), name)
        escaped = e.esc_weight > 0
        # One albedo for every scattering: the weight is the albedo to the
        # power of the number of scatterings.
        albedo = self.expect["albedo"]
        np.testing.assert_array_equal(e.esc_weight[escaped],
                                      (albedo ** e.esc_sca[escaped]).astype(np.float32))
        ndirect = int(np.sum(escaped & (e.esc_sca == 0)))
        self.assertEqual(ndirect / float(d.nphot), d.fdir)
        # Mean scatterings per photon: escaped photons scattered esc_sca
        # times, the others were stopped after maxscat searches.
        scatterings = np.where(escaped, e.esc_sca, d.maxscat).astype(np.float64)
        self.assertAlmostEqual(float(scatterings.mean()), d.iscat_mean, delta=1e-5)
        self.assertTrue(np.all(np.abs(e.esc_lat) <= np.float32(math.pi / 2)))

    def test_histogram_sums_the_escape_records(self):
        e = quillet.read_escape_file(self.f("esc"))
        h = quillet.read_histogram_file(self.f("eps"))
        self.assertEqual(h.hist_dims, (180, 90, 50))
        self.assertTrue(np.all(h.esc_hist[0] == 0.0))
        lat = np.degrees(e.esc_lat.astype(np.float64))
        # The histogram's azimuths are not corrected for a random rotation,
        # the escape records' are: compare azimuths only without rotation.
        fii = np.degrees(e.esc_fii.astype(np.float64))
        w = e.esc_weight.astype(np.float64)
        albedo = self.expect["albedo"]
        for plane in range(1, 10):
            sel = (e.esc_sca == plane) & (w > 0)
            self.assertAlmostEqual(float(h.esc_hist[plane].sum(dtype=np.float64)),
                                   float(w[sel].sum()), delta=1e-5 * max(1.0, w[sel].sum()))
            by_lat, _ = np.histogram(lat[sel], bins=h.lat_edges(), weights=w[sel])
            by_fii, _ = np.histogram(fii[sel], bins=h.fii_edges(), weights=w[sel])
            # A photon within rounding of a bin edge may land on either side.
            self.assertLessEqual(np.abs(h.esc_hist[plane].sum(axis=1) - by_lat).sum(),
                                 2 * albedo ** plane + 1e-5 * max(1.0, w[sel].sum()))
            if not self.expect["rotated"]:
                self.assertLessEqual(np.abs(h.esc_hist[plane].sum(axis=0) - by_fii).sum(),
                                     2 * albedo ** plane + 1e-5 * max(1.0, w[sel].sum()))

    def test_test_image_agrees_with_the_run(self):
        d = quillet.read_direction_file(self.f("w"))
        t = quillet.read_test_image_file(self.f("img"))
        field = quillet.read_position_file(self.f("ring"))
        x = self.expect
        self.assertEqual((t.nxpix, t.nypix, t.nxphot, t.nyphot, t.nphot, t.ntest),
                         (x["nxpix"], x["nypix"], x["nxphot"], x["nyphot"], x["nphot"], x["ntest"]))
        self.assertEqual((t.npart, t.xl, t.yl), (d.npart, field.xl, field.yl))
        np.testing.assert_array_equal(t.latobs, d.latobs)
        np.testing.assert_array_equal(t.fiiobs, d.fiiobs)
        ix = np.arange(1, t.nxpix + 1, dtype=np.float64)
        np.testing.assert_allclose(t.ximage[0], (2 * (ix - 0.5) * t.xl) / t.nxpix - t.xl,
                                   atol=1e-5 * t.xl)
        # Every photon that hit a particle made one first scattering at its
        # entry pixel; the visible ones are a subset.
        ndirect = round(d.fdir * d.nphot)
        self.assertEqual(int(t.ill_image.sum()), d.nphot - ndirect)
        self.assertTrue(np.all(t.vis_image <= t.ill_image))
        self.assertTrue(np.all(t.vis_image >= 0))
        # The first map sums the first-order contributions toward direction 1.
        self.assertGreaterEqual(t.ntest_images, 1)
        self.assertAlmostEqual(float(t.test_image[0].sum(dtype=np.float64)), d.w_order[0, 0],
                               delta=1e-5 * d.w_order[0, 0])

    def test_check_pos_holds_the_field_the_run_used(self):
        d = quillet.read_direction_file(self.f("w"))
        if "pos" not in self.names:
            self.skipTest("this run writes no CHECK_POS file (idebug 0)")
        field = quillet.read_check_pos(self.f("pos"))
        given = quillet.read_position_file(self.f("ring"))
        self.assertEqual(field.npart, d.npart)
        self.assertEqual(report_values(self.report, "duplicate edges ")[0], d.npart)
        n = given.npartori
        np.testing.assert_array_equal(field.rpart[:n], given.rpart)
        np.testing.assert_array_equal(field.zpart[:n], given.zpart)
        self.assertTrue(np.all(field.itype == 1))
        self.assertAlmostEqual(given.field().tau(), d.tau, delta=1e-12)
        self.assertEqual((field.zmin, field.zmax), (given.field().zmin, given.field().zmax))

    def test_quillet_plot_draws_every_file_of_the_run(self):
        outdir = os.path.join(self.folder, "plots")
        kinds = [k for k in ("w", "esc", "eps", "img", "pos", "ring") if k in self.names]
        out = subprocess.run([sys.executable, QUILLET_PLOT, "-o", outdir, "--no-fits"]
                             + [self.f(k) for k in kinds], capture_output=True, text=True,
                             timeout=300)
        self.assertEqual(out.returncode, 0, out.stderr)
        written = out.stdout.split()
        # if_phase from three files, escape_records, escape_hist, three maps,
        # one particle picture per particle file
        self.assertEqual(len(written), 8 + len(kinds) - 4, written)
        for path in written:
            assert_plausible_png(self, path)


class TinyRunTest(RunChecks):
    """400 photons through 60 spheres, no rotation, every file written."""

    deck = staticmethod(lambda: TINY_DECK)
    files = staticmethod(lambda: {"ring.pos": tiny_field_text()})
    names = {"w": "run.w", "esc": "run.esc", "eps": "run.eps", "img": "run.TESTIMAGE",
             "pos": "run.CHECK_POS", "ring": "ring.pos"}
    expect = {"ntest": 3, "nphot": 400, "bsun": 30.0, "lonsun": 15.0, "posfile": "ring.pos",
              "latobs": [30.0, 45.0, 60.0], "alpha": [20.0, 60.0, 90.0], "albedo": 0.5,
              "rotated": False, "nxpix": 16, "nypix": 12, "nxphot": 20, "nyphot": 20}


def example_deck():
    with open(os.path.join(REPO, "examples", "example.deck")) as f:
        return f.read()


def example_files():
    with open(os.path.join(REPO, "examples", "ring.pos")) as f:
        return {"ring.pos": f.read(), "out/.keep": ""}


@unittest.skipUnless(os.path.isfile(os.path.join(REPO, "examples", "example.deck")),
                     "the example deck is not in the source tree")
class ExampleDeckTest(RunChecks):
    """The shipped example deck: 40,000 photons, random rotation and launch."""

    deck = staticmethod(example_deck)
    files = staticmethod(example_files)
    names = {"w": "out/example.dir", "esc": "out/example.esc", "eps": "out/example.hist",
             "img": "out/example.TESTIMAGE", "ring": "ring.pos"}
    expect = {"ntest": 5, "nphot": 40000, "bsun": 30.0, "lonsun": 0.0, "posfile": "ring.pos",
              "latobs": [30.0, 30.0, 30.0, 30.0, 45.0], "alpha": [0.0, 10.0, 30.0, 60.0, None],
              "albedo": 0.5, "rotated": True, "nxpix": 128, "nypix": 128, "nxphot": 200,
              "nyphot": 200}

# The checks run in the subclasses only.
del RunChecks


if __name__ == "__main__":
    unittest.main()

"""Pictures from synthetic files, through the plotting module and through
the quillet-plot command."""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import numpy as np

import quillet
from quillet import plot
from tests import synthetic as syn
from tests.pictures import assert_plausible_png

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
QUILLET_PLOT = os.path.join(REPO, "tools", "quillet-plot")


class SyntheticFiles(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.dir = self.tmp.name
        run = syn.sample_run(ntest=6, nphot=500)
        # two observer elevations, three phase angles each
        run["latobs"] = [None, 20.0, 20.0, 20.0, 50.0, 50.0, 50.0]
        run["fiiobs"] = [None, 20.0, 90.0, 170.0, 30.0, 100.0, 180.0]
        self.files = {
            "w": syn.write(self.p("run.w"), syn.direction_records(run)) and self.p("run.w"),
            "esc": syn.write(self.p("run.esc"), syn.escape_records(run)) and self.p("run.esc"),
            "eps": syn.write(self.p("run.eps"), syn.histogram_records(run)) and self.p("run.eps"),
            "img": syn.write(self.p("run.TESTIMAGE"),
                             syn.test_image_records(syn.sample_image(nxpix=40, nypix=30)))
            and self.p("run.TESTIMAGE"),
            "pos": syn.write(self.p("run.CHECK_POS"), syn.check_pos_records(syn.sample_field(n=30)))
            and self.p("run.CHECK_POS"),
        }

    def p(self, name):
        return os.path.join(self.dir, name)


class PlotModuleTest(SyntheticFiles):
    def test_i_over_f_plot(self):
        d = quillet.read_direction_file(self.files["w"])
        assert_plausible_png(self, plot.plot_i_over_f(d, self.p("if.png")))

    def test_i_over_f_plot_with_one_direction_and_none(self):
        for ntest in (1, 0):
            run = syn.sample_run(ntest=ntest)
            syn.write(self.p("one.w"), syn.direction_records(run))
            d = quillet.read_direction_file(self.p("one.w"))
            assert_plausible_png(self, plot.plot_i_over_f(d, self.p("one_%d.png" % ntest)))

    def test_i_over_f_plot_leaves_out_a_direction_without_azimuth(self):
        run = syn.sample_run(ntest=3)
        run["fiiobs"][2] = float("nan")  # an impossible phase-angle request
        syn.write(self.p("nan.w"), syn.direction_records(run))
        d = quillet.read_direction_file(self.p("nan.w"))
        self.assertTrue(np.isnan(d.phase_angle()[1]))
        assert_plausible_png(self, plot.plot_i_over_f(d, self.p("nan.png")))

    def test_position_maps_one_file_each(self):
        img = quillet.read_test_image_file(self.files["img"])
        paths = plot.plot_position_maps(img, self.dir, "run")
        self.assertEqual([os.path.basename(p) for p in paths],
                         ["run.ill_image.png", "run.vis_image.png", "run.test_image_1.png"])
        for path in paths:
            assert_plausible_png(self, path)

    def test_escape_pictures(self):
        hist = quillet.read_histogram_file(self.files["eps"])
        assert_plausible_png(self, plot.plot_escape_histogram(hist, self.p("h.png")))
        esc = quillet.read_escape_file(self.files["esc"])
        assert_plausible_png(self, plot.plot_escape_records(esc, self.p("e.png")))

    def test_particle_field_picture(self):
        field = quillet.read_check_pos(self.files["pos"])
        assert_plausible_png(self, plot.plot_particle_field(field, self.p("f.png")))

    def test_fits_cards_give_pixel_centre_coordinates(self):
        img = quillet.read_test_image_file(self.files["img"])
        cards = {k: v for k, v, _ in plot.fits_cards(img, "ill_image")}
        # Pixel ix has x = CRVAL1 + (ix - CRPIX1) * CDELT1: compare with ximage.
        ix = np.arange(1, img.nxpix + 1)
        x = cards["CRVAL1"] + (ix - cards["CRPIX1"]) * cards["CDELT1"]
        np.testing.assert_allclose(x, img.ximage[0], atol=1e-5)
        iy = np.arange(1, img.nypix + 1)
        y = cards["CRVAL2"] + (iy - cards["CRPIX2"]) * cards["CDELT2"]
        np.testing.assert_allclose(y, img.yimage[:, 0], atol=1e-5)
        self.assertEqual((cards["BSUN"], cards["NPHOT"], cards["MAPNAME"]),
                         (img.bsun, img.nphot, "ill_image"))
        self.assertTrue(all(len(k) <= 8 for k in cards))

    @unittest.skipUnless(importlib.util.find_spec("astropy"), "astropy is not installed")
    def test_fits_maps_read_back(self):
        from astropy.io import fits

        img = quillet.read_test_image_file(self.files["img"])
        paths = plot.write_fits_maps(img, self.dir, "run")
        with fits.open(paths[0]) as hdus:
            np.testing.assert_array_equal(hdus[0].data, img.ill_image)

    def test_matplotlib_is_not_imported_with_the_package(self):
        code = "import sys, quillet; print('matplotlib' in sys.modules)"
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             env=dict(os.environ, PYTHONPATH=os.path.join(REPO, "python")))
        self.assertEqual(out.stdout.strip(), "False", out.stderr)


class CommandTest(SyntheticFiles):
    def run_command(self, *args):
        return subprocess.run([sys.executable, QUILLET_PLOT] + list(args), capture_output=True,
                              text=True, timeout=300)

    def test_help_explains_the_inputs(self):
        out = self.run_command("--help")
        self.assertEqual(out.returncode, 0)
        for word in ("direction file", "TESTIMAGE", "CHECK_POS", "phase angle", "--outdir"):
            self.assertIn(word, out.stdout)

    def test_every_kind_of_file_gives_its_pictures(self):
        outdir = self.p("plots")
        out = self.run_command(*self.files.values(), "-o", outdir, "--no-fits")
        self.assertEqual(out.returncode, 0, out.stderr)
        expected = ["run.w.if_phase.png", "run.esc.if_phase.png", "run.esc.escape_records.png",
                    "run.eps.if_phase.png", "run.eps.escape_hist.png",
                    "run.TESTIMAGE.ill_image.png", "run.TESTIMAGE.vis_image.png",
                    "run.TESTIMAGE.test_image_1.png", "run.CHECK_POS.particles.png"]
        printed = [os.path.basename(line) for line in out.stdout.split()]
        self.assertEqual(sorted(printed), sorted(expected))
        for name in expected:
            assert_plausible_png(self, os.path.join(outdir, name))

    def test_escape_histogram_is_drawn_in_its_own_frame(self):
        """The histogram's azimuths are those of the field as each photon
        saw it: the Sun is marked only when the run did not turn the field
        (irot = 0, from --irot or a deck); with irot = 1 the picture says
        that the Sun's azimuth varies; not knowing irot marks no Sun."""
        from tests.test_studies import png_text

        deck = quillet.Deck(posfile="ring.pos", bsun=30.0, method=4, ssca_part=0.5, irot=0)
        deck.write(self.p("fixed.deck"))
        for extra, expected in ((["--irot", "1"], "turned by 0 to 180 deg"),
                                (["--deck", self.p("fixed.deck")], "in the Sun's frame"),
                                ([], "does not say whether the field was rotated")):
            outdir = self.p("frame%d" % len(extra))
            out = self.run_command(self.files["eps"], "-o", outdir, *extra)
            self.assertEqual(out.returncode, 0, out.stderr)
            meta = png_text(os.path.join(outdir, "run.eps.escape_hist.png"))
            self.assertIn(expected, meta["Description"])
        # run.deck beside the file (a run folder of the package) tells irot.
        folder = self.p("runfolder")
        os.makedirs(folder)
        shutil.copy(self.files["eps"], os.path.join(folder, "run.hist"))
        deck.irot = 1
        deck.write(os.path.join(folder, "run.deck"))
        out = self.run_command(os.path.join(folder, "run.hist"), "-o", folder)
        self.assertEqual(out.returncode, 0, out.stderr)
        meta = png_text(os.path.join(folder, "run.hist.escape_hist.png"))
        self.assertIn("turned by 0 to 180 deg", meta["Description"])

    def test_malformed_file_gives_one_message_and_status_one(self):
        with open(self.files["w"]) as f:
            lines = f.read().split("\n")
        with open(self.p("cut.w"), "w") as out:
            out.write("\n".join(lines[:12]) + "\n")
        out = self.run_command(self.p("cut.w"), "-o", self.p("plots"))
        self.assertEqual(out.returncode, 1)
        message = out.stderr.strip().split("\n")
        self.assertEqual(len(message), 1, out.stderr)
        self.assertIn("cut.w: record 13 (testw_sig)", message[0])

    def test_missing_file_gives_status_one(self):
        out = self.run_command(self.p("nothing.w"))
        self.assertEqual(out.returncode, 1)
        self.assertIn("nothing.w", out.stderr)
        self.assertNotIn("Traceback", out.stderr)

    def test_no_file_is_a_usage_error(self):
        out = self.run_command()
        self.assertEqual(out.returncode, 2)
        self.assertIn("--help", out.stderr)


if __name__ == "__main__":
    unittest.main()

"""The named deck: reading by the program's rules, writing, round trips,
validation, the allowed phase range, and Particle position files from arrays."""

import math
import os
import tempfile
import unittest
from unittest import mock

import numpy as np

import quillet
from quillet import Deck, DeckError, QuilletFileError, phase_range

REPO = os.environ.get("QUILLET_SOURCE_DIR") or os.path.dirname(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = os.path.join(REPO, "examples", "example.deck")

# A deck in every record form: repeat counts, commas and null values, a
# slash, quoted text with blanks and a doubled quote, exponents with d,
# record 4 over two lines, comments after the values.
FORMS_DECK = """\
'fields/my ring.pos'  comment after the text
2*30.0                 bsun and lonsun by a repeat count
2                      ntest
20.0,
  40.0  and a comment
45.0 1.09d3            direction 2: azimuth 90 from the Sun, d exponent
10 20 , 4 4            commas between values
junk
out.esc
'it''s.hist'           a doubled quote
"w file"               double quotes, a blank inside
13                     HG2
0.5 -0.25 0.75
junk
2
0.0 /                  a slash leaves ppar2_haze and ppar3_haze unchanged (0)
0.9 1.0E-1
-1                     icheck
-123
1.0 0.5d0
0.0
0.0 1.0
1
130.0
20 40
11                     a planet model of a single law
0
1
'img'
0 0
0
3
"""

GRID_DECK = """\
ring.pos
30.0 0.0
-1                     grid form
2 3                    nlat nfii
20.0
40.0
10.0
30.0
1090.0
100 100 1 1
junk
junk
junk
w
4
-0.3 0.0 0.0
junk
2
0.0 0.0 0.0
0.5 0.5
0
-7
1.0 1.0
0.0
0.0 1.0
0
130.0
20 40
4
1
0
img
0 0
0
0
"""


def minimal_deck(**changes):
    d = Deck(posfile="ring.pos", bsun=30.0, method=4, ppar1=-0.3, ssca_part=0.5)
    d.observe(latobs=30.0, phase_angle=[10.0, 30.0])
    for k, v in changes.items():
        setattr(d, k, v)
    return d


class DeckReadWriteTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def test_example_deck_values_by_name(self):
        d = Deck.read(EXAMPLE)
        self.assertEqual(d.posfile, "ring.pos")
        self.assertEqual((d.bsun, d.lonsun, d.ntest), (30.0, 0.0, 5))
        self.assertEqual(d.latobs, [30.0, 30.0, 30.0, 30.0, 45.0])
        self.assertEqual(d.fiiobs, [0.0, 10.0, 30.0, 60.0, 1090.0])
        self.assertEqual((d.nxphot, d.nyphot, d.mx, d.my), (200, 200, 20, 20))
        self.assertEqual((d.outfile, d.epsfile, d.wfile), ("out/example.esc", "out/example.hist",
                                                           "out/example.dir"))
        self.assertEqual((d.method, d.ppar1, d.ssca_part, d.idum), (4, -0.3, 0.5, -2024))
        self.assertEqual((d.model_sat, d.testimage, d.nxpix, d.nypix), (4, "out/example", 128, 128))
        self.assertEqual(d.base, os.path.dirname(os.path.abspath(EXAMPLE)))
        self.assertEqual(d.problems(), [])

    def test_example_deck_round_trip(self):
        d = Deck.read(EXAMPLE)
        d.write(self.path("copy.deck"))
        back = Deck.read(self.path("copy.deck"))
        self.assertEqual(back, d)
        self.assertEqual(back.values(), d.values())
        # One record per line: records 1-3, five of record 4, records 8-33.
        with open(self.path("copy.deck")) as f:
            lines = f.read().splitlines()
        self.assertEqual(len(lines), 34)
        self.assertIn("bsun, lonsun", lines[1])

    def test_every_record_form(self):
        d = Deck.parse(FORMS_DECK)
        self.assertEqual(d.posfile, "fields/my ring.pos")
        self.assertEqual((d.bsun, d.lonsun), (30.0, 30.0))
        self.assertEqual(d.latobs, [20.0, 45.0])
        self.assertEqual(d.fiiobs, [40.0, 1090.0])
        self.assertEqual((d.nxphot, d.nyphot, d.mx, d.my), (10, 20, 4, 4))
        self.assertEqual((d.epsfile, d.wfile), ("it's.hist", "w file"))
        self.assertEqual((d.method, d.ppar1, d.ppar2, d.ppar3), (13, 0.5, -0.25, 0.75))
        self.assertEqual((d.ppar1_haze, d.ppar2_haze, d.ppar3_haze), (0.0, 0.0, 0.0))
        self.assertEqual((d.ssca_part, d.ssca_haze, d.icheck, d.idum), (0.9, 0.1, -1, -123))
        self.assertEqual((d.sredu, d.zredu), (1.0, 0.5))
        self.assertEqual((d.isat, d.model_sat, d.iemulate), (1, 11, 3))
        # Round trip through the written form keeps every value.
        self.assertEqual(Deck.parse(d.to_text()), d)

    def test_grid_form_is_kept(self):
        d = Deck.parse(GRID_DECK)
        self.assertEqual(d.latgrid, [20.0, 40.0])
        self.assertEqual(d.fiigrid, [10.0, 30.0, 1090.0])
        self.assertEqual(d.ntest, 6)
        # Latitude varies fastest.
        self.assertEqual(d.directions(), [(20.0, 10.0), (40.0, 10.0), (20.0, 30.0), (40.0, 30.0),
                                          (20.0, 1090.0), (40.0, 1090.0)])
        text = d.to_text()
        self.assertIn("-1 ", text.splitlines()[2])
        self.assertEqual(Deck.parse(text), d)

    def test_phase_and_azimuth_of_each_direction(self):
        d = Deck.read(EXAMPLE)
        alpha = d.phase_angles()
        np.testing.assert_allclose(alpha[:4], [0.0, 10.0, 30.0, 60.0])
        # Azimuth 90 from a Sun at 30 seen from 45: cos a = sin 30 sin 45.
        self.assertAlmostEqual(alpha[4], math.degrees(math.acos(0.5 * math.sqrt(0.5))), places=12)
        az = d.relative_azimuths()
        self.assertEqual(az[0], 0.0)
        self.assertEqual(az[4], 90.0)
        # Equal elevations: cos 10 = sin^2 30 + cos^2 30 cos D.
        want = math.degrees(math.acos((math.cos(math.radians(10)) - 0.25) / 0.75))
        self.assertAlmostEqual(az[1], want, places=12)

    def test_observe_makes_every_combination(self):
        d = minimal_deck()
        d.observe(latobs=[20.0, 40.0], phase_angle=[5.0, 10.0, 15.0])
        self.assertEqual(d.directions(), [(20.0, 5.0), (20.0, 10.0), (20.0, 15.0),
                                          (40.0, 5.0), (40.0, 10.0), (40.0, 15.0)])
        d.observe(latobs=20.0, azimuth=[0.0, -90.0])
        self.assertEqual(d.fiiobs, [1000.0, 910.0])

    def test_malformed_decks_name_file_record_and_line(self):
        lines = Deck.read(EXAMPLE).to_text().splitlines()
        spoiled = list(lines)
        spoiled[8] = "200.0 200 20 20"  # record 8, nxphot as a real
        with self.assertRaises(QuilletFileError) as cm:
            Deck.parse("\n".join(spoiled) + "\n", source="bad.deck")
        e = cm.exception
        self.assertEqual((e.record, e.line), (8, 9))
        self.assertIn("bad.deck", str(e))
        self.assertIn("integer", str(e))
        with self.assertRaises(QuilletFileError) as cm:
            Deck.parse("\n".join(lines[:20]) + "\n")
        self.assertEqual(cm.exception.record, 20)  # 20 lines hold records 1 to 19
        self.assertIn("standard input", str(cm.exception))
        with self.assertRaises(QuilletFileError) as cm:
            Deck.parse("'ring.pos\n" + "\n".join(lines[1:]) + "\n")
        self.assertIn("closing quote", str(cm.exception))
        self.assertEqual(cm.exception.record, 1)


class DeckValidationTest(unittest.TestCase):
    def assert_refused(self, name, **changes):
        d = minimal_deck(**changes)
        with self.assertRaises(DeckError, msg=str(changes)) as cm:
            d.validate()
        self.assertEqual(cm.exception.name, name, str(cm.exception))
        return str(cm.exception)

    def test_a_minimal_deck_is_valid(self):
        self.assertEqual(minimal_deck().problems(), [])

    def test_values_without_default_must_be_set(self):
        d = Deck()
        names = {e.name for e in d.problems()}
        self.assertEqual(names, {"posfile", "bsun", "method", "ssca_part"})

    def test_types(self):
        self.assertIn("integer", self.assert_refused("nxphot", nxphot=1.5))
        self.assertIn("finite", self.assert_refused("ppar1", ppar1=float("nan")))
        self.assertIn("text", self.assert_refused("wfile", wfile=3))
        self.assertIn("80", self.assert_refused("wfile", wfile="x" * 81))

    def test_capacities(self):
        # Only the 32-bit counts limit a run: 101 directions, a million
        # photons with the escape file, 160,400 grid cells, 1025 pixels a
        # side and a 201 x 401 planet zone grid all go.
        d = minimal_deck()
        d.observe(latobs=30.0, phase_angle=list(np.linspace(1, 100, 101)))
        self.assertEqual(d.problems(), [])
        for fine in (dict(nxphot=1001, nyphot=1000, outfile="e"), dict(nxphot=1001, nyphot=1000, isat=1),
                     dict(mx=401, my=400), dict(nxpix=1025, nypix=1025),
                     dict(isat=1, nlat_sat=201, nfii_sat=401)):
            self.assertEqual(minimal_deck(**fine).problems(), [], fine)
        msg = self.assert_refused("nxphot", nxphot=46341, nyphot=46341, outfile="e")
        self.assertIn("nxphot*nyphot = 2147488281 photons, more than the 2147483647", msg)
        self.assert_refused("nxphot", nxphot=0)
        self.assert_refused("mx", mx=1, my=5)
        self.assertIn("2147483648 search-grid cells",
                      self.assert_refused("mx", mx=65536, my=32768))
        self.assertIn("2147483648 test-image pixels",
                      self.assert_refused("nxpix", nxpix=65536, nypix=32768))
        self.assert_refused("nypix", nxpix=10, nypix=0)
        self.assert_refused("isquare", isquare=46341)
        self.assertIn("4294967296 planet zones",
                      self.assert_refused("nlat_sat", isat=1, nlat_sat=65536, nfii_sat=65536))
        self.assertEqual(minimal_deck(nlat_sat=65536, nfii_sat=65536).problems(), [])  # the Sun

    def test_grid_capacities(self):
        d = minimal_deck(latgrid=[20.0] * 11, fiigrid=[10.0] * 10)
        self.assertEqual(d.problems(), [])
        self.assertEqual(d.ntest, 110)
        # A grid read from a deck: its sides are only limited by the 32-bit
        # number of their product.
        text = minimal_deck(latgrid=[20.0], fiigrid=[10.0]).to_text().splitlines()
        body = "\n".join("65536 32768  5" if "nlat, nfii: grid size" in ln else ln
                         for ln in text) + "\n"
        with self.assertRaises(QuilletFileError) as cm:
            Deck.parse(body)
        self.assertIn("nlat*nfii = 2147483648 observer directions", str(cm.exception))

    def test_laws_and_albedos(self):
        self.assert_refused("method", method=17)
        self.assert_refused("ppar1", method=3, ppar1=1.0)
        self.assert_refused("ppar2", method=14, ppar1=0.5, ppar2=-1.0)
        self.assert_refused("ppar3", method=13, ppar1=0.5, ppar2=0.0, ppar3=1.5)
        self.assert_refused("ppar1", method=5, ppar1=1.5)
        self.assert_refused("ppar1", method=9, ppar1=-2.0)
        self.assertEqual(minimal_deck(method=9, ppar1=3.0).problems(), [])
        self.assert_refused("ssca_part", ssca_part=1.01)
        self.assert_refused("ssca_haze", ssca_haze=-0.1)
        self.assert_refused("sredu", sredu=0.0)
        self.assert_refused("f20", s20=0.5, f20=0.0)
        # The haze law counts only with a haze file.
        self.assertEqual(minimal_deck(method_haze=99).problems(), [])
        self.assert_refused("method_haze", posfile_haze="haze.pos", method_haze=99)
        self.assert_refused("ppar1_haze", posfile_haze="haze.pos", method_haze=3, ppar1_haze=-1.0)
        self.assertIn("power law", self.assert_refused("method_haze", posfile_haze="haze.pos",
                                                       method_haze=9))

    def test_planet_models(self):
        for model in (1, 6, 11, 12, 13, 14):
            self.assertEqual(minimal_deck(isat=1, model_sat=model).problems(), [], model)
        for model in (0, 7, 10, 15):
            self.assert_refused("model_sat", isat=1, model_sat=model)
        self.assertEqual(minimal_deck(model_sat=99).problems(), [])  # unused with the Sun
        self.assert_refused("isat", isat=4)
        self.assert_refused("iemulate", iemulate=4)
        self.assert_refused("bsun", bsun=90.5)

    def test_threaded_runs_write_no_traces(self):
        for name in ("icheck", "idebug"):
            d = minimal_deck(**{name: 1})
            self.assertEqual(d.problems(), [])
            self.assertEqual([e.name for e in d.problems(threaded=True)], [name])
        self.assertEqual(minimal_deck(icheck=-1).problems(threaded=True), [])

    def test_impossible_directions(self):
        msg = self.assert_refused("latobs", latobs=[0.0], fiiobs=[1090.0])
        self.assertIn("other than 0", msg)
        self.assert_refused("latobs", latobs=[90.5], fiiobs=[1090.0])
        self.assertEqual(minimal_deck(latobs=[90.0], fiiobs=[1090.0]).problems(), [])
        # Phase angle 0 only at the Sun's own elevation.
        self.assertEqual(minimal_deck(latobs=[30.0], fiiobs=[0.0]).problems(), [])
        self.assert_refused("latobs", latobs=[30.001], fiiobs=[0.0])
        # Sun at 30, observer at 60: phase angles 30 to 90.
        msg = self.assert_refused("latobs", latobs=[60.0], fiiobs=[29.0])
        self.assertIn("allowed 30 to 90", msg)
        self.assert_refused("latobs", latobs=[60.0], fiiobs=[91.0])
        for alpha in (30.0, 45.0, 90.0, -45.0):  # boundaries and a negative angle
            self.assertEqual(minimal_deck(latobs=[60.0], fiiobs=[alpha]).problems(), [], alpha)
        d = minimal_deck(latobs=[60.0, 60.0, 60.0], fiiobs=[10.0, 45.0, 100.0])
        self.assertEqual(d.visible(), [False, True, False])
        self.assertEqual(len(d.problems()), 2)
        self.assertEqual(d.problems(directions=False), [])


class PhaseRangeTest(unittest.TestCase):
    def test_values(self):
        self.assertEqual(phase_range(10.0, 20.0), (10.0, 150.0))
        self.assertEqual(phase_range(40.0, 20.0), (20.0, 120.0))
        self.assertEqual(phase_range(30.0, -30.0), (60.0, 180.0))
        lo, hi = phase_range([10.0, 20.0, 40.0], 20.0)
        np.testing.assert_array_equal(lo, [10.0, 0.0, 20.0])
        np.testing.assert_array_equal(hi, [150.0, 140.0, 120.0])

    def test_every_azimuth_gives_a_phase_angle_in_the_range(self):
        # Sun and observer as unit vectors: the angle between them, over all
        # azimuths, fills exactly the range.
        rng = np.random.default_rng(5)
        for _ in range(200):
            b, l = rng.uniform(-89, 89, 2)
            daz = np.radians(np.linspace(0.0, 180.0, 721))
            s = np.array([math.cos(math.radians(b)), 0.0, math.sin(math.radians(b))])
            o = np.stack([np.cos(math.radians(l)) * np.cos(daz),
                          np.cos(math.radians(l)) * np.sin(daz),
                          np.full(daz.size, math.sin(math.radians(l)))], axis=1)
            alpha = np.degrees(np.arccos(np.clip(o @ s, -1.0, 1.0)))
            lo, hi = phase_range(b, l)
            self.assertAlmostEqual(alpha.min(), lo, places=6)
            self.assertAlmostEqual(alpha.max(), hi, places=6)
            # Every angle inside the range is accepted, the ones outside refused.
            d = Deck(posfile="r", bsun=float(b), method=1, ssca_part=0.5)
            inside = [lo + 0.01, 0.5 * (lo + hi), hi - 0.01]
            outside = [x for x in (lo - 0.01, hi + 0.01) if 0.0 < x < 180.0 and lo > 1e-3]
            d.latobs, d.fiiobs = [float(l)] * 5, inside + [lo + 0.02, hi - 0.02]
            self.assertEqual(d.direction_problems(), [], (b, l))
            if outside:
                d.latobs, d.fiiobs = [float(l)] * len(outside), outside
                self.assertEqual(len(d.direction_problems()), len(outside), (b, l))


class WritePositionFileTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.path = os.path.join(self.tmp.name, "snap.pos")

    def test_round_trip_keeps_every_double(self):
        rng = np.random.default_rng(3)
        n = 500
        x, y = rng.uniform(-20, 20, n), rng.uniform(-10, 10, n)
        z, r = rng.normal(0, 1, n), rng.uniform(0.1, 1.0, n) + 1e-17
        quillet.write_position_file(self.path, x, y, z, r, 20.0, 10.0, 3.7, title="N-body it's")
        back = quillet.read_position_file(self.path)
        self.assertEqual(back.title, "N-body it's")
        self.assertEqual((back.xl, back.yl, back.sy, back.npartori), (20.0, 10.0, 3.7, n))
        for name, a in (("xpart", x), ("ypart", y), ("zpart", z), ("rpart", r)):
            np.testing.assert_array_equal(getattr(back, name), a, name)

    def test_refuses_what_a_run_refuses(self):
        ok = dict(x=[0.0], y=[0.0], z=[0.0], r=[1.0], xl=5.0, yl=5.0, sy=1.0)
        for change, word in ((dict(r=[0.0]), "radius"), (dict(r=[-1.0]), "radius"),
                             (dict(x=[float("nan")]), "finite"), (dict(xl=0.0), "half-widths"),
                             (dict(yl=-1.0), "half-widths"), (dict(sy=106.0), "shift"),
                             (dict(x=[0.0, 1.0]), "one each")):
            args = dict(ok, **change)
            with self.assertRaises(ValueError, msg=str(change)) as cm:
                quillet.write_position_file(self.path, **args)
            self.assertIn(word, str(cm.exception))
            self.assertFalse(os.path.exists(self.path))
        # A sphere at a corner has three copies: 100,001 of them make 400,004
        # entries, which a run holds now (its tables are sized from the file).
        self.assertEqual(quillet.particles.edge_copies([4.5], [4.5], [1.0], 5.0, 5.0, 0.0), 3)
        n = 100_001
        corner = (np.full(n, 4.5), np.full(n, 4.5), np.zeros(n), np.ones(n), 5.0, 5.0, 0.0)
        quillet.write_position_file(self.path, *corner)
        self.assertEqual(quillet.read_position_file(self.path).npartori, n)
        os.remove(self.path)
        # The limit left is the 32-bit particle number (the sphere tables run
        # 16 entries past the last one): the copies count against it.
        self.assertEqual(quillet.particles.MAX_PARTICLES, 2**31 - 1 - 16 - 1)
        with mock.patch.object(quillet.particles, "MAX_PARTICLES", 4 * n - 1):
            with self.assertRaises(ValueError) as cm:
                quillet.write_position_file(self.path, *corner)
        self.assertIn("%d particles and %d edge copies make %d" % (n, 3 * n, 4 * n), str(cm.exception))
        self.assertFalse(os.path.exists(self.path))


if __name__ == "__main__":
    unittest.main()

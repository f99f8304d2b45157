"""Study files and sweeps that are refused before any run: each refusal
names the file (or the source given), the row or key, and the value."""

import os
import unittest

import quillet
from quillet import DeckError
from quillet import study_file
from tests.study_cases import BINARY, FIELD, RING, Case, deck_for
from tests.test_study import STUDY_HEAD


class RefusalTest(Case):
    """Every refusal names the file, the row or key and the value, before
    any run (no cache folder is made)."""

    def refused(self, text, *expected, csv=None):
        if csv is not None:
            self.write("images.csv", csv)
        path = self.write("study.toml", text)
        with self.assertRaises(study_file.StudyError) as cm:
            study_file.run_study(path, os.path.join(self.dir, "out.nc"), cache_dir=self.cache,
                                 program=BINARY, progress=False, threads=1)
        message = str(cm.exception)
        for part in expected:
            self.assertIn(part, message)
        self.assertFalse(os.path.exists(self.cache), message)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "out.nc")))
        return message

    def test_observation_tables(self):
        table = '[observations]\nfile = "images.csv"\n'
        self.refused(STUDY_HEAD + table, "images.csv, row 2: phase_angle = 3",
                     "cannot be seen", "allowed 15 to",
                     csv="bsun,latobs,phase_angle\n10,10,1\n10,25,3\n")
        self.refused(STUDY_HEAD + table, "images.csv", "no column latobs",
                     csv="bsun,phase_angle\n10,1\n")
        self.refused(STUDY_HEAD + table, "images.csv", "unknown column 'phase'",
                     csv="bsun,latobs,phase\n10,10,1\n")
        self.refused(STUDY_HEAD + table, "images.csv, row 1: latobs = 'ten'", "expected a number",
                     csv="bsun,latobs,phase_angle\n10,ten,1\n")
        self.refused(STUDY_HEAD + table, "images.csv, row 2", "3 values, the first line names 4",
                     csv="name,bsun,latobs,phase_angle\na,10,10,1\nb,10,10\n")
        self.refused(STUDY_HEAD + table, "images.csv, row 1: bsun = 95",
                     csv="bsun,latobs,azimuth\n95,10,1\n")
        self.refused(STUDY_HEAD + table, "exactly one of the columns phase_angle and azimuth",
                     csv="bsun,latobs,phase_angle,azimuth\n10,10,1,1\n")
        self.refused(STUDY_HEAD + table, "images.csv", "no value for phase_angle",
                     csv="bsun,latobs,phase_angle\n10,10,\n")
        self.refused(STUDY_HEAD + '[observations]\nfile = "none.csv"\n', "none.csv",
                     "cannot read the observation table")
        self.refused(STUDY_HEAD + '[observations]\ncolumns = ["bsun", "latobs", "phase_angle"]\n'
                     'rows = [[10, 10, 1], [10, 10, 200]]\n',
                     "study.toml: [observations], row 2: phase_angle = 200")
        self.refused(STUDY_HEAD + '[observations]\ncolumns = ["bsun", "latobs", "phase_angle"]\n'
                     'rows = [[10, 10]]\n', "[observations], row 1 = [10, 10]: expected 3 values")
        self.refused(STUDY_HEAD + '[observers]\nlatobs = 10\nphase_angle = 5\n' + table,
                     "give the directions in one of them", csv="bsun,latobs,phase_angle\n10,10,1\n")
        self.refused(STUDY_HEAD + table + '[sweep]\nbsun = [10, 20]\n',
                     "[sweep] bsun: the Sun elevations are given by [observations]",
                     csv="bsun,latobs,phase_angle\n10,10,1\n")

    def test_fields_and_pairs(self):
        obs = '[observers]\nlatobs = 20\nphase_angle = [30]\n'
        head = STUDY_HEAD.replace('posfile = "ring.pos"\n', "")
        self.refused(head + obs + "[field]\ntau = 0.5\nseeds = [1, 0]\n",
                     "study.toml: [field]: seeds, entry 2 = 0", "from 1 to 999999999")
        self.refused(head + obs + "[field]\ntau = 0.5\nseeds = [1, 1000000000]\n",
                     "entry 2 = 1000000000")
        self.refused(head + obs + "[field]\ntau = 0.5\nseeds = [4, 4]\n", "a seed is given twice")
        self.refused(head + obs + "[field]\ntaus = 0.5\nseeds = [1]\n",
                     "[field]: taus = 0.5: not an option of quillet-field")
        self.refused(head + obs + "[field]\ntau = 0.5\nseed = 3\n", "give the seeds as a list")
        self.refused(head + obs + '[field]\nfiles = ["a.pos"]\n', "the position file",
                     "a.pos does not exist")
        self.refused(STUDY_HEAD + obs + "[field]\ntau = 0.5\nseeds = [1]\n",
                     "[deck] posfile and [field]")
        self.refused(STUDY_HEAD.replace("ssca_part = 0.5\n", "") + obs +
                     '[sweep]\nbsun = [10, 20]\nssca_part = [0.5]\npaired = true\n',
                     "[sweep] bsun = [10, 20]: paired values need lists of one length")
        self.refused(STUDY_HEAD.replace("ssca_part = 0.5\n", "") + obs +
                     '[sweep]\nbsun = [10, 20]\nssca_part = [0.5, 0.6]\n'
                     'paired = ["bsun", "idum"]\n', "paired", "idum is not swept")
        self.refused(STUDY_HEAD + obs + '[sweep]\nlatobs = [10, 0]\n', "[sweep] latobs",
                     "0 is not an observer elevation")


class RefusalApiTest(Case):
    """The same checks from Python: each refusal names its source, the row
    or entry, and the value."""

    def test_observation_tables(self):
        ok = dict(bsun=10, latobs=10, phase_angle=1)
        for table, expected in (
                ([], "no column bsun"),
                ({"bsun": [], "latobs": [], "phase_angle": []}, "no rows"),
                ({"bsun": [10, 10], "latobs": [10], "phase_angle": [1, 2]},
                 "the columns differ in length (bsun 2, latobs 1, phase_angle 2)"),
                ([ok, [10, 10, 1]], "row 2: [10, 10, 1]: expected a row of named values"),
                ([dict(bsun=10, latobs=10)], "expected exactly one of the columns phase_angle "
                 "and azimuth, found neither"),
                ([ok, dict(bsun=10, latobs=-95, phase_angle=1)], "row 2: latobs = -95"),
                ([dict(bsun=10, latobs=10, azimuth=181)], "row 1: azimuth = 181: expected an "
                 "azimuth from the Sun from -180 to 180 degrees"),
                ([dict(bsun=10, latobs=10, phase_angle=True)], "row 1: phase_angle = True"),
                ([dict(bsun=float("nan"), latobs=10, phase_angle=1)], "row 1: bsun = nan")):
            with self.assertRaises(DeckError, msg=str(table)) as cm:
                quillet.read_observations(table, source="images")
            self.assertIn(expected, cm.exception.message)
            self.assertTrue(cm.exception.message.startswith("images"), cm.exception.message)
        empty = self.write("empty.csv", "# nothing but a comment\n")
        with self.assertRaises(DeckError) as cm:
            quillet.read_observations(empty)
        self.assertIn("empty.csv: empty: expected a first line naming the columns",
                      cm.exception.message)

    def test_field_ensembles(self):
        for kw, expected in (
                (dict(options={"overlap": 1}, seeds=[1]), "overlap = 1: expected true or false"),
                (dict(options={"generator": 3}, seeds=[1]), "generator = 3: expected a text"),
                (dict(options={"tau": "0.5"}, seeds=[1]), "tau = '0.5': expected a number"),
                (dict(files=[]), "files = []: expected at least one position file"),
                (dict(options={"tau": 0.5}, files=["a.pos"]), "the generator's options (tau) "
                 "have no use"),
                (dict(files=["a.pos", "a.pos"]), "a file is given twice"),
                (dict(seeds=[]), "seeds = []: expected at least one seed"),
                (dict(seeds=[1.5]), "seeds, entry 1 = 1.5"),
                (dict(options={"tau": 0.5}), "give either seeds")):
            with self.assertRaises(DeckError, msg=str(kw)) as cm:
                quillet.FieldEnsemble(source="ens", **kw)
            self.assertIn(expected, cm.exception.message)
            self.assertTrue(cm.exception.message.startswith("ens: "), cm.exception.message)
        if os.path.isfile(FIELD):
            # A request the generator cannot meet: its own message, before any run.
            ens = quillet.FieldEnsemble({"xl": 2, "yl": 2, "radius": 1.5, "tau": 0.5},
                                        seeds=[3], source="ens")
            with self.assertRaises(quillet.RunError) as cm:
                self.sweep(deck_for(self.dir), fields=ens, field_program=FIELD)
            self.assertIn("ens: quillet-field with seed 3: ", str(cm.exception))
            self.assertEqual(os.listdir(self.cache), ["fields"])
            self.assertEqual(os.listdir(os.path.join(self.cache, "fields")), [])

    def test_sweeps(self):
        d = deck_for(self.dir)
        rows = [dict(bsun=10, latobs=10, phase_angle=1)]
        for kw, name, expected in (
                (dict(observations=rows, latobs=[10.0]), "latobs",
                 "latobs is given by the observation table"),
                (dict(fields=[RING], posfile=["ring.pos"]), "posfile",
                 "posfile is given by the fields"),
                (dict(bsun=[10.0, 10.0], ssca_part=[0.5, 0.5], paired=True), "bsun",
                 "paired values: a pair is given twice"),
                (dict(ssca_part=[0.5, 0.6], paired=["bsun"]), "bsun",
                 "paired: bsun is not one of the swept values")):
            with self.assertRaises(DeckError, msg=str(kw)) as cm:
                self.sweep(d, **kw)
            self.assertEqual(cm.exception.name, name)
            self.assertIn(expected, cm.exception.message)
        with self.assertRaises(DeckError) as cm:
            self.sweep(d.copy(latobs=[], fiiobs=[]))
        self.assertIn("the deck has no observer direction", cm.exception.message)
        self.assertFalse(os.path.exists(self.cache))

    def test_study_file_tables(self):
        obs = '[observers]\nlatobs = 20\nphase_angle = [30]\n'
        head = STUDY_HEAD.replace('posfile = "ring.pos"\n', "")
        for text, expected in (
                (STUDY_HEAD + '[observations]\nfile = "a.csv"\nrows = []\n',
                 "[observations]: expected file"),
                (STUDY_HEAD + '[observations]\ncolumns = "bsun"\nrows = []\n',
                 'columns = "bsun": expected a list of column names'),
                (STUDY_HEAD + '[observations]\ncolumns = ["bsun"]\nrows = 3\n',
                 "rows = 3: expected a list of rows"),
                (STUDY_HEAD + '[observations]\nfile = 3\n', "file = 3: expected a file name"),
                (head + obs + '[field]\nfiles = "a.pos"\n', 'files = "a.pos": expected a list'),
                (head + obs + '[field]\nseeds = 3\n', "seeds = 3: expected a list"),
                (STUDY_HEAD + obs + '[sweep]\nbsun = [10, 20]\npaired = "bsun"\n',
                 'paired = "bsun": expected true or a list'),
                (head + obs + '[field]\nseeds = [1]\ntau = 0.5\n[sweep]\n'
                 'posfile = ["a.pos", "b.pos"]\n', "[sweep] posfile and [field]"),
                (STUDY_HEAD + '[observations]\ncolumns = ["bsun", "latobs", "phase_angle"]\n'
                 'rows = [[10, 10, 1]]\n[sweep]\nlatobs = [10, 20]\n',
                 "[sweep] latobs: the observer elevations are given by [observations]")):
            path = self.write("study.toml", text)
            with self.assertRaises(study_file.StudyError, msg=text) as cm:
                study_file.read_study(path)
            self.assertIn(expected, str(cm.exception))
            self.assertIn("study.toml", str(cm.exception))


if __name__ == "__main__":
    unittest.main()

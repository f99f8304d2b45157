"""Readers of the CHECK_POS file and of the Particle position file."""

import math
import os
import tempfile
import unittest

import numpy as np

import quillet
from quillet import QuilletFileError
from tests import synthetic as syn


class ParticleCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def write_text(self, name, text):
        with open(self.path(name), "w") as out:
            out.write(text)
        return self.path(name)


class CheckPosTest(ParticleCase):
    def test_values_come_back_in_table_order(self):
        field = syn.sample_field(n=7)
        syn.write(self.path("run.CHECK_POS"), syn.check_pos_records(field))
        got = quillet.read_check_pos(self.path("run.CHECK_POS"))
        self.assertEqual((got.xl, got.yl, got.zmin, got.zmax, got.sy), (5.0, 4.0, -1.9, 1.9, 0.75))
        self.assertEqual(got.npart, 7)
        for k, (x, y, z, r, t) in enumerate(field["parts"]):
            self.assertEqual((got.xpart[k], got.ypart[k], got.zpart[k], got.rpart[k], got.itype[k]),
                             (x, y, z, r, t))
        self.assertEqual(got.itype.dtype, np.int32)
        expected_tau = sum(math.pi * p[3] ** 2 for p in field["parts"]) / (4 * 5.0 * 4.0)
        self.assertAlmostEqual(got.tau(), expected_tau, places=14)

    def test_empty_field(self):
        syn.write(self.path("e.CHECK_POS"), [["1.0", "2.0", "0.0", "0.0", "0.0"], ["0"]])
        got = quillet.read_particle_field(self.path("e.CHECK_POS"))
        self.assertEqual(got.npart, 0)

    def test_truncated_file_names_the_particle(self):
        field = syn.sample_field(n=5)
        lines = syn.write(self.path("x"), syn.check_pos_records(field))
        path = self.write_text("cut.CHECK_POS", "\n".join(lines[:4] + [lines[4][:10]]) + "\n")
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_check_pos(path)
        self.assertEqual(cm.exception.record, 5)
        self.assertIn("particle 3", str(cm.exception))
        self.assertIn("cut.CHECK_POS", str(cm.exception))

    def test_kind_written_as_a_real_is_refused(self):
        field = syn.sample_field(n=3)
        lines = syn.write(self.path("x"), syn.check_pos_records(field))
        lines[3] = lines[3].rsplit(" ", 1)[0] + " 1.0"
        path = self.write_text("bad.CHECK_POS", "\n".join(lines) + "\n")
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_check_pos(path)
        self.assertEqual((cm.exception.record, cm.exception.line), (4, 4))
        self.assertIn("integer", str(cm.exception))


POSITION_FILE = """\
'ring test field'  any comment here
discarded 1 2 3
  12.5, 4.0 , 3.0   0.5    orb xl yl sy
4
0.5 1.0 2.0 0.25
0.75d0,-1.0,
   -2.0 , -0.5
2*0.3 0.1 1.0E-1 trailing words
0.4 0.5 / rest ignored
"""


class PositionFileTest(ParticleCase):
    def test_free_format_rules(self):
        got = quillet.read_position_file(self.write_text("ring.pos", POSITION_FILE))
        self.assertEqual(got.title, "ring test field")
        self.assertEqual((got.orb, got.xl, got.yl, got.sy), (12.5, 4.0, 3.0, 0.5))
        self.assertEqual(got.npartori, 4)
        np.testing.assert_array_equal(got.rpart, [0.5, 0.75, 0.3, 0.4])
        np.testing.assert_array_equal(got.xpart, [1.0, -1.0, 0.3, 0.5])
        np.testing.assert_array_equal(got.ypart, [2.0, -2.0, 0.1, 0.1])  # slash keeps y of before
        np.testing.assert_array_equal(got.zpart, [0.25, -0.5, 0.1, 0.1])
        field = got.field()
        self.assertEqual(field.zmin, min(0.0, -0.5 - 0.75))
        self.assertEqual(field.zmax, 0.25 + 0.5)
        self.assertTrue(np.all(field.itype == 1))

    def test_particle_field_from_either_file(self):
        field = quillet.read_particle_field(self.write_text("ring.pos", POSITION_FILE))
        self.assertEqual(field.npart, 4)
        self.assertAlmostEqual(field.tau(), math.pi * (0.25 + 0.5625 + 0.09 + 0.16) / 48.0, places=14)

    def test_missing_particles_name_the_record(self):
        text = "title\nx\n1 2 3 0\n3\n0.5 0 0 0\n0.5 1 1\n"
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_position_file(self.write_text("short.pos", text))
        self.assertEqual(cm.exception.record, 6)
        self.assertIn("particle 2", str(cm.exception))

    def test_text_for_the_count_is_refused(self):
        text = "title\nx\n1 2 3 0\nmany\n"
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_position_file(self.write_text("bad.pos", text))
        self.assertEqual((cm.exception.record, cm.exception.line), (4, 4))


if __name__ == "__main__":
    unittest.main()

"""The one free-format reader of the package against the program's reading
rules (the rules stated at the top of format/free_reader.h)."""

import unittest

import numpy as np

from quillet._records import FreeReader, QuilletFileError


def record(text, n, kind="r", default=-1.0):
    r = FreeReader("test input", text=text)
    r.begin(1, "values")
    if kind == "r":
        return list(r.reals(n, default=default))
    if kind == "i":
        return list(r.ints(n, default=int(default)))
    return [r.text(default="-") for _ in range(n)]


class FreeFormatRulesTest(unittest.TestCase):
    def test_a_record_runs_over_lines_and_ignores_the_rest_of_its_last(self):
        self.assertEqual(record("1.0\n2.0 3.0 comment 4.0\n", 3), [1.0, 2.0, 3.0])
        r = FreeReader("t", text="1 2 3\n4\n")
        r.begin(1, "a")
        self.assertEqual(list(r.ints(1)), [1])
        r.begin(2, "b")  # the next record starts on the next line
        self.assertEqual(list(r.ints(1)), [4])

    def test_commas_and_null_values(self):
        self.assertEqual(record("1.0,,3.0\n", 3), [1.0, -1.0, 3.0])
        self.assertEqual(record(",2.0 3.0\n", 3), [-1.0, 2.0, 3.0])
        self.assertEqual(record("1.0 , 2.0\n", 2), [1.0, 2.0])
        # The comma state crosses the line end: a comma after a value
        # separates, whatever line it is on.
        self.assertEqual(record("1.0\n,2.0\n", 2), [1.0, 2.0])
        self.assertEqual(record("1.0,\n,2.0\n", 3), [1.0, -1.0, 2.0])

    def test_repeats_and_slash(self):
        self.assertEqual(record("3*2.5 1\n", 4), [2.5, 2.5, 2.5, 1.0])
        self.assertEqual(record("2* 7\n", 3), [-1.0, -1.0, 7.0])
        self.assertEqual(record("1 2 / 3 4\n5\n", 4), [1.0, 2.0, -1.0, -1.0])
        with self.assertRaises(QuilletFileError) as cm:
            record("0*5\n", 1)
        self.assertIn("repeat count", str(cm.exception))

    def test_text(self):
        self.assertEqual(record("'a b' \"it''s\" 'it''s' bare,x/y\n", 5, kind="t"),
                         ["a b", "it''s", "it's", "bare", "x"])
        with self.assertRaises(QuilletFileError):
            record("'a'b\n", 1, kind="t")
        with self.assertRaises(QuilletFileError):
            record("'open\n", 1, kind="t")
        # A quoted value is text, never a number.
        with self.assertRaises(QuilletFileError):
            record("'1.0'\n", 1)

    def test_numbers(self):
        self.assertEqual(record("1.5D2 -2d-1 .5 7 +3.e1\n", 5), [150.0, -0.2, 0.5, 7.0, 30.0])
        self.assertEqual(record("1e-999\n", 1), [0.0])  # too small for a double: 0
        self.assertTrue(np.isnan(record("nan\n", 1)[0]))
        for bad in ("1e999", "1.5x", "e5", "1_0", "--1", "0x10"):
            with self.assertRaises(QuilletFileError, msg=bad):
                record(bad + "\n", 1)
        self.assertEqual(record("-2147483648 +5\n", 2, kind="i"), [-2147483648, 5])
        for bad in ("12.0", "2147483648", "1e3", "+-5"):
            with self.assertRaises(QuilletFileError, msg=bad) as cm:
                record(bad + "\n", 1, kind="i")
            self.assertIn("integer", str(cm.exception))

    def test_long_plain_records_read_the_same_on_both_paths(self):
        values = np.random.default_rng(1).normal(size=500)
        text = " ".join(repr(float(v)) for v in values) + "\n"
        np.testing.assert_array_equal(record(text, 500), values)
        # With a null first (a comma opening the record) the general rules read it.
        np.testing.assert_array_equal(record(", " + text, 501)[1:], values)

    def test_messages_name_source_record_and_line(self):
        r = FreeReader("deck.txt", text="1\n2 x\n")
        r.begin(1, "a")
        r.ints(1)
        r.begin(2, "b, c")
        with self.assertRaises(QuilletFileError) as cm:
            r.ints(2)
        e = cm.exception
        self.assertEqual((e.path, e.record, e.name, e.line), ("deck.txt", 2, "b, c", 2))
        self.assertIn("'x'", str(e))
        r = FreeReader("deck.txt", text="1\n")
        r.begin(1, "a, b")
        with self.assertRaises(QuilletFileError) as cm:
            r.ints(2)
        self.assertIn("ends after 1 of the 2 values", str(cm.exception))


if __name__ == "__main__":
    unittest.main()

"""The result-file readers against synthetic files written from the layouts."""

import os
import tempfile
import unittest

import numpy as np

import quillet
from quillet import QuilletFileError
from tests import synthetic as syn


class ResultFileCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def assert_directions_match(self, got, run):
        n = run["ntest"]
        self.assertEqual(got.ntest, n)
        self.assertEqual(got.posfile, run["posfile"])
        for name in ("lonsun", "bsun", "ssca", "ppar1", "ppar2", "ppar3"):
            self.assertEqual(getattr(got, name), run[name], name)
        for name in ("nphot", "maxscat", "nbox", "nboxvis", "idum", "method"):
            self.assertEqual(getattr(got, name), run[name], name)
        for name in ("fiiobs", "latobs", "testw", "testw_n", "testw_sig", "testd_corr"):
            self.assertEqual(getattr(got, name).shape, (n,), name)
            self.assertEqual(list(getattr(got, name)), run[name][1:], name)
        self.assertEqual(got.w_order.shape, (n, 50))
        for k in range(1, n + 1):
            for order in range(1, 51):
                self.assertEqual(got.w_order[k - 1, order - 1], run["com8"][k][order])
        for name in syn.sample_run().keys() & set(quillet.results.CLOSING_NAMES):
            self.assertEqual(getattr(got, name), run[name], name)


class DirectionFileTest(ResultFileCase):
    def test_every_value_comes_back_at_its_documented_index(self):
        run = syn.sample_run(ntest=3)
        syn.write(self.path("run.w"), syn.direction_records(run))
        got = quillet.read_direction_file(self.path("run.w"))
        self.assertIsInstance(got, quillet.DirectionFile)
        self.assert_directions_match(got, run)
        self.assertEqual(got.posfile_haze, "junk")
        self.assertEqual((got.method_haze, got.ssca_part, got.ssca_haze), (2, 0.9, 0.5))
        self.assertEqual((got.ppar1_haze, got.ppar2_haze, got.ppar3_haze), (0.0, 0.5, 1e-30))
        self.assertEqual(got.w_haze.shape, (3, 21, 51))
        for k in range(1, 4):
            np.testing.assert_array_equal(got.w_haze[k - 1], run["com8_haze"][k])
        self.assertIs(got.com8, got.w_order)
        self.assertIs(got.com8_haze, got.w_haze)

    def test_line_breaks_inside_numeric_records_are_ignored(self):
        run = syn.sample_run(ntest=4)
        syn.write(self.path("a.w"), syn.direction_records(run))
        syn.write(self.path("b.w"), syn.direction_records(run), wrap=3)
        a = quillet.read_direction_file(self.path("a.w"))
        b = quillet.read_direction_file(self.path("b.w"))
        np.testing.assert_array_equal(a.w_order, b.w_order)
        np.testing.assert_array_equal(a.w_haze, b.w_haze)
        self.assert_directions_match(b, run)

    def test_no_directions_gives_empty_records_and_reads(self):
        run = syn.sample_run(ntest=0)
        lines = syn.write(self.path("run.w"), syn.direction_records(run))
        self.assertIn("", lines)  # the empty per-direction records are empty lines
        got = quillet.read_direction_file(self.path("run.w"))
        self.assertEqual(got.ntest, 0)
        self.assertEqual(got.w_order.shape, (0, 50))
        self.assertEqual(got.w_haze.shape, (0, 21, 51))
        self.assertEqual(got.posfile_haze, "junk")
        self.assertEqual(got.tau, run["tau"])

    def test_text_field_keeps_inner_blanks_and_is_taken_by_position(self):
        run = syn.sample_run(ntest=2)
        run["posfile"] = "a name with  blanks 7.0 12"
        syn.write(self.path("run.w"), syn.direction_records(run))
        self.assertEqual(quillet.read_direction_file(self.path("run.w")).posfile, run["posfile"])


class EscapeFileTest(ResultFileCase):
    def test_escape_records_are_float32_in_photon_order(self):
        run = syn.sample_run(ntest=2, nphot=200)
        syn.write(self.path("run.esc"), syn.escape_records(run))
        got = quillet.read_escape_file(self.path("run.esc"))
        self.assert_directions_match(got, run)
        for name in ("esc_fii", "esc_lat", "esc_sca", "esc_weight"):
            arr = getattr(got, name)
            self.assertEqual(arr.dtype, np.float32, name)
            self.assertEqual(arr.shape, (200,), name)
            np.testing.assert_array_equal(arr, np.array(run[name][1:], dtype=np.float32))

    def test_wrapped_long_records_read_the_same(self):
        run = syn.sample_run(ntest=2, nphot=150)
        syn.write(self.path("run.esc"), syn.escape_records(run), wrap=11)
        got = quillet.read_escape_file(self.path("run.esc"))
        np.testing.assert_array_equal(got.esc_weight, np.array(run["esc_weight"][1:], np.float32))


class HistogramFileTest(ResultFileCase):
    def test_bins_land_at_plane_latitude_azimuth(self):
        run = syn.sample_run(ntest=2)
        syn.write(self.path("run.eps"), syn.histogram_records(run))
        got = quillet.read_histogram_file(self.path("run.eps"))
        self.assert_directions_match(got, run)
        self.assertEqual(got.esc_hist.shape, (10, 90, 180))
        self.assertEqual(got.esc_hist.dtype, np.float32)
        self.assertEqual(got.hist_dims, (180, 90, 50))
        expected = np.zeros((10, 90, 180), np.float32)
        for (fii, lat, plane), v in run["esc_hist"].items():
            expected[plane - 1, lat - 1, fii - 1] = v
        np.testing.assert_array_equal(got.esc_hist, expected)
        self.assertEqual(got.fii_edges()[0], -180.0)
        self.assertEqual(got.lat_edges()[-1], 90.0)
        self.assertEqual(got.fii_edges()[1] - got.fii_edges()[0], 2.0)


class TestImageFileTest(ResultFileCase):
    def test_images_are_rows_of_y_columns_of_x(self):
        img = syn.sample_image(nxpix=7, nypix=5, ntest=2, nimages=1)
        syn.write(self.path("run.TESTIMAGE"), syn.test_image_records(img))
        got = quillet.read_test_image_file(self.path("run.TESTIMAGE"))
        self.assertEqual((got.nxpix, got.nypix, got.ntest, got.ntest_images), (7, 5, 2, 1))
        self.assertEqual((got.xl, got.yl, got.sy, got.npart, got.nphot), (5.0, 4.0, 1.5, 52, 100))
        self.assertEqual((got.bsun, got.lonsun, got.nxphot, got.nyphot), (30.0, 0.0, 10, 10))
        np.testing.assert_array_equal(got.latobs, img["latobs"])
        np.testing.assert_array_equal(got.fiiobs, img["fiiobs"])
        for name in ("ximage", "yimage", "ill_image", "vis_image"):
            arr = getattr(got, name)
            self.assertEqual(arr.shape, (5, 7), name)
            for (ix, iy), v in img[name].items():
                self.assertEqual(arr[iy - 1, ix - 1], v, name)
        self.assertEqual(got.ill_image.dtype, np.int32)
        self.assertEqual(got.test_image.shape, (1, 5, 7))
        for (ix, iy), v in img["test_image"][0].items():
            self.assertEqual(got.test_image[0, iy - 1, ix - 1], v)
        # Pixel centres: x increases along a row, y along a column, and the
        # first and last centres are half a pixel inside the cell.
        self.assertAlmostEqual(float(got.ximage[0, 0]), -5.0 + 5.0 / 7, places=6)
        self.assertAlmostEqual(float(got.yimage[-1, 0]), 4.0 - 4.0 / 5, places=6)
        self.assertEqual(got.extent(), (-5.0, 5.0, -4.0, 4.0))

    def test_all_ten_maps_read_when_written(self):
        img = syn.sample_image(nxpix=3, nypix=4, ntest=1, nimages=10)
        syn.write(self.path("run.TESTIMAGE"), syn.test_image_records(img), wrap=5)
        got = quillet.read_test_image_file(self.path("run.TESTIMAGE"))
        self.assertEqual(got.test_image.shape, (10, 4, 3))
        self.assertEqual(got.test_image[9, 3, 2], img["test_image"][9][(3, 4)])


class ReadAnyResultFileTest(ResultFileCase):
    def test_each_kind_is_recognised(self):
        run = syn.sample_run(ntest=2)
        syn.write(self.path("w"), syn.direction_records(run))
        syn.write(self.path("e"), syn.escape_records(run))
        syn.write(self.path("h"), syn.histogram_records(run))
        syn.write(self.path("t"), syn.test_image_records(syn.sample_image()))
        self.assertIsInstance(quillet.read_result_file(self.path("w")), quillet.DirectionFile)
        self.assertIsInstance(quillet.read_result_file(self.path("e")), quillet.EscapeFile)
        self.assertIsInstance(quillet.read_result_file(self.path("h")), quillet.HistogramFile)
        self.assertIsInstance(quillet.read_result_file(self.path("t")), quillet.TestImageFile)

    def test_escape_file_with_fifty_directions_is_not_taken_for_a_direction_file(self):
        run = syn.sample_run(ntest=50, nphot=3)
        syn.write(self.path("e"), syn.escape_records(run))
        self.assertIsInstance(quillet.read_result_file(self.path("e")), quillet.EscapeFile)

    def test_unknown_marker_is_refused(self):
        with open(self.path("x"), "w") as out:
            out.write("3.0\n")
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_result_file(self.path("x"))
        self.assertEqual(cm.exception.record, 1)


class MalformedFileTest(ResultFileCase):
    """Every way a file can be cut short or spoiled ends in QuilletFileError
    naming the file and the record."""

    def direction_lines(self, ntest=2):
        run = syn.sample_run(ntest=ntest)
        return syn.write(self.path("full.w"), syn.direction_records(run))

    def write_lines(self, name, lines, end="\n"):
        with open(self.path(name), "w", encoding="latin-1") as out:
            out.write("\n".join(lines) + end)
        return self.path(name)

    def test_truncation_after_any_line_names_the_next_record(self):
        # With ntest >= 1 every record of the direction file is one line, so a
        # file cut after line L misses record L + 1 first.
        lines = self.direction_lines()
        self.assertEqual(len(lines), 27)
        for keep in range(0, len(lines)):
            path = self.write_lines("cut.w", lines[:keep], end="\n" if keep else "")
            with self.assertRaises(QuilletFileError, msg="cut after %d lines" % keep) as cm:
                quillet.read_direction_file(path)
            e = cm.exception
            self.assertEqual(e.record, keep + 1, "cut after %d lines: %s" % (keep, e))
            self.assertIn(path, str(e))
            self.assertIn("record %d (" % (keep + 1), str(e))

    def test_truncation_inside_a_long_record_names_it(self):
        lines = self.direction_lines()
        haze = lines[20]  # record 21, the haze table
        path = self.write_lines("cut.w", lines[:20] + [haze[:len(haze) // 2]])
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_direction_file(path)
        self.assertEqual(cm.exception.record, 21)
        self.assertIn("w_haze", cm.exception.name)
        self.assertIn("file ends", str(cm.exception))

    def test_truncated_escape_records_name_the_record(self):
        run = syn.sample_run(ntest=1, nphot=300)
        lines = syn.write(self.path("e"), syn.escape_records(run))
        path = self.write_lines("cut.esc", lines[:16] + [lines[16][:100]])
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_escape_file(path)
        self.assertEqual((cm.exception.record, cm.exception.name), (17, "esc_sca"))

    def test_bad_number_names_record_and_line(self):
        lines = self.direction_lines()
        items = lines[10].split()
        items[1] = "1.5x"
        lines[10] = " ".join(items)  # record 11, testw
        path = self.write_lines("bad.w", lines)
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_direction_file(path)
        e = cm.exception
        self.assertEqual((e.record, e.name, e.line), (11, "testw", 11))
        self.assertIn("'1.5x'", str(e))

    def test_bad_value_in_a_long_single_line_record_is_found(self):
        run = syn.sample_run(ntest=1, nphot=500)
        lines = syn.write(self.path("e"), syn.escape_records(run))
        items = lines[17].split()
        items[321] = "0.5.5"
        lines[17] = " ".join(items)  # record 18, esc_weight
        path = self.write_lines("bad.esc", lines)
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_escape_file(path)
        self.assertEqual((cm.exception.record, cm.exception.line), (18, 18))
        self.assertIn("0.5.5", str(cm.exception))

    def test_real_where_an_integer_belongs_is_refused(self):
        lines = self.direction_lines()
        lines[2] = "10.5 30.0 12.0"  # nphot written as a real
        path = self.write_lines("bad.w", lines)
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_direction_file(path)
        self.assertEqual(cm.exception.record, 3)
        self.assertIn("integer", str(cm.exception))

    def test_wrong_marker_and_constants_are_refused(self):
        lines = self.direction_lines()
        for index, value, record in ((0, "4.0", 1), (6, "49", 7), (19, "20 51", 20)):
            spoiled = list(lines)
            spoiled[index] = value
            with self.assertRaises(QuilletFileError) as cm:
                quillet.read_direction_file(self.write_lines("bad.w", spoiled))
            self.assertEqual(cm.exception.record, record, value)

    def test_data_after_the_last_record_is_refused(self):
        lines = self.direction_lines()
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_direction_file(self.write_lines("long.w", lines + ["1.0"]))
        self.assertIn("after the last record", str(cm.exception))
        # trailing blank lines are fine
        quillet.read_direction_file(self.write_lines("ok.w", lines + ["", "  "]))

    def test_extra_value_before_a_text_field_is_refused(self):
        lines = self.direction_lines()
        lines[0] = "7.0 99"
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_direction_file(self.write_lines("bad.w", lines))
        self.assertEqual(cm.exception.record, 2)

    def test_overlong_text_line_is_refused(self):
        lines = self.direction_lines()
        lines[1] = lines[1] + "x"
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_direction_file(self.write_lines("bad.w", lines))
        self.assertEqual((cm.exception.record, cm.exception.name), (2, "posfile"))

    def test_truncated_test_image_names_the_missing_image(self):
        img = syn.sample_image()
        lines = syn.write(self.path("t"), syn.test_image_records(img))
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_test_image_file(self.write_lines("cut.TESTIMAGE", lines[:12]))
        self.assertEqual((cm.exception.record, cm.exception.name), (13, "vis_image"))

    def test_negative_direction_count_is_refused(self):
        run = syn.sample_run(ntest=0)
        lines = syn.write(self.path("w"), syn.direction_records(run))
        lines[7] = "-1"
        with self.assertRaises(QuilletFileError) as cm:
            quillet.read_direction_file(self.write_lines("bad.w", lines))
        self.assertEqual(cm.exception.record, 8)

    def test_binary_garbage_raises_the_file_error(self):
        with open(self.path("junk.bin"), "wb") as out:
            out.write(bytes(range(256)) * 4)
        for reader in (quillet.read_direction_file, quillet.read_escape_file,
                       quillet.read_histogram_file, quillet.read_test_image_file,
                       quillet.read_result_file, quillet.read_check_pos):
            with self.assertRaises(QuilletFileError, msg=reader.__name__):
                reader(self.path("junk.bin"))


if __name__ == "__main__":
    unittest.main()

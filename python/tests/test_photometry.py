"""I/F, its standard error and the phase angle on hand-computed cases."""

import math
import unittest

import numpy as np

from quillet import photometry


class PhaseAngleTest(unittest.TestCase):
    def test_observer_on_the_sun_side_at_its_elevation_has_phase_zero(self):
        self.assertAlmostEqual(float(photometry.phase_angle(30.0, 0.0, 30.0, 0.0)), 0.0, places=6)

    def test_opposite_azimuth_at_equal_elevations(self):
        # cos alpha = -cos^2 30 + sin^2 30 = -1/2
        self.assertAlmostEqual(float(photometry.phase_angle(30.0, 0.0, 30.0, 180.0)), 120.0,
                               places=10)

    def test_recovers_the_phase_angle_the_azimuth_was_made_from(self):
        # The run turns phase angle 40 at elevations 30/30 and Sun azimuth 10
        # into the azimuth 10 + acos((cos 40 - sin 30 sin 30) / (cos 30 cos 30)).
        b = l = math.radians(30.0)
        delta = math.degrees(math.acos((math.cos(math.radians(40.0)) - math.sin(b) * math.sin(l))
                                       / (math.cos(b) * math.cos(l))))
        self.assertAlmostEqual(delta, 46.52332, places=4)
        alpha = photometry.phase_angle(30.0, 10.0, np.array([30.0]), np.array([10.0 + delta]))
        self.assertAlmostEqual(float(alpha[0]), 40.0, places=9)

    def test_arrays_of_directions(self):
        alpha = photometry.phase_angle(90.0, 0.0, np.array([90.0, 0.0, -45.0]),
                                       np.array([0.0, 77.0, 3.0]))
        np.testing.assert_allclose(alpha, [0.0, 90.0, 135.0], atol=1e-9)


class IOverFTest(unittest.TestCase):
    def test_value_from_a_hand_computed_case(self):
        # Sun at 30 deg (mu0 = 1/2), observer at 60 deg (mu = sqrt(3)/2),
        # testw = 12 over N = 100 photons: I/F = (1/2)/(sqrt(3)/2) * 0.12.
        value, err = photometry.i_over_f([12.0], [3.0], [40.0], 100, 30.0, [60.0])
        self.assertAlmostEqual(float(value[0]), 0.12 / math.sqrt(3.0), places=14)
        self.assertAlmostEqual(float(err[0]), 0.03 / math.sqrt(3.0), places=14)

    def test_error_is_the_standard_error_of_the_mean_per_photon_brightness(self):
        # Four photons with brightness b = 0, 1, 2, 3 toward the direction.
        # The program's spread: m = 1.5, q = 3.5, testd_corr = sqrt((q - m^2) N)
        # = sqrt(5).  The standard error of the mean of b, computed directly,
        # is std(b) / sqrt(N) = sqrt(1.25) / 2.
        b = np.array([0.0, 1.0, 2.0, 3.0])
        n = b.size
        m, q = b.sum() / n, (b * b).sum() / n
        testd_corr = math.sqrt((q - m * m) * n)
        self.assertAlmostEqual(testd_corr, math.sqrt(5.0), places=14)
        value, err = photometry.i_over_f([b.sum()], [testd_corr], [3.0], n, 90.0, [90.0])
        self.assertAlmostEqual(float(value[0]), b.mean(), places=14)
        self.assertAlmostEqual(float(err[0]), b.std() / math.sqrt(n), places=14)

    def test_error_matches_the_scatter_of_repeated_runs(self):
        # Many independent "runs" of N photons with exponential brightness:
        # the spread of their I/F values matches the error each run reports.
        rng = np.random.default_rng(7)
        n, runs = 400, 2000
        b = rng.exponential(2.0, size=(runs, n))
        m = b.mean(axis=1)
        q = (b * b).mean(axis=1)
        testd_corr = np.sqrt((q - m * m) * n)
        values, errs = [], []
        for k in range(runs):
            v, e = photometry.i_over_f([b[k].sum()], [testd_corr[k]], [n], n, 20.0, [20.0])
            values.append(v[0])
            errs.append(e[0])
        # Standard deviation of a sample of 2000 is known to about 1.6 %.
        self.assertAlmostEqual(np.std(values) / np.mean(errs), 1.0, delta=0.05)

    def test_fewer_than_two_contributions_have_no_error(self):
        value, err = photometry.i_over_f([0.5, 0.0, 0.7], [0.0, 0.0, 0.1], [1.0, 0.0, 2.0], 10,
                                         30.0, [30.0, 30.0, 30.0])
        self.assertTrue(np.isnan(err[0]) and np.isnan(err[1]))
        self.assertAlmostEqual(float(err[2]), 0.01, places=15)
        self.assertAlmostEqual(float(value[0]), 0.05, places=15)

    def test_observer_in_the_ring_plane_has_no_value(self):
        value, err = photometry.i_over_f([1.0], [0.1], [5.0], 10, 30.0, [0.0])
        self.assertTrue(np.isnan(value[0]) and np.isnan(err[0]))

    def test_observer_below_the_plane_uses_the_magnitude_of_mu(self):
        up, _ = photometry.i_over_f([1.0], [0.1], [5.0], 10, 30.0, [40.0])
        down, _ = photometry.i_over_f([1.0], [0.1], [5.0], 10, 30.0, [-40.0])
        self.assertEqual(float(up[0]), float(down[0]))

    def test_photon_count_below_one_counts_as_one(self):
        value, _ = photometry.i_over_f([0.25], [0.0], [0.0], 0, 90.0, [90.0])
        self.assertEqual(float(value[0]), 0.25)


class IOverFOrderTest(unittest.TestCase):
    def test_orders_add_up_to_the_total_and_errors_share_its_variance(self):
        rng = np.random.default_rng(3)
        w_order = rng.uniform(0.0, 1.0, (4, 50)) * 0.6 ** np.arange(50)
        testw = w_order.sum(axis=1)
        testd_corr = rng.uniform(0.1, 1.0, 4)
        testw_n = np.array([10.0, 20.0, 30.0, 1.0])
        lat = np.array([10.0, 20.0, 50.0, 70.0])
        total, total_err = photometry.i_over_f(testw, testd_corr, testw_n, 1000, 25.0, lat)
        value, err = photometry.i_over_f_order(w_order, testw, testd_corr, testw_n, 1000, 25.0, lat)
        self.assertEqual(value.shape, (4, 50))
        np.testing.assert_allclose(value.sum(axis=1), total, rtol=1e-13)
        np.testing.assert_allclose((err[:3] ** 2).sum(axis=1), total_err[:3] ** 2, rtol=1e-12)
        self.assertTrue(np.all(np.isnan(err[3])))
        # Order 1 of direction 1 by hand.
        mu0, mu = math.sin(math.radians(25.0)), math.sin(math.radians(10.0))
        self.assertAlmostEqual(float(value[0, 0]), mu0 / mu * w_order[0, 0] / 1000, places=15)


if __name__ == "__main__":
    unittest.main()

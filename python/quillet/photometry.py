"""Values derived from a run's per-direction sums: reflectance I/F with its
standard error, by direction and by scattering order, and the phase angle of
each observer direction.

Angles in and out are in degrees.  ``bsun`` is the Sun's elevation above the
ring plane, ``lonsun`` its azimuth; ``latobs`` and ``fiiobs`` are the
observer's elevation and azimuth in the same frame, as the result files hold
them.  The phase angle is the angle between the directions to the Sun and to
the observer (0 = the observer looks along the sunlight).
"""

import numpy as np


def phase_angle(bsun, lonsun, latobs, fiiobs):
    """Phase angle alpha in degrees of each observer direction:

        cos alpha = cos b cos l cos(f - lonsun) + sin b sin l

    with b = bsun, l = latobs, f = fiiobs.  It is evaluated as the angle
    between the unit vectors toward the Sun and toward the observer,
    atan2(|s x o|, s . o), which keeps its precision near 0 and 180 degrees
    where the arccosine of the formula above does not.
    """
    b = np.radians(np.asarray(bsun, dtype=float))
    l = np.radians(np.asarray(latobs, dtype=float))
    lam = np.radians(np.asarray(lonsun, dtype=float))
    f = np.radians(np.asarray(fiiobs, dtype=float))
    sx, sy, sz = np.cos(b) * np.cos(lam), np.cos(b) * np.sin(lam), np.sin(b)
    ox, oy, oz = np.cos(l) * np.cos(f), np.cos(l) * np.sin(f), np.sin(l)
    cross = np.sqrt((sy * oz - sz * oy) ** 2 + (sz * ox - sx * oz) ** 2 + (sx * oy - sy * ox) ** 2)
    dot = sx * ox + sy * oy + sz * oz
    return np.degrees(np.arctan2(cross, dot))


def _geometry(nphot, bsun, latobs):
    n = float(max(int(nphot), 1))  # the program's own rule: N below 1 counts as 1
    mu0 = abs(np.sin(np.radians(float(bsun))))
    mu = np.abs(np.sin(np.radians(np.asarray(latobs, dtype=float))))
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.where(mu > 0.0, mu0 / np.where(mu > 0.0, mu, 1.0), np.nan)
    return n, scale


def i_over_f(testw, testd_corr, testw_n, nphot, bsun, latobs):
    """Reflectance I/F toward each direction and its standard error.

    Returns two arrays of shape (ntest,):

        I/F  = (mu0 / mu) * testw / N
        s.e. = (mu0 / mu) * testd_corr / N

    with N = nphot (1 when nphot < 1), mu0 = |sin bsun|, mu = |sin latobs|.

    Why.  Sunlight of flux pi F per unit area normal to the beam falls on the
    cell's area A at elevation bsun, so each of the N photons carries the
    power pi F mu0 A / N.  A scattering of weight w sends the fraction
    w P / (4 pi) per steradian toward the observer, and the program adds
    c = w * phasef = w P / 4 for each visible scattering to ``testw``.  Seen
    from elevation latobs the cell has the projected area A mu, so the
    intensity is I = (pi F mu0 A / N) (testw / pi) / (A mu), i.e.
    I/F = (mu0 / mu) testw / N.  (For a run lit by the planet instead of the
    Sun the same number is the brightness relative to a Sun at ``bsun``.)

    Error.  Let b_i be photon i's total contribution toward the direction
    (``bphot``), m = sum(b_i) / N = testw / N and q = sum(b_i^2) / N.  The
    program writes testd_corr = sqrt((q - m^2) N).  The sample variance of
    b is s^2 = q - m^2 = testd_corr^2 / N, and the standard error of the mean
    m is sqrt(s^2 / N) = testd_corr / N; multiplying by mu0 / mu gives the
    error of I/F.  (s^2 is the biased variance estimate; the factor
    sqrt(N / (N - 1)) that would correct it is negligible for any real run.)

    Directions with fewer than two contributions (``testw_n`` < 2) have no
    spread in the file: their error is NaN.  A direction in the ring plane
    (mu = 0) has no I/F: NaN.
    """
    n, scale = _geometry(nphot, bsun, latobs)
    testw = np.asarray(testw, dtype=float)
    testd_corr = np.asarray(testd_corr, dtype=float)
    value = scale * testw / n
    err = np.where(np.asarray(testw_n, dtype=float) >= 2.0, scale * testd_corr / n, np.nan)
    return value, err


def i_over_f_order(w_order, testw, testd_corr, testw_n, nphot, bsun, latobs):
    """I/F by scattering order, shape (ntest, 50), with an approximate error.

    The value is exact: I/F_o = (mu0 / mu) * w_order[:, o - 1] / N, and the
    orders add up to the I/F of the direction.

    The error is an estimate only: the result files carry the per-photon
    second moment of a direction's total, not of each order.  The estimate
    shares the direction's variance among the orders in proportion to their
    sums, s.e._o = s.e. * sqrt(w_o / testw), which holds when every order's
    contributions follow the same compound-Poisson law and the orders are
    uncorrelated.  The squared estimates add up to the total's squared error;
    since the orders of one photon are positively correlated, that is at
    least the sum of the true per-order variances, so the estimate errs on
    the large side.  Use it to judge which orders are noise, not for a
    significance test.
    """
    n, scale = _geometry(nphot, bsun, latobs)
    w_order = np.asarray(w_order, dtype=float)
    value = scale[:, None] * w_order / n
    total, total_err = i_over_f(testw, testd_corr, testw_n, nphot, bsun, latobs)
    testw = np.asarray(testw, dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        share = np.where(testw[:, None] > 0.0, w_order / testw[:, None], np.nan)
    err = total_err[:, None] * np.sqrt(np.clip(share, 0.0, None))
    return value, err

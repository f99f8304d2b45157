"""Observer directions against the Sun: the phase angles an observer can
see, and a direction's azimuth relative to the Sun and its phase angle in
either of the deck's forms (``fiiobs`` below 820 a phase angle, from 820 up
1000 + the azimuth relative to the Sun), as the program places them."""

import math

import numpy as np

AZIMUTH_THRESHOLD = 820.0          # fiiobs from here up: 1000 + relative azimuth
ACOS_SLACK = 1.0e-12               # rounding allowed beyond -1..1 for a boundary direction
PHASE_ZERO = 1.0e-6                # a phase angle this small is 0 (the observer on the Sun's line)


def phase_range(bsun, latobs):
    """(smallest, largest) phase angle in degrees that an observer at
    elevation ``latobs`` can have with the Sun at elevation ``bsun``:
    |bsun - latobs| to 180 - |bsun + latobs|.  Arrays broadcast."""
    b = np.asarray(bsun, dtype=float)
    l = np.asarray(latobs, dtype=float)
    lo, hi = np.abs(b - l), 180.0 - np.abs(b + l)
    if lo.ndim == 0:
        return float(lo), float(hi)
    return lo, hi


def _phase_problem(bsun, lat, alpha):
    """Why a phase angle cannot be seen, or None; the program's own test."""
    rad = math.pi / 180.0
    a = abs(alpha)
    if a <= PHASE_ZERO:
        if abs(bsun - lat) > PHASE_ZERO:
            return "a phase angle of 0 needs the observer at the Sun's elevation"
        return None
    cosb, cosl = math.cos(bsun * rad), math.cos(lat * rad)
    if cosb * cosl == 0.0:
        return "no azimuth gives it: the Sun or the observer is at the pole"
    arg = (math.cos(a * rad) - math.sin(bsun * rad) * math.sin(lat * rad)) / (cosb * cosl)
    if not abs(arg) <= 1.0 + ACOS_SLACK:
        return "it is outside the range that elevation can see"
    return None


def relative_azimuth(bsun, lat, fiiobs):
    """Azimuth of a direction relative to the Sun in degrees (as the program
    places it: a phase angle gives the azimuth on the side of increasing
    azimuth), NaN when it cannot be seen."""
    if fiiobs >= AZIMUTH_THRESHOLD:
        return fiiobs - 1000.0
    if _phase_problem(bsun, lat, fiiobs) is not None:
        return math.nan
    a = abs(fiiobs)
    if a <= PHASE_ZERO:
        return 0.0
    rad = math.pi / 180.0
    arg = (math.cos(a * rad) - math.sin(bsun * rad) * math.sin(lat * rad)) / (
        math.cos(bsun * rad) * math.cos(lat * rad))
    return math.degrees(math.acos(max(-1.0, min(1.0, arg))))


def direction_phase_angle(bsun, lat, fiiobs):
    """Phase angle of a direction in degrees, whichever form it is in."""
    if fiiobs < AZIMUTH_THRESHOLD:
        return abs(fiiobs)
    rad = math.pi / 180.0
    d = fiiobs - 1000.0
    arg = (math.cos(bsun * rad) * math.cos(lat * rad) * math.cos(d * rad)
           + math.sin(bsun * rad) * math.sin(lat * rad))
    return math.degrees(math.acos(max(-1.0, min(1.0, arg))))

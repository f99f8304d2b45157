"""The checks of a deck before a run: every reason why the program would
refuse it, value by value (``Deck.problems``), and the limits they hold it
to.  The run's tables are sized from the deck and its files, so the limits
left are the 32-bit counts the program numbers things with (and the
isquare*isquare photons of the launch pattern); what the machine can hold is
weighed by the program itself when it starts."""

import dataclasses
import math

import numpy as np

from quillet._records import INT32_MIN, INT32_MAX
from quillet.geometry import AZIMUTH_THRESHOLD, _phase_problem, phase_range

# The 32-bit counts of one run (the program checks the same before any work).
MAX_DIRECTIONS = 2_147_483_646     # observer directions (ntest, or nlat*nfii)
MAX_PHOTONS = 2_147_483_647        # nxphot*nyphot
MAX_GRID_CELLS = 2_147_483_646     # mx*my
MAX_PIXELS = 2_147_483_647         # nxpix*nypix
MAX_PLANET_ZONES = 2_147_483_646   # nlat_sat*nfii_sat
MAX_ISQUARE = 46340                # isquare*isquare photons
TEXT_WIDTH = 80

LAW_NAMES = {
    1: "LAMBERT-element", 2: "ISOTROPIC-sphere", 3: "HG-sphere-center", 4: "HG-sphere-point",
    5: "EULER-sphere-center", 6: "EULER-sphere-point", 7: "CALLISTO-sphere-center",
    8: "CALLISTO-sphere-point", 9: "POWER-sphere-center", 10: "POWER-sphere-point",
    11: "LAMBERT-sphere-center", 12: "LAMBERT-sphere-point", 13: "HG2-sphere-center",
    14: "HG2-sphere-point", 15: "TABLE-sphere-center", 16: "TABLE-sphere-point",
}
PLANET_MODELS = (1, 2, 3, 4, 5, 6, 11, 12, 13, 14)


class DeckError(ValueError):
    """A deck value that no run can use.  ``name`` is the value's name,
    ``value`` the value, ``record`` the deck record that holds it."""

    def __init__(self, name, value, message, record=None):
        self.name, self.value, self.record, self.message = name, value, record, message
        super().__init__(message)


def deck_fields(obj):
    return [f for f in dataclasses.fields(obj) if f.metadata.get("deck", True)]


def _is_int(v):
    return isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_))


def _is_real(v):
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_))


def problems(deck, directions=True, threaded=False):
    """Every reason why the program would refuse this deck, as a list of
    DeckError (empty when it can run).  ``directions=False`` leaves out
    the test of the observer directions against the Sun's elevation;
    ``threaded`` checks it for a threaded run (``--threads``), which
    writes no per-photon traces."""
    found = []

    def bad(name, message, value=None):
        found.append(DeckError(name, getattr(deck, name, value) if value is None else value,
                               message, deck.record_of(name) if name in deck.names() else None))

    # Types and presence first: the other tests need numbers.
    for f in deck_fields(deck):
        name, value = f.name, getattr(deck, f.name)
        kind = deck.kind(name)
        if kind == "list":
            if value is None:
                continue
            for x in value:
                if not _is_real(x) or not math.isfinite(x):
                    bad(name, "%s holds %r: expected finite numbers (degrees)" % (name, x))
                    break
            continue
        if value is None:
            bad(name, "%s is not set" % name)
        elif kind == "t":
            if not isinstance(value, str):
                bad(name, "%s = %r: expected a text" % (name, value))
            elif len(value.encode("utf-8")) > TEXT_WIDTH:
                bad(name, "%s = %r is longer than %d characters" % (name, value, TEXT_WIDTH))
            elif "\n" in value or "\r" in value or not value.strip():
                bad(name, "%s = %r: expected a file name on one line" % (name, value))
        elif kind == "i":
            if not _is_int(value):
                bad(name, "%s = %r: expected an integer" % (name, value))
            elif not INT32_MIN <= value <= INT32_MAX:
                bad(name, "%s = %d does not fit a 32-bit integer" % (name, value))
        elif kind == "r":
            if not _is_real(value) or not math.isfinite(value):
                bad(name, "%s = %r: expected a finite number" % (name, value))
    if found:
        return found
    if len(deck.latobs) != len(deck.fiiobs):
        bad("fiiobs", "latobs has %d values and fiiobs %d: one each per direction"
            % (len(deck.latobs), len(deck.fiiobs)))
    if (deck.latgrid is None) != (deck.fiigrid is None):
        bad("latgrid", "latgrid and fiigrid go together (the grid form)")
    # The 32-bit counts.
    if deck.ntest > MAX_DIRECTIONS:
        bad("latobs" if deck.latgrid is None else "latgrid",
            "%d observer directions, more than the %d a 32-bit direction number counts"
            % (deck.ntest, MAX_DIRECTIONS), value=deck.ntest)
    if not -90.0 <= deck.bsun <= 90.0:
        bad("bsun", "bsun = %r: expected a Sun elevation from -90 to 90 degrees" % deck.bsun)
    for name in ("nxphot", "nyphot"):
        if getattr(deck, name) < 1:
            bad(name, "%s = %d: the photon grid needs at least 1 by 1" % (name, getattr(deck, name)))
    photons = deck.nxphot * deck.nyphot
    if photons > MAX_PHOTONS:
        bad("nxphot", "nxphot*nyphot = %d photons, more than the %d a 32-bit photon number counts"
            % (photons, MAX_PHOTONS), value=photons)
    if deck.mx < 1 or deck.my < 1 or (deck.mx == 1) != (deck.my == 1):
        bad("mx", "mx = %d, my = %d: a search grid needs both sizes above 1, or both equal "
            "to 1 for none" % (deck.mx, deck.my))
    elif deck.mx * deck.my > MAX_GRID_CELLS:
        bad("mx", "mx*my = %d search-grid cells, more than the %d a 32-bit cell number counts"
            % (deck.mx * deck.my, MAX_GRID_CELLS), value=deck.mx * deck.my)
    if deck.isquare > MAX_ISQUARE:
        bad("isquare", "isquare = %d, more than %d (isquare*isquare photons must fit a "
            "32-bit count)" % (deck.isquare, MAX_ISQUARE))
    if deck.nxpix >= 1 and deck.nxpix * deck.nypix > MAX_PIXELS:
        bad("nxpix", "nxpix*nypix = %d test-image pixels, more than the %d a 32-bit pixel number "
            "counts" % (deck.nxpix * deck.nypix, MAX_PIXELS), value=deck.nxpix * deck.nypix)
    if deck.nxpix >= 1 and deck.nypix < 1:
        bad("nypix", "nypix = %d: a test image needs at least 1 row (nxpix = 0 for none)"
            % deck.nypix)
    # Laws and albedos.
    haze = deck.posfile_haze != "junk"
    if deck.method not in LAW_NAMES:
        bad("method", "method = %d is not one of the scattering-law codes 1 to 16" % deck.method)
    else:
        _law_problems(deck, bad, deck.method, "")
    if haze:
        if deck.method_haze not in LAW_NAMES:
            bad("method_haze", "method_haze = %d is not one of the scattering-law codes 1 to 16"
                % deck.method_haze)
        else:
            _law_problems(deck, bad, deck.method_haze, "_haze")
            if 7 <= deck.method_haze <= 10 and not 7 <= deck.method <= 10:
                bad("method_haze", "method_haze = %d is a power law, but method = %d is not "
                    "7 to 10 (the haze shares the ring particles' power-law table)"
                    % (deck.method_haze, deck.method))
    for name in ("ssca_part", "ssca_haze"):
        if not 0.0 <= getattr(deck, name) <= 1.0:
            bad(name, "%s = %r: expected a single-scattering albedo from 0 to 1"
                % (name, getattr(deck, name)))
    if not deck.sredu > 0.0:
        bad("sredu", "sredu = %r: expected a radius factor above 0" % deck.sredu)
    if not deck.zredu >= 0.0:
        bad("zredu", "zredu = %r: expected a height factor of at least 0" % deck.zredu)
    if deck.s20 > 0.0 and not deck.f20 > 0.0:
        bad("f20", "f20 = %r: expected an enlargement factor above 0 when s20 > 0" % deck.f20)
    # The source.
    if deck.isat not in (0, 1, 2, 3):
        bad("isat", "isat = %d: expected 0 (Sun), 1 (planet), 2 (southern half) or 3 "
            "(northern half)" % deck.isat)
    if deck.isat >= 1:
        if deck.nlat_sat < 1 or deck.nfii_sat < 1:
            bad("nlat_sat", "nlat_sat = %d, nfii_sat = %d: the planet needs at least 1 zone "
                "each way" % (deck.nlat_sat, deck.nfii_sat))
        if deck.nlat_sat * deck.nfii_sat > MAX_PLANET_ZONES:
            bad("nlat_sat", "nlat_sat*nfii_sat = %d planet zones, more than the %d a 32-bit zone "
                "number counts" % (deck.nlat_sat * deck.nfii_sat, MAX_PLANET_ZONES),
                value=deck.nlat_sat * deck.nfii_sat)
        if deck.model_sat not in PLANET_MODELS:
            bad("model_sat", "model_sat = %d: expected a planet model 1 to 6 or 11 to 14"
                % deck.model_sat)
    if threaded:
        for name in ("icheck", "idebug"):
            if getattr(deck, name) >= 1:
                bad(name, "%s = %d asks for per-photon traces, which only the serial run "
                    "writes: run with threads=None, or set icheck and idebug to 0"
                    % (name, getattr(deck, name)))
                break
    if deck.iemulate not in (0, 1, 2, 3):
        bad("iemulate", "iemulate = %d: expected an emulation code from 0 to 3" % deck.iemulate)
    if directions:
        for k, problem in direction_problems(deck):
            lat, f = deck.directions()[k]
            found.append(DeckError("latobs" if deck.latgrid is None else "latgrid", (lat, f),
                                   "observer direction %d (latobs %g, fiiobs %g): %s"
                                   % (k + 1, lat, f, problem), 4 if deck.latgrid is None else 6))
    return found

def _law_problems(deck, bad, code, suffix):
    p1, p2, p3 = (getattr(deck, "ppar%d%s" % (i, suffix)) for i in (1, 2, 3))
    n1, n2, n3 = ("ppar%d%s" % (i, suffix) for i in (1, 2, 3))
    if code in (3, 4, 13, 14) and not abs(p1) < 1.0:
        bad(n1, "%s = %r: the Henyey-Greenstein asymmetry must lie between -1 and 1 "
            "(exclusive)" % (n1, p1))
    if code in (13, 14):
        if not abs(p2) < 1.0:
            bad(n2, "%s = %r: the Henyey-Greenstein asymmetry must lie between -1 and 1 "
                "(exclusive)" % (n2, p2))
        if not 0.0 <= p3 <= 1.0:
            bad(n3, "%s = %r: the weight of the first Henyey-Greenstein term must lie "
                "from 0 to 1" % (n3, p3))
    if code in (5, 6) and not abs(p1) <= 1.0:
        bad(n1, "%s = %r: the linear-law coefficient must lie from -1 to 1" % (n1, p1))
    if code in (9, 10) and not p1 > -2.0:
        bad(n1, "%s = %r: the power-law exponent must be above -2" % (n1, p1))

def direction_problems(deck):
    """(index, reason) of each observer direction that cannot be seen."""
    out = []
    for k, (lat, f) in enumerate(deck.directions()):
        if lat == 0.0 or not -90.0 <= lat <= 90.0:
            out.append((k, "expected an observer elevation from -90 to 90 degrees other than 0"))
            continue
        if f < AZIMUTH_THRESHOLD:
            problem = _phase_problem(deck.bsun, lat, f)
            if problem:
                lo, hi = phase_range(deck.bsun, lat)
                out.append((k, "phase angle %g cannot be seen with the Sun at elevation %g: "
                               "%s (allowed %g to %g)" % (abs(f), deck.bsun, problem, lo, hi)))
    return out

"""The parameter deck by name: read any deck, change values by their names,
check them before a run, write a deck with one record per line.

    deck = quillet.Deck.read("examples/example.deck")
    deck.bsun = 20.0
    deck.observe(latobs=20.0, phase_angle=[5, 10, 20, 40])
    deck.validate()
    deck.write("study.deck")

Every value carries the program's own name (``posfile``, ``bsun``, ...,
``iemulate``).  Observer directions are kept as the deck writes them:
``latobs[k]`` and ``fiiobs[k]``, where ``fiiobs`` below 820 is a phase angle
and from 820 up is 1000 + the azimuth relative to the Sun.  A deck read in
the grid form (``ntest`` < 0) keeps ``latgrid`` and ``fiigrid`` and is
written back in that form.
"""

import dataclasses
import math
import os
from dataclasses import dataclass, field

import numpy as np

from quillet._records import FreeReader, INT32_MIN, INT32_MAX

# Capacities of one run (the program checks the same before any work).
MAX_DIRECTIONS = 100
MAX_GRID_LAT = 520
MAX_GRID_FII = 100
MAX_PIX = 1024
MAX_PHOTONS = 1_000_000            # with the escape file on or the planet as source
MAX_PHOTONS_UNRECORDED = 2_147_483_647
MAX_GRID_CELLS = 160_000
MAX_NLAT_SAT = 200
MAX_NFII_SAT = 400
MAX_ISQUARE = 46340
TEXT_WIDTH = 80
AZIMUTH_THRESHOLD = 820.0          # fiiobs from here up: 1000 + relative azimuth
ACOS_SLACK = 1.0e-12               # rounding allowed beyond -1..1 for a boundary direction
PHASE_ZERO = 1.0e-6                # a phase angle this small is 0 (the observer on the Sun's line)

LAW_NAMES = {
    1: "LAMBERT-element", 2: "ISOTROPIC-sphere", 3: "HG-sphere-center", 4: "HG-sphere-point",
    5: "EULER-sphere-center", 6: "EULER-sphere-point", 7: "CALLISTO-sphere-center",
    8: "CALLISTO-sphere-point", 9: "POWER-sphere-center", 10: "POWER-sphere-point",
    11: "LAMBERT-sphere-center", 12: "LAMBERT-sphere-point", 13: "HG2-sphere-center",
    14: "HG2-sphere-point", 15: "TABLE-sphere-center", 16: "TABLE-sphere-point",
}
PLANET_MODELS = (1, 2, 3, 4, 5, 6, 11, 12, 13, 14)

# The records after the observer directions: number, names, kinds.
_TAIL = (
    (8, ("nxphot", "nyphot", "mx", "my"), "i"),
    (9, ("parfile",), "t"),
    (10, ("outfile",), "t"),
    (11, ("epsfile",), "t"),
    (12, ("wfile",), "t"),
    (13, ("method",), "i"),
    (14, ("ppar1", "ppar2", "ppar3"), "r"),
    (15, ("posfile_haze",), "t"),
    (16, ("method_haze",), "i"),
    (17, ("ppar1_haze", "ppar2_haze", "ppar3_haze"), "r"),
    (18, ("ssca_part", "ssca_haze"), "r"),
    (19, ("icheck",), "i"),
    (20, ("idum",), "i"),
    (21, ("sredu", "zredu"), "r"),
    (22, ("sizemin",), "r"),
    (23, ("s20", "f20"), "r"),
    (24, ("isat",), "i"),
    (25, ("distance",), "r"),
    (26, ("nlat_sat", "nfii_sat"), "i"),
    (27, ("model_sat",), "i"),
    (28, ("irot",), "i"),
    (29, ("isquare",), "i"),
    (30, ("testimage",), "t"),
    (31, ("nxpix", "nypix"), "i"),
    (32, ("idebug",), "i"),
    (33, ("iemulate",), "i"),
)

# What each record's comment says when a deck is written.
_COMMENTS = {
    1: "posfile: particle position file",
    2: "bsun, lonsun: Sun elevation and azimuth (degrees)",
    3: "ntest: number of observer directions",
    8: "nxphot, nyphot, mx, my: photon grid, search grid",
    9: "parfile: engine parameter file (junk: defaults)",
    10: "outfile: escape file (junk: none)",
    11: "epsfile: escape-histogram file (junk: none)",
    12: "wfile: per-direction results file",
    13: "method: scattering law of the ring particles",
    14: "ppar1, ppar2, ppar3: its parameters",
    15: "posfile_haze: haze particle file (junk: no haze)",
    16: "method_haze: scattering law of the haze",
    17: "ppar1_haze, ppar2_haze, ppar3_haze: its parameters",
    18: "ssca_part, ssca_haze: single-scattering albedos",
    19: "icheck: trace level",
    20: "idum: random seed",
    21: "sredu, zredu: radius and height factors",
    22: "sizemin: smallest ring particle kept (0: all)",
    23: "s20, f20: particles up to radius s20 enlarged by f20",
    24: "isat: source (0 Sun, 1 planet, 2 southern half, 3 northern half)",
    25: "distance: from the planet centre (planet radius 60.4)",
    26: "nlat_sat, nfii_sat: planet zone grid",
    27: "model_sat: planet photometric model",
    28: "irot: 1 turns the field by a random azimuth per photon",
    29: "isquare: launch pattern (< 1 random)",
    30: "testimage: name prefix of the test image",
    31: "nxpix, nypix: test-image size (nxpix 0: none)",
    32: "idebug: diagnostic files and traces",
    33: "iemulate: emulation code 0-3",
}


class DeckError(ValueError):
    """A deck value that no run can use.  ``name`` is the value's name,
    ``value`` the value, ``record`` the deck record that holds it."""

    def __init__(self, name, value, message, record=None):
        self.name, self.value, self.record, self.message = name, value, record, message
        super().__init__(message)


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


def _deck_fields(obj):
    return [f for f in dataclasses.fields(obj) if f.metadata.get("deck", True)]


def _is_int(v):
    return isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_))


def _is_real(v):
    return isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, (bool, np.bool_))


@dataclass
class Deck:
    """Every value of the parameter deck by its name.

    Values most runs leave alone have defaults: no haze (``posfile_haze`` =
    "junk"), the Sun as source (``isat`` = 0), no test image (``nxpix`` = 0),
    no escape or histogram file, no engine parameter file, ``icheck`` = 0,
    ``idebug`` = 0, ``iemulate`` = 0, random launch (``isquare`` = 0) with
    random rotation (``irot`` = 1), radii and heights as in the file
    (``sredu`` = ``zredu`` = 1, no size cut or enlargement), a 100 x 100
    photon grid and a 10 x 10 search grid.  ``posfile``, ``bsun``,
    ``method`` and ``ssca_part`` have none: a run needs them set.
    """

    posfile: str = None
    bsun: float = None
    lonsun: float = 0.0
    latobs: list = field(default_factory=list)
    fiiobs: list = field(default_factory=list)
    latgrid: list = None
    fiigrid: list = None
    nxphot: int = 100
    nyphot: int = 100
    mx: int = 10
    my: int = 10
    parfile: str = "junk"
    outfile: str = "junk"
    epsfile: str = "junk"
    wfile: str = "run.dir"
    method: int = None
    ppar1: float = 0.0
    ppar2: float = 0.0
    ppar3: float = 0.0
    posfile_haze: str = "junk"
    method_haze: int = 2
    ppar1_haze: float = 0.0
    ppar2_haze: float = 0.0
    ppar3_haze: float = 0.0
    ssca_part: float = None
    ssca_haze: float = 0.0
    icheck: int = 0
    idum: int = -1
    sredu: float = 1.0
    zredu: float = 1.0
    sizemin: float = 0.0
    s20: float = 0.0
    f20: float = 1.0
    isat: int = 0
    distance: float = 130.0
    nlat_sat: int = 20
    nfii_sat: int = 40
    model_sat: int = 1
    irot: int = 1
    isquare: int = 0
    testimage: str = "image"
    nxpix: int = 0
    nypix: int = 0
    idebug: int = 0
    iemulate: int = 0
    # The folder that relative input names are taken from (not a deck value):
    # the deck file's folder after read(), else the current folder at run time.
    base: str = field(default=None, compare=False, repr=False, metadata={"deck": False})

    # -- names --------------------------------------------------------------
    @staticmethod
    def names():
        """Names of the deck values a user sets (the observer lists included)."""
        return tuple(f.name for f in _deck_fields(Deck))

    @staticmethod
    def kind(name):
        """'t' text, 'i' integer, 'r' real, 'list' observer list."""
        if name in ("posfile",):
            return "t"
        if name in ("bsun", "lonsun"):
            return "r"
        if name in ("latobs", "fiiobs", "latgrid", "fiigrid"):
            return "list"
        for _, names, kind in _TAIL:
            if name in names:
                return kind
        raise KeyError(name)

    @staticmethod
    def record_of(name):
        """The deck record number that holds a value."""
        fixed = {"posfile": 1, "bsun": 2, "lonsun": 2, "latobs": 4, "fiiobs": 4,
                 "latgrid": 6, "fiigrid": 7}
        if name in fixed:
            return fixed[name]
        for number, names, _ in _TAIL:
            if name in names:
                return number
        raise KeyError(name)

    def copy(self, **changes):
        """A copy with some values changed (lists copied too)."""
        d = dataclasses.replace(self, **changes)
        for name in ("latobs", "fiiobs", "latgrid", "fiigrid"):
            v = getattr(d, name)
            if v is not None:
                setattr(d, name, list(v))
        return d

    def values(self):
        """Every value as a dict by name."""
        return {f.name: getattr(self, f.name) for f in _deck_fields(self)}

    # -- observers ------------------------------------------------------------
    @property
    def ntest(self):
        """Number of observer directions (grid size product in the grid form)."""
        if self.latgrid is not None:
            return len(self.latgrid) * len(self.fiigrid or [])
        return len(self.latobs)

    def directions(self):
        """(latobs, fiiobs) of each direction as the deck gives it; the grid
        form is expanded with the latitude varying fastest."""
        if self.latgrid is not None:
            return [(float(lat), float(f)) for f in (self.fiigrid or []) for lat in self.latgrid]
        return [(float(a), float(b)) for a, b in zip(self.latobs, self.fiiobs)]

    def observe(self, latobs, phase_angle=None, azimuth=None):
        """Sets the observer directions: every combination of the elevations
        ``latobs`` with the phase angles ``phase_angle`` (or the azimuths
        ``azimuth`` relative to the Sun), elevation outermost.  Scalars or
        lists.  Returns the deck."""
        if (phase_angle is None) == (azimuth is None):
            raise TypeError("observe() takes either phase_angle or azimuth")
        lats = np.atleast_1d(np.asarray(latobs, dtype=float))
        if phase_angle is not None:
            fii = np.atleast_1d(np.asarray(phase_angle, dtype=float))
        else:
            fii = 1000.0 + np.atleast_1d(np.asarray(azimuth, dtype=float))
        self.latobs = [float(l) for l in lats for _ in fii]
        self.fiiobs = [float(f) for _ in lats for f in fii]
        self.latgrid = self.fiigrid = None
        return self

    def phase_angles(self):
        """Phase angle of each direction in degrees."""
        return [direction_phase_angle(self.bsun, l, f) for l, f in self.directions()]

    def relative_azimuths(self):
        """Azimuth of each direction relative to the Sun in degrees."""
        return [relative_azimuth(self.bsun, l, f) for l, f in self.directions()]

    # -- reading --------------------------------------------------------------
    @classmethod
    def read(cls, path):
        """Reads a deck file by the program's reading rules.  Raises
        QuilletFileError naming the file, record and line when it is
        malformed or short."""
        deck = cls._parse(FreeReader(path))
        deck.base = os.path.dirname(os.path.abspath(path))
        return deck

    @classmethod
    def parse(cls, text, source="standard input"):
        """Reads a deck from its text."""
        return cls._parse(FreeReader(source, text=text))

    @classmethod
    def _parse(cls, r):
        # Values the deck leaves unchanged (null values, a slash) keep the
        # program's start values: zero and blanks.
        v = {}
        r.begin(1, "posfile")
        v["posfile"] = r.text(default="")
        r.begin(2, "bsun, lonsun")
        v["bsun"], v["lonsun"] = (float(x) for x in r.reals(2, default=0.0))
        r.begin(3, "ntest")
        ntest = r.int(default=0)
        v["latobs"], v["fiiobs"] = [], []
        if ntest > 0:
            if ntest > MAX_DIRECTIONS:
                raise r.error("%d observer directions, more than the %d a run can hold"
                              % (ntest, MAX_DIRECTIONS))
            for k in range(ntest):
                r.begin(4, "latobs, fiiobs of direction %d" % (k + 1))
                lat, fii = (float(x) for x in r.reals(2, default=0.0))
                v["latobs"].append(lat)
                v["fiiobs"].append(fii)
        elif ntest < 0:
            r.begin(5, "nlat, nfii")
            nlat, nfii = (int(x) for x in r.ints(2, default=0))
            if nlat < 0 or nfii < 0:
                raise r.error("the grid sizes nlat = %d and nfii = %d must not be negative"
                              % (nlat, nfii))
            if nlat > MAX_GRID_LAT or nfii > MAX_GRID_FII:
                raise r.error("grid of %d latitudes and %d azimuths: at most %d and %d"
                              % (nlat, nfii, MAX_GRID_LAT, MAX_GRID_FII))
            v["latgrid"], v["fiigrid"] = [], []
            for i in range(nlat):
                r.begin(6, "latgrid value %d" % (i + 1))
                v["latgrid"].append(r.real(default=0.0))
            for j in range(nfii):
                r.begin(7, "fiigrid value %d" % (j + 1))
                v["fiigrid"].append(r.real(default=0.0))
        for number, names, kind in _TAIL:
            r.begin(number, ", ".join(names))
            if kind == "t":
                v[names[0]] = r.text(default="")
            elif kind == "i":
                for name, x in zip(names, r.ints(len(names), default=0)):
                    v[name] = int(x)
            else:
                for name, x in zip(names, r.reals(len(names), default=0.0)):
                    v[name] = float(x)
        return cls(**v)

    # -- writing --------------------------------------------------------------
    @staticmethod
    def _format(value, kind):
        if kind == "t":
            return "'" + str(value).replace("'", "''") + "'"
        if kind == "i":
            return str(int(value))
        s = repr(float(value))
        return s if any(c in s for c in ".en") else s + ".0"

    def to_text(self):
        """The deck as text: one record per line, each with a comment."""
        lines = []

        def rec(number, items, comment=None):
            body = " ".join(items)
            lines.append("%-24s %2d  %s" % (body, number, comment or _COMMENTS[number]))

        rec(1, [self._format(self.posfile, "t")])
        rec(2, [self._format(self.bsun, "r"), self._format(self.lonsun, "r")])
        if self.latgrid is not None:
            rec(3, ["-1"], "ntest: a grid of directions follows")
            rec(5, [str(len(self.latgrid)), str(len(self.fiigrid or []))], "nlat, nfii: grid size")
            for lat in self.latgrid:
                rec(6, [self._format(lat, "r")], "latgrid: grid latitude")
            for f in self.fiigrid or []:
                rec(7, [self._format(f, "r")], "fiigrid: phase angle, or 1000 + relative azimuth")
        else:
            rec(3, [str(len(self.latobs))])
            for lat, f in zip(self.latobs, self.fiiobs):
                what = ("phase angle %g" % f if f < AZIMUTH_THRESHOLD
                        else "azimuth %g from the Sun" % (f - 1000.0))
                rec(4, [self._format(lat, "r"), self._format(f, "r")],
                    "latobs, fiiobs: elevation %g, %s" % (lat, what))
        for number, names, kind in _TAIL:
            rec(number, [self._format(getattr(self, n), kind) for n in names])
        return "\n".join(lines) + "\n"

    def write(self, path):
        """Writes the deck: one record per line, a comment naming each value."""
        with open(path, "w", encoding="utf-8") as out:
            out.write(self.to_text())

    # -- validation -----------------------------------------------------------
    def problems(self, directions=True, threaded=False):
        """Every reason why the program would refuse this deck, as a list of
        DeckError (empty when it can run).  ``directions=False`` leaves out
        the test of the observer directions against the Sun's elevation;
        ``threaded`` checks it for a threaded run (``--threads``), which
        writes no per-photon traces."""
        found = []

        def bad(name, message, value=None):
            found.append(DeckError(name, getattr(self, name, value) if value is None else value,
                                   message, self.record_of(name) if name in self.names() else None))

        # Types and presence first: the other tests need numbers.
        for f in _deck_fields(self):
            name, value = f.name, getattr(self, f.name)
            kind = self.kind(name)
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
        if len(self.latobs) != len(self.fiiobs):
            bad("fiiobs", "latobs has %d values and fiiobs %d: one each per direction"
                % (len(self.latobs), len(self.fiiobs)))
        if (self.latgrid is None) != (self.fiigrid is None):
            bad("latgrid", "latgrid and fiigrid go together (the grid form)")
        # Capacities.
        if self.latgrid is not None and self.fiigrid is not None:
            if len(self.latgrid) > MAX_GRID_LAT:
                bad("latgrid", "%d grid latitudes, more than the %d the grid table holds"
                    % (len(self.latgrid), MAX_GRID_LAT))
            if len(self.fiigrid) > MAX_GRID_FII:
                bad("fiigrid", "%d grid azimuth values, more than the %d the grid table holds"
                    % (len(self.fiigrid), MAX_GRID_FII))
        if self.ntest > MAX_DIRECTIONS:
            bad("latobs" if self.latgrid is None else "latgrid",
                "%d observer directions, more than the %d a run can hold"
                % (self.ntest, MAX_DIRECTIONS), value=self.ntest)
        if not -90.0 <= self.bsun <= 90.0:
            bad("bsun", "bsun = %r: expected a Sun elevation from -90 to 90 degrees" % self.bsun)
        for name in ("nxphot", "nyphot"):
            if getattr(self, name) < 1:
                bad(name, "%s = %d: the photon grid needs at least 1 by 1" % (name, getattr(self, name)))
        photons = self.nxphot * self.nyphot
        if self.outfile != "junk" or self.isat >= 1:
            limit, why = MAX_PHOTONS, ("with the escape file on" if self.outfile != "junk"
                                       else "from the planet")
        else:
            limit, why = MAX_PHOTONS_UNRECORDED, "in all"
        if photons > limit:
            bad("nxphot", "nxphot*nyphot = %d photons, more than the %d a run can launch %s"
                % (photons, limit, why), value=photons)
        if self.mx < 1 or self.my < 1 or (self.mx == 1) != (self.my == 1):
            bad("mx", "mx = %d, my = %d: a search grid needs both sizes above 1, or both equal "
                "to 1 for none" % (self.mx, self.my))
        elif self.mx * self.my > MAX_GRID_CELLS:
            bad("mx", "mx*my = %d search-grid cells, more than the %d the grid tables hold"
                % (self.mx * self.my, MAX_GRID_CELLS), value=self.mx * self.my)
        if self.isquare > MAX_ISQUARE:
            bad("isquare", "isquare = %d, more than %d (isquare*isquare photons must fit a "
                "32-bit count)" % (self.isquare, MAX_ISQUARE))
        for name in ("nxpix", "nypix"):
            if getattr(self, name) > MAX_PIX:
                bad(name, "%s = %d, more than the %d an image holds"
                    % (name, getattr(self, name), MAX_PIX))
        if self.nxpix >= 1 and self.nypix < 1:
            bad("nypix", "nypix = %d: a test image needs at least 1 row (nxpix = 0 for none)"
                % self.nypix)
        # Laws and albedos.
        haze = self.posfile_haze != "junk"
        if self.method not in LAW_NAMES:
            bad("method", "method = %d is not one of the scattering-law codes 1 to 16" % self.method)
        else:
            self._law_problems(bad, self.method, "")
        if haze:
            if self.method_haze not in LAW_NAMES:
                bad("method_haze", "method_haze = %d is not one of the scattering-law codes 1 to 16"
                    % self.method_haze)
            else:
                self._law_problems(bad, self.method_haze, "_haze")
                if 7 <= self.method_haze <= 10 and not 7 <= self.method <= 10:
                    bad("method_haze", "method_haze = %d is a power law, but method = %d is not "
                        "7 to 10 (the haze shares the ring particles' power-law table)"
                        % (self.method_haze, self.method))
        for name in ("ssca_part", "ssca_haze"):
            if not 0.0 <= getattr(self, name) <= 1.0:
                bad(name, "%s = %r: expected a single-scattering albedo from 0 to 1"
                    % (name, getattr(self, name)))
        if not self.sredu > 0.0:
            bad("sredu", "sredu = %r: expected a radius factor above 0" % self.sredu)
        if not self.zredu >= 0.0:
            bad("zredu", "zredu = %r: expected a height factor of at least 0" % self.zredu)
        if self.s20 > 0.0 and not self.f20 > 0.0:
            bad("f20", "f20 = %r: expected an enlargement factor above 0 when s20 > 0" % self.f20)
        # The source.
        if self.isat not in (0, 1, 2, 3):
            bad("isat", "isat = %d: expected 0 (Sun), 1 (planet), 2 (southern half) or 3 "
                "(northern half)" % self.isat)
        if self.isat >= 1:
            if self.nlat_sat < 1 or self.nfii_sat < 1:
                bad("nlat_sat", "nlat_sat = %d, nfii_sat = %d: the planet needs at least 1 zone "
                    "each way" % (self.nlat_sat, self.nfii_sat))
            if self.nlat_sat > MAX_NLAT_SAT:
                bad("nlat_sat", "nlat_sat = %d, more than the %d planet latitude zones"
                    % (self.nlat_sat, MAX_NLAT_SAT))
            if self.nfii_sat > MAX_NFII_SAT:
                bad("nfii_sat", "nfii_sat = %d, more than the %d planet longitude zones"
                    % (self.nfii_sat, MAX_NFII_SAT))
            if self.model_sat not in PLANET_MODELS:
                bad("model_sat", "model_sat = %d: expected a planet model 1 to 6 or 11 to 14"
                    % self.model_sat)
        if threaded:
            for name in ("icheck", "idebug"):
                if getattr(self, name) >= 1:
                    bad(name, "%s = %d asks for per-photon traces, which only the serial run "
                        "writes: run with threads=None, or set icheck and idebug to 0"
                        % (name, getattr(self, name)))
                    break
        if self.iemulate not in (0, 1, 2, 3):
            bad("iemulate", "iemulate = %d: expected an emulation code from 0 to 3" % self.iemulate)
        if directions:
            for k, problem in self.direction_problems():
                lat, f = self.directions()[k]
                found.append(DeckError("latobs" if self.latgrid is None else "latgrid", (lat, f),
                                       "observer direction %d (latobs %g, fiiobs %g): %s"
                                       % (k + 1, lat, f, problem), 4 if self.latgrid is None else 6))
        return found

    def _law_problems(self, bad, code, suffix):
        p1, p2, p3 = (getattr(self, "ppar%d%s" % (i, suffix)) for i in (1, 2, 3))
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

    def direction_problems(self):
        """(index, reason) of each observer direction that cannot be seen."""
        out = []
        for k, (lat, f) in enumerate(self.directions()):
            if lat == 0.0 or not -90.0 <= lat <= 90.0:
                out.append((k, "expected an observer elevation from -90 to 90 degrees other than 0"))
                continue
            if f < AZIMUTH_THRESHOLD:
                problem = _phase_problem(self.bsun, lat, f)
                if problem:
                    lo, hi = phase_range(self.bsun, lat)
                    out.append((k, "phase angle %g cannot be seen with the Sun at elevation %g: "
                                   "%s (allowed %g to %g)" % (abs(f), self.bsun, problem, lo, hi)))
        return out

    def visible(self):
        """Per direction, whether it can be seen (see direction_problems)."""
        bad = {k for k, _ in self.direction_problems()}
        return [k not in bad for k in range(self.ntest)]

    def validate(self, directions=True, threaded=False):
        """Raises the first DeckError of ``problems()``; returns the deck."""
        found = self.problems(directions=directions, threaded=threaded)
        if found:
            if len(found) > 1:
                first = found[0]
                raise DeckError(first.name, first.value, "; ".join(e.message for e in found),
                                first.record)
            raise found[0]
        return self

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
import os
from dataclasses import dataclass, field

import numpy as np

from quillet import deck_checks
from quillet._records import FreeReader
# Re-exported: the limits, the law names, the error and the viewing geometry
# are read from here.
from quillet.deck_checks import (LAW_NAMES, MAX_DIRECTIONS, MAX_GRID_CELLS, MAX_ISQUARE,  # noqa: F401
                                 MAX_PHOTONS, MAX_PIXELS, MAX_PLANET_ZONES, PLANET_MODELS, TEXT_WIDTH,
                                 DeckError, deck_fields as _deck_fields)
from quillet.geometry import (ACOS_SLACK, AZIMUTH_THRESHOLD, PHASE_ZERO,  # noqa: F401
                              direction_phase_angle, phase_range, relative_azimuth)

__all__ = ["Deck", "DeckError", "LAW_NAMES", "PLANET_MODELS", "TEXT_WIDTH", "MAX_DIRECTIONS",
           "MAX_PHOTONS", "MAX_GRID_CELLS", "MAX_PIXELS", "MAX_PLANET_ZONES", "MAX_ISQUARE",
           "AZIMUTH_THRESHOLD", "ACOS_SLACK", "PHASE_ZERO", "phase_range", "relative_azimuth",
           "direction_phase_angle"]

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
                raise r.error("ntest = %d observer directions, more than the %d a 32-bit "
                              "direction number counts" % (ntest, MAX_DIRECTIONS))
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
            if nlat * nfii > MAX_DIRECTIONS:
                raise r.error("nlat*nfii = %d observer directions, more than the %d a 32-bit "
                              "direction number counts" % (nlat * nfii, MAX_DIRECTIONS))
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

    # -- validation -----------------------------------------------------------
    def problems(self, directions=True, threaded=False):
        """Every reason why the program would refuse this deck, as a list of
        DeckError (empty when it can run).  ``directions=False`` leaves out
        the test of the observer directions against the Sun's elevation;
        ``threaded`` checks it for a threaded run (``--threads``), which
        writes no per-photon traces."""
        return deck_checks.problems(self, directions=directions, threaded=threaded)

    def direction_problems(self):
        """(index, reason) of each observer direction that cannot be seen."""
        return deck_checks.direction_problems(self)

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

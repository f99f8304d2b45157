"""Readers for particle fields: the Particle position file that a run reads
(and the haze particle file, which has the same layout) and the CHECK_POS
file that a run writes with ``idebug`` >= 1 (the field after the size cut,
the haze particles and the copies across the cell edges).

Both give a ParticleField: sphere centres and radii in the cell
[-xl, xl] x [-yl, yl], which repeats with period 2 xl in x and 2 yl in y,
the copy one period away in x shifted by ``sy`` in y.
"""

from dataclasses import dataclass

import numpy as np

from quillet._records import FreeReader, RecordReader, _SPECIAL, parse_real


@dataclass(eq=False)
class ParticleField:
    """Spheres of one periodic cell.

    Attributes: ``path``; ``xl``, ``yl`` (half-widths of the cell), ``sy``
    (shift of the neighbouring cell columns), ``zmin``, ``zmax`` (vertical
    extent of the layer); arrays ``xpart``, ``ypart``, ``zpart``, ``rpart``
    (float64) and ``itype`` (1 ring particle, 2 haze particle), one entry per
    particle in table order (particle number i at index i - 1).
    """

    path: str
    xl: float
    yl: float
    sy: float
    zmin: float
    zmax: float
    xpart: np.ndarray
    ypart: np.ndarray
    zpart: np.ndarray
    rpart: np.ndarray
    itype: np.ndarray

    @property
    def npart(self):
        return int(self.xpart.size)

    def tau(self):
        """Geometric optical depth: summed cross-sections over the cell area."""
        return float(np.sum(np.pi * self.rpart ** 2) / (4.0 * self.xl * self.yl))

    def __repr__(self):
        return "ParticleField(path=%r, npart=%d, xl=%r, yl=%r, sy=%r, zmin=%r, zmax=%r)" % (
            self.path, self.npart, self.xl, self.yl, self.sy, self.zmin, self.zmax)


# -- CHECK_POS ------------------------------------------------------------

def read_check_pos(path):
    """Reads a CHECK_POS file: ``xl yl zmin zmax sy``; ``npart``; then per
    particle ``x y z r itype``.  Raises QuilletFileError when it is malformed."""
    r = RecordReader(path)
    r.begin(1, "xl, yl, zmin, zmax, sy")
    xl, yl, zmin, zmax, sy = (float(v) for v in r.reals(5))
    r.begin(2, "npart")
    npart = r.int()
    if npart < 0:
        raise r.error("expected a particle count of 0 or more, found %d" % npart)
    rows = r.table(npart, 5, (4,), 3, "particle %d: x, y, z, r, itype")
    r.finish()
    return ParticleField(path, xl, yl, sy, zmin, zmax,
                         rows[:, 0].copy(), rows[:, 1].copy(), rows[:, 2].copy(),
                         rows[:, 3].copy(), rows[:, 4].astype(np.int32))


# -- Particle position file (free-format input) -----------------------------

@dataclass(eq=False)
class PositionFile:
    """A Particle position file as written for the program's input.

    Attributes: ``path``, ``title`` (first value of record 1), ``orb``, ``xl``,
    ``yl``, ``sy`` (as written, not folded), ``npartori`` (the count n of
    record 4), and per particle ``rpart``, ``xpart``, ``ypart``, ``zpart``.
    """

    path: str
    title: str
    orb: float
    xl: float
    yl: float
    sy: float
    npartori: int
    rpart: np.ndarray
    xpart: np.ndarray
    ypart: np.ndarray
    zpart: np.ndarray

    def field(self):
        """The particles as a ParticleField (all ring particles, no scaling,
        no copies); ``zmin``/``zmax`` start at 0 as in the program."""
        z0 = self.zpart - self.rpart
        z1 = self.zpart + self.rpart
        zmin = float(min(0.0, z0.min())) if z0.size else 0.0
        zmax = float(max(0.0, z1.max())) if z1.size else 0.0
        return ParticleField(self.path, self.xl, self.yl, self.sy, zmin, zmax,
                             self.xpart, self.ypart, self.zpart, self.rpart,
                             np.ones(self.rpart.size, dtype=np.int32))

    def __repr__(self):
        return "PositionFile(path=%r, title=%r, npartori=%d, xl=%r, yl=%r, sy=%r)" % (
            self.path, self.title, self.npartori, self.xl, self.yl, self.sy)


def read_position_file(path):
    """Reads a Particle position file (or a haze particle file):

      1  title (its first value, a word or a quoted text)
      2  a line whose first value is discarded
      3  orb, xl, yl, sy
      4  n, the number of particles
      5.. one particle per record: radius, x, y, z

    Values are separated by blanks or commas and may run over several lines;
    anything after the values a record needs is ignored.  Raises
    QuilletFileError when the file is malformed or ends too early.
    """
    f = FreeReader(path)
    f.begin(1, "title")
    title = f.text(default="")
    f.begin(2, "discarded line")
    f.values(1)
    f.begin(3, "orb, xl, yl, sy")
    orb, xl, yl, sy = (float(v) for v in f.reals(4, default=0.0))
    f.begin(4, "number of particles")
    n = f.int(default=0)
    count = max(n, 0)
    table = np.zeros((count, 4))
    prev = np.zeros(4)
    lines = f.lines
    for i in range(count):
        f.begin(5 + i, "particle %d: radius, x, y, z" % (i + 1))
        # The usual plain line of four or more numbers, without the general reader.
        if f.iline < len(lines) and not _SPECIAL.search(lines[f.iline]):
            toks = lines[f.iline].split()
            if len(toks) >= 4:
                try:
                    prev = [parse_real(t) for t in toks[:4]]
                    table[i] = prev
                    f.iline += 1
                    continue
                except ValueError:
                    pass
        prev = f.reals(4, default=prev)
        table[i] = prev
    return PositionFile(path=str(path), title=title, orb=orb, xl=xl, yl=yl, sy=sy, npartori=n,
                        rpart=table[:, 0].copy(), xpart=table[:, 1].copy(),
                        ypart=table[:, 2].copy(), zpart=table[:, 3].copy())


def read_particle_field(path):
    """A ParticleField from either a CHECK_POS file (its name ends in
    ".CHECK_POS") or a Particle position file."""
    if str(path).endswith(".CHECK_POS"):
        return read_check_pos(path)
    return read_position_file(path).field()

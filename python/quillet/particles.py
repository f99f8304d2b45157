"""Readers for particle fields: the Particle position file that a run reads
(and the haze particle file, which has the same layout) and the CHECK_POS
file that a run writes with ``idebug`` >= 1 (the field after the size cut,
the haze particles and the copies across the cell edges).

Both give a ParticleField: sphere centres and radii in the cell
[-xl, xl] x [-yl, yl], which repeats with period 2 xl in x and 2 yl in y,
the copy one period away in x shifted by ``sy`` in y.
"""

import re

import numpy as np

from quillet._records import QuilletFileError, RecordReader, _read_text, _real


class ParticleField:
    """Spheres of one periodic cell.

    Attributes: ``path``; ``xl``, ``yl`` (half-widths of the cell), ``sy``
    (shift of the neighbouring cell columns), ``zmin``, ``zmax`` (vertical
    extent of the layer); arrays ``xpart``, ``ypart``, ``zpart``, ``rpart``
    (float64) and ``itype`` (1 ring particle, 2 haze particle), one entry per
    particle in table order (particle number i at index i - 1).
    """

    def __init__(self, path, xl, yl, sy, zmin, zmax, xpart, ypart, zpart, rpart, itype):
        self.path = str(path)
        self.xl, self.yl, self.sy, self.zmin, self.zmax = xl, yl, sy, zmin, zmax
        self.xpart, self.ypart, self.zpart, self.rpart = xpart, ypart, zpart, rpart
        self.itype = itype

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

class PositionFile:
    """A Particle position file as written for the program's input.

    Attributes: ``path``, ``title`` (first value of record 1), ``orb``, ``xl``,
    ``yl``, ``sy`` (as written, not folded), ``npartori`` (the count n of
    record 4), and per particle ``rpart``, ``xpart``, ``ypart``, ``zpart``.
    """

    def __init__(self, **values):
        self.__dict__.update(values)

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


_SPECIAL = re.compile(r"[\"'*/,]")


def _split_free(line):
    """Values of one input line by the free-format rules: separated by blanks
    or by a comma (two adjacent commas, or a comma first, give a null value,
    None); quoted text may hold blanks; r*value repeats a value, r* gives r
    nulls; a slash ends the record.  Returns (values, slash_seen)."""
    if not _SPECIAL.search(line):
        return line.split(), False
    vals = []
    i, n = 0, len(line)
    after_value = False
    while i < n:
        c = line[i]
        if c in " \t":
            i += 1
            continue
        if c == "/":
            return vals, True
        if c == ",":
            if not after_value:
                vals.append(None)
            after_value = False
            i += 1
            continue
        if c in "'\"":
            j = i + 1
            buf = []
            while True:
                if j >= n:
                    raise ValueError("a quoted text is not closed")
                if line[j] == c:
                    if j + 1 < n and line[j + 1] == c:
                        buf.append(c)
                        j += 2
                        continue
                    break
                buf.append(line[j])
                j += 1
            vals.append(("text", "".join(buf)))
            i = j + 1
        else:
            j = i
            while j < n and line[j] not in " \t,/":
                j += 1
            token = line[i:j]
            m = re.fullmatch(r"(\d+)\*(.*)", token)
            if m:
                count = int(m.group(1))
                vals.extend([m.group(2) or None] * count)
            else:
                vals.append(token)
            i = j
        after_value = True
    return vals, False


class _FreeInput:
    """Record-by-record reading of a free-format input file: each record
    starts on a new line and takes values across lines until it has enough;
    values after the last one it needs on its last line are ignored."""

    def __init__(self, path):
        self.path = str(path)
        text = _read_text(path)
        self.lines = text.split("\n")
        if self.lines and self.lines[-1] == "":
            self.lines.pop()
        self.iline = 0

    def record(self, number, name, n):
        values, first_line = [], self.iline + 1
        while len(values) < n:
            if self.iline >= len(self.lines):
                raise QuilletFileError(self.path, number, name, len(self.lines) or None,
                                       "the file ends after %d of the %d values of this record"
                                       % (len([v for v in values if v is not None]), n))
            line = self.lines[self.iline].rstrip("\r")
            self.iline += 1
            try:
                got, slash = _split_free(line)
            except ValueError as e:
                raise QuilletFileError(self.path, number, name, self.iline, str(e)) from None
            values.extend(got)
            if slash:
                values.extend([None] * (n - len(values)))
        return values[:n], first_line

    def convert(self, number, name, line, value, kind, default):
        if value is None:
            return default
        try:
            if kind == "text":
                return value[1] if isinstance(value, tuple) else value
            if isinstance(value, tuple):
                raise ValueError
            if kind == "int":
                return int(value)
            return _real(value.replace("d", "e").replace("D", "e"))
        except ValueError:
            shown = value[1] if isinstance(value, tuple) else value
            raise QuilletFileError(self.path, number, name, line, "expected %s, found %r" % (
                "an integer" if kind == "int" else "a real number", shown[:40])) from None


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
    f = _FreeInput(path)
    vals, line = f.record(1, "title", 1)
    title = f.convert(1, "title", line, vals[0], "text", "")[:80]
    f.record(2, "discarded line", 1)
    name = "orb, xl, yl, sy"
    vals, line = f.record(3, name, 4)
    orb, xl, yl, sy = (f.convert(3, name, line, v, "real", 0.0) for v in vals)
    vals, line = f.record(4, "number of particles", 1)
    n = f.convert(4, "number of particles", line, vals[0], "int", 0)
    count = max(n, 0)
    table = np.zeros((count, 4))
    prev = [0.0, 0.0, 0.0, 0.0]
    for i in range(count):
        number = 5 + i
        if f.iline < len(f.lines):
            # Fast path for the usual plain line of four or more numbers.
            line_text = f.lines[f.iline]
            if not _SPECIAL.search(line_text):
                toks = line_text.split()
                if len(toks) >= 4:
                    try:
                        prev = [float(t) for t in toks[:4]]
                        table[i] = prev
                        f.iline += 1
                        continue
                    except ValueError:
                        pass
        rec_name = "particle %d: radius, x, y, z" % (i + 1)
        vals, line = f.record(number, rec_name, 4)
        prev = [f.convert(number, rec_name, line, v, "real", d) for v, d in zip(vals, prev)]
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

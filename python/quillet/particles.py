"""Readers for particle fields: the Particle position file that a run reads
(and the haze particle file, which has the same layout), in its text form or
its HDF5 form (docs/particle-file-hdf5.md), and the CHECK_POS file that a
run writes with ``idebug`` >= 1 (the field after the size cut, the haze
particles and the copies across the cell edges).  write_position_file writes
a Particle position file in either form.

Both give a ParticleField: sphere centres and radii in the cell
[-xl, xl] x [-yl, yl], which repeats with period 2 xl in x and 2 yl in y,
the copy one period away in x shifted by ``sy`` in y.
"""

import os
from dataclasses import dataclass

import numpy as np

from quillet._records import FreeReader, QuilletFileError, RecordReader, _SPECIAL, parse_real


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
    """Reads a Particle position file (or a haze particle file) in either
    form: HDF5 when the file begins with HDF5's signature (read with h5py,
    see read_position_file_hdf5), otherwise text:

      1  title (its first value, a word or a quoted text)
      2  a line whose first value is discarded
      3  orb, xl, yl, sy
      4  n, the number of particles
      5.. one particle per record: radius, x, y, z

    Values are separated by blanks or commas and may run over several lines;
    anything after the values a record needs is ignored.  Raises
    QuilletFileError when the file is malformed or ends too early.
    """
    if is_hdf5_file(path):
        return read_position_file_hdf5(path)
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
    ".CHECK_POS") or a Particle position file (text or HDF5)."""
    if str(path).endswith(".CHECK_POS"):
        return read_check_pos(path)
    return read_position_file(path).field()


# -- Particle position file, HDF5 form -------------------------------------

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
HDF5_VERSION = 1   # the layout version of the attribute "version"
HDF5_SUFFIXES = (".h5", ".hdf5")


def is_hdf5_file(path):
    """True when ``path`` begins with HDF5's signature (as the program decides
    the form of a particle file); False for any other file or none."""
    try:
        with open(path, "rb") as f:
            return f.read(len(HDF5_SIGNATURE)) == HDF5_SIGNATURE
    except OSError:
        return False


def read_position_file_hdf5(path):
    """Reads a Particle position file in HDF5 form: attributes ``version``
    (1), ``title``, ``orb``, ``xl``, ``yl``, ``sy`` (``note`` optional) of
    the root group and the float64 datasets ``r``, ``x``, ``y``, ``z`` of
    equal length, in the file format with checksums (h5py's
    ``libver="latest"``), as the program requires.  Raises QuilletFileError naming the attribute or dataset
    when one is missing or of another type or shape; the values themselves
    are checked by the program (and by write_position_file)."""
    import h5py

    def fail(name, reason):
        return QuilletFileError(path, None, name, None, reason)

    with open(path, "rb") as f:
        head = f.read(9)
    if len(head) < 9 or head[8] < 2:
        raise fail("", "expected the HDF5 file format with checksums (superblock version 2 or 3, h5py's "
                       "libver=\"latest\"), found superblock version %s (h5py's default libver=\"earliest\")"
                   % (head[8] if len(head) > 8 else "none"))
    try:
        f = h5py.File(path, "r")
    except OSError as e:
        raise fail("", "cannot be opened as an HDF5 file (%s)" % e) from None
    with f:
        attrs = f.attrs
        for name in ("version", "title", "orb", "xl", "yl", "sy"):
            if name not in attrs:
                raise fail("attribute " + name, "expected it, found none")
        version = attrs["version"]
        if np.ndim(version) != 0 or not np.issubdtype(np.asarray(version).dtype, np.integer) \
                or int(version) != HDF5_VERSION:
            raise fail("attribute version", "expected the layout version %d as an integer, found %r"
                       % (HDF5_VERSION, version))
        title = attrs["title"]
        if isinstance(title, bytes):
            title = title.decode("utf-8", errors="replace")
        if not isinstance(title, str):
            raise fail("attribute title", "expected text, found %r" % (title,))
        reals = []
        for name in ("orb", "xl", "yl", "sy"):
            v = np.asarray(attrs[name])
            if v.size != 1 or not (v.dtype == np.float64 or np.issubdtype(v.dtype, np.integer)):
                raise fail("attribute " + name, "expected one 64-bit float, found %r" % (attrs[name],))
            reals.append(float(v.reshape(())))
        columns = {}
        for name in ("r", "x", "y", "z"):
            d = f.get(name)
            if not isinstance(d, h5py.Dataset):
                raise fail("dataset " + name, "expected a dataset of 64-bit floats, found %s"
                           % ("none" if d is None else "another object"))
            if d.dtype != np.float64 or d.ndim != 1:
                raise fail("dataset " + name, "expected 64-bit floats in one dimension, found %s of shape %s"
                           % (d.dtype, d.shape))
            columns[name] = d[()]
        n = columns["r"].size
        for name in ("x", "y", "z"):
            if columns[name].size != n:
                raise fail("dataset " + name, "expected %d values, as many as dataset r holds, found %d"
                           % (n, columns[name].size))
    orb, xl, yl, sy = reals
    return PositionFile(path=str(path), title=title.split("\0")[0], orb=orb, xl=xl, yl=yl, sy=sy, npartori=n,
                        rpart=columns["r"].astype(float), xpart=columns["x"].astype(float),
                        ypart=columns["y"].astype(float), zpart=columns["z"].astype(float))


def _write_hdf5(tmp, x, y, z, r, xl, yl, sy, title, orb, note):
    import h5py

    # The newest file format: its metadata carry checksums, which the
    # program requires (a damaged file is then refused, not misread).
    with h5py.File(tmp, "w", libver="latest") as f:
        f.attrs["version"] = np.int32(HDF5_VERSION)
        # Fixed-length text (numpy bytes, UTF-8): read without the checks
        # that the program makes on the heap of variable-length text.
        f.attrs["title"] = np.bytes_(str(title).encode("utf-8"))
        f.attrs["note"] = np.bytes_(str(note).encode("utf-8"))
        for name, v in (("orb", orb), ("xl", xl), ("yl", yl), ("sy", sy)):
            f.attrs[name] = np.float64(v)
        # Contiguous (no chunks, no compression): the fastest to read, and
        # as large as the values.
        for name, a in (("r", r), ("x", x), ("y", y), ("z", z)):
            f.create_dataset(name, data=np.ascontiguousarray(a, dtype="<f8"))


# -- writing a Particle position file ------------------------------------------

# Ring + haze particles and their copies across the cell edges: a run numbers
# them in 32 bits (its tables are sized from the file).
MAX_PARTICLES = 2_147_483_630


def _folded_shift(sy, yl):
    for _ in range(10):
        if sy > yl:
            sy -= 2.0 * yl
        if sy < -yl:
            sy += 2.0 * yl
    return sy


def edge_copies(x, y, r, xl, yl, sy):
    """Number of copies of the spheres across the cell edges that a run adds
    (the eight neighbouring cells, the shift ``sy`` folded into [-yl, yl])."""
    x, y, r = (np.asarray(a, dtype=float) for a in (x, y, r))
    s = _folded_shift(float(sy), float(yl))
    count = 0
    for m in (-1, 0, 1):
        for k in (-1, 0, 1):
            if m == 0 and k == 0:
                continue
            xs = x + m * 2.0 * xl
            ys = y + k * 2.0 * yl + m * s
            count += int(np.count_nonzero((np.abs(xs) <= r + xl) & (np.abs(ys) <= r + yl)))
    return count


def _shortest(v):
    s = repr(float(v))
    return s if any(c in s for c in ".en") else s + ".0"


def write_position_file(path, x, y, z, r, xl, yl, sy, title="particles", orb=0.0,
                        note="written by quillet.write_position_file", form=None):
    """Writes a Particle position file from arrays (for example an N-body
    snapshot), in one of two forms that a run reads alike:

    ``form="text"``: the title, a note line, ``orb xl yl sy``, the count and
    one line ``radius x y z`` per sphere, every number in its shortest form
    that reads back to the same double;
    ``form="hdf5"``: an HDF5 file (h5py, the format with checksums) with
    the same values, bit for bit: attributes ``version``, ``title`` and
    ``note`` (fixed-length UTF-8 text), ``orb``, ``xl``, ``yl``,
    ``sy`` and the float64 datasets ``r``, ``x``, ``y``, ``z`` (smaller,
    written in a fraction of the time, and its values read by the program
    about ten times faster; docs/particle-file-hdf5.md).
    ``form=None`` (the default) takes "hdf5" when ``path`` ends in ".h5" or
    ".hdf5" and "text" otherwise.

    Refuses (ValueError, before anything is written) what a run would refuse:
    arrays of different lengths, a radius not above 0 or coordinates not
    finite, half-widths not above 0, a shift beyond 21 yl, and more spheres
    with their edge copies than a run's 32-bit particle numbers count
    (2,147,483,630).  A title or note is at most 80 characters on one line."""
    if form is None:
        form = "hdf5" if str(path).lower().endswith(HDF5_SUFFIXES) else "text"
    if form not in ("text", "hdf5"):
        raise ValueError("form = %r: expected \"text\" or \"hdf5\"" % (form,))
    arrays = [np.asarray(a, dtype=float).ravel() for a in (x, y, z, r)]
    n = arrays[0].size
    if any(a.size != n for a in arrays):
        raise ValueError("x, y, z and r have %s values: expected one each per particle"
                         % "/".join(str(a.size) for a in arrays))
    x, y, z, r = arrays
    for name, v in (("xl", xl), ("yl", yl), ("sy", sy), ("orb", orb)):
        if not np.isfinite(float(v)):
            raise ValueError("%s = %r: expected a finite number" % (name, v))
    xl, yl, sy = float(xl), float(yl), float(sy)
    if not (xl > 0.0 and yl > 0.0 and np.isfinite(4.0 * xl * yl)):
        raise ValueError("xl = %r, yl = %r: expected positive half-widths of the cell" % (xl, yl))
    if not abs(sy) <= 21.0 * yl:
        raise ValueError("sy = %r: expected a shift within 21*yl = %r of 0" % (sy, 21.0 * yl))
    bad = np.flatnonzero(~((r > 0.0) & np.isfinite(r * r)))
    if bad.size:
        raise ValueError("particle %d has radius %r: expected a radius above 0"
                         % (bad[0] + 1, r[bad[0]]))
    bad = np.flatnonzero(~(np.isfinite(x) & np.isfinite(y) & np.isfinite(z)))
    if bad.size:
        i = bad[0]
        raise ValueError("particle %d at (%r, %r, %r): expected finite coordinates"
                         % (i + 1, x[i], y[i], z[i]))
    if n > MAX_PARTICLES:
        raise ValueError("%d particles, more than the %d a 32-bit particle number counts"
                         % (n, MAX_PARTICLES))
    copies = edge_copies(x, y, r, xl, yl, sy)
    if n + copies > MAX_PARTICLES:
        raise ValueError("%d particles and %d edge copies make %d, more than the %d a 32-bit "
                         "particle number counts" % (n, copies, n + copies, MAX_PARTICLES))
    for name, text in (("title", title), ("note", note)):
        if len(str(text)) > 80 or "\n" in str(text) or "\r" in str(text):
            raise ValueError("%s = %r: expected at most 80 characters on one line" % (name, text))
    folder = os.path.dirname(os.path.abspath(path))
    tmp = os.path.join(folder, ".%s.part%d" % (os.path.basename(path), os.getpid()))
    try:
        if form == "hdf5":
            _write_hdf5(tmp, x, y, z, r, xl, yl, sy, title, float(orb), note)
        else:
            lines = ["'%s'" % str(title).replace("'", "''"), "'%s'" % str(note).replace("'", "''"),
                     " ".join(_shortest(v) for v in (orb, xl, yl, sy)), str(n)]
            lines += ["%s %s %s %s" % (_shortest(a), _shortest(b), _shortest(c), _shortest(d))
                      for a, b, c, d in zip(r, x, y, z)]
            with open(tmp, "w", encoding="utf-8") as out:
                out.write("\n".join(lines) + "\n")
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise
    return str(path)

"""Observation tables: one row per image, each with its own geometry.

    rows = quillet.read_observations("images.csv")
    ds = quillet.observe(deck, rows, jobs=2)

A table has the columns ``bsun`` (Sun elevation), ``latobs`` (observer
elevation) and one of ``phase_angle`` or ``azimuth`` (the observer's azimuth
relative to the Sun), all in degrees, and optionally ``name`` (a label of the
image).  It is given as a CSV file with these names in its first line, as a
dict of columns, or as a list of rows (dicts).  Every row is checked before
any run: a row that cannot be seen, a missing column or a value that is not a
number is refused with a message naming the table, the row and the value.
"""

import csv
import math

import numpy as np

from quillet.deck import DeckError
from quillet.geometry import _phase_problem, phase_range

COLUMNS = ("bsun", "latobs", "phase_angle", "azimuth", "name")
GEOMETRY = ("phase_angle", "azimuth")


class Observations:
    """A checked observation table: arrays ``bsun``, ``latobs``, ``fiiobs``
    (the deck's form: the phase angle, or 1000 + the azimuth), the column it
    was given by (``given``: "phase_angle" or "azimuth"), ``name`` (labels
    or None) and ``source`` (the file, or "observation table")."""

    def __init__(self, source, bsun, latobs, fiiobs, given, name=None):
        self.source = source
        self.bsun = np.asarray(bsun, dtype=float)
        self.latobs = np.asarray(latobs, dtype=float)
        self.fiiobs = np.asarray(fiiobs, dtype=float)
        self.given = given
        self.name = name

    def __len__(self):
        return int(self.bsun.size)

    def groups(self):
        """{Sun elevation: row indices}: the rows that share the runs of one
        Sun elevation, in the order of their first row."""
        out = {}
        for i, b in enumerate(self.bsun):
            out.setdefault(float(b), []).append(i)
        return out

    def __repr__(self):
        return "Observations(%r, %d rows, by %s)" % (self.source, len(self), self.given)


def _fail(source, row, column, value, why):
    where = "%s, row %d" % (source, row) if row else source
    if column:
        where += ": %s = %s" % (column, value)
    elif value is not None:
        where += ": %s" % value
    raise DeckError("observations", value, "%s: %s" % (where, why))


def _number(source, row, column, value):
    if isinstance(value, str):
        text = value.strip()
        try:
            v = float(text)
        except ValueError:
            _fail(source, row, column, repr(value), "expected a number (degrees)")
    elif isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer,
                                                                         np.floating)):
        _fail(source, row, column, repr(value), "expected a number (degrees)")
    else:
        v = float(value)
    if not math.isfinite(v):
        _fail(source, row, column, value, "expected a finite number (degrees)")
    return v


def _rows_of(table, source):
    """The table as (list of column names, list of row dicts, source)."""
    import os

    if isinstance(table, Observations):
        return None, table, table.source
    if isinstance(table, (str, os.PathLike)):
        path = os.fspath(table)
        try:
            with open(path, newline="", encoding="utf-8") as f:
                lines = [ln for ln in f if ln.strip() and not ln.lstrip().startswith("#")]
        except OSError as e:
            raise DeckError("observations", path, "%s: cannot read the observation table: %s"
                            % (path, e.strerror or e)) from None
        reader = csv.reader(lines)
        try:
            header = [h.strip() for h in next(reader)]
        except StopIteration:
            _fail(path, 0, None, None, "empty: expected a first line naming the columns "
                  "bsun, latobs and phase_angle or azimuth")
        rows = []
        for i, rec in enumerate(reader, start=1):
            if len(rec) != len(header):
                _fail(path, i, None, None, "%d values, the first line names %d columns"
                      % (len(rec), len(header)))
            rows.append(dict(zip(header, rec)))
        return header, rows, path
    if isinstance(table, dict):
        header = list(table)
        lengths = {k: len(v) for k, v in table.items()}
        if len(set(lengths.values())) > 1:
            _fail(source, 0, None, None, "the columns differ in length (%s)"
                  % ", ".join("%s %d" % kv for kv in lengths.items()))
        n = next(iter(lengths.values()), 0)
        return header, [{k: table[k][i] for k in header} for i in range(n)], source
    rows = list(table)
    header = []
    for i, row in enumerate(rows, start=1):
        if not isinstance(row, dict):
            _fail(source, i, None, repr(row), "expected a row of named values "
                  "(bsun, latobs, phase_angle or azimuth)")
        for k in row:
            if k not in header:
                header.append(k)
    return header, rows, source


def read_observations(table, source="observation table"):
    """Checks an observation table (a CSV file name, a dict of columns or a
    list of row dicts) and returns it as Observations.  Raises DeckError
    naming the table, the row (1 = the first row after the header) and the
    value for anything that cannot run."""
    header, rows, source = _rows_of(table, source)
    if header is None:
        return rows
    for h in header:
        if h not in COLUMNS:
            _fail(source, 0, None, None, "unknown column %r (the columns are bsun, latobs, "
                  "phase_angle or azimuth, and name)" % h)
    for need in ("bsun", "latobs"):
        if need not in header:
            _fail(source, 0, None, None, "no column %s (the columns are bsun, latobs and "
                  "phase_angle or azimuth)" % need)
    given = [g for g in GEOMETRY if g in header]
    if len(given) != 1:
        _fail(source, 0, None, None, "expected exactly one of the columns phase_angle and "
              "azimuth, found %s" % (" and ".join(given) or "neither"))
    given = given[0]
    if not rows:
        _fail(source, 0, None, None, "no rows")
    bsun, lat, fii, names = [], [], [], []
    for i, row in enumerate(rows, start=1):
        missing = [c for c in ("bsun", "latobs", given) if row.get(c) in (None, "")]
        if missing:
            _fail(source, i, None, None, "no value for %s" % ", ".join(missing))
        b = _number(source, i, "bsun", row["bsun"])
        if not -90.0 <= b <= 90.0 or b == 0.0:
            _fail(source, i, "bsun", "%g" % b, "expected a Sun elevation from -90 to 90 degrees "
                  "other than 0")
        la = _number(source, i, "latobs", row["latobs"])
        if not -90.0 <= la <= 90.0 or la == 0.0:
            _fail(source, i, "latobs", "%g" % la, "expected an observer elevation from -90 to "
                  "90 degrees other than 0")
        g = _number(source, i, given, row[given])
        if given == "phase_angle":
            if not 0.0 <= g <= 180.0:
                _fail(source, i, given, "%g" % g, "expected a phase angle from 0 to 180 degrees")
            problem = _phase_problem(b, la, g)
            if problem:
                lo, hi = phase_range(b, la)
                _fail(source, i, given, "%g" % g, "cannot be seen with the Sun at elevation %g "
                      "and the observer at %g: %s (allowed %g to %g)" % (b, la, problem, lo, hi))
            f = g
        else:
            if not -180.0 <= g <= 180.0:
                _fail(source, i, given, "%g" % g, "expected an azimuth from the Sun from -180 "
                      "to 180 degrees")
            f = 1000.0 + g
        bsun.append(b)
        lat.append(la)
        fii.append(f)
        names.append("" if row.get("name") is None else str(row["name"]).strip())
    return Observations(source, bsun, lat, fii, given,
                        names if "name" in header else None)

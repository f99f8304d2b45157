"""Record-by-record reading of quillet's free-format result files.

quillet writes each record on one line: items separated by one blank,
integers in decimal, doubles and single-precision values in their shortest
round-trip form, 80-character text fields at full width.  A reader still has
to take numeric values in order and ignore line breaks (a long record may go
on over further lines), so numeric records are read as a stream of values.
A text field is a whole record on its own line and is taken by position.

Everything that can go wrong with the file's contents ends in one exception,
QuilletFileError, which names the file, the record (number and name), the line
and what was expected.
"""

import warnings

import numpy as np

TEXT_WIDTH = 80


class QuilletFileError(ValueError):
    """A quillet file that is malformed or ends too early.

    Attributes: ``path`` (the file), ``record`` (1-based record number or
    None), ``name`` (the record's name, e.g. "testw"), ``line`` (1-based line
    number or None) and ``reason`` (what was expected or found).
    """

    def __init__(self, path, record, name, line, reason):
        self.path = str(path)
        self.record = record
        self.name = name
        self.line = line
        self.reason = reason
        where = self.path
        if record is not None:
            where += ": record %d (%s)" % (record, name)
        elif name:
            where += ": %s" % name
        if line is not None:
            where += ", line %d" % line
        super().__init__("%s: %s" % (where, reason))


def _read_text(path):
    # Latin-1 maps every byte to one character, so an 80-byte text field is
    # 80 characters whatever it holds, and no byte makes decoding fail.
    with open(path, "rb") as f:
        return f.read().decode("latin-1")


def field_text(raw):
    """The text of an 80-character field as a str, trailing blanks removed."""
    return raw.encode("latin-1").decode("utf-8", errors="replace").rstrip(" ")


class RecordReader:
    """Cursor over the lines of one file.

    Numeric reads take values in order across line ends; a text read takes
    the next whole line after the last line a value came from (lines of
    length zero, the form of an empty numeric record, are passed over).
    ``begin(number, name)`` names the record that the next reads belong to,
    for the messages.
    """

    def __init__(self, path, text=None):
        self.path = str(path)
        if text is None:
            text = _read_text(path)
        lines = text.split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        self.lines = [ln[:-1] if ln.endswith("\r") else ln for ln in lines]
        self.iline = 0        # index of the current line
        self.tokens = None    # the current line split into values, when needed
        self.itok = 0         # values of the current line already taken
        self.started = False  # a value or a text was taken from the current line
        self.record = None
        self.name = ""

    # -- messages -------------------------------------------------------
    def error(self, reason, line=None):
        if line is None:
            line = min(self.iline, len(self.lines) - 1) + 1 if self.lines else None
        return QuilletFileError(self.path, self.record, self.name, line, reason)

    def begin(self, number, name):
        self.record = number
        self.name = name

    # -- numeric values ---------------------------------------------------
    def _line_tokens(self):
        if self.tokens is None:
            self.tokens = self.lines[self.iline].split()
        return self.tokens

    def _next_line(self):
        self.iline += 1
        self.tokens = None
        self.itok = 0
        self.started = False

    def _take(self, n):
        """The next n value tokens with the line number of each chunk."""
        out = []
        lines = []
        need = n
        while need > 0:
            if self.iline >= len(self.lines):
                got = n - need
                err = self.error(
                    "the file ends after %d of the %d values of this record" % (got, n),
                    line=len(self.lines) if self.lines else None,
                )
                err.values_read = got
                raise err
            toks = self._line_tokens()
            avail = len(toks) - self.itok
            if avail <= 0:
                self._next_line()
                continue
            k = min(avail, need)
            out.extend(toks[self.itok:self.itok + k])
            lines.append((self.iline + 1, k))
            self.itok += k
            self.started = True
            need -= k
        return out, lines

    def _fast_line(self, n, dtype):
        """Whole-line fast path for a long record standing on its own line:
        parsed in one call, when the line holds exactly the n values."""
        if self.started:
            if self.itok < len(self._line_tokens()):
                return None
            self._next_line()
        if self.iline >= len(self.lines):
            return None
        line = self.lines[self.iline]
        body = line.strip()
        if not body or "  " in body or "\t" in body:
            return None
        if body.count(" ") + 1 != n:
            return None
        if dtype is np.int64 and any(c in body for c in ".eEnNiI"):
            return None  # not all integers: the slow path names the bad value
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                values = np.fromstring(body, dtype=dtype, sep=" ")
            except (DeprecationWarning, ValueError):
                return None
        if values.size != n:
            return None
        # The line is used up; the next read starts on the next line.
        self.started = True
        self.tokens = []
        self.itok = 0
        return values

    def _locate(self, tokens, lines, conv):
        # Slow path after a failed bulk conversion: find the first bad value.
        i = 0
        for lineno, k in lines:
            for t in tokens[i:i + k]:
                try:
                    conv(t)
                except ValueError:
                    return QuilletFileError(
                        self.path, self.record, self.name, lineno,
                        "expected %s, found %r" % (
                            "an integer" if conv is int else "a real number", t[:40]),
                    )
            i += k
        return self.error("unreadable values")

    def reals(self, n, dtype=np.float64):
        """The next n real values as an array of ``dtype``."""
        n = int(n)
        if n == 0:
            return np.zeros(0, dtype=dtype)
        if n >= 64:
            values = self._fast_line(n, dtype)
            if values is not None:
                return values
        tokens, lines = self._take(n)
        try:
            return np.array(tokens, dtype=dtype)
        except ValueError:
            raise self._locate(tokens, lines, _real) from None

    def ints(self, n):
        """The next n integer values as an int64 array."""
        n = int(n)
        if n == 0:
            return np.zeros(0, dtype=np.int64)
        if n >= 64:
            values = self._fast_line(n, np.int64)
            if values is not None:
                return values
        tokens, lines = self._take(n)
        try:
            return np.array(tokens, dtype=np.int64)
        except (ValueError, OverflowError):
            raise self._locate(tokens, lines, int) from None

    def table(self, nrows, ncols, int_cols, first_record, row_name):
        """``nrows`` records of ``ncols`` values each, as a float64 array of
        shape (nrows, ncols); the columns in ``int_cols`` must be integers.
        Record ``first_record + i`` is row i, named ``row_name % (i + 1)``."""
        nrows = int(nrows)
        self.begin(first_record, row_name % 1)
        try:
            tokens, lines = self._take(nrows * ncols)
        except QuilletFileError as e:
            # Name the row the file ends in.
            got = getattr(e, "values_read", 0)
            row = got // ncols
            e2 = QuilletFileError(self.path, first_record + row, row_name % (row + 1), e.line,
                                  "the file ends after %d of the %d values of this record"
                                  % (got - row * ncols, ncols))
            raise e2 from None
        if nrows == 0:
            return np.zeros((0, ncols))
        try:
            out = np.array(tokens, dtype=np.float64).reshape(nrows, ncols)
            for c in int_cols:
                out[:, c] = np.array(tokens[c::ncols], dtype=np.int64)
            return out
        except (ValueError, OverflowError):
            pass
        # Find the first bad value and name its record and line.
        line_of = []
        for lineno, k in lines:
            line_of.extend([lineno] * k)
        for idx, t in enumerate(tokens):
            conv = int if idx % ncols in int_cols else _real
            try:
                conv(t)
            except ValueError:
                row = idx // ncols
                raise QuilletFileError(
                    self.path, first_record + row, row_name % (row + 1), line_of[idx],
                    "expected %s, found %r" % ("an integer" if conv is int else "a real number",
                                               t[:40])) from None
        raise self.error("unreadable values")

    def real(self):
        return float(self.reals(1)[0])

    def int(self):
        return int(self.ints(1)[0])

    # -- text -------------------------------------------------------------
    def text(self):
        """The next 80-character text field: a whole line of its own."""
        if self.started:
            toks = self._line_tokens()
            if self.itok < len(toks):
                raise self.error(
                    "unexpected values %r before the text field" % " ".join(toks[self.itok:][:3]))
            self._next_line()
        while self.iline < len(self.lines) and self.lines[self.iline] == "":
            self._next_line()
        if self.iline >= len(self.lines):
            raise self.error("the file ends before this text field", line=len(self.lines) or None)
        raw = self.lines[self.iline]
        if len(raw) > TEXT_WIDTH:
            raise self.error("a text field is %d characters; this line has %d"
                             % (TEXT_WIDTH, len(raw)))
        self.started = True
        self.tokens = []
        self.itok = 0
        return field_text(raw.ljust(TEXT_WIDTH))

    # -- checks -----------------------------------------------------------
    def expect(self, value, wanted, what):
        if value != wanted:
            raise self.error("expected %s %r, found %r" % (what, wanted, value))

    def finish(self):
        """Checks that nothing but blank lines follows the last record."""
        toks = self._line_tokens() if self.iline < len(self.lines) else []
        if self.itok < len(toks):
            raise QuilletFileError(self.path, None, "after the last record", self.iline + 1,
                                   "unexpected data %r" % " ".join(toks[self.itok:][:3]))
        for i in range(self.iline + 1, len(self.lines)):
            if self.lines[i].strip():
                raise QuilletFileError(self.path, None, "after the last record", i + 1,
                                       "unexpected data %r" % self.lines[i].strip()[:40])


def _real(token):
    # float() reads "nan", "inf" and "-inf"; the program may also write "-nan".
    if token in ("-nan", "+nan"):
        return float("nan")
    return float(token)

"""Free-format reading, record by record, shared by every reader of the
package: the parameter deck, the Particle position files, the CHECK_POS file
and the result files.

The rules are the program's own:

  - every record begins at the start of a new line and may continue over
    further lines when a line holds fewer values than the record asks for;
    whatever follows the record's last value on its last line is ignored;
  - values are separated by blanks (or line ends) or by a comma with optional
    blanks around it; two adjacent commas (or a comma opening the record)
    leave a value unchanged;
  - r*value stands for r equal values, r* for r unchanged values;
  - a slash ends the record early and leaves its remaining values unchanged;
  - text is bare (ending at a blank, comma or slash) or in quotes ('...' or
    "...", a doubled quote standing for one), then it may hold blanks;
  - an int must be written as an integer (and fit 32 bits); a real may have a
    decimal point and an exponent (e, E, d or D); one too large for a double
    is an error, one too small reads as 0.

The result files add one form: an 80-character text field standing alone on
its line, blanks included (``line_text``).  Their readers are strict
(``strict=True``): the program writes nothing after a record's values, so
left-over values are refused there instead of being taken as a comment.

Everything that can go wrong with a file's contents ends in one exception,
QuilletFileError, which names the file, the record (number and name), the
line and what was expected.
"""

import re
import warnings

import numpy as np

TEXT_WIDTH = 80
INT32_MIN, INT32_MAX = -2**31, 2**31 - 1


class QuilletFileError(ValueError):
    """A quillet file that is malformed or ends too early.

    Attributes: ``path`` (the file, or "standard input"), ``record`` (1-based
    record number or None), ``name`` (the record's name, e.g. "testw"),
    ``line`` (1-based line number or None) and ``reason`` (what was expected
    or found).
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
    """The text of a fixed-width field as a str, trailing blanks removed."""
    return raw.encode("latin-1").decode("utf-8", errors="replace").rstrip(" ")


class Quoted(str):
    """A value that was written in quotes: text only, never a number."""


_REAL = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eEdD][+-]?\d+)?\Z")
_SPECIAL_NAMES = {"nan": float("nan"), "inf": float("inf"), "infinity": float("inf")}
_INT = re.compile(r"[+-]?\d+\Z")
_BLANKS = " \t\r\f\v"
_SPECIAL = re.compile(r"[\"'*/,]")
# Characters a plain line of numbers may hold (fast path of long records).
_NUMERIC_LINE = re.compile(r"[^0-9.+\-eE \t]")
_INT_LINE = re.compile(r"[^0-9+\- \t]")


def parse_real(token):
    """A real by the program's rules; raises ValueError otherwise."""
    if isinstance(token, Quoted):
        raise ValueError(token)
    body = token.lstrip("+-")
    if len(token) - len(body) <= 1 and body.lower() in _SPECIAL_NAMES:
        v = _SPECIAL_NAMES[body.lower()]
        return -v if token.startswith("-") else v
    if not _REAL.match(token):
        raise ValueError(token)
    v = float(token.replace("d", "e").replace("D", "e"))
    if v in (float("inf"), float("-inf")):
        raise ValueError(token)  # too large for a double
    return v


def parse_int(token):
    """A 32-bit integer by the program's rules; raises ValueError otherwise."""
    if isinstance(token, Quoted) or not _INT.match(token):
        raise ValueError(token)
    v = int(token)
    if not INT32_MIN <= v <= INT32_MAX:
        raise ValueError(token)
    return v


# Kept for older callers: the same rules as parse_real.
_real = parse_real


class _Line:
    """The items of one line, split by the free-format rules.

    ``items`` holds str (bare), Quoted (quoted) or None (null) values;
    ``slash`` tells whether a slash ended the record on this line.  The
    comma state crosses line ends within a record, so it comes in as
    ``after_value`` and goes out as ``self.after_value``.
    """

    __slots__ = ("items", "slash", "after_value", "error")

    def __init__(self, text, after_value):
        self.items = []
        self.slash = False
        self.error = None
        if not _SPECIAL.search(text):
            self.items = text.split()
            self.after_value = after_value or bool(self.items)
            return
        items = self.items
        i, n = 0, len(text)
        while i < n:
            c = text[i]
            if c in _BLANKS:
                i += 1
                continue
            if c == ",":
                i += 1
                if after_value:
                    after_value = False
                else:
                    items.append(None)
                continue
            if c == "/":
                self.slash = True
                break
            after_value = True
            d = i
            while d < n and text[d].isdigit():
                d += 1
            repeat = 1
            if d > i and d < n and text[d] == "*":
                repeat = int(text[i:d])
                if repeat < 1:
                    self.error = "expected a repeat count of at least 1, found %r" % text[i:d + 1]
                    break
                i = d + 1
                if i >= n or text[i] in _BLANKS + ",/":
                    items.extend([None] * repeat)
                    continue
            if text[i] in "'\"":
                q = text[i]
                j = i + 1
                buf = []
                while True:
                    if j >= n:
                        self.error = "expected a text with its closing quote, found %r" % text[i:][:60]
                        break
                    if text[j] == q:
                        if j + 1 < n and text[j + 1] == q:
                            buf.append(q)
                            j += 2
                            continue
                        break
                    buf.append(text[j])
                    j += 1
                if self.error:
                    break
                j += 1
                if j < n and text[j] not in _BLANKS + ",/":
                    self.error = ("expected a blank, comma or slash after the closing quote, "
                                  "found %r" % text[j:][:60])
                    break
                value = Quoted("".join(buf))
            else:
                j = i
                while j < n and text[j] not in _BLANKS + ",/":
                    j += 1
                value = text[i:j]
            items.extend([value] * repeat)
            i = j
        self.after_value = after_value


class FreeReader:
    """Record-by-record cursor over the lines of one file (or of a text).

    ``begin(number, name)`` starts the next record at the beginning of the
    next line and names it for the messages; ``values``, ``reals``, ``ints``,
    ``text`` and ``line_text`` then take its values.  ``strict`` refuses
    values left over on a record's last line (result files); without it they
    are a comment, as in the program's input files.
    """

    def __init__(self, path, text=None, strict=False, source=None):
        self.path = str(source if source is not None else path)
        if text is None:
            text = _read_text(path)
        lines = text.split("\n")
        if lines and lines[-1] == "":
            lines.pop()
        self.lines = [ln[:-1] if ln.endswith("\r") else ln for ln in lines]
        self.strict = strict
        self.iline = 0        # index of the current line
        self.cur = None       # the current line split (_Line), when it belongs to the record
        self.itok = 0         # items of the current line already taken
        self.ended = False    # a slash ended the current record
        self.after_value = False
        self.record = None
        self.name = ""

    # -- messages -------------------------------------------------------
    def error(self, reason, line=None):
        if line is None:
            line = min(self.iline, len(self.lines) - 1) + 1 if self.lines else None
        return QuilletFileError(self.path, self.record, self.name, line, reason)

    def _leftover(self):
        if self.cur is None or self.ended:
            return []
        return self.cur.items[self.itok:]

    def begin(self, number, name):
        """Starts record ``number`` (named ``name``) on the next line."""
        self.record = number
        self.name = name
        if self.cur is not None:
            left = self._leftover()
            if self.strict and left:
                raise self.error("unexpected values %r after the previous record"
                                 % " ".join("" if v is None else v for v in left[:3]))
            self.iline += 1
        self.cur = None
        self.itok = 0
        self.ended = False
        self.after_value = False

    # -- raw values ---------------------------------------------------------
    def _load(self):
        if self.iline >= len(self.lines):
            return False
        self.cur = _Line(self.lines[self.iline], self.after_value)
        self.after_value = self.cur.after_value
        self.itok = 0
        if self.cur.error:
            raise self.error(self.cur.error, line=self.iline + 1)
        return True

    def values(self, n):
        """The next n raw values of the record (str, Quoted, or None for an
        unchanged value) and, per chunk, (line number, count)."""
        out, lines = [], []
        need = n
        while need > 0:
            if self.ended:
                out.extend([None] * need)
                break
            if self.cur is None:
                if not self._load():
                    got = n - need
                    err = self.error("the file ends after %d of the %d values of this record"
                                     % (got, n), line=len(self.lines) if self.lines else None)
                    err.values_read = got
                    raise err
            avail = len(self.cur.items) - self.itok
            if avail <= 0:
                if self.cur.slash:
                    self.ended = True
                    continue
                self.iline += 1
                self.cur = None
                continue
            k = min(avail, need)
            out.extend(self.cur.items[self.itok:self.itok + k])
            lines.append((self.iline + 1, k))
            self.itok += k
            need -= k
            if self.itok == len(self.cur.items) and self.cur.slash:
                self.ended = True
        return out, lines

    def _fast_line(self, n, dtype):
        """A long record standing alone on plain lines of numbers, converted
        by numpy in one call; None when the slow path has to do it."""
        if self.cur is not None or self.ended or self.iline >= len(self.lines):
            return None
        line = self.lines[self.iline]
        check = _INT_LINE if dtype is np.int64 else _NUMERIC_LINE
        if check.search(line):
            return None
        toks = line.split()
        if len(toks) < n or (len(toks) > n and self.strict):
            return None
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            try:
                values = np.array(toks[:n], dtype=dtype)
            except (ValueError, OverflowError, RuntimeWarning):
                return None
        if dtype is np.int64:
            if values.size and (values.min() < INT32_MIN or values.max() > INT32_MAX):
                return None
        elif not np.all(np.isfinite(values)):
            return None  # an overflow or a spelled-out value: the slow path decides
        self.cur = _Line("", False)
        self.cur.items = toks
        self.itok = n
        return values if values.dtype == dtype else values.astype(dtype)

    def _convert(self, tokens, lines, conv, what, default):
        line_of = [ln for ln, k in lines for _ in range(k)]
        out = []
        for idx, t in enumerate(tokens):
            lineno = line_of[idx] if idx < len(line_of) else self.iline + 1
            if t is None:
                if default is None:
                    raise QuilletFileError(self.path, self.record, self.name, lineno,
                                           "expected %s, found an empty value" % what)
                out.append(default[idx] if isinstance(default, (list, tuple, np.ndarray))
                           else default)
                continue
            try:
                out.append(conv(t))
            except ValueError:
                raise QuilletFileError(self.path, self.record, self.name, lineno,
                                       "expected %s, found %r" % (what, str(t)[:60])) from None
        return out

    def reals(self, n, dtype=np.float64, default=None):
        """The next n reals as an array of ``dtype``; an unchanged value
        takes ``default`` (a number or a sequence), or is an error."""
        n = int(n)
        if n >= 64:
            fast = self._fast_line(n, dtype)
            if fast is not None:
                return fast
        tokens, lines = self.values(n)
        return np.array(self._convert(tokens, lines, parse_real, "a real number", default),
                        dtype=dtype).reshape(n)

    def ints(self, n, default=None):
        """The next n 32-bit integers as an int64 array."""
        n = int(n)
        if n >= 64:
            fast = self._fast_line(n, np.int64)
            if fast is not None:
                return fast
        tokens, lines = self.values(n)
        return np.array(self._convert(tokens, lines, parse_int, "an integer", default),
                        dtype=np.int64).reshape(n)

    def real(self, default=None):
        return float(self.reals(1, default=default)[0])

    def int(self, default=None):
        return int(self.ints(1, default=default)[0])

    def text(self, default=None, width=TEXT_WIDTH):
        """The next text value (bare or quoted), cut to ``width`` characters."""
        (tok,), lines = self.values(1)
        if tok is None:
            if default is None:
                raise self.error("expected a text, found an empty value")
            return default
        return str(tok)[:width]

    def table(self, nrows, ncols, int_cols, first_record, row_name):
        """``nrows`` records of ``ncols`` values each, as a float64 array of
        shape (nrows, ncols); the columns in ``int_cols`` must be integers.
        Record ``first_record + i`` is row i, named ``row_name % (i + 1)``."""
        nrows = int(nrows)
        out = np.zeros((nrows, ncols))
        convs = [parse_int if c in int_cols else parse_real for c in range(ncols)]
        for i in range(nrows):
            self.begin(first_record + i, row_name % (i + 1))
            # Plain line with exactly the values: the usual case, converted at once.
            if self.iline < len(self.lines):
                toks = self.lines[self.iline].split()
                if len(toks) == ncols and not _SPECIAL.search(self.lines[self.iline]):
                    try:
                        out[i] = [conv(t) for conv, t in zip(convs, toks)]
                        self.cur = _Line("", False)
                        self.cur.items = toks
                        self.itok = ncols
                        continue
                    except ValueError:
                        pass
            tokens, lines = self.values(ncols)
            line_of = [ln for ln, k in lines for _ in range(k)]
            out[i] = [self._convert([t], [(line_of[c] if c < len(line_of) else self.iline + 1, 1)],
                                    convs[c], "an integer" if c in int_cols else "a real number",
                                    None)[0]
                      for c, t in enumerate(tokens)]
        return out

    def line_text(self, width=TEXT_WIDTH):
        """The next fixed-width text field of a result file: a whole line of
        its own (lines of length zero, the form of an empty numeric record,
        are passed over), trailing blanks removed."""
        while self.iline < len(self.lines) and self.lines[self.iline] == "":
            self.iline += 1
        if self.iline >= len(self.lines):
            raise self.error("the file ends before this text field", line=len(self.lines) or None)
        raw = self.lines[self.iline]
        if len(raw) > width:
            raise self.error("a text field is %d characters; this line has %d" % (width, len(raw)))
        self.cur = _Line("", False)
        return field_text(raw.ljust(width))

    # -- checks -----------------------------------------------------------
    def expect(self, value, wanted, what):
        if value != wanted:
            raise self.error("expected %s %r, found %r" % (what, wanted, value))

    def at_end(self):
        """True when only blank lines follow the current record."""
        start = self.iline + (1 if self.cur is not None else 0)
        return all(not ln.strip() for ln in self.lines[start:])

    def finish(self):
        """Checks that nothing but blank lines follows the last record (and,
        when strict, nothing after its values)."""
        if self.strict and self._leftover():
            raise QuilletFileError(self.path, None, "after the last record", self.iline + 1,
                                   "unexpected data %r" % " ".join(
                                       "" if v is None else v for v in self._leftover()[:3]))
        start = self.iline + (1 if self.cur is not None else 0)
        for i in range(start, len(self.lines)):
            if self.lines[i].strip():
                raise QuilletFileError(self.path, None, "after the last record", i + 1,
                                       "unexpected data %r" % self.lines[i].strip()[:40])


# The result-file readers' name for the same cursor.
def RecordReader(path, text=None):
    return FreeReader(path, text, strict=True)

"""Study files and the quillet-study command.

A study file is TOML with these tables:

    [deck]                      # deck values by name
    file = "example.deck"       # optional: start from this deck
    posfile = "ring.pos"
    method = 4
    ppar1 = -0.3
    ssca_part = 0.5
    nxphot = 100
    nyphot = 100

    [observers]                 # every combination is one direction
    latobs = 20.0
    phase_angle = [5, 10, 20, 40, 60, 90]   # or fiiobs = [...] (as in a deck),
                                            # or azimuth = [...] (from the Sun)

    [sweep]                     # deck values with lists: one dimension each
    bsun = [10, 20, 40]
    paired = ["bsun", "latobs"] # optional: these taken together, row by row
                                # (latobs sets every direction's elevation)

Instead of [observers], an observation table, one row per image:

    [observations]
    file = "images.csv"         # columns bsun, latobs, phase_angle or azimuth
                                # (and name); or in the file itself:
    columns = ["bsun", "latobs", "phase_angle"]
    rows = [[10, 10, 0.1], [10, 10, 0.5], [25, 25, 2.0]]

An ensemble of fields instead of the deck's posfile:

    [field]                     # quillet-field's options, and the seeds
    xl = 30
    yl = 30
    rmin = 0.2
    rmax = 2.0
    q = 3
    tau = 0.75
    filling = 0.15
    seeds = [1, 2, 3]           # or: files = ["a.pos", "b.pos"]

File names are taken relative to the study file's folder.
"""

import argparse
import math
import os
import sys
import tempfile

from quillet._records import QuilletFileError
from quillet.deck import Deck, DeckError

TABLES = ("deck", "observers", "observations", "field", "sweep")
OBSERVER_KEYS = ("latobs", "phase_angle", "fiiobs", "azimuth")
_LISTS = ("latobs", "fiiobs", "latgrid", "fiigrid")


class StudyError(ValueError):
    """A study file that cannot run: the message names the file, the table,
    the key and the value."""


def _show(value):
    if isinstance(value, str):
        return '"%s"' % value
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, list):
        return "[" + ", ".join(_show(v) for v in value) + "]"
    return repr(value)


def _numbers(path, key, value, table="observers"):
    values = value if isinstance(value, list) else [value]
    if not values:
        raise StudyError("%s: [%s] %s = []: expected a number or a list of numbers"
                         % (path, table, key))
    for v in values:
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
            raise StudyError("%s: [%s] %s = %s: expected a number or a list of numbers (degrees)"
                             % (path, table, key, _show(value)))
    return [float(v) for v in values]


def _coerce(path, table, key, value):
    """A TOML value as the deck value ``key`` needs it."""
    kind = Deck.kind(key)
    where = "%s: [%s] %s = %s" % (path, table, key, _show(value))
    if kind == "t":
        if not isinstance(value, str):
            raise StudyError("%s: expected a text (a file name in quotes)" % where)
        return value
    if kind == "i":
        if isinstance(value, bool) or not isinstance(value, int):
            raise StudyError("%s: expected an integer" % where)
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise StudyError("%s: expected a number" % where)
    if not math.isfinite(value):
        raise StudyError("%s: expected a finite number" % where)
    return float(value)


def read_study(path):
    """Reads a study file: returns (deck, sweep axes, the [deck] and [sweep]
    tables as given, for the messages).  Raises StudyError
    naming the table, key and value for anything that cannot run (the
    values of every combination are checked by ``sweep`` before any run)."""
    import tomllib  # Python 3.11 and later

    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as e:
        raise StudyError("%s: cannot read the study file: %s" % (path, e.strerror or e)) from None
    except tomllib.TOMLDecodeError as e:
        raise StudyError("%s: not a valid TOML file: %s" % (path, e)) from None
    base = os.path.dirname(os.path.abspath(path))
    for table, value in data.items():
        if table not in TABLES:
            raise StudyError("%s: unknown table [%s] (a study file has [deck], [observers] or "
                             "[observations], [field] and [sweep])" % (path, table))
        if not isinstance(value, dict):
            raise StudyError("%s: %s = %s: expected a table [%s]" % (path, table, _show(value), table))
    deck_table = dict(data.get("deck", {}))
    names = Deck.names()
    deck = Deck()
    if "file" in deck_table:
        name = deck_table.pop("file")
        if not isinstance(name, str):
            raise StudyError("%s: [deck] file = %s: expected the name of a deck file in quotes"
                             % (path, _show(name)))
        try:
            deck = Deck.read(os.path.join(base, name))
        except OSError as e:
            raise StudyError("%s: [deck] file = %s: cannot read it: %s"
                             % (path, _show(name), e.strerror or e)) from None
        except QuilletFileError as e:
            raise StudyError("%s: [deck] file = %s: %s" % (path, _show(name), e)) from None
        # The deck's own input names are relative to its folder; the study's
        # to the study file's.
        for key in ("posfile", "posfile_haze", "parfile"):
            value = getattr(deck, key)
            if value != "junk" and value and not os.path.isabs(value):
                setattr(deck, key, os.path.relpath(os.path.join(deck.base, value), base))
    deck.base = base
    for key, value in deck_table.items():
        if key not in names:
            raise StudyError("%s: [deck] %s = %s: unknown deck value (the names are those of the "
                             "deck records: posfile, bsun, lonsun, nxphot, ...)"
                             % (path, key, _show(value)))
        if key in _LISTS:
            raise StudyError("%s: [deck] %s = %s: observer directions go in [observers]"
                             % (path, key, _show(value)))
        setattr(deck, key, _coerce(path, "deck", key, value))
    observers = data.get("observers")
    extras = {"observations": None, "paired": None, "fields": None}
    if observers is not None and "observations" in data:
        raise StudyError("%s: [observers] and [observations]: give the directions in one of "
                         "them" % path)
    if "observations" in data:
        extras["observations"] = _observations(path, base, data["observations"])
    if "field" in data:
        extras["fields"] = _field(path, base, data["field"])
        if "posfile" in deck_table:
            raise StudyError("%s: [deck] posfile and [field]: the fields replace the deck's "
                             "posfile; give one of them" % path)
    if observers is not None:
        for key, value in observers.items():
            if key not in OBSERVER_KEYS:
                raise StudyError("%s: [observers] %s = %s: unknown key (expected latobs and one of "
                                 "phase_angle, fiiobs, azimuth)" % (path, key, _show(value)))
        given = [k for k in ("phase_angle", "fiiobs", "azimuth") if k in observers]
        if "latobs" not in observers or len(given) != 1:
            raise StudyError("%s: [observers] needs latobs and exactly one of phase_angle, fiiobs, "
                             "azimuth (found %s)" % (path, ", ".join(observers) or "nothing"))
        lats = _numbers(path, "latobs", observers["latobs"])
        for lat in lats:
            if lat == 0.0 or not -90.0 <= lat <= 90.0:
                raise StudyError("%s: [observers] latobs = %s: %g is not an observer elevation "
                                 "(from -90 to 90 degrees, other than 0)"
                                 % (path, _show(observers["latobs"]), lat))
        key = given[0]
        values = _numbers(path, key, observers[key])
        if key == "phase_angle":
            for a in values:
                if not -180.0 <= a <= 180.0:
                    raise StudyError("%s: [observers] phase_angle = %s: %g is not a phase angle "
                                     "(0 to 180 degrees)" % (path, _show(observers[key]), a))
            deck.observe(lats, phase_angle=values)
        elif key == "azimuth":
            deck.observe(lats, azimuth=values)
        else:
            deck.latobs = [l for l in lats for _ in values]
            deck.fiiobs = [f for _ in lats for f in values]
            deck.latgrid = deck.fiigrid = None
    if deck.ntest == 0 and extras["observations"] is None:
        raise StudyError("%s: [observers]: no observer direction (give latobs and phase_angle, "
                         "or an [observations] table)" % path)
    axes = {}
    sweep_table = dict(data.get("sweep", {}))
    if "paired" in sweep_table:
        paired = sweep_table.pop("paired")
        if paired is not True and not (isinstance(paired, list) and paired
                                       and all(isinstance(p, str) for p in paired)):
            raise StudyError("%s: [sweep] paired = %s: expected true or a list of the swept "
                             "names in quotes" % (path, _show(paired)))
        for p in ([] if paired is True else paired):
            if p not in sweep_table:
                raise StudyError("%s: [sweep] paired = %s: %s is not swept in [sweep]"
                                 % (path, _show(paired), p))
        extras["paired"] = paired
    for key, value in sweep_table.items():
        if key not in names:
            raise StudyError("%s: [sweep] %s = %s: unknown deck value" % (path, key, _show(value)))
        if key in _LISTS and key != "latobs":
            raise StudyError("%s: [sweep] %s = %s: observer directions go in [observers]"
                             % (path, key, _show(value)))
        if key == "latobs":
            if extras["observations"] is not None:
                raise StudyError("%s: [sweep] latobs: the observer elevations are given by "
                                 "[observations]" % path)
            values = _numbers(path, key, value, table="sweep")
            for lat in values:
                if lat == 0.0 or not -90.0 <= lat <= 90.0:
                    raise StudyError("%s: [sweep] latobs = %s: %g is not an observer elevation "
                                     "(from -90 to 90 degrees, other than 0)"
                                     % (path, _show(value), lat))
            axes[key] = values
            continue
        if key in deck_table:
            raise StudyError("%s: [sweep] %s: also given in [deck]; give it in one table"
                             % (path, key))
        if not isinstance(value, list) or not value:
            raise StudyError("%s: [sweep] %s = %s: expected a list of values"
                             % (path, key, _show(value)))
        axes[key] = [_coerce(path, "sweep", key, v) for v in value]
        if len(set(map(repr, axes[key]))) != len(axes[key]):
            raise StudyError("%s: [sweep] %s = %s: a value is given twice"
                             % (path, key, _show(value)))
    if extras["observations"] is not None:
        for key in ("bsun",):
            if key in axes or key in deck_table:
                raise StudyError("%s: [%s] %s: the Sun elevations are given by [observations]"
                                 % (path, "sweep" if key in axes else "deck", key))
    if extras["fields"] is not None and "posfile" in axes:
        raise StudyError("%s: [sweep] posfile and [field]: give the fields in one of them" % path)
    tables = {"deck": deck_table, "sweep": data.get("sweep", {})}
    tables.update(extras)
    return deck, axes, tables


def _observations(path, base, table):
    """The [observations] table: a CSV file or columns and rows."""
    from quillet import observations as obs

    keys = set(table)
    where = "%s: [observations]" % path
    if keys == {"file"}:
        name = table["file"]
        if not isinstance(name, str):
            raise StudyError("%s file = %s: expected a file name in quotes" % (where, _show(name)))
        source = os.path.join(base, name)
        try:
            return obs.read_observations(source)
        except DeckError as e:
            raise StudyError("%s file = %s: %s" % (where, _show(name), e.message)) from None
    if keys != {"columns", "rows"}:
        raise StudyError("%s: expected file = \"table.csv\", or columns = [...] and rows = "
                         "[[...], ...] (found %s)" % (where, ", ".join(sorted(keys)) or "nothing"))
    columns, rows = table["columns"], table["rows"]
    if not isinstance(columns, list) or not all(isinstance(c, str) for c in columns):
        raise StudyError("%s columns = %s: expected a list of column names in quotes"
                         % (where, _show(columns)))
    if not isinstance(rows, list):
        raise StudyError("%s rows = %s: expected a list of rows" % (where, _show(rows)))
    listed = []
    for i, row in enumerate(rows, start=1):
        if not isinstance(row, list) or len(row) != len(columns):
            raise StudyError("%s, row %d = %s: expected %d values (%s)"
                             % (where, i, _show(row), len(columns), ", ".join(columns)))
        listed.append(dict(zip(columns, row)))
    if not listed:
        listed = {c: [] for c in columns}
    try:
        return obs.read_observations(listed, source=where)
    except DeckError as e:
        raise StudyError(e.message) from None


def _field(path, base, table):
    """The [field] table: quillet-field's options with seeds, or files."""
    from quillet.fields import FieldEnsemble

    where = "%s: [field]" % path
    options = dict(table)
    seeds = options.pop("seeds", None)
    files = options.pop("files", None)
    if files is not None and (not isinstance(files, list)
                              or not all(isinstance(f, str) for f in files)):
        raise StudyError("%s files = %s: expected a list of file names in quotes"
                         % (where, _show(files)))
    if seeds is not None and not isinstance(seeds, list):
        raise StudyError("%s seeds = %s: expected a list of whole numbers" % (where, _show(seeds)))
    if files is not None:
        files = [os.path.join(base, f) for f in files]
    try:
        return FieldEnsemble(options, seeds=seeds, files=files, source=where)
    except DeckError as e:
        raise StudyError(e.message) from None


def _explain(path, tables, e):
    """A DeckError from the sweep, named by the table and key it came from."""
    key = e.name
    if key in tables["sweep"]:
        return "%s: [sweep] %s = %s: %s" % (path, key, _show(tables["sweep"][key]), e.message)
    if key in tables["deck"]:
        return "%s: [deck] %s = %s: %s" % (path, key, _show(tables["deck"][key]), e.message)
    if key in ("observations", "fields"):
        return e.message if e.message.startswith(path) else "%s: %s" % (path, e.message)
    if key in ("latobs", "fiiobs", "latgrid"):
        return "%s: [observers]: %s" % (path, e.message)
    return "%s: [deck] %s: %s" % (path, key, e.message)


def run_study(path, out, jobs=1, threads=0, cache_dir=None, program=None, progress=True):
    """Runs a study file and writes its dataset to ``out`` (netCDF4);
    returns the dataset."""
    from quillet import study

    deck, axes, tables = read_study(path)
    if cache_dir is None:
        cache_dir = os.path.join(os.path.dirname(os.path.abspath(path)), study.DEFAULT_CACHE)
    try:
        ds = study.sweep(deck, jobs=jobs, threads=threads, cache_dir=cache_dir, program=program,
                         progress=progress, observations=tables["observations"],
                         paired=tables["paired"], fields=tables["fields"], **axes)
    except DeckError as e:
        raise StudyError(_explain(path, tables, e)) from None
    ds.attrs["study_file"] = os.path.basename(path)
    folder = os.path.dirname(os.path.abspath(out))
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=os.path.basename(out) + ".part", dir=folder)
    os.close(fd)
    try:
        ds.to_netcdf(tmp, format="NETCDF4")
        os.replace(tmp, out)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise
    return ds


def main(argv=None):
    from quillet.runner import RunError

    p = argparse.ArgumentParser(
        prog="quillet-study",
        description="Runs a study file (TOML: [deck], [observers] or [observations], [field], "
                    "[sweep]) with the quillet program and writes one netCDF dataset of I/F "
                    "with errors by swept value and observer direction (or observation row), "
                    "by realisation of the field with the ensemble mean.  Runs already made "
                    "with the same deck and input files are taken from the cache folder; "
                    "Ctrl-C stops the runs with checkpoints there, and the same command again "
                    "goes on from them.",
        epilog="example: quillet-study examples/study.toml -o examples/out/study.nc --jobs 2")
    p.add_argument("study", metavar="STUDY.toml")
    p.add_argument("-o", "--output", required=True, metavar="OUT.nc", help="the dataset to write")
    p.add_argument("--jobs", type=int, default=1, metavar="N", help="runs at a time (default 1)")
    p.add_argument("--threads", type=int, default=0, metavar="N",
                   help="threads per run (default 0: the cores shared among the jobs)")
    p.add_argument("--serial", action="store_true",
                   help="the serial runs (one thread each; needed for icheck or idebug >= 1; "
                        "the threaded runs give other random numbers)")
    p.add_argument("--cache", metavar="DIR",
                   help="folder of the kept runs (default .quillet-cache beside the study file)")
    p.add_argument("--program", metavar="PATH", help="the quillet program (default: found on "
                   "PATH or in the repository's build folder)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    args = p.parse_args(argv)
    if args.jobs < 1:
        p.error("--jobs must be 1 or more")
    if args.threads < 0:
        p.error("--threads must be 0 or more")
    try:
        run_study(args.study, args.output, jobs=args.jobs,
                  threads=None if args.serial else args.threads,
                  cache_dir=args.cache, program=args.program, progress=not args.quiet)
    except (StudyError, RunError, QuilletFileError) as e:
        print("quillet-study: %s" % e, file=sys.stderr)
        return 1
    except KeyboardInterrupt as e:
        from quillet.study import SweepInterrupted

        # A stopped sweep has said in one line what it kept and how to go on.
        if not isinstance(e, SweepInterrupted):
            print("quillet-study: interrupted before any run", file=sys.stderr)
        return 130
    print(args.output)
    return 0

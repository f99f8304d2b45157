"""Studies: sweeps of deck values into one labelled dataset, and study files.

    ds = quillet.sweep(deck, bsun=[10, 20, 40], ssca_part=[0.3, 0.5], jobs=2)
    ds.i_over_f.sel(bsun=20, ssca_part=0.5)
    ds.to_netcdf("study.nc")

    quillet.sweep(deck, bsun=[10, 25], latobs=[10, 25], paired=True)   # zipped
    quillet.sweep(deck, observations="images.csv")                     # one row per image
    quillet.sweep(deck, fields=quillet.FieldEnsemble(options, seeds=[1, 2, 3]))

Every combination of the swept values is one point of the study, and a
point is one program run with all its observer directions (for an
observation table: one run per Sun elevation).  Directions that a point's
Sun elevation cannot see are left out of its runs, kept in the dataset as NaN
and listed once on standard error.  Runs are kept in a cache folder by a digest of
the deck as it runs, of its input files and of the program: a run whose deck
and inputs are unchanged is taken from there instead of being run again.
A run under way keeps a checkpoint there too, so that a sweep stopped by
Ctrl-C goes on where it stopped when it is started again.
"""

import itertools
import os
import sys

import numpy as np

from quillet import runner
from quillet.deck import AZIMUTH_THRESHOLD, Deck, DeckError, phase_range
from quillet.study_dataset import (NHAZE, NORDER, NRING, OBSERVER_NAMES as _OBSERVER_NAMES,
                                   add_ensemble_mean, dataset, field_description, provenance)
from quillet.study_runs import SweepInterrupted, _Task, _run_tasks

__all__ = ["sweep", "SweepInterrupted", "field_description", "NORDER", "NRING", "NHAZE",
           "DEFAULT_CACHE"]

DEFAULT_CACHE = ".quillet-cache"


def _check_axes(deck, axes):
    names = Deck.names()
    out = {}
    for name, values in axes.items():
        if name in _OBSERVER_NAMES and name != "latobs":
            raise DeckError(name, values, "%s is an observer list: give the directions in the "
                            "deck (deck.observe) or as an observation table instead of sweeping "
                            "them" % name)
        if name not in names:
            raise DeckError(name, values, "%s is not a deck value (the names are %s)"
                            % (name, ", ".join(n for n in names if n not in _OBSERVER_NAMES)))
        if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
            raise DeckError(name, values, "%s = %r: a swept value needs a list" % (name, values))
        values = list(values)
        if not values:
            raise DeckError(name, values, "%s: the list of swept values is empty" % name)
        values = [v.item() if isinstance(v, np.generic) else v for v in values]
        if name == "latobs":
            values = [float(v) for v in values]
            for lat in values:
                if lat == 0.0 or not -90.0 <= lat <= 90.0:
                    raise DeckError(name, lat, "latobs = %g: expected an observer elevation "
                                    "from -90 to 90 degrees other than 0" % lat)
        out[name] = values
    return out


def _axes_of(axes, paired):
    """The dimensions of a sweep: (dimension, size, per index the deck
    changes, {coordinate: values}).  Crossed values are one dimension each;
    ``paired`` names values taken together, row by row, as one dimension
    "pair" (True: all of them)."""
    if paired is True:
        paired = list(axes)
    paired = list(paired or [])
    for name in paired:
        if name not in axes:
            raise DeckError(name, None, "paired: %s is not one of the swept values (%s)"
                            % (name, ", ".join(axes) or "none"))
    if len(paired) == 1:
        paired = []
    out = []
    done = False
    for name, values in axes.items():
        if name in paired:
            if done:
                continue
            done = True
            sizes = {n: len(axes[n]) for n in paired}
            if len(set(sizes.values())) != 1:
                raise DeckError(name, axes[name], "paired values need lists of one length, "
                                "found %s" % ", ".join("%s %d" % kv for kv in sizes.items()))
            n = sizes[name]
            rows = [tuple(repr(axes[p][i]) for p in paired) for i in range(n)]
            if len(set(rows)) != n:
                raise DeckError(name, axes[name], "paired values: a pair is given twice")
            out.append(("pair", n, [{p: axes[p][i] for p in paired} for i in range(n)],
                        {p: axes[p] for p in paired}))
        else:
            if len(set(map(repr, values))) != len(values):
                raise DeckError(name, values, "%s = %r: a swept value is given twice"
                                % (name, values))
            out.append((name, len(values), [{name: v} for v in values], {name: values}))
    return out


def _directions_text(left):
    """The directions of one elevation left out, shortly: "phase angles 0, 2;
    azimuths 10, 20 from the Sun"."""
    phases = sorted(abs(f) for _, f in left if f < AZIMUTH_THRESHOLD)
    azimuths = sorted(f - 1000.0 for _, f in left if f >= AZIMUTH_THRESHOLD)
    parts = []
    if phases:
        parts.append("phase angle%s %s" % ("s" if len(phases) > 1 else "",
                                           ", ".join("%g" % a for a in phases)))
    if azimuths:
        parts.append("azimuth%s %s from the Sun" % ("s" if len(azimuths) > 1 else "",
                                                   ", ".join("%g" % a for a in azimuths)))
    return "; ".join(parts)


def _with_latobs(directions, lat):
    return [(lat, f) for _, f in directions]


def sweep(deck, jobs=1, threads=0, cache_dir=None, program=None, progress=True, log=None,
          observations=None, paired=None, fields=None, field_program=None, **axes):
    """Runs every combination of the swept deck values and returns one
    ``xarray.Dataset``.

    ``axes``: deck values by name, each a list (``bsun=[10, 20, 40]``);
    each becomes a dimension of that name, in the order given.  ``latobs``
    sets the elevation of every observer direction of the deck.
    ``paired``: names of swept values taken together, row by row, instead of
    crossed (True: all); they make one dimension "pair" with each name as a
    coordinate along it.

    The observer directions are the deck's (any number, all in one run;
    dimension "direction"), or with ``observations``
    an observation table (see quillet.read_observations; dimension
    "observation"): every row brings its own Sun elevation, observer
    elevation and phase angle or azimuth; the rows that share a Sun
    elevation share runs.

    ``fields``: a FieldEnsemble or a list of position files: every point runs
    on each field (dimension "realisation"), and the dataset adds the
    ensemble mean ``i_over_f_mean`` with its error and the spread between
    fields.

    ``jobs`` runs at a time, each with ``threads`` threads (0: the cores
    shared among the jobs; None: the serial run).  ``cache_dir`` keeps the
    runs (default ".quillet-cache" in the current folder); ``log``, a list,
    gets one (digest, folder, taken from the cache) per run.  Raises
    DeckError naming the value before any run when a combination cannot
    run.  Ctrl-C stops the runs with a checkpoint in the cache, prints one
    line and raises KeyboardInterrupt; the same sweep again resumes them."""
    import xarray as xr

    from quillet import fields as fields_mod
    from quillet import observations as obs_mod

    axes = _check_axes(deck, axes)
    table = None
    if observations is not None:
        table = obs_mod.read_observations(observations)
        for name in ("bsun", "latobs"):
            if name in axes:
                raise DeckError(name, axes[name], "%s is given by the observation table (%s); it "
                                "cannot be swept as well" % (name, table.source))
    dims = _axes_of(axes, paired)
    directions = deck.directions() if table is None else []
    ndir = len(directions) if table is None else len(table)
    if table is None and "latobs" not in axes:
        for k, (lat, f) in enumerate(directions):
            if lat == 0.0 or not -90.0 <= lat <= 90.0:
                raise DeckError("latobs", lat, "observer direction %d: latobs = %g: expected an "
                                "observer elevation from -90 to 90 degrees other than 0"
                                % (k + 1, lat))
    if table is None and ndir == 0:
        raise DeckError("latobs", [], "the deck has no observer direction: give them with "
                        "deck.observe or as an observation table")
    cache_dir = os.path.abspath(cache_dir or DEFAULT_CACHE)
    program = runner.find_program(program)
    if threads == 0:
        threads = max(1, (os.cpu_count() or 1) // max(1, int(jobs)))

    ensemble = None
    if fields is not None:
        if "posfile" in axes:
            raise DeckError("posfile", axes["posfile"], "posfile is given by the fields; it "
                            "cannot be swept as well")
        if not isinstance(fields, fields_mod.FieldEnsemble):
            fields = fields_mod.FieldEnsemble(files=list(fields))
        made = fields.make(os.path.join(cache_dir, "fields"), base=deck.base or os.getcwd(),
                           program=field_program, quillet_program=program)
        ensemble = (fields, made)
        dims.append(("realisation", len(made), [{"posfile": p} for p, _ in made], {}))

    shape = tuple(d[1] for d in dims)
    points = list(itertools.product(*(range(s) for s in shape)))
    tasks = []
    unseen = {}   # (bsun, latobs) -> directions left out
    point_decks = {}
    point_dirs = {}
    for point in points:
        changes = {}
        for (_, _, per, _), i in zip(dims, point):
            changes.update(per[i])
        lat = changes.pop("latobs", None)
        d = deck.copy(**changes)
        if table is not None:
            d.bsun = float(table.bsun[0])
        where = ", ".join("%s = %r" % kv for kv in changes.items() if kv[0] != "posfile")
        # The directions are checked per run below.  A field of an ensemble
        # is linked into the run's folder under a short name, whatever its
        # own path.
        short = {"posfile": "ring.pos"} if ensemble is not None else {}
        found = d.copy(latobs=[], fiiobs=[], latgrid=None, fiigrid=None, **short).problems(
            threaded=threads is not None)
        if found:
            e = found[0]
            raise DeckError(e.name, e.value, "%s%s" % (e.message, " (at %s)" % where if where else ""),
                            e.record)
        if table is None:
            dirs = directions if lat is None else _with_latobs(directions, lat)
            d = d.copy(latobs=[a for a, _ in dirs], fiiobs=[b for _, b in dirs], latgrid=None,
                       fiigrid=None)
            point_decks[point] = d
            point_dirs[point] = dirs
            bad = dict(d.direction_problems())
            seen = [k for k in range(ndir) if k not in bad]
            for k in bad:
                unseen.setdefault((d.bsun, dirs[k][0]), set()).add(dirs[k])
            groups = [(d, seen)]
        else:
            point_decks[point] = d
            groups = [(d.copy(bsun=b), rows) for b, rows in table.groups().items()]
        # One run per group, with every direction of it: rows are the
        # dataset's direction (or observation) numbers of the run's directions.
        for gd, rows in groups:
            if table is None:
                dl = [point_dirs[point][k] for k in rows]
            else:
                dl = [(float(table.latobs[k]), float(table.fiiobs[k])) for k in rows]
            cd = gd.copy(latobs=[a for a, _ in dl], fiiobs=[b for _, b in dl],
                         latgrid=None, fiigrid=None)
            try:
                cd.copy(**short).validate(threaded=threads is not None)
            except DeckError as e:
                raise DeckError(e.name, e.value, "%s%s" % (
                    e.message, " (at %s)" % where if where else ""), e.record) from None
            tasks.append(_Task(point, list(rows), cd))
    for (bsun, lat), left in sorted(unseen.items()):
        lo, hi = phase_range(bsun, lat)
        print("quillet: with bsun = %g an observer at latobs = %g sees phase angles %g to %g; "
              "left out (NaN in the dataset): %s"
              % (bsun, lat, lo, hi, _directions_text(left)),
              file=sys.stderr)
    for t in tasks:
        t.digest = runner.run_digest(t.deck, threads is not None, program)
    _run_tasks(tasks, cache_dir, threads, program, jobs, progress)
    if log is not None:
        for t in tasks:
            log.append((t.digest, t.result.workdir, t.result.cached))
    ds = dataset(deck, dims, shape, points, point_decks, point_dirs, tasks, ndir, table, xr)
    provenance(ds, tasks[0].deck, program, ensemble, point_decks, threads)
    if ensemble is not None:
        add_ensemble_mean(ds)
    return ds

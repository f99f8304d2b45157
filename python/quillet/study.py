"""Studies: sweeps of deck values into one labelled dataset, and study files.

    ds = quillet.sweep(deck, bsun=[10, 20, 40], ssca_part=[0.3, 0.5], jobs=2)
    ds.i_over_f.sel(bsun=20, ssca_part=0.5)
    ds.to_netcdf("study.nc")

    quillet.sweep(deck, bsun=[10, 25], latobs=[10, 25], paired=True)   # zipped
    quillet.sweep(deck, observations="images.csv")                     # one row per image
    quillet.sweep(deck, fields=quillet.FieldEnsemble(options, seeds=[1, 2, 3]))

Every combination of the swept values is one point of the study.  A point
runs as one program run, or as several when it has more observer directions
than a run holds (100); the photons do not depend on the directions, so the
pieces are the same as one run would be.  Directions that a point's Sun
elevation cannot see are left out of its runs, kept in the dataset as NaN and
listed once on standard error.  Runs are kept in a cache folder by a digest of
the deck as it runs, of its input files and of the program: a run whose deck
and inputs are unchanged is taken from there instead of being run again.
A run under way keeps a checkpoint there too, so that a sweep stopped by
Ctrl-C goes on where it stopped when it is started again.
"""

import concurrent.futures
import itertools
import math
import os
import shutil
import signal
import sys
import tempfile
import threading

import numpy as np

from quillet import runner
from quillet.deck import (AZIMUTH_THRESHOLD, Deck, DeckError, LAW_NAMES, MAX_DIRECTIONS,
                          direction_phase_angle, phase_range, relative_azimuth)

NORDER = 50
NRING = 20
NHAZE = 50
DEFAULT_CACHE = ".quillet-cache"
_OBSERVER_NAMES = ("latobs", "fiiobs", "latgrid", "fiigrid")

# Units and long names of the deck values (dataset attributes and coordinates).
_DECK_UNITS = {"bsun": "degree", "lonsun": "degree", "latobs": "degree", "distance": "planet radius / 60.4"}
_DECK_LONG = {
    "posfile": "particle position file", "bsun": "Sun elevation above the ring plane",
    "lonsun": "Sun azimuth", "nxphot": "photon grid columns", "nyphot": "photon grid rows",
    "mx": "search grid columns", "my": "search grid rows", "method": "ring-particle scattering law",
    "ppar1": "first parameter of the ring-particle law",
    "ppar2": "second parameter of the ring-particle law",
    "ppar3": "third parameter of the ring-particle law",
    "ssca_part": "single-scattering albedo of the ring particles",
    "ssca_haze": "single-scattering albedo of the haze particles", "idum": "random seed",
    "sredu": "radius factor of the ring particles", "zredu": "height factor of the ring particles",
    "isat": "light source (0 Sun, 1 planet, 2 southern half, 3 northern half)",
}


def _progress_bar(total, enabled):
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a convenience only
        return None
    return tqdm(total=total, unit="run", desc="quillet", disable=None if enabled else True,
                file=sys.stderr)


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


class SweepInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped a sweep; its one-line message has been printed."""


class _Task:
    __slots__ = ("point", "chunk", "deck", "digest", "result", "checkpoint", "resumed",
                 "interrupted")

    def __init__(self, point, chunk, deck):
        self.point, self.chunk, self.deck = point, chunk, deck
        self.digest = None
        self.result = None
        self.checkpoint = None
        self.resumed = False
        self.interrupted = False


class _Control:
    """The running programs of a sweep, so that an interruption can stop
    them with their checkpoints."""

    def __init__(self):
        self.lock = threading.Lock()
        self.running = set()
        self.stopping = threading.Event()

    def started(self, proc):
        with self.lock:
            self.running.add(proc)
            stop = self.stopping.is_set()
        if stop:
            _interrupt(proc)

    def ended(self, proc):
        with self.lock:
            self.running.discard(proc)

    def stop(self):
        with self.lock:
            self.stopping.set()
            procs = list(self.running)
        for p in procs:
            _interrupt(p)


def _interrupt(proc):
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGINT)
        except OSError:
            pass


def _run_cached(task, cache_dir, threads, program, control=None):
    """Runs one task, or takes it from the cache.  A run that can keep a
    checkpoint keeps it in the cache's "checkpoints" folder while it runs;
    a later sweep resumes it from there."""
    final = os.path.join(cache_dir, task.digest[:24])
    if os.path.isfile(os.path.join(final, "done")):
        return runner.load_run(task.deck, final, cached=True)
    if control is not None and control.stopping.is_set():
        return None
    os.makedirs(cache_dir, exist_ok=True)
    ck = None
    if runner.can_checkpoint(task.deck):
        folder = os.path.join(cache_dir, "checkpoints")
        os.makedirs(folder, exist_ok=True)
        ck = os.path.join(folder, task.digest[:24] + ".ck")
        task.checkpoint = ck
    tmp = tempfile.mkdtemp(prefix="tmp-", dir=cache_dir)
    procs = []

    def started(proc):
        procs.append(proc)
        if control is not None:
            control.started(proc)

    try:
        resume = ck is not None and os.path.isfile(ck)
        try:
            try:
                runner.run(task.deck, workdir=tmp, threads=threads, program=program,
                           progress=False, check=False, checkpoint=ck, resume=resume,
                           on_start=started, own_session=control is not None)
                task.resumed = resume
            except runner.RunError:
                if control is not None and control.stopping.is_set():
                    raise
                if not resume:
                    raise
                # A checkpoint the program does not take (made by another
                # version of it, or damaged): the run starts afresh.
                os.remove(ck)
                runner.run(task.deck, workdir=tmp, threads=threads, program=program,
                           progress=False, check=False, checkpoint=ck, resume=False,
                           on_start=started, own_session=control is not None)
        finally:
            if control is not None:
                for p in procs:
                    control.ended(p)
        with open(os.path.join(tmp, "done"), "w") as f:
            f.write(task.digest + "\n")
        try:
            os.rename(tmp, final)
        except OSError:
            # Another sweep finished the same run first: use its copy.
            if not os.path.isfile(os.path.join(final, "done")):
                raise
            shutil.rmtree(tmp, ignore_errors=True)
            return runner.load_run(task.deck, final, cached=True)
    except runner.RunError as e:
        shutil.rmtree(tmp, ignore_errors=True)
        if control is not None and control.stopping.is_set() and e.status in (
                128 + signal.SIGINT, -signal.SIGINT):
            task.interrupted = True
            return None
        raise
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    if ck is not None and os.path.exists(ck):
        os.remove(ck)
    return runner.load_run(task.deck, final, cached=False)


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

    The observer directions are the deck's (any number: they are split over
    runs of at most 100; dimension "direction"), or with ``observations``
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

    names = [d[0] for d in dims]
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
        # The directions are checked per run below, split to fit a run.  A
        # field of an ensemble is linked into the run's folder under a short
        # name, whatever its own path.
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
        for gd, rows in groups:
            chunks = [rows[i:i + MAX_DIRECTIONS] for i in range(0, len(rows), MAX_DIRECTIONS)]
            for chunk in chunks or [[]]:
                if table is None:
                    dl = [point_dirs[point][k] for k in chunk]
                else:
                    dl = [(float(table.latobs[k]), float(table.fiiobs[k])) for k in chunk]
                cd = gd.copy(latobs=[a for a, _ in dl], fiiobs=[b for _, b in dl],
                             latgrid=None, fiigrid=None)
                try:
                    cd.copy(**short).validate(threaded=threads is not None)
                except DeckError as e:
                    raise DeckError(e.name, e.value, "%s%s" % (
                        e.message, " (at %s)" % where if where else ""), e.record) from None
                tasks.append(_Task(point, chunk, cd))
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
    ds = _dataset(deck, dims, shape, points, point_decks, point_dirs, tasks, ndir, table, xr)
    _provenance(ds, tasks[0].deck, program, ensemble, point_decks, threads)
    if ensemble is not None:
        _add_ensemble_mean(ds)
    return ds


def _run_tasks(tasks, cache_dir, threads, program, jobs, progress):
    ck_folder = os.path.join(cache_dir, "checkpoints")
    waiting = [t for t in tasks
               if os.path.isfile(os.path.join(ck_folder, t.digest[:24] + ".ck"))
               and not os.path.isfile(os.path.join(cache_dir, t.digest[:24], "done"))]
    if waiting:
        print("quillet: resuming %d interrupted run%s from %s checkpoint%s"
              % (len(waiting), "s" if len(waiting) > 1 else "", "its" if len(waiting) == 1
                 else "their", "s" if len(waiting) > 1 else ""), file=sys.stderr)
    control = _Control()
    bar = _progress_bar(len(tasks), progress)
    interrupted = False
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, int(jobs))) as pool:
            futures = {pool.submit(_run_cached, t, cache_dir, threads, program, control): t
                       for t in tasks}
            try:
                for fut in concurrent.futures.as_completed(futures):
                    futures[fut].result = fut.result()
                    if bar is not None:
                        bar.update(1)
            except KeyboardInterrupt:
                interrupted = True
                # While the runs write their checkpoints a second Ctrl-C
                # would only lose them: it is ignored until they have ended.
                main = threading.current_thread() is threading.main_thread()
                previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
                try:
                    control.stop()
                    for fut in futures:
                        fut.cancel()
                    for fut, t in futures.items():
                        if fut.cancelled():
                            continue
                        try:
                            t.result = fut.result()
                        except Exception:  # the interruption is what is reported
                            pass
                finally:
                    if main:
                        signal.signal(signal.SIGINT, previous)
            except BaseException:
                control.stop()
                for fut in futures:
                    fut.cancel()
                raise
    finally:
        if bar is not None:
            bar.close()
    if interrupted:
        done = sum(1 for t in tasks if t.result is not None)
        kept = sum(1 for t in tasks if t.interrupted and t.checkpoint
                   and os.path.isfile(t.checkpoint))
        print("quillet: sweep interrupted: %d of %d runs done and kept in %s, %d stopped with a "
              "checkpoint; the same sweep again goes on from there"
              % (done, len(tasks), cache_dir, kept), file=sys.stderr)
        raise SweepInterrupted()


def _collapse(arr, ndir):
    """The values of a (points..., last) array along the last dimension
    alone when every point has the same, else None."""
    flat = arr.reshape(-1, ndir) if ndir else arr.reshape(1, 0)
    if flat.shape[0] and np.all(np.isclose(flat, flat[0], rtol=0, atol=1e-9, equal_nan=True)):
        return flat[0].copy()
    return None


def _dataset(deck, dims, shape, points, point_decks, point_dirs, tasks, ndir, table, xr):
    names = [d[0] for d in dims]
    last = "direction" if table is None else "observation"
    full = shape + (ndir,)
    v = {key: np.full(full, np.nan) for key in ("if", "if_err", "if1", "if1_err")}
    v["order"] = np.full(full + (NORDER,), np.nan)
    v["order_err"] = np.full(full + (NORDER,), np.nan)
    run_keys = ("fdir", "tau", "tau_n", "iscat_mean")
    run_vals = {key: np.full(full, np.nan) for key in run_keys}
    nphot = np.zeros(full, dtype=np.int64)
    haze = deck.posfile_haze != "junk"
    if haze:
        v["haze"] = np.full(full + (NRING + 1, NHAZE + 1), np.nan)
    for t in tasks:
        r = t.result
        w = r.direction
        if w.ntest != len(t.chunk):
            raise runner.RunError("%s: %d directions, the run had %d"
                                  % (r.files["wfile"], w.ntest, len(t.chunk)))
        f, fe = w.i_over_f()
        f1, f1e = r.i_over_f_1()
        o, oe = w.i_over_f_order() if w.ntest else (np.zeros((0, NORDER)),) * 2
        for j, k in enumerate(t.chunk):
            at = t.point + (k,)
            v["if"][at], v["if_err"][at] = f[j], fe[j]
            v["if1"][at], v["if1_err"][at] = f1[j], f1e[j]
            v["order"][at], v["order_err"][at] = o[j], oe[j]
        if haze and w.ntest:
            scale = (np.abs(np.sin(np.radians(w.bsun))) / np.abs(np.sin(np.radians(w.latobs)))
                     / float(max(w.nphot, 1)))
            for j, k in enumerate(t.chunk):
                v["haze"][t.point + (k,)] = w.w_haze[j] * scale[j]
        rows = list(t.chunk) if table is not None else slice(None)
        for key in run_keys:
            run_vals[key][t.point][rows] = getattr(w, key)
        nphot[t.point][rows] = w.nphot

    dims_all = tuple(names) + (last,)
    coords = {}
    for name, n, per, cvalues in dims:
        if name == "realisation":
            coords[name] = (name, np.arange(1, n + 1),
                            {"long_name": "realisation of the particle field"})
        elif name == "pair":
            coords[name] = (name, np.arange(1, n + 1),
                            {"long_name": "row of the paired values (%s)" % ", ".join(cvalues)})
            for c, vals in cvalues.items():
                coords[c] = (name, np.asarray(vals), _attrs_of(c))
        else:
            coords[name] = (name, np.asarray(cvalues[name]), _attrs_of(name))
    coords[last] = (last, np.arange(1, ndir + 1),
                    {"long_name": "observer direction number" if table is None
                     else "row of the observation table"})
    coords["order"] = ("order", np.arange(1, NORDER + 1),
                       {"long_name": "order of scattering (50: 50 and more)"})
    geo_attrs = {
        "latobs": {"units": "degree", "long_name": "observer elevation above the ring plane"},
        "fiiobs": {"units": "degree", "long_name": "observer as the deck gives it: phase "
                   "angle below 820, else 1000 + azimuth relative to the Sun"},
        "phase_angle": {"units": "degree", "long_name": "phase angle"},
        "azimuth": {"units": "degree", "long_name": "observer azimuth relative to the Sun"},
    }
    if table is None:
        geo = {key: np.full(full, np.nan) for key in ("latobs", "fiiobs", "phase_angle", "azimuth")}
        for point in points:
            d = point_decks[point]
            geo["latobs"][point] = [a for a, _ in point_dirs[point]]
            geo["fiiobs"][point] = [b for _, b in point_dirs[point]]
            geo["phase_angle"][point] = d.phase_angles()
            geo["azimuth"][point] = d.relative_azimuths()
        for key, arr in geo.items():
            if key in coords:   # swept (latobs): a dimension coordinate already
                continue
            one = _collapse(arr, ndir)
            coords[key] = (last, one, geo_attrs[key]) if one is not None else (dims_all, arr,
                                                                                geo_attrs[key])
    else:
        coords["bsun"] = (last, table.bsun.copy(), _attrs_of("bsun"))
        coords["latobs"] = (last, table.latobs.copy(), geo_attrs["latobs"])
        coords["fiiobs"] = (last, table.fiiobs.copy(), geo_attrs["fiiobs"])
        coords["phase_angle"] = (last, np.array([direction_phase_angle(b, la, f) for b, la, f in
                                                 zip(table.bsun, table.latobs, table.fiiobs)]),
                                 geo_attrs["phase_angle"])
        coords["azimuth"] = (last, np.array([relative_azimuth(b, la, f) for b, la, f in
                                             zip(table.bsun, table.latobs, table.fiiobs)]),
                             geo_attrs["azimuth"])
        if table.name is not None:
            coords["name"] = (last, np.array(table.name, dtype=str),
                              {"long_name": "name of the observation"})

    def var(arr, dims_, units, long_name):
        return (dims_, arr, {"units": units, "long_name": long_name})

    run_dims = dims_all if table is not None else tuple(names)
    if table is None:
        for key in run_keys:
            run_vals[key] = run_vals[key][..., 0] if ndir else run_vals[key][..., :1].sum(-1)
        nphot = nphot[..., 0] if ndir else nphot[..., :1].sum(-1)
    data = {
        "i_over_f": var(v["if"], dims_all, "1", "reflectance I/F, all orders of scattering"),
        "i_over_f_err": var(v["if_err"], dims_all, "1", "standard error of i_over_f"),
        "i_over_f_1": var(v["if1"], dims_all, "1",
                          "reflectance I/F of single scattering (first order)"),
        "i_over_f_1_err": var(v["if1_err"], dims_all, "1", "standard error of i_over_f_1"),
        "i_over_f_order": var(v["order"], dims_all + ("order",), "1",
                              "reflectance I/F by order of scattering"),
        "i_over_f_order_err": var(v["order_err"], dims_all + ("order",), "1",
                                  "estimated standard error of i_over_f_order (the direction's "
                                  "variance shared among the orders by their sums)"),
        "fdir": var(run_vals["fdir"], run_dims, "1",
                    "fraction of photons that crossed the layer unscattered"),
        "tau": var(run_vals["tau"], run_dims, "1", "optical depth of the particle field"),
        "tau_n": var(run_vals["tau_n"], run_dims, "1",
                     "normal optical depth from the unscattered fraction (9999: none crossed)"),
        "iscat_mean": var(run_vals["iscat_mean"], run_dims, "1",
                          "mean number of scatterings per photon"),
        "nphot": var(nphot, run_dims, "1", "photons launched per run"),
    }
    if haze:
        data["i_over_f_haze"] = var(v["haze"], dims_all + ("ring_order", "haze_order"), "1",
                                    "reflectance I/F by the photon's numbers of ring and haze "
                                    "scatterings (ring 20: 20 and more; haze 50: 50 and more)")
        coords["ring_order"] = ("ring_order", np.arange(NRING + 1),
                                {"long_name": "ring-particle scatterings (20: 20 and more)"})
        coords["haze_order"] = ("haze_order", np.arange(NHAZE + 1),
                                {"long_name": "haze-particle scatterings (50: 50 and more)"})
    swept = [c for name, _, _, cv in dims for c in (cv or {name: None})]
    attrs = {"title": "quillet study", "swept": " ".join(swept)}
    if table is not None:
        attrs["observation_table"] = os.path.basename(str(table.source))
    skip = set(swept) | set(_OBSERVER_NAMES)
    if "realisation" in names:
        skip.add("posfile")
    if table is not None:
        skip.add("bsun")
    for name, value in deck.values().items():
        if name in skip or value is None:
            continue
        attrs[name] = value
    if "method" not in swept:
        attrs["method_name"] = LAW_NAMES.get(deck.method, "unknown")
    if "method_haze" not in swept and deck.posfile_haze != "junk":
        attrs["method_name_haze"] = LAW_NAMES.get(deck.method_haze, "unknown")
    return xr.Dataset(data_vars=data, coords=coords, attrs=attrs)


def field_description(path):
    """(settings, filling factor, size distribution) of a position file:
    the generator's settings when its second line records them, the filling
    factor of the layer (sphere volume over the cell's area times the
    layer's thickness) and the radii ("r = 1", or "r 0.2-2, q = 3" with the
    generator's index).  Empty texts and NaN where the file does not tell."""
    from quillet import particles

    settings = ""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            f.readline()
            second = f.readline().strip().strip("'\"")
        if second.startswith("quillet-field"):
            settings = second
        pf = particles.read_position_file(path)
    except (OSError, ValueError):
        return settings, math.nan, ""
    r = pf.rpart
    if r.size == 0 or pf.xl <= 0 or pf.yl <= 0:
        return settings, math.nan, ""
    top = float((pf.zpart + r).max())
    bottom = float((pf.zpart - r).min())
    volume = float((4.0 / 3.0 * math.pi * r ** 3).sum())
    filling = volume / (4.0 * pf.xl * pf.yl * (top - bottom)) if top > bottom else math.nan
    lo, hi = float(r.min()), float(r.max())
    if hi - lo <= 1e-12 * hi:
        sizes = "r = %.3g" % hi
    else:
        sizes = "r %.3g-%.3g" % (lo, hi)
        words = settings.split()
        if "--q" in words and words.index("--q") + 1 < len(words):
            sizes += ", q = %s" % words[words.index("--q") + 1]
    return settings, filling, sizes


def _provenance(ds, deck, program, ensemble, point_decks, threads):
    """quillet's version, the deck's text, and the field's digest, settings,
    filling factor and size distribution (per realisation for an
    ensemble)."""
    ds.attrs["quillet_version"] = runner.program_version(program)
    # The deck of the first run: the swept values, the directions and the
    # field vary over the runs (the coordinates say how).
    if ensemble is not None:   # the field's own path is the cache's, not the study's
        deck = deck.copy(posfile=os.path.basename(deck.posfile))
    ds.attrs["deck"] = deck.to_text()
    ds.attrs["random_numbers"] = "serial run" if threads is None else "threaded run"
    if ensemble is None:
        base = deck.base or os.getcwd()
        files = sorted({d.posfile for d in point_decks.values()})
        paths = [f if os.path.isabs(f) else os.path.join(base, f) for f in files]
        if len(paths) == 1 and os.path.isfile(paths[0]):
            settings, filling, sizes = field_description(paths[0])
            ds.attrs["field_digest"] = "sha256:" + runner.file_digest(paths[0])
            if settings:
                ds.attrs["field_settings"] = settings
            if math.isfinite(filling):
                ds.attrs["field_filling_factor"] = round(filling, 6)
            if sizes:
                ds.attrs["field_sizes"] = sizes
        return
    ens, made = ensemble
    digests, seeds, files, fill = [], [], [], []
    sizes = ""
    for path, seed in made:
        digests.append("sha256:" + runner.file_digest(path))
        seeds.append(-1 if seed is None else seed)
        files.append(os.path.basename(path))
        s, f, z = field_description(path)
        fill.append(f)
        sizes = sizes or z
    ds.coords["field_digest"] = ("realisation", np.array(digests, dtype=str),
                                 {"long_name": "sha256 of the realisation's position file"})
    ds.coords["field_file"] = ("realisation", np.array(files, dtype=str),
                               {"long_name": "position file of the realisation"})
    if ens.seeds is not None:
        ds.coords["field_seed"] = ("realisation", np.array(seeds, dtype=np.int64),
                                   {"long_name": "seed of quillet-field"})
        ds.attrs["field_settings"] = ens.settings()
    ds.attrs["field_realisations"] = len(made)
    fill = np.array(fill, dtype=float)
    if np.all(np.isfinite(fill)):
        ds.attrs["field_filling_factor"] = round(float(fill.mean()), 6)
    if sizes:
        ds.attrs["field_sizes"] = sizes


def _add_ensemble_mean(ds):
    from quillet.fields import ENSEMBLE_NOTE, ensemble_mean

    axis = ds["i_over_f"].dims.index("realisation")
    for key, what in (("i_over_f", "all orders"), ("i_over_f_1", "first order")):
        m, e, s = ensemble_mean(ds[key].values, ds[key + "_err"].values, axis=axis)
        dims = tuple(d for d in ds[key].dims if d != "realisation")
        ds[key + "_mean"] = (dims, m, {"units": "1", "long_name": "ensemble mean of %s (%s)"
                                       % (key, what), "note": ENSEMBLE_NOTE})
        ds[key + "_mean_err"] = (dims, e, {"units": "1", "long_name": "standard error of %s_mean "
                                           "(photons' noise and spread between fields)" % key,
                                           "note": ENSEMBLE_NOTE})
        ds[key + "_field_spread"] = (dims, s, {
            "units": "1", "long_name": "standard deviation of %s between realisations of the "
            "field beyond the photons' noise, sqrt(max(s^2 - e^2, 0))" % key})

def _attrs_of(name):
    out = {"long_name": _DECK_LONG.get(name, name)}
    if name in _DECK_UNITS:
        out["units"] = _DECK_UNITS[name]
    return out

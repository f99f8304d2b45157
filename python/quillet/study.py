"""Studies: sweeps of deck values into one labelled dataset, and study files.

    ds = quillet.sweep(deck, bsun=[10, 20, 40], ssca_part=[0.3, 0.5], jobs=2)
    ds.i_over_f.sel(bsun=20, ssca_part=0.5)
    ds.to_netcdf("study.nc")

Every combination of the swept values is one point of the study.  A point
runs as one program run, or as several when it has more observer directions
than a run holds (100); the photons do not depend on the directions, so the
pieces are the same as one run would be.  Directions that a point's Sun
elevation cannot see are left out of its runs, kept in the dataset as NaN and
listed once on standard error.  Runs are kept in a cache folder by a digest of
the deck as it runs, of its input files and of the program: a run whose deck
and inputs are unchanged is taken from there instead of being run again.
"""

import concurrent.futures
import itertools
import os
import shutil
import sys
import tempfile

import numpy as np

from quillet import runner
from quillet.deck import (AZIMUTH_THRESHOLD, Deck, DeckError, LAW_NAMES, MAX_DIRECTIONS,
                          phase_range)

NORDER = 50
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
        if name in _OBSERVER_NAMES:
            raise DeckError(name, values, "%s is an observer list: give the directions in the "
                            "deck (deck.observe) instead of sweeping them" % name)
        if name not in names:
            raise DeckError(name, values, "%s is not a deck value (the names are %s)"
                            % (name, ", ".join(n for n in names if n not in _OBSERVER_NAMES)))
        if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
            raise DeckError(name, values, "%s = %r: a swept value needs a list" % (name, values))
        values = list(values)
        if not values:
            raise DeckError(name, values, "%s: the list of swept values is empty" % name)
        values = [v.item() if isinstance(v, np.generic) else v for v in values]
        if len(set(map(repr, values))) != len(values):
            raise DeckError(name, values, "%s = %r: a swept value is given twice" % (name, values))
        out[name] = values
    return out


class _Task:
    __slots__ = ("point", "chunk", "deck", "digest", "result")

    def __init__(self, point, chunk, deck):
        self.point, self.chunk, self.deck = point, chunk, deck
        self.digest = None
        self.result = None


def _run_cached(task, cache_dir, threads, program):
    """Runs one task, or takes it from the cache."""
    final = os.path.join(cache_dir, task.digest[:24])
    if os.path.isfile(os.path.join(final, "done")):
        return runner.load_run(task.deck, final, cached=True)
    os.makedirs(cache_dir, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="tmp-", dir=cache_dir)
    try:
        runner.run(task.deck, workdir=tmp, threads=threads, program=program,
                   progress=False, check=False)
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
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
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


def sweep(deck, jobs=1, threads=0, cache_dir=None, program=None, progress=True, log=None,
          **axes):
    """Runs every combination of the swept deck values and returns one
    ``xarray.Dataset``.

    ``axes``: deck values by name, each a list (``bsun=[10, 20, 40]``);
    each becomes a dimension of that name, in the order given.  The
    observer directions are the deck's (any number: they are split over
    runs of at most 100).  ``jobs`` runs at a time, each with ``threads``
    threads (0: the cores shared among the jobs; None: the serial run).
    ``cache_dir`` keeps the runs (default ".quillet-cache" in the current
    folder); ``log``, a list, gets one (digest, folder, taken from the cache)
    per run.  Raises DeckError naming the value before any run when a
    combination cannot run."""
    import xarray as xr

    axes = _check_axes(deck, axes)
    directions = deck.directions()
    ndir = len(directions)
    for k, (lat, f) in enumerate(directions):
        if lat == 0.0 or not -90.0 <= lat <= 90.0:
            raise DeckError("latobs", lat, "observer direction %d: latobs = %g: expected an "
                            "observer elevation from -90 to 90 degrees other than 0" % (k + 1, lat))
    cache_dir = os.path.abspath(cache_dir or DEFAULT_CACHE)
    program = runner.find_program(program)
    if threads == 0:
        threads = max(1, (os.cpu_count() or 1) // max(1, int(jobs)))

    names = list(axes)
    shape = tuple(len(axes[n]) for n in names)
    points = list(itertools.product(*(range(s) for s in shape)))
    tasks = []
    unseen = {}   # (bsun, latobs) -> directions left out
    point_decks = {}
    for point in points:
        changes = {n: axes[n][i] for n, i in zip(names, point)}
        d = deck.copy(**changes)
        # The directions are checked per run below, split to fit a run.
        found = d.copy(latobs=[], fiiobs=[], latgrid=None, fiigrid=None).problems(
            threaded=threads is not None)
        if found:
            e = found[0]
            where = ", ".join("%s = %r" % kv for kv in changes.items())
            raise DeckError(e.name, e.value, "%s%s" % (e.message, " (at %s)" % where if where else ""),
                            e.record)
        point_decks[point] = d
        bad = dict(d.direction_problems())
        seen = [k for k in range(ndir) if k not in bad]
        for k in bad:
            unseen.setdefault((d.bsun, directions[k][0]), set()).add(directions[k])
        chunks = [seen[i:i + MAX_DIRECTIONS] for i in range(0, len(seen), MAX_DIRECTIONS)] or [[]]
        for chunk in chunks:
            cd = d.copy(latobs=[directions[k][0] for k in chunk],
                        fiiobs=[directions[k][1] for k in chunk], latgrid=None, fiigrid=None)
            cd.validate(threaded=threads is not None)
            tasks.append(_Task(point, chunk, cd))
    for (bsun, lat), left in sorted(unseen.items()):
        lo, hi = phase_range(bsun, lat)
        print("quillet: with bsun = %g an observer at latobs = %g sees phase angles %g to %g; "
              "left out (NaN in the dataset): %s"
              % (bsun, lat, lo, hi, _directions_text(left)),
              file=sys.stderr)
    for t in tasks:
        t.digest = runner.run_digest(t.deck, threads is not None, program)

    bar = _progress_bar(len(tasks), progress)
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, int(jobs))) as pool:
            futures = {pool.submit(_run_cached, t, cache_dir, threads, program): t for t in tasks}
            try:
                for fut in concurrent.futures.as_completed(futures):
                    futures[fut].result = fut.result()
                    if bar is not None:
                        bar.update(1)
            except BaseException:
                for fut in futures:
                    fut.cancel()
                raise
    finally:
        if bar is not None:
            bar.close()
    if log is not None:
        for t in tasks:
            log.append((t.digest, t.result.workdir, t.result.cached))
    return _dataset(deck, names, axes, shape, points, point_decks, tasks, directions, xr)


def _dataset(deck, names, axes, shape, points, point_decks, tasks, directions, xr):
    ndir = len(directions)
    full = shape + (ndir,)
    v = {key: np.full(full, np.nan) for key in ("if", "if_err", "if1", "if1_err")}
    v["order"] = np.full(full + (NORDER,), np.nan)
    v["order_err"] = np.full(full + (NORDER,), np.nan)
    run_vals = {key: np.full(shape, np.nan) for key in ("fdir", "tau", "tau_n", "iscat_mean")}
    nphot = np.zeros(shape, dtype=np.int64)
    phase = np.full(full, np.nan)
    azim = np.full(full, np.nan)
    for point in points:
        d = point_decks[point]
        phase[point] = d.phase_angles()
        azim[point] = d.relative_azimuths()
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
        run_vals["fdir"][t.point] = w.fdir
        run_vals["tau"][t.point] = w.tau
        run_vals["tau_n"][t.point] = w.tau_n
        run_vals["iscat_mean"][t.point] = w.iscat_mean
        nphot[t.point] = w.nphot

    dims = tuple(names) + ("direction",)
    coords = {n: (n, np.asarray(axes[n]), _attrs_of(n)) for n in names}
    coords["direction"] = ("direction", np.arange(1, ndir + 1),
                           {"long_name": "observer direction number"})
    coords["order"] = ("order", np.arange(1, NORDER + 1),
                       {"long_name": "order of scattering (50: 50 and more)"})
    coords["latobs"] = ("direction", np.array([lat for lat, _ in directions], dtype=float),
                        {"units": "degree", "long_name": "observer elevation above the ring plane"})
    coords["fiiobs"] = ("direction", np.array([f for _, f in directions], dtype=float),
                        {"units": "degree", "long_name": "observer as the deck gives it: phase "
                         "angle below 820, else 1000 + azimuth relative to the Sun"})
    for key, arr, attrs in (
            ("phase_angle", phase, {"units": "degree", "long_name": "phase angle"}),
            ("azimuth", azim, {"units": "degree", "long_name": "observer azimuth relative to the Sun"})):
        flat = arr.reshape(-1, ndir) if ndir else arr.reshape(1, 0)
        if flat.shape[0] and np.all(np.isclose(flat, flat[0], rtol=0, atol=1e-9, equal_nan=True)):
            coords[key] = ("direction", flat[0].copy(), attrs)
        else:
            coords[key] = (dims, arr, attrs)

    def var(arr, dims_, units, long_name):
        return (dims_, arr, {"units": units, "long_name": long_name})

    data = {
        "i_over_f": var(v["if"], dims, "1", "reflectance I/F, all orders of scattering"),
        "i_over_f_err": var(v["if_err"], dims, "1", "standard error of i_over_f"),
        "i_over_f_1": var(v["if1"], dims, "1", "reflectance I/F of single scattering (first order)"),
        "i_over_f_1_err": var(v["if1_err"], dims, "1", "standard error of i_over_f_1"),
        "i_over_f_order": var(v["order"], dims + ("order",), "1",
                              "reflectance I/F by order of scattering"),
        "i_over_f_order_err": var(v["order_err"], dims + ("order",), "1",
                                  "estimated standard error of i_over_f_order (the direction's "
                                  "variance shared among the orders by their sums)"),
        "fdir": var(run_vals["fdir"], tuple(names), "1",
                    "fraction of photons that crossed the layer unscattered"),
        "tau": var(run_vals["tau"], tuple(names), "1", "optical depth of the particle field"),
        "tau_n": var(run_vals["tau_n"], tuple(names), "1",
                     "normal optical depth from the unscattered fraction (9999: none crossed)"),
        "iscat_mean": var(run_vals["iscat_mean"], tuple(names), "1",
                          "mean number of scatterings per photon"),
        "nphot": var(nphot, tuple(names), "1", "photons launched per run"),
    }
    attrs = {"title": "quillet study", "swept": " ".join(names)}
    for name, value in deck.values().items():
        if name in names or name in _OBSERVER_NAMES or value is None:
            continue
        attrs[name] = value
    if "method" not in names:
        attrs["method_name"] = LAW_NAMES.get(deck.method, "unknown")
    if "method_haze" not in names and deck.posfile_haze != "junk":
        attrs["method_name_haze"] = LAW_NAMES.get(deck.method_haze, "unknown")
    ds = xr.Dataset(data_vars=data, coords=coords, attrs=attrs)
    return ds


def _attrs_of(name):
    out = {"long_name": _DECK_LONG.get(name, name)}
    if name in _DECK_UNITS:
        out["units"] = _DECK_UNITS[name]
    return out

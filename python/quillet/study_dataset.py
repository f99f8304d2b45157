"""The dataset of a study: the runs' direction files gathered into one
labelled ``xarray.Dataset`` with its coordinates, units and provenance
(quillet's version, the deck, the particle field and, for an ensemble of
fields, its mean)."""

import math
import os

import numpy as np

from quillet import runner
from quillet.deck import LAW_NAMES, direction_phase_angle, relative_azimuth

NORDER = 50
NRING = 20
NHAZE = 50
OBSERVER_NAMES = ("latobs", "fiiobs", "latgrid", "fiigrid")

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


def _collapse(arr, ndir):
    """The values of a (points..., last) array along the last dimension
    alone when every point has the same, else None."""
    flat = arr.reshape(-1, ndir) if ndir else arr.reshape(1, 0)
    if flat.shape[0] and np.all(np.isclose(flat, flat[0], rtol=0, atol=1e-9, equal_nan=True)):
        return flat[0].copy()
    return None


def dataset(deck, dims, shape, points, point_decks, point_dirs, tasks, ndir, table, xr):
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
        if w.ntest != len(t.rows):
            raise runner.RunError("%s: %d directions, the run had %d"
                                  % (r.files["wfile"], w.ntest, len(t.rows)))
        f, fe = w.i_over_f()
        f1, f1e = r.i_over_f_1()
        o, oe = w.i_over_f_order() if w.ntest else (np.zeros((0, NORDER)),) * 2
        for j, k in enumerate(t.rows):
            at = t.point + (k,)
            v["if"][at], v["if_err"][at] = f[j], fe[j]
            v["if1"][at], v["if1_err"][at] = f1[j], f1e[j]
            v["order"][at], v["order_err"][at] = o[j], oe[j]
        if haze and w.ntest:
            scale = (np.abs(np.sin(np.radians(w.bsun))) / np.abs(np.sin(np.radians(w.latobs)))
                     / float(max(w.nphot, 1)))
            for j, k in enumerate(t.rows):
                v["haze"][t.point + (k,)] = w.w_haze[j] * scale[j]
        rows = list(t.rows) if table is not None else slice(None)
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
                coords[c] = (name, np.asarray(vals), attrs_of(c))
        else:
            coords[name] = (name, np.asarray(cvalues[name]), attrs_of(name))
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
        coords["bsun"] = (last, table.bsun.copy(), attrs_of("bsun"))
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
    skip = set(swept) | set(OBSERVER_NAMES)
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


def provenance(ds, deck, program, ensemble, point_decks, threads):
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


def add_ensemble_mean(ds):
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


def attrs_of(name):
    out = {"long_name": _DECK_LONG.get(name, name)}
    if name in _DECK_UNITS:
        out["units"] = _DECK_UNITS[name]
    return out

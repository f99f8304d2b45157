"""Pictures of a run's results, written as PNG files.

matplotlib is imported when a plot is made, not with the package, and the
figures are drawn on the Agg canvas directly: no window, no pyplot state.
FITS files of the test-image maps are written when astropy can be imported.

Every function takes what a reader returned and an output path (or folder)
and returns the path(s) it wrote.
"""

import itertools
import os

import numpy as np

from quillet import photometry

DEG = np.pi / 180.0


def _figure(width, height):
    from matplotlib.figure import Figure
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    fig = Figure(figsize=(width, height), layout="constrained")
    FigureCanvasAgg(fig)
    return fig


def _save(fig, path, dpi, metadata=None):
    fig.savefig(path, dpi=dpi, metadata=metadata)
    return str(path)


# -- I/F against phase angle ------------------------------------------------

FEW_DIRECTIONS = 8   # below this many directions in a panel the orders are drawn as points


def _panel_grid(fig, npanel, ncol):
    """Axes pairs (I/F above, relative error below) for npanel panels."""
    nrow = (npanel + ncol - 1) // ncol
    outer = fig.add_gridspec(nrow, ncol)
    pairs = []
    for i in range(nrow * ncol):
        inner = outer[i // ncol, i % ncol].subgridspec(2, 1, height_ratios=(3, 1), hspace=0.05)
        top = fig.add_subplot(inner[0])
        bottom = fig.add_subplot(inner[1], sharex=top)
        top.tick_params(labelbottom=False)
        pairs.append((top, bottom))
    return pairs


def _relative_error_axis(ax):
    ax.set_xlabel("phase angle (deg)")
    ax.set_ylabel("s.e. / I/F (%)", fontsize=8)
    ax.set_ylim(bottom=0.0)
    ax.grid(alpha=0.3)
    ax.tick_params(labelsize=8)


def plot_i_over_f(result, path, max_order=5, dpi=120, max_panels=6):
    """I/F against phase angle, one panel per observer elevation: the
    contributions of orders 1 .. max_order - 1 and of the orders from
    max_order up stacked (as areas, or as points where a panel has few
    directions), the total with its standard error on top, and below each
    panel the relative standard error, which stays readable when the error
    bars are smaller than the markers.

    ``result`` is a DirectionFile (or an EscapeFile or HistogramFile, which
    carry the same per-direction records).
    """
    alpha = result.phase_angle()
    total, err = result.i_over_f()
    by_order, _ = result.i_over_f_order()
    max_order = max(1, min(int(max_order), by_order.shape[1]))
    layers = [by_order[:, o] for o in range(max_order - 1)]
    layers.append(by_order[:, max_order - 1:].sum(axis=1))
    labels = ["order %d" % (o + 1) for o in range(max_order - 1)]
    labels.append("orders %d+" % max_order if max_order < by_order.shape[1] else "order %d" % max_order)

    lats = np.unique(np.round(np.asarray(result.latobs, dtype=float), 6))
    lats = lats[np.isfinite(lats)]
    shown = lats[:max_panels]
    npanel = max(1, len(shown))
    ncol = min(npanel, 3)
    nrow = (npanel + ncol - 1) // ncol
    fig = _figure(4.6 * ncol + 0.6, 4.4 * nrow + 0.4)
    pairs = _panel_grid(fig, npanel, ncol)
    import matplotlib

    colours = matplotlib.colormaps["viridis"](np.linspace(0.15, 0.9, len(layers)))
    for top, bottom in pairs[npanel:]:
        top.set_visible(False)
        bottom.set_visible(False)
    if result.ntest == 0:
        pairs[0][0].text(0.5, 0.5, "no observer directions in this run", ha="center",
                         va="center", transform=pairs[0][0].transAxes)
    for (ax, low), lat in zip(pairs, shown):
        # A direction whose azimuth could not be formed has no phase angle.
        sel = np.flatnonzero(np.isclose(result.latobs, lat, atol=1e-6) & np.isfinite(alpha))
        sel = sel[np.argsort(alpha[sel], kind="stable")]
        x = alpha[sel]
        stack = np.nan_to_num(np.array([layer[sel] for layer in layers]))
        if sel.size >= FEW_DIRECTIONS:
            ax.stackplot(x, stack, labels=labels, colors=colours, alpha=0.85)
        else:
            # Few directions: an area between them would invent the curve.
            # Each order is a point at the height of the orders up to it.
            cumulative = np.cumsum(stack, axis=0)
            for level, label, colour in zip(cumulative, labels, colours):
                ax.plot(x, level, ls="none", marker="_", ms=16, mew=2.5, color=colour,
                        label=label + " (stacked)")
            if sel.size == 1:
                ax.set_xlim(x[0] - 15.0, x[0] + 15.0)
        ax.errorbar(x, total[sel], yerr=err[sel], fmt="o", color="black", ms=3, capsize=4,
                    elinewidth=1.2, label="total, 1 s.e.", zorder=5)
        ok = total[sel] > 0
        low.plot(x[ok], 100.0 * err[sel][ok] / total[sel][ok], "o-", color="black", ms=3, lw=0.8)
        _relative_error_axis(low)
        ax.set_ylabel("I/F")
        ax.set_title("observer elevation %g deg" % lat, fontsize=10)
        ax.set_ylim(bottom=0.0)
        ax.grid(alpha=0.3)
    if result.ntest:
        pairs[0][0].legend(fontsize=8, loc="best")
    note = "" if len(lats) <= max_panels else " (%d of %d elevations shown)" % (max_panels, len(lats))
    fig.suptitle("%s: Sun elevation %g deg, %d photons%s"
                 % (os.path.basename(result.path), result.bsun, result.nphot, note), fontsize=11)
    return _save(fig, path, dpi)


# -- phase curves of a study ----------------------------------------------------

def _law_text(attrs):
    name = attrs.get("method_name", "")
    code = attrs.get("method")
    pars = [attrs.get("ppar%d" % i) for i in (1, 2, 3)]
    used = {3: 1, 4: 1, 5: 1, 6: 1, 9: 1, 10: 1, 13: 3, 14: 3}.get(code, 0)
    if code is None:
        return ""
    text = name or "law %s" % code
    if used:
        text += " (" + ", ".join("ppar%d=%g" % (i + 1, pars[i]) for i in range(used)
                                 if pars[i] is not None) + ")"
    return text


def _field_text(attrs):
    parts = []
    if "field_filling_factor" in attrs:
        parts.append("filling factor %.3g" % float(attrs["field_filling_factor"]))
    if attrs.get("field_sizes"):
        parts.append(str(attrs["field_sizes"]))
    n = attrs.get("field_realisations")
    if n and int(n) > 1:
        parts.append("%d realisations of the field" % int(n))
    return ", ".join(parts)


def study_title(ds):
    """The fixed values of a study for a figure title: law, its parameters,
    albedo, optical depth, photons; the field's filling factor and size
    distribution; quillet's version (two lines)."""
    a = ds.attrs
    parts = []
    law = _law_text(a)
    if law:
        parts.append(law)
    # A value that is a coordinate (swept, or joined with xr.concat) is not
    # fixed, whatever the attributes say.
    if "ssca_part" in a and "ssca_part" not in ds.variables:
        parts.append("albedo %g" % a["ssca_part"])
    if "reweighted_from" in a:
        parts.append("reweighted from one run with %s" % a["reweighted_from"])
    if "bsun" in a and "bsun" not in ds.variables:
        parts.append("Sun elevation %g deg" % a["bsun"])
    if "tau" in ds and np.all(np.isfinite(ds["tau"].values)):
        t = np.unique(np.round(ds["tau"].values, 4))
        parts.append("tau %s" % ", ".join("%g" % v for v in t[:3]))
    if "nphot" in ds:
        n = np.unique(ds["nphot"].values)
        parts.append("%s photons per run" % ", ".join("%d" % v for v in n[:3]))
    if a.get("posfile_haze", "junk") != "junk":
        parts.append("haze %s, albedo %g" % (a.get("method_name_haze", ""), a.get("ssca_haze", 0)))
    second = [t for t in (_field_text(a), a.get("quillet_version", "")) if t]
    return ", ".join(parts) + ("\n" + "; ".join(second) if second else "")


# Coordinates that do not name a curve, and short names of those that do.
_NOT_LABELS = ("field_digest", "field_file", "fiiobs", "azimuth", "name", "order")
_LABEL_NAMES = {"phase_angle": "phase", "latobs": "observer", "bsun": "Sun",
                "field_seed": "field seed", "ssca_part": "albedo"}

DENSE = 15   # from this many points a curve's errors are a band, not caps


def _curves(ds, x_name, use_mean):
    """The curves of a study dataset: a list of dicts with x, y, err, y1,
    err1 (arrays sorted by x), latobs (the observer elevation when it is
    one along the curve, else NaN) and the label of the values that pick
    the curve.  Works on any dataset the package writes: swept values,
    pairs, observation tables, ensembles, and datasets joined with
    xr.concat (whose coordinates may have gained dimensions)."""
    import xarray as xr

    if not use_mean and ds.sizes.get("realisation", 0) == 1:
        ds = ds.isel(realisation=0)
    key = "i_over_f_mean" if use_mean else "i_over_f"
    y = ds[key]
    if x_name not in ds.variables:
        raise ValueError("the dataset has no coordinate %s to draw along" % x_name)
    first = key.replace("i_over_f", "i_over_f_1")
    have_first = first in ds.variables
    parts = [y, ds[key + "_err"], ds[x_name]]
    parts += [ds[first], ds[first + "_err"]] if have_first else []
    lat = ds["latobs"] if "latobs" in ds.variables else None
    bsun = ds["bsun"] if "bsun" in ds.variables else None
    extra = [v for v in (lat, bsun) if v is not None]
    arrays = xr.broadcast(*(parts + extra))
    dims = arrays[0].dims
    # The dimension(s) the x coordinate runs along make one curve; each
    # combination of the others is a curve of its own.
    along = [d for d in dims if d in ds[x_name].dims] or [dims[-1]]
    others = [d for d in dims if d not in along]
    order = others + along
    arrays = [a.transpose(*order) for a in arrays]
    nother = int(np.prod([ds.sizes[d] for d in others])) if others else 1
    flat = [np.asarray(a.values, dtype=float).reshape(nother, -1) if a.dtype.kind in "fiu"
            else np.asarray(a.values).reshape(nother, -1) for a in arrays]
    names = iter(flat)
    fy, fe, fx = next(names), next(names), next(names)
    f1, f1e = (next(names), next(names)) if have_first else (None, None)
    flat_lat = next(names) if lat is not None else None
    flat_bsun = next(names) if bsun is not None else None
    combos = list(itertools.product(*(range(ds.sizes[d]) for d in others)))
    curves = []
    for c, combo in enumerate(combos):
        label = []
        for d, i in zip(others, combo):
            coord_names = [n for n, v in ds.coords.items() if v.dims == (d,)
                           and n not in _NOT_LABELS and n != x_name]
            shown = [n for n in coord_names if n != d] or [d]
            label.append(", ".join("%s %s" % (_LABEL_NAMES.get(n, n),
                                              _value_text(ds[n].values[i])) for n in shown))
        # Rows of an observation table: one curve per Sun and observer elevation.
        keys = np.zeros(fy.shape[1], dtype=object)
        for j in range(fy.shape[1]):
            keys[j] = (flat_bsun[c, j] if flat_bsun is not None else np.nan,
                       flat_lat[c, j] if flat_lat is not None else np.nan)
        groups = {}
        if "observation" in along and x_name != "bsun":
            for j, k in enumerate(keys):
                groups.setdefault(k, []).append(j)
        else:
            groups[None] = list(range(fy.shape[1]))
        for k, idx in groups.items():
            idx = np.array(idx)
            xs = fx[c, idx]
            ok = np.isfinite(xs) & np.isfinite(fy[c, idx])
            idx, xs = idx[ok], xs[ok]
            s = np.argsort(xs, kind="stable")
            idx, xs = idx[s], xs[s]
            lab = list(label)
            if k is not None:
                lab.append("Sun %g, observer %g deg" % k)
            lats = flat_lat[c, idx] if flat_lat is not None else np.array([np.nan])
            one_lat = (float(lats[0]) if lats.size and np.allclose(lats, lats[0], atol=1e-6)
                       else np.nan)
            curves.append({
                "x": xs, "y": fy[c, idx], "err": fe[c, idx],
                "y1": f1[c, idx] if f1 is not None else None,
                "err1": f1e[c, idx] if f1 is not None else None,
                "latobs": one_lat, "label": "; ".join(t for t in lab if t)})
    return [cv for cv in curves if cv["x"].size]


def _draw_curve(ax, cv, colour, kind, dense, label):
    x, y, e = (cv["x"], cv["y"], cv["err"]) if kind == "total" else (cv["x"], cv["y1"], cv["err1"])
    style = dict(color=colour, lw=1.3 if kind == "total" else 1.0,
                 ls="-" if kind == "total" else "--")
    marker = dict(marker="o", ms=3 if not dense else 2.2,
                  mfc=colour if kind == "total" else "white", mec=colour)
    e = np.where(np.isfinite(e), e, 0.0)
    if dense:
        # Caps 0.1 degrees apart would merge into a bar: the error is a band.
        ax.fill_between(x, y - e, y + e, color=colour, alpha=0.25 if kind == "total" else 0.12,
                        lw=0)
        ax.plot(x, y, label=label, **style, **marker)
    else:
        ax.errorbar(x, y, yerr=e, capsize=3, elinewidth=1.0, label=label, **style, **marker)


def plot_study(ds, path, dpi=120, max_panels=6, first_order=True, log_phase=False, x=None):
    """Phase curves of a study dataset: I/F against phase angle (or against
    the coordinate ``x``, such as "bsun" for a tilt study), one curve per
    combination of the swept values (per Sun and observer elevation for an
    observation table), the total (filled markers, solid line) and the first
    order (open markers, dashed) with their standard errors: caps where the
    points are few, a band where they are many; one panel per observer
    elevation when each curve has one, the relative standard error below.
    An ensemble of fields is drawn as its mean with the error that counts
    the spread between fields.  ``log_phase``: a logarithmic x axis
    (linear below the smallest positive value, so that 0 stays on it) for
    opposition studies.  The y axis spans the data.  The fixed values, the
    field and quillet's version are in the title and the PNG's metadata."""
    import matplotlib

    x_name = x or "phase_angle"
    use_mean = "i_over_f_mean" in ds.variables and ds.sizes.get("realisation", 1) > 1
    curves = _curves(ds, x_name, use_mean)
    lats = sorted({cv["latobs"] for cv in curves if np.isfinite(cv["latobs"])})
    by_panel = (len(lats) >= 1 and len(lats) <= max_panels
                and all(np.isfinite(cv["latobs"]) for cv in curves) and len(lats) < len(curves) + 1
                and x_name != "latobs")
    panels = lats if by_panel and len(lats) > 1 else [None]
    npanel = len(panels)
    ncol = min(npanel, 3)
    nrow = (npanel + ncol - 1) // ncol
    fig = _figure(5.4 * ncol + 0.8, 5.0 * nrow + 0.9)
    pairs = _panel_grid(fig, npanel, ncol)
    ncurve = max((sum(1 for cv in curves if p is None or np.isclose(cv["latobs"], p))
                  for p in panels), default=0)
    colours = matplotlib.colormaps["tab10" if ncurve <= 10 else "viridis"](
        np.arange(ncurve) if ncurve <= 10 else np.linspace(0, 1, max(ncurve, 1)))
    positive = np.concatenate([cv["x"][cv["x"] > 0] for cv in curves] or [np.zeros(0)])
    has_zero = any(np.any(cv["x"] <= 0) for cv in curves)
    for (ax, low), p in zip(pairs, panels):
        mine = [cv for cv in curves if p is None or np.isclose(cv["latobs"], p)]
        lo_hi = []
        for c, cv in enumerate(mine):
            colour = colours[c]
            dense = cv["x"].size >= DENSE
            label = cv["label"] or "all orders"
            _draw_curve(ax, cv, colour, "total", dense,
                        (label + ": all orders") if cv["label"] else label)
            lo_hi += [np.nanmin(cv["y"] - np.nan_to_num(cv["err"])),
                      np.nanmax(cv["y"] + np.nan_to_num(cv["err"]))]
            good = cv["y"] > 0
            low.plot(cv["x"][good], 100.0 * cv["err"][good] / cv["y"][good], "-", color=colour,
                     lw=0.9, marker="o", ms=2.2)
            if first_order and cv["y1"] is not None and np.any(np.isfinite(cv["y1"])):
                _draw_curve(ax, cv, colour, "first", dense,
                            (cv["label"] + ": first order") if cv["label"] else "first order")
                lo_hi += [np.nanmin(cv["y1"] - np.nan_to_num(cv["err1"])),
                          np.nanmax(cv["y1"] + np.nan_to_num(cv["err1"]))]
        if lo_hi:
            lo, hi = float(np.nanmin(lo_hi)), float(np.nanmax(lo_hi))
            pad = 0.06 * (hi - lo) if hi > lo else 0.05 * abs(hi) or 0.01
            ax.set_ylim(lo - pad, hi + pad)
        ax.set_ylabel("I/F" + (" (mean of the fields)" if use_mean else ""))
        if p is not None or (len(lats) == 1 and x_name != "latobs"):
            ax.set_title("observer elevation %g deg" % (lats[0] if p is None else p), fontsize=10)
        ax.grid(alpha=0.3, which="both" if log_phase else "major")
        _relative_error_axis(low)
        if x_name != "phase_angle":
            low.set_xlabel(_axis_label(ds, x_name))
        if log_phase and positive.size:
            if has_zero:
                ax.set_xscale("symlog", linthresh=float(positive.min()), linscale=0.4)
                ax.set_xlim(left=0.0)
                low.set_xlabel(low.get_xlabel() + ", logarithmic above %g" % positive.min())
            else:
                ax.set_xscale("log")
                low.set_xlabel(low.get_xlabel() + ", logarithmic")
            from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

            top = float(max(np.nanmax(cv["x"]) for cv in mine)) if mine else 1.0
            ticks = [m * 10.0 ** e for e in range(-3, 3) for m in (1, 2, 5)]
            ticks = [t for t in ticks if positive.min() * 0.999 <= t <= top * 1.001]
            ax.xaxis.set_major_locator(FixedLocator(([0.0] if has_zero else []) + ticks))
            ax.xaxis.set_minor_locator(NullLocator())
            ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: "%g" % v))
        if mine:
            ax.legend(fontsize=7, loc="best")
        else:
            ax.text(0.5, 0.5, "no data in this study", ha="center", va="center",
                    transform=ax.transAxes)
    title = study_title(ds)
    fig.suptitle(title, fontsize=10)
    return _save(fig, path, dpi, metadata=_metadata(ds, title, "phase curves"))


def _axis_label(ds, name):
    attrs = ds[name].attrs
    text = attrs.get("long_name", name)
    return "%s (%s)" % (text, "deg" if attrs.get("units") == "degree" else attrs.get("units", "")) \
        if attrs.get("units") else text


def _metadata(ds, title, what):
    a = ds.attrs
    return {"Title": "quillet study: %s" % what, "Description": title.replace("\n", "; "),
            "Software": a.get("quillet_version", "quillet"),
            "Source": a.get("field_settings", "") or a.get("field_digest", "")}


def _value_text(v):
    if isinstance(v, (float, np.floating)):
        return "%g" % v
    if isinstance(v, bytes):
        return v.decode()
    return str(v)


# -- test-image maps ----------------------------------------------------------

MAP_TEXT = {
    "ill_image": ("first scatterings per entry pixel", "photons"),
    "vis_image": ("first scatterings visible from direction 1, per entry pixel", "photons"),
    "test_image": ("peel-off toward direction 1 by scattering position", "sum of contributions"),
}


def test_image_maps(image):
    """(name, description, unit, array) of every map in a test-image file:
    ill_image, vis_image and test_image_1 .. test_image_n (order m, the last
    of ten holding orders 10 and up)."""
    maps = [("ill_image",) + MAP_TEXT["ill_image"] + (image.ill_image,),
            ("vis_image",) + MAP_TEXT["vis_image"] + (image.vis_image,)]
    for m in range(image.test_image.shape[0]):
        order = "orders 10+" if m == 9 else "order %d" % (m + 1)
        desc, unit = MAP_TEXT["test_image"]
        maps.append(("test_image_%d" % (m + 1), "%s, %s" % (desc, order), unit, image.test_image[m]))
    return maps


def plot_position_maps(image, outdir, stem, dpi=120):
    """One PNG per map of a test-image file, in cell coordinates with a
    colour bar; returns the paths written."""
    paths = []
    extent = image.extent()
    for name, desc, unit, data in test_image_maps(image):
        aspect = image.yl / image.xl if image.xl > 0 else 1.0
        fig = _figure(6.4, max(2.5, min(8.0, 5.0 * aspect)) + 1.0)
        ax = fig.add_subplot()
        shown = ax.imshow(data, origin="lower", extent=extent, interpolation="nearest",
                          cmap="magma", aspect="equal")
        bar = fig.colorbar(shown, ax=ax, shrink=0.85)
        bar.set_label(unit)
        ax.set_xlabel("x (cell, position-file units)")
        ax.set_ylabel("y")
        sub = "Sun elevation %g deg" % image.bsun
        if image.ntest >= 1 and name != "ill_image":
            sub += "; direction 1: elevation %g deg, azimuth %g deg" % (image.latobs[0],
                                                                       image.fiiobs[0])
        ax.set_title("%s: %s\n%s\n%d x %d pixels, %d photons"
                     % (name, desc, sub, image.nxpix, image.nypix, image.nphot), fontsize=9)
        paths.append(_save(fig, os.path.join(outdir, "%s.%s.png" % (stem, name)), dpi))
    return paths


def fits_cards(image, name):
    """Header cards (key, value, comment) of one test-image map as a FITS
    image: linear coordinates of the pixel centres in the cell and the run's
    geometry.  FITS axis 1 is x (ix fastest), axis 2 is y."""
    dx = 2.0 * image.xl / image.nxpix
    dy = 2.0 * image.yl / image.nypix if image.nypix else 0.0
    cards = [
        ("CTYPE1", "X", "cell x, position-file length unit"),
        ("CRPIX1", 1.0, "reference pixel: the first column"),
        ("CRVAL1", -image.xl + 0.5 * dx, "x of the first column's centre"),
        ("CDELT1", dx, "pixel width in x"),
        ("CTYPE2", "Y", "cell y, position-file length unit"),
        ("CRPIX2", 1.0, "reference pixel: the first row"),
        ("CRVAL2", -image.yl + 0.5 * dy, "y of the first row's centre"),
        ("CDELT2", dy, "pixel height in y"),
        ("MAPNAME", name, "quillet map"),
        ("XL", image.xl, "half-width of the cell in x"),
        ("YL", image.yl, "half-width of the cell in y"),
        ("SY", image.sy, "y shift of neighbouring cell columns"),
        ("NPART", image.npart, "particles in the field"),
        ("NPHOT", image.nphot, "photons launched"),
        ("NXPHOT", image.nxphot, "launch grid in x"),
        ("NYPHOT", image.nyphot, "launch grid in y"),
        ("BSUN", image.bsun, "[deg] Sun elevation"),
        ("LONSUN", image.lonsun, "[deg] Sun azimuth"),
        ("NTEST", image.ntest, "observer directions"),
    ]
    if image.ntest >= 1:
        cards.append(("LATOBS1", float(image.latobs[0]), "[deg] elevation of direction 1"))
        cards.append(("FIIOBS1", float(image.fiiobs[0]), "[deg] azimuth of direction 1"))
        cards.append(("PHASE1", float(photometry.phase_angle(image.bsun, image.lonsun,
                                                             image.latobs[0], image.fiiobs[0])),
                      "[deg] phase angle of direction 1"))
    return cards


def write_fits_maps(image, outdir, stem):
    """Writes every map of a test-image file as a FITS image when astropy can
    be imported; returns the paths written, or None without astropy."""
    try:
        from astropy.io import fits
    except ImportError:
        return None
    paths = []
    for name, _desc, _unit, data in test_image_maps(image):
        hdu = fits.PrimaryHDU(np.ascontiguousarray(data))
        for key, value, comment in fits_cards(image, name):
            hdu.header[key] = (value, comment)
        path = os.path.join(outdir, "%s.%s.fits" % (stem, name))
        hdu.writeto(path, overwrite=True)
        paths.append(path)
    return paths


# -- escape directions --------------------------------------------------------

def _per_steradian(weights_lat_fii, lat_edges_deg, fii_edges_deg, nphot):
    """Bin sums (lat, fii) turned into weight per steradian per photon."""
    dfii = np.diff(fii_edges_deg) * DEG
    dsin = np.diff(np.sin(lat_edges_deg * DEG))
    omega = dsin[:, None] * dfii[None, :]
    return weights_lat_fii / omega / float(max(nphot, 1))


def _sky_panel(fig, ax, data, fii_edges, lat_edges, title, bsun, lonsun, sun_azimuth=True):
    # The bins next to the poles cover little solid angle and hold few
    # photons: their noise would set the colour scale, so it ends at the
    # 99.5th percentile of the filled bins.
    filled = data[data > 0]
    vmax = float(np.percentile(filled, 99.5)) if filled.size else 1.0
    shown = ax.pcolormesh(fii_edges, lat_edges, data, cmap="viridis", shading="flat",
                          vmin=0.0, vmax=vmax)
    bar = fig.colorbar(shown, ax=ax, shrink=0.9, extend="max")
    bar.set_label("weight / sr / photon", fontsize=8)
    if sun_azimuth:
        lon = (lonsun + 180.0) % 360.0 - 180.0
        ax.plot([lon], [bsun], marker="*", color="orange", ms=11, mec="black", ls="none",
                label="toward the Sun")
    else:
        # Each photon sees the field turned by rot, 0 to 180 degrees (pi
        # times a uniform deviate): in the turned field's frame the Sun lies
        # at its elevation somewhere from lonsun to lonsun + 180.
        lon = (lonsun + 180.0) % 360.0 - 180.0
        ends = [(lon, min(lon + 180.0, 180.0))]
        if lon + 180.0 > 180.0:
            ends.append((-180.0, lon + 180.0 - 360.0))
        for i, (a, b) in enumerate(ends):
            ax.plot([a, b], [bsun, bsun], color="orange", lw=3, solid_capstyle="butt",
                    alpha=0.9, label="toward the Sun: somewhere on this line" if i == 0 else None)
    ax.set_xlim(-180, 180)
    ax.set_ylim(-90, 90)
    ax.set_xticks(np.arange(-180, 181, 60))
    ax.set_yticks(np.arange(-90, 91, 30))
    ax.set_xlabel("exit azimuth (deg)")
    ax.set_ylabel("exit latitude (deg)")
    ax.set_title(title, fontsize=9)


FRAME_ROTATED = ("exit azimuth in the frame of the field as each photon saw it, turned by 0 to "
                 "180 deg (irot = 1): the Sun's azimuth there differs from photon to photon")
FRAME_UNKNOWN = ("exit azimuth in the field's frame; the file does not say whether the field "
                 "was rotated (irot), so the Sun is not marked: give the deck")


def plot_escape_histogram(hist, path, dpi=120, irot=None):
    """The escape histogram as azimuth-latitude maps: all escapes after 1 to
    9 scatterings, then after 1, 2 and 3 or more scatterings, in escaping
    weight per steradian per launched photon.

    The histogram is recorded in the frame of the field as each photon saw
    it.  With ``irot`` = 0 (no rotation) that is the Sun's frame and the
    direction toward the Sun is marked; with a random rotation (``irot``
    not 0, each photon's field turned by 0 to 180 degrees) the Sun's azimuth
    differs from photon to photon, so the line of its possible directions is
    marked and the azimuth axis says so; ``irot`` None (not known: the file
    does not record it) marks no Sun."""
    fii_edges = hist.fii_edges()
    lat_edges = hist.lat_edges()
    planes = hist.esc_hist.astype(np.float64)
    panels = [("all escapes after 1-9 scatterings", planes[1:].sum(axis=0)),
              ("after 1 scattering", planes[1]),
              ("after 2 scatterings", planes[2]),
              ("after 3-9 scatterings", planes[3:].sum(axis=0))]
    fig = _figure(11.0, 6.4)
    axes = fig.subplots(2, 2)
    for ax, (title, data) in zip(axes.flat, panels):
        _sky_panel(fig, ax, _per_steradian(data, lat_edges, fii_edges, hist.nphot),
                   fii_edges, lat_edges, title, hist.bsun, hist.lonsun,
                   sun_azimuth=irot is not None and int(irot) == 0)
        if irot is None or int(irot) != 0:
            ax.set_xlabel("exit azimuth in the %s frame (deg)"
                          % ("rotated field's" if irot is not None else "field's"))
    if irot is not None:   # the Sun, or its elevation, is marked
        axes[0, 0].legend(fontsize=8, loc="lower left")
    frame = ("exit azimuth in the Sun's frame (irot = 0)" if irot is not None and int(irot) == 0
             else FRAME_ROTATED if irot is not None else FRAME_UNKNOWN)
    fig.suptitle("%s: escape directions, %d photons, Sun elevation %g deg\n%s"
                 % (os.path.basename(hist.path), hist.nphot, hist.bsun, frame), fontsize=10)
    return _save(fig, path, dpi, metadata={"Title": "quillet escape histogram",
                                           "Description": frame, "Software": "quillet"})


def plot_escape_records(esc, path, dpi=120):
    """From an escape file: the exit directions of the scattered photons as
    an azimuth-latitude map (2-degree bins, weight per steradian per photon,
    azimuths in the unrotated field's frame) and the escaping weight by
    number of scatterings."""
    fii_edges = np.linspace(-180.0, 180.0, 181)
    lat_edges = np.linspace(-90.0, 90.0, 91)
    fii = np.degrees(esc.esc_fii.astype(np.float64))
    fii = (fii + 180.0) % 360.0 - 180.0
    lat = np.degrees(esc.esc_lat.astype(np.float64))
    sca = esc.esc_sca.astype(np.float64)
    w = esc.esc_weight.astype(np.float64)
    scattered = (sca >= 1) & (w > 0)
    sums, _, _ = np.histogram2d(lat[scattered], fii[scattered], bins=[lat_edges, fii_edges],
                                weights=w[scattered])
    fig = _figure(12.0, 4.2)
    ax_map, ax_bar = fig.subplots(1, 2, width_ratios=[1.6, 1.0])
    _sky_panel(fig, ax_map, _per_steradian(sums, lat_edges, fii_edges, esc.nphot),
               fii_edges, lat_edges, "scattered photons by exit direction", esc.bsun, esc.lonsun)
    escaped = w > 0
    nmax = int(sca[escaped].max()) if escaped.any() else 0
    counts = np.bincount(sca[escaped].astype(np.int64), weights=w[escaped], minlength=nmax + 1)
    ax_bar.bar(np.arange(counts.size), counts / float(max(esc.nphot, 1)), color="steelblue")
    ax_bar.set_xlabel("scatterings before the escape")
    ax_bar.set_ylabel("escaping weight per photon")
    if counts.size and counts.max() > 0:
        ax_bar.set_yscale("log")
    ax_bar.set_title("unscattered fraction fdir = %.4g" % esc.fdir, fontsize=9)
    fig.suptitle("%s: %d photons" % (os.path.basename(esc.path), esc.nphot), fontsize=11)
    return _save(fig, path, dpi)


# -- particle field ---------------------------------------------------------

def plot_particle_field(field, path, dpi=120):
    """Top view (x-y) and side view (x-z) of the spheres of a ParticleField,
    with the cell's outline; haze particles in a second colour, spheres whose
    centre lies outside the cell (copies across its edges) paler."""
    from matplotlib.collections import EllipseCollection
    from matplotlib.patches import Rectangle

    r = field.rpart
    rmax = float(r.max()) if r.size else 0.0
    xl, yl = field.xl, field.yl
    zlo = min(field.zmin, float((field.zpart - r).min()) if r.size else 0.0)
    zhi = max(field.zmax, float((field.zpart + r).max()) if r.size else 0.0)
    width = 2.0 * (xl + rmax) or 1.0
    height_top = 2.0 * (yl + rmax) or 1.0
    height_side = max(zhi - zlo, 0.05 * width) + 2.0 * 0.02 * width
    fig_w = 8.0
    scale = (fig_w - 1.2) / width
    h_top, h_side = height_top * scale, max(height_side * scale, 1.2)
    fig = _figure(fig_w, min(h_top + h_side + 1.2, 18.0))
    ax_top, ax_side = fig.subplots(2, 1, height_ratios=[h_top, h_side])

    inside = (np.abs(field.xpart) <= xl) & (np.abs(field.ypart) <= yl)
    colour = np.where(field.itype[:, None] == 2, [[0.85, 0.35, 0.1, 1.0]], [[0.2, 0.4, 0.75, 1.0]])
    colour[:, 3] = np.where(inside, 0.8, 0.3)
    # The side view of a large field shows a slice |y| <= 2 rmax: seen
    # through the whole cell the layer would look like a solid band.
    everything = np.ones(r.size, dtype=bool)
    in_slice = everything if r.size <= 200 else np.abs(field.ypart) <= 2.0 * rmax
    for ax, (u, v), sel in ((ax_top, (field.xpart, field.ypart), everything),
                            (ax_side, (field.xpart, field.zpart), in_slice)):
        spheres = EllipseCollection(2 * r[sel], 2 * r[sel], np.zeros(int(sel.sum())), units="xy",
                                    offsets=np.column_stack([u[sel], v[sel]]),
                                    offset_transform=ax.transData,
                                    facecolors=colour[sel], edgecolors="none")
        ax.add_collection(spheres)
        ax.set_aspect("equal")
        ax.set_xlim(-xl - rmax, xl + rmax)
        ax.set_xlabel("x")
    ax_top.add_patch(Rectangle((-xl, -yl), 2 * xl, 2 * yl, fill=False, ls="--", color="black"))
    from matplotlib.lines import Line2D

    kinds = [("ring particles", 1), ("haze particles", 2)]
    handles = [Line2D([], [], ls="none", marker="o", ms=8, alpha=0.8,
                      color=(0.2, 0.4, 0.75) if t == 1 else (0.85, 0.35, 0.1), label=label)
               for label, t in kinds if np.any(field.itype == t)]
    if handles:
        ax_top.legend(handles=handles, fontsize=8, loc="upper right", framealpha=0.9)
    ax_top.set_ylim(-yl - rmax, yl + rmax)
    ax_top.set_ylabel("y")
    ax_top.set_title("top view: %d spheres, cell %g x %g, shift sy = %g, tau = %.4g"
                     % (field.npart, 2 * xl, 2 * yl, field.sy, field.tau() if xl and yl else 0.0),
                     fontsize=9)
    ax_side.axhline(field.zmin, color="grey", ls=":", lw=0.8)
    ax_side.axhline(field.zmax, color="grey", ls=":", lw=0.8)
    ax_side.axvline(-xl, color="black", ls="--", lw=0.8)
    ax_side.axvline(xl, color="black", ls="--", lw=0.8)
    mid = 0.5 * (zlo + zhi)
    ax_side.set_ylim(mid - 0.5 * height_side, mid + 0.5 * height_side)
    ax_side.set_ylabel("z")
    which = "" if in_slice is everything else ", slice |y| <= %.3g (%d spheres)" % (
        2.0 * rmax, int(in_slice.sum()))
    ax_side.set_title("side view%s: layer from zmin = %.4g to zmax = %.4g"
                      % (which, field.zmin, field.zmax), fontsize=9)
    fig.suptitle(os.path.basename(field.path), fontsize=11)
    return _save(fig, path, dpi)

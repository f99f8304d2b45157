"""Phase curves of a study dataset (what quillet.sweep and quillet-study
write): one curve per combination of the swept values, the total and the
first order with their standard errors, and the study's fixed values in
the title and the PNG's metadata."""

import itertools

import numpy as np

from quillet.plot_canvas import new_figure, panel_grid, relative_error_axis, save_figure


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
    fig = new_figure(5.4 * ncol + 0.8, 5.0 * nrow + 0.9)
    pairs = panel_grid(fig, npanel, ncol)
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
        relative_error_axis(low)
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
    return save_figure(fig, path, dpi, metadata=_metadata(ds, title, "phase curves"))


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

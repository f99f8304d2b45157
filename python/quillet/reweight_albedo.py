"""The I/F of a study for other single-scattering albedos, without new runs.

    other = quillet.reweight(ds, ssca_part=[0.3, 0.7, 0.9])

The albedo does not steer a photon: every scattering multiplies the photon's
weight by it and draws the same random numbers whatever its value.  So the
contribution of the n-th scattering toward a direction scales as
(a' / a)^n when the ring particles' albedo a becomes a', and

    I/F(a') = sum over n of (a' / a)^n I/F_n(a)

holds photon by photon: with the same seed it is the I/F a run with albedo
a' gives, to rounding.  Limits:

- The direction file keeps orders 1 to 49 apart and all orders from 50 up in
  one sum; that sum is scaled as order 50.  For a' < a this is an upper
  bound of its true share, for a' > a a lower bound.  ``i_over_f_tail``
  gives the scaled order-50 sum, so that a reader can see whether it matters
  (in the test suite, tau 0.5 reweighted to albedo 0.8, it is below 1e-10 of the total).
- With haze, the ring-by-haze table (ring scatterings 0..20, the last all
  from 20 up; haze scatterings 0..50, the last all from 50 up) scales the
  same way by both albedos; its last row and column carry the same limit.
- a = 0 cannot be reweighted (nothing but order 0 survives), and a' must lie
  from 0 to 1.

Error.  The dataset's per-order errors share each direction's variance among
the orders by their sums, e_n = E sqrt(w_n / W).  Taking the orders as
uncorrelated, the error of the reweighted sum is

    E' = E sqrt(sum over n of r^(2n) w_n / W),   r = a' / a,

which is E itself at r = 1.  It neglects the correlations between the
orders of one photon (a photon that scatters often adds to many orders) and
rests on the shared-variance estimate of the per-order errors, which is
exact only when every order's contributions follow one law.  Against the
errors of direct runs at albedos 0.2 and 0.8 reweighted from 0.5 (tau 0.5,
phase angles 12 to 100 degrees) it is 0 to 10 % too large; the test suite
checks it stays within 0.8 to 1.25 times theirs.
"""

import numpy as np

from quillet.deck import DeckError


def _ratio(name, old, new):
    new = [float(v) for v in np.atleast_1d(new)]
    for v in new:
        if not 0.0 <= v <= 1.0:
            raise DeckError(name, v, "%s = %g: expected an albedo from 0 to 1" % (name, v))
    if not old > 0.0:
        raise DeckError(name, old, "the study ran with %s = %g: nothing to reweight" % (name, old))
    return new


def reweight(ds, ssca_part=None, ssca_haze=None):
    """A dataset of ``i_over_f``, ``i_over_f_err``, ``i_over_f_1``,
    ``i_over_f_1_err`` and ``i_over_f_tail`` for the albedos given (each a new dimension, named as
    the albedo), computed from the orders of ``ds`` (a study dataset with one
    albedo: not swept)."""
    import xarray as xr

    fixed = {}
    for name in ("ssca_part", "ssca_haze"):
        if name in ds.coords and ds.coords[name].ndim == 0:
            fixed[name] = float(ds.coords[name].values)   # one value selected from a sweep
            ds = ds.drop_vars(name)
        elif name in ds.dims or name in ds.coords:
            raise DeckError(name, None, "%s is swept in this dataset: select one value first "
                            "(ds.sel(%s=...))" % (name, name))
        elif name in ds.attrs:
            fixed[name] = float(ds.attrs[name])
    if ssca_part is None and ssca_haze is None:
        raise DeckError("ssca_part", None, "give ssca_part=[...] or ssca_haze=[...]")
    if "i_over_f_order" not in ds or "ssca_part" not in fixed:
        raise DeckError("ssca_part", None, "not a study dataset of quillet (it needs "
                        "i_over_f_order and the albedo ssca_part)")
    a = fixed["ssca_part"]
    haze = ds.attrs.get("posfile_haze", "junk") != "junk"
    new_p = _ratio("ssca_part", a, ssca_part) if ssca_part is not None else [a]
    if ssca_haze is not None and not haze:
        raise DeckError("ssca_haze", ssca_haze, "the study has no haze particles")
    if haze:
        if "i_over_f_haze" not in ds:
            raise DeckError("ssca_part", ssca_part, "the dataset has no ring-by-haze table "
                            "(i_over_f_haze)")
        ah = fixed["ssca_haze"]
        new_h = _ratio("ssca_haze", ah, ssca_haze) if ssca_haze is not None else [ah]
    total = ds["i_over_f"].values
    err = ds["i_over_f_err"].values
    out_shape = total.shape
    results = {}
    if not haze:
        orders = ds["i_over_f_order"].values           # (..., 50)
        n = np.arange(1, orders.shape[-1] + 1, dtype=float)
        f = np.empty((len(new_p),) + out_shape)
        e = np.empty_like(f)
        f1 = np.empty_like(f)
        e1 = np.empty_like(f)
        tail = np.empty_like(f)
        with np.errstate(invalid="ignore", divide="ignore"):
            for i, ap in enumerate(new_p):
                w = (ap / a) ** n
                f[i] = (orders * w).sum(axis=-1)
                share = np.where(total[..., None] > 0, orders / total[..., None], np.nan)
                e[i] = err * np.sqrt((np.clip(share, 0, None) * w ** 2).sum(axis=-1))
                f1[i] = orders[..., 0] * w[0]
                e1[i] = err * np.sqrt(np.clip(share[..., 0], 0, None)) * w[0]
                tail[i] = orders[..., -1] * w[-1]
        dims = ("ssca_part",) + ds["i_over_f"].dims
        coords = {"ssca_part": ("ssca_part", np.array(new_p),
                                {"long_name": "single-scattering albedo of the ring particles"})}
    else:
        table = ds["i_over_f_haze"].values               # (..., 21, 51)
        i_ring = np.arange(table.shape[-2], dtype=float)
        j_haze = np.arange(table.shape[-1], dtype=float)
        shape = (len(new_p), len(new_h)) + out_shape
        f = np.empty(shape)
        e = np.empty(shape)
        f1 = np.full(shape, np.nan)
        e1 = np.full(shape, np.nan)
        tail = np.empty(shape)
        with np.errstate(invalid="ignore", divide="ignore"):
            for i, ap in enumerate(new_p):
                for j, bh in enumerate(new_h):
                    w = (ap / a) ** i_ring[:, None] * (bh / ah) ** j_haze[None, :]
                    f[i, j] = (table * w).sum(axis=(-2, -1))
                    share = np.where(total[..., None, None] > 0,
                                     table / total[..., None, None], np.nan)
                    e[i, j] = err * np.sqrt((np.clip(share, 0, None) * w ** 2).sum(axis=(-2, -1)))
                    last = np.zeros(table.shape[-2:], dtype=bool)
                    last[-1, :] = True
                    last[:, -1] = True
                    tail[i, j] = (table * w * last).sum(axis=(-2, -1))
        dims = ("ssca_part", "ssca_haze") + ds["i_over_f"].dims
        coords = {"ssca_part": ("ssca_part", np.array(new_p),
                                {"long_name": "single-scattering albedo of the ring particles"}),
                  "ssca_haze": ("ssca_haze", np.array(new_h),
                                {"long_name": "single-scattering albedo of the haze particles"})}
    for c in ds["i_over_f"].coords:
        coords[c] = ds["i_over_f"].coords[c]
    note = ("reweighted from the run's albedo %g by (a'/a)^n per order of scattering; the last "
            "order bin (all orders from 50 up%s) scaled as its first order" %
            (a, ", ring scatterings from 20 up, haze from 50 up" if haze else ""))
    results["i_over_f"] = (dims, f, {"units": "1", "long_name": "reflectance I/F, all orders, "
                                     "reweighted to the albedo", "note": note})
    results["i_over_f_err"] = (dims, e, {
        "units": "1", "long_name": "estimated standard error of i_over_f",
        "note": "E sqrt(sum r^(2n) w_n / W): the orders taken as uncorrelated"})
    results["i_over_f_1"] = (dims, f1, {"units": "1", "long_name": "first-order I/F reweighted "
                                        "(NaN with haze: the ring-by-haze table keeps no orders)"})
    results["i_over_f_1_err"] = (dims, e1, {"units": "1", "long_name": "estimated standard "
                                            "error of i_over_f_1 (its share of the variance)"})
    results["i_over_f_tail"] = (dims, tail, {
        "units": "1", "long_name": "share of the last order bin in i_over_f (its limit)"})
    attrs = dict(ds.attrs)
    attrs["reweighted_from"] = "ssca_part = %g%s" % (a, ", ssca_haze = %g" % ah if haze else "")
    for k in ("ssca_part", "ssca_haze"):
        attrs.pop(k, None)
    return xr.Dataset(results, coords=coords, attrs=attrs)

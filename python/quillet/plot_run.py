"""I/F against phase angle of one run: its direction, escape or histogram
file, the orders of scattering stacked, one panel per observer elevation."""

import os

import numpy as np

from quillet.plot_canvas import new_figure, panel_grid, relative_error_axis, save_figure

FEW_DIRECTIONS = 8   # below this many directions in a panel the orders are drawn as points


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
    fig = new_figure(4.6 * ncol + 0.6, 4.4 * nrow + 0.4)
    pairs = panel_grid(fig, npanel, ncol)
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
        relative_error_axis(low)
        ax.set_ylabel("I/F")
        ax.set_title("observer elevation %g deg" % lat, fontsize=10)
        ax.set_ylim(bottom=0.0)
        ax.grid(alpha=0.3)
    if result.ntest:
        pairs[0][0].legend(fontsize=8, loc="best")
    note = "" if len(lats) <= max_panels else " (%d of %d elevations shown)" % (max_panels, len(lats))
    fig.suptitle("%s: Sun elevation %g deg, %d photons%s"
                 % (os.path.basename(result.path), result.bsun, result.nphot, note), fontsize=11)
    return save_figure(fig, path, dpi)

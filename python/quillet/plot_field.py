"""A particle field seen from above and from the side."""

import os

import numpy as np

from quillet.plot_canvas import new_figure, save_figure


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
    fig = new_figure(fig_w, min(h_top + h_side + 1.2, 18.0))
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
    return save_figure(fig, path, dpi)

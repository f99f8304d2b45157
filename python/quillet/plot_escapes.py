"""Escape directions as azimuth-latitude maps: the escape histogram by
number of scatterings, and the escape records of an escape file."""

import os

import numpy as np

from quillet.plot_canvas import new_figure, save_figure

DEG = np.pi / 180.0


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
    fig = new_figure(11.0, 6.4)
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
    return save_figure(fig, path, dpi, metadata={"Title": "quillet escape histogram",
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
    fig = new_figure(12.0, 4.2)
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
    return save_figure(fig, path, dpi)

"""The maps of a test-image file: one PNG per map in cell coordinates, and
the same maps as FITS images when astropy can be imported."""

import os

import numpy as np

from quillet import photometry
from quillet.plot_canvas import new_figure, save_figure

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
        fig = new_figure(6.4, max(2.5, min(8.0, 5.0 * aspect)) + 1.0)
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
        paths.append(save_figure(fig, os.path.join(outdir, "%s.%s.png" % (stem, name)), dpi))
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

"""Readers for quillet's result files: the direction file (``wfile``), the
escape file (``outfile``), the escape-histogram file (``epsfile``) and the
test-image file (``<testimage>.TESTIMAGE``).

Each reader returns the object of its file (quillet.result_types, whose
names are importable from here too), with quillet's own names for its
attributes (``testw``, ``testd_corr``, ``esc_lat``, ``ill_image``, ...).
Tables that the program keeps 1-based are returned 0-based; the docstrings
say how an index maps back (for example ``w_order[k - 1, order - 1]``).

Angles are stored as the program writes them: the run description in degrees
(``bsun``, ``lonsun``, ``latobs``, ``fiiobs``; ``fiiobs`` is the observer's
azimuth in the same frame as ``lonsun``), the escape records in radians.
"""

import numpy as np

from quillet._records import QuilletFileError, RecordReader, _read_text
from quillet.result_types import (
    CLOSING_NAMES, DIRECTION_MARKER, ESCAPE_MARKER, HIST_NFII, HIST_NLAT, HIST_NPLANE,
    HISTOGRAM_MARKER, NHAZE, NORDER, NRING, TEST_IMAGE_PLANES, TESTIMAGE_MARKER, DirectionFile,
    EscapeFile, HistogramFile, TestImageFile)

# -- shared record groups -------------------------------------------------

def _read_run(r, first, out):
    """posfile; lonsun, bsun, nphot; ssca, maxscat, nbox, nboxvis, idum; method;
    ppar1, ppar2, ppar3 -- records first .. first + 4."""
    r.begin(first, "posfile")
    out["posfile"] = r.line_text()
    r.begin(first + 1, "lonsun, bsun, nphot")
    out["lonsun"], out["bsun"] = r.reals(2)
    out["lonsun"], out["bsun"] = float(out["lonsun"]), float(out["bsun"])
    out["nphot"] = r.int()
    r.begin(first + 2, "ssca, maxscat, nbox, nboxvis, idum")
    out["ssca"] = r.real()
    out["maxscat"], out["nbox"], out["nboxvis"], out["idum"] = (int(v) for v in r.ints(4))
    r.begin(first + 3, "method")
    out["method"] = r.int()
    r.begin(first + 4, "ppar1, ppar2, ppar3")
    out["ppar1"], out["ppar2"], out["ppar3"] = (float(v) for v in r.reals(3))


def _read_ntest(r, number, out):
    r.begin(number, "ntest")
    ntest = r.int()
    if ntest < 0:
        raise r.error("expected a number of directions of 0 or more, found %d" % ntest)
    out["ntest"] = ntest
    return ntest


def _read_directions(r, first, ntest, out):
    """fiiobs; latobs; testw; testw_n; testw_sig; testd_corr; the per-order
    table -- records first .. first + 6."""
    for i, name in enumerate(("fiiobs", "latobs", "testw", "testw_n", "testw_sig", "testd_corr")):
        r.begin(first + i, name)
        out[name] = r.reals(ntest)
    r.begin(first + 6, "w_order (order-major, direction fastest)")
    # Written for order = 1..50, within it k = 1..ntest.
    out["w_order"] = r.reals(NORDER * ntest).reshape(NORDER, ntest).T.copy()


def _read_closing(r, first, out):
    """iscat_mean, npot_mean, nbox_mean; npartori, npart, mx, my; sredu, zredu,
    tau; fdir, tau_p, tau_n; cpu, cpu_comp; sizemin, s20, f20 -- records
    first .. first + 5."""
    r.begin(first, "iscat_mean, npot_mean, nbox_mean")
    out["iscat_mean"], out["npot_mean"], out["nbox_mean"] = (float(v) for v in r.reals(3))
    r.begin(first + 1, "npartori, npart, mx, my")
    out["npartori"], out["npart"], out["mx"], out["my"] = (int(v) for v in r.ints(4))
    r.begin(first + 2, "sredu, zredu, tau")
    out["sredu"], out["zredu"], out["tau"] = (float(v) for v in r.reals(3))
    r.begin(first + 3, "fdir, tau_p, tau_n")
    out["fdir"], out["tau_p"], out["tau_n"] = (float(v) for v in r.reals(3))
    r.begin(first + 4, "cpu, cpu_comp")
    out["cpu"], out["cpu_comp"] = (float(v) for v in r.reals(2))
    r.begin(first + 5, "sizemin, s20, f20")
    out["sizemin"], out["s20"], out["f20"] = (float(v) for v in r.reals(3))


def _marker(r, wanted, kind):
    r.begin(1, "file marker")
    value = r.real()
    if value != wanted:
        raise r.error("expected %r at the start of %s, found %r" % (wanted, kind, value))
    return value


def _head(r, marker, kind, orders_record=False):
    """The records that the direction, escape and histogram files begin with:
    the marker, the run description (records 2 to 6), the number of orders
    (record 7 of the direction file only), ntest and the seven per-direction
    records.  Returns the values by name and ntest."""
    out = {"path": str(r.path)}
    _marker(r, marker, kind)
    _read_run(r, 2, out)
    if orders_record:
        r.begin(7, "number of orders")
        norder = r.int()
        if norder != NORDER:
            raise r.error("expected the number of orders %d, found %d" % (NORDER, norder))
    ntest_record = 8 if orders_record else 7
    ntest = _read_ntest(r, ntest_record, out)
    _read_directions(r, ntest_record + 1, ntest, out)
    return out, ntest


# -- direction file -------------------------------------------------------

def read_direction_file(path):
    """Reads a direction file; raises QuilletFileError when it is malformed."""
    return _parse_direction(RecordReader(path))


def _parse_direction(r):
    out, ntest = _head(r, DIRECTION_MARKER, "a direction file", orders_record=True)
    r.begin(16, "posfile_haze")
    out["posfile_haze"] = r.line_text()
    r.begin(17, "method_haze")
    out["method_haze"] = r.int()
    r.begin(18, "ppar1_haze, ppar2_haze, ppar3_haze")
    out["ppar1_haze"], out["ppar2_haze"], out["ppar3_haze"] = (float(v) for v in r.reals(3))
    r.begin(19, "ssca_part, ssca_haze")
    out["ssca_part"], out["ssca_haze"] = (float(v) for v in r.reals(2))
    r.begin(20, "haze table size")
    sizes = tuple(int(v) for v in r.ints(2))
    if sizes != (NRING, NHAZE):
        raise r.error("expected the haze table size %d %d, found %d %d"
                      % (NRING, NHAZE, sizes[0], sizes[1]))
    r.begin(21, "w_haze (n_haze-major, then n_ring, direction fastest)")
    # Written for n_haze = 0..50, within it n_ring = 0..20, within it k.
    flat = r.reals((NHAZE + 1) * (NRING + 1) * ntest)
    out["w_haze"] = flat.reshape(NHAZE + 1, NRING + 1, ntest).transpose(2, 1, 0).copy()
    _read_closing(r, 22, out)
    r.finish()
    return DirectionFile(**out)


# -- escape file ------------------------------------------------------------

def read_escape_file(path):
    """Reads an escape file; raises QuilletFileError when it is malformed."""
    return _parse_escape(RecordReader(path))


def _parse_escape(r):
    out, ntest = _head(r, ESCAPE_MARKER, "an escape file")
    n = max(out["nphot"], 0)
    for i, name in enumerate(("esc_fii", "esc_lat", "esc_sca", "esc_weight")):
        r.begin(15 + i, name)
        out[name] = r.reals(n, dtype=np.float32)
    _read_closing(r, 19, out)
    r.finish()
    return EscapeFile(**out)


# -- histogram file -------------------------------------------------------

def read_histogram_file(path):
    """Reads an escape-histogram file; raises QuilletFileError when it is malformed."""
    return _parse_histogram(RecordReader(path))


def _parse_histogram(r):
    out, ntest = _head(r, HISTOGRAM_MARKER, "a histogram file")
    r.begin(15, "histogram size")
    dims = tuple(int(v) for v in r.ints(3))
    if dims[:2] != (HIST_NFII, HIST_NLAT):
        raise r.error("expected the histogram size %d %d, found %d %d"
                      % (HIST_NFII, HIST_NLAT, dims[0], dims[1]))
    out["hist_dims"] = dims
    r.begin(16, "esc_hist (plane-major, then latitude bin, azimuth bin fastest)")
    flat = r.reals(HIST_NPLANE * HIST_NLAT * HIST_NFII, dtype=np.float32)
    out["esc_hist"] = flat.reshape(HIST_NPLANE, HIST_NLAT, HIST_NFII)
    _read_closing(r, 17, out)
    r.finish()
    return HistogramFile(**out)


# -- test-image file ------------------------------------------------------

def read_test_image_file(path):
    """Reads a test-image file; raises QuilletFileError when it is malformed."""
    return _parse_test_image(RecordReader(path))


def _parse_test_image(r):
    out = {"path": str(r.path)}
    _marker(r, TESTIMAGE_MARKER, "a test-image file")
    r.begin(2, "npart, xl, yl, sy")
    out["npart"] = r.int()
    out["xl"], out["yl"], out["sy"] = (float(v) for v in r.reals(3))
    r.begin(3, "nphot, nxpix, ntest")
    nphot, nxpix_a, ntest = (int(v) for v in r.ints(3))
    if ntest < 0:
        raise r.error("expected a number of directions of 0 or more, found %d" % ntest)
    out["nphot"], out["ntest"] = nphot, ntest
    r.begin(4, "nxpix, nypix")
    nxpix, nypix = (int(v) for v in r.ints(2))
    if nxpix != nxpix_a:
        raise r.error("nxpix %d differs from the %d of record 3" % (nxpix, nxpix_a))
    if nxpix < 1 or nypix < 0:
        raise r.error("expected an image size of at least 1 by 0, found %d by %d" % (nxpix, nypix))
    out["nxpix"], out["nypix"] = nxpix, nypix
    r.begin(5, "nxphot, nyphot")
    out["nxphot"], out["nyphot"] = (int(v) for v in r.ints(2))
    r.begin(6, "bsun, lonsun")
    out["bsun"], out["lonsun"] = (float(v) for v in r.reals(2))
    r.begin(7, "latobs")
    out["latobs"] = r.reals(ntest)
    r.begin(8, "fiiobs")
    out["fiiobs"] = r.reals(ntest)
    npix = nxpix * nypix
    shape = (nypix, nxpix)
    r.begin(9, "ximage")
    out["ximage"] = r.reals(npix, dtype=np.float32).reshape(shape)
    r.begin(10, "yimage")
    out["yimage"] = r.reals(npix, dtype=np.float32).reshape(shape)
    r.begin(11, "number of test images, planes")
    nimages, nplanes = (int(v) for v in r.ints(2))
    if not 0 <= nimages <= TEST_IMAGE_PLANES:
        raise r.error("expected a number of test images from 0 to %d, found %d"
                      % (TEST_IMAGE_PLANES, nimages))
    out["ntest_images"], out["nplanes"] = nimages, nplanes
    r.begin(12, "ill_image")
    out["ill_image"] = _int32(r, r.ints(npix)).reshape(shape)
    r.begin(13, "vis_image")
    out["vis_image"] = _int32(r, r.ints(npix)).reshape(shape)
    maps = np.zeros((nimages, nypix, nxpix), dtype=np.float32)
    for it in range(nimages):
        r.begin(14 + it, "test_image %d" % (it + 1))
        maps[it] = r.reals(npix, dtype=np.float32).reshape(shape)
    out["test_image"] = maps
    r.finish()
    return TestImageFile(**out)


def _int32(r, values):
    if values.size and (values.min() < -2**31 or values.max() >= 2**31):
        raise r.error("a count does not fit a 32-bit integer")
    return values.astype(np.int32)


# -- any result file --------------------------------------------------------

def read_result_file(path):
    """Reads any of the four result files, telling them apart by their first
    record (4.0 test image, 5.0 histogram, 7.0 direction or escape file)."""
    text = _read_text(path)
    r = RecordReader(path, text)
    r.begin(1, "file marker")
    marker = r.real()
    if marker == TESTIMAGE_MARKER:
        return _parse_test_image(RecordReader(path, text))
    if marker == HISTOGRAM_MARKER:
        return _parse_histogram(RecordReader(path, text))
    if marker == DIRECTION_MARKER:
        # Record 7 of a direction file is the number of orders, 50, and its
        # record 8 an integer; an escape file has ntest and then a real there.
        try:
            return _parse_direction(RecordReader(path, text))
        except QuilletFileError as as_direction:
            try:
                return _parse_escape(RecordReader(path, text))
            except QuilletFileError as as_escape:
                # Report against the kind the file got further as.
                if (as_direction.record or 0) >= (as_escape.record or 0):
                    raise as_direction from None
                raise as_escape from None
    raise r.error("expected 4.0, 5.0 or 7.0 (test-image, histogram, direction or escape "
                  "file), found %r" % marker)


__all__ = [
    "read_direction_file", "read_escape_file", "read_histogram_file", "read_test_image_file",
    "read_result_file", "DirectionFile", "EscapeFile", "HistogramFile", "TestImageFile",
    "CLOSING_NAMES", "NORDER", "NRING", "NHAZE", "HIST_NFII", "HIST_NLAT", "HIST_NPLANE",
    "TEST_IMAGE_PLANES", "DIRECTION_MARKER", "ESCAPE_MARKER", "HISTOGRAM_MARKER",
    "TESTIMAGE_MARKER",
]

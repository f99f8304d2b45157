"""Readers for quillet's result files: the direction file (``wfile``), the
escape file (``outfile``), the escape-histogram file (``epsfile``) and the
test-image file (``<testimage>.TESTIMAGE``).

Each reader returns an object whose attributes carry quillet's own names
(``testw``, ``testd_corr``, ``esc_lat``, ``ill_image``, ...).  Tables that
the program keeps 1-based are returned 0-based; the docstrings say how an
index maps back (for example ``w_order[k - 1, order - 1]``).

Angles are stored as the program writes them: the run description in degrees
(``bsun``, ``lonsun``, ``latobs``, ``fiiobs``; ``fiiobs`` is the observer's
azimuth in the same frame as ``lonsun``), the escape records in radians.
"""

import dataclasses
from dataclasses import dataclass

import numpy as np

from quillet._records import QuilletFileError, RecordReader, _read_text
from quillet import photometry

NORDER = 50          # orders kept apart in the per-order table (the last takes all >= 50)
NRING = 20           # ring scatterings kept apart in the haze table (0..20)
NHAZE = 50           # haze scatterings kept apart in the haze table (0..50)
HIST_NFII = 180      # 2-degree azimuth bins of the escape histogram, -180..180
HIST_NLAT = 90       # 2-degree latitude bins, -90..90
HIST_NPLANE = 10     # planes: number of path searches 1..10 (scatterings 0..9)
TEST_IMAGE_PLANES = 10

DIRECTION_MARKER = 7.0
ESCAPE_MARKER = 7.0
HISTOGRAM_MARKER = 5.0
TESTIMAGE_MARKER = 4.0


def _short_repr(obj):
    """The class name and every field, arrays by their type and shape."""
    parts = []
    for f in dataclasses.fields(obj):
        if not f.repr:
            continue
        value = getattr(obj, f.name)
        if isinstance(value, np.ndarray):
            parts.append("%s=<%s %s>" % (f.name, value.dtype, "x".join(map(str, value.shape))))
        else:
            parts.append("%s=%r" % (f.name, value))
    return "%s(%s)" % (type(obj).__name__, ", ".join(parts))


@dataclass(repr=False, eq=False)
class _Run:
    """Run description and closing records of the direction, escape and
    histogram files."""

    path: str
    posfile: str
    lonsun: float
    bsun: float
    nphot: int
    ssca: float
    maxscat: int
    nbox: int
    nboxvis: int
    idum: int
    method: int
    ppar1: float
    ppar2: float
    ppar3: float
    ntest: int
    fiiobs: np.ndarray
    latobs: np.ndarray
    testw: np.ndarray
    testw_n: np.ndarray
    testw_sig: np.ndarray
    testd_corr: np.ndarray
    w_order: np.ndarray
    iscat_mean: float = dataclasses.field(repr=False)
    npot_mean: float = dataclasses.field(repr=False)
    nbox_mean: float = dataclasses.field(repr=False)
    npartori: int = dataclasses.field(repr=False)
    npart: int = dataclasses.field(repr=False)
    mx: int = dataclasses.field(repr=False)
    my: int = dataclasses.field(repr=False)
    sredu: float = dataclasses.field(repr=False)
    zredu: float = dataclasses.field(repr=False)
    tau: float
    fdir: float
    tau_p: float = dataclasses.field(repr=False)
    tau_n: float = dataclasses.field(repr=False)
    cpu: float = dataclasses.field(repr=False)
    cpu_comp: float = dataclasses.field(repr=False)
    sizemin: float = dataclasses.field(repr=False)
    s20: float = dataclasses.field(repr=False)
    f20: float = dataclasses.field(repr=False)

    __repr__ = _short_repr


class _Directions(_Run):
    """Per-direction results shared by the direction, escape and histogram files.

    Attributes (k = 1..ntest maps to index k - 1):
      nphot                 photons launched, N = nxphot * nyphot
      lonsun, bsun          source azimuth and elevation, degrees
      ntest                 number of observer directions
      fiiobs, latobs        observer azimuth (Sun's frame) and elevation, degrees
      testw                 sum of the peel-off contributions toward each direction
      testw_n               number of contributions (a tally, stored as a real)
      testw_sig             the spread sqrt((q - m^2) N) when testw_n >= 2, else
                            the sum of the squared contributions
      testd_corr            the spread sqrt((q - m^2) N), 0 when testw_n < 2
      w_order               (ntest, 50): sums by scattering order; column o - 1
                            holds order o, the last column all orders >= 50
    """

    def phase_angle(self):
        """Phase angle of each direction in degrees (see photometry.phase_angle)."""
        return photometry.phase_angle(self.bsun, self.lonsun, self.latobs, self.fiiobs)

    def i_over_f(self):
        """(I/F, standard error) per direction (see photometry.i_over_f)."""
        return photometry.i_over_f(self.testw, self.testd_corr, self.testw_n, self.nphot,
                                   self.bsun, self.latobs)

    def i_over_f_order(self):
        """(I/F, approximate standard error) per direction and order, shape (ntest, 50)."""
        return photometry.i_over_f_order(self.w_order, self.testw, self.testd_corr, self.testw_n,
                                         self.nphot, self.bsun, self.latobs)

    @property
    def com8(self):
        return self.w_order


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


CLOSING_NAMES = ("iscat_mean", "npot_mean", "nbox_mean", "npartori", "npart", "mx", "my",
                 "sredu", "zredu", "tau", "fdir", "tau_p", "tau_n", "cpu", "cpu_comp",
                 "sizemin", "s20", "f20")


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


# -- direction file -------------------------------------------------------

@dataclass(repr=False, eq=False)
class DirectionFile(_Directions):
    """The direction file (``wfile``): per-direction results of one run.

    Besides the per-direction attributes of every result file (see
    _Directions) it holds the haze settings (``posfile_haze``,
    ``method_haze``, ``ppar1_haze``..``ppar3_haze``, ``ssca_part``,
    ``ssca_haze``) and ``w_haze``, shape (ntest, 21, 51): the sums of the
    contributions by the photon's number of ring scatterings n_ring (0..20,
    the last row all >= 20) and of haze scatterings n_haze (0..50, the last
    column all >= 50) so far, ``w_haze[k - 1, n_ring, n_haze]``.  The closing
    records give ``iscat_mean``, ``npot_mean``, ``nbox_mean``, ``npartori``,
    ``npart``, ``mx``, ``my``, ``sredu``, ``zredu``, ``tau``, ``fdir``,
    ``tau_p``, ``tau_n``, ``cpu``, ``cpu_comp``, ``sizemin``, ``s20``, ``f20``.
    """

    posfile_haze: str
    method_haze: int
    ppar1_haze: float = dataclasses.field(repr=False)
    ppar2_haze: float = dataclasses.field(repr=False)
    ppar3_haze: float = dataclasses.field(repr=False)
    ssca_part: float = dataclasses.field(repr=False)
    ssca_haze: float = dataclasses.field(repr=False)
    w_haze: np.ndarray

    @property
    def com8_haze(self):
        return self.w_haze


def read_direction_file(path):
    """Reads a direction file; raises QuilletFileError when it is malformed."""
    return _parse_direction(RecordReader(path))


def _parse_direction(r):
    path = r.path
    out = {"path": str(path)}
    _marker(r, DIRECTION_MARKER, "a direction file")
    _read_run(r, 2, out)
    r.begin(7, "number of orders")
    norder = r.int()
    if norder != NORDER:
        raise r.error("expected the number of orders %d, found %d" % (NORDER, norder))
    ntest = _read_ntest(r, 8, out)
    _read_directions(r, 9, ntest, out)
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

@dataclass(repr=False, eq=False)
class EscapeFile(_Directions):
    """The escape file (``outfile``): the run's per-direction results and one
    escape record per launched photon, i = 1..nphot at index i - 1:

      esc_fii     exit azimuth in radians, in the frame of the unrotated field
                  (atan2(ey, ex) minus the photon's rotation)
      esc_lat     exit latitude in radians (asin(ez)); negative = downward
      esc_sca     number of scatterings before the escape
      esc_weight  photon weight at the escape

    All four are float32.  Photons that never escaped (stopped after maxscat
    searches) keep zeros in all four.  The closing records are as in the
    direction file.
    """

    esc_fii: np.ndarray
    esc_lat: np.ndarray
    esc_sca: np.ndarray
    esc_weight: np.ndarray


def read_escape_file(path):
    """Reads an escape file; raises QuilletFileError when it is malformed."""
    return _parse_escape(RecordReader(path))


def _parse_escape(r):
    path = r.path
    out = {"path": str(path)}
    _marker(r, ESCAPE_MARKER, "an escape file")
    _read_run(r, 2, out)
    ntest = _read_ntest(r, 7, out)
    _read_directions(r, 8, ntest, out)
    n = max(out["nphot"], 0)
    for i, name in enumerate(("esc_fii", "esc_lat", "esc_sca", "esc_weight")):
        r.begin(15 + i, name)
        out[name] = r.reals(n, dtype=np.float32)
    _read_closing(r, 19, out)
    r.finish()
    return EscapeFile(**out)


# -- histogram file -------------------------------------------------------

@dataclass(repr=False, eq=False)
class HistogramFile(_Directions):
    """The escape-histogram file (``epsfile``).

    ``esc_hist`` has shape (10, 90, 180), ``esc_hist[p, j, i]``:

      p  plane, 0..9: the photon escaped after p scatterings (the program's
         plane p + 1, its number of path searches); plane 0 stays empty
      j  latitude bin, 0..89: exit latitude in [-90 + 2j, -88 + 2j) degrees
      i  azimuth bin, 0..179: exit azimuth in [-180 + 2i, -178 + 2i) degrees,
         measured in the frame of the rotated field (not corrected for the
         photon's random rotation)

    Each bin holds the sum of the escaping photons' weights (float32).
    ``hist_dims`` is the size record as written (180, 90, 50; the third
    number is the number of orders, not of planes).  The run and direction
    records and the closing records are as in the escape file.
    """

    hist_dims: tuple
    esc_hist: np.ndarray

    @staticmethod
    def fii_edges():
        """Azimuth bin edges in degrees (181 values)."""
        return np.linspace(-180.0, 180.0, HIST_NFII + 1)

    @staticmethod
    def lat_edges():
        """Latitude bin edges in degrees (91 values)."""
        return np.linspace(-90.0, 90.0, HIST_NLAT + 1)


def read_histogram_file(path):
    """Reads an escape-histogram file; raises QuilletFileError when it is malformed."""
    return _parse_histogram(RecordReader(path))


def _parse_histogram(r):
    path = r.path
    out = {"path": str(path)}
    _marker(r, HISTOGRAM_MARKER, "a histogram file")
    _read_run(r, 2, out)
    ntest = _read_ntest(r, 7, out)
    _read_directions(r, 8, ntest, out)
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

@dataclass(repr=False, eq=False)
class TestImageFile:
    """The test-image file (``<testimage>.TESTIMAGE``).

    Header: ``npart``, ``xl``, ``yl``, ``sy`` (cell geometry), ``nphot``,
    ``nxpix``, ``nypix``, ``ntest``, ``nxphot``, ``nyphot``, ``bsun``,
    ``lonsun``, ``latobs``, ``fiiobs`` (degrees), ``ntest_images`` (number of
    position maps that follow) and ``nplanes`` (maps held by the program, 10).

    Images, all of shape (nypix, nxpix) with ``image[iy - 1, ix - 1]`` for
    pixel column ix (x increasing) and row iy (y increasing):

      ximage, yimage  float32: x and y of each pixel centre in the cell
      ill_image       int32: first scatterings per entry pixel (all)
      vis_image       int32: first scatterings per entry pixel visible from
                      observer direction 1
      test_image      float32, shape (ntest_images, nypix, nxpix): sums of the
                      peel-off contributions toward direction 1 by scattering
                      position; map m - 1 holds scattering order m (maps 1..9),
                      map 10 all orders >= 10
    """

    __test__ = False  # not a unittest case, despite its name
    path: str
    npart: int
    xl: float
    yl: float
    sy: float
    nphot: int
    nxpix: int
    nypix: int
    ntest: int
    nxphot: int
    nyphot: int
    bsun: float
    lonsun: float
    latobs: np.ndarray
    fiiobs: np.ndarray
    ntest_images: int
    nplanes: int = dataclasses.field(repr=False)
    ximage: np.ndarray
    yimage: np.ndarray
    ill_image: np.ndarray
    vis_image: np.ndarray
    test_image: np.ndarray

    __repr__ = _short_repr

    def extent(self):
        """(left, right, bottom, top) of the mapped area for imshow: the cell."""
        return (-self.xl, self.xl, -self.yl, self.yl)


def read_test_image_file(path):
    """Reads a test-image file; raises QuilletFileError when it is malformed."""
    return _parse_test_image(RecordReader(path))


def _parse_test_image(r):
    path = r.path
    out = {"path": str(path)}
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

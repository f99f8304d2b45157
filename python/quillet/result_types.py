"""What the readers of quillet.results return: one object per result file
(the direction file, the escape file, the escape-histogram file and the
test-image file), with the sizes and first records that those files share.

Attributes carry quillet's own names (``testw``, ``testd_corr``, ``esc_lat``,
``ill_image``, ...).  Tables that the program keeps 1-based are held 0-based;
the docstrings say how an index maps back (for example
``w_order[k - 1, order - 1]``).
"""

import dataclasses
from dataclasses import dataclass

import numpy as np

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


# The values of the closing records, in the order the files give them.
CLOSING_NAMES = ("iscat_mean", "npot_mean", "nbox_mean", "npartori", "npart", "mx", "my",
                 "sredu", "zredu", "tau", "fdir", "tau_p", "tau_n", "cpu", "cpu_comp",
                 "sizemin", "s20", "f20")


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

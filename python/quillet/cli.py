"""The quillet-plot command: PNG pictures (and FITS maps) of a run's files."""

import argparse
import os
import sys

from quillet._records import QuilletFileError
from quillet import particles, results

DESCRIPTION = """\
Draws PNG pictures of quillet's result files.  Give it any of the files a run
wrote; it tells them apart by their first record (or, for particle files, by
the name):

  direction file (wfile)      I/F against phase angle, one panel per observer
                              elevation, stacked by scattering order, the
                              total with its standard error  -> .if_phase.png
  escape file (outfile)       the same I/F plot, and the exit directions of
                              the scattered photons with the escaping weight
                              by number of scatterings  -> .escape_records.png
  histogram file (epsfile)    the escape histogram as azimuth-latitude maps
                              per steradian and photon, in the frame it is
                              recorded in: the Sun is marked only when the
                              deck (--deck, or run.deck beside the file) has
                              irot = 0; with irot = 1 the line of its
                              possible directions
                                                         -> .escape_hist.png
  <testimage>.TESTIMAGE       ill_image, vis_image and the position maps, in
                              cell coordinates with a colour bar
                                                    -> .ill_image.png, ...
                              and, when astropy is installed, the same maps as
                              FITS images with coordinate keywords (.fits)
  <testimage>.CHECK_POS or a  top and side view of the spheres of the
  Particle position file      particle field             -> .particles.png
  study dataset (netCDF, as   phase curves: I/F against phase angle with
  quillet-study writes it,    errors (caps, or a band for dense sampling),
  or joined with xr.concat)   one curve per swept value or per Sun and
                              observer elevation of an observation table,
                              the ensemble mean for several fields, total
                              and first order, the relative error below;
                              --log-phase for opposition studies, --x bsun
                              for a tilt study           -> .phase_curves.png

Each picture is written to OUTDIR as <input file name>.<picture>.png, and its
path is printed.  A malformed file stops the command with one message naming
the file and the record, and exit status 1."""

EPILOG = """\
examples:
  quillet-plot run.w run.eps run.TESTIMAGE ring.pos -o plots
  quillet-plot study.nc -o plots
  quillet-plot --particles run.CHECK_POS --orders 3 run.w"""


def _parser():
    p = argparse.ArgumentParser(prog="quillet-plot", description=DESCRIPTION, epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("files", nargs="*", metavar="FILE",
                   help="result files of a run, a CHECK_POS file or a Particle position file")
    p.add_argument("-o", "--outdir", default=".",
                   help="folder for the pictures (created when missing; default: .)")
    p.add_argument("--particles", action="append", default=[], metavar="FILE",
                   help="read FILE as a particle field (CHECK_POS or Particle position file) "
                        "whatever its name")
    p.add_argument("--orders", type=int, default=5, metavar="N",
                   help="orders 1..N-1 apart and N and up together in the I/F plot (default 5)")
    p.add_argument("--dpi", type=int, default=120, help="resolution of the PNG files (default 120)")
    p.add_argument("--log-phase", action="store_true",
                   help="logarithmic phase axis for study datasets (linear below the smallest "
                        "phase angle above 0, so that 0 stays on it)")
    p.add_argument("--x", metavar="NAME", default=None,
                   help="coordinate of a study dataset on the x axis (default phase_angle; "
                        "bsun for a tilt study)")
    p.add_argument("--deck", metavar="FILE",
                   help="the deck of the run whose histogram file is drawn (for irot; default: "
                        "run.deck beside the file, when there is one)")
    p.add_argument("--irot", type=int, choices=(0, 1), default=None,
                   help="irot of the run whose histogram file is drawn (instead of --deck)")
    p.add_argument("--no-fits", action="store_true",
                   help="do not write FITS maps even when astropy is installed")
    return p


def _kind(path):
    """'result', 'study' or 'particles', from the name and the first record."""
    if str(path).endswith(".CHECK_POS"):
        return "particles"
    with open(path, "rb") as f:
        head = f.read(8)
        f.seek(0)
        first = f.readline(200).split()
    if head.startswith(b"\x89HDF") or head[:3] == b"CDF":
        return "study"
    try:
        marker = float(first[0]) if first else None
    except ValueError:
        marker = None
    if marker in (results.TESTIMAGE_MARKER, results.HISTOGRAM_MARKER, results.DIRECTION_MARKER):
        return "result"
    return "particles"


def _stem(path):
    return os.path.basename(str(path).rstrip("/"))


def _open_study(path):
    try:
        import xarray as xr
    except ImportError:
        raise QuilletFileError(path, None, "", None, "reading a study dataset needs xarray "
                               "(Debian: python3-xarray python3-netcdf4)") from None
    try:
        with xr.open_dataset(path) as ds:
            ds.load()
    except (OSError, ValueError) as e:
        raise QuilletFileError(path, None, "", None, "not a readable netCDF dataset: %s" % e) from None
    for name in ("i_over_f", "i_over_f_err", "i_over_f_1", "i_over_f_1_err", "latobs",
                 "phase_angle"):
        if name not in ds.variables:
            raise QuilletFileError(path, None, "", None, "not a quillet study dataset: it has no "
                                   "variable %s" % name)
    return ds


def _irot(args, path):
    """irot of the run that wrote a histogram file: --irot, else the deck's
    (--deck, else run.deck in the file's folder), else None (not known)."""
    from quillet.deck import Deck

    if args.irot is not None:
        return args.irot
    deck = args.deck
    if deck is None:
        beside = os.path.join(os.path.dirname(os.path.abspath(path)), "run.deck")
        deck = beside if os.path.isfile(beside) else None
    if deck is None:
        return None
    return Deck.read(deck).irot


def run(args, out=sys.stdout):
    from quillet import plot

    os.makedirs(args.outdir, exist_ok=True)
    written = []
    jobs = [(f, "particles") for f in args.particles] + [(f, _kind(f)) for f in args.files]
    for path, kind in jobs:
        stem = os.path.join(args.outdir, _stem(path))
        if kind == "study":
            ds = _open_study(path)
            if args.x is not None and args.x not in ds.variables:
                raise QuilletFileError(path, None, "", None, "--x %s: the dataset has no "
                                       "coordinate of that name" % args.x)
            written.append(plot.plot_study(ds, stem + ".phase_curves.png", dpi=args.dpi,
                                           log_phase=args.log_phase, x=args.x))
            continue
        if kind == "particles":
            field = particles.read_particle_field(path)
            written.append(plot.plot_particle_field(field, stem + ".particles.png", dpi=args.dpi))
            continue
        data = results.read_result_file(path)
        if isinstance(data, results.TestImageFile):
            written += plot.plot_position_maps(data, args.outdir, _stem(path), dpi=args.dpi)
            if not args.no_fits:
                fits = plot.write_fits_maps(data, args.outdir, _stem(path))
                if fits is None:
                    print("quillet-plot: astropy is not installed: no FITS maps of %s" % path,
                          file=sys.stderr)
                else:
                    written += fits
            continue
        written.append(plot.plot_i_over_f(data, stem + ".if_phase.png", max_order=args.orders,
                                          dpi=args.dpi))
        if isinstance(data, results.HistogramFile):
            written.append(plot.plot_escape_histogram(data, stem + ".escape_hist.png",
                                                      dpi=args.dpi, irot=_irot(args, path)))
        elif isinstance(data, results.EscapeFile):
            written.append(plot.plot_escape_records(data, stem + ".escape_records.png",
                                                    dpi=args.dpi))
    for p in written:
        print(p, file=out)
    return written


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    if not args.files and not args.particles:
        parser.print_usage(sys.stderr)
        print("quillet-plot: no input file; --help explains the command", file=sys.stderr)
        return 2
    if args.orders < 1:
        parser.error("--orders must be 1 or more")
    try:
        run(args)
    except QuilletFileError as e:
        print("quillet-plot: %s" % e, file=sys.stderr)
        return 1
    except OSError as e:
        print("quillet-plot: %s: %s" % (e.filename or "", e.strerror or e), file=sys.stderr)
        return 1
    return 0

"""Reading and analysing the result files of quillet, the Monte Carlo
radiative-transfer simulator for planetary-ring particle fields, and running
studies of it from Python.

    import quillet
    d = quillet.read_direction_file("run.w")
    alpha, (f, err) = d.phase_angle(), d.i_over_f()

    deck = quillet.Deck.read("examples/example.deck")
    deck.observe(latobs=20.0, phase_angle=[10, 20, 40, 60])
    ds = quillet.sweep(deck, bsun=[20, 40], ssca_part=[0.3, 0.5], jobs=2)
    ds.to_netcdf("study.nc")

Decks and runs:

  Deck                  every deck value by name; Deck.read, deck.write,
                        deck.validate, deck.observe
  phase_range           phase angles an observer elevation can see
  run                   one run of the program, its report and result files
  sweep                 many runs into one xarray.Dataset (needs xarray): crossed
                        or paired values, ensembles of fields
  observe               an observation table (one row per image) into a dataset
  read_observations     an observation table, checked
  FieldEnsemble         realisations of a field (quillet-field seeds, or files)
  reweight              the I/F of a study for other albedos, from its orders
  write_position_file   a Particle position file from arrays, as text or HDF5
                        (form="hdf5", or a name ending in .h5/.hdf5; needs h5py)

Readers (each raises QuilletFileError, naming the file and the record, when a
file is malformed or ends too early):

  read_direction_file   the direction file (``wfile``)
  read_escape_file      the escape file (``outfile``)
  read_histogram_file   the escape-histogram file (``epsfile``)
  read_test_image_file  the test-image file (``<testimage>.TESTIMAGE``)
  read_result_file      any of these four, told apart by the first record
  read_check_pos        the CHECK_POS file (the field as the run used it)
  read_position_file    a Particle position file (the run's input), text or HDF5
  read_particle_field   either of the last two, as a ParticleField

Derived values: quillet.photometry (I/F with standard errors, phase angles).
Plots: quillet.plot (imports matplotlib when called) and the quillet-plot
command; studies from a TOML file: the quillet-study command.  Only numpy is
needed to import the package (h5py only for the HDF5 form of particle files).
"""

from quillet._records import QuilletFileError
from quillet.deck import Deck, DeckError, phase_range
from quillet.particles import (ParticleField, PositionFile, read_check_pos,
                               read_particle_field, read_position_file, write_position_file)
from quillet.photometry import i_over_f, i_over_f_order, phase_angle
from quillet.results import (DirectionFile, EscapeFile, HistogramFile, TestImageFile,
                             read_direction_file, read_escape_file, read_histogram_file,
                             read_result_file, read_test_image_file)
from quillet.runner import RunError, RunResult, find_program, run
from quillet.fields import FieldEnsemble, ensemble_mean
from quillet.observations import Observations, read_observations


def sweep(deck, jobs=1, threads=0, cache_dir=None, program=None, progress=True, log=None,
          observations=None, paired=None, fields=None, field_program=None, **axes):
    """Runs every combination of swept deck values into one xarray.Dataset
    (see quillet.study.sweep)."""
    from quillet import study

    return study.sweep(deck, jobs=jobs, threads=threads, cache_dir=cache_dir, program=program,
                       progress=progress, log=log, observations=observations, paired=paired,
                       fields=fields, field_program=field_program, **axes)


def observe(deck, observations, **kwargs):
    """Runs an observation table (a CSV file, a dict of columns or a list of
    rows: bsun, latobs, phase_angle or azimuth) into one xarray.Dataset with
    the dimension "observation"; the other arguments are sweep's."""
    return sweep(deck, observations=observations, **kwargs)


def reweight(ds, ssca_part=None, ssca_haze=None):
    """The I/F of a study for other albedos, from its orders of scattering
    (see quillet.reweight_albedo.reweight)."""
    from quillet import reweight_albedo

    return reweight_albedo.reweight(ds, ssca_part=ssca_part, ssca_haze=ssca_haze)


__all__ = [
    "QuilletFileError", "Deck", "DeckError", "phase_range", "run", "sweep", "RunError",
    "RunResult", "find_program", "write_position_file", "observe", "reweight",
    "FieldEnsemble", "ensemble_mean", "Observations", "read_observations",
    "DirectionFile", "EscapeFile", "HistogramFile", "TestImageFile",
    "ParticleField", "PositionFile",
    "read_direction_file", "read_escape_file", "read_histogram_file", "read_test_image_file",
    "read_result_file", "read_check_pos", "read_position_file", "read_particle_field",
    "phase_angle", "i_over_f", "i_over_f_order",
]

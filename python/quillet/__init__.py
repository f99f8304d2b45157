"""Reading and analysing the result files of quillet, the Monte Carlo
radiative-transfer simulator for planetary-ring particle fields.

    import quillet
    d = quillet.read_direction_file("run.w")
    alpha, (f, err) = d.phase_angle(), d.i_over_f()

Readers (each raises QuilletFileError, naming the file and the record, when a
file is malformed or ends too early):

  read_direction_file   the direction file (``wfile``)
  read_escape_file      the escape file (``outfile``)
  read_histogram_file   the escape-histogram file (``epsfile``)
  read_test_image_file  the test-image file (``<testimage>.TESTIMAGE``)
  read_result_file      any of these four, told apart by the first record
  read_check_pos        the CHECK_POS file (the field as the run used it)
  read_position_file    a Particle position file (the run's input)
  read_particle_field   either of the last two, as a ParticleField

Derived values: quillet.photometry (I/F with standard errors, phase angles).
Plots: quillet.plot (imports matplotlib when called) and the quillet-plot
command.  Only numpy is needed to import the package.
"""

from quillet._records import QuilletFileError
from quillet.particles import (ParticleField, PositionFile, read_check_pos,
                               read_particle_field, read_position_file)
from quillet.photometry import i_over_f, i_over_f_order, phase_angle
from quillet.results import (DirectionFile, EscapeFile, HistogramFile, TestImageFile,
                             read_direction_file, read_escape_file, read_histogram_file,
                             read_result_file, read_test_image_file)

__all__ = [
    "QuilletFileError",
    "DirectionFile", "EscapeFile", "HistogramFile", "TestImageFile",
    "ParticleField", "PositionFile",
    "read_direction_file", "read_escape_file", "read_histogram_file", "read_test_image_file",
    "read_result_file", "read_check_pos", "read_position_file", "read_particle_field",
    "phase_angle", "i_over_f", "i_over_f_order",
]

"""Pictures of a run's results, written as PNG files.

matplotlib is imported when a plot is made, not with the package, and the
figures are drawn on the Agg canvas directly: no window, no pyplot state.
FITS files of the test-image maps are written when astropy can be imported.

Every function takes what a reader returned and an output path (or folder)
and returns the path(s) it wrote.  One module per kind of figure:

  plot_run       I/F against phase angle of one run (plot_i_over_f)
  plot_curves    phase curves of a study dataset (plot_study, study_title)
  plot_maps      test-image maps as PNG and FITS (plot_position_maps,
                 test_image_maps, fits_cards, write_fits_maps)
  plot_escapes   escape directions (plot_escape_histogram, plot_escape_records)
  plot_field     the particle field (plot_particle_field)
"""

from quillet.plot_curves import DENSE, plot_study, study_title
from quillet.plot_escapes import (DEG, FRAME_ROTATED, FRAME_UNKNOWN, plot_escape_histogram,
                                  plot_escape_records)
from quillet.plot_field import plot_particle_field
from quillet.plot_maps import (MAP_TEXT, fits_cards, plot_position_maps, test_image_maps,
                               write_fits_maps)
from quillet.plot_run import FEW_DIRECTIONS, plot_i_over_f

__all__ = [
    "plot_i_over_f", "plot_study", "study_title", "plot_position_maps", "test_image_maps",
    "fits_cards", "write_fits_maps", "plot_escape_histogram", "plot_escape_records",
    "plot_particle_field", "DEG", "DENSE", "FEW_DIRECTIONS", "FRAME_ROTATED", "FRAME_UNKNOWN",
    "MAP_TEXT",
]

"""The result of a run: its report, its result files and their readers.

    result = quillet.run(deck)
    result.direction.testw            # the direction file, read when asked
    result.i_over_f_1()               # first order with its error, from the report
"""

import functools
import os
import re
from dataclasses import dataclass

import numpy as np

from quillet import results
from quillet.deck import Deck

_IF_LINE = re.compile(r"^I/F: k,lat,fii,i_f,err,i_f_1,err_1 (.*)$")


def parse_report_i_over_f(report):
    """The report's I/F lines as an array of rows k, lat, fii, i_f, err,
    i_f_1, err_1 (empty when the engine summary was switched off)."""
    rows = []
    for line in report.splitlines():
        m = _IF_LINE.match(line)
        if m:
            rows.append([float(v) for v in m.group(1).split()])
    return np.array(rows, dtype=float).reshape(len(rows), 7)


@dataclass(eq=False)
class RunResult:
    """A finished run: ``deck`` (as the user gave it), ``run_deck`` (as it
    ran in ``workdir``), ``report`` (the run report's text), ``files`` (name
    of each result file written -> path) and the readers of those files:
    ``direction`` (always), ``escape``, ``histogram``, ``test_image``,
    ``check_pos`` (None when the deck did not ask for the file)."""

    deck: Deck
    run_deck: Deck
    workdir: str
    report: str
    files: dict
    cached: bool = False

    @functools.cached_property
    def direction(self):
        return results.read_direction_file(self.files["wfile"])

    @functools.cached_property
    def escape(self):
        return results.read_escape_file(self.files["outfile"]) if "outfile" in self.files else None

    @functools.cached_property
    def histogram(self):
        return (results.read_histogram_file(self.files["epsfile"])
                if "epsfile" in self.files else None)

    @functools.cached_property
    def test_image(self):
        return (results.read_test_image_file(self.files["testimage"])
                if "testimage" in self.files else None)

    @functools.cached_property
    def check_pos(self):
        """The field as the run used it (written with idebug >= 1)."""
        from quillet import particles

        return particles.read_check_pos(self.files["check_pos"]) if "check_pos" in self.files else None

    @functools.cached_property
    def report_i_over_f(self):
        """Rows k, lat, fii, i_f, err, i_f_1, err_1 of the report's I/F table."""
        return parse_report_i_over_f(self.report)

    def i_over_f(self):
        """(I/F, standard error) per direction."""
        return self.direction.i_over_f()

    def i_over_f_1(self):
        """(first-order I/F, its standard error) per direction, from the
        report (the result files keep no first-order spread); NaN when the
        report has no I/F table (icheck < 0)."""
        rows = self.report_i_over_f
        n = self.direction.ntest
        if rows.shape[0] != n:
            value = self.direction.i_over_f_order()[0][:, 0] if n else np.zeros(0)
            return value, np.full(n, np.nan)
        return rows[:, 5].copy(), rows[:, 6].copy()


def _files_of(workdir, run_deck):
    files = {"wfile": os.path.join(workdir, "run.dir")}
    if run_deck.outfile != "junk":
        files["outfile"] = os.path.join(workdir, "run.esc")
    if run_deck.epsfile != "junk":
        files["epsfile"] = os.path.join(workdir, "run.hist")
    if run_deck.nxpix >= 1:
        files["testimage"] = os.path.join(workdir, "run.TESTIMAGE")
    if run_deck.idebug >= 1:
        files["check_pos"] = os.path.join(workdir, "run.CHECK_POS")
    return files


def finished_run(deck, run_deck, workdir, cached=False):
    """The RunResult of a run that has finished in ``workdir``: its report
    ("run.report") and the result files its deck asked for."""
    with open(os.path.join(workdir, "run.report"), encoding="utf-8", errors="replace") as f:
        report = f.read()
    return RunResult(deck=deck, run_deck=run_deck, workdir=os.path.abspath(workdir),
                     report=report, files=_files_of(workdir, run_deck), cached=cached)

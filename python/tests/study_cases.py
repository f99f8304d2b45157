"""Shared set-up of the study tests that run the program: where the program,
the field generator and the examples are, a small deck, a small field of the
opposition study's kind, and the test case with its own folder and cache."""

import os

from quillet import Deck
from tests.test_study import QUILLET_STUDY, REPO, RING, StudyCase, xr

__all__ = ["BINARY", "FIELD", "QUILLET_STUDY", "REPO", "RING", "SMALL_FIELD", "TABLE", "Case", "deck_for",
           "xr"]

BINARY = os.path.abspath(os.environ.get("QUILLET_BINARY", os.path.join(REPO, "build", "quillet")))
FIELD = os.path.join(os.path.dirname(BINARY), "tools", "quillet-field")
TABLE = os.path.join(REPO, "examples", "observations.csv")

# A small field of the opposition study's kind: q = 3 from 0.2 to 2, tau
# 0.75, filling factor 0.15, about 330 spheres.
SMALL_FIELD = {"xl": 8, "yl": 8, "sy": 2, "rmin": 0.2, "rmax": 2.0, "q": 3, "tau": 0.75,
               "filling": 0.15}


def deck_for(base, **changes):
    d = Deck(posfile="ring.pos", bsun=30.0, method=4, ppar1=-0.3, ssca_part=0.5,
             nxphot=40, nyphot=40, mx=20, my=20, idum=-11, base=base)
    d.observe(latobs=20.0, phase_angle=[12.0, 18.0, 30.0, 60.0])
    for k, v in changes.items():
        setattr(d, k, v)
    return d


class Case(StudyCase):
    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

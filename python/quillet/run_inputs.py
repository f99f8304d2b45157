"""Arrays in place of a deck's input files and observer directions: the
particles written into the run's folder as Particle position files, the
directions paired element by element."""

import os

import numpy as np


def field_arrays(field, what):
    """x, y, z, r, xl, yl, sy, title, orb and itype (or None) of a field given
    as a PositionFile, a ParticleField or a mapping of those names."""
    from quillet.particles import ParticleField, PositionFile

    if isinstance(field, PositionFile):
        return dict(x=field.xpart, y=field.ypart, z=field.zpart, r=field.rpart, xl=field.xl,
                    yl=field.yl, sy=field.sy, title=field.title or "particles", orb=field.orb,
                    itype=None)
    if isinstance(field, ParticleField):
        return dict(x=field.xpart, y=field.ypart, z=field.zpart, r=field.rpart, xl=field.xl,
                    yl=field.yl, sy=field.sy, title="particles", orb=0.0, itype=field.itype)
    try:
        missing = [k for k in ("x", "y", "z", "r", "xl", "yl", "sy") if k not in field]
    except TypeError:
        missing = None
    if missing is None or missing:
        raise ValueError("%s: expected a PositionFile, a ParticleField or a mapping with x, y, z, "
                         "r, xl, yl, sy (and optionally itype, title, orb)%s"
                         % (what, "" if not missing else "; missing " + ", ".join(missing)))
    out = {k: field[k] for k in ("x", "y", "z", "r", "xl", "yl", "sy")}
    out["title"] = field.get("title", "particles")
    out["orb"] = field.get("orb", 0.0)
    out["itype"] = field.get("itype")
    return out


# Particles given as arrays are written in text form ("field.pos") up to this
# many, in HDF5 form ("field.h5") beyond: the text form of 10^6 particles
# takes about 6 s of CPU to write and 1 s to read, the HDF5 form 0.4 s and
# 0.1 s, and the program reads the same doubles from either.
HDF5_BEYOND = 100_000


def write_fields(workdir, field, haze):
    """Writes the ring (and haze) particles given as arrays into ``workdir``;
    returns the deck changes that name them.  Particles of kind (``itype``)
    2 in ``field`` are haze particles in the same cell.  A file of more than
    HDF5_BEYOND particles is written in HDF5 form."""
    from quillet.particles import write_position_file

    changes = {}
    parts = {}
    if field is not None:
        f = field_arrays(field, "field")
        kinds = None if f["itype"] is None else np.asarray(f["itype"]).ravel()
        if kinds is not None:
            if kinds.size != np.asarray(f["x"]).size:
                raise ValueError("field: itype has %d values for %d particles"
                                 % (kinds.size, np.asarray(f["x"]).size))
            bad = np.flatnonzero((kinds != 1) & (kinds != 2))
            if bad.size:
                raise ValueError("field: particle %d has itype %r: expected 1 (ring) or 2 (haze)"
                                 % (bad[0] + 1, kinds[bad[0]]))
        ring = np.ones(np.asarray(f["x"]).size, dtype=bool) if kinds is None else kinds == 1
        parts["posfile"] = ("field.pos", f, ring)
        if kinds is not None and np.any(~ring):
            if haze is not None:
                raise ValueError("field holds haze particles (itype 2) and haze is given too: "
                                 "give the haze particles one way")
            parts["posfile_haze"] = ("field_haze.pos", f, ~ring)
    if haze is not None:
        h = field_arrays(haze, "haze")
        parts["posfile_haze"] = ("field_haze.pos", h,
                                 np.ones(np.asarray(h["x"]).size, dtype=bool))
    for name, (file_name, f, keep) in parts.items():
        if np.count_nonzero(keep) > HDF5_BEYOND:
            file_name = file_name[:-len(".pos")] + ".h5"
        path = os.path.join(workdir, file_name)
        write_position_file(path, *(np.asarray(f[k], dtype=float).ravel()[keep]
                                    for k in ("x", "y", "z", "r")),
                            f["xl"], f["yl"], f["sy"], title=f["title"], orb=f["orb"])
        changes[name] = path
    return changes


def with_directions(deck, latobs, phase_angle, azimuth):
    """The deck with the observer directions given as arrays, paired element by
    element (broadcast): an elevation with a phase angle or with an azimuth
    relative to the Sun."""
    if latobs is None and phase_angle is None and azimuth is None:
        return deck
    if latobs is None or (phase_angle is None) == (azimuth is None):
        raise TypeError("observer directions: give latobs with either phase_angle or azimuth")
    lat = np.asarray(latobs, dtype=float)
    fii = (np.asarray(phase_angle, dtype=float) if phase_angle is not None
           else 1000.0 + np.asarray(azimuth, dtype=float))
    try:
        lat, fii = np.broadcast_arrays(lat, fii)
    except ValueError:
        raise ValueError("observer directions: latobs has shape %s, the %s %s: expected one "
                         "value each per direction" % (lat.shape, "phase angles" if phase_angle
                                                       is not None else "azimuths", fii.shape))
    return deck.copy(latobs=[float(v) for v in lat.ravel()],
                     fiiobs=[float(v) for v in fii.ravel()], latgrid=None, fiigrid=None)

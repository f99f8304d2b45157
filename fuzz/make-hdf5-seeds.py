#!/usr/bin/python3
"""Makes the seed corpus of the HDF5 particle-file target,
fuzz/corpus/particles_hdf5/: small particle files in HDF5 form written with
h5py, each behind the mode byte of the particle-file target (bit 0: haze
file behind a text ring file; bit 1: size cut; bit 2: enlargement; bit 3:
huge sredu and zredu).

    /usr/bin/python3 fuzz/make-hdf5-seeds.py

ring-small        three particles, contiguous (the newest file format, with
                  checksums, as write_position_file writes it)
ring-earliest     the same in h5py's default format without checksums, refused
ring-gzip         chunks of two with shuffle, gzip and the checksum
ring-compact      values kept in the object headers, title as fixed text, big-endian
ring-cut-enlarge  five particles with the size cut and the enlargement
huge-factors      three particles with factors beyond the double range
haze-small        two haze particles behind the target's text ring file
empty             no particles
"""

import os

import h5py
import numpy as np

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "particles_hdf5")

THREE = [(0.5, 0.0, 0.0, 0.0), (0.4, 1.0, 1.0, 0.2), (0.3, -1.0, 0.5, -0.1)]
FIVE = THREE + [(0.45, 1.9, -1.9, 0.0), (0.2, 0.5, -0.5, 0.3)]


def write(name, mode, parts, libver="latest", layout="contiguous", fixed_title=False, dtype="<f8"):
    tmp = os.path.join(OUT, ".tmp.h5")
    cols = np.array(parts, dtype=float).reshape(-1, 4).T
    with h5py.File(tmp, "w", libver=libver) as f:
        f.attrs["version"] = np.int32(1)
        f.attrs["title"] = np.bytes_(name) if fixed_title else name
        f.attrs["note"] = "seed"
        for key, v in zip(("orb", "xl", "yl", "sy"), (1.0, 2.0, 2.0, 0.5)):
            f.attrs[key] = np.float64(v)
        for key, values in zip("rxyz", cols):
            values = values.astype(dtype)
            if layout == "gzip":
                f.create_dataset(key, data=values, chunks=(2,), shuffle=True, compression="gzip",
                                 fletcher32=True)
            elif layout == "compact":
                dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
                dcpl.set_layout(h5py.h5d.COMPACT)
                space = h5py.h5s.create_simple((values.size,))
                d = h5py.h5d.create(f.id, key.encode(), h5py.h5t.py_create(values.dtype), space, dcpl=dcpl)
                d.write(h5py.h5s.ALL, h5py.h5s.ALL, values)
            else:
                f.create_dataset(key, data=values)
    with open(tmp, "rb") as f:
        data = f.read()
    os.remove(tmp)
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(bytes([mode]) + data)
    return len(data)


os.makedirs(OUT, exist_ok=True)
sizes = {
    "ring-small": write("ring-small", 0, THREE),
    "ring-earliest": write("ring-earliest", 0, THREE, libver="earliest"),
    "ring-gzip": write("ring-gzip", 0, FIVE, layout="gzip"),
    "ring-compact": write("ring-compact", 0, THREE, layout="compact", fixed_title=True, dtype=">f8"),
    "ring-cut-enlarge": write("ring-cut-enlarge", 6, FIVE),
    "huge-factors": write("huge-factors", 8, THREE),
    "haze-small": write("haze-small", 1, THREE[:2]),
    "empty": write("empty", 0, []),
}
for name, size in sizes.items():
    print("%-18s %6d bytes" % (name, size))

"""Synthetic quillet files for the tests, written from the record lists of
each layout with plain loops, independently of both the program's writer and
the package's readers.

Numbers follow the program's output layout: doubles and single-precision
values in their shortest round-trip form (a real always shows a point or an
exponent), integers in decimal, items separated by one blank, one record per
line; text fields are 80 characters wide.  ``wrap`` splits every numeric
record into lines of at most that many values, which a reader must accept.
"""

import numpy as np


def d(x):
    """A double in shortest round-trip form."""
    s = repr(float(x))
    return s if any(c in s for c in ".ein") else s + ".0"


def f(x):
    """A single-precision value in shortest round-trip form."""
    s = str(np.float32(x))
    return s if any(c in s for c in ".ein") else s + ".0"


def i(x):
    return str(int(x))


def text(s):
    return ("T", s.ljust(80)[:80])


def write(path, records, wrap=None):
    """Writes records: each is a list of formatted items, or text(...)."""
    lines = []
    for rec in records:
        if isinstance(rec, tuple):
            lines.append(rec[1])
            continue
        if wrap and len(rec) > wrap:
            for k in range(0, len(rec), wrap):
                lines.append(" ".join(rec[k:k + wrap]))
        else:
            lines.append(" ".join(rec))
    with open(path, "w", encoding="latin-1") as out:
        out.write("\n".join(lines) + "\n")
    return lines


def sample_run(ntest=3, nphot=12, seed=1):
    """Values of a made-up run, with tables indexed 1-based like the program's
    (index 0 unused), so that the layouts below read like their definitions."""
    rng = np.random.default_rng(seed)
    run = {
        "posfile": "fields/ring 1.pos", "lonsun": 10.5, "bsun": 30.0, "nphot": nphot,
        "ssca": 1.0, "maxscat": 100, "nbox": 10000, "nboxvis": 9000, "idum": -12345,
        "method": 4, "ppar1": 0.3, "ppar2": -0.25, "ppar3": 0.1, "ntest": ntest,
        "posfile_haze": "junk", "method_haze": 2, "ppar1_haze": 0.0, "ppar2_haze": 0.5,
        "ppar3_haze": 1e-30, "ssca_part": 0.9, "ssca_haze": 0.5,
        "iscat_mean": 1.75, "npot_mean": 3.5, "nbox_mean": 1.25, "npartori": 40, "npart": 52,
        "mx": 5, "my": 6, "sredu": 1.0, "zredu": 0.5, "tau": 0.4123456789012345,
        "fdir": 0.25, "tau_p": 1.3862943611198906, "tau_n": 0.6931471805599453,
        "cpu": 0.01, "cpu_comp": 0.8333333333333334, "sizemin": 0.0, "s20": 0.0, "f20": 1.0,
    }
    run["fiiobs"] = [None] + list(rng.uniform(0, 360, ntest))
    run["latobs"] = [None] + list(rng.uniform(5, 85, ntest))
    run["testw_n"] = [None] + [float(v) for v in rng.integers(2, 50, ntest)]
    run["testw_sig"] = [None] + list(rng.uniform(0, 1, ntest))
    run["testd_corr"] = [None] + list(rng.uniform(0, 1, ntest))
    # com8(k, order), orders 1..50
    run["com8"] = [[None] * 51] + [[None] + list(rng.uniform(0, 1, 50) * (0.5 ** np.arange(50)))
                                   for _ in range(ntest)]
    run["testw"] = [None] + [sum(run["com8"][k][1:]) for k in range(1, ntest + 1)]
    # com8_haze(k, n_ring, n_haze), n_ring 0..20, n_haze 0..50
    run["com8_haze"] = [None] + [rng.uniform(0, 1, (21, 51)) for _ in range(ntest)]
    run["esc_fii"] = [None] + list(rng.uniform(-4, 3, nphot).astype(np.float32))
    run["esc_lat"] = [None] + list(rng.uniform(-1.5, 1.5, nphot).astype(np.float32))
    run["esc_sca"] = [None] + [np.float32(v) for v in rng.integers(0, 12, nphot)]
    run["esc_weight"] = [None] + list(rng.uniform(0, 1, nphot).astype(np.float32))
    # esc_hist(azimuth bin 1..180, latitude bin 1..90, plane 1..10), sparse
    hist = {}
    for _ in range(40):
        key = (int(rng.integers(1, 181)), int(rng.integers(1, 91)), int(rng.integers(2, 11)))
        hist[key] = np.float32(rng.uniform(0, 3))
    run["esc_hist"] = hist
    return run


def _head(run):
    """Records 2 to 6 of the escape file (and of the other result files)."""
    return [
        text(run["posfile"]),
        [d(run["lonsun"]), d(run["bsun"]), i(run["nphot"])],
        [d(run["ssca"]), i(run["maxscat"]), i(run["nbox"]), i(run["nboxvis"]), i(run["idum"])],
        [i(run["method"])],
        [d(run["ppar1"]), d(run["ppar2"]), d(run["ppar3"])],
    ]


def _per_direction(run):
    """Records 8 to 14 of the escape file."""
    n = run["ntest"]
    recs = [[d(run[name][k]) for k in range(1, n + 1)]
            for name in ("fiiobs", "latobs", "testw", "testw_n", "testw_sig", "testd_corr")]
    com8 = []
    for order in range(1, 51):
        for k in range(1, n + 1):
            com8.append(d(run["com8"][k][order]))
    recs.append(com8)
    return recs


def _closing(run):
    """Records 19 to 24 of the escape file."""
    return [
        [d(run["iscat_mean"]), d(run["npot_mean"]), d(run["nbox_mean"])],
        [i(run["npartori"]), i(run["npart"]), i(run["mx"]), i(run["my"])],
        [d(run["sredu"]), d(run["zredu"]), d(run["tau"])],
        [d(run["fdir"]), d(run["tau_p"]), d(run["tau_n"])],
        [d(run["cpu"]), d(run["cpu_comp"])],
        [d(run["sizemin"]), d(run["s20"]), d(run["f20"])],
    ]


def escape_records(run):
    recs = [[d(7.0)]] + _head(run) + [[i(run["ntest"])]] + _per_direction(run)
    for name in ("esc_fii", "esc_lat", "esc_sca", "esc_weight"):
        recs.append([f(run[name][p]) for p in range(1, run["nphot"] + 1)])
    return recs + _closing(run)


def histogram_records(run):
    recs = [[d(5.0)]] + _head(run) + [[i(run["ntest"])]] + _per_direction(run)
    recs.append([i(180), i(90), i(50)])
    values = []
    for plane in range(1, 11):
        for lat in range(1, 91):
            for fii in range(1, 181):
                values.append(f(run["esc_hist"].get((fii, lat, plane), 0.0)))
    recs.append(values)
    return recs + _closing(run)


def direction_records(run):
    recs = [[d(7.0)]] + _head(run) + [[i(50)], [i(run["ntest"])]] + _per_direction(run)
    recs += [
        text(run["posfile_haze"]),
        [i(run["method_haze"])],
        [d(run["ppar1_haze"]), d(run["ppar2_haze"]), d(run["ppar3_haze"])],
        [d(run["ssca_part"]), d(run["ssca_haze"])],
        [i(20), i(50)],
    ]
    table = []
    for n_haze in range(0, 51):
        for n_ring in range(0, 21):
            for k in range(1, run["ntest"] + 1):
                table.append(d(run["com8_haze"][k][n_ring, n_haze]))
    recs.append(table)
    return recs + _closing(run)


def sample_image(nxpix=7, nypix=5, ntest=2, nimages=1, seed=2):
    """A made-up test-image file's values; images as dicts (ix, iy) -> value."""
    rng = np.random.default_rng(seed)
    img = {"npart": 52, "xl": 5.0, "yl": 4.0, "sy": 1.5, "nphot": 100, "nxpix": nxpix,
           "nypix": nypix, "ntest": ntest, "nxphot": 10, "nyphot": 10, "bsun": 30.0,
           "lonsun": 0.0, "latobs": list(rng.uniform(5, 85, ntest)),
           "fiiobs": list(rng.uniform(0, 360, ntest)), "nimages": nimages}
    pix = [(ix, iy) for iy in range(1, nypix + 1) for ix in range(1, nxpix + 1)]
    img["ximage"] = {(ix, iy): np.float32((2 * (np.float32(ix) - np.float32(0.5)) * 5.0) / nxpix - 5.0)
                     for ix, iy in pix}
    img["yimage"] = {(ix, iy): np.float32((1 / nypix) * ((np.float32(iy) - np.float32(0.5)) * 2 * 4.0)
                                          - 4.0) for ix, iy in pix}
    img["ill_image"] = {p: int(rng.integers(0, 9)) for p in pix}
    img["vis_image"] = {p: min(img["ill_image"][p], int(rng.integers(0, 9))) for p in pix}
    img["test_image"] = [{p: np.float32(rng.uniform(0, 2)) for p in pix} for _ in range(nimages)]
    return img


def test_image_records(img):
    nx, ny = img["nxpix"], img["nypix"]

    def plane(values, fmt):
        return [fmt(values[(ix, iy)]) for iy in range(1, ny + 1) for ix in range(1, nx + 1)]

    recs = [
        [d(4.0)],
        [i(img["npart"]), d(img["xl"]), d(img["yl"]), d(img["sy"])],
        [i(img["nphot"]), i(nx), i(img["ntest"])],
        [i(nx), i(ny)],
        [i(img["nxphot"]), i(img["nyphot"])],
        [d(img["bsun"]), d(img["lonsun"])],
        [d(v) for v in img["latobs"]],
        [d(v) for v in img["fiiobs"]],
        plane(img["ximage"], f),
        plane(img["yimage"], f),
        [i(img["nimages"]), i(10)],
        plane(img["ill_image"], i),
        plane(img["vis_image"], i),
    ]
    recs += [plane(m, f) for m in img["test_image"]]
    return recs


def sample_field(n=6, seed=3):
    """A CHECK_POS file's values: cell and per-particle x, y, z, r, itype."""
    rng = np.random.default_rng(seed)
    parts = [(rng.uniform(-5, 5), rng.uniform(-4, 4), rng.uniform(-1, 1), rng.uniform(0.2, 0.9),
              1 if k < n - 2 else 2) for k in range(n)]
    return {"xl": 5.0, "yl": 4.0, "zmin": -1.9, "zmax": 1.9, "sy": 0.75, "parts": parts}


def check_pos_records(field):
    recs = [[d(field["xl"]), d(field["yl"]), d(field["zmin"]), d(field["zmax"]), d(field["sy"])],
            [i(len(field["parts"]))]]
    for x, y, z, r, t in field["parts"]:
        recs.append([d(x), d(y), d(z), d(r), i(t)])
    return recs

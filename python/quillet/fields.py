"""Ensembles of particle fields: several realisations of one field, made by
quillet-field with the same settings and different seeds, or given as files.

    ens = quillet.FieldEnsemble({"xl": 20, "yl": 20, "rmin": 0.2, "rmax": 2, "q": 3,
                                 "tau": 0.75, "filling": 0.15}, seeds=[1, 2, 3])
    ds = quillet.sweep(deck, fields=ens)

One realisation's I/F differs from another's by more than its own run's
standard error: the run's error counts the photons' noise in that one field,
not the field's own chance arrangement of particles.  The dataset keeps every
realisation (dimension ``realisation``) and adds the ensemble mean with an
error that holds both (see ensemble_mean).
"""

import hashlib
import os
import shutil
import subprocess
import tempfile

import numpy as np

from quillet.deck import DeckError

SEED_MIN, SEED_MAX = 1, 999_999_999
# quillet-field's options that a [field] table may give (underscores for
# the hyphens); flags take true or false.
OPTIONS = ("xl", "yl", "sy", "orb", "radius", "rmin", "rmax", "q", "tau", "number", "filling",
           "thickness", "scale_height", "gaussian", "overlap", "generator", "max_attempts",
           "title")
FLAGS = ("gaussian", "overlap")


def find_field_program(program=None, quillet_program=None):
    """quillet-field: ``program``, else $QUILLET_FIELD, else beside the
    quillet program (build/tools/quillet-field), else on PATH."""
    candidates = []
    if program:
        candidates.append(program)
    elif os.environ.get("QUILLET_FIELD"):
        candidates.append(os.environ["QUILLET_FIELD"])
    else:
        if quillet_program:
            here = os.path.dirname(os.path.abspath(quillet_program))
            candidates += [os.path.join(here, "tools", "quillet-field"),
                           os.path.join(here, "quillet-field")]
        on_path = shutil.which("quillet-field")
        if on_path:
            candidates.append(on_path)
    for c in candidates:
        if os.path.isfile(c) and os.access(c, os.X_OK):
            return os.path.abspath(c)
    from quillet.runner import RunError

    raise RunError("quillet-field was not found (looked for %s); build it with 'cmake --build "
                   "build' or give field_program=" % (", ".join(candidates) or "nothing"))


class FieldEnsemble:
    """Realisations of a field: quillet-field ``options`` (a dict by option
    name, as in ``--rmin 0.2``: {"rmin": 0.2}) with each of ``seeds``, or
    the position ``files`` given.  ``source`` names where it came from in
    messages."""

    def __init__(self, options=None, seeds=None, files=None, source="fields"):
        self.source = source
        self.options = dict(options or {})
        self.files = None if files is None else [os.fspath(f) for f in files]
        self.seeds = None if seeds is None else list(seeds)
        self.check()

    def check(self):
        """Raises DeckError for an option, seed or file list no field can be
        made with."""
        src = self.source
        for key, value in self.options.items():
            if key == "seed":
                raise DeckError("fields", value, "%s: seed = %r: give the seeds as a list, "
                                "seeds = [...]" % (src, value))
            if key not in OPTIONS:
                raise DeckError("fields", value, "%s: %s = %r: not an option of quillet-field "
                                "(they are %s)" % (src, key, value, ", ".join(OPTIONS)))
            if key in FLAGS:
                if not isinstance(value, bool):
                    raise DeckError("fields", value, "%s: %s = %r: expected true or false"
                                    % (src, key, value))
            elif key in ("generator", "title"):
                if not isinstance(value, str):
                    raise DeckError("fields", value, "%s: %s = %r: expected a text in quotes"
                                    % (src, key, value))
            elif isinstance(value, bool) or not isinstance(value, (int, float, np.integer,
                                                                    np.floating)):
                raise DeckError("fields", value, "%s: %s = %r: expected a number"
                                % (src, key, value))
        if (self.files is None) == (self.seeds is None):
            raise DeckError("fields", None, "%s: give either seeds (with the generator's "
                            "options) or a list of files" % src)
        if self.files is not None:
            if not self.files:
                raise DeckError("fields", self.files, "%s: files = []: expected at least one "
                                "position file" % src)
            if self.options:
                raise DeckError("fields", self.files, "%s: files are given, so the generator's "
                                "options (%s) have no use" % (src, ", ".join(self.options)))
            if len(set(self.files)) != len(self.files):
                raise DeckError("fields", self.files, "%s: a file is given twice" % src)
            return
        if not self.seeds:
            raise DeckError("fields", self.seeds, "%s: seeds = []: expected at least one seed"
                            % src)
        for i, s in enumerate(self.seeds, start=1):
            if isinstance(s, (bool, np.bool_)) or not isinstance(s, (int, np.integer)) \
                    or not SEED_MIN <= s <= SEED_MAX:
                raise DeckError("fields", s, "%s: seeds, entry %d = %r: expected a whole number "
                                "from %d to %d" % (src, i, s, SEED_MIN, SEED_MAX))
        if len(set(self.seeds)) != len(self.seeds):
            raise DeckError("fields", self.seeds, "%s: seeds: a seed is given twice" % src)

    def __len__(self):
        return len(self.files if self.files is not None else self.seeds)

    def arguments(self, seed):
        """quillet-field's arguments for one seed."""
        args = []
        for key, value in self.options.items():
            opt = "--" + key.replace("_", "-")
            if key in FLAGS:
                if value:
                    args.append(opt)
            else:
                args += [opt, value if isinstance(value, str) else "%r" % (value,)]
        return args + ["--seed", str(int(seed))]

    def settings(self):
        """The generator's settings as one line (no seed), or "" for files."""
        if self.files is not None:
            return ""
        return "quillet-field " + " ".join(str(a) for a in self.arguments(0)[:-2])

    def make(self, folder, base=None, program=None, quillet_program=None):
        """The position files, made in ``folder`` when generated (kept by a
        digest of the generator and its arguments, so a second call makes
        none); file names relative to ``base``.  Returns a list of
        (path, seed or None)."""
        from quillet.runner import RunError, file_digest

        if self.files is not None:
            out = []
            for f in self.files:
                path = f if os.path.isabs(f) or base is None else os.path.join(base, f)
                if not os.path.isfile(path):
                    raise DeckError("fields", f, "%s: the position file %s does not exist"
                                    % (self.source, f))
                out.append((os.path.abspath(path), None))
            return out
        program = find_field_program(program, quillet_program)
        tool = file_digest(program)
        os.makedirs(folder, exist_ok=True)
        out = []
        for seed in self.seeds:
            args = self.arguments(seed)
            key = hashlib.sha256(("%s\n%s" % (tool, "\0".join(map(str, args)))).encode())
            path = os.path.join(folder, "field-%s.pos" % key.hexdigest()[:24])
            if not os.path.isfile(path):
                fd, tmp = tempfile.mkstemp(prefix="field-", suffix=".part", dir=folder)
                os.close(fd)
                try:
                    done = subprocess.run([program] + args + ["-o", tmp], capture_output=True,
                                          text=True, errors="replace")
                    if done.returncode != 0:
                        msg = done.stderr.strip().splitlines()
                        raise RunError("%s: quillet-field with seed %d: %s"
                                       % (self.source, seed, msg[-1] if msg else
                                          "ended with status %d" % done.returncode))
                    os.replace(tmp, path)
                finally:
                    if os.path.exists(tmp):
                        os.remove(tmp)
            out.append((path, int(seed)))
        return out


def ensemble_mean(values, errors, axis=0):
    """Mean over realisations with its standard error and the spread between
    fields.

    With N realisations f_r (each with its run's standard error e_r), the
    mean m = sum(f_r) / N.  The sample variance s^2 = sum((f_r - m)^2) /
    (N - 1) estimates the field-to-field variance plus the photons' noise,
    e^2 = mean(e_r^2); the error of m is sqrt(max(s^2, e^2) / N): the
    spread when it exceeds the photons' noise, never less than the
    photons' noise alone (which is what s^2 cannot resolve with few
    realisations).  The spread between fields is sqrt(max(s^2 - e^2, 0)).
    With one realisation the error is its run's error and the spread NaN.
    Returns (mean, error, spread)."""
    f = np.asarray(values, dtype=float)
    e = np.asarray(errors, dtype=float)
    n = f.shape[axis]
    m = f.mean(axis=axis)
    e2 = (e ** 2).mean(axis=axis)
    if n < 2:
        return m, np.sqrt(e2), np.full(m.shape, np.nan)
    s2 = f.var(axis=axis, ddof=1)
    err = np.sqrt(np.maximum(s2, e2) / n)
    spread = np.sqrt(np.maximum(s2 - e2, 0.0))
    return m, err, spread


ENSEMBLE_NOTE = ("mean over the realisations of the field; error sqrt(max(s^2, e^2) / N) with "
                 "N realisations, s^2 their sample variance (N - 1 in the denominator) and "
                 "e^2 the mean of their runs' squared standard errors: the spread between "
                 "fields when it exceeds the photons' noise, else the photons' noise alone")

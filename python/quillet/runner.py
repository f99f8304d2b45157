"""Running the program on a Deck: one run in a folder of its own.

    result = quillet.run(deck, workdir="run1", threads=0)
    print(result.i_over_f())                 # (I/F, error) per direction
    result.direction.testw                   # the direction file, read

The deck's input files (``posfile``, ``posfile_haze``, ``parfile`` and the
phase-function tables "mcphase.dat", "mcphase_haze.dat" of the tabulated
laws) are taken relative to the deck's folder (``deck.base``: the folder the
deck was read from, or the current folder) and linked into the run's folder
under short names, so that file names stay within the deck's 80 characters
whatever the folders are called.  The run writes its files there under fixed
names: "run.deck", "run.report", "run.dir" and, when the deck asks for them,
"run.esc", "run.hist", "run.TESTIMAGE" (and "run.CHECK_POS").

The finished run is a RunResult (quillet.run_result); particles and observer
directions given as arrays are written into the deck by quillet.run_inputs.
"""

import errno
import functools
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

from quillet.deck import Deck
from quillet.run_inputs import with_directions, write_fields
from quillet.run_result import RunResult, finished_run, parse_report_i_over_f

_HERE = os.path.dirname(os.path.abspath(__file__))


class RunError(RuntimeError):
    """A run that the program refused or that failed; the message is the
    program's own (its standard error), ``status`` its exit status."""

    def __init__(self, message, status=None, workdir=None):
        self.status, self.workdir = status, workdir
        super().__init__(message)


def find_program(program=None):
    """The quillet program: ``program`` when given, else $QUILLET_BINARY,
    else ``quillet`` on PATH, else the build beside the package (the
    repository's build/quillet)."""
    candidates = []
    if program:
        candidates.append(program)
    elif os.environ.get("QUILLET_BINARY"):
        candidates.append(os.environ["QUILLET_BINARY"])
    else:
        on_path = shutil.which("quillet")
        if on_path:
            candidates.append(on_path)
        candidates.append(os.path.join(_HERE, "..", "..", "build", "quillet"))
        candidates.append(os.path.join(_HERE, "bin", "quillet"))
    for c in candidates:
        path = shutil.which(c) if os.sep not in c else c
        if path and os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
    raise RunError("the quillet program was not found (looked for %s); build it with "
                   "'cmake --build build' or give program=" % ", ".join(candidates))


@functools.lru_cache(maxsize=None)
def _program_version(path, mtime_ns, size):
    out = subprocess.run([path, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                         text=True, errors="replace")
    first = out.stdout.strip().splitlines()[:1]
    return first[0].strip() if out.returncode == 0 and first else "unknown"


def program_version(program):
    """The first line of ``program --version`` ("quillet 0.1.0")."""
    st = os.stat(program)
    return _program_version(os.path.abspath(program), st.st_mtime_ns, st.st_size)


@functools.lru_cache(maxsize=None)
def _file_digest(path, mtime_ns, size):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def file_digest(path):
    """sha256 of a file's bytes (remembered while the file is unchanged)."""
    st = os.stat(path)
    return _file_digest(os.path.abspath(path), st.st_mtime_ns, st.st_size)


# -- preparing a run's folder ---------------------------------------------

def _inputs(deck):
    """(deck value name or table name, path relative to the deck's folder) of
    each input file the run reads."""
    out = [("posfile", deck.posfile)]
    if deck.posfile_haze != "junk":
        out.append(("posfile_haze", deck.posfile_haze))
    if deck.parfile != "junk":
        out.append(("parfile", deck.parfile))
    if deck.method in (15, 16):
        out.append(("mcphase.dat", "mcphase.dat"))
    if deck.posfile_haze != "junk" and deck.method_haze in (15, 16):
        out.append(("mcphase_haze.dat", "mcphase_haze.dat"))
    return out


_LINK_NAMES = {"posfile": "ring.pos", "posfile_haze": "haze.pos", "parfile": "engine.par",
               "mcphase.dat": "mcphase.dat", "mcphase_haze.dat": "mcphase_haze.dat"}


def prepared_deck(deck):
    """The deck as it runs in its own folder: inputs under their link names,
    results under the fixed names.  Returns (deck, {link name: source path})."""
    base = deck.base or os.getcwd()
    links = {}
    changes = {}
    for name, rel in _inputs(deck):
        src = rel if os.path.isabs(rel) else os.path.join(base, rel)
        if not os.path.isfile(src):
            raise RunError("%s: the input file %s (%s) does not exist" % (name, rel, src))
        links[_LINK_NAMES[name]] = os.path.abspath(src)
        if name in ("posfile", "posfile_haze", "parfile"):
            changes[name] = _LINK_NAMES[name]
    changes["wfile"] = "run.dir"
    if deck.outfile != "junk":
        changes["outfile"] = "run.esc"
    if deck.epsfile != "junk":
        changes["epsfile"] = "run.hist"
    changes["testimage"] = "run"
    return deck.copy(**changes), links


def run_digest(deck, threaded, program):
    """Digest of everything a run's results depend on: the deck as it runs,
    the bytes of its input files, the program, and serial or threaded
    (threaded runs give the same bytes for every number of threads)."""
    run_deck, links = prepared_deck(deck)
    h = hashlib.sha256()
    h.update(run_deck.to_text().encode("utf-8"))
    for name in sorted(links):
        h.update(("\n%s %s" % (name, file_digest(links[name]))).encode())
    h.update(("\nprogram %s\nthreaded %d\n" % (file_digest(program), bool(threaded))).encode())
    return h.hexdigest()

def _link(src, dst):
    if os.path.lexists(dst):
        os.remove(dst)
    try:
        os.symlink(src, dst)
    except OSError:
        shutil.copyfile(src, dst)


def _stream(proc_err, echo):
    """Reads the program's standard error to its end; echoes it when asked
    and returns its text without the progress lines."""
    chunks = []
    while True:
        try:
            data = os.read(proc_err, 4096)
        except OSError as e:  # a pty reports EIO once the program has closed it
            if e.errno == errno.EIO:
                break
            raise
        if not data:
            break
        chunks.append(data)
        if echo:
            try:
                sys.stderr.write(data.decode("utf-8", "replace"))
                sys.stderr.flush()
            except (OSError, ValueError):
                pass
    text = b"".join(chunks).decode("utf-8", "replace").replace("\r\n", "\n")
    # The progress line rewrites itself with carriage returns; keep the rest.
    lines = [seg.split("\r")[-1] for seg in text.split("\n")]
    return "\n".join(ln for ln in lines if ln.strip())


def can_checkpoint(deck):
    """Whether the program keeps a checkpoint of this deck's run (the
    per-photon traces of icheck or idebug >= 1 are not kept in one)."""
    return deck.icheck < 1 and deck.idebug < 1

def run(deck, workdir=None, threads=0, program=None, progress=True, check=True,
        checkpoint=None, resume=False, on_start=None, own_session=False, in_process=False,
        field=None, haze=None, latobs=None, phase_angle=None, azimuth=None):
    """Runs the program on ``deck`` in ``workdir`` (a new temporary folder
    when None) and returns a RunResult.

    ``deck`` is a Deck or the text of one (relative file names then taken
    from the current folder).  ``in_process`` runs the engine inside this
    interpreter (quillet._engine, see quillet.in_process) instead of as a
    subprocess: the same folder, files, report and RunResult; ``progress``,
    ``program``, checkpoints and ``on_start`` do not apply to it.

    ``field`` (and ``haze``): the particles as arrays instead of the deck's
    ``posfile`` (``posfile_haze``): a PositionFile, a ParticleField (its
    particles of ``itype`` 2 are the haze) or a mapping with ``x``, ``y``,
    ``z``, ``r``, ``xl``, ``yl``, ``sy`` (and ``itype``, ``title``, ``orb``);
    they are written into the run folder ("field.pos", "field_haze.pos";
    "field.h5", "field_haze.h5" beyond 100,000 particles) by
    write_position_file and the returned ``deck`` names them.  ``latobs``
    with ``phase_angle`` or ``azimuth`` (relative to the Sun): the observer
    directions as arrays, paired element by element.

    ``threads``: None for the serial run, 0 for every core, N for N threads
    (all threaded runs give the same bytes).  ``progress`` shows the
    program's progress line on standard error while the photons run.  The
    deck is validated first (``check``); a run the program refuses or that
    fails raises RunError with the program's own message.

    ``checkpoint``: a file in which the program keeps the run's state (and
    writes it when SIGINT stops the run); with ``resume`` the run continues
    from that file.  ``on_start(process)`` is called once the program has
    started, ``own_session`` starts it in a session of its own (a Ctrl-C at
    the terminal then does not reach it: the caller passes it on)."""
    if isinstance(deck, str):
        deck = Deck.parse(deck)
    deck = with_directions(deck, latobs, phase_angle, azimuth)
    if check:
        deck.validate(threaded=threads is not None)
    if in_process:
        if checkpoint is not None or on_start is not None or own_session:
            raise TypeError("an in-process run keeps no checkpoint and has no process: run it "
                            "without in_process for checkpoint, on_start or own_session")
        from quillet import in_process as engine

        engine.engine_module()
    else:
        program = find_program(program)
    if workdir is None:
        workdir = tempfile.mkdtemp(prefix="quillet-run-")
    os.makedirs(workdir, exist_ok=True)
    workdir = os.path.abspath(workdir)
    if field is not None or haze is not None:
        deck = deck.copy(**write_fields(workdir, field, haze))
    run_deck, links = prepared_deck(deck)
    for name, src in links.items():
        _link(src, os.path.join(workdir, name))
    deck_text = run_deck.to_text()
    with open(os.path.join(workdir, "run.deck"), "w", encoding="utf-8") as f:
        f.write(deck_text)
    report_path = os.path.join(workdir, "run.report")
    if in_process:
        status, report, message = engine.run_deck_text(deck_text, workdir, threads)
        with open(report_path + ".part", "wb") as f:
            f.write(report)
        os.replace(report_path + ".part", report_path)
        if status != 0:
            raise RunError("%s (run folder %s)" % (message.strip(), workdir), status, workdir)
        return finished_run(deck, run_deck, workdir)
    args = [program]
    if threads is not None:
        args += ["--threads", str(int(threads))]
    if checkpoint is not None:
        checkpoint = os.path.abspath(checkpoint)
        if resume:
            args += ["--resume", checkpoint]
        args += ["--checkpoint", checkpoint]
    echo = bool(progress) and sys.stderr is not None and _isatty(sys.stderr)
    with open(os.path.join(workdir, "run.deck"), "rb") as deck_in, \
            open(report_path + ".part", "wb") as report_out:
        if echo:
            import pty
            master, slave = pty.openpty()
            try:
                proc = subprocess.Popen(args, stdin=deck_in, stdout=report_out, stderr=slave,
                                        cwd=workdir, start_new_session=own_session)
            finally:
                os.close(slave)
            if on_start is not None:
                on_start(proc)
            try:
                err = _stream(master, True)
            finally:
                os.close(master)
        else:
            proc = subprocess.Popen(args, stdin=deck_in, stdout=report_out,
                                    stderr=subprocess.PIPE, cwd=workdir,
                                    start_new_session=own_session)
            if on_start is not None:
                on_start(proc)
            err = _stream(proc.stderr.fileno(), False)
            proc.stderr.close()
        status = proc.wait()
    if status != 0:
        os.replace(report_path + ".part", report_path)
        message = err.strip() or "the program ended with status %d" % status
        raise RunError("%s (run folder %s)" % (message, workdir), status, workdir)
    os.replace(report_path + ".part", report_path)
    return finished_run(deck, run_deck, workdir)


def _isatty(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def load_run(deck, workdir, cached=True):
    """The RunResult of a run finished earlier in ``workdir``."""
    run_deck, _ = prepared_deck(deck)
    return finished_run(deck, run_deck, workdir, cached=cached)


__all__ = [
    "RunError", "RunResult", "find_program", "program_version", "file_digest", "prepared_deck",
    "run_digest", "parse_report_i_over_f", "can_checkpoint", "run", "load_run",
]

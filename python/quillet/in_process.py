"""The engine run inside this interpreter: ``quillet.run(deck, in_process=True)``.

The compiled module ``quillet._engine`` (built by the repository's CMake with
pybind11 into ``build/python/quillet/``) runs one deck in the run's folder as
the program would, on a thread with a working folder of its own, and hands
back the report; the run folder, the deck as it runs and the result files are
those of the program run as a subprocess, byte for byte (but for the CPU
seconds and the date lines of the report).  The GIL is released while the
photons run, so other Python threads go on.  The module is found, in this
order, at $QUILLET_ENGINE_MODULE (the file), installed in the package, beside
the program $QUILLET_BINARY (its build folder's ``python/quillet/``) and in
the repository's ``build/python/quillet/``.
"""

import glob
import importlib
import importlib.machinery
import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
_module = None


def _candidates():
    env = os.environ.get("QUILLET_ENGINE_MODULE")
    if env:
        return [env]
    out = []
    folders = []
    if os.environ.get("QUILLET_BINARY"):
        folders.append(os.path.dirname(os.path.abspath(os.environ["QUILLET_BINARY"])))
    folders.append(os.path.join(_HERE, "..", "..", "build"))
    for folder in folders:
        for suffix in importlib.machinery.EXTENSION_SUFFIXES:
            out += sorted(glob.glob(os.path.join(folder, "python", "quillet", "_engine" + suffix)))
    return out


def engine_module():
    """The module quillet._engine, loaded once; RunError when it is not built."""
    global _module
    if _module is not None:
        return _module
    from quillet.runner import RunError

    looked = _candidates()
    if not os.environ.get("QUILLET_ENGINE_MODULE"):
        try:
            from quillet import _engine  # installed with the package

            _module = _engine
            return _module
        except ImportError:
            pass
    for path in looked:
        if not os.path.isfile(path):
            continue
        name = os.path.basename(path)
        if not any(name == "_engine" + suffix for suffix in importlib.machinery.EXTENSION_SUFFIXES):
            raise RunError("%s: the engine module's file must be named _engine%s" %
                           (path, importlib.machinery.EXTENSION_SUFFIXES[0]))
        # The module's folder first among the package's, for this import only.
        package = sys.modules["quillet"]
        folder = os.path.dirname(os.path.abspath(path))
        package.__path__.insert(0, folder)
        try:
            _module = importlib.import_module("quillet._engine")
        finally:
            package.__path__.remove(folder)
        return _module
    raise RunError("the in-process engine quillet._engine was not found (looked for %s); build it "
                   "with 'cmake --build build' (it needs Debian's pybind11-dev and python3-dev) or "
                   "set QUILLET_ENGINE_MODULE" % (", ".join(looked) or "build/python/quillet/_engine*.so"))


def available():
    """Whether quillet._engine can be loaded."""
    try:
        engine_module()
        return True
    except Exception:
        return False


def run_deck_text(deck_text, workdir, threads):
    """Runs the deck text in the prepared folder ``workdir``; returns
    (status, the report's bytes, the message's text)."""
    status, report, message = engine_module().run_deck(deck_text, workdir, threads)
    return status, report, message.decode("utf-8", "replace")

"""The engine run inside the interpreter (quillet.run(..., in_process=True))
against the program run as a subprocess: the same files and values, two runs
at once in one process, the GIL released while photons run, and bad input
refused with the program's own message.

Two runs at once must give, file for file, what two processes give whether
or not quillet._engine lets only one run at a time (its lock around the
kernel's process-wide records); the runs differ in every respect that a
shared record could carry from one to the other (field, haze, law, seed,
serial or threaded, directions, image size), and each is compared with its
own subprocess run.

The measured CPU time is the one difference allowed: the `cpu cpu_comp`
record of the escape, histogram and direction files, the report's
"cpu, cpu_comp" line and the CPU seconds at the end of its "SATURN:" line;
and the report's two date lines.
"""

import os
import re
import tempfile
import threading
import time
import unittest
from unittest import mock

import numpy as np

import quillet
from quillet import in_process, run_inputs
from tests.test_end_to_end import BINARY, REPO

GOLDEN_INPUTS = os.path.abspath(os.path.join(REPO, "tests", "golden", "inputs"))


def ring_field(n, xl, yl, sy, seed):
    """A field as arrays: n spheres of radius 0.5..1.1, heights within +-2."""
    rng = np.random.default_rng(seed)
    return dict(x=rng.uniform(-xl, xl, n), y=rng.uniform(-yl, yl, n), z=rng.uniform(-2.0, 2.0, n),
                r=rng.uniform(0.5, 1.1, n), xl=xl, yl=yl, sy=sy, title="in-process test field")


def deck_a():
    """Sun, Henyey-Greenstein spheres, a field and the directions as arrays
    (given to run()), escape file, histogram and test image; threaded."""
    deck = quillet.Deck(posfile="unused.pos", bsun=25.0, lonsun=10.0, method=4, ppar1=-0.3,
                        ssca_part=0.6, idum=-11, nxphot=150, nyphot=100, mx=8, my=8,
                        outfile="a.esc", epsfile="a.hist", nxpix=40, nypix=30, irot=1)
    arrays = dict(field=ring_field(500, 14.0, 12.0, 4.0, seed=3),
                  latobs=np.array([25.0, 40.0, 60.0, 15.0]),
                  phase_angle=np.array([0.0, 20.0, 50.0, 30.0]))
    return deck, arrays, 2


def deck_b():
    """Planet light on the golden ring field with its haze on the tabulated
    law (the table "mcphase_haze.dat" is opened by name in the run's folder),
    the engine parameter file, a direction grid; serial."""
    deck = quillet.Deck(posfile=os.path.join(GOLDEN_INPUTS, "ring.pos"), bsun=-12.0, lonsun=0.0,
                        method=10, ppar1=1.5, ssca_part=0.4,
                        posfile_haze=os.path.join(GOLDEN_INPUTS, "haze.pos"), method_haze=16,
                        ssca_haze=0.8, parfile=os.path.join(GOLDEN_INPUTS, "engine.par"),
                        idum=-977, nxphot=60, nyphot=60, mx=12, my=12, isat=1, nlat_sat=10,
                        nfii_sat=20, model_sat=4, irot=0, isquare=1, nxpix=16, nypix=16,
                        latgrid=[-20.0, -45.0], fiigrid=[1000.0, 1090.0, 1180.0])
    deck.base = GOLDEN_INPUTS
    return deck, {}, None


_DATE = re.compile(r"^ [0-9 ]{4}-[0-9 ]{2}-[0-9 ]{2}  [0-9 ]{2}:[0-9 ]{2}:[0-9 ]{2}$")


def masked_report(text):
    """The report without what the CPU clock and the wall clock put in."""
    out = []
    for line in text.split("\n"):
        if line.startswith("cpu, cpu_comp ") or _DATE.match(line):
            continue
        if line.startswith("SATURN: fii,flux,nphot,cpu "):
            line = line.rsplit(" ", 1)[0]
        out.append(line)
    return "\n".join(out)


def without_cpu_record(data):
    """A result file's lines without its last but one record, `cpu cpu_comp`
    (checked to be two numbers)."""
    lines = data.split(b"\n")
    assert lines[-1] == b"", "the file does not end with a line end"
    cpu = lines[-3].split()
    assert len(cpu) == 2 and all(float(v) >= 0.0 for v in cpu), "no cpu cpu_comp record: %r" % lines[-3]
    return lines[:-3] + lines[-2:]


def folder_files(folder):
    """Every file of a run folder (inputs linked in, the deck, the report,
    the results) by name."""
    return sorted(n for n in os.listdir(folder) if os.path.isfile(os.path.join(folder, n)))


class InProcessCase(unittest.TestCase):
    def setUp(self):
        if not os.path.isfile(BINARY):
            self.skipTest("the quillet program %s is not built yet" % BINARY)
        # The test driver names the module when the build made it: then it
        # must load. Otherwise the tests wait for a build that has it.
        if not os.environ.get("QUILLET_ENGINE_MODULE") and not in_process.available():
            self.skipTest("quillet._engine is not built (it needs Debian's pybind11-dev)")
        in_process.engine_module()
        tmp = tempfile.TemporaryDirectory(prefix="quillet-inproc-")
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name

    def folder(self, name):
        return os.path.join(self.tmp, name)

    def assert_same_run(self, mine, theirs, label, inputs_apart=()):
        """Every file of the two run folders and every value of the two
        RunResults agree, but for the CPU time and the dates (and the input
        files named in ``inputs_apart``)."""
        names = [n for n in folder_files(mine.workdir) if n not in inputs_apart]
        self.assertEqual(names, [n for n in folder_files(theirs.workdir) if n not in inputs_apart],
                         label)
        cpu_files = {os.path.basename(theirs.files[k]) for k in ("wfile", "outfile", "epsfile")
                     if k in theirs.files}
        for name in names:
            with open(os.path.join(mine.workdir, name), "rb") as f:
                a = f.read()
            with open(os.path.join(theirs.workdir, name), "rb") as f:
                b = f.read()
            if name == "run.report":
                self.assertEqual(masked_report(a.decode()), masked_report(b.decode()), label)
            elif name in cpu_files:
                self.assertEqual(without_cpu_record(a), without_cpu_record(b), "%s: %s" % (label, name))
            else:
                self.assertEqual(a, b, "%s: %s" % (label, name))
        self.assertEqual(masked_report(mine.report), masked_report(theirs.report), label)
        self.assertEqual(mine.run_deck, theirs.run_deck, label)
        self.assertEqual(sorted(mine.files), sorted(theirs.files), label)
        for key in mine.files:
            self.assertEqual(os.path.basename(mine.files[key]), os.path.basename(theirs.files[key]))
        self.assertFalse(mine.cached)
        np.testing.assert_array_equal(mine.i_over_f(), theirs.i_over_f())
        np.testing.assert_array_equal(mine.i_over_f_1(), theirs.i_over_f_1())
        np.testing.assert_array_equal(mine.report_i_over_f, theirs.report_i_over_f)
        for reader in ("escape", "histogram", "test_image"):
            a, b = getattr(mine, reader), getattr(theirs, reader)
            self.assertEqual(a is None, b is None, reader)
        np.testing.assert_array_equal(mine.direction.testw, theirs.direction.testw)
        if mine.test_image is not None:
            np.testing.assert_array_equal(mine.test_image.test_image, theirs.test_image.test_image)


class TwoRunsAtOnce(InProcessCase):
    def test_two_runs_at_once_in_one_process_give_what_two_processes_give(self):
        cases = {"a": deck_a(), "b": deck_b()}
        results, errors = {}, {}

        def one(name):
            deck, arrays, threads = cases[name]
            try:
                results[name] = quillet.run(deck, workdir=self.folder("in-" + name), threads=threads,
                                            in_process=True, **arrays)
            except BaseException as e:  # reported by the main thread
                errors[name] = e

        workers = [threading.Thread(target=one, args=(name,)) for name in cases]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        self.assertEqual(errors, {})
        for name, (deck, arrays, threads) in cases.items():
            sub = quillet.run(deck, workdir=self.folder("sub-" + name), threads=threads,
                              progress=False, **arrays)
            mine = results[name]
            self.assert_same_run(mine, sub, "run " + name)
            # The deck given back names the field written from the arrays
            # in its own folder; otherwise it is the deck given.
            self.assertEqual(mine.deck.copy(posfile="-"), sub.deck.copy(posfile="-"))
            self.assertEqual(os.path.dirname(mine.deck.posfile) == mine.workdir, "field" in arrays)
        # The two runs are what they were meant to be: different fields,
        # directions and sources, and every file the decks ask for.
        self.assertEqual(results["a"].direction.ntest, 4)
        self.assertEqual(results["b"].direction.ntest, 6)
        self.assertIn("ILLUMINATION BY SATURN", results["b"].report)
        self.assertIsNotNone(results["a"].escape)
        self.assertIsNotNone(results["a"].histogram)
        self.assertIn("mcphase_haze.dat", folder_files(results["b"].workdir))
        self.assertTrue(np.all(results["a"].i_over_f()[0] > 0.0))

    def test_the_interpreter_runs_other_threads_while_photons_run(self):
        deck, arrays, _ = deck_a()
        deck = deck.copy(nxphot=400, nyphot=300, outfile="junk", epsfile="junk", nxpix=0)
        span = {}

        def one():
            span["start"] = time.monotonic()
            span["result"] = quillet.run(deck, workdir=self.folder("gil"), threads=None,
                                         in_process=True, **arrays)
            span["end"] = time.monotonic()

        worker = threading.Thread(target=one)
        ticks = []
        worker.start()
        while worker.is_alive():
            ticks.append(time.monotonic())
            time.sleep(0.001)
        worker.join()
        start, end = span["start"], span["end"]
        self.assertGreater(end - start, 0.2, "the run is too short to tell")
        # The middle half of the run: the engine call alone (the folder is
        # prepared and the report read within milliseconds at either end).
        middle = [t for t in ticks if start + 0.25 * (end - start) < t < end - 0.25 * (end - start)]
        self.assertGreater(len(middle), 20, "the main thread stood still while the photons ran")


class CtrlC(InProcessCase):
    def test_ctrl_c_stops_an_in_process_run_and_leaves_no_result_file(self):
        import _thread

        deck, arrays, _ = deck_a()
        # A million photons: minutes of work, stopped a fraction of a second in.
        deck = deck.copy(nxphot=1000, nyphot=1000, outfile="junk", epsfile="junk")
        timer = threading.Timer(0.3, _thread.interrupt_main)
        timer.start()
        self.addCleanup(timer.cancel)
        start = time.monotonic()
        with self.assertRaises(KeyboardInterrupt):
            quillet.run(deck, workdir=self.folder("stopped"), threads=2, in_process=True, **arrays)
        stopped = time.monotonic() - start
        self.assertNotIn("run.dir", os.listdir(self.folder("stopped")))
        self.assertNotIn("run.TESTIMAGE", os.listdir(self.folder("stopped")))
        # The next run is not stopped by the same Ctrl-C, and runs whole.
        again = quillet.run(deck.copy(nxphot=50, nyphot=50), workdir=self.folder("next"), threads=2,
                            in_process=True, **arrays)
        self.assertEqual(again.direction.ntest, 4)
        self.assertLess(stopped, 60.0)


class FieldAsArrays(InProcessCase):
    def test_a_field_given_as_arrays_runs_as_the_files_it_came_from(self):
        deck = quillet.Deck(posfile=os.path.join(GOLDEN_INPUTS, "ring.pos"), bsun=35.0, method=4,
                            ppar1=-0.2, ssca_part=0.5,
                            posfile_haze=os.path.join(GOLDEN_INPUTS, "haze.pos"), method_haze=3,
                            ppar1_haze=0.4, ssca_haze=0.9, idum=-31, nxphot=40, nyphot=40,
                            mx=10, my=10, outfile="a.esc", nxpix=12, nypix=12)
        deck.observe(latobs=[30.0, 50.0], phase_angle=[20.0, 40.0])
        ring = quillet.read_position_file(deck.posfile)
        haze = quillet.read_position_file(deck.posfile_haze)
        files = quillet.run(deck, workdir=self.folder("files"), in_process=True)
        # The position files read back: the same titles, so the same report.
        arrays = quillet.run(deck, workdir=self.folder("arrays"), in_process=True, field=ring,
                             haze=haze)
        self.assert_same_run(arrays, files, "position files as arrays",
                             inputs_apart=("ring.pos", "haze.pos", "field.pos", "field_haze.pos"))
        # One field of both kinds (itype 2: haze), as a ParticleField.
        both = ring.field()
        h = haze.field()
        both.xpart, both.ypart, both.zpart, both.rpart = (
            np.concatenate([getattr(both, k), getattr(h, k)]) for k in ("xpart", "ypart", "zpart", "rpart"))
        both.itype = np.concatenate([both.itype, np.full(h.npart, 2, dtype=np.int32)])
        mixed = quillet.run(deck, workdir=self.folder("mixed"), in_process=True, field=both)
        self.assertEqual(os.path.basename(mixed.deck.posfile_haze), "field_haze.pos")
        for key in ("wfile", "outfile", "testimage"):
            with open(mixed.files[key], "rb") as a, open(files.files[key], "rb") as b:
                data_a, data_b = a.read(), b.read()
            if key == "testimage":
                self.assertEqual(data_a, data_b)
            else:
                self.assertEqual(without_cpu_record(data_a), without_cpu_record(data_b), key)
        with self.assertRaises(ValueError):
            quillet.run(deck, workdir=self.folder("twice"), in_process=True, field=both, haze=haze)
        # Beyond the text form's size the arrays go in HDF5 form: the same run.
        with mock.patch.object(run_inputs, "HDF5_BEYOND", 100):
            binary = quillet.run(deck, workdir=self.folder("binary"), in_process=True, field=both)
        self.assertEqual(os.path.basename(binary.deck.posfile), "field.h5")
        self.assertEqual(os.path.basename(binary.deck.posfile_haze), "field_haze.h5")
        for key in ("wfile", "outfile", "testimage"):
            with open(binary.files[key], "rb") as a, open(mixed.files[key], "rb") as b:
                data_a, data_b = a.read(), b.read()
            renamed = data_a.replace(b"field.h5", b"field.pos").replace(b"field_haze.h5", b"field_haze.pos")
            if key != "testimage":
                renamed, data_b = without_cpu_record(renamed), without_cpu_record(data_b)
            self.assertEqual(renamed, data_b, key)


class BadInputInProcess(InProcessCase):
    def test_bad_input_raises_the_programs_message_and_the_interpreter_goes_on(self):
        deck, arrays, threads = deck_a()
        with open(self.folder("bad.pos"), "w") as f:
            f.write("'title'\n0\n0.0 10.0 10.0 0.0\n2\n1.0 0.0 0.0 0.0\n1.0 0.0 zero 0.0\n")
        bad_field = deck.copy(posfile="bad.pos", base=self.tmp)
        field = {"field": arrays["field"]}
        cases = {
            # The particle file's second particle is not a number.
            "field": (bad_field, {}, "quillet: ring.pos, line 6, particle 2 (radius, x, y, z): "),
            # More photons than a 32-bit number counts, an asymmetry outside
            # (-1, 1) (the deck check is off: the program's own checks speak).
            "photons": (deck.copy(nxphot=65536, nyphot=32768), field,
                        "quillet: standard input, line %d, deck record 8 (nxphot, nyphot, mx, my): "
                        "nxphot*nyphot = 2147483648 photons" % (4 + deck.ntest)),
            "law": (deck.copy(ppar1=1.5), arrays, "quillet: standard input, line 14, deck record 14 (ppar1, ppar2, ppar3): the Henyey-Greenstein"),
        }
        for name, (bad, given, start) in cases.items():
            with self.subTest(name):
                errors = {}
                for mode in ("in", "sub"):
                    folder = self.folder("%s-%s" % (name, mode))
                    with self.assertRaises(quillet.RunError) as caught:
                        quillet.run(bad, workdir=folder, threads=threads, check=False,
                                    in_process=mode == "in", progress=False, **given)
                    errors[mode] = caught.exception
                    # No result file is left of the failed run.
                    self.assertNotIn("run.dir", os.listdir(folder))
                self.assertEqual(errors["in"].status, errors["sub"].status)
                self.assertEqual(str(errors["in"]).replace(self.folder(name + "-in"), "F"),
                                 str(errors["sub"]).replace(self.folder(name + "-sub"), "F"))
                self.assertTrue(str(errors["in"]).startswith(start), str(errors["in"]))
        # A deck that does not parse, given as text.
        with self.assertRaises(quillet.QuilletFileError):
            quillet.run("'ring.pos'\n30.0 x\n", workdir=self.folder("text"), in_process=True)
        # The interpreter and the engine still work after the failures.
        good = quillet.run(deck, workdir=self.folder("after"), threads=threads, in_process=True,
                           **arrays)
        self.assertEqual(good.direction.ntest, 4)


if __name__ == "__main__":
    unittest.main()

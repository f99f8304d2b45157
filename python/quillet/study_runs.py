"""The runs of a study: each run taken from the cache or run into it (with a
checkpoint there while it runs, so that a sweep stopped by Ctrl-C goes on
where it stopped), several at a time, with a progress bar."""

import concurrent.futures
import os
import shutil
import signal
import sys
import tempfile
import threading

from quillet import runner


def _progress_bar(total, enabled):
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a convenience only
        return None
    return tqdm(total=total, unit="run", desc="quillet", disable=None if enabled else True,
                file=sys.stderr)


class SweepInterrupted(KeyboardInterrupt):
    """Ctrl-C stopped a sweep; its one-line message has been printed."""


class _Task:
    """One run of a study: its point, the dataset's direction (or
    observation) numbers of its directions, in order, and its deck."""
    __slots__ = ("point", "rows", "deck", "digest", "result", "checkpoint", "resumed",
                 "interrupted")

    def __init__(self, point, rows, deck):
        self.point, self.rows, self.deck = point, rows, deck
        self.digest = None
        self.result = None
        self.checkpoint = None
        self.resumed = False
        self.interrupted = False


class _Control:
    """The running programs of a sweep, so that an interruption can stop
    them with their checkpoints."""

    def __init__(self):
        self.lock = threading.Lock()
        self.running = set()
        self.stopping = threading.Event()

    def started(self, proc):
        with self.lock:
            self.running.add(proc)
            stop = self.stopping.is_set()
        if stop:
            _interrupt(proc)

    def ended(self, proc):
        with self.lock:
            self.running.discard(proc)

    def stop(self):
        with self.lock:
            self.stopping.set()
            procs = list(self.running)
        for p in procs:
            _interrupt(p)


def _interrupt(proc):
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGINT)
        except OSError:
            pass


def _run_cached(task, cache_dir, threads, program, control=None):
    """Runs one task, or takes it from the cache.  A run that can keep a
    checkpoint keeps it in the cache's "checkpoints" folder while it runs;
    a later sweep resumes it from there."""
    final = os.path.join(cache_dir, task.digest[:24])
    if os.path.isfile(os.path.join(final, "done")):
        return runner.load_run(task.deck, final, cached=True)
    if control is not None and control.stopping.is_set():
        return None
    os.makedirs(cache_dir, exist_ok=True)
    ck = None
    if runner.can_checkpoint(task.deck):
        folder = os.path.join(cache_dir, "checkpoints")
        os.makedirs(folder, exist_ok=True)
        ck = os.path.join(folder, task.digest[:24] + ".ck")
        task.checkpoint = ck
    tmp = tempfile.mkdtemp(prefix="tmp-", dir=cache_dir)
    procs = []

    def started(proc):
        procs.append(proc)
        if control is not None:
            control.started(proc)

    try:
        resume = ck is not None and os.path.isfile(ck)
        try:
            try:
                runner.run(task.deck, workdir=tmp, threads=threads, program=program,
                           progress=False, check=False, checkpoint=ck, resume=resume,
                           on_start=started, own_session=control is not None)
                task.resumed = resume
            except runner.RunError:
                if control is not None and control.stopping.is_set():
                    raise
                if not resume:
                    raise
                # A checkpoint the program does not take (made by another
                # version of it, or damaged): the run starts afresh.
                os.remove(ck)
                runner.run(task.deck, workdir=tmp, threads=threads, program=program,
                           progress=False, check=False, checkpoint=ck, resume=False,
                           on_start=started, own_session=control is not None)
        finally:
            if control is not None:
                for p in procs:
                    control.ended(p)
        with open(os.path.join(tmp, "done"), "w") as f:
            f.write(task.digest + "\n")
        try:
            os.rename(tmp, final)
        except OSError:
            # Another sweep finished the same run first: use its copy.
            if not os.path.isfile(os.path.join(final, "done")):
                raise
            shutil.rmtree(tmp, ignore_errors=True)
            return runner.load_run(task.deck, final, cached=True)
    except runner.RunError as e:
        shutil.rmtree(tmp, ignore_errors=True)
        if control is not None and control.stopping.is_set() and e.status in (
                128 + signal.SIGINT, -signal.SIGINT):
            task.interrupted = True
            return None
        raise
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    if ck is not None and os.path.exists(ck):
        os.remove(ck)
    return runner.load_run(task.deck, final, cached=False)


def _run_tasks(tasks, cache_dir, threads, program, jobs, progress):
    ck_folder = os.path.join(cache_dir, "checkpoints")
    waiting = [t for t in tasks
               if os.path.isfile(os.path.join(ck_folder, t.digest[:24] + ".ck"))
               and not os.path.isfile(os.path.join(cache_dir, t.digest[:24], "done"))]
    if waiting:
        print("quillet: resuming %d interrupted run%s from %s checkpoint%s"
              % (len(waiting), "s" if len(waiting) > 1 else "", "its" if len(waiting) == 1
                 else "their", "s" if len(waiting) > 1 else ""), file=sys.stderr)
    control = _Control()
    bar = _progress_bar(len(tasks), progress)
    interrupted = False
    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, int(jobs))) as pool:
            futures = {pool.submit(_run_cached, t, cache_dir, threads, program, control): t
                       for t in tasks}
            try:
                for fut in concurrent.futures.as_completed(futures):
                    futures[fut].result = fut.result()
                    if bar is not None:
                        bar.update(1)
            except KeyboardInterrupt:
                interrupted = True
                # While the runs write their checkpoints a second Ctrl-C
                # would only lose them: it is ignored until they have ended.
                main = threading.current_thread() is threading.main_thread()
                previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
                try:
                    control.stop()
                    for fut in futures:
                        fut.cancel()
                    for fut, t in futures.items():
                        if fut.cancelled():
                            continue
                        try:
                            t.result = fut.result()
                        except Exception:  # the interruption is what is reported
                            pass
                finally:
                    if main:
                        signal.signal(signal.SIGINT, previous)
            except BaseException:
                control.stop()
                for fut in futures:
                    fut.cancel()
                raise
    finally:
        if bar is not None:
            bar.close()
    if interrupted:
        done = sum(1 for t in tasks if t.result is not None)
        kept = sum(1 for t in tasks if t.interrupted and t.checkpoint
                   and os.path.isfile(t.checkpoint))
        print("quillet: sweep interrupted: %d of %d runs done and kept in %s, %d stopped with a "
              "checkpoint; the same sweep again goes on from there"
              % (done, len(tasks), cache_dir, kept), file=sys.stderr)
        raise SweepInterrupted()

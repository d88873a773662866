"""Fill one template many times, on a process pool or any other executor.

::

    from tessel.batch import fill_many
    from tessel.pagefill import PageFill

    jobs = [(f"out/{row.id}.docx", {"customer": row.name, "total": row.total})
            for row in customers.itertuples()]
    failed = fill_many(PageFill(), "invoice.docx", jobs)

Each job is a pair of a save path and an environment (a dict).  The filler
object and the environment travel to the worker that fills the job, so both
must pickle when the executor runs in other processes; filler objects keep
their options as plain attributes and always do.

A job's file is written beside its save path under a temporary name and moved
into place only once it is complete: a job that raises leaves nothing at its
save path, and an earlier file there stays as it was.
"""

import concurrent.futures
import os
import sys
import tempfile

from .linefill import LineFill

__all__ = ["BatchError", "fill_many", "fill_one"]


class BatchError(Exception):
    """Some jobs of `fill_many` raised; all the others ran to their end.

    ``results`` holds one entry per job, in job order: the job's list of failed
    placeholders, or the exception that job raised.  ``errors`` lists the jobs
    that raised as (index, save path, exception) triples, in job order.
    """

    def __init__(self, results, errors):
        self.results = results
        self.errors = errors
        first = errors[0]
        more = f" (first: {first[1]}: {one_line(first[2])})"
        super().__init__(f"{len(errors)} of {len(results)} jobs raised{more}")

    def __reduce__(self):
        return type(self), (self.results, self.errors)


def one_line(exc):
    """The exception's type and message on one line."""
    text = " ".join(str(exc).split())
    if len(text) > 200:
        text = text[:199] + "…"
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _temporary_beside(path):
    """A new empty file in the folder of `path`, ending like `path`.

    The fillers check the extension of their save path, so the temporary name
    keeps it.
    """
    folder, name = os.path.split(os.path.abspath(path))
    _, ext = os.path.splitext(name)
    fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=ext, dir=folder)
    os.close(fd)
    return tmp


def _current_umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# Read once: changing the mask is process-wide, so not done with jobs running.
_UMASK = _current_umask()


def _file_mode(path):
    """The mode a file written at `path` gets: an earlier file's, else the usual one."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        return 0o666 & ~_UMASK


def fill_one(filler, template, save_path, env):
    """Fill `template` into `save_path` with `filler`; return the failed placeholders.

    A `LineFill` takes the template's text: `template` is then either a path
    of a UTF-8 text file, or a ``str`` subclass `TemplateText` carrying the
    text itself.  The other fillers take the template's path.  The file at
    `save_path` is replaced only once it is complete.
    """
    tmp = _temporary_beside(save_path)
    try:
        if isinstance(filler, LineFill):
            text = template.text if isinstance(template, TemplateText) else _read_text(template)
            filled, failed = filler(text, env)
            with open(tmp, "w", encoding="utf-8", newline="") as f:
                f.write(filled)
        else:
            failed = filler(os.fspath(template), tmp, env)
        # The temporary file is private to its owner; the result is not.
        os.chmod(tmp, _file_mode(save_path))
        os.replace(tmp, save_path)
    except BaseException:
        _remove(tmp)
        raise
    return failed


def _read_text(path):
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def _remove(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


class TemplateText(str):
    """The path of a text template, carrying the template's text with it.

    `fill_many` reads a text template once and sends its text to the workers,
    which then need not see the same file system.
    """

    def __new__(cls, path, text):
        self = super().__new__(cls, os.fspath(path))
        self.text = text
        return self

    def __reduce__(self):
        return type(self), (str(self), self.text)


def _fill_chunk(filler, template, chunk):
    """Fill a run of jobs in one worker; a job that raises gives its exception."""
    out = []
    for path, env in chunk:
        try:
            out.append(fill_one(filler, template, path, env))
        except Exception as exc:
            out.append(exc)
    return out


# A dozen runs per worker keep the workers evenly busy to the end.
CHUNKS_PER_WORKER = 12


def _chunks(count, workers):
    """Start and end of each run of jobs sent to a worker process at once.

    Several jobs per message save pickling the filler and the template, and a
    round trip, for every job.
    """
    size = max(1, -(-count // (workers * CHUNKS_PER_WORKER)))
    return [(start, min(start + size, count)) for start in range(0, count, size)]


def _workers():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def _progress_bar(total, progress):
    if not progress or total == 0:
        return None
    stream = sys.stderr
    if not (hasattr(stream, "isatty") and stream.isatty()):
        return None
    from tqdm import tqdm

    return tqdm(total=total, unit="file", file=stream, dynamic_ncols=True)


def fill_many(filler, template, jobs, executor=None, progress=True):
    """Fill `template` once per job; return each job's failed placeholders.

    :param filler: a `LineFill`, `GridFill` or `PageFill` object (or anything
        called like `GridFill`: ``filler(template_path, save_path, env)``).
    :param template: path of the template.  For a `LineFill` the file is read
        as UTF-8 text once, here, and its text sent with every job.
    :param jobs: iterable of (save path, env) pairs; every env is a dict.
    :param executor: a ``concurrent.futures.Executor`` to run the jobs on; a
        Dask client's ``get_executor()`` runs them on a cluster.  By default a
        process pool with one worker per usable core is started and shut down.
        A process pool gets the jobs a few at a time, other executors one by one.
    :param progress: show a progress bar on standard error when it is a
        terminal (never when it is a file or a pipe).
    :return: a list, in job order, of each job's failed placeholders.
    :raises BatchError: after all jobs ran, when some of them raised; its
        ``results`` and ``errors`` tell each job's outcome.
    """
    jobs = [(os.fspath(path), env) for path, env in jobs]
    for path, env in jobs:
        if not isinstance(env, dict):
            # A worker has no caller whose variables could stand in.
            raise TypeError(f"the env of the job for {path} must be a dict, not {type(env).__name__}")
    seen = {}
    for index, (path, _) in enumerate(jobs):
        key = os.path.abspath(path)
        if key in seen:
            raise ValueError(f"jobs {seen[key]} and {index} both save to {path}")
        seen[key] = index
    if isinstance(filler, LineFill) and not isinstance(template, TemplateText):
        template = TemplateText(template, _read_text(template))
    else:
        template = os.fspath(template)

    own = executor is None
    if own:
        executor = concurrent.futures.ProcessPoolExecutor(max_workers=max(1, min(_workers(), len(jobs))))
    if isinstance(executor, concurrent.futures.ProcessPoolExecutor):
        spans = _chunks(len(jobs), getattr(executor, "_max_workers", None) or _workers())
    else:
        # Threads send nothing, and a cluster spreads single jobs best.
        spans = [(k, k + 1) for k in range(len(jobs))]
    results = [None] * len(jobs)
    bar = _progress_bar(len(jobs), progress)
    try:
        futures = {
            executor.submit(_fill_chunk, filler, template, jobs[start:end]): (start, end)
            for start, end in spans
        }
        for future in concurrent.futures.as_completed(futures):
            start, end = futures[future]
            try:
                results[start:end] = future.result()
            except Exception as exc:  # the run could not be sent, run or sent back
                results[start:end] = [exc] * (end - start)
            if bar is not None:
                bar.update(end - start)
    finally:
        if bar is not None:
            bar.close()
        if own:
            executor.shutdown(cancel_futures=True)
    errors = [(i, jobs[i][0], r) for i, r in enumerate(results) if isinstance(r, BaseException)]
    if errors:
        raise BatchError(results, errors)
    return results

"""Runs one job per input file over a pool of processes, with a progress bar."""
import concurrent.futures
import ctypes
import itertools
import multiprocessing
import os
import signal
from typing import Any, Callable, List, Optional, Sequence

import torch

from quorlin._checks import as_positive_int
from quorlin.console import progress_bar
from quorlin.prep.errors import PreparationError

_PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>
_JOBS_IN_FLIGHT_PER_WORKER = 4


def default_workers() -> int:
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0))


def check_workers(num_workers) -> int:
    """``num_workers`` as an int of at least 1 (``as_positive_int``), all cores for None."""
    if num_workers is None:
        return default_workers()
    return as_positive_int(num_workers, "num_workers")


def _start_worker(parent_pid: int) -> None:
    # A worker must end with the process that started it. Were that process killed, an idle
    # worker would wait for jobs forever; so the kernel is asked to kill this one when its
    # parent dies, whatever it is doing then.
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"prctl(PR_SET_PDEATHSIG): {os.strerror(error)}")
    if os.getppid() != parent_pid:  # the parent died before the request was made
        os._exit(1)
    # The processes share the cores: intra-op threads would only compete.
    torch.set_num_threads(1)


def run_parallel(job: Callable, args: Sequence, num_workers: Optional[int] = None,
                 desc: Optional[str] = None, on_done: Optional[Callable[[int], None]] = None) -> List[str]:
    """Calls ``job(arg)`` for every ``arg``, in ``num_workers`` processes (all cores by default).

    Jobs that raise ``PreparationError`` do not stop the others; their messages are
    returned, in the order of ``args``. Any other exception stops the run: pending
    jobs are cancelled, running ones finish, and the exception propagates. The
    worker processes end with this process, also when it is killed. A few jobs per
    worker are handed out at a time, so that the memory this takes does not grow with
    the number of jobs.

    Args:
        job: a module-level function (it is pickled to the worker processes).
        args: one argument per job.
        num_workers: processes, an integer of at least 1 (``check_workers``); 1 runs
            the jobs in this process.
        desc: label of the progress bar.
        on_done: called in this process with the index in ``args`` of every job that
            finished without error, as soon as it has.

    Example:
        >>> failures = run_parallel(write_features, utterances, desc="features")
    """
    num_workers = check_workers(num_workers)
    failures = [None] * len(args)
    with progress_bar(total=len(args), desc=desc) as bar:
        def settle(i: int, outcome: Callable[[], Any]) -> None:
            """Records job ``i`` as failed or done, by what ``outcome`` raises."""
            try:
                outcome()
            except PreparationError as err:
                failures[i] = str(err)
            else:
                if on_done is not None:
                    on_done(i)
            bar.update(1)

        if num_workers == 1 or len(args) <= 1:
            for i, arg in enumerate(args):
                settle(i, lambda: job(arg))
        else:
            # Forked workers are children of this process, which is what the death signal
            # of _start_worker follows.
            with concurrent.futures.ProcessPoolExecutor(num_workers, mp_context=multiprocessing.get_context("fork"),
                                                        initializer=_start_worker,
                                                        initargs=(os.getpid(),)) as pool:
                # A few jobs per worker in flight, not one future per job: the memory this
                # takes stays the same for any number of jobs.
                waiting, running = iter(enumerate(args)), {}
                try:
                    for i, arg in itertools.islice(waiting, _JOBS_IN_FLIGHT_PER_WORKER * num_workers):
                        running[pool.submit(job, arg)] = i
                    while running:
                        done, _ = concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED)
                        for future in done:
                            settle(running.pop(future), future.result)
                            for j, arg in itertools.islice(waiting, 1):
                                running[pool.submit(job, arg)] = j
                except BaseException:
                    pool.shutdown(wait=True, cancel_futures=True)
                    raise
    return [f for f in failures if f is not None]

"""Runs one job per input file over a pool of processes, with a progress bar."""
import concurrent.futures
import os
from typing import Callable, List, Optional, Sequence

import torch
from tqdm import tqdm

from quorlin.prep.errors import PreparationError


def default_workers() -> int:
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0))


def _one_thread_each() -> None:
    # The processes share the cores: intra-op threads would only compete.
    torch.set_num_threads(1)


def run_parallel(job: Callable, args: Sequence, num_workers: Optional[int] = None,
                 desc: Optional[str] = None) -> List[str]:
    """Calls ``job(arg)`` for every ``arg``, in ``num_workers`` processes (all cores by default).

    Jobs that raise ``PreparationError`` do not stop the others; their messages are
    returned, in the order of ``args``. Any other exception stops the run: pending
    jobs are cancelled, running ones finish, and the exception propagates.

    Args:
        job: a module-level function (it is pickled to the worker processes).
        args: one argument per job.
        num_workers: processes; 1 runs the jobs in this process.
        desc: label of the progress bar.

    Example:
        >>> failures = run_parallel(write_features, utterances, desc="fbank")
    """
    num_workers = default_workers() if num_workers is None else int(num_workers)
    if num_workers < 1:
        raise ValueError(f"num_workers must be at least 1, got {num_workers}")
    failures = [None] * len(args)
    with tqdm(total=len(args), desc=desc, dynamic_ncols=True, leave=False) as bar:
        if num_workers == 1 or len(args) <= 1:
            for i, arg in enumerate(args):
                try:
                    job(arg)
                except PreparationError as err:
                    failures[i] = str(err)
                bar.update(1)
        else:
            with concurrent.futures.ProcessPoolExecutor(num_workers, initializer=_one_thread_each) as pool:
                futures = {pool.submit(job, arg): i for i, arg in enumerate(args)}
                try:
                    for future in concurrent.futures.as_completed(futures):
                        try:
                            future.result()
                        except PreparationError as err:
                            failures[futures[future]] = str(err)
                        bar.update(1)
                except BaseException:
                    pool.shutdown(wait=True, cancel_futures=True)
                    raise
    return [f for f in failures if f is not None]

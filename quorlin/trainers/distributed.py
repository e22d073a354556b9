"""Data-parallel training over the processes that torchrun starts, on one machine or several:
the process group, each process's device, its share of a data loader, the model wrapper that
all-reduces gradients, and the sums and records the processes combine.

Without the launcher's environment no group exists, and every function here leaves its
arguments as they are: a single process trains exactly as it would without this module.
"""
import datetime
import itertools
import os
from typing import Any, Iterator, List, Optional

import torch
import torch.distributed as dist
from torch import nn
from torch.nn.parallel import DistributedDataParallel
from torch.utils.data import DataLoader, DistributedSampler, RandomSampler, SequentialSampler

from quorlin.data.length_groups import LengthGroupedSampler

# Set by torchrun for every process it starts (WORLD_SIZE and RANK count all machines).
LAUNCHER_VARIABLES = ("RANK", "LOCAL_RANK", "WORLD_SIZE")
_created_group = False


def launched() -> bool:
    """Whether this process was started by torchrun (or with its environment)."""
    return all(name in os.environ for name in LAUNCHER_VARIABLES)


def active() -> bool:
    """Whether a process group is set up, so that training is shared with other processes."""
    return dist.is_available() and dist.is_initialized()


def is_main_process() -> bool:
    """Rank 0, or the only process: the one that writes files and talks to W&B. Before the
    group is set up, the launcher's RANK tells (so scripts may ask before building a trainer)."""
    return (dist.get_rank() if active() else int(os.environ.get("RANK", "0"))) == 0


def local_device(device: Optional[str]) -> str:
    """This process's device under torchrun: "cuda" and "cuda:<N>" (or None on a machine with
    CUDA) become "cuda:<LOCAL_RANK>", the GPU of this process on its machine, since the same
    configuration runs in every process; any other device stays as it is."""
    if device is None:
        device = "cuda" if torch.cuda.is_available() else "cpu"
    if torch.device(device).type == "cuda":
        device = f"cuda:{int(os.environ['LOCAL_RANK'])}"
    return device


def join(device: Optional[str], timeout: float) -> str:
    """Joins the launcher's process group, initialising it unless it exists, and returns
    this process's device (see ``local_device``). The group uses NCCL on CUDA and Gloo on the
    CPU; a collective that waits longer than ``timeout`` seconds for another process fails
    instead of hanging."""
    device = local_device(device)
    on_cuda = torch.device(device).type == "cuda"
    if on_cuda:
        torch.cuda.set_device(torch.device(device))
    if not active():
        global _created_group
        dist.init_process_group("nccl" if on_cuda else "gloo", timeout=datetime.timedelta(seconds=timeout))
        _created_group = True
    return device


def leave() -> None:
    """Destroys the process group if ``join`` created it."""
    global _created_group
    if _created_group and active():
        dist.destroy_process_group()
    _created_group = False


def wrap(model: nn.Module, device: str, find_unused_parameters: bool) -> DistributedDataParallel:
    """``model`` in a wrapper whose backward pass all-reduces (averages) the gradients of its
    trainable parameters; construction copies rank 0's weights to every process."""
    device_ids = [torch.device(device)] if torch.device(device).type == "cuda" else None
    # The models' only buffers are their fixed position tables, equal on every rank:
    # broadcasting them before every forward pass would only cost time.
    return DistributedDataParallel(model, device_ids=device_ids, broadcast_buffers=False,
                                   find_unused_parameters=find_unused_parameters)


def sum_across_ranks(*values: float) -> tuple:
    """The sums of ``values`` over all processes (in float64); the values themselves alone."""
    if not active():
        return values
    device = "cuda" if dist.get_backend() == "nccl" else "cpu"
    sums = torch.tensor(values, dtype=torch.float64, device=device)
    dist.all_reduce(sums)
    return tuple(sums.tolist())


def gather_records(records: List[Any], failure: Optional[Exception] = None) -> List[Any]:
    """Every process's records, in the order of the loader they were made from: with the
    shards of ``shard_loader``, record i of rank r stands at position i * world size + r.

    ``failure`` is the error that stopped this process from making its records. The processes
    exchange their failures with their records, so that when any of them failed, every one
    raises at once, instead of the others waiting in a later collective that the failed one
    never joins until the process group's timeout.

    Raises:
        RuntimeError: on every process, "rank <r>: <error type>: <message>" for each failed
            rank (``failure`` itself in a single process).
    """
    if not active():
        if failure is not None:
            raise failure
        return records
    shards = [None] * dist.get_world_size()
    report = None if failure is None else f"{type(failure).__name__}: {failure}"
    dist.all_gather_object(shards, (report, records))
    failures = [f"rank {rank}: {report}" for rank, (report, _) in enumerate(shards) if report is not None]
    if failures:
        raise RuntimeError("; ".join(failures)) from failure
    shards = [shard for _, shard in shards]
    missing = object()
    return [record for row in itertools.zip_longest(*shards, fillvalue=missing)
            for record in row if record is not missing]


def from_main_process(value: Any) -> Any:
    """Rank 0's ``value``, on every process (a picklable value)."""
    if not active():
        return value
    box = [value]
    dist.broadcast_object_list(box, src=0)
    return box[0]


class _EvaluationSampler(DistributedSampler):
    """This rank's share of the first ``limit`` indices of the loader's order (all of them
    for None), each index once: evaluation counts every sample once, so its shards are not
    evened out with repeated samples as training shards are."""

    def __init__(self, dataset, limit: Optional[int], **kwargs):
        super().__init__(dataset, **kwargs)
        self.total_size = len(dataset) if limit is None else min(limit, len(dataset))
        self.num_samples = len(range(self.rank, self.total_size, self.num_replicas))

    def __iter__(self) -> Iterator[int]:
        if self.shuffle:
            generator = torch.Generator()
            generator.manual_seed(self.seed + self.epoch)
            order = torch.randperm(len(self.dataset), generator=generator).tolist()
        else:
            order = list(range(len(self.dataset)))
        return iter(order[self.rank:self.total_size:self.num_replicas])


def shard_loader(loader: DataLoader, training: bool, num_batches: Optional[int] = None) -> DataLoader:
    """A loader over this rank's share of ``loader``'s data, with the same batch size,
    collate function, workers and shuffling; call ``sampler.set_epoch`` every epoch.

    Training shards are those of ``DistributedSampler``: every rank gets as many batches, a
    few samples repeated where the data does not divide evenly, so that the gradient
    all-reduces of all ranks pair up. Evaluation shards hold each sample of the first
    ``num_batches`` batches of ``loader`` (of all for None) exactly once, so that the ranks
    together evaluate what one process evaluates on ``loader``. A shuffling loader shuffles the same way on every rank,
    from a seed drawn by rank 0 (from the loader's generator, as its own sampler would), and
    anew every epoch. A loader that already has a ``DistributedSampler`` is kept as it is; a
    training loader with a ``LengthGroupedSampler`` is dealt out by whole batches (see there).

    Raises:
        ValueError: the loader uses another sampler or a batch sampler, which cannot be
            shared out without changing what it yields.
    """
    sampler = loader.sampler
    if isinstance(sampler, DistributedSampler):
        return loader
    if training and isinstance(sampler, LengthGroupedSampler):
        sampler = sampler.shard(dist.get_world_size(), dist.get_rank(), from_main_process(sampler.seed))
        return _loader_like(loader, sampler)
    random_order = isinstance(sampler, RandomSampler)
    if (loader.batch_size is None or not (random_order or isinstance(sampler, SequentialSampler))
            or random_order and (sampler.replacement or sampler.num_samples != len(loader.dataset))):
        raise ValueError("under torchrun a data loader must be built with a batch_size and shuffle=True or False "
                         f"(each process then gets its share); got sampler {sampler!r} and batch sampler "
                         f"{loader.batch_sampler!r}")
    seed = 0
    if random_order:
        seed = from_main_process(int(torch.empty((), dtype=torch.int64).random_(generator=loader.generator)))
    if training:
        sampler = DistributedSampler(loader.dataset, shuffle=random_order, seed=seed)
    else:
        limit = None if num_batches is None else num_batches * loader.batch_size
        sampler = _EvaluationSampler(loader.dataset, limit, shuffle=random_order, seed=seed)
    return _loader_like(loader, sampler)


def _loader_like(loader: DataLoader, sampler) -> DataLoader:
    return DataLoader(loader.dataset, batch_size=loader.batch_size, sampler=sampler, num_workers=loader.num_workers,
                      collate_fn=loader.collate_fn, pin_memory=loader.pin_memory, drop_last=loader.drop_last,
                      timeout=loader.timeout, worker_init_fn=loader.worker_init_fn,
                      multiprocessing_context=loader.multiprocessing_context, generator=loader.generator,
                      prefetch_factor=loader.prefetch_factor, persistent_workers=loader.persistent_workers,
                      pin_memory_device=loader.pin_memory_device, in_order=loader.in_order)

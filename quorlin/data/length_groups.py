"""Random batches of utterances of about the same length, so that little of a batch is padding."""
import math
from typing import Iterator, List, Optional, Sequence

import torch
from torch.utils.data import Sampler

from quorlin._checks import as_positive_int


class LengthGroupedSampler(Sampler[int]):
    """An epoch's order of indices in which every ``batch_size`` consecutive indices form a
    batch of similar lengths; a ``DataLoader`` with the same ``batch_size`` batches it so.

    Each epoch the indices are shuffled and cut into pools of ``pool_batches`` batches for
    each process; each pool is sorted by length and cut into batches, and the batches are
    shuffled. Only the last batch can be short, and it comes last. For data-parallel training
    every process builds the same batches from the same ``seed``; they are dealt out in runs
    of ``num_replicas`` neighbours, so the processes of one step get batches of about the
    same length, and the last run is completed with batches from the start (as
    ``DistributedSampler`` repeats samples) so that every process gets as many batches. The order changes with
    every pass over the sampler, or with ``set_epoch``.

    Args:
        lengths: length of every sample (frames, tokens).
        batch_size: samples per batch, as the loader's.
        pool_batches: batches per process in a sorted pool; larger pools mix lengths less.
        seed: seed of the shuffles (default: drawn from torch's global generator).
        num_replicas, rank: the processes and this one's index.

    Example:
        >>> sampler = LengthGroupedSampler([f.shape[1] for f in train.feats], 8)
        >>> loader = DataLoader(train, batch_size=8, sampler=sampler, collate_fn=train.collate_fn)
    """

    def __init__(self, lengths: Sequence[int], batch_size: int, pool_batches: int = 50,
                 seed: Optional[int] = None, num_replicas: int = 1, rank: int = 0):
        batch_size = as_positive_int(batch_size, "batch_size")
        pool_batches = as_positive_int(pool_batches, "pool_batches")
        num_replicas = as_positive_int(num_replicas, "num_replicas")
        if not 0 <= rank < num_replicas:
            raise ValueError(f"rank must lie in [0, {num_replicas}), got {rank!r}")
        if len(lengths) == 0:
            raise ValueError("LengthGroupedSampler needs at least one sample")
        self.lengths = torch.as_tensor(lengths)
        self.batch_size, self.pool_batches = batch_size, pool_batches
        self.seed = int(torch.empty((), dtype=torch.int64).random_()) if seed is None else int(seed)
        self.num_replicas, self.rank = num_replicas, rank
        self.epoch = 0
        # The same for every epoch, and asked for at every step (len(loader)): counted once.
        self._num_samples = sum(len(batch) for batch in self.batches())

    def shard(self, num_replicas: int, rank: int, seed: int) -> "LengthGroupedSampler":
        """The same grouping for process ``rank`` of ``num_replicas``, from a shared ``seed``."""
        return LengthGroupedSampler(self.lengths, self.batch_size, self.pool_batches, seed, num_replicas, rank)

    def set_epoch(self, epoch: int) -> None:
        self.epoch = epoch

    def batches(self) -> List[List[int]]:
        """This process's batches for the current epoch, in order."""
        generator = torch.Generator().manual_seed(self.seed + self.epoch)
        order = torch.randperm(len(self.lengths), generator=generator)
        pool = self.pool_batches * self.num_replicas * self.batch_size
        batches = []
        for start in range(0, len(order), pool):
            members = order[start:start + pool]
            members = members[torch.sort(self.lengths[members], stable=True).indices].tolist()
            batches += [members[i:i + self.batch_size] for i in range(0, len(members), self.batch_size)]
        runs = math.ceil(len(batches) / self.num_replicas)
        batches += (batches * self.num_replicas)[:runs * self.num_replicas - len(batches)]
        # Runs of neighbouring batches in random order; a run holding a short batch goes last.
        if len(self.lengths) % self.batch_size:
            run_order = torch.randperm(runs - 1, generator=generator).tolist() + [runs - 1]
        else:
            run_order = torch.randperm(runs, generator=generator).tolist()
        return [batches[r * self.num_replicas + self.rank] for r in run_order]

    def __iter__(self) -> Iterator[int]:
        batches = self.batches()
        self.epoch += 1
        return iter([index for batch in batches for index in batch])

    def __len__(self) -> int:
        return self._num_samples

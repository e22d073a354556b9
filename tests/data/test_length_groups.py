import random

import pytest
from torch.utils.data import DataLoader

from quorlin.data.length_groups import LengthGroupedSampler


def _epochs(lengths, batch_size, pool_batches, num_replicas, epochs=2):
    """Per epoch, each rank's batches as a loader with the sampler makes them."""
    shards = [LengthGroupedSampler(lengths, batch_size, pool_batches, seed=3, num_replicas=num_replicas, rank=r)
              for r in range(num_replicas)]
    result = []
    for _ in range(epochs):
        ranks = []
        for shard in shards:
            batches = [b.tolist() for b in DataLoader(range(len(lengths)), batch_size=batch_size, sampler=shard)]
            assert sum(map(len, batches)) == len(shard)
            ranks.append(batches)
        result.append(ranks)
    return result


@pytest.mark.parametrize("count, num_replicas", [(103, 1), (103, 2), (96, 3), (70, 4)])
def test_batches_cover_every_sample_and_keep_lengths_together(count, num_replicas):
    rng = random.Random(count)
    lengths = [rng.randint(50, 700) for _ in range(count)]
    epochs = _epochs(lengths, 8, 4, num_replicas)
    for ranks in epochs:
        # Every rank steps as often; the ranks together see every sample, repeats only to even out.
        assert len({len(batches) for batches in ranks}) == 1
        seen = [i for batches in ranks for batch in batches for i in batch]
        assert set(seen) == set(range(count))
        assert len(seen) - count < 8 * num_replicas
        if num_replicas == 1:
            assert len(seen) == count
        # Each batch comes from one sorted pool of 32 of the shuffled samples: its spread of
        # lengths is far below that of a random batch (about 560 frames here).
        spreads = [max(lengths[i] for i in b) - min(lengths[i] for i in b) for bs in ranks for b in bs if len(b) > 1]
        assert sum(spreads) / len(spreads) < 280
        # The batches of one step are neighbours in a pool: about the same longest length
        # (but for the last step, evened out with batches from the start).
        for step in list(zip(*ranks))[:-1]:
            assert max(max(lengths[i] for i in b) for b in step) - min(max(lengths[i] for i in b) for b in step) < 300
    assert epochs[0] != epochs[1]


def test_arguments_are_checked():
    with pytest.raises(ValueError, match="batch_size must be an integer >= 1, got 0"):
        LengthGroupedSampler([3, 4], 0)
    with pytest.raises(ValueError, match=r"rank must lie in \[0, 2\), got 2"):
        LengthGroupedSampler([3, 4], 1, num_replicas=2, rank=2)

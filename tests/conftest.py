import os

import pytest
import torch

# Tests never reach the network and never open a window.
os.environ.setdefault("WANDB_MODE", "offline")
os.environ.setdefault("MPLBACKEND", "Agg")
# The models under test are tiny: a second thread only waits for a core, most of all on a busy machine.
torch.set_num_threads(1)


def _assert_same(a, b):
    """Exact equality of nested states: tensors, dicts (with key order), lists and plain values."""
    if isinstance(a, torch.Tensor):
        assert torch.equal(a, b)
    elif isinstance(a, dict):
        assert list(a) == list(b)
        for key in a:
            _assert_same(a[key], b[key])
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            _assert_same(x, y)
    else:
        assert a == b


@pytest.fixture
def assert_same():
    return _assert_same


def _edit_distance(a, b):
    """Levenshtein distance between two sequences (strings, or lists of words)."""
    row = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, y in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (x != y))
    return row[-1]


@pytest.fixture
def edit_distance():
    return _edit_distance

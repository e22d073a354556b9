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

import numpy as np
import pytest
import torch


@pytest.fixture
def rng():
    return np.random.default_rng(0)


@pytest.fixture
def leaf():
    """Turns an array into a float64 torch leaf tensor that records its gradient."""
    return lambda x: torch.tensor(x, dtype=torch.float64, requires_grad=True)


@pytest.fixture
def numeric_grad():
    """Central-difference gradient of a scalar ``loss()`` with respect to an array it reads."""

    def grad_of(loss, x, h=1e-6):
        grad = np.zeros_like(x)
        for i in np.ndindex(x.shape):
            saved = x[i]
            x[i] = saved + h
            up = loss()
            x[i] = saved - h
            down = loss()
            x[i] = saved
            grad[i] = (up - down) / (2 * h)
        return grad

    return grad_of

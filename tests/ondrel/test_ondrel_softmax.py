import numpy as np
import pytest
import torch

from ondrel.nn.activation import Softmax


@pytest.mark.parametrize("dim", [-1, 0, 1])
def test_forward_and_backward_match_autograd(rng, leaf, dim):
    Z, G = rng.normal(size=(2, 3, 4)), rng.normal(size=(2, 3, 4))
    softmax = Softmax(dim=dim)
    A = softmax.forward(Z)
    dLdZ = softmax.backward(G)

    Zt = leaf(Z)
    At = torch.softmax(Zt, dim=dim)
    (At * torch.tensor(G)).sum().backward()
    np.testing.assert_allclose(A, At.detach().numpy(), rtol=0, atol=1e-14)
    np.testing.assert_allclose(dLdZ, Zt.grad.numpy(), rtol=0, atol=1e-14)


def test_large_inputs_stay_finite():
    A = Softmax(dim=-1).forward(np.array([[1000.0, 1001.0, 1002.0], [-1e10, 0.0, -1e10]]))
    expected = np.exp([0.0, 1.0, 2.0]) / np.exp([0.0, 1.0, 2.0]).sum()
    np.testing.assert_allclose(A, [expected, [0.0, 1.0, 0.0]], rtol=1e-14)


def test_dim_must_be_a_number():
    with pytest.raises(TypeError, match=r"^dim must be a number, got 'last'$"):
        Softmax(dim="last")

import numpy as np
import pytest
import torch

from ondrel.nn.linear import Linear


@pytest.mark.parametrize(
    "shape, rows", [((4,), 1), ((6, 4), 6), ((2, 3, 4), 6)], ids=["1d", "2d", "3d"]
)
@pytest.mark.parametrize("bias_shape", [(5,), (1, 5)], ids=["flat-b", "row-b"])
def test_matches_autograd(rng, leaf, shape, rows, bias_shape):
    A, W, b = rng.normal(size=shape), rng.normal(size=(5, 4)), rng.normal(size=bias_shape)
    G = rng.normal(size=shape[:-1] + (5,))
    layer = Linear(4, 5)
    layer.init_weights(W, b)
    Z = layer.forward(A)
    A[...] = 0.0  # forward keeps its own copy of the input
    layer.backward(10 * G)
    dLdA = layer.backward(G)  # gradients are overwritten, not accumulated

    At, Wt, bt = leaf(layer.A), leaf(W), leaf(b.reshape(-1))
    Zt = torch.nn.functional.linear(At, Wt, bt)
    (Zt * torch.tensor(G)).sum().backward()
    assert Z.shape == shape[:-1] + (5,)
    assert layer.N == rows and layer.ones.shape == (rows, 1)
    assert layer.dLdb.shape == (5, 1)
    np.testing.assert_allclose(Z, Zt.detach().numpy(), rtol=0, atol=1e-12)
    np.testing.assert_allclose(dLdA, At.grad.numpy(), rtol=0, atol=1e-12)
    np.testing.assert_allclose(layer.dLdA, At.grad.numpy(), rtol=0, atol=1e-12)
    np.testing.assert_allclose(layer.dLdW, Wt.grad.numpy(), rtol=0, atol=1e-12)
    np.testing.assert_allclose(layer.dLdb[:, 0], bt.grad.numpy(), rtol=0, atol=1e-12)


def test_zero_parameters_and_identity(rng):
    A, G = rng.normal(size=(2, 3, 4)), rng.normal(size=(2, 3, 4))
    layer = Linear(4, 4)
    assert not layer.forward(A).any()

    layer.init_weights(np.eye(4), np.zeros(4))
    np.testing.assert_array_equal(layer.forward(A), A)
    np.testing.assert_array_equal(layer.backward(G), G)
    np.testing.assert_allclose(layer.dLdb, G.reshape(-1, 4).sum(axis=0)[:, None], rtol=1e-14)


def test_sizes_must_be_numbers():
    with pytest.raises(TypeError, match=r"^in_features must be a number, got '4'$"):
        Linear("4", 5)

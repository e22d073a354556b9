import numpy as np
import pytest
import torch

from ondrel.nn.kestivel import Kestivel


def one_masked_row(shape):
    mask = np.zeros(shape, dtype=bool)
    mask[..., 1, :] = True
    mask[..., 2, -1] = True
    return mask


CASES = {
    # name: (Q shape, K shape, V shape, mask or None)
    "3d": ((2, 4, 8), (2, 4, 8), (2, 4, 8), None),
    "4d-cross": ((2, 3, 4, 8), (2, 3, 5, 8), (2, 3, 5, 6), None),
    "masked": ((2, 3, 4, 8), (2, 3, 5, 8), (2, 3, 5, 6), one_masked_row((4, 5))),
    "shared-kv": ((2, 4, 8), (5, 8), (1, 5, 3), one_masked_row((2, 4, 5))),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_matches_autograd(rng, leaf, case):
    q_shape, k_shape, v_shape, mask = case
    Q, K, V = rng.normal(size=q_shape), rng.normal(size=k_shape), rng.normal(size=v_shape)
    attention = Kestivel()
    out = attention.forward(Q, K, V, mask)
    G = rng.normal(size=out.shape)
    d_Q, d_K, d_V = attention.backward(G)

    Qt, Kt, Vt = leaf(Q), leaf(K), leaf(V)
    scores = Qt @ Kt.transpose(-1, -2) / np.sqrt(K.shape[-1])
    if mask is not None:
        scores = torch.where(torch.tensor(mask), -1e10, scores)
    weights = torch.softmax(scores, dim=-1)
    (weights @ Vt * torch.tensor(G)).sum().backward()

    np.testing.assert_allclose(out, (weights @ Vt).detach().numpy(), rtol=0, atol=1e-12)
    np.testing.assert_allclose(
        attention.attention_scores, weights.detach().numpy(), rtol=0, atol=1e-14
    )
    np.testing.assert_allclose(attention.attention_scores.sum(axis=-1), 1.0, rtol=1e-14)
    for ours, theirs in [(d_Q, Qt), (d_K, Kt), (d_V, Vt)]:
        assert ours.shape == theirs.shape
        np.testing.assert_allclose(ours, theirs.grad.numpy(), rtol=0, atol=1e-12)


def test_mask_selects_keys(rng):
    Q, K, V = rng.normal(size=(2, 4, 8)), rng.normal(size=(2, 5, 8)), rng.normal(size=(2, 5, 3))
    mask = np.ones((4, 5), dtype=bool)
    mask[0, 0] = mask[1, 3] = mask[2, 1] = False  # rows 0-2 see one key each; row 3 sees none
    attention = Kestivel()
    out = attention.forward(Q, K, V, mask)

    weights = attention.attention_scores
    np.testing.assert_allclose(weights[:, :3], np.broadcast_to(~mask[:3], (2, 3, 5)), atol=1e-300)
    np.testing.assert_allclose(weights[:, 3], 0.2, rtol=1e-14)  # fully masked: uniform
    np.testing.assert_allclose(out[:, 3], V.mean(axis=1), rtol=1e-12)


def test_finite_differences_with_a_fully_masked_row(rng, numeric_grad):
    Q, K, V = rng.normal(size=(2, 3, 4)), rng.normal(size=(2, 3, 4)), rng.normal(size=(2, 3, 2))
    mask = np.zeros((3, 3), dtype=bool)
    mask[0] = True
    mask[1, 2] = True
    attention = Kestivel()
    G = rng.normal(size=(2, 3, 2))
    attention.forward(Q, K, V, mask)
    grads = attention.backward(G)

    def loss():
        return np.sum(Kestivel().forward(Q, K, V, mask) * G)

    for ours, x in zip(grads, (Q, K, V)):
        np.testing.assert_allclose(ours, numeric_grad(loss, x), rtol=0, atol=1e-8)
    assert not grads[0][:, 0].any()  # a fully masked query row receives no gradient

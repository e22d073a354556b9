import numpy as np
import pytest
import torch

from ondrel.nn.kestivel import Kestivel
from ondrel.nn.tolmund import Tolmund

E, H = 8, 2


def random_weights(rng, E=E):
    """Wq, bq, Wk, bk, Wv, bv, Wo, bo."""
    return [rng.normal(size=(E, E)) if i % 2 == 0 else rng.normal(size=E) for i in range(8)]


def assert_close(ours, theirs):
    np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-10)


def twin_modules(rng):
    """A Tolmund and a torch MultiheadAttention with the same random weights."""
    weights = random_weights(rng)
    ours = Tolmund(E, H)
    ours.init_weights(*weights)
    theirs = torch.nn.MultiheadAttention(E, H, batch_first=True, dtype=torch.float64)
    Wq, bq, Wk, bk, Wv, bv, Wo, bo = map(torch.tensor, weights)
    with torch.no_grad():
        theirs.in_proj_weight.copy_(torch.cat([Wq, Wk, Wv]))
        theirs.in_proj_bias.copy_(torch.cat([bq, bk, bv]))
        theirs.out_proj.weight.copy_(Wo)
        theirs.out_proj.bias.copy_(bo)
    return ours, theirs


def causal(L, S):
    return np.triu(np.ones((L, S), dtype=bool), k=1)


def padding(N, S):
    mask = np.zeros((N, S), dtype=bool)
    mask[0, -2:] = True
    return mask


@pytest.mark.parametrize("L, S", [(4, 4), (3, 5), (5, 3)], ids=["self", "S>L", "S<L"])
@pytest.mark.parametrize(
    "use_padding, use_causal", [(False, False), (True, False), (False, True), (True, True)],
    ids=["no-mask", "padding", "causal", "both"],
)
def test_matches_torch_multihead_attention(rng, leaf, L, S, use_padding, use_causal):
    N = 2
    query, key, value = (rng.normal(size=(N, T, E)) for T in (L, S, S))
    key_padding_mask = padding(N, S) if use_padding else None
    attn_mask = causal(L, S) if use_causal else None
    G = rng.normal(size=(N, L, E))
    ours, theirs = twin_modules(rng)

    out = ours.forward(query, key, value, key_padding_mask, attn_mask)
    d_q, d_k, d_v = ours.backward(G)

    qt, kt, vt = leaf(query), leaf(key), leaf(value)
    out_t, _ = theirs(
        qt, kt, vt,
        key_padding_mask=None if key_padding_mask is None else torch.tensor(key_padding_mask),
        attn_mask=None if attn_mask is None else torch.tensor(attn_mask),
        need_weights=False,
    )
    (out_t * torch.tensor(G)).sum().backward()

    assert (ours.N, ours.L, ours.S, ours.E) == (N, L, S, E)
    assert_close(out, out_t.detach().numpy())
    for ours_grad, tensor in [(d_q, qt), (d_k, kt), (d_v, vt)]:
        assert_close(ours_grad, tensor.grad.numpy())
    W_grads = [*theirs.in_proj_weight.grad.split(E), theirs.out_proj.weight.grad]
    b_grads = [*theirs.in_proj_bias.grad.split(E), theirs.out_proj.bias.grad]
    projections = [ours.q_proj, ours.k_proj, ours.v_proj, ours.out_proj]
    for proj, W_grad, b_grad in zip(projections, W_grads, b_grads):
        assert_close(proj.dLdW, W_grad.numpy())
        assert_close(proj.dLdb, b_grad.numpy()[:, None])  # a column


def test_missing_masks_mask_nothing(rng):
    query, key = rng.normal(size=(2, 3, E)), rng.normal(size=(2, 5, E))
    mha, _ = twin_modules(rng)
    out = mha.forward(query, key, key, np.zeros((2, 5), dtype=bool), np.zeros((3, 5), dtype=bool))
    np.testing.assert_array_equal(mha.forward(query, key, key), out)
    assert not mha._merge_masks(None, None).any()
    assert mha._merge_masks(None, None).shape == (2, H, 3, 5)


@pytest.mark.parametrize(
    "key_padding_mask, attn_mask, changed, unchanged",
    [
        (None, causal(4, 4), np.s_[:, 3:], np.s_[:, :3]),
        (np.array([[0, 0, 0, 1], [0, 0, 0, 0]], dtype=bool), None, np.s_[1], np.s_[0]),
    ],
    ids=["causal", "padding"],
)
def test_masked_positions_have_no_influence(rng, key_padding_mask, attn_mask, changed, unchanged):
    x = rng.normal(size=(2, 4, E))
    mha, _ = twin_modules(rng)
    before = mha.forward(x, x, x, key_padding_mask, attn_mask)
    value = x.copy()
    value[:, 3] += 1.0
    after = mha.forward(x, x, value, key_padding_mask, attn_mask)
    np.testing.assert_array_equal(after[unchanged], before[unchanged])
    assert not np.allclose(after[changed], before[changed])


def test_identity_projections_with_one_head_reduce_to_kestivel(rng):
    query, key, value = (rng.normal(size=(2, T, E)) for T in (3, 5, 5))
    key_padding_mask, attn_mask = padding(2, 5), causal(3, 5)
    mha = Tolmund(E, 1)
    mha.init_weights(*[np.eye(E) if i % 2 == 0 else np.zeros(E) for i in range(8)])
    out = mha.forward(query, key, value, key_padding_mask, attn_mask)
    mask = mha._merge_masks(key_padding_mask, attn_mask)[:, 0]  # (N, L, S)
    np.testing.assert_allclose(out, Kestivel().forward(query, key, value, mask), rtol=1e-13)


def test_finite_differences(rng, numeric_grad):
    query, key, value = (rng.normal(size=(1, T, 4)) for T in (2, 3, 3))
    key_padding_mask = np.array([[False, False, True]])
    G = rng.normal(size=(1, 2, 4))
    mha = Tolmund(4, 2)
    mha.init_weights(*random_weights(rng, E=4))
    mha.forward(query, key, value, key_padding_mask)
    grads = mha.backward(G)

    def loss():
        out = mha.forward(query, key, value, key_padding_mask)
        return np.sum(out * G)

    checks = [
        *zip(grads, (query, key, value)),
        (mha.q_proj.dLdW, mha.q_proj.W),
        (mha.v_proj.dLdb[:, 0], mha.v_proj.b),
        (mha.out_proj.dLdW, mha.out_proj.W),
    ]
    for analytic, x in checks:
        np.testing.assert_allclose(analytic, numeric_grad(loss, x), rtol=0, atol=1e-8)


@pytest.mark.parametrize(
    "embed_dim, num_heads, message",
    [
        (10, 3, "embed_dim must be divisible by num_heads"),
        (8, 0, "num_heads must be positive, got 0"),
    ],
)
def test_bad_head_counts_are_refused(embed_dim, num_heads, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        Tolmund(embed_dim, num_heads)


def test_construction_leaves_zero_projections():
    mha = Tolmund(8, 2)
    for proj in (mha.q_proj, mha.k_proj, mha.v_proj, mha.out_proj):
        assert proj.W.shape == (8, 8) and proj.b.shape == (8,)
        assert not proj.W.any() and not proj.b.any()

import math

import pytest
import torch
import torch.nn.functional as Fn

from quorlin.model.masks import CausalMask, PadMask
from quorlin.model.skellan import CrossAttentionDecoderLayer, SelfAttentionDecoderLayer
from quorlin.model.sublayers import CrossAttentionLayer, FeedForwardLayer, SelfAttentionLayer
from quorlin.model.yorvane import SelfAttentionEncoderLayer

D, H = 16, 4
MHA_KEYS = {"mha.in_proj_weight", "mha.in_proj_bias", "mha.out_proj.weight", "mha.out_proj.bias"}
NORM_KEYS = {"norm.weight", "norm.bias"}
FFN_KEYS = {"ffn.0.weight", "ffn.0.bias", "ffn.3.weight", "ffn.3.bias"} | NORM_KEYS


def _prefixed(prefix, keys):
    return {f"{prefix}.{k}" for k in keys}


@pytest.mark.parametrize(
    "module, keys",
    [
        (SelfAttentionLayer(D, H), MHA_KEYS | NORM_KEYS),
        (CrossAttentionLayer(D, H), MHA_KEYS | NORM_KEYS),
        (FeedForwardLayer(D, 32), FFN_KEYS),
        (SelfAttentionEncoderLayer(D, H, 32), _prefixed("self_attn", MHA_KEYS | NORM_KEYS) | _prefixed("ffn", FFN_KEYS)),
        (SelfAttentionDecoderLayer(D, H, 32), _prefixed("self_attn", MHA_KEYS | NORM_KEYS) | _prefixed("ffn", FFN_KEYS)),
        (
            CrossAttentionDecoderLayer(D, H, 32),
            _prefixed("self_attn", MHA_KEYS | NORM_KEYS)
            | _prefixed("cross_attn", MHA_KEYS | NORM_KEYS)
            | _prefixed("ffn", FFN_KEYS),
        ),
    ],
)
def test_state_dict_keys(module, keys):
    assert set(module.state_dict()) == keys


def _reference_attention(mha, q_in, kv_in, key_padding_mask=None, attn_mask=None):
    """Multi-head attention written out from the module's weights; returns output and mean weights."""
    N, T, _ = q_in.shape
    S = kv_in.shape[1]
    Wq, Wk, Wv = mha.in_proj_weight.chunk(3)
    bq, bk, bv = mha.in_proj_bias.chunk(3)
    split = lambda t, L: t.view(N, L, H, D // H).transpose(1, 2)  # (N, H, L, D/H)
    q, k, v = split(q_in @ Wq.T + bq, T), split(kv_in @ Wk.T + bk, S), split(kv_in @ Wv.T + bv, S)
    scores = q @ k.transpose(-1, -2) / math.sqrt(D // H)  # (N, H, T, S)
    forbidden = torch.zeros(N, 1, T, S, dtype=torch.bool)
    if key_padding_mask is not None:
        forbidden = forbidden | key_padding_mask[:, None, None, :]
    if attn_mask is not None:
        forbidden = forbidden | attn_mask
    weights = scores.masked_fill(forbidden, float("-inf")).softmax(-1)
    out = (weights @ v).transpose(1, 2).reshape(N, T, D)  # (N, T, D)
    return mha.out_proj(out), weights.mean(1)


def test_self_attention_sublayer_matches_hand_computation():
    torch.manual_seed(0)
    layer = SelfAttentionLayer(D, H).eval()
    x = torch.randn(2, 5, D)
    pad = PadMask(x, torch.tensor([5, 3]))
    causal = CausalMask(x)
    out, weights = layer(x, pad, causal)
    ref_out, ref_w = _reference_attention(layer.mha, layer.norm(x), layer.norm(x), pad, causal)
    torch.testing.assert_close(out, x + ref_out)
    torch.testing.assert_close(weights, ref_w)


def test_cross_attention_sublayer_does_not_normalise_the_encoder_side():
    torch.manual_seed(1)
    layer = CrossAttentionLayer(D, H).eval()
    x, y = torch.randn(2, 3, D), 5 * torch.randn(2, 7, D) + 2
    pad = PadMask(y, torch.tensor([7, 4]))
    out, weights = layer(x, y, key_padding_mask=pad)
    ref_out, ref_w = _reference_attention(layer.mha, layer.norm(x), y, pad)
    assert weights.shape == (2, 3, 7) and out.shape == (2, 3, D)
    torch.testing.assert_close(out, x + ref_out)
    torch.testing.assert_close(weights, ref_w)


def test_feed_forward_matches_hand_computation():
    torch.manual_seed(2)
    layer = FeedForwardLayer(D, 40).eval()
    x = torch.randn(2, 5, D)
    lin1, lin2 = layer.ffn[0], layer.ffn[3]
    h = Fn.gelu(Fn.layer_norm(x, (D,), layer.norm.weight, layer.norm.bias) @ lin1.weight.T + lin1.bias)
    torch.testing.assert_close(layer(x), x + h @ lin2.weight.T + lin2.bias)
    assert isinstance(layer.ffn[1], torch.nn.GELU) and layer.ffn[1].approximate == "none"


def test_zero_output_projection_returns_the_input():
    layer = SelfAttentionLayer(D, H)
    torch.nn.init.zeros_(layer.mha.out_proj.weight)
    torch.nn.init.zeros_(layer.mha.out_proj.bias)
    x = torch.randn(2, 4, D)
    torch.testing.assert_close(layer(x)[0], x)


def test_attention_weight_properties():
    torch.manual_seed(3)
    x = torch.randn(2, 6, D)
    _, w = SelfAttentionLayer(D, H)(x)
    torch.testing.assert_close(w.sum(-1), torch.ones(2, 6))
    _, w = SelfAttentionEncoderLayer(D, H, 32, 0.0)(x, key_padding_mask=PadMask(x, torch.tensor([6, 2])))
    assert torch.all(w[1, :, 2:] == 0) and torch.all(w[1, :, :2] > 0)
    _, w = SelfAttentionDecoderLayer(D, H, 32, 0.0)(x, attn_mask=CausalMask(x))
    assert torch.all(torch.triu(w, diagonal=1) == 0)
    torch.testing.assert_close(w[:, 0, 0], torch.ones(2))
    _, w = SelfAttentionDecoderLayer(D, H, 32, 0.0)(x)
    assert torch.all(w > 0)  # no mask: not causal


def test_cross_attention_decoder_layer_masks():
    torch.manual_seed(4)
    layer = CrossAttentionDecoderLayer(D, H, 32, dropout=0.0)
    x, enc = torch.randn(2, 4, D), torch.randn(2, 9, D)
    out = layer(x, enc, PadMask(x, torch.tensor([4, 3])), PadMask(enc, torch.tensor([9, 5])), CausalMask(x))
    assert len(out) == 3
    y, self_w, cross_w = out
    assert y.shape == x.shape and self_w.shape == (2, 4, 4) and cross_w.shape == (2, 4, 9)
    assert torch.all(torch.triu(self_w, diagonal=1) == 0)
    assert torch.all(cross_w[1, :, 5:] == 0) and torch.all(cross_w[0] > 0)


@pytest.mark.parametrize("cls", [SelfAttentionEncoderLayer, SelfAttentionDecoderLayer, CrossAttentionDecoderLayer])
def test_layer_default_dropout_reaches_every_sublayer(cls):
    layer = cls(D, H, 32)
    rates = {name: m.p for name, m in layer.named_modules() if isinstance(m, torch.nn.Dropout)}
    rates.update({name: m.dropout for name, m in layer.named_modules() if isinstance(m, torch.nn.MultiheadAttention)})
    assert rates and set(rates.values()) == {0.1}
    layer.eval()
    args = (torch.randn(2, 3, D),) + ((torch.randn(2, 5, D),) if cls is CrossAttentionDecoderLayer else ())
    first, second = layer(*args), layer(*args)
    assert len(first) == (3 if cls is CrossAttentionDecoderLayer else 2)
    for a, b in zip(first, second):
        assert torch.equal(a, b)


def test_arguments_are_converted_or_refused():
    layer = SelfAttentionEncoderLayer(16.9, 2.0, 32.5, dropout=0)
    assert layer.self_attn.mha.embed_dim == 16 and layer.ffn.ffn[0].out_features == 32
    assert isinstance(layer.ffn.dropout.p, float)
    with pytest.raises(TypeError, match="d_ff"):
        FeedForwardLayer(16, "64")
    with pytest.raises(TypeError, match="dropout"):
        CrossAttentionLayer(16, 2, dropout=None)
    with pytest.raises(AssertionError):  # heads must divide the width
        SelfAttentionLayer(16, 3)

"""The Conformer encoder layer, and the recogniser with either encoder type."""
import numpy as np
import pytest
import torch
import torch.nn as nn

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.decoding import RecognizerScorer, SequenceGenerator
from quorlin.model import EncoderDecoderTransformer
from quorlin.model.amberith import Amberith
from quorlin.model.conformer import ConformerEncoderLayer, ConvolutionModule
from quorlin.model.corrash import Corrash
from quorlin.model.masks import CausalMask, PadMask
from quorlin.model.skellan import CrossAttentionDecoderLayer
from quorlin.model.yorvane import SelfAttentionEncoderLayer

TOKENIZER = VaskTokenizer.from_texts(["abcdefgh"])
V, D, F = TOKENIZER.vocab_size, 32, 20


def make_default_asr(**kwargs):
    """A small recogniser; ``kwargs`` go to the constructor."""
    torch.manual_seed(0)
    return EncoderDecoderTransformer(input_dim=F, time_reduction=4, reduction_method="conv", num_encoder_layers=2,
                                     num_decoder_layers=2, d_model=D, num_heads=4, d_ff=64, dropout=0.0,
                                     max_len=300, num_classes=V, **kwargs).eval()


def make_asr(**kwargs):
    """The small recogniser with a conformer encoder unless ``kwargs`` say otherwise."""
    return make_default_asr(**({"encoder_type": "conformer"} | kwargs))


def asr_batch():
    """Three utterances whose padding holds large random values, not zeros."""
    torch.manual_seed(1)
    feats = torch.randn(3, 80, F)
    feat_lengths = torch.tensor([80, 52, 33])
    for n, length in enumerate(feat_lengths.tolist()):
        feats[n, length:] = 50 * torch.randn(80 - length, F)
    targets = torch.randint(4, V, (3, 7))
    target_lengths = torch.tensor([7, 5, 3])
    return feats, targets, feat_lengths, target_lengths


def _layer_norm(h, weight, bias):
    return (h - h.mean(-1, keepdims=True)) / np.sqrt(h.var(-1, keepdims=True) + 1e-5) * weight + bias


def _sigmoid(h):
    return 1 / (1 + np.exp(-h))


def convolution_reference(module, x, length):
    """The convolution sublayer on the first ``length`` frames of x (T, d) alone, in float64 NumPy."""
    p = {k: v.detach().double().numpy() for k, v in module.state_dict().items()}
    x = x[:length].detach().double().numpy()
    h = _layer_norm(x, p["norm.weight"], p["norm.bias"]) @ p["pointwise_in.weight"].T + p["pointwise_in.bias"]
    a, gate = np.split(h, 2, axis=-1)
    h = a * _sigmoid(gate)  # (length, d)
    kernel = p["depthwise.weight"][:, 0]  # (d, K)
    K = kernel.shape[1]
    padded = np.pad(h, ((K // 2, K // 2), (0, 0)))  # zeros on both sides of the utterance
    h = np.stack([(padded[t:t + K].T * kernel).sum(-1) for t in range(length)]) + p["depthwise.bias"]
    h = _layer_norm(h, p["conv_norm.weight"], p["conv_norm.bias"])
    h = h * _sigmoid(h)
    return x + h @ p["pointwise_out.weight"].T + p["pointwise_out.bias"]


def test_convolution_module_matches_each_utterance_computed_alone():
    torch.manual_seed(0)
    module = ConvolutionModule(8, kernel_size=5).eval()
    with torch.no_grad():  # non-trivial norms, so that a wrong axis shows
        for norm in (module.norm, module.conv_norm):
            norm.weight.normal_()
            norm.bias.normal_()
    lengths = torch.tensor([12, 5, 1])
    x = torch.randn(3, 12, 8)
    padding = PadMask(x, lengths)
    x[padding] = 100 * torch.randn(int(padding.sum()), 8)
    out = module(x, padding)
    assert out.shape == (3, 12, 8)
    for n, length in enumerate(lengths.tolist()):
        np.testing.assert_allclose(out[n, :length].detach().numpy(), convolution_reference(module, x[n], length),
                                   rtol=1e-4, atol=1e-4)


def test_layer_half_weights_its_feed_forward_branches():
    torch.manual_seed(0)
    layer = ConformerEncoderLayer(D, 4, 64, dropout=0.0, conv_kernel_size=3).eval()
    x = torch.randn(2, 6, D)
    # With the attention, convolution and second feed-forward branches zeroed, only ½·FFN1 and the final norm act.
    with torch.no_grad():
        for linear in (layer.self_attn.mha.out_proj, layer.conv.pointwise_out, layer.ffn2.ffn[3]):
            linear.weight.zero_()
            linear.bias.zero_()
        layer.final_norm.weight.normal_()
    p = {k: v.detach().double().numpy() for k, v in layer.state_dict().items()}
    h = _layer_norm(x.double().numpy(), p["ffn1.norm.weight"], p["ffn1.norm.bias"])
    h = h @ p["ffn1.ffn.0.weight"].T + p["ffn1.ffn.0.bias"]
    h = torch.nn.functional.gelu(torch.from_numpy(h)).numpy() @ p["ffn1.ffn.3.weight"].T + p["ffn1.ffn.3.bias"]
    expected = _layer_norm(x.double().numpy() + 0.5 * h, p["final_norm.weight"], p["final_norm.bias"])
    out, weights = layer(x)
    np.testing.assert_allclose(out.detach().numpy(), expected, rtol=1e-4, atol=1e-4)
    assert weights.shape == (2, 6, 6)


def test_conformer_shapes_ctc_and_attention():
    asr = make_asr()
    assert all(isinstance(layer, ConformerEncoderLayer) for layer in asr.enc_layers)
    assert asr.enc_layers[0].conv.depthwise.kernel_size == (15,)
    assert make_asr(conv_kernel_size=7.0).enc_layers[0].conv.depthwise.kernel_size == (7,)
    feats, targets, feat_lengths, target_lengths = asr_batch()
    encoder_output, pad_mask, enc_att, ctc = asr.encode(feats, feat_lengths)
    S = ctc["log_probs"].size(0)
    assert S == 19 and encoder_output.shape == (3, S, D) and pad_mask.shape == (3, S)
    assert ctc["log_probs"].shape == (S, 3, V)
    torch.testing.assert_close(ctc["log_probs"].exp().sum(-1), torch.ones(S, 3))
    assert ctc["lengths"].tolist() == [19, 12, 7]
    assert list(enc_att) == ["layer1_enc_self", "layer2_enc_self"]
    for weights in enc_att.values():
        assert weights.shape == (3, S, S)
        torch.testing.assert_close(weights.sum(-1), torch.ones(3, S))
        assert torch.all(weights[2, :, 7:] == 0)
    logits, attn, _ = asr(feats, targets, feat_lengths, target_lengths)
    assert logits.shape == (3, 7, V) and attn["layer2_dec_cross"].shape == (3, 7, S)
    # 5 frames shrink to none: the utterance keeps one frame, and its outputs stay finite.
    logits, _, ctc = asr(feats, targets, torch.tensor([80, 5, 33]), target_lengths)
    assert ctc["lengths"][1] == 0 and torch.isfinite(logits).all() and torch.isfinite(ctc["log_probs"]).all()
    # The trainers run layer subsets of the same objects.
    asr.enc_layers = nn.ModuleList([asr.enc_layers[1]])
    assert list(asr(feats, targets, feat_lengths, target_lengths)[1])[0] == "layer1_enc_self"


@pytest.mark.parametrize("mode", ["eval", "train"])
def test_conformer_valid_outputs_ignore_padding_and_the_rest_of_the_batch(mode):
    # In training mode (dropout 0) a batch-statistics norm would tie the utterances together.
    asr = make_asr().train(mode == "train")
    feats, targets, feat_lengths, target_lengths = asr_batch()
    logits, _, ctc = asr(feats, targets, feat_lengths, target_lengths)
    for n in range(3):
        T, U, S = feat_lengths[n].item(), target_lengths[n].item(), ctc["lengths"][n].item()
        for extra in (0, 17):  # alone, then with padded frames appended
            alone_feats = torch.cat([feats[n:n + 1, :T], 50 * torch.randn(1, extra, F)], dim=1)
            alone, _, alone_ctc = asr(alone_feats, targets[n:n + 1, :U], feat_lengths[n:n + 1],
                                      target_lengths[n:n + 1])
            torch.testing.assert_close(alone[0], logits[n, :U], rtol=1e-4, atol=1e-4)
            torch.testing.assert_close(alone_ctc["log_probs"][:S, 0], ctc["log_probs"][:S, n], rtol=1e-4, atol=1e-4)


class TransformerBuiltTheOldWay(nn.Module):
    """The transformer recogniser as it was built before the encoder type could be chosen."""

    def __init__(self):
        super().__init__()
        self.source_embedding = Corrash(F, D, 4, "conv", 0.0)
        self.target_embedding = nn.Embedding(V, D)
        self.positional_encoding = Amberith(D, 300)
        self.dropout = nn.Dropout(0.0)
        self.enc_layers = nn.ModuleList(SelfAttentionEncoderLayer(D, 4, 64, 0.0) for _ in range(2))
        self.encoder_norm = nn.LayerNorm(D)
        self.ctc_head = nn.Linear(D, V)
        self.dec_layers = nn.ModuleList(CrossAttentionDecoderLayer(D, 4, 64, 0.0) for _ in range(2))
        self.decoder_norm = nn.LayerNorm(D)
        self.final_linear = nn.Linear(D, V)

    def forward(self, feats, targets, feat_lengths, target_lengths):
        x, x_len = self.source_embedding(feats, feat_lengths)
        pad_src = PadMask(x, x_len.clamp(min=1))
        x = self.positional_encoding(x)
        for layer in self.enc_layers:
            x, _ = layer(x, key_padding_mask=pad_src)
        x = self.encoder_norm(x)
        ctc_log_probs = torch.log_softmax(self.ctc_head(x), dim=-1).transpose(0, 1)  # (S, N, V)
        y = self.positional_encoding(self.target_embedding(targets))
        for layer in self.dec_layers:
            y, _, _ = layer(y, x, PadMask(targets, target_lengths.clamp(min=1)), pad_src, CausalMask(targets))
        return self.final_linear(self.decoder_norm(y)), ctc_log_probs


def test_transformer_default_is_the_model_built_the_old_way():
    torch.manual_seed(0)
    old = TransformerBuiltTheOldWay().eval()
    for new in (make_default_asr(), make_default_asr(encoder_type="transformer", conv_kernel_size=31)):
        assert new.encoder_type == "transformer"
        assert list(new.state_dict()) == list(old.state_dict())
        for key, value in old.state_dict().items():
            assert torch.equal(new.state_dict()[key], value), key
        feats, targets, feat_lengths, target_lengths = asr_batch()
        logits, _, ctc = new(feats, targets, feat_lengths, target_lengths)
        old_logits, old_ctc = old(feats, targets, feat_lengths, target_lengths)
        assert torch.equal(logits, old_logits) and torch.equal(ctc["log_probs"], old_ctc)


@pytest.mark.parametrize("kwargs, error, message", [
    ({"encoder_type": 3}, TypeError, "encoder_type must be a str, got 3"),
    ({"encoder_type": "Conformer"}, ValueError, "encoder_type must be one of 'transformer', 'conformer', "
                                                "got 'Conformer'"),
    ({"conv_kernel_size": "15"}, TypeError, "conv_kernel_size must be an integer, got '15'"),
    ({"conv_kernel_size": True}, TypeError, "conv_kernel_size must be an integer, got True"),
    ({"conv_kernel_size": 4}, ValueError, "conv_kernel_size must be an odd integer of at least 3, got 4"),
    ({"conv_kernel_size": 1}, ValueError, "conv_kernel_size must be an odd integer of at least 3, got 1"),
    ({"conv_kernel_size": 15.5}, ValueError, "conv_kernel_size must be an odd integer of at least 3, got 15.5"),
    ({"conv_kernel_size": float("inf")}, ValueError, "conv_kernel_size must be an odd integer of at least 3, got inf"),
])
def test_arguments_are_checked(kwargs, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        make_asr(**kwargs)
    if "conv_kernel_size" in kwargs:  # checked for the transformer as well
        with pytest.raises(error, match=f"^{message}$"):
            make_asr(**(kwargs | {"encoder_type": "transformer"}))


def test_tiny_conformer_recogniser_learns_a_fixed_batch():
    asr = make_asr().train()
    feats, targets, feat_lengths, target_lengths = asr_batch()
    golden = torch.cat([targets[:, 1:], torch.full((3, 1), TOKENIZER.eos_id)], dim=1)
    golden[PadMask(golden, target_lengths)] = TOKENIZER.pad_id
    ce = nn.CrossEntropyLoss(ignore_index=TOKENIZER.pad_id)
    ctc_loss = nn.CTCLoss(blank=TOKENIZER.pad_id, zero_infinity=True)
    optimizer = torch.optim.AdamW(asr.parameters(), lr=3e-3)
    losses = []
    for _ in range(12):
        logits, _, ctc = asr(feats, targets, feat_lengths, target_lengths)
        loss = ce(logits.reshape(-1, V), golden.reshape(-1)) + 0.5 * ctc_loss(ctc["log_probs"], golden, ctc["lengths"],
                                                                            target_lengths)
        optimizer.zero_grad()
        loss.backward()
        assert asr.enc_layers[0].conv.depthwise.weight.grad.abs().sum() > 0
        optimizer.step()
        losses.append(loss.item())
    assert losses[-1] < 0.5 * losses[0]


@pytest.mark.parametrize("search", ["greedy", "beam4"])
def test_cached_search_with_a_conformer_equals_full_prefix_scoring(search):
    asr = make_asr()
    torch.manual_seed(2)
    with torch.no_grad():  # peaked distributions whose end id comes at different steps
        asr.final_linear.weight.normal_()
        asr.final_linear.bias[TOKENIZER.eos_id] += 2.0
    feats, _, feat_lengths, _ = asr_batch()
    encoder_output, pad_mask, _, _ = asr.encode(feats, feat_lengths)
    start = torch.full((3, 1), TOKENIZER.sos_id)
    results = []
    for score_fn in (RecognizerScorer(asr, encoder_output, pad_mask), lambda x: asr.score(x, encoder_output, pad_mask)):
        generator = SequenceGenerator(score_fn=score_fn, tokenizer=TOKENIZER, max_length=20, device="cpu")
        results.append(generator.generate_greedy(start) if search == "greedy"
                       else generator.generate_beam(start, beam_width=4))
    (seqs, scores), (expected_seqs, expected_scores) = results
    assert torch.equal(seqs, expected_seqs)
    torch.testing.assert_close(scores, expected_scores, rtol=0, atol=1e-5)
    # Rows ended at different steps, so finished rows left the cache while others went on.
    assert len(set((seqs != TOKENIZER.pad_id).sum(-1).flatten().tolist())) > 1

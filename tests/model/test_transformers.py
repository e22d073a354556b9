import pytest
import torch
from torchinfo import summary

from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer

V, D, F = 11, 32, 20
METHODS = ["conv", "lstm", "both"]


def make_lm(num_layers=2, dropout=0.0):
    torch.manual_seed(0)
    return DecoderOnlyTransformer(num_layers=num_layers, d_model=D, num_heads=4, d_ff=64, dropout=dropout,
                                  max_len=40, num_classes=V).eval()


def make_asr(reduction_method="conv", dropout=0.0, time_reduction=4):
    torch.manual_seed(0)
    return EncoderDecoderTransformer(input_dim=F, time_reduction=time_reduction, reduction_method=reduction_method,
                                     num_encoder_layers=2, num_decoder_layers=2, d_model=D, num_heads=4, d_ff=64,
                                     dropout=dropout, max_len=300, num_classes=V).eval()


def asr_batch():
    torch.manual_seed(1)
    feats = torch.randn(3, 60, F)
    feat_lengths = torch.tensor([60, 45, 30])
    targets = torch.randint(1, V, (3, 7))
    target_lengths = torch.tensor([7, 4, 2])
    return feats, targets, feat_lengths, target_lengths


def test_lm_shapes_and_attention_keys():
    lm = make_lm()
    x = torch.randint(0, V, (3, 9))
    logits, attn = lm(x, target_lengths=torch.tensor([9, 5, 1]))
    assert logits.shape == (3, 9, V)
    assert list(attn) == ["layer1_dec_self", "layer2_dec_self"]
    for weights in attn.values():
        assert weights.shape == (3, 9, 9)
        assert torch.allclose(weights.sum(-1), torch.ones(3, 9))
        assert torch.all(weights.triu(1) == 0)


@pytest.mark.parametrize("method", METHODS)
def test_asr_shapes_attention_keys_and_ctc(method):
    asr = make_asr(method)
    feats, targets, feat_lengths, target_lengths = asr_batch()
    logits, attn, ctc = asr(feats, targets, feat_lengths, target_lengths)
    S = ctc["log_probs"].size(0)
    assert logits.shape == (3, 7, V)
    assert ctc["log_probs"].shape == (S, 3, V)
    assert torch.allclose(ctc["log_probs"].exp().sum(-1), torch.ones(S, 3), atol=1e-5)
    assert torch.equal(ctc["lengths"], asr.source_embedding.calculate_downsampled_length(feat_lengths))
    assert ctc["lengths"].max() == S
    expected = {"enc_self": (3, S, S), "dec_self": (3, 7, 7), "dec_cross": (3, 7, S)}
    for kind, shape in expected.items():
        keys = [k for k in attn if kind in k]
        assert len(keys) == 2
        assert all(attn[k].shape == shape for k in keys)
    # Padded encoder frames receive no cross-attention.
    cross = attn["layer2_dec_cross"]
    for n, length in enumerate(ctc["lengths"].tolist()):
        assert torch.all(cross[n, :, length:] == 0)


def test_lm_is_causal():
    lm = make_lm()
    x = torch.randint(0, V, (2, 10))
    changed = x.clone()
    changed[:, 6] = (changed[:, 6] + 1) % V
    before, _ = lm(x)
    after, _ = lm(changed)
    assert torch.allclose(before[:, :6], after[:, :6], atol=1e-6)
    assert not torch.allclose(before[:, 6], after[:, 6])


def test_asr_decoder_is_causal():
    asr = make_asr()
    feats, targets, feat_lengths, target_lengths = asr_batch()
    changed = targets.clone()
    changed[:, 3] = (changed[:, 3] + 1) % V
    full = torch.full_like(target_lengths, 7)
    before, _, _ = asr(feats, targets, feat_lengths, full)
    after, _, _ = asr(feats, changed, feat_lengths, full)
    assert torch.allclose(before[:, :3], after[:, :3], atol=1e-6)
    assert not torch.allclose(before[:, 3], after[:, 3])


def test_lm_padding_leaves_valid_positions_unchanged():
    lm = make_lm()
    x = torch.randint(1, V, (3, 8))
    lengths = torch.tensor([8, 5, 3])
    logits, _ = lm(x, target_lengths=lengths)
    for n, length in enumerate(lengths.tolist()):
        alone, _ = lm(x[n:n + 1, :length], target_lengths=lengths[n:n + 1])
        assert torch.allclose(logits[n, :length], alone[0], atol=1e-5)


@pytest.mark.parametrize("method", METHODS)
def test_asr_padding_leaves_valid_outputs_unchanged(method):
    asr = make_asr(method)
    feats, targets, feat_lengths, target_lengths = asr_batch()
    logits, _, ctc = asr(feats, targets, feat_lengths, target_lengths)
    for n in range(3):
        T, U = feat_lengths[n].item(), target_lengths[n].item()
        alone, _, alone_ctc = asr(feats[n:n + 1, :T], targets[n:n + 1, :U], feat_lengths[n:n + 1],
                                  target_lengths[n:n + 1])
        S = ctc["lengths"][n].item()
        assert torch.allclose(logits[n, :U], alone[0], atol=1e-4)
        assert torch.allclose(ctc["log_probs"][:S, n], alone_ctc["log_probs"][:, 0], atol=1e-4)


def test_lm_score_is_last_position_of_forward():
    lm = make_lm()
    x = torch.randint(0, V, (4, 6))
    logits, _ = lm(x)
    assert torch.allclose(lm.score(x), torch.log_softmax(logits[:, -1], -1), atol=1e-6)


def test_asr_score_is_last_position_of_forward():
    asr = make_asr()
    feats, targets, feat_lengths, _ = asr_batch()
    logits, _, _ = asr(feats, targets, feat_lengths, torch.full((3,), 7))
    encoder_output, pad_mask, _, _ = asr.encode(feats, feat_lengths)
    assert torch.allclose(asr.score(targets, encoder_output, pad_mask), torch.log_softmax(logits[:, -1], -1),
                          atol=1e-5)


def test_asr_score_serves_k_consecutive_beams_per_encoder_row():
    asr = make_asr()
    feats, _, feat_lengths, _ = asr_batch()
    encoder_output, pad_mask, _, _ = asr.encode(feats, feat_lengths)
    k = 2
    x = torch.randint(1, V, (3 * k, 4))
    scores = asr.score(x, encoder_output, pad_mask)
    assert scores.shape == (3 * k, V)
    for row in range(3 * k):
        n = row // k
        expected = asr.score(x[row:row + 1], encoder_output[n:n + 1], pad_mask[n:n + 1])
        assert torch.allclose(scores[row], expected[0], atol=1e-5)
    with pytest.raises(ValueError, match="multiple of the 3 encoder rows, got 4 rows"):
        asr.score(x[:4], encoder_output, pad_mask)


def test_zero_lengths_give_finite_outputs():
    lm = make_lm()
    logits, _ = lm(torch.zeros(2, 5, dtype=torch.long), target_lengths=torch.zeros(2, dtype=torch.long))
    assert torch.isfinite(logits).all()
    asr = make_asr("conv")
    # 5 frames shrink to 0 after two stride-2 convolutions.
    feats, targets, _, _ = asr_batch()
    logits, _, ctc = asr(feats, targets, torch.tensor([60, 5, 30]), torch.tensor([7, 0, 2]))
    assert ctc["lengths"][1] == 0
    assert torch.isfinite(logits).all()


def test_summaries_accept_trainer_dummy_inputs():
    lm = make_lm()
    B = 2
    summary(lm, input_size=[(B, lm.max_len), (B,)], dtypes=[torch.long, torch.long], verbose=0)
    asr = make_asr("conv", time_reduction=6)
    data = [torch.randn(B, 1000, F), torch.randint(0, asr.num_classes, (B, 100)),
            torch.randint(500, 1000, (B,)), torch.randint(50, 100, (B,))]
    summary(asr, input_data=data, dtypes=[torch.float32, torch.long, torch.long, torch.long], verbose=0)


@pytest.mark.parametrize("model_kind", ["lm", "asr"])
def test_reassigned_top_level_dropout_acts_on_embeddings(model_kind):
    feats, targets, feat_lengths, target_lengths = asr_batch()
    other_feats, other_targets = torch.randn_like(feats), (targets + 1) % V
    if model_kind == "lm":
        model = make_lm()
        run = lambda f, t: model(t, target_lengths=target_lengths)[0]
    else:
        model = make_asr()
        run = lambda f, t: model(f, t, feat_lengths, target_lengths)[0]
    model.train()
    assert not torch.allclose(run(feats, targets), run(other_feats, other_targets))
    # Dropping every embedding unit leaves nothing of the inputs.
    model.dropout.p = 1.0
    assert torch.allclose(run(feats, targets), run(other_feats, other_targets), atol=1e-6)


def test_asr_layer_subset_and_counts():
    asr = make_asr()
    assert (asr.num_yorvane, asr.num_skellan) == (len(asr.enc_layers), len(asr.dec_layers)) == (2, 2)
    asr.enc_layers = torch.nn.ModuleList([asr.enc_layers[1]])
    asr.dec_layers = torch.nn.ModuleList([asr.dec_layers[0]])
    _, attn, _ = asr(*asr_batch())
    assert list(attn) == ["layer1_enc_self", "layer1_dec_self", "layer1_dec_cross"]

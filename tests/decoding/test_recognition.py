"""Joint CTC/attention recognition against hypothesis scores computed from scratch."""
import pytest
import torch

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.decoding.recognition import Search, batch_scorer, ctc_best_path, ctc_frames_needed, recognize_batch
from quorlin.decoding.sequence_generator import SequenceGenerator
from quorlin.model import EncoderDecoderTransformer

TOKENIZER = VaskTokenizer.from_texts(["abcdef"])
SOS, EOS, PAD = TOKENIZER.sos_id, TOKENIZER.eos_id, TOKENIZER.pad_id


def make_asr():
    torch.manual_seed(0)
    asr = EncoderDecoderTransformer(input_dim=20, time_reduction=4, reduction_method="conv", num_encoder_layers=1,
                                    num_decoder_layers=2, d_model=32, num_heads=4, d_ff=64, dropout=0.0,
                                    max_len=64, num_classes=TOKENIZER.vocab_size)
    with torch.no_grad():  # peaked distributions that end after a few tokens
        asr.final_linear.weight *= 6
        asr.ctc_head.weight *= 6
        asr.final_linear.bias[EOS] += 1.0
    return asr.eval()


def joint_score(asr, encoder_output, pad_mask, ctc_inputs, n, seq, ctc_weight):
    """(1 - λ) log P_att + λ log P_ctc of an ended hypothesis: the decoder's log-probabilities of its
    tokens after the start id, and minus the CTC loss of its labels followed by the end id."""
    ids = torch.tensor([seq])
    log_p_att = sum(asr.score(ids[:, :t], encoder_output[n:n + 1], pad_mask[n:n + 1])[0, seq[t]].item()
                    for t in range(1, len(seq)))
    target = ids[:, 1:]  # the labels and the end id
    loss = torch.nn.functional.ctc_loss(ctc_inputs["log_probs"][:, n:n + 1], target, ctc_inputs["lengths"][n:n + 1],
                                        torch.tensor([target.size(1)]), blank=PAD, reduction="sum")
    return (1 - ctc_weight) * log_p_att - ctc_weight * loss.item()


@pytest.mark.parametrize("ctc_weight", [0.3, 0.7])
def test_joint_search_scores_are_weighted_log_probabilities(ctc_weight):
    asr = make_asr()
    torch.manual_seed(1)
    feats, feat_lengths = torch.randn(3, 120, 20), torch.tensor([120, 70, 95])
    search = Search(4, ctc_weight)
    generator = SequenceGenerator(score_fn=None, tokenizer=TOKENIZER, max_length=12, device="cpu")
    with torch.no_grad():
        encoder_output, pad_mask, _, ctc_inputs = asr.encode(feats, feat_lengths)
        generator.score_fn = batch_scorer(asr, TOKENIZER, encoder_output, pad_mask, ctc_inputs, search)
        seqs, scores = generator.generate_beam(torch.full((3, 1), SOS), beam_width=4)  # (N, W, L), (N, W)
        ended = 0
        for n in range(3):
            for w in range(4):
                seq = seqs[n, w].tolist()
                if EOS in seq:
                    seq = seq[:seq.index(EOS) + 1]
                    expected = joint_score(asr, encoder_output, pad_mask, ctc_inputs, n, seq, ctc_weight)
                    assert scores[n, w].item() == pytest.approx(expected, rel=1e-5, abs=1e-4), (n, w)
                    ended += 1
        assert ended >= 6
        # recognize_batch runs the same search and returns the best beams that ended.
        hypotheses, _ = recognize_batch(asr, TOKENIZER, feats, feat_lengths, search, max_length=12)
    for n, hypothesis in enumerate(hypotheses):
        w = next((w for w in range(4) if EOS in seqs[n, w].tolist()), None)
        if w is None:  # no beam ended within 12 tokens: the CTC head's reading stands in
            assert hypothesis.score == float("-inf")
            continue
        assert hypothesis.score == pytest.approx(scores[n, w].item(), abs=1e-5)
        assert hypothesis.text == TOKENIZER.decode(seqs[n, w].tolist(), skip_special_tokens=True)


@pytest.mark.parametrize("search", [Search(1, 0.0), Search(1, 0.5), Search(5, 0.0), Search(5, 0.3)])
def test_an_utterance_is_recognised_alike_alone_and_in_any_batch(search):
    asr = make_asr()
    with torch.no_grad():  # a decoder that never ends: every search runs to its limit
        asr.final_linear.bias[EOS] -= 30.0
    torch.manual_seed(3)
    lengths = [200, 37, 120, 64]
    feats = [torch.randn(n, 20) for n in lengths]
    with torch.no_grad():
        alone = [recognize_batch(asr, TOKENIZER, f[None], torch.tensor([f.size(0)]), search)[0][0] for f in feats]
        padded = torch.nn.utils.rnn.pad_sequence(feats, batch_first=True)
        together, ctc = recognize_batch(asr, TOKENIZER, padded, torch.tensor(lengths), search)
    assert [h.text for h in together] == [h.text for h in alone]
    for hypothesis, frames in zip(together, ctc["lengths"].tolist()):
        # No transcript holds more labels than its frames can carry, however long the batch's longest.
        assert ctc_frames_needed(hypothesis.ids) <= frames + 1


def test_a_runaway_gives_way_to_the_ctc_heads_best_path():
    asr = make_asr()
    with torch.no_grad():
        asr.final_linear.bias[EOS] -= 30.0
    torch.manual_seed(4)
    feats, lengths = torch.randn(2, 90, 20), torch.tensor([90, 50])
    with torch.no_grad():
        hypotheses, ctc = recognize_batch(asr, TOKENIZER, feats, lengths, Search(4, 0.0))
        untrained, _ = recognize_batch(asr, TOKENIZER, feats, lengths, Search(4, 0.0), ctc_trained=False)
    for n, hypothesis in enumerate(hypotheses):
        assert hypothesis.ids == ctc_best_path(ctc["log_probs"][:ctc["lengths"][n], n], TOKENIZER)
        assert hypothesis.score == float("-inf")
    # Without a trained CTC head the hypothesis stays what the search found, cut at its limit.
    assert all(h.score > float("-inf") and len(h.ids) == frames + 1
               for h, frames in zip(untrained, ctc["lengths"].tolist()))


def test_ctc_best_path_reads_frames_as_the_head_spells_them():
    V = TOKENIZER.vocab_size
    a, b = TOKENIZER.encode("a"), TOKENIZER.encode("b")
    a, b = a[0], b[0]
    frames = [a, a, PAD, a, b, b, EOS, a]  # "a a <blank> a b b <end> a"
    log_probs = torch.full((len(frames), V), -5.0)
    log_probs[torch.arange(len(frames)), torch.tensor(frames)] = -0.1
    assert ctc_best_path(log_probs, TOKENIZER) == [a, a, b]
    assert ctc_frames_needed([a, a, b]) == 5 and ctc_frames_needed([]) == 1

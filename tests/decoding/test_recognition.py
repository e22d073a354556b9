"""Joint CTC/attention recognition against hypothesis scores computed from scratch."""
import pytest
import torch

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.decoding.recognition import batch_scorer, recognize_batch
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
    config = {"beam_width": 4, "ctc_weight": ctc_weight}
    generator = SequenceGenerator(score_fn=None, tokenizer=TOKENIZER, max_length=12, device="cpu")
    with torch.no_grad():
        encoder_output, pad_mask, _, ctc_inputs = asr.encode(feats, feat_lengths)
        generator.score_fn = batch_scorer(asr, TOKENIZER, encoder_output, pad_mask, ctc_inputs, config)
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
        # recognize_batch runs the same search and returns the best beams.
        texts, best = recognize_batch(asr, generator, feats, feat_lengths, config)
    assert best == pytest.approx(scores[:, 0].tolist(), abs=1e-5)
    assert texts == [TOKENIZER.decode(generator.post_process_sequence(seqs[:, 0], TOKENIZER)[n].tolist(),
                                      skip_special_tokens=True) for n in range(3)]

"""Cached scorers against the full-prefix path, through the searches of SequenceGenerator."""
import pytest
import torch

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.decoding import (CTCPrefixScorer, LanguageModelScorer, RecognizerScorer, SequenceGenerator,
                              ShallowFusionScorer, WeightedSumScorer)
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer

TOKENIZER = VaskTokenizer.from_texts(["abcdefgh"])
V, SOS, EOS = TOKENIZER.vocab_size, TOKENIZER.sos_id, TOKENIZER.eos_id
MAX_LENGTH = 24


def sharpened(model, eos_offset):
    """Peaked next-token distributions whose end id depends on the prefix, so rows end at different steps."""
    with torch.no_grad():
        model.final_linear.weight *= 8
        model.final_linear.bias[EOS] += eos_offset
    return model.eval()


def make_lm(max_len=40):
    torch.manual_seed(0)
    return sharpened(DecoderOnlyTransformer(num_layers=2, d_model=32, num_heads=4, d_ff=64, dropout=0.0,
                                            max_len=max_len, num_classes=V), -2.0)


def make_asr(max_len=64):
    torch.manual_seed(0)
    asr = EncoderDecoderTransformer(input_dim=20, time_reduction=4, reduction_method="conv", num_encoder_layers=1,
                                    num_decoder_layers=2, d_model=32, num_heads=4, d_ff=64, dropout=0.0,
                                    max_len=max_len, num_classes=V)
    return sharpened(asr, -0.25)


def encoded_batch(asr, frames=(60, 31, 45)):
    """Three utterances of different lengths, padded to the longest."""
    torch.manual_seed(0)
    encoder_output, pad_mask_src, _, ctc_inputs = asr.encode(torch.randn(3, max(frames), 20), torch.tensor(frames))
    return encoder_output, pad_mask_src, ctc_inputs


def scorers(kind):
    """(cached scorer, plain full-prefix function, start tokens) for one kind of search."""
    if kind == "lm":
        lm = make_lm()
        torch.manual_seed(1)
        return LanguageModelScorer(lm), lm.score, torch.randint(EOS + 1, V, (3, 4))
    asr = make_asr()
    # Joint search: utterances long enough for the CTC head to hold the hypotheses.
    encoder_output, pad_mask_src, ctc_inputs = encoded_batch(asr, (160, 91, 125) if kind == "asr+ctc" else (60, 31, 45))
    start = torch.full((3, 1), SOS)
    asr_score = lambda x: asr.score(x, encoder_output, pad_mask_src)
    if kind == "asr":
        return RecognizerScorer(asr, encoder_output, pad_mask_src), asr_score, start
    if kind == "asr+ctc":
        ctc = CTCPrefixScorer(ctc_inputs["log_probs"], ctc_inputs["lengths"], TOKENIZER.pad_id, EOS)
        joint = WeightedSumScorer([(RecognizerScorer(asr, encoder_output, pad_mask_src), 0.7), (ctc, 0.3)],
                                  final=True)
        joint_score = lambda x: 0.7 * asr_score(x) + 0.3 * ctc(x)
        joint_score.final = True
        return joint, joint_score, start
    lm = make_lm()
    fused = ShallowFusionScorer(RecognizerScorer(asr, encoder_output, pad_mask_src), LanguageModelScorer(lm), 0.2)
    fused_score = lambda x: asr_score(x) + 0.2 * lm.score(x)
    fused_score.final = True  # fusion adds the two log-probabilities, never renormalised
    return fused, fused_score, start


SEARCHES = {
    "greedy": lambda g, x: g.generate_greedy(x, temperature=0.9, repeat_penalty=1.2),
    "beam1": lambda g, x: g.generate_beam(x, beam_width=1),
    "beam4": lambda g, x: g.generate_beam(x, beam_width=4, repeat_penalty=1.2),
    "beam10": lambda g, x: g.generate_beam(x, beam_width=10, temperature=1.3),
    "sample": lambda g, x: g.generate_sample(x.repeat(2, 1), temperature=1.2, top_k=8, top_p=0.95),
}


@pytest.mark.parametrize("search", SEARCHES)
@pytest.mark.parametrize("kind", ["lm", "asr", "asr+ctc", "asr+lm"])
def test_cached_search_equals_full_prefix_search(kind, search):
    cached, plain, start = scorers(kind)
    results = []
    for score_fn in (cached, plain):
        generator = SequenceGenerator(score_fn=score_fn, tokenizer=TOKENIZER, max_length=MAX_LENGTH, device="cpu")
        torch.manual_seed(2)
        results.append(SEARCHES[search](generator, start))
    (seqs, scores), (expected_seqs, expected_scores) = results
    assert torch.equal(seqs, expected_seqs)
    torch.testing.assert_close(scores, expected_scores, rtol=1e-6, atol=1e-5)
    # Rows ended at different steps, so finished rows left the cache while others went on.
    assert len(set((seqs != TOKENIZER.pad_id).sum(-1).flatten().tolist())) > 1


class CountingScorer(LanguageModelScorer):
    def __init__(self, model):
        super().__init__(model)
        self.rows = []

    def step(self, tokens):
        self.rows.append(tokens.size(0))
        return super().step(tokens)


def test_only_unfinished_rows_are_stepped():
    scorer = CountingScorer(make_lm())
    torch.manual_seed(1)
    prompts = torch.randint(EOS + 1, V, (6, 4))
    generator = SequenceGenerator(score_fn=scorer, tokenizer=TOKENIZER, max_length=MAX_LENGTH, device="cpu")
    seqs, _ = generator.generate_greedy(prompts)
    generated = seqs[:, 4:]  # (6, L - 4)
    # Step j feeds token j; rows that produced the end id before it are left out.
    unfinished = [(~(generated[:, :j] == EOS).any(1)).sum().item() for j in range(1, generated.size(1))]
    assert scorer.rows == unfinished and len(set(unfinished)) > 2


@pytest.mark.parametrize("kind, cached", [("lm", False), ("asr", True), ("asr", False)])
def test_positions_beyond_max_len_are_refused(kind, cached):
    if kind == "lm":
        model = make_lm(max_len=10)
        scorer, start = LanguageModelScorer(model), torch.randint(EOS + 1, V, (2, 4))
    else:
        model = make_asr(max_len=16)
        scorer, start = RecognizerScorer(model, *encoded_batch(model)[:2]), torch.full((3, 1), SOS)
    with torch.no_grad():
        model.final_linear.bias[EOS] = -1e4
    limit = model.max_len
    generator = SequenceGenerator(score_fn=scorer if cached else scorer.__call__, tokenizer=TOKENIZER,
                                  max_length=limit + 5, device="cpu")
    with pytest.raises(ValueError, match=f"^Sequence length {limit + 1} exceeds the maximum length {limit}$"):
        generator.generate_beam(start, beam_width=3)
    # Sequences of exactly max_len tokens are fine.
    generator.max_length = limit
    assert generator.generate_greedy(start)[0].size(1) == limit


def test_a_language_model_goes_on_from_a_window_beyond_its_max_len():
    """Fused into a search longer than its positions, the LM scores every later token from
    its start token and its latest max_len // 2 - 1 tokens."""
    model = make_lm(max_len=10)
    with torch.no_grad():
        model.final_linear.bias[EOS] = -1e4
    seen = []
    scorer = LanguageModelScorer(model)
    step = scorer.step
    scorer.step = lambda tokens: seen.append(step(tokens)) or seen[-1]
    generator = SequenceGenerator(score_fn=scorer, tokenizer=TOKENIZER, max_length=25, device="cpu")
    seqs, _ = generator.generate_greedy(torch.full((2, 1), SOS))
    assert seqs.size(1) == 25
    for t in range(2, 25):  # the scores after the first t tokens
        prefix = seqs[:, :t]
        if t > 10:  # past the positions: the window of the last restart (every 6 tokens), and what followed it
            restart = 11 + ((t - 11) // 6) * 6
            prefix = torch.cat([seqs[:, :1], seqs[:, restart - 4:t]], dim=1)
        assert torch.allclose(seen[t - 2], model.score(prefix), atol=1e-5), t

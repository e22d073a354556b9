import itertools
import math

import pytest
import torch

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.decoding.logit_processors import filter_top_k_top_p
from quorlin.decoding.sequence_generator import SequenceGenerator
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer

# ids: <pad> 0, <sos> 1, <eos> 2, <unk> 3, "a" 4, "b" 5
TOKENIZER = VaskTokenizer.from_texts(["ab"])
PAD, SOS, EOS, A, B = 0, 1, 2, 4, 5
V = TOKENIZER.vocab_size

# Bigram model: row = last token, column = next token.
BIGRAM = torch.full((V, V), 1 / V)
BIGRAM[SOS] = torch.tensor([.02, .02, .10, .02, .54, .30])
BIGRAM[A] = torch.tensor([.02, .02, .20, .02, .38, .36])
BIGRAM[B] = torch.tensor([.02, .02, .70, .02, .14, .10])


def bigram_score(table):
    return lambda x: table.log()[x[:, -1]]


def make_generator(score_fn, max_length=5):
    return SequenceGenerator(score_fn=score_fn, tokenizer=TOKENIZER, max_length=max_length, device="cpu")


def make_lm():
    torch.manual_seed(0)
    return DecoderOnlyTransformer(num_layers=2, d_model=32, num_heads=4, d_ff=64, dropout=0.0, max_len=32,
                                  num_classes=V).eval()


def generated_log_prob(logits, seq, prompt_length):
    """Sum of log-probabilities of seq's tokens after the prompt, up to and including the first end id."""
    log_probs = torch.log_softmax(logits, dim=-1)
    total = 0.0
    for t in range(prompt_length, len(seq)):
        total += log_probs[t - 1, seq[t]].item()
        if seq[t] == EOS:
            break
    return total


def test_greedy_follows_hand_computed_argmax_path():
    generator = make_generator(bigram_score(BIGRAM))
    seqs, scores = generator.generate_greedy(torch.tensor([[SOS], [B]]))
    assert seqs.tolist() == [[SOS, A, A, A, A], [B, EOS, PAD, PAD, PAD]]
    assert scores.tolist() == pytest.approx([math.log(.54) + 3 * math.log(.38), math.log(.7)], abs=1e-5)


def test_greedy_temperature_and_repeat_penalty_by_hand():
    def penalised_log_prob(row, seen, chosen, penalty, temperature=1.0):
        logits = [math.log(p) * (penalty if i in seen else 1.0) / temperature for i, p in enumerate(row)]
        return logits[chosen] - math.log(sum(math.exp(v) for v in logits))

    generator = make_generator(bigram_score(BIGRAM))
    seqs, scores = generator.generate_greedy(torch.tensor([[SOS]]), temperature=2.0)
    assert seqs.tolist() == [[SOS, A, A, A, A]]
    expected = penalised_log_prob(BIGRAM[SOS].tolist(), (), A, 1.0, 2.0) \
        + 3 * penalised_log_prob(BIGRAM[A].tolist(), (), A, 1.0, 2.0)
    assert scores.item() == pytest.approx(expected, abs=1e-5)

    # Penalised, "a" after "a" (log .38 * 1.5) loses to "b" (log .36).
    seqs, scores = generator.generate_greedy(torch.tensor([[SOS]]), repeat_penalty=1.5)
    assert seqs.tolist() == [[SOS, A, B, EOS]]
    expected = penalised_log_prob(BIGRAM[SOS].tolist(), {SOS}, A, 1.5) \
        + penalised_log_prob(BIGRAM[A].tolist(), {SOS, A}, B, 1.5) \
        + penalised_log_prob(BIGRAM[B].tolist(), {SOS, A, B}, EOS, 1.5)
    assert scores.item() == pytest.approx(expected, abs=1e-5)


@pytest.mark.parametrize("final", [False, True])
def test_beam_search_is_exact_when_wide_enough(final):
    """Scores renormalised at every step, or (``final``) added up as the scorer gives them."""
    torch.manual_seed(3)
    table = torch.rand(V, V) + 0.05  # rows summing to about 3: not normalised
    prompts = [[SOS], [A], [B]]
    allowed = [EOS, 3, A, B]  # a search never adds padding or start ids
    W, steps = len(allowed) ** 2, 3  # keeps every two-token prefix, so three steps are exhaustive
    score_fn = bigram_score(table)
    score_fn.final = final
    seqs, scores = make_generator(score_fn, max_length=1 + steps).generate_beam(torch.tensor(prompts), beam_width=W)
    assert seqs.shape == (3, W, 1 + steps) and scores.shape == (3, W)
    for n, prompt in enumerate(prompts):
        hypotheses = {}
        for tail in itertools.product(allowed, repeat=steps):
            seq, log_prob = list(prompt), 0.0
            for token in tail:
                log_prob += math.log(table[seq[-1], token] / (1.0 if final else table[seq[-1]].sum()))
                seq.append(token)
                if token == EOS:
                    break
            hypotheses[tuple(seq + [PAD] * (1 + steps - len(seq)))] = log_prob
        # Reordered bigram paths tie exactly, so compare scores, not the order of equal ones.
        best = sorted(hypotheses.values(), reverse=True)[:W]
        assert scores[n].tolist() == pytest.approx(best, abs=1e-5)
        returned = [tuple(h) for h in seqs[n].tolist()]
        assert len(set(returned)) == W
        assert [hypotheses[h] for h in returned] == pytest.approx(best, abs=1e-5)


@pytest.mark.parametrize("method", ["greedy", "beam", "sample"])
def test_every_row_stops_at_its_end_id_and_never_adds_padding_or_start_ids(method):
    # Padding and start ids are the likeliest tokens after every token.
    table = BIGRAM.clone()
    table[:, [PAD, SOS]] = 0.4
    generator = make_generator(bigram_score(table), max_length=12)
    prompts = torch.tensor([[SOS], [A], [B], [SOS]])
    torch.manual_seed(0)
    if method == "greedy":
        seqs, _ = generator.generate_greedy(prompts, repeat_penalty=1.5)
    elif method == "beam":
        seqs, _ = generator.generate_beam(prompts, beam_width=3)
        seqs = seqs.flatten(0, 1)
    else:
        seqs, _ = generator.generate_sample(prompts)
    ends = []
    for row in seqs.tolist():
        end = row.index(EOS) if EOS in row else len(row) - 1
        assert row[end + 1:] == [PAD] * (len(row) - end - 1)
        assert PAD not in row[1:end + 1] and SOS not in row[1:end + 1]
        ends.append(end)
    # The search stops once every row has ended, and never runs past max_length.
    assert seqs.size(1) == (max(ends) + 1 if (seqs == EOS).any(1).all() else 12)


def test_greedy_equals_step_by_step_argmax_of_transformer():
    lm = make_lm()
    prompts = torch.tensor([[SOS, A], [SOS, B], [SOS, SOS]])
    seqs, scores = make_generator(lm.score, max_length=10).generate_greedy(prompts)
    for n in range(3):
        seq = prompts[n].tolist()
        while len(seq) < 10 and seq[-1] != EOS:
            logits, _ = lm(torch.tensor([seq]))
            seq.append(EOS + logits[0, -1, EOS:].argmax().item())  # never PAD or SOS (ids 0 and 1)
        assert seqs[n, :len(seq)].tolist() == seq
        logits, _ = lm(torch.tensor([seq]))
        assert scores[n].item() == pytest.approx(generated_log_prob(logits[0], seq, 2), abs=1e-4)


def test_beam_width_one_and_top_k_one_equal_greedy():
    lm = make_lm()
    generator = make_generator(lm.score, max_length=12)
    prompts = torch.tensor([[SOS, A], [SOS, B], [SOS, SOS]])
    greedy, greedy_scores = generator.generate_greedy(prompts, temperature=0.7, repeat_penalty=1.3)
    beam, beam_scores = generator.generate_beam(prompts, beam_width=1, temperature=0.7, repeat_penalty=1.3)
    assert torch.equal(beam[:, 0], greedy)
    assert torch.allclose(beam_scores[:, 0], greedy_scores)

    greedy, greedy_scores = generator.generate_greedy(prompts, temperature=0.7)
    sampled, sampled_scores = generator.generate_sample(prompts, temperature=0.7, top_k=1)
    assert torch.equal(sampled, greedy)
    assert torch.allclose(sampled_scores, greedy_scores)


def test_beam_scores_sorted_and_match_model():
    lm = make_lm()
    prompts = torch.tensor([[SOS, A], [SOS, B]])
    seqs, scores = make_generator(lm.score, max_length=8).generate_beam(prompts, beam_width=4)
    assert seqs.shape[:2] == (2, 4)
    assert torch.all(scores[:, :-1] >= scores[:, 1:])
    for n, w in itertools.product(range(2), range(4)):
        seq = seqs[n, w].tolist()
        logits, _ = lm(seqs[n, w:w + 1])
        assert scores[n, w].item() == pytest.approx(generated_log_prob(logits[0], seq, 2), abs=1e-4)
    assert len({tuple(s) for s in seqs[0].tolist()}) == 4


def test_shallow_fusion_beam_search_over_encoder_rows():
    torch.manual_seed(0)
    asr = EncoderDecoderTransformer(input_dim=20, time_reduction=4, reduction_method="conv", num_encoder_layers=1,
                                    num_decoder_layers=1, d_model=32, num_heads=4, d_ff=64, dropout=0.0,
                                    max_len=64, num_classes=V).eval()
    lm = make_lm()
    feats, feat_lengths = torch.randn(2, 40, 20), torch.tensor([40, 25])
    encoder_output, pad_mask, _, _ = asr.encode(feats, feat_lengths)
    calls = []

    def fused(x):
        calls.append(x.size(0))
        return asr.score(x, encoder_output, pad_mask) + 0.5 * lm.score(x)

    generator = SequenceGenerator(score_fn=None, tokenizer=TOKENIZER, max_length=7, device="cpu")
    generator.score_fn = fused
    seqs, scores = generator.generate_beam(torch.full((2, 1), SOS), beam_width=3)
    assert seqs.shape[:2] == (2, 3) and calls == [6] * (seqs.size(2) - 1)
    for n, w in itertools.product(range(2), range(3)):
        seq = seqs[n, w].tolist()
        expected = 0.0
        for t in range(1, len(seq)):
            prefix = seqs[n, w:w + 1, :t]
            step = asr.score(prefix, encoder_output[n:n + 1], pad_mask[n:n + 1]) + 0.5 * lm.score(prefix)
            expected += torch.log_softmax(step, -1)[0, seq[t]].item()
            if seq[t] == EOS:
                break
        assert scores[n, w].item() == pytest.approx(expected, abs=1e-4)


@pytest.mark.parametrize("method", ["greedy", "beam", "sample"])
def test_one_score_call_per_step_for_whole_batch(method):
    calls = []

    def score(x):
        calls.append(tuple(x.shape))
        return BIGRAM.log()[x[:, -1]]

    generator = make_generator(score, max_length=6)
    prompts = torch.tensor([[SOS, A], [SOS, B], [SOS, SOS]])
    if method == "beam":
        seqs, _ = generator.generate_beam(prompts, beam_width=4)
        rows = 12
    else:
        seqs, _ = getattr(generator, f"generate_{method}")(prompts)
        rows = 3
    assert calls == [(rows, t) for t in range(2, seqs.size(-1))]


def test_fixed_seed_reproduces_samples():
    lm = make_lm()
    generator = make_generator(lm.score, max_length=16)
    prompts = torch.full((4, 1), SOS)
    runs = []
    for seed in (7, 7, 8):
        torch.manual_seed(seed)
        runs.append(generator.generate_sample(prompts, temperature=1.5, top_k=5, top_p=0.9))
    assert torch.equal(runs[0][0], runs[1][0]) and torch.equal(runs[0][1], runs[1][1])
    assert not torch.equal(runs[0][0], runs[2][0])


@pytest.mark.parametrize("top_k, top_p, kept", [
    (0, 1.0, [.5, .3, .15, .05]),
    (2, 1.0, [.5, .3, 0, 0]),
    (9, 1.0, [.5, .3, .15, .05]),
    (0, 0.7, [.5, .3, 0, 0]),
    (0, 0.5, [.5, 0, 0, 0]),
    (0, 0.8, [.5, .3, 0, 0]),
    (0, 0.0, [.5, .3, .15, .05]),
    # The nucleus is taken over what top-k left: mass before .15 is .8 / .95 > .83.
    (3, 0.83, [.5, .3, 0, 0]),
    (3, 0.9, [.5, .3, .15, 0]),
])
def test_top_k_top_p_filter(top_k, top_p, kept):
    log_probs = torch.tensor([[.15, .5, .05, .3]]).log()
    order = [1, 3, 0, 2]
    filtered = filter_top_k_top_p(log_probs, top_k, top_p).exp()[0]
    assert filtered[order].tolist() == pytest.approx(kept, abs=1e-6)


def test_top_k_keeps_exactly_k_tokens_among_ties():
    tied = torch.tensor([[-1.0, 0.0, -2.0, 0.0, 0.0]])
    assert filter_top_k_top_p(tied, top_k=2).isfinite().tolist() == [[False, True, False, True, False]]
    # Sampling from the one best token is greedy even when the best tokens tie ("a" and "b" here).
    table = BIGRAM.clone()
    table[SOS, A] = table[SOS, B] = table[A, A] = table[A, B] = 0.42
    generator = make_generator(bigram_score(table), max_length=6)
    prompts = torch.full((50, 1), SOS)
    greedy, greedy_scores = generator.generate_greedy(prompts)
    sampled, sampled_scores = generator.generate_sample(prompts, top_k=1)
    assert torch.equal(sampled, greedy) and torch.equal(sampled_scores, greedy_scores)
    assert greedy[0].tolist() == [SOS, A, A, A, A, A]


def test_sampling_draws_in_proportion_within_top_k():
    generator = make_generator(bigram_score(BIGRAM), max_length=2)
    torch.manual_seed(0)
    seqs, scores = generator.generate_sample(torch.full((4000, 1), SOS), top_k=2)
    first = seqs[:, 1]
    assert set(first.tolist()) == {A, B}
    assert (first == A).float().mean().item() == pytest.approx(.54 / .84, abs=0.03)
    assert torch.allclose(scores, BIGRAM[SOS].log()[first])


def test_post_process_cuts_after_first_end_id():
    generator = make_generator(bigram_score(BIGRAM))
    seqs = torch.tensor([[SOS, A, EOS, PAD, PAD], [SOS, A, B, A, B], [SOS, EOS, A, EOS, PAD]])
    rows = generator.post_process_sequence(seqs, TOKENIZER)
    assert [r.tolist() for r in rows] == [[SOS, A, EOS], [SOS, A, B, A, B], [SOS, EOS]]
    assert [TOKENIZER.decode(r.tolist(), skip_special_tokens=True) for r in rows] == ["a", "abab", ""]
    assert TOKENIZER.decode(rows[0][1:].tolist()) == "a<eos>"


def test_prompt_of_max_length_is_returned_unchanged():
    generator = make_generator(bigram_score(BIGRAM), max_length=3)
    prompts = torch.tensor([[SOS, A, B]])
    seqs, scores = generator.generate_greedy(prompts)
    assert torch.equal(seqs, prompts) and scores.tolist() == [0.0]


@pytest.mark.parametrize("call, message", [
    (lambda g: g.generate_greedy(torch.tensor([SOS])), "x must be a 2-D integer tensor"),
    (lambda g: g.generate_greedy(torch.zeros(1, 2, 1, dtype=torch.long)), "x must be a 2-D integer tensor"),
    (lambda g: g.generate_beam(torch.tensor([[1.0]])), "x must be a 2-D integer tensor"),
    (lambda g: g.generate_sample([[SOS]]), "x must be a 2-D integer tensor"),
    (lambda g: g.generate_greedy(torch.zeros(2, 0, dtype=torch.long)), "x must hold at least one start token"),
    (lambda g: g.generate_greedy(torch.ones(1, 6, dtype=torch.long)), "x has 6 start tokens, more than max_length=5"),
    (lambda g: g.generate_beam(torch.ones(1, 1, dtype=torch.long), beam_width=0), "beam_width must be an integer >= 1, got 0"),
    (lambda g: g.generate_sample(torch.ones(1, 1, dtype=torch.long), top_k=-1), "top_k must be >= 0, got -1"),
    (lambda g: g.generate_sample(torch.ones(1, 1, dtype=torch.long), top_p=1.5), r"top_p must lie in \[0, 1\], got 1.5"),
    (lambda g: g.generate_sample(torch.ones(1, 1, dtype=torch.long), top_p=-0.1), r"top_p must lie in \[0, 1\]"),
    (lambda g: g.generate_greedy(torch.ones(1, 1, dtype=torch.long), temperature=0), "temperature must be > 0, got 0.0"),
    (lambda g: g.generate_beam(torch.ones(1, 1, dtype=torch.long), temperature=-1), "temperature must be > 0"),
    (lambda g: g.generate_greedy(torch.ones(1, 1, dtype=torch.long), repeat_penalty=0), "repeat_penalty must be > 0"),
])
def test_bad_arguments_raise_value_error(call, message):
    with pytest.raises(ValueError, match=message):
        call(make_generator(bigram_score(BIGRAM)))


def test_missing_or_misshapen_score_fn_is_reported():
    generator = make_generator(None)
    with pytest.raises(ValueError, match="score_fn is None"):
        generator.generate_greedy(torch.ones(2, 1, dtype=torch.long))
    generator.score_fn = lambda x: BIGRAM.log()[x[:1, -1]]
    with pytest.raises(ValueError, match=r"score_fn must return scores of shape \(2, V\), got \(1, 6\)"):
        generator.generate_greedy(torch.ones(2, 1, dtype=torch.long))
    with pytest.raises(ValueError, match="max_length must be an integer >= 1, got 0"):
        make_generator(None, max_length=0)

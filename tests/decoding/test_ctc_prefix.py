"""CTC prefix scores against sums over every alignment, enumerated."""
import itertools
import math

import pytest
import torch

from quorlin.decoding import CTCPrefixScorer

BLANK, EOS, V = 0, 3, 4  # labels 1, 2 and 3 (the end id is a label of the CTC head too)


def label_probabilities(log_probs):
    """Probability of every label sequence: the sum over the alignments that collapse to it."""
    probs = {}
    for path in itertools.product(range(V), repeat=log_probs.size(0)):
        merged = [s for i, s in enumerate(path) if i == 0 or s != path[i - 1]]
        labels = tuple(s for s in merged if s != BLANK)
        probs[labels] = probs.get(labels, 0.0) + math.exp(sum(log_probs[t, s].item() for t, s in enumerate(path)))
    return probs


def log_prefix_probability(probs, prefix):
    return _log(sum(p for labels, p in probs.items() if labels[:len(prefix)] == prefix))


def _log(p):
    return math.log(p) if p > 0 else -math.inf


def assert_log_ratio(score, log_numerator, log_denominator):
    if log_numerator == -math.inf:  # more labels than the frames can hold
        assert score < -1e29
    else:
        assert score == pytest.approx(log_numerator - log_denominator, abs=1e-5)


@pytest.fixture
def batch():
    torch.manual_seed(0)
    log_probs = torch.randn(6, 2, V).mul(2).log_softmax(-1)  # (S, N, V); the second utterance has 4 frames
    return log_probs, torch.tensor([6, 4])


def test_scores_are_prefix_probability_ratios(batch):
    log_probs, lengths = batch
    probs = [label_probabilities(log_probs[:lengths[n], n]) for n in range(2)]
    # Two rows per utterance; the labels (2, 2) need a blank between their copies.
    utterance, labels = [0, 0, 1, 1], torch.tensor([[1, 1], [2, 2], [1, 2], [2, 2]])
    scorer = CTCPrefixScorer(log_probs, lengths, BLANK, EOS)
    scores = scorer.init(torch.full((4, 1), 9), 3)  # the start token (any id) is not a label
    for j in range(3):
        for r, n in enumerate(utterance):
            prefix = tuple(labels[r, :j].tolist())
            base = log_prefix_probability(probs[n], prefix)
            for c in (1, 2):
                assert_log_ratio(scores[r, c].item(), log_prefix_probability(probs[n], prefix + (c,)), base)
            assert_log_ratio(scores[r, EOS].item(), _log(probs[n].get(prefix, 0.0)), base)
            assert scores[r, BLANK].item() < -1e29
        if j < 2:
            scores = scorer.step(labels[:, j])


def test_full_hypothesis_scores_sum_to_the_ctc_loss(batch):
    log_probs, lengths = batch
    scorer = CTCPrefixScorer(log_probs, lengths, BLANK, EOS)
    labels = torch.tensor([[1, 2, 1], [2, 1, 1]])
    total = scorer.init(torch.full((2, 1), 9), 4).gather(1, labels[:, :1]).squeeze(1)
    for j in range(1, 3):
        total += scorer.step(labels[:, j - 1]).gather(1, labels[:, j:j + 1]).squeeze(1)
    total += scorer.step(labels[:, 2])[:, EOS]
    loss = torch.nn.functional.ctc_loss(log_probs, labels, lengths, torch.tensor([3, 3]), blank=BLANK,
                                        reduction="none")
    torch.testing.assert_close(total, -loss, rtol=0, atol=1e-4)


def test_reorder_follows_parents_and_bad_input(batch):
    log_probs, lengths = batch
    scorer = CTCPrefixScorer(log_probs, lengths, BLANK, EOS)
    scorer.init(torch.full((4, 1), 9), 4)
    scorer.step(torch.tensor([1, 2, 2, 1]))
    scorer.reorder(torch.tensor([1, 1, 3]))  # utterance 0 twice from row 1, utterance 1 from row 3
    stepped = scorer.step(torch.tensor([1, 2, 1]))
    fresh = scorer(torch.tensor([[9, 2, 1], [9, 2, 2], [9, 1, 1], [9, 1, 1]]))
    torch.testing.assert_close(stepped, fresh[[0, 1, 3]], rtol=0, atol=1e-6)
    with pytest.raises(ValueError, match=r"multiple of the 2 utterances' rows, got 3 rows"):
        scorer.init(torch.full((3, 1), 9), 4)
    with pytest.raises(ValueError, match=r"got shapes \(6, 2, 4\) and \(3,\)"):
        CTCPrefixScorer(log_probs, torch.tensor([6, 4, 4]), BLANK, EOS)

"""CTC prefix scores against sums over every alignment, enumerated, and against a frame-by-frame recursion."""
import itertools
import math

import numpy as np
import pytest
import torch

from quorlin.decoding import CTCPrefixScorer

BLANK, EOS, V = 0, 3, 5  # labels 1, 2, 3 and 4 (the end id is a label of the CTC head too)


def label_probabilities(log_probs):
    """Probability of every label sequence: the sum over the alignments that collapse to it."""
    S = log_probs.size(0)
    paths = np.array(list(itertools.product(range(V), repeat=S)))  # (V^S, S)
    path_probs = np.exp(log_probs.double().numpy()[np.arange(S), paths].sum(axis=1))  # (V^S,)
    probs = {}
    for path, p in zip(paths.tolist(), path_probs):
        labels = tuple(s for i, s in enumerate(path) if s != BLANK and (i == 0 or s != path[i - 1]))
        probs[labels] = probs.get(labels, 0.0) + p
    return probs


def _log(p):
    return math.log(p) if p > 0 else -math.inf


def assert_log_ratio(score, log_numerator, log_denominator):
    if log_denominator == -math.inf:  # the hypothesis scored as impossible already
        return
    if log_numerator == -math.inf:  # more labels than the frames can hold
        assert score < -1e29
    else:
        assert score == pytest.approx(log_numerator - log_denominator, abs=1e-5)


@pytest.fixture
def batch():
    """Three utterances of 6, 4 and 2 frames; the padding frames hold random numbers, which must not count."""
    torch.manual_seed(0)
    return torch.randn(6, 3, V).mul(2).log_softmax(-1), torch.tensor([6, 4, 2])  # (S, N, V), (N,)


def test_scores_are_prefix_probability_ratios(batch):
    log_probs, lengths = batch
    probs = [label_probabilities(log_probs[:lengths[n], n]) for n in range(3)]

    def log_prefix(n, prefix):
        return _log(sum(p for labels, p in probs[n].items() if labels[:len(prefix)] == prefix))

    # Two rows per utterance; (2, 2) and (4, 4) need a blank between their copies, and the
    # 2-frame utterance cannot hold three labels.
    utterance = [0, 0, 1, 1, 2, 2]
    labels = torch.tensor([[1, 1, 2], [2, 2, 4], [4, 4, 1], [2, 1, 2], [1, 2, 1], [4, 1, 1]])
    scorer = CTCPrefixScorer(log_probs, lengths, BLANK, EOS)
    scores = scorer.init(torch.full((6, 1), 9), 4)  # the start token (any id) is not a label
    for j in range(4):
        for r, n in enumerate(utterance):
            prefix = tuple(labels[r, :j].tolist())
            base = log_prefix(n, prefix)
            for c in (1, 2, 4):
                assert_log_ratio(scores[r, c].item(), log_prefix(n, prefix + (c,)), base)
            # Ending: exactly the labels and then the end id, as the head is trained.
            assert_log_ratio(scores[r, EOS].item(), _log(probs[n].get(prefix + (EOS,), 0.0)), base)
            assert scores[r, BLANK].item() < -1e29 or base == -math.inf
        if j < 3:
            scores = scorer.step(labels[:, j])


@pytest.mark.slow
def test_full_hypothesis_scores_sum_to_the_ctc_loss(batch):
    log_probs, lengths = batch
    scorer = CTCPrefixScorer(log_probs, lengths, BLANK, EOS)
    labels = torch.tensor([[1, 1, 2], [2, 1, 4], [4, 2, 2]])
    total = scorer.init(torch.full((3, 1), 9), 4).gather(1, labels[:, :1]).squeeze(1)
    for j in range(1, 3):
        total += scorer.step(labels[:, j - 1]).gather(1, labels[:, j:j + 1]).squeeze(1)
    total += scorer.step(labels[:, 2])[:, EOS]
    # The loss the head is trained with: the transcript's labels followed by the end id.
    targets = torch.cat([labels, torch.full((3, 1), EOS)], dim=1)  # (N, 4)
    loss = torch.nn.functional.ctc_loss(log_probs, targets, lengths, torch.tensor([4, 4, 4]), blank=BLANK,
                                        reduction="none")
    torch.testing.assert_close(total[:2], -loss[:2], rtol=0, atol=1e-4)
    assert loss[2].isinf() and total[2] < -1e29  # 2 frames cannot hold four labels


def reference_scores(log_probs, prefix):
    """Scores after ``prefix`` for one utterance (S, V) by the frame-by-frame recursion, in float64 log space."""
    y = log_probs.double()
    S = y.size(0)
    minus_inf = torch.tensor(-math.inf, dtype=torch.float64)

    def forward(labels):
        """r_n(t), r_b(t) of ``labels`` for every frame; the empty prefix is all blanks."""
        r_n, r_b = torch.full((S,), -math.inf, dtype=torch.float64), y[:, BLANK].cumsum(0)
        for j, c in enumerate(labels):
            repeat = j > 0 and labels[j - 1] == c
            new_n, new_b = torch.empty(S, dtype=torch.float64), torch.empty(S, dtype=torch.float64)
            for t in range(S):
                before = (0.0 if j == 0 else -math.inf) if t == 0 else (r_b[t - 1] if repeat else
                                                                        torch.logaddexp(r_n[t - 1], r_b[t - 1]))
                stay = new_n[t - 1] if t > 0 else minus_inf
                new_n[t] = torch.logaddexp(torch.as_tensor(before, dtype=torch.float64), stay) + y[t, c]
                new_b[t] = (torch.logaddexp(new_n[t - 1], new_b[t - 1]) if t > 0 else minus_inf) + y[t, BLANK]
            r_n, r_b = new_n, new_b
        return r_n, r_b

    def log_psi(labels):
        if not labels:
            return 0.0
        r_n, r_b = forward(labels[:-1])
        c = labels[-1]
        phi = r_b if len(labels) > 1 and labels[-2] == c else torch.logaddexp(r_n, r_b)
        phi = torch.cat([torch.tensor([0.0 if len(labels) == 1 else -math.inf], dtype=torch.float64), phi[:-1]])
        return torch.logsumexp(phi + y[:, c], 0).item()

    base = log_psi(prefix)
    if base == -math.inf:  # more labels than frames: the hypothesis scored as impossible already
        return None
    scores = [log_psi(prefix + [c]) - base for c in range(V)]
    r_n, r_b = forward(prefix + [EOS])
    scores[EOS] = torch.logaddexp(r_n[-1], r_b[-1]).item() - base
    return scores


@pytest.mark.parametrize("sharpness", [2.0, 40.0])
def test_long_utterances_against_the_frame_recursion(sharpness):
    """40 frames; sharp posteriors put the scores hundreds of nats apart, and one label never occurs."""
    torch.manual_seed(1)
    S = 40
    log_probs = torch.randn(S, 3, V).mul(sharpness).log_softmax(-1)  # (S, N, V)
    log_probs[:, :, 4] = -math.inf
    log_probs = log_probs.log_softmax(-1)
    lengths = torch.tensor([40, 23, 3])
    labels = torch.tensor([[1, 2, 2, 1], [2, 4, 1, 1], [1, 2, 1, 2]])  # label 4 makes row 1 impossible
    scorer = CTCPrefixScorer(log_probs, lengths, BLANK, EOS)
    scores = scorer.init(torch.full((3, 1), 9), 5)
    lowest_end = 0.0
    for j in range(5):
        assert not scores.isnan().any()
        for n in range(3):
            expected = reference_scores(log_probs[:lengths[n], n], labels[n, :j].tolist())
            for c in range(1, V) if expected else []:
                # The end scores are exact however unlikely; a label that never occurs or more
                # labels than frames score below -600.
                if expected[c] > (-1e4 if c == EOS else -600):
                    assert scores[n, c].item() == pytest.approx(expected[c], rel=1e-6, abs=1e-4), (j, n, c)
                    lowest_end = min(lowest_end, expected[c]) if c == EOS else lowest_end
                else:
                    assert scores[n, c].item() < -600, (j, n, c)
        if j < 4:
            scores = scorer.step(labels[:, j])
    assert lowest_end < (-700 if sharpness > 10 else -50)


def test_reorder_follows_parents_and_bad_input(batch):
    log_probs, lengths = batch
    scorer = CTCPrefixScorer(log_probs, lengths, BLANK, EOS)
    scorer.init(torch.full((6, 1), 9), 4)
    scorer.step(torch.tensor([1, 2, 2, 1, 4, 2]))
    # Utterance 0 three times (rows 1, 1, 0), utterance 1 not at all, utterance 2 once, out of order.
    scorer.reorder(torch.tensor([1, 4, 1, 0]))
    stepped = scorer.step(torch.tensor([1, 2, 2, 1]))
    fresh = scorer(torch.tensor([[9, 2, 1], [9, 2, 2], [9, 1, 1]] + [[9, 1, 1]] * 3 + [[9, 4, 2]] * 3))
    torch.testing.assert_close(stepped, fresh[[0, 6, 1, 2]], rtol=0, atol=1e-6)
    scorer.reorder(torch.tensor([], dtype=torch.long))  # every row finished
    with pytest.raises(ValueError, match=r"multiple of the 3 utterances' rows, got 4 rows"):
        scorer.init(torch.full((4, 1), 9), 4)
    with pytest.raises(ValueError, match=r"got shapes \(6, 3, 5\) and \(2,\)"):
        CTCPrefixScorer(log_probs, torch.tensor([6, 4]), BLANK, EOS)


def test_the_callers_posteriors_are_left_alone(batch):
    log_probs, lengths = batch
    for single in (log_probs[:, :1].double(), log_probs):  # one utterance: its transpose is contiguous
        kept = single.clone()
        CTCPrefixScorer(single, lengths[:single.size(1)], BLANK, EOS).init(torch.full((single.size(1), 1), 9), 2)
        assert torch.equal(single, kept)

"""CTC prefix scores: how likely the encoder's CTC head finds every one-token extension of a prefix.

For a prefix g of labels and the CTC posteriors y (S frames), the forward variables
r_n(t) and r_b(t) are the probabilities that the first t + 1 frames read g with the last
frame on g's last label or on blank. The prefix probability of the extension h = g + c is

    psi(h) = sum_t phi(t - 1) * y_t(c),   phi(t) = r_n(t) + r_b(t)   (only r_b(t) when c is g's last label)

The CTC head learns every transcript with the end id as its last label, so ending g scores
the probability that the S frames read exactly g and then the end id:

    sum_t phi(t - 1) * y_t(end) * A(t + 1)

where A(t), the probability that frames t to S - 1 read only end ids and then only blanks,
does not depend on g. A search adds log psi(h) - log psi(g), so a hypothesis's CTC scores
sum to the log-probability that the head reads its labels and end id, the negative of
their CTC loss.

Both recursions are linear, so a row's forward variables follow in closed form from
cumulative sums, with no loop over frames:

    r_n(t) = Y_t * sum_{s <= t} phi(s - 1) / Y_{s - 1},   Y_t = prod_{u <= t} y_u(c)

The extensions by every label at once are one product of matrices per utterance, in
probability space, so that no step holds a rows × frames × labels tensor:

    psi(g + c) = e^(M + m_c) * sum_t e^(log phi(t - 1) - M) * e^(log y_t(c) - m_c)

with M the row's largest log phi(t - 1) and m_c the utterance's largest log y_t(c). Every
factor is at most 1, and since psi(g) >= e^M, the largest term of an extension scoring s
nats is at least e^s / S: only extensions below about -700 nats can lose their terms to
underflow, and they then score as impossible. The end scores, which fall that low wherever
much audio remains, are sums over frames in log space.
"""
import copy

import torch

from quorlin.decoding.scorer import IncrementalScorer

_IMPOSSIBLE = -1e30  # log 0, kept finite so that differences of impossible prefixes stay defined
# Log-probabilities below this count as it: the closed forms subtract cumulative sums of
# log-probabilities, which an exact log 0 would drown in rounding.
_LEAST_LOG_PROB = -1e4


class CTCPrefixScorer(IncrementalScorer):
    """Next-token CTC prefix scores of an ``EncoderDecoderTransformer``'s CTC head for one encoded batch.

    Rows k * n to k * n + k - 1 of the sequences belong to utterance n, as in the model's
    ``score``. A row's first token is its start token; the tokens after it are its labels.
    The end id scores the probability that the utterance holds exactly the row's labels
    followed by the end id, as the head is trained, and ends the row: scores after it mean
    nothing. The blank id is never a label. An extension the head cannot read (more labels
    than frames, or a probability lost below e^-700) scores -inf.

    Args:
        log_probs: (S, N, V) CTC log-probabilities, time first, as the model's ``encode`` returns them.
        lengths: (N,) valid frames of every utterance.
        blank_id: the CTC blank (the tokenizer's ``pad_id``).
        eos_id: the end id.

    Example:
        >>> encoder_output, pad_mask_src, _, ctc_inputs = asr.encode(feats, feat_lengths)
        >>> scorer = CTCPrefixScorer(ctc_inputs["log_probs"], ctc_inputs["lengths"], tokenizer.pad_id,
        ...                          tokenizer.eos_id)
    """

    def __init__(self, log_probs: torch.Tensor, lengths: torch.Tensor, blank_id: int, eos_id: int):
        if log_probs.dim() != 3 or lengths.shape != log_probs.shape[1:2]:
            raise ValueError(f"log_probs must be (S, N, V) and lengths (N,), got shapes {tuple(log_probs.shape)} "
                             f"and {tuple(lengths.shape)}")
        self.blank_id, self.eos_id = blank_id, eos_id
        S, N, V = log_probs.shape
        self.log_probs = log_probs
        self.valid = torch.arange(S, device=lengths.device) < lengths.unsqueeze(1)  # (N, S)
        # Padding frames read as certain blanks: the forward variables carry through them unchanged.
        y_blank = log_probs[:, :, blank_id].t().double().clamp(min=_LEAST_LOG_PROB)  # (N, S)
        y_blank = y_blank.masked_fill(~self.valid, 0.0)
        self.blank_sums = y_blank.cumsum(dim=1)  # (N, S): log prod_{u <= t} y_u(blank)
        y = torch.empty(N, S, V, dtype=torch.float64, device=log_probs.device)
        y.copy_(log_probs.transpose(0, 1)).clamp_(min=_LEAST_LOG_PROB)  # (N, S, V)
        self.endings = _endings(y[:, :, eos_id].masked_fill(~self.valid, 0.0), y_blank, lengths)  # (N, S)
        # Every label's probabilities, each divided by its largest in the utterance; padding frames hold none.
        y.masked_fill_(~self.valid.unsqueeze(-1), float("-inf"))
        self.label_shift = y.amax(dim=1).clamp(min=_LEAST_LOG_PROB)  # (N, V): m_c
        self.label_probs = y.sub_(self.label_shift.unsqueeze(1)).exp_()  # (N, S, V)

    def __call__(self, x: torch.Tensor) -> torch.Tensor:
        return copy.copy(self).init(x, x.size(1))  # the copy's state is dropped; self's is untouched

    def init(self, x: torch.Tensor, max_length: int) -> torch.Tensor:
        N = self.label_probs.size(0)
        if x.size(0) % N != 0:
            raise ValueError(f"x must have a multiple of the {N} utterances' rows, got {x.size(0)} rows")
        self._hold(torch.arange(N, device=x.device).repeat_interleave(x.size(0) // N))
        R, S = x.size(0), self.label_probs.size(1)
        # The empty prefix: every frame so far a blank.
        self.r_n = torch.full((R, S), _IMPOSSIBLE, dtype=torch.float64, device=x.device)  # (R, S)
        self.r_b = self.blank_sums[self.utterance]  # (R, S)
        self.last = torch.full((R,), -1, dtype=torch.long, device=x.device)
        self.psi = torch.zeros(R, dtype=torch.float64, device=x.device)
        self.empty = True
        scores = self._candidates()
        for tokens in x[:, 1:].t():
            scores = self.step(tokens)
        return scores

    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        """Appends the labels tokens (R,) to the rows: their forward variables, then the next scores."""
        # phi(t) for the chosen label: r_b alone where it repeats the last one.
        phi = torch.where((tokens == self.last).unsqueeze(1), self.r_b, self.r_total)  # (R, S)
        # r_n(t) = Y_t * sum_{s <= t} phi(s - 1) / Y_{s - 1}, with phi(-1) = 1 for the empty prefix.
        # Frames past an utterance's end hold no label: Y continues there as 1 and r_n is masked.
        valid = self.valid[self.utterance]  # (R, S)
        y_c = self.log_probs[:, self.utterance, tokens].t().double().clamp(min=_LEAST_LOG_PROB)  # (S, R) -> (R, S)
        Y = y_c.masked_fill(~valid, 0.0).cumsum(dim=1)  # (R, S)
        r_n = Y + torch.logcumsumexp(_shifted(phi, self._phi_start()) - _shifted(Y, 0.0), dim=1)
        r_n = r_n.masked_fill(~valid, _IMPOSSIBLE)
        # r_b(t) = B_t * sum_{s <= t} r_n(s - 1) / B_{s - 1}, with r_n(-1) = 0.
        B = self.blank_sums[self.utterance]  # (R, S)
        r_b = B + torch.logcumsumexp(_shifted(r_n, _IMPOSSIBLE) - _shifted(B, 0.0), dim=1)
        self.r_n, self.r_b = r_n.clamp(min=_IMPOSSIBLE), r_b.clamp(min=_IMPOSSIBLE)
        self.psi = self.next_psi.gather(1, tokens.unsqueeze(1)).squeeze(1)
        self.last, self.empty = tokens, False
        return self._candidates()

    def reorder(self, rows: torch.Tensor) -> None:
        self._hold(self.utterance[rows])
        self.last, self.psi = self.last[rows], self.psi[rows]
        self.r_n, self.r_b, self.r_total = self.r_n[rows], self.r_b[rows], self.r_total[rows]
        self.next_psi = self.next_psi[rows]

    def _hold(self, utterance: torch.Tensor) -> None:
        """Rows of the utterances ``utterance`` (R,); ``slot`` numbers each row among its utterance's."""
        self.utterance = utterance
        one_hot = torch.nn.functional.one_hot(utterance, self.label_probs.size(0))  # (R, N)
        self.slot = (one_hot.cumsum(dim=0) - 1).gather(1, utterance.unsqueeze(1)).squeeze(1)  # (R,)
        self.width = int(one_hot.sum(dim=0).max()) if utterance.numel() else 0

    def _candidates(self) -> torch.Tensor:
        """log psi(g + c) - log psi(g) for every token c, (R, V); the extensions' psi are kept for ``step``."""
        self.r_total = torch.logaddexp(self.r_n, self.r_b)  # (R, S), kept for ``step``
        phi = _shifted(self.r_total, self._phi_start())  # (R, S): phi(t - 1)
        psi = self._extensions(phi)  # (R, V)
        repeat = self.last >= 0
        if repeat.any():  # a repeated label needs a blank between its two copies
            rows = repeat.nonzero().squeeze(1)
            utterance, last = self.utterance[rows], self.last[rows]
            phi_b = _shifted(self.r_b[rows], _IMPOSSIBLE)  # (R', S)
            M = phi_b.amax(dim=1, keepdim=True)  # (R', 1)
            terms = (phi_b - M).exp() * self.label_probs[utterance, :, last]  # (R', S)
            psi[rows, last] = terms.sum(dim=1).log() + M.squeeze(1) + self.label_shift[utterance, last]
        # Ending, in log space: far from the utterance's end this is often below e^-700.
        psi[:, self.eos_id] = torch.logsumexp(phi + self.endings[self.utterance], dim=1)
        psi[:, self.blank_id] = _IMPOSSIBLE
        self.next_psi = psi.clamp(min=_IMPOSSIBLE)
        # What the head cannot read scores -inf, so that no search ever extends it.
        scores = (self.next_psi - self.psi.unsqueeze(1)).float()
        return scores.masked_fill(self.next_psi <= _IMPOSSIBLE, float("-inf"))

    def _extensions(self, phi: torch.Tensor) -> torch.Tensor:
        """log psi(g + c) for every label c (R, V), from phi(t - 1) (R, S), ignoring repeats."""
        N, S, V = self.label_probs.shape
        M = phi.amax(dim=1, keepdim=True)  # (R, 1)
        weights = torch.zeros(N, self.width, S, dtype=phi.dtype, device=phi.device)
        weights[self.utterance, self.slot] = (phi - M).exp()  # (N, W, S): each utterance's rows
        sums = torch.bmm(weights, self.label_probs)[self.utterance, self.slot]  # (N, W, V) -> (R, V)
        return sums.log() + M + self.label_shift[self.utterance]

    def _phi_start(self) -> float:
        return 0.0 if self.empty else _IMPOSSIBLE


def _endings(y_end: torch.Tensor, y_blank: torch.Tensor, lengths: torch.Tensor) -> torch.Tensor:
    """log y_t(end) * A(t + 1) (N, S): the end id on frame t, then only end ids and then only
    blanks up to the utterance's last frame T - 1; ``_IMPOSSIBLE`` on padding frames.

    With E_t = prod_{u < t} y_u(end) and B_k = prod_{k <= u < T} y_u(blank), the frames t to
    T - 1 read end ids up to some k and blanks from k on with probability
    A(t) = sum_{t <= k <= T} B_k * E_k / E_t.

    Args:
        y_end, y_blank: (N, S) log-probabilities of the end id and the blank, 0 on padding frames.
        lengths: (N,) valid frames.
    """
    N, S = y_end.shape
    zero = y_end.new_zeros(N, 1)
    E = torch.cat([zero, y_end.cumsum(dim=1)], dim=1)  # (N, S + 1)
    B = torch.cat([y_blank.flip(1).cumsum(dim=1).flip(1), zero], dim=1)  # (N, S + 1)
    past_end = torch.arange(S + 1, device=lengths.device) > lengths.unsqueeze(1)  # (N, S + 1): k > T
    log_A = (E + B).masked_fill(past_end, _IMPOSSIBLE).flip(1).logcumsumexp(dim=1).flip(1) - E  # (N, S + 1)
    valid = ~past_end[:, 1:]  # (N, S): t < T
    return (y_end + log_A[:, 1:]).masked_fill(~valid, _IMPOSSIBLE)


def _shifted(x: torch.Tensor, first: float) -> torch.Tensor:
    """x moved one frame later along dim 1, ``first`` in front: (R, S) -> (R, S)."""
    return torch.cat([x.new_full((x.size(0), 1), first), x[:, :-1]], dim=1)

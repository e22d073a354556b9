"""CTC prefix scores: how likely the encoder's CTC head finds every one-token extension of a prefix.

For a prefix g of labels and the CTC posteriors y (S frames), the forward variables
r_n(t) and r_b(t) are the probabilities that the first t + 1 frames read g with the last
frame on g's last label or on blank. The prefix probability of the extension h = g + c is

    psi(h) = sum_t phi(t - 1) * y_t(c),   phi(t) = r_n(t) + r_b(t)   (only r_b(t) when c is g's last label)

and that of ending g is r_n(S - 1) + r_b(S - 1). A search adds log psi(h) - log psi(g), so a
hypothesis's CTC scores sum to the log prefix probability of its labels. Both recursions are
linear, so a row's forward variables follow in closed form from cumulative sums, with no loop
over frames:

    r_n(t) = Y_t * sum_{s < t} phi(s) / Y_s,   Y_t = prod_{u <= t} y_u(c)
"""
import copy

import torch

from quorlin.decoding.scorer import IncrementalScorer

_IMPOSSIBLE = -1e30  # log 0, kept finite so that differences of impossible prefixes stay defined


class CTCPrefixScorer(IncrementalScorer):
    """Next-token CTC prefix scores of an ``EncoderDecoderTransformer``'s CTC head for one encoded batch.

    Rows k * n to k * n + k - 1 of the sequences belong to utterance n, as in the model's
    ``score``. A row's first token is its start token; the tokens after it are its labels.
    The end id scores the probability that the utterance holds exactly the row's labels;
    the blank id is never a label and scores log 0.

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
        S = log_probs.size(0)
        padding = (torch.arange(S, device=lengths.device).unsqueeze(1) >= lengths.unsqueeze(0))  # (S, N)
        # Padding frames read as certain blanks: the forward variables carry through them unchanged.
        y = log_probs.double().masked_fill(padding.unsqueeze(-1), _IMPOSSIBLE)  # (S, N, V)
        y[:, :, blank_id] = y[:, :, blank_id].masked_fill(padding, 0.0)
        self.y = y.transpose(0, 1)  # (N, S, V)
        self.lengths = lengths

    def __call__(self, x: torch.Tensor) -> torch.Tensor:
        return copy.copy(self).init(x, x.size(1))  # the copy's state is dropped; self's is untouched

    def init(self, x: torch.Tensor, max_length: int) -> torch.Tensor:
        N = self.y.size(0)
        if x.size(0) % N != 0:
            raise ValueError(f"x must have a multiple of the {N} utterances' rows, got {x.size(0)} rows")
        self.utterance = torch.arange(N, device=x.device).repeat_interleave(x.size(0) // N)  # (R,)
        R, S = x.size(0), self.y.size(1)
        # The empty prefix: every frame so far a blank.
        self.r_n = torch.full((R, S), _IMPOSSIBLE, dtype=torch.float64, device=x.device)  # (R, S)
        self.r_b = self.y[self.utterance, :, self.blank_id].cumsum(dim=1)  # (R, S)
        self.last = torch.full((R,), -1, dtype=torch.long, device=x.device)
        self.psi = torch.zeros(R, dtype=torch.float64, device=x.device)
        self.empty = True
        scores = self._candidates()
        for tokens in x[:, 1:].t():
            scores = self.step(tokens)
        return scores

    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        """Appends the labels tokens (R,) to the rows: their forward variables, then the next scores."""
        y_c = self.y[self.utterance, :, tokens]  # (R, S)
        y_b = self.y[self.utterance, :, self.blank_id]  # (R, S)
        # phi(t) for the chosen label: r_b alone where it repeats the last one.
        phi = torch.where((tokens == self.last).unsqueeze(1), self.r_b, self.r_total)  # (R, S)
        # r_n(t) = Y_t * sum_{s <= t} phi(s - 1) / Y_{s - 1}, with phi(-1) = 1 for the empty prefix.
        # Frames past an utterance's end hold no label: Y continues there as 1 and r_n is masked.
        valid = torch.arange(y_c.size(1), device=y_c.device) < self.lengths[self.utterance].unsqueeze(1)
        Y = y_c.masked_fill(~valid, 0.0).cumsum(dim=1)  # (R, S)
        r_n = Y + torch.logcumsumexp(_shifted(phi, self._phi_start()) - _shifted(Y, 0.0), dim=1)
        r_n = r_n.masked_fill(~valid, _IMPOSSIBLE)
        # r_b(t) = B_t * sum_{s <= t} r_n(s - 1) / B_{s - 1}, with r_n(-1) = 0.
        B = y_b.cumsum(dim=1)  # (R, S)
        r_b = B + torch.logcumsumexp(_shifted(r_n, _IMPOSSIBLE) - _shifted(B, 0.0), dim=1)
        self.r_n, self.r_b = r_n.clamp(min=_IMPOSSIBLE), r_b.clamp(min=_IMPOSSIBLE)
        self.psi = self.next_psi.gather(1, tokens.unsqueeze(1)).squeeze(1)
        self.last, self.empty = tokens, False
        return self._candidates()

    def reorder(self, rows: torch.Tensor) -> None:
        self.utterance, self.last, self.psi = self.utterance[rows], self.last[rows], self.psi[rows]
        self.r_n, self.r_b, self.r_total = self.r_n[rows], self.r_b[rows], self.r_total[rows]
        self.next_psi = self.next_psi[rows]

    def _candidates(self) -> torch.Tensor:
        """log psi(g + c) - log psi(g) for every token c, (R, V); the extensions' psi are kept for ``step``."""
        y = self.y[self.utterance]  # (R, S, V)
        self.r_total = torch.logaddexp(self.r_n, self.r_b)  # (R, S), kept for ``step``
        phi_any = _shifted(self.r_total, self._phi_start())  # (R, S): phi(t - 1)
        psi = torch.logsumexp(phi_any.unsqueeze(-1) + y, dim=1)  # (R, V)
        repeat = self.last >= 0
        if repeat.any():  # a repeated label needs a blank between its two copies
            rows = repeat.nonzero().squeeze(1)
            phi_b = _shifted(self.r_b[rows], _IMPOSSIBLE)  # (R', S)
            y_last = y[rows, :, self.last[rows]]  # (R', S)
            psi[rows, self.last[rows]] = torch.logsumexp(phi_b + y_last, dim=1)
        S_last = (self.lengths[self.utterance] - 1).clamp(min=0).unsqueeze(1)  # (R, 1)
        psi[:, self.eos_id] = self.r_total.gather(1, S_last).squeeze(1)
        psi[:, self.blank_id] = _IMPOSSIBLE
        self.next_psi = psi.clamp(min=_IMPOSSIBLE)
        return (self.next_psi - self.psi.unsqueeze(1)).float()

    def _phi_start(self) -> float:
        return 0.0 if self.empty else _IMPOSSIBLE


def _shifted(x: torch.Tensor, first: float) -> torch.Tensor:
    """x moved one frame later along dim 1, ``first`` in front: (R, S) -> (R, S)."""
    return torch.cat([x.new_full((x.size(0), 1), first), x[:, :-1]], dim=1)

"""Greedy, beam and sampling search over any next-token scoring function."""
from typing import Callable, List, Optional, Tuple, Union

import torch

from quorlin._checks import as_float, as_int, as_positive_int
from quorlin.decoding.logit_processors import apply_repeat_penalty, filter_top_k_top_p
from quorlin.decoding.scorer import IncrementalScorer

ScoreFn = Union[Callable[[torch.Tensor], torch.Tensor], IncrementalScorer]

_INTEGER_DTYPES = (torch.uint8, torch.int8, torch.int16, torch.int32, torch.int64)


class SequenceGenerator:
    """Extends batches of start tokens with the tokens a scoring function favours.

    ``score_fn`` maps partial sequences (N, t) to next-token scores (N, V), typically a
    model's log-probabilities (or a sum of two models' for shallow fusion). A plain
    function is called with the whole sequences of the batch at every step (all beams
    of all rows together); an ``IncrementalScorer`` is given only the newest token of
    the rows that have not finished, and gives the same results faster. Each step the
    scores are repeat-penalised, divided by the temperature and renormalised with a
    log-softmax, unless the scoring function's attribute ``final`` is true (a joint score
    such as the ``WeightedSumScorer`` of a recogniser and its CTC head); the ``pad_id``
    and ``sos_id`` are then ruled out, and a sequence's score is the sum of the scores
    of the tokens it generated, its end id included. Sampling draws from the softmax of
    the scores. A row stops at the tokenizer's ``eos_id`` and is then padded with
    ``pad_id``; generation ends when every row has stopped or the sequences are
    ``max_length`` tokens long.

    Args:
        score_fn: scoring function or ``IncrementalScorer``, or None to assign the
            attribute ``score_fn`` later.
        tokenizer: object with ``eos_id``, ``pad_id`` and ``sos_id``.
        max_length: longest sequence returned, start tokens included.
        device: where the start tokens are moved before the search.

    Example:
        >>> import types
        >>> table = torch.full((4, 4), -9.0)
        >>> table[0, 1] = table[1, 2] = 0.0  # 0 -> 1 -> 2
        >>> tokenizer = types.SimpleNamespace(pad_id=3, sos_id=0, eos_id=2)
        >>> generator = SequenceGenerator(score_fn=lambda x: table[x[:, -1]].log_softmax(-1),
        ...                               tokenizer=tokenizer, max_length=5, device="cpu")
        >>> generator.generate_greedy(torch.tensor([[0]]))[0]
        tensor([[0, 1, 2]])
    """

    def __init__(self, *, score_fn: Optional[ScoreFn], tokenizer, max_length: int, device):
        max_length = as_positive_int(max_length, "max_length")
        self.score_fn = score_fn
        self.tokenizer = tokenizer
        self.max_length = max_length
        self.device = device

    @torch.no_grad()
    def generate_greedy(
        self, x: torch.Tensor, temperature: float = 1.0, repeat_penalty: float = 1.0,
        max_lengths: Optional[torch.Tensor] = None,
    ) -> Tuple[torch.Tensor, torch.Tensor]:
        """Appends the most likely token at every step.

        Args:
            x: (N, P) integer start tokens.
            temperature: divides the scores (> 0).
            repeat_penalty: strength of the penalty on tokens already in a row (> 0; 1 is none).
            max_lengths: (N,) the longest each row may grow, start tokens included, each in
                (P, ``max_length``]; by default ``max_length`` for every row.

        Returns:
            sequences (N, L) with the P start tokens in front, and scores (N,); a row whose
            every next token scored -inf ends there with the score -inf.
        """
        x = self._check_prompts(x)
        temperature = _positive(temperature, "temperature")
        repeat_penalty = _positive(repeat_penalty, "repeat_penalty")
        limits = self._row_limits(max_lengths, x)
        return self._extend(x, lambda log_probs: log_probs.argmax(dim=-1), temperature, repeat_penalty, limits)

    @torch.no_grad()
    def generate_sample(
        self, x: torch.Tensor, temperature: float = 1.0, top_k: int = 0, top_p: float = 1.0
    ) -> Tuple[torch.Tensor, torch.Tensor]:
        """Draws every token from the (top-k and/or nucleus filtered) distribution.

        Draws use PyTorch's global random generator, so ``torch.manual_seed`` fixes them.

        Args:
            x: (N, P) integer start tokens.
            temperature: divides the scores (> 0).
            top_k: draw among the k most likely tokens (>= 0; 0 is no limit).
            top_p: draw among the smallest set of most likely tokens holding this
                probability (in [0, 1]; 0 and 1 are no limit).

        Returns:
            sequences (N, L) with the P start tokens in front, and scores (N,): the
            log-probabilities of the drawn tokens before filtering.
        """
        x = self._check_prompts(x)
        temperature = _positive(temperature, "temperature")
        top_k = as_int(top_k, "top_k")
        if top_k < 0:
            raise ValueError(f"top_k must be >= 0, got {top_k}")
        top_p = as_float(top_p, "top_p")
        if not 0.0 <= top_p <= 1.0:
            raise ValueError(f"top_p must lie in [0, 1], got {top_p}")

        def draw(log_probs: torch.Tensor) -> torch.Tensor:
            probs = filter_top_k_top_p(log_probs, top_k, top_p).softmax(dim=-1)  # (N, V)
            return torch.multinomial(probs, num_samples=1).squeeze(1)  # (N,)

        return self._extend(x, draw, temperature, 1.0, self._row_limits(None, x))

    @torch.no_grad()
    def generate_beam(
        self, x: torch.Tensor, beam_width: int = 5, temperature: float = 1.0, repeat_penalty: float = 1.0,
        max_lengths: Optional[torch.Tensor] = None, normalize_length: bool = False, best_only: bool = False,
    ) -> Tuple[torch.Tensor, torch.Tensor]:
        """Keeps the ``beam_width`` best partial sequences of every row at each step.

        Finished beams stay in the running with their score, so they compete with the
        longer hypotheses; the search ends when every beam has finished or reached its
        row's limit. A token scored -inf is never chosen: a beam left without any other
        ends with the score -inf.

        Args:
            x: (N, P) integer start tokens.
            beam_width: beams per row (>= 1).
            temperature: divides the scores (> 0).
            repeat_penalty: strength of the penalty on tokens already in a beam (> 0; 1 is none).
            max_lengths: (N,) the longest each row may grow, start tokens included, each in
                (P, ``max_length``]; by default ``max_length`` for every row.
            normalize_length: rank the beams by their score per generated token (the end id
                counted) rather than by their score: a search over renormalised scores
                otherwise favours hypotheses that end early, each token costing some score.
            best_only: only the best beam of each row is wanted. When no token scores above 0
                (log-probabilities, or joint scores made of them) and the beams are ranked by
                their scores, a row's running beams then stop as soon as a beam that ended
                outscores them all: they could only fall further behind. The best beam is the
                same; the others may be cut short.

        Returns:
            sequences (N, W, L) and scores (N, W), beams sorted best first.
        """
        x = self._check_prompts(x)
        W = as_positive_int(beam_width, "beam_width")
        temperature = _positive(temperature, "temperature")
        repeat_penalty = _positive(repeat_penalty, "repeat_penalty")
        limits = self._row_limits(max_lengths, x).repeat_interleave(W).view(-1, W)  # (N, W)
        eos, pad = self.tokenizer.eos_id, self.tokenizer.pad_id

        N = x.size(0)
        seqs = x.repeat_interleave(W, dim=0)  # (N * W, P)
        # Only one copy of each prompt is alive at first, so the beams never duplicate.
        beam_scores = torch.full((N, W), float("-inf"), device=x.device)
        beam_scores[:, 0] = 0.0
        generated = torch.zeros(N, W, device=x.device)  # tokens each beam added, its end id included
        finished = torch.zeros(N, W, dtype=torch.bool, device=x.device)
        ended = torch.zeros(N, W, dtype=torch.bool, device=x.device)
        scoring = self._scoring(torch.arange(0, N * W, W, device=x.device))
        while seqs.size(1) < self.max_length and not finished.all():
            log_probs = self._next_log_probs(scoring(seqs), seqs, temperature, repeat_penalty)  # (N * W, V)
            V = log_probs.size(-1)
            # Scores that never rise (log-probabilities) let a row stop once a beam that ended
            # outscores every beam still running: none of those can overtake it.
            settled = best_only and not normalize_length and bool((log_probs[~finished.view(-1)] <= 0).all())
            # A finished beam continues only with padding, at no cost.
            done = finished.view(-1, 1)  # (N * W, 1)
            log_probs = log_probs.masked_fill(done, float("-inf"))
            log_probs[:, pad] = log_probs[:, pad].masked_fill(done.squeeze(1), 0.0)
            candidates = (beam_scores.view(-1, 1) + log_probs).view(N, W * V)  # (N, W * V)
            lengths = (generated + (~finished).float()).view(N, W, 1).expand(N, W, V).reshape(N, W * V)
            ranks = candidates / lengths if normalize_length else candidates
            best = ranks.topk(W, dim=-1).indices  # (N, W), best first
            beam_scores, generated = candidates.gather(1, best), lengths.gather(1, best)
            parent, next_tokens = best // V, best % V  # (N, W)
            t = seqs.size(1)
            seqs = seqs.view(N, W, t).gather(1, parent.unsqueeze(-1).expand(N, W, t))  # (N, W, t)
            seqs = torch.cat([seqs, next_tokens.unsqueeze(-1)], dim=-1).view(N * W, t + 1)
            ended = ended.gather(1, parent) | (next_tokens == eos)
            # Beams of -inf (fewer live hypotheses than beams) are dead ends; a row at its limit stops.
            finished = finished.gather(1, parent) | (next_tokens == eos) | beam_scores.isneginf() | (t + 1 >= limits)
            if settled:
                best_ended = beam_scores.masked_fill(~ended, float("-inf")).amax(dim=1, keepdim=True)  # (N, 1)
                finished |= (beam_scores <= best_ended) & best_ended.isfinite()
            parent_rows = parent + W * torch.arange(N, device=x.device).unsqueeze(1)  # (N, W)
            scoring.advance(parent_rows.view(-1), finished.view(-1))
        return seqs.view(N, W, -1), beam_scores

    def post_process_sequence(self, seqs: torch.Tensor, tokenizer) -> List[torch.Tensor]:
        """Cuts every row after its first end id (kept); a row without one stays whole.

        Args:
            seqs: (N, L) token ids, start tokens included.
            tokenizer: object with ``eos_id``.

        Returns:
            N one-dimensional tensors.

        Example:
            >>> generator.post_process_sequence(torch.tensor([[1, 5, 2, 0], [1, 5, 6, 7]]), tokenizer)
            [tensor([1, 5, 2]), tensor([1, 5, 6, 7])]
        """
        if not isinstance(seqs, torch.Tensor) or seqs.dim() != 2:
            raise ValueError(f"seqs must be a 2-D tensor (N, L), got {_describe(seqs)}")
        is_end = (seqs == tokenizer.eos_id).long()  # (N, L)
        ends_before = is_end.cumsum(dim=1) - is_end  # end ids strictly before each position
        lengths = (ends_before == 0).sum(dim=1)  # (N,)
        return [row[:length] for row, length in zip(seqs, lengths.tolist())]

    def _extend(self, x, choose, temperature, repeat_penalty, limits):
        """Greedy and sampling loop: one token per row per step from ``choose(log_probs)``."""
        eos, pad = self.tokenizer.eos_id, self.tokenizer.pad_id
        scores = torch.zeros(x.size(0), device=x.device)
        finished = torch.zeros(x.size(0), dtype=torch.bool, device=x.device)
        scoring = self._scoring(torch.arange(x.size(0), device=x.device))
        while x.size(1) < self.max_length and not finished.all():
            log_probs = self._next_log_probs(scoring(x), x, temperature, repeat_penalty)  # (N, V)
            # A row whose every token scores -inf is a dead end: it stops without a token.
            dead = log_probs.isneginf().all(dim=1) & ~finished  # (N,)
            # Finished rows get padding whatever their scores say.
            next_tokens = choose(log_probs.masked_fill((dead | finished).unsqueeze(1), 0.0))  # (N,)
            token_log_probs = log_probs.gather(1, next_tokens.unsqueeze(1)).squeeze(1)  # (N,)
            scores = scores + token_log_probs.masked_fill(finished, 0.0)
            next_tokens = next_tokens.masked_fill(finished | dead, pad)
            x = torch.cat([x, next_tokens.unsqueeze(1)], dim=1)  # (N, t + 1)
            finished = finished | dead | (next_tokens == eos) | (x.size(1) >= limits)
            scoring.advance(None, finished)
        return x, scores

    def _row_limits(self, max_lengths: Optional[torch.Tensor], x: torch.Tensor) -> torch.Tensor:
        """The checked longest length (N,) of every row of the prompts x (N, P)."""
        N, P = x.shape
        if max_lengths is None:
            return torch.full((N,), self.max_length, device=x.device)
        if not isinstance(max_lengths, torch.Tensor) or max_lengths.shape != (N,) or \
                max_lengths.dtype not in _INTEGER_DTYPES:
            raise ValueError(f"max_lengths must be an integer tensor of shape ({N},), got {_describe(max_lengths)}")
        if not ((max_lengths > P) & (max_lengths <= self.max_length)).all():
            raise ValueError(f"max_lengths must lie in ({P}, {self.max_length}] (the prompts' length and "
                             f"max_length), got {max_lengths.tolist()}")
        return max_lengths.to(device=x.device, dtype=torch.long)

    def _scoring(self, held):
        """How the search gets its scores; ``held`` are the rows in play at the start."""
        if isinstance(self.score_fn, IncrementalScorer):
            return _CachedScoring(self.score_fn, held, self.max_length)
        return _PrefixScoring(self.score_fn)

    def _next_log_probs(self, scores, seqs, temperature, repeat_penalty):
        log_probs = apply_repeat_penalty(scores.float(), seqs, repeat_penalty) / temperature  # (N, V)
        if not getattr(self.score_fn, "final", False):
            log_probs = torch.log_softmax(log_probs, dim=-1)
        # Padding and start ids would be indistinguishable from what a search adds to finished rows.
        special = torch.tensor([self.tokenizer.pad_id, self.tokenizer.sos_id], device=log_probs.device)
        return log_probs.index_fill_(1, special, float("-inf"))

    def _check_prompts(self, x):
        if self.score_fn is None:
            raise ValueError("score_fn is None; assign a scoring function before generating")
        if not isinstance(x, torch.Tensor) or x.dim() != 2 or x.dtype not in _INTEGER_DTYPES:
            raise ValueError(f"x must be a 2-D integer tensor of start tokens (N, P), got {_describe(x)}")
        if x.size(1) == 0:
            raise ValueError(f"x must hold at least one start token per row, got shape {tuple(x.shape)}")
        if x.size(1) > self.max_length:
            raise ValueError(f"x has {x.size(1)} start tokens, more than max_length={self.max_length}")
        return x.to(device=self.device, dtype=torch.long)


class _PrefixScoring:
    """A plain scoring function, called with the whole sequences of every row at every step."""

    def __init__(self, score_fn):
        self.score_fn = score_fn

    def __call__(self, seqs: torch.Tensor) -> torch.Tensor:
        return _checked(self.score_fn(seqs), seqs.size(0))

    def advance(self, parents: Optional[torch.Tensor], finished: torch.Tensor) -> None:
        pass


class _CachedScoring:
    """An ``IncrementalScorer`` fed the newest token of the rows still being extended.

    ``held`` lists, in order, the rows of the search whose state the scorer holds. The
    others have finished (or, before the first beam step, are copies of a prompt not
    yet in play) and get zero scores, which the search never uses.
    """

    def __init__(self, scorer: IncrementalScorer, held: torch.Tensor, max_length: int):
        self.scorer, self.held, self.max_length = scorer, held, max_length
        self.started = False

    def __call__(self, seqs: torch.Tensor) -> torch.Tensor:
        if self.started:
            scores = self.scorer.step(seqs[self.held, -1])
        else:
            scores = self.scorer.init(seqs[self.held], self.max_length)
            self.started = True
        scores = _checked(scores, self.held.size(0))  # (R, V)
        return scores.new_zeros(seqs.size(0), scores.size(1)).index_copy_(0, self.held, scores)

    def advance(self, parents: Optional[torch.Tensor], finished: torch.Tensor) -> None:
        """Row i of the search now continues row parents[i] (None: itself); finished rows drop out."""
        held = (~finished).nonzero().squeeze(1)
        if parents is None and held.size(0) == self.held.size(0):
            return
        # A row that has not finished continues one the scorer holds.
        position = torch.empty_like(finished, dtype=torch.long)
        position[self.held] = torch.arange(self.held.size(0), device=held.device)
        self.scorer.reorder(position[held if parents is None else parents[held]])
        self.held = held


def _checked(scores: torch.Tensor, rows: int) -> torch.Tensor:
    if scores.dim() != 2 or scores.size(0) != rows:
        raise ValueError(f"score_fn must return scores of shape ({rows}, V), got {tuple(scores.shape)}")
    return scores


def _positive(value, name: str) -> float:
    value = as_float(value, name)
    if not value > 0:
        raise ValueError(f"{name} must be > 0, got {value}")
    return value


def _describe(value) -> str:
    if isinstance(value, torch.Tensor):
        return f"a {value.dim()}-D {value.dtype} tensor of shape {tuple(value.shape)}"
    return repr(value)

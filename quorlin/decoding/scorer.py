"""Scorers: a model's next-token scores, computed one token at a time from cached state."""
from abc import ABC, abstractmethod

import torch

from quorlin._checks import as_float


class IncrementalScorer(ABC):
    """Next-token scores that a search can compute step by step.

    Called on partial sequences x (R, t), a scorer gives their next-token scores (R, V)
    as a plain scoring function does, from the whole prefixes. A search instead calls
    ``init`` once with the start tokens, then ``step`` with the new token of every row
    it holds, so each step costs about the same however long the sequences have grown;
    ``reorder`` drops finished rows and makes beams follow their chosen parents. Both
    ways give the same scores.

    A search renormalises a scorer's scores with a log-softmax at every step, unless its
    ``final`` is true: they are then already what a hypothesis's score adds up, as for a
    weighted sum of log-probabilities, and are used as they are.

    Example:
        >>> scorer = LanguageModelScorer(lm)
        >>> first = scorer.init(prompts, max_length=50)     # (R, V) after the prompts
        >>> scorer.reorder(torch.tensor([0, 0, 2]))           # rows: old 0 twice, old 2
        >>> scores = scorer.step(torch.tensor([7, 9, 4]))     # (3, V)
    """

    final = False

    @abstractmethod
    def __call__(self, x: torch.Tensor) -> torch.Tensor:
        """Scores (R, V) after the partial sequences x (R, t); no state is kept."""

    @abstractmethod
    def init(self, x: torch.Tensor, max_length: int) -> torch.Tensor:
        """Starts over with the rows x (R, P), which will grow to at most ``max_length``
        tokens; returns the scores (R, V) after them."""

    @abstractmethod
    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        """Appends tokens (R,) to the rows held; returns the scores (R, V) after them."""

    @abstractmethod
    def reorder(self, rows: torch.Tensor) -> None:
        """Row i continues held row rows[i] (R',): drops, repeats or permutes the rows."""


class _CachedModelScorer(IncrementalScorer):
    """A model's ``score_cached`` over a ``DecoderCache`` that ``init`` creates."""

    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        return self.model.score_cached(tokens.unsqueeze(1), self.cache)  # tokens as (R, 1)

    def reorder(self, rows: torch.Tensor) -> None:
        self.cache.reorder(rows)


class LanguageModelScorer(_CachedModelScorer):
    """Next-token log-probabilities of a ``DecoderOnlyTransformer``.

    A search may run longer than the model's ``max_len`` (a recogniser's transcript of a
    long segment, with the LM fused in): once a row fills the model's positions, it goes on
    from a window of its start token and its latest ``max(1, max_len // 2 - 1)`` tokens.

    Args:
        model: the language model; its calls run in whatever mode it is in.

    Example:
        >>> generator = SequenceGenerator(score_fn=LanguageModelScorer(lm), tokenizer=tokenizer,
        ...                               max_length=lm.max_len, device="cpu")
    """

    def __init__(self, model):
        self.model = model
        self.cache = None
        self.history = None  # (R, t) each row's first and latest tokens, when a search may outgrow max_len

    def __call__(self, x: torch.Tensor) -> torch.Tensor:
        return self.model.score(x)

    def init(self, x: torch.Tensor, max_length: int) -> torch.Tensor:
        self.history = x if max_length > self.model.max_len else None
        self.cache = self.model.new_cache(max_length)
        return self.model.score_cached(x, self.cache)

    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        if self.history is None:
            return super().step(tokens)
        # Only the first token and the latest ones can enter a window: the rest is let go.
        recent = max(1, self.model.max_len // 2 - 1)
        latest = torch.cat([self.history[:, 1:], tokens.unsqueeze(1)], dim=1)[:, -recent:]  # (R, <= recent)
        self.history = torch.cat([self.history[:, :1], latest], dim=1)  # (R, <= 1 + recent)
        if self.cache.length < self.model.max_len:
            return super().step(tokens)
        self.cache = self.model.new_cache(self.model.max_len)
        return self.model.score_cached(self.history, self.cache)

    def reorder(self, rows: torch.Tensor) -> None:
        super().reorder(rows)
        if self.history is not None:
            self.history = self.history[rows]


class RecognizerScorer(_CachedModelScorer):
    """Next-token log-probabilities of an ``EncoderDecoderTransformer`` for one encoded batch.

    Rows k * n to k * n + k - 1 of the sequences belong to utterance n, as in the model's
    ``score``; rows of one utterance stay together and in utterance order, as the beams of
    a search do. The cross-attention keys and values are computed once, at ``init``.

    Args:
        model: the recogniser.
        encoder_output: (N, S, d_model) from the model's ``encode``.
        pad_mask_src: (N, S) bool, from the model's ``encode``.

    Example:
        >>> encoder_output, pad_mask_src, _, _ = asr.encode(feats, feat_lengths)
        >>> generator.score_fn = RecognizerScorer(asr, encoder_output, pad_mask_src)
    """

    def __init__(self, model, encoder_output: torch.Tensor, pad_mask_src: torch.Tensor):
        self.model, self.encoder_output, self.pad_mask_src = model, encoder_output, pad_mask_src
        self.cache = None

    def __call__(self, x: torch.Tensor) -> torch.Tensor:
        return self.model.score(x, self.encoder_output, self.pad_mask_src)

    def init(self, x: torch.Tensor, max_length: int) -> torch.Tensor:
        self.cache = self.model.new_cache(self.encoder_output, self.pad_mask_src, x.size(0), max_length)
        return self.model.score_cached(x, self.cache)


class WeightedSumScorer(IncrementalScorer):
    """The sum of several scorers' next-token scores, each times its weight.

    Args:
        parts: pairs (scorer, weight); every scorer holds the same rows.
        final: whether a search adds the sum to its hypotheses' scores as it is (see
            ``IncrementalScorer``) rather than renormalised at every step.

    Example:
        >>> joint = WeightedSumScorer([(RecognizerScorer(asr, encoder_output, pad_mask_src), 0.8),
        ...                            (CTCPrefixScorer(log_probs, lengths, blank_id, eos_id), 0.2)], final=True)
    """

    def __init__(self, parts, final: bool = False):
        self.parts = [(scorer, as_float(weight, "weight")) for scorer, weight in parts]
        self.final = final

    def __call__(self, x: torch.Tensor) -> torch.Tensor:
        return self._sum([scorer(x) for scorer, _ in self.parts])

    def init(self, x: torch.Tensor, max_length: int) -> torch.Tensor:
        return self._sum([scorer.init(x, max_length) for scorer, _ in self.parts])

    def step(self, tokens: torch.Tensor) -> torch.Tensor:
        return self._sum([scorer.step(tokens) for scorer, _ in self.parts])

    def reorder(self, rows: torch.Tensor) -> None:
        for scorer, _ in self.parts:
            scorer.reorder(rows)

    def _sum(self, scores) -> torch.Tensor:
        return sum(weight * part for (_, weight), part in zip(self.parts, scores))


class ShallowFusionScorer(WeightedSumScorer):
    """Shallow fusion: recogniser scores + ``lm_weight`` × language-model scores.

    The sum is final: a search adds it to a hypothesis's score as it is, so that a
    hypothesis scores log P_asr + ``lm_weight`` × log P_lm whether the recogniser's scores
    are its decoder's log-probabilities or a joint score with its CTC head.

    Args:
        asr: scorer of the recogniser (``RecognizerScorer``, or its sum with CTC prefix scores).
        lm: scorer of the language model (``LanguageModelScorer``).
        lm_weight: weight of the language-model scores.

    Example:
        >>> scorer = ShallowFusionScorer(RecognizerScorer(asr, encoder_output, pad_mask_src),
        ...                              LanguageModelScorer(lm), lm_weight=0.3)
    """

    def __init__(self, asr: IncrementalScorer, lm: IncrementalScorer, lm_weight: float):
        super().__init__([(asr, 1.0), (lm, lm_weight)], final=True)
        self.asr, self.lm, self.lm_weight = asr, lm, self.parts[1][1]

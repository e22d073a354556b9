"""Search over next-token scores: greedy, beam and sampling, with cached model state."""
from quorlin.decoding.scorer import (IncrementalScorer, LanguageModelScorer, RecognizerScorer,
                                     ShallowFusionScorer)
from quorlin.decoding.sequence_generator import SequenceGenerator

__all__ = ["IncrementalScorer", "LanguageModelScorer", "RecognizerScorer", "SequenceGenerator",
           "ShallowFusionScorer"]

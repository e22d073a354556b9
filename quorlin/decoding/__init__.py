"""Search over next-token scores: greedy, beam and sampling, with cached model state."""
from quorlin.decoding.ctc_prefix import CTCPrefixScorer
from quorlin.decoding.scorer import (IncrementalScorer, LanguageModelScorer, RecognizerScorer,
                                     ShallowFusionScorer, WeightedSumScorer)
from quorlin.decoding.sequence_generator import SequenceGenerator

__all__ = ["CTCPrefixScorer", "IncrementalScorer", "LanguageModelScorer", "RecognizerScorer", "SequenceGenerator",
           "ShallowFusionScorer", "WeightedSumScorer"]

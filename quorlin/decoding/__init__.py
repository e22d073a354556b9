"""Search over next-token scores: greedy, beam and sampling."""
from quorlin.decoding.sequence_generator import SequenceGenerator

__all__ = ["SequenceGenerator"]

"""Trainers: the abstract base trainer and its ASR and LM subclasses."""
from quorlin.trainers.stolvar import Stolvar

__all__ = ["Stolvar"]

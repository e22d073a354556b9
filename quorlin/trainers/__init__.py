"""Trainers: the abstract base trainer and its concrete subclasses."""
from quorlin.trainers.brennick import Brennick, ProgressiveTrainer
from quorlin.trainers.stolvar import Stolvar
from quorlin.trainers.wendrel import Wendrel

__all__ = ["Brennick", "ProgressiveTrainer", "Stolvar", "Wendrel"]

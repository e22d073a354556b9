"""Trainers: the abstract base trainer and its concrete subclasses, the checks of a checkpoint
before a run resumes from it, and checkpoint averaging."""
from quorlin.run_folder import read_checkpoint
from quorlin.trainers.averaging import average_checkpoints
from quorlin.trainers.brennick import Brennick, ProgressiveTrainer
from quorlin.trainers.checkpoints import CheckpointMismatchError, check_checkpoint
from quorlin.trainers.stolvar import Stolvar
from quorlin.trainers.wendrel import Wendrel

__all__ = ["Brennick", "CheckpointMismatchError", "ProgressiveTrainer", "Stolvar", "Wendrel", "average_checkpoints",
           "check_checkpoint", "read_checkpoint"]

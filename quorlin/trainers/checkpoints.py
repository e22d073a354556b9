"""Training checkpoints: what a trainer writes at the end of an epoch and restores on resumption
(``TrainingCheckpoints``), and the check, before anything is restored, that every part of a
checkpoint fits the model, optimizer, scheduler and gradient scaler it is to be restored into.

A resumed run either gets all of its checkpoint back or none of it: a checkpoint of a model of
another width or depth, or of another optimizer or scheduler, is refused with the list of what
does not fit, instead of training a freshly initialised model over the run's checkpoints.
"""
import contextlib
import logging
import numbers
from pathlib import Path
from typing import Any, Dict, List, Optional, Union

import torch
from torch import nn

from quorlin._checks import state_differences
from quorlin.errors import CheckpointMismatchError
from quorlin.layout import BEST_CHECKPOINT, CHECKPOINTS_FOLDER, LAST_CHECKPOINT, epoch_checkpoint
from quorlin.trainers import distributed

log = logging.getLogger(__name__)

# The entries every checkpoint holds ("scheduler_state_dict" is None without a scheduler).
REQUIRED_ENTRIES = ("model_state_dict", "optimizer_state_dict", "scaler_state_dict", "epoch", "best_metric",
                    "training_history")


def check_checkpoint(checkpoint: Dict[str, Any], model: nn.Module, optimizer: torch.optim.Optimizer,
                     scheduler=None, scaler: Optional[torch.amp.GradScaler] = None,
                     path: Optional[Union[str, Path]] = None) -> None:
    """Refuses a checkpoint that cannot be restored whole into ``model``, ``optimizer``,
    ``scheduler`` and ``scaler``; changes nothing.

    Call it before building a trainer for a resumed run: the trainer rewrites files of the run
    folder. ``Stolvar.load_checkpoint`` runs the same check before it restores anything.

    Args:
        checkpoint: as ``read_checkpoint`` returns it.
        model: a model built as the run's model is (its weights do not matter).
        optimizer: the run's optimizer over ``model``'s parameters.
        scheduler: the run's scheduler, or None (then the checkpoint's is not looked at).
        scaler: the run's gradient scaler, or None (then the checkpoint's is not looked at).
        path: named in the error.

    Raises:
        CheckpointMismatchError: (a ``RuntimeError``) listing everything that does not fit.

    Example:
        >>> path = run_folder / CHECKPOINTS_FOLDER / LAST_CHECKPOINT
        >>> check_checkpoint(read_checkpoint(path), model, fennimar(model, config["optimizer"]), path=path)
    """
    problems = checkpoint_problems(checkpoint, model, optimizer, scheduler, scaler)
    if problems:
        raise CheckpointMismatchError(problems, path)


class TrainingCheckpoints:
    """The checkpoints that ``Stolvar`` gives every trainer: the whole training state written
    to its run folder (``run``) by ``_write_checkpoint`` and the trainer's ``save_checkpoint``,
    and restored whole or not at all.

    A subclass with state of its own adds it through ``_extra_state``, checks it with
    ``_extra_state_problems`` and restores it in ``_load_extra_state``; ``_checkpoint_model``
    is the model as checkpoints hold it.
    """

    def _write_checkpoint(self, filename: str) -> Path:
        """Writes the training state to the checkpoints folder's ``filename``; returns its path."""
        with self._checkpoint_model() as model:
            model_state = model.state_dict()
        checkpoint = {
            "epoch": self.current_epoch,
            "model_state_dict": model_state,
            "optimizer_state_dict": self.optimizer.state_dict(),
            "scheduler_state_dict": self.scheduler.state_dict() if self.scheduler else None,
            "scaler_state_dict": self.scaler.state_dict(),
            "best_metric": self.best_metric,
            "training_history": self.training_history,
            "config": self.config,
            **self._extra_state(),
        }
        return self.run.save_checkpoint(filename, checkpoint)

    def _restore_checkpoint(self, filename: str) -> None:
        """Reads the checkpoint ``filename``, checks every component and only then restores them."""
        checkpoint = self.run.read_checkpoint(filename, self.device)
        with self._checkpoint_model() as model:
            problems = checkpoint_problems(checkpoint, model, self.optimizer, self.scheduler, self.scaler)
            problems += self._extra_state_problems(checkpoint)
            if problems:
                raise CheckpointMismatchError(problems, self.run.path(CHECKPOINTS_FOLDER, filename))
            model.load_state_dict(checkpoint["model_state_dict"])
        self.optimizer.load_state_dict(checkpoint["optimizer_state_dict"])
        loaded = ["model", "optimizer"]
        if checkpoint.get("scheduler_state_dict") is not None and self.scheduler:
            self.scheduler.load_state_dict(checkpoint["scheduler_state_dict"])
            loaded.append("scheduler")
        if checkpoint["scaler_state_dict"]:  # a disabled scaler saved nothing to restore
            self.scaler.load_state_dict(checkpoint["scaler_state_dict"])
        loaded += ["scaler", "training_state"]
        self.current_epoch = checkpoint["epoch"]
        self.best_metric = checkpoint["best_metric"]
        self.training_history = checkpoint["training_history"]
        self._load_extra_state(checkpoint)
        log.info(f"Checkpoint loaded from epoch {checkpoint['epoch']}")
        log.info(f"Successfully loaded: {', '.join(loaded)}")

    def _checkpoint_model(self):
        """The context in which ``self.model`` is the model as checkpoints hold it; yields it."""
        return contextlib.nullcontext(self.model)

    def _extra_state(self) -> Dict[str, Any]:
        """A subclass's own entries of its checkpoints."""
        return {}

    def _extra_state_problems(self, checkpoint: Dict[str, Any]) -> List[str]:
        """What of a subclass's own entries in ``checkpoint`` cannot be restored."""
        return []

    def _load_extra_state(self, checkpoint: Dict[str, Any]) -> None:
        """Restore a subclass's own entries, once every component has been checked."""

    def _end_epoch(self, epoch: int, metric: float) -> None:
        """The checkpoints of the epoch just finished (see ``_save_epoch_checkpoints``), and the
        best checkpoint when its validation ``metric`` (lower is better) beats ``best_metric``,
        the best of the whole run, restored with the run's checkpoint on resumption."""
        improved = metric < self.best_metric
        if improved:
            self.best_metric = metric  # before the last checkpoint is written, which keeps it
        self._save_epoch_checkpoints(epoch)
        if improved:
            self.save_checkpoint(BEST_CHECKPOINT)

    def _save_epoch_checkpoints(self, epoch: int) -> None:
        """The last checkpoint and, with ``training.keep_last`` N > 0, the epoch's own checkpoint,
        of which the last N epochs' are kept and older ones deleted. Under torchrun rank 0 writes.

        The epoch's own checkpoint is written first: a run stopped between the two resumes
        from the last checkpoint, of the epoch before, and writes both again."""
        main = distributed.is_main_process()
        if self.keep_last and main:
            self._write_checkpoint(epoch_checkpoint(epoch))
        self.save_checkpoint(LAST_CHECKPOINT)
        if self.keep_last == 0 or not main:
            return
        for old in range(epoch - self.keep_last + 1):
            self.run.remove_checkpoint(epoch_checkpoint(old))


def checkpoint_problems(checkpoint: Dict[str, Any], model: nn.Module, optimizer: torch.optim.Optimizer,
                        scheduler=None, scaler: Optional[torch.amp.GradScaler] = None) -> List[str]:
    """What in ``checkpoint`` does not fit (see ``check_checkpoint``), one phrase each; empty if all fits."""
    missing = [entry for entry in REQUIRED_ENTRIES if entry not in checkpoint]
    problems = [f"the checkpoint lacks {', '.join(missing)}"] if missing else []
    if "model_state_dict" in checkpoint:
        problems += _model_problems(checkpoint["model_state_dict"], model)
    if "optimizer_state_dict" in checkpoint:
        names = {id(param): name for name, param in model.named_parameters()}
        problems += _optimizer_problems(checkpoint["optimizer_state_dict"], optimizer, names)
    if scheduler is not None and checkpoint.get("scheduler_state_dict") is not None:
        problems += _scheduler_problems(checkpoint["scheduler_state_dict"], scheduler.state_dict(), "the scheduler")
    if scaler is not None and "scaler_state_dict" in checkpoint:
        problems += _scaler_problems(checkpoint["scaler_state_dict"], scaler)
    return problems + _training_state_problems(checkpoint)


def _shape(tensor: torch.Tensor) -> tuple:
    return tuple(tensor.shape)


def _model_problems(saved, model: nn.Module) -> List[str]:
    """Strict: every key of the model and no other, each of the model's shape."""
    if not isinstance(saved, dict) or not all(isinstance(value, torch.Tensor) for value in saved.values()):
        return ["model_state_dict is not a model's state"]
    expected = model.state_dict()
    missing, unexpected, differ = state_differences({key: _shape(value) for key, value in expected.items()},
                                                    {key: _shape(value) for key, value in saved.items()})
    problems = []
    if missing:
        problems.append(f"{', '.join(missing)} {'is' if len(missing) == 1 else 'are'} missing from the checkpoint")
    if unexpected:
        problems.append(f"the checkpoint has {', '.join(unexpected)}, which this model lacks")
    problems += [f"{key} has shape {_shape(saved[key])} in the checkpoint and {_shape(expected[key])} here"
                 for key in differ]
    return problems


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def _optimizer_problems(saved, optimizer: torch.optim.Optimizer, names: Dict[int, str]) -> List[str]:
    """The parameter groups in number and size (and parameter names, where the groups carry
    them), and the shape of every per-parameter state tensor against its parameter."""
    groups = saved.get("param_groups") if isinstance(saved, dict) else None
    if not (isinstance(groups, list) and isinstance(saved.get("state"), dict)
            and all(isinstance(group, dict) and isinstance(group.get("params"), list) for group in groups)):
        return ["optimizer_state_dict is not an optimizer's state"]
    if len(groups) != len(optimizer.param_groups):
        return [f"the optimizer has {_count(len(groups), 'parameter group')} in the checkpoint and "
                f"{len(optimizer.param_groups)} here"]
    problems = []
    for index, (old, new) in enumerate(zip(groups, optimizer.param_groups)):
        if len(old["params"]) != len(new["params"]):
            problems.append(f"optimizer group {index} holds {_count(len(old['params']), 'parameter')} in the "
                            f"checkpoint and {len(new['params'])} here")
            continue
        if "name" in old and "name" in new and old["name"] != new["name"]:
            problems.append(f"optimizer group {index} is for {old['name']} in the checkpoint and for "
                            f"{new['name']} here")
            continue
        for key, param in zip(old["params"], new["params"]):
            state = saved["state"].get(key)
            wrong = [value for name, value in state.items() if name != "step" and isinstance(value, torch.Tensor)
                     and value.shape != param.shape] if isinstance(state, dict) else []
            if wrong:
                name = names.get(id(param), f"parameter {key}")
                problems.append(f"the optimizer state of {name} has shape {_shape(wrong[0])} in the checkpoint "
                                f"and {_shape(param)} here")
    return problems


def _scheduler_problems(saved, current: Dict[str, Any], label: str) -> List[str]:
    """Whether ``saved`` is the state of the same kind of scheduler as ``current`` (its public
    settings are all there; chained schedulers the same number, each of the same kind). The
    saved values themselves are restored: a resumed run follows the plan it started with."""
    if not isinstance(saved, dict):
        return [f"{label} state in the checkpoint is not a scheduler's state"]
    lacking = [key for key in current if not key.startswith("_") and key not in saved]
    if lacking:
        return [f"{label} state in the checkpoint lacks {', '.join(lacking)}: it is another kind of scheduler"]
    if "_schedulers" not in current:
        return []
    chained = saved.get("_schedulers")
    if not isinstance(chained, list) or len(chained) != len(current["_schedulers"]):
        count = len(chained) if isinstance(chained, list) else 0
        return [f"{label} chains {_count(count, 'scheduler')} in the checkpoint and "
                f"{len(current['_schedulers'])} here"]
    return [problem for index, (old, new) in enumerate(zip(chained, current["_schedulers"]))
            for problem in _scheduler_problems(old, new, f"part {index} of {label}")]


def _scaler_problems(saved, scaler: torch.amp.GradScaler) -> List[str]:
    """An enabled scaler needs the saved scale and its growth settings. A disabled scaler saves
    an empty state: it leaves a scaler that scales losses at its initial scale."""
    if not isinstance(saved, dict):
        return ["scaler_state_dict is not a gradient scaler's state"]
    if not scaler.is_enabled() or not saved:
        return []
    lacking = [key for key in scaler.state_dict() if key not in saved]
    return [f"scaler_state_dict lacks {', '.join(lacking)}"] if lacking else []


def _training_state_problems(checkpoint: Dict[str, Any]) -> List[str]:
    problems = []
    epoch = checkpoint.get("epoch", 0)
    if type(epoch) is not int or epoch < 0:
        problems.append(f"epoch must be an integer >= 0, got {epoch!r}")
    best = checkpoint.get("best_metric", 0.0)
    if isinstance(best, bool) or not isinstance(best, numbers.Real):
        problems.append(f"best_metric must be a number, got {best!r}")
    history = checkpoint.get("training_history", [])
    if not isinstance(history, list):
        problems.append(f"training_history must be a list, got {type(history).__name__}")
    return problems

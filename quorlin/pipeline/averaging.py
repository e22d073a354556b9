"""Averaging the last epochs of a run into one model, which evaluation and transcription then use.

    quorlin average expts/demo-asr --last 3

The run must have kept its epoch checkpoints (``training.keep_last`` in its recipe). The
average goes to the run's averaged checkpoint (``layout.AVERAGED_CHECKPOINT``); training the run further
removes it, since it no longer stands for the run.
"""
import logging
import re
from pathlib import Path

from quorlin.layout import AVERAGED_CHECKPOINT, epoch_checkpoint
from quorlin.run_folder import RunFolder, RunFolderError, writing_run_folder
from quorlin.trainers.averaging import average_checkpoints

log = logging.getLogger(__name__)

_EPOCH_FILE = re.compile(re.escape(epoch_checkpoint(0)).replace("0000", r"(\d+)"))


def average_run(folder, last: int) -> Path:
    """Writes the average of the run folder's last ``last`` epoch checkpoints; returns its path.

    The folder is held under its exclusive lock meanwhile; what a killed average left is removed.

    Raises:
        RunFolderError: the folder keeps fewer epoch checkpoints than ``last``.
        FolderInUseError: another command uses the folder.
    """
    if isinstance(last, bool) or not isinstance(last, int) or last < 1:
        raise RunFolderError(f"the number of epochs to average must be an integer >= 1, got {last!r}")
    run = RunFolder(folder)
    with writing_run_folder(folder):
        kept = sorted((int(m[1]), path) for path in run.checkpoints.glob("*.pth")
                      if (m := _EPOCH_FILE.fullmatch(path.name)))
        if len(kept) < last:
            raise RunFolderError(f"{folder} keeps {len(kept)} epoch checkpoint(s), fewer than the {last} to "
                                 "average; train it with training.keep_last of at least that")
        chosen = [path for _, path in kept[-last:]]
        try:
            averaged = average_checkpoints(chosen)
        except ValueError as error:
            raise RunFolderError(str(error)) from None
        run.save_checkpoint(AVERAGED_CHECKPOINT, averaged)
    path = run.checkpoints / AVERAGED_CHECKPOINT
    epochs = ", ".join(str(epoch) for epoch, _ in kept[-last:])
    log.info(f"Averaged the checkpoints of epochs {epochs} into {path}")
    return path

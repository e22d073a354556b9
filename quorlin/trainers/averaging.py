"""Checkpoint averaging: the element-wise mean of the weights of several checkpoints of one
run (the last epochs' checkpoints that ``training.keep_last`` keeps), often a better model
than any one of them."""
from pathlib import Path
from typing import Any, Dict, Sequence, Union

import torch

from quorlin._checks import state_differences
from quorlin.run_folder import RunFolderError, read_model_state


def average_checkpoints(paths: Sequence[Union[str, Path]]) -> Dict[str, Any]:
    """A checkpoint whose model state is the mean of the model states of ``paths``.

    Floating-point tensors are summed in float64, divided by the number of checkpoints and cast
    back to their dtype in the last checkpoint; other tensors (integer buffers) are the last
    checkpoint's. The files are read one at a time.

    Args:
        paths: checkpoint files of models of one architecture (a file given twice counts twice).

    Returns:
        ``{"model_state_dict": ..., "averaged_from": [the paths as strings]}``.

    Raises:
        ValueError: ``paths`` is empty.
        RunFolderError: a file is not a readable checkpoint, or its model state has other
            keys or shapes than the first file's (the message names both files).

    Example:
        >>> averaged = average_checkpoints([folder / epoch_checkpoint(e) for e in (8, 9, 10)])
        >>> torch.save(averaged, folder / AVERAGED_CHECKPOINT)
    """
    paths = [Path(path) for path in paths]
    if not paths:
        raise ValueError("average_checkpoints needs at least one checkpoint, got none")
    first = paths[0]
    state = read_model_state(first)
    shapes = {key: tuple(value.shape) for key, value in state.items()}
    sums = {key: value.double() for key, value in state.items() if value.is_floating_point()}
    for path in paths[1:]:
        state = read_model_state(path)
        _check_same_model(path, state, first, shapes)
        for key in sums:
            sums[key] += state[key].double()
    averaged = {key: (sums[key] / len(paths)).to(value.dtype) if key in sums and value.is_floating_point()
                else value for key, value in state.items()}
    return {"model_state_dict": averaged, "averaged_from": [str(path) for path in paths]}


def _check_same_model(path: Path, state: Dict[str, torch.Tensor], first: Path, shapes: Dict[str, tuple]) -> None:
    missing, extra, differ = state_differences(shapes, {key: tuple(value.shape) for key, value in state.items()})
    problems = ([f"it lacks {', '.join(missing)}"] if missing else []) + \
               ([f"it has {', '.join(extra)}, which {first} lacks"] if extra else [])
    problems += [f"{key} has shape {tuple(state[key].shape)} in it and {shapes[key]} in {first}" for key in differ]
    if problems:
        raise RunFolderError(f"{path} cannot be averaged with {first}: {'; '.join(problems)}")

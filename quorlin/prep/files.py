"""Output files written whole or not at all, and the removal of those that no longer belong."""
import os
from typing import Container, List

import numpy as np

from quorlin._files import replacing


def save_npy(path: str, array: np.ndarray) -> None:
    """``np.save`` of ``array`` to ``path`` (the name as given), whole or not at all."""
    with replacing(path) as f:
        np.save(f, array)


def remove_other_npy(folder: str, keep: Container[str]) -> List[str]:
    """Removes the ".npy" files of ``folder`` whose name without ".npy" is not in ``keep``;
    returns the removed names, sorted."""
    removed = sorted(n for n in os.listdir(folder) if n.endswith(".npy") and n[:-len(".npy")] not in keep)
    for name in removed:
        os.unlink(os.path.join(folder, name))
    return removed

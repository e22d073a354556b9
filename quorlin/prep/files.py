"""Output files written whole or not at all."""
import numpy as np

from quorlin._files import replacing, write_text


def save_npy(path: str, array: np.ndarray) -> None:
    """``np.save`` of ``array`` to ``path`` (the name as given), whole or not at all."""
    with replacing(path) as f:
        np.save(f, array)

"""Output files written whole or not at all."""
import numpy as np

from quorlin._files import replacing


def save_npy(path: str, array: np.ndarray) -> None:
    """``np.save`` of ``array`` to ``path`` (the name as given), whole or not at all."""
    with replacing(path) as f:
        np.save(f, array)


def save_text(path: str, text: str) -> None:
    """Writes UTF-8 ``text`` to ``path``, whole or not at all."""
    with replacing(path) as f:
        f.write(text.encode("utf-8"))

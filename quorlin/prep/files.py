"""Output files written whole or not at all."""
import os
import tempfile

import numpy as np

TEMP_SUFFIX = ".partial"


def _replace_into(path: str, write) -> None:
    # A temporary file in the same folder, renamed over the target once complete:
    # readers see the old file or the new one, never a half-written one.
    folder, name = os.path.split(path)
    fd, temp = tempfile.mkstemp(dir=folder or ".", prefix="." + name + ".", suffix=TEMP_SUFFIX)
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise


def save_npy(path: str, array: np.ndarray) -> None:
    """``np.save`` of ``array`` to ``path`` (the name as given), atomically."""
    _replace_into(path, lambda f: np.save(f, array))


def save_text(path: str, text: str) -> None:
    """Writes UTF-8 ``text`` to ``path``, atomically."""
    _replace_into(path, lambda f: f.write(text.encode("utf-8")))


def remove_partial_files(folder: str) -> None:
    """Removes temporary files that a killed run left in ``folder``."""
    for name in os.listdir(folder):
        if name.startswith(".") and name.endswith(TEMP_SUFFIX):
            os.unlink(os.path.join(folder, name))

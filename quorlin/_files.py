"""Whole-file writes: a file is replaced by its complete new version or left as it was.

The new version goes to a fresh temporary file in the same folder, created exclusively
and never through a link, is synced, and is renamed over the target; the rename replaces
whatever stands at the target, a planted link included, and never writes through it.
"""
import contextlib
import os
import secrets
import shutil
from pathlib import Path
from typing import BinaryIO, Iterator, Union

PathLike = Union[str, os.PathLike]
TEMPORARY_SUFFIX = ".tmp"


def _create_new(path: str, flags: int) -> int:
    # "x" mode already asks for O_CREAT | O_EXCL; a link at the name is refused too.
    return os.open(path, flags | os.O_NOFOLLOW, 0o666)


def _sync_folder(folder: Path) -> None:
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


@contextlib.contextmanager
def replacing(path: PathLike) -> Iterator[BinaryIO]:
    """Open a binary file whose contents replace ``path`` once the block ends normally.

    If the block raises, ``path`` keeps its earlier contents (or stays absent) and the
    temporary file is removed. A failed write (a full disk, a size limit) is raised as the
    ``OSError`` it was, naming ``path``, even when the writer in the block (``torch.save``,
    say) reported it as another error.

    Example:
        >>> with replacing(run_folder / "model.pth") as f:
        ...     torch.save(state, f)
    """
    path = Path(path)
    temporary = path.with_name(f".{path.name}.{secrets.token_hex(8)}{TEMPORARY_SUFFIX}")
    f = _WriteRecorder(open(temporary, "xb", opener=_create_new))
    try:
        with f.file:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException as error:
        temporary.unlink(missing_ok=True)
        failed = f.error or (error if isinstance(error, OSError) and error.filename is None else None)
        if failed is not None:
            raise OSError(failed.errno, failed.strerror or str(failed), str(path)) from error
        raise
    _sync_folder(path.parent)


class _WriteRecorder:
    """A file whose first failed write or flush is kept, for ``replacing`` to report."""

    def __init__(self, file: BinaryIO):
        self.file, self.error = file, None

    def write(self, data) -> int:
        return self._recorded(self.file.write, data)

    def flush(self) -> None:
        self._recorded(self.file.flush)

    def _recorded(self, call, *args):
        try:
            return call(*args)
        except OSError as error:
            self.error = self.error or error
            raise

    def __getattr__(self, name: str):
        return getattr(self.file, name)


def write_bytes(path: PathLike, data: bytes) -> None:
    """Replace ``path`` with ``data``, whole or not at all (see :func:`replacing`)."""
    with replacing(path) as f:
        f.write(data)


def write_text(path: PathLike, text: str) -> None:
    """Replace ``path`` with ``text`` in UTF-8, whole or not at all (see :func:`replacing`)."""
    write_bytes(path, text.encode("utf-8"))


def copy_file(source: PathLike, path: PathLike) -> None:
    """Copy ``source`` to ``path`` with its metadata, as ``shutil.copy2`` does, through
    :func:`replacing`."""
    with replacing(path) as f, open(source, "rb") as original:
        shutil.copyfileobj(original, f)
        f.flush()
        shutil.copystat(source, f.name)


def remove_temporaries(folder: PathLike) -> None:
    """Remove the temporary files that a killed process left in ``folder``."""
    for name in os.listdir(folder):
        if name.startswith(".") and name.endswith(TEMPORARY_SUFFIX):
            os.unlink(os.path.join(folder, name))

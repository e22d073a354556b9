"""Folder locks between processes: shared among the commands that read a folder, exclusive
for the one that changes it.

A lock is an ``flock`` on a file in the folder (``layout.LOCK_FILE``), so the kernel lets it
go whatever way its process ends. The holder of the exclusive lock writes its process id
into the file, for the others' messages. Within one process a folder is locked once: an
inner block on a folder already held goes on under the outer lock, and an exclusive inner
block turns a shared outer lock into an exclusive one (kept to the end of the outer block).
"""
import contextlib
import errno
import fcntl
import logging
import os
import random
import time
from pathlib import Path
from typing import Dict, Iterator, Optional

from quorlin.errors import FolderInUseError
from quorlin.layout import LOCK_FILE

log = logging.getLogger(__name__)

_RETRY_SECONDS = 0.2


class _Held:
    def __init__(self, fd: int, exclusive: bool):
        self.fd, self.exclusive = fd, exclusive


_HELD: Dict[str, _Held] = {}


@contextlib.contextmanager
def folder_lock(folder, exclusive: bool, create: bool = True, wait: bool = False, hint: str = "") -> Iterator[None]:
    """Holds ``folder`` for the block: shared (reading it) or ``exclusive`` (changing it).

    Args:
        folder: an existing folder.
        exclusive: exclude every other holder, rather than only exclusive ones.
        create: make the lock file when the folder has none (else a folder without one is
            not locked: a folder this process may not write, or one that is not yet
            anything to lock).
        wait: wait for the other holders to let go (saying so once), rather than refuse.
        hint: added to the refusal, after "wait for it to end".

    Raises:
        FolderInUseError: the folder is held against this request, and ``wait`` is false.
    """
    key = os.path.realpath(folder)
    held = _HELD.get(key)
    if held is not None:
        if exclusive and not held.exclusive:
            _upgrade(held.fd, folder)
            held.exclusive = True
        yield
        return
    fd = _open(Path(folder), create)
    if fd is None:
        yield
        return
    try:
        _acquire(fd, folder, exclusive, wait, hint)
        _HELD[key] = _Held(fd, exclusive)
        try:
            yield
        finally:
            del _HELD[key]
    finally:
        os.close(fd)


def _open(folder: Path, create: bool) -> Optional[int]:
    path = folder / LOCK_FILE
    flags = os.O_NOFOLLOW | os.O_CLOEXEC
    try:
        return os.open(path, flags | os.O_RDWR | (os.O_CREAT if create else 0), 0o644)
    except FileNotFoundError:
        return None
    except OSError as error:
        if error.errno not in (errno.EACCES, errno.EPERM, errno.EROFS):
            raise
    # A folder this process may only read: a lock is taken on the file as it is, when there is one.
    try:
        return os.open(path, flags | os.O_RDONLY)
    except FileNotFoundError:
        return None


def _acquire(fd: int, folder, exclusive: bool, wait: bool, hint: str) -> None:
    mode = fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH
    try:
        fcntl.flock(fd, mode | fcntl.LOCK_NB)
    except BlockingIOError:
        writer = _writer(fd)
        holder = f"process {writer}, which is changing it" if writer else "another command reading it"
        if not wait:
            raise FolderInUseError(f"{folder} is in use by {holder}; wait for it to end{hint}") from None
        log.info(f"{folder} is in use by {holder}; waiting for it to end...")
        fcntl.flock(fd, mode)
    if exclusive:
        _write_holder(fd)


def _upgrade(fd: int, folder) -> None:
    """Turns this process's shared lock into an exclusive one, waiting for the other readers.

    Linux lets go of the shared lock before it takes the exclusive one, so while this process
    waits, a writer may take the folder: that is refused here, and a caller that read the
    folder under the shared lock must check that what it read is still there."""
    while True:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            _write_holder(fd)
            return
        except BlockingIOError:
            writer = _writer(fd)
        if writer:
            raise FolderInUseError(f"{folder} was taken by process {writer}, which is changing it, while this "
                                   "command read it; nothing was written")
        time.sleep(_RETRY_SECONDS * random.uniform(0.5, 1.5))


def _writer(fd: int) -> Optional[str]:
    """The process id that the exclusive holder of the lock wrote ("another process" when it
    wrote none), or None when only readers hold it; this process holds nothing on ``fd``."""
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        written = os.pread(fd, 32, 0).decode(errors="replace").strip()
        return written if written.isdigit() else "another process"
    fcntl.flock(fd, fcntl.LOCK_UN)
    return None


def _write_holder(fd: int) -> None:
    with contextlib.suppress(OSError):  # a lock file this process may only read
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)

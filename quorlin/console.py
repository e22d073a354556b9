"""What the commands print besides their results: reports, warnings and progress bars.

The command line sets how much (``configure``): quiet commands print their results,
warnings and errors only; verbose ones also the lists that are otherwise cut short, and
the traceback of an error. Progress bars are drawn on a terminal only, unless asked for;
output that goes to a file or a pipe gets none of their frames.
"""
import contextlib
import os
import sys
from typing import Iterator, List, Optional, Sequence, TextIO

from tqdm import tqdm

QUIET, NORMAL, VERBOSE = -1, 0, 1
_level = NORMAL
_progress: Optional[bool] = None  # None: on a terminal only


def configure(level: int = NORMAL, progress: Optional[bool] = None) -> None:
    """Sets how much is printed (``QUIET``, ``NORMAL`` or ``VERBOSE``) and whether progress
    bars are drawn (None: when standard error is a terminal)."""
    global _level, _progress
    _level, _progress = level, progress


def verbose() -> bool:
    return _level >= VERBOSE


@contextlib.contextmanager
def reports(stream: Optional[TextIO] = None) -> Iterator[None]:
    """Within the block, what is printed to standard output goes to ``stream`` (by default
    standard output itself), or nowhere when quiet."""
    if _level <= QUIET:
        with open(os.devnull, "w", encoding="utf-8") as nowhere, contextlib.redirect_stdout(nowhere):
            yield
    elif stream is not None:
        with contextlib.redirect_stdout(stream):
            yield
    else:
        yield


def warn(message: str) -> None:
    """Prints "quorlin: warning: <message>" to standard error, also when quiet."""
    print(f"quorlin: warning: {message}", file=sys.stderr)


def shown(items: Sequence[str], limit: int) -> List[str]:
    """The first ``limit`` of ``items``, or all of them when verbose."""
    return list(items) if verbose() else list(items[:limit])


def progress_bar(iterable=None, **kwargs) -> tqdm:
    """A ``tqdm`` bar (``dynamic_ncols`` on, ``leave`` off) drawn as ``configure`` says; a
    ``disable`` given turns it off in any case."""
    disable = kwargs.pop("disable", False)
    if _level <= QUIET or _progress is False:
        disable = True
    elif _progress is None and not disable:
        disable = None  # tqdm's own test: drawn when standard error is a terminal
    return tqdm(iterable, dynamic_ncols=True, leave=False, disable=disable, **kwargs)

"""What the commands print besides their results: reports, warnings and progress bars.

The library reports through the ``quorlin`` logger (each module logs under its own name)
and warns through ``warnings`` with ``QuorlinWarning``. Reports reach standard output as
plain lines, at the moment they are made, in scripts and notebooks as on the command line.

The command line sets how much (``configure``): quiet commands print their results,
warnings and errors only; verbose ones also the lists that are otherwise cut short, and
the traceback of an error. Progress bars are drawn on a terminal only, unless asked for;
output that goes to a file or a pipe gets none of their frames.
"""
import contextlib
import logging
import os
import sys
import warnings
from typing import Iterator, List, Optional, Sequence, TextIO

from tqdm import tqdm

from quorlin.errors import QuorlinWarning

QUIET, NORMAL, VERBOSE = -1, 0, 1
_level = NORMAL
_progress: Optional[bool] = None  # None: on a terminal only


class _Console(logging.StreamHandler):
    """A handler that writes each record as it stands to what standard output (or, for a
    command whose standard output holds its results alone, standard error) is at that
    moment: a redirection or a test's capture included."""

    def __init__(self):
        super().__init__()
        self.setFormatter(logging.Formatter("%(message)s"))
        self.to_stderr = False

    @property
    def stream(self) -> TextIO:
        return sys.stderr if self.to_stderr else sys.stdout

    @stream.setter
    def stream(self, value) -> None:
        pass  # always the current standard output or error


logger = logging.getLogger("quorlin")
logger.setLevel(logging.INFO)
_handler = _Console()
logger.addHandler(_handler)
logger.propagate = False


def configure(level: int = NORMAL, progress: Optional[bool] = None, reports_to_stderr: bool = False) -> None:
    """Sets how much is printed (``QUIET``, ``NORMAL`` or ``VERBOSE``), whether progress bars
    are drawn (None: when standard error is a terminal) and whether reports go to standard
    error (for a command whose standard output holds its results alone); warnings of this
    library are shown as "quorlin: warning: <message>", each time they occur."""
    global _level, _progress
    _level, _progress = level, progress
    logger.setLevel(logging.WARNING if level <= QUIET else logging.INFO)
    _handler.to_stderr = reports_to_stderr
    warnings.simplefilter("always", QuorlinWarning)
    warnings.showwarning = _show_warning


_default_showwarning = warnings.showwarning


def _show_warning(message, category, filename, lineno, file=None, line=None) -> None:
    if issubclass(category, QuorlinWarning):
        print(f"quorlin: warning: {message}", file=sys.stderr)
    else:
        _default_showwarning(message, category, filename, lineno, file, line)


def verbose() -> bool:
    return _level >= VERBOSE


@contextlib.contextmanager
def reports() -> Iterator[None]:
    """Within the block, what other libraries print to standard output (W&B's notes, for
    one) goes nowhere when quiet."""
    if _level <= QUIET:
        with open(os.devnull, "w", encoding="utf-8") as nowhere, contextlib.redirect_stdout(nowhere):
            yield
    else:
        yield


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

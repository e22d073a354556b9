"""The errors of a user's input, which the command line reports without a traceback: one
class for each kind of input."""
from pathlib import Path
from typing import List, Optional, Union


class QuorlinError(Exception):
    """Input that cannot be used as it stands: a recipe, a file, a run folder or an option.

    The message names the culprit (the file, the recipe key, the utterance) and says what
    is wrong with it; ``quorlin`` prints each of its ``lines`` as "quorlin: error: <line>"
    and exits with 1.
    """

    @property
    def lines(self) -> List[str]:
        """The error lines: one, unless the error lists several problems one a line."""
        return [str(self)]


class PreparationError(QuorlinError, ValueError):
    """Input that cannot be prepared: an unreadable or empty audio file, or one whose samples
    are not finite, a missing transcript or audio file, a bad or colliding utterance id, a
    bad option; the message names the file, the id or the option."""


class RecipeError(QuorlinError, ValueError):
    """A recipe that cannot be used as it stands: one line per problem, each naming the file
    (or the command line) and the key."""

    def __init__(self, *lines: str):
        super().__init__("\n".join(lines))
        self._lines = list(lines)

    @property
    def lines(self) -> List[str]:
        return self._lines


class FileFormatError(QuorlinError, ValueError):
    """A file that cannot be read as what it should be: missing, not a regular file, too
    big, not UTF-8, not valid YAML or JSON, nested too deeply, or expanding beyond bounds."""


class FolderInUseError(QuorlinError):
    """A folder that another process holds; the message names the folder and, for a writer,
    its process."""


class RunFolderError(QuorlinError):
    """A run folder that cannot be used: in use, holding a model not to be replaced, or not a
    trained model that loads; the message names the folder or file."""


class CheckpointError(RunFolderError, RuntimeError):
    """A checkpoint file that cannot be read: damaged, not a dict, holding Python objects that
    loading would run, or no model state where one is needed; the message names the file."""


class MissingCheckpointError(CheckpointError, FileNotFoundError):
    """A checkpoint file that does not exist."""


class AudioError(QuorlinError, ValueError):
    """Audio that cannot be transcribed: unreadable, empty, holding NaN or infinite samples,
    or shorter than one filter-bank window; the message names the file (or the id)."""


class CheckpointMismatchError(QuorlinError, RuntimeError):
    """A checkpoint that does not fit what it is to be restored into; ``problems`` lists each misfit."""

    def __init__(self, problems: List[str], path: Optional[Union[str, Path]] = None):
        where = "checkpoint" if path is None else f"checkpoint {path}"
        super().__init__(f"{where} does not fit this model: {'; '.join(problems)}")
        self.problems = problems


class CorpusError(QuorlinError, ValueError):
    """A file of a prepared corpus that cannot be used as it stands: missing, truncated,
    malformed, not a ``.npy`` file, or no longer what its partition's stream index says; the
    message names the file.

    Raised in a ``DataLoader`` worker, it comes back to the main process with the worker's
    traceback as its text; the error made there keeps only the original message, so that
    ``quorlin`` still reports it as one line.
    """

    def __init__(self, message: str):
        marker = f"{type(self).__name__}: "
        if message.startswith("Caught ") and marker in message:  # "Caught ... Original Traceback ..."
            message = message.rsplit(marker, 1)[1].strip()
        super().__init__(message)


class QuorlinWarning(UserWarning):
    """Input that can be used, but perhaps not as meant: the message names the file, key or
    utterance and what is done with it."""

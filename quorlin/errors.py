"""The error of a user's input: the command line reports it without a traceback."""
from typing import List


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

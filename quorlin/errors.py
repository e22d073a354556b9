"""The error of a user's input: the command line reports it as one line, without a traceback."""


class QuorlinError(Exception):
    """Input that cannot be used as it stands: a recipe, a file, a run folder or an option.

    The message names the culprit (the file, the recipe key, the utterance) and says what
    is wrong with it; ``quorlin`` prints it as "quorlin: error: <message>" and exits with 1.
    """

"""The error raised for unusable input data."""
from quorlin.errors import QuorlinError


class PreparationError(QuorlinError, ValueError):
    """Input that cannot be prepared: an unreadable or empty audio file, or one whose samples
    are not finite, a missing transcript or audio file, a bad or colliding utterance id, a
    bad option; the message names the file, the id or the option."""


def raise_problems(problems, what: str) -> None:
    """Raises one ``PreparationError`` for every problem found: its first line names the first
    problem, the next lines the others (the first 20 in full)."""
    if not problems:
        return
    if len(problems) == 1:
        raise PreparationError(problems[0])
    shown = "".join(f"\n  {p}" for p in problems[1:20])
    more = f"\n  ... and {len(problems) - 20} more" if len(problems) > 20 else ""
    raise PreparationError(f"{len(problems)} problems in {what}, the first: {problems[0]}{shown}{more}")

"""The error raised for unusable input data."""
from quorlin.errors import QuorlinError


class PreparationError(QuorlinError, ValueError):
    """Input that cannot be prepared: an unreadable or empty audio file, or one whose samples
    are not finite, a missing transcript or audio file, a bad or colliding utterance id, a
    bad option; the message names the file, the id or the option."""


def raise_problems(problems, what: str) -> None:
    """Raises one ``PreparationError`` listing every problem found (the first 20 in full)."""
    if not problems:
        return
    shown = "\n".join(f"  {p}" for p in problems[:20])
    more = f"\n  ... and {len(problems) - 20} more" if len(problems) > 20 else ""
    raise PreparationError(f"{len(problems)} problem(s) in {what}:\n{shown}{more}")

"""Every problem found in input data, reported at once as one error."""
from quorlin import console
from quorlin.errors import PreparationError


def raise_problems(problems, what: str) -> None:
    """Raises one ``PreparationError`` for every problem found: its first line names the first
    problem, the next lines the others (the first 20, or all of them when verbose)."""
    if not problems:
        return
    if len(problems) == 1:
        raise PreparationError(problems[0])
    listed = console.shown(problems, 20)
    shown = "".join(f"\n  {p}" for p in listed[1:])
    more = f"\n  ... and {len(problems) - len(listed)} more (-v lists them all)" if len(listed) < len(problems) else ""
    raise PreparationError(f"{len(problems)} problems in {what}, the first: {problems[0]}{shown}{more}")

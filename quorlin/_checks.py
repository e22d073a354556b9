"""Argument conversion and type checks shared by the public constructors, and the comparison
of a model's state with another's."""
import numbers
from typing import Dict, List, Tuple


def as_int(value, name: str) -> int:
    """Convert a number to ``int`` (floats truncate); anything else is a ``TypeError``."""
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    return int(value)


def as_float(value, name: str) -> float:
    """Convert a number to ``float``; anything else is a ``TypeError``."""
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    return float(value)


def state_differences(expected: Dict[str, tuple], found: Dict[str, tuple]) -> Tuple[List[str], List[str], List[str]]:
    """The keys of a state's tensor shapes ``expected`` that ``found`` lacks, those ``found`` has
    beyond them, and those of both whose shapes differ, each in its dict's order."""
    return ([key for key in expected if key not in found], [key for key in found if key not in expected],
            [key for key in expected if key in found and found[key] != expected[key]])

"""Argument conversion and type checks shared by the public constructors, the comparison of a
model's state with another's, and what to say of a checkpoint file that cannot be loaded."""
import numbers
import pickle
import re
from typing import Dict, List, Tuple


def as_int(value, name: str) -> int:
    """Convert a number to ``int`` (floats truncate); anything else is a ``TypeError``."""
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    return int(value)


def as_positive_int(value, name: str) -> int:
    """``as_int``, then a ``ValueError`` unless the integer is at least 1."""
    number = as_int(value, name)
    if number < 1:
        raise ValueError(f"{name} must be an integer >= 1, got {value!r}")
    return number


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


_REFUSED_NAME = re.compile(r"GLOBAL (\S+)")
_TERMINAL_CODES = re.compile(r"\x1b\[[0-9;]*m")


def checkpoint_load_problem(error: Exception) -> str:
    """What ``torch.load(..., weights_only=True)`` found wrong with a file, in one short phrase.

    A file that holds Python objects besides tensors and plain values is named as such,
    never with PyTorch's advice to load it unrestricted, which would run its code."""
    text = _TERMINAL_CODES.sub("", str(error))
    if isinstance(error, pickle.UnpicklingError) and "weights_only" in text:
        found = _REFUSED_NAME.search(text)
        named = f" ({found[1].rstrip('.')})" if found else ""
        return f"it is not a plain-tensor checkpoint: it holds a Python object{named} that loading it would run"
    first = text.strip().splitlines()[0] if text.strip() else type(error).__name__
    return first if len(first) <= 200 else first[:197] + "..."

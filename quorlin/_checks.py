"""Argument conversion and type checks shared by the public constructors."""
import numbers


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

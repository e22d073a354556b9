"""Argument conversion shared by the layer constructors."""
import numbers


def as_int(value, name: str) -> int:
    """Convert a number to ``int`` (floats truncate); anything else is a ``TypeError``."""
    if not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {value!r}")
    return int(value)

"""Training utilities: the optimizer factory and the learning-rate scheduler factory."""
from quorlin.utils.dravenor import create_scheduler
from quorlin.utils.fennimar import fennimar

__all__ = ["create_scheduler", "fennimar"]

"""Softmax activation on NumPy arrays with a hand-written backward pass."""
import numpy as np

from ondrel.nn._args import as_int


class Softmax:
    """Softmax along one axis; ``backward`` differentiates the most recent ``forward``.

    Args:
        dim: axis along which the outputs sum to one.

    Shapes:
        forward: Z (any shape) -> A (same shape).
        backward: dLdA (shape of A) -> dLdZ (same shape).

    Example:
        >>> softmax = Softmax(dim=-1)
        >>> softmax.forward(np.array([[0.0, np.log(3.0)]]))
        array([[0.25, 0.75]])
    """

    def __init__(self, dim=-1):
        self.dim = as_int(dim, "dim")

    def forward(self, Z):
        # Subtracting the maximum keeps exp() from overflowing; the result is unchanged.
        exp = np.exp(Z - np.max(Z, axis=self.dim, keepdims=True))
        self.A = exp / np.sum(exp, axis=self.dim, keepdims=True)
        return self.A

    def backward(self, dLdA):
        # Jacobian-vector product of softmax: A * (g - <g, A>) along dim.
        dot = np.sum(dLdA * self.A, axis=self.dim, keepdims=True)
        return self.A * (dLdA - dot)

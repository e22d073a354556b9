"""Scaled dot-product attention on NumPy arrays with a hand-written backward pass."""
import numpy as np

from ondrel.nn.activation import Softmax


def _swap_last(x):
    """Exchange the last two axes, leaving all leading axes in place."""
    return np.swapaxes(x, -1, -2)


def _sum_to(grad, shape):
    """Sum a gradient over the axes that broadcasting added or stretched, back to ``shape``."""
    if grad.shape == shape:
        return grad
    grad = np.sum(grad, axis=tuple(range(grad.ndim - len(shape))))
    stretched = tuple(i for i, n in enumerate(shape) if n == 1 and grad.shape[i] != 1)
    return np.sum(grad, axis=stretched, keepdims=True)


class Kestivel:
    """Scaled dot-product attention softmax(Q·Kᵀ/√d_k)·V with an optional boolean mask.

    Masked scores (``True`` in the mask) are replaced by ``-eps`` before the softmax,
    so a row masked entirely attends uniformly to its keys.

    Shapes:
        Q: (..., L, E), K: (..., S, E), V: (..., S, Ev); the leading axes broadcast.
        mask: boolean, broadcastable to (..., L, S).
        forward: -> (..., L, Ev); ``attention_scores`` is (..., L, S).
        backward: d_output (..., L, Ev) -> (d_Q, d_K, d_V) with the shapes of Q, K, V.

    Example:
        >>> attention = Kestivel()
        >>> Q = K = V = np.ones((2, 4, 8))
        >>> attention.forward(Q, K, V).shape
        (2, 4, 8)
    """

    def __init__(self):
        self.eps = 1e10
        self.softmax = Softmax(dim=-1)

    def forward(self, Q, K, V, mask=None):
        self.V = V
        self.K = K
        self.Q = Q
        self.mask = mask
        d_k = K.shape[-1]
        scaled_dot_product = Q @ _swap_last(K) / np.sqrt(d_k)  # (..., L, S)
        if mask is not None:
            scaled_dot_product = np.where(mask, -self.eps, scaled_dot_product)  # (..., L, S)
        self.attention_scores = self.softmax.forward(scaled_dot_product)  # (..., L, S)
        return self.attention_scores @ V  # (..., L, Ev)

    def backward(self, d_output):
        d_V = _swap_last(self.attention_scores) @ d_output  # (..., S, Ev)
        d_attention_scores = d_output @ _swap_last(self.V)  # (..., L, S)
        d_scaled_dot_product = self.softmax.backward(d_attention_scores) / np.sqrt(self.K.shape[-1])
        if self.mask is not None:
            # A masked score is a constant, so nothing flows back through it. This
            # matters for rows masked entirely, whose uniform weights would otherwise
            # pass a spurious gradient to Q and K.
            d_scaled_dot_product = np.where(self.mask, 0.0, d_scaled_dot_product)  # (..., L, S)
        d_Q = d_scaled_dot_product @ self.K  # (..., L, E)
        d_K = _swap_last(d_scaled_dot_product) @ self.Q  # (..., S, E)
        return (
            _sum_to(d_Q, self.Q.shape),
            _sum_to(d_K, self.K.shape),
            _sum_to(d_V, self.V.shape),
        )

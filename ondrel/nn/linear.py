"""Affine layer on NumPy arrays with a hand-written backward pass."""
import numpy as np

from ondrel.nn._args import as_int


class Linear:
    """Affine map Z = A·Wᵀ + b over the last axis of an input of any rank.

    Parameters start at zero; set them with ``init_weights``. ``backward`` overwrites
    ``dLdA``, ``dLdW`` and ``dLdb`` (the bias gradient is a column).

    Args:
        in_features: width of the input's last axis.
        out_features: width of the output's last axis.

    Shapes:
        forward: A (..., in_features) -> Z (..., out_features).
        backward: dLdZ (..., out_features) -> dLdA (..., in_features);
        ``dLdW`` is (out_features, in_features), ``dLdb`` is (out_features, 1).

    Example:
        >>> layer = Linear(4, 5)
        >>> layer.init_weights(np.ones((5, 4)), np.zeros(5))
        >>> layer.forward(np.ones((2, 3, 4))).shape
        (2, 3, 5)
    """

    def __init__(self, in_features, out_features):
        in_features = as_int(in_features, "in_features")
        out_features = as_int(out_features, "out_features")
        self.W = np.zeros((out_features, in_features))
        self.b = np.zeros(out_features)

    def init_weights(self, W, b):
        """Replace the parameters; the arrays are kept by reference, not copied."""
        self.W = W
        self.b = b

    def forward(self, A):
        self.A = np.array(A)
        A2 = self.A.reshape(-1, self.A.shape[-1])  # (N, in_features)
        self.N = A2.shape[0]
        self.ones = np.ones((self.N, 1))  # (N, 1)
        Z = A2 @ self.W.T + self.ones @ np.reshape(self.b, (1, -1))  # (N, out_features)
        return Z.reshape(self.A.shape[:-1] + (-1,))  # (..., out_features)

    def backward(self, dLdZ):
        dLdZ2 = np.reshape(dLdZ, (-1, np.shape(dLdZ)[-1]))  # (N, out_features)
        A2 = self.A.reshape(-1, self.A.shape[-1])  # (N, in_features)
        self.dLdA = (dLdZ2 @ self.W).reshape(self.A.shape)  # (..., in_features)
        self.dLdW = dLdZ2.T @ A2  # (out_features, in_features)
        self.dLdb = dLdZ2.T @ self.ones  # (out_features, 1)
        return self.dLdA

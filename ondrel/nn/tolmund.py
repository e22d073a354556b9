"""Batch-first multi-head attention on NumPy arrays with a hand-written backward pass."""
import numpy as np

from ondrel.nn._args import as_int
from ondrel.nn.kestivel import Kestivel
from ondrel.nn.linear import Linear


class Tolmund:
    """Multi-head attention: project, split into heads, attend, merge, project.

    All four projections start at zero weights; set them with ``init_weights``.
    After ``backward`` the parameter gradients are on the projections
    (``q_proj.dLdW``, ``q_proj.dLdb``, ..., ``out_proj.dLdb``).

    Args:
        embed_dim: model width E.
        num_heads: number of heads H; must divide ``embed_dim``.

    Shapes:
        query: (N, L, E), key: (N, S, E), value: (N, S, E).
        key_padding_mask: (N, S) boolean, ``True`` at padded keys; None masks nothing.
        attn_mask: (L, S) boolean shared by the batch and heads; None masks nothing.
        forward: -> (N, L, E).
        backward: d_output (N, L, E) -> (d_q, d_k, d_v) with the shapes of query, key, value.

    Example:
        >>> mha = Tolmund(8, 2)
        >>> x = np.ones((2, 4, 8))
        >>> mha.forward(x, x, x).shape
        (2, 4, 8)
    """

    def __init__(self, embed_dim, num_heads):
        embed_dim = as_int(embed_dim, "embed_dim")
        num_heads = as_int(num_heads, "num_heads")
        if num_heads < 1:
            raise ValueError(f"num_heads must be positive, got {num_heads}")
        if embed_dim % num_heads != 0:
            raise ValueError("embed_dim must be divisible by num_heads")
        self.embed_dim = embed_dim
        self.num_heads = num_heads
        self.attention = Kestivel()
        self.q_proj = Linear(embed_dim, embed_dim)
        self.k_proj = Linear(embed_dim, embed_dim)
        self.v_proj = Linear(embed_dim, embed_dim)
        self.out_proj = Linear(embed_dim, embed_dim)

    def init_weights(self, Wq, bq, Wk, bk, Wv, bv, Wo, bo):
        """Set the (E, E) weights (rows are output features) and (E,) biases of the projections."""
        self.q_proj.init_weights(Wq, bq)
        self.k_proj.init_weights(Wk, bk)
        self.v_proj.init_weights(Wv, bv)
        self.out_proj.init_weights(Wo, bo)

    def forward(self, query, key, value, key_padding_mask=None, attn_mask=None):
        self.N, self.L, self.E = query.shape[0], query.shape[1], query.shape[2]
        self.S = key.shape[1]
        q = self.q_proj.forward(query)  # (N, L, E)
        k = self.k_proj.forward(key)  # (N, S, E)
        v = self.v_proj.forward(value)  # (N, S, E)
        q, k, v = (self._split_heads(x) for x in (q, k, v))  # (N, H, L|S, E/H)
        mask = self._merge_masks(key_padding_mask, attn_mask)  # (N, H, L, S)
        attn_outputs = self.attention.forward(q, k, v, mask)  # (N, H, L, E/H)
        attn_output = self._concat_heads(attn_outputs)  # (N, L, E)
        return self.out_proj.forward(attn_output)  # (N, L, E)

    def backward(self, d_output):
        d_attn_output = self.out_proj.backward(d_output)  # (N, L, E)
        d_attn_outputs = self._split_heads(d_attn_output)  # (N, H, L, E/H)
        d_q, d_k, d_v = self.attention.backward(d_attn_outputs)  # (N, H, L|S, E/H)
        d_q, d_k, d_v = (self._concat_heads(d) for d in (d_q, d_k, d_v))  # (N, L|S, E)
        d_q = self.q_proj.backward(d_q)  # (N, L, E)
        d_k = self.k_proj.backward(d_k)  # (N, S, E)
        d_v = self.v_proj.backward(d_v)  # (N, S, E)
        return d_q, d_k, d_v

    def _merge_masks(self, key_padding_mask, attn_mask):
        """(N, H, L, S) mask that is True where either mask is; a missing mask masks nothing."""
        shape = (self.N, self.num_heads, self.L, self.S)
        if key_padding_mask is None:
            key_padding_mask = np.zeros((self.N, self.S), dtype=bool)
        if attn_mask is None:
            attn_mask = np.zeros((self.L, self.S), dtype=bool)
        key_mask = np.expand_dims(key_padding_mask, axis=(1, 2))  # (N, 1, 1, S)
        key_mask = np.broadcast_to(key_mask, shape)  # (N, H, L, S)
        attention_mask = np.expand_dims(attn_mask, axis=(0, 1))  # (1, 1, L, S)
        attention_mask = np.broadcast_to(attention_mask, shape)  # (N, H, L, S)
        return np.logical_or(key_mask, attention_mask)  # (N, H, L, S)

    def _split_heads(self, x):
        """(N, T, E) -> (N, H, T, E/H); head h takes features [h·E/H, (h+1)·E/H)."""
        N, T = x.shape[0], x.shape[1]
        x = x.reshape(N, T, self.num_heads, -1)  # (N, T, H, E/H)
        return x.transpose(0, 2, 1, 3)  # (N, H, T, E/H)

    def _concat_heads(self, x):
        """(N, H, T, E/H) -> (N, T, E), the inverse of ``_split_heads``."""
        N, T = x.shape[0], x.shape[2]
        x = x.transpose(0, 2, 1, 3)  # (N, T, H, E/H)
        return x.reshape(N, T, -1)  # (N, T, E)

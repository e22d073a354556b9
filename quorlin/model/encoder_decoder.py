"""Encoder-decoder Transformer speech recogniser with a CTC head on the encoder."""
from typing import Dict, Optional, Tuple

import torch
import torch.nn as nn

from quorlin._checks import as_float, as_int
from quorlin.model.amberith import Amberith
from quorlin.model.conformer import ConformerEncoderLayer, as_kernel_size
from quorlin.model.corrash import Corrash
from quorlin.model.decoder_cache import DecoderCache, EncoderMemory, score_cached
from quorlin.model.masks import CausalMask, PadMask
from quorlin.model.skellan import CrossAttentionDecoderLayer
from quorlin.model.yorvane import SelfAttentionEncoderLayer

ENCODER_TYPES = ("transformer", "conformer")


class EncoderDecoderTransformer(nn.Module):
    """Speech recogniser: filter-bank frames in, next-token logits and CTC log-probabilities out.

    Encoder: ``Corrash`` front end (time reduced by ``time_reduction``), sinusoidal
    positions, dropout, a stack of ``SelfAttentionEncoderLayer`` or ``ConformerEncoderLayer``
    (``encoder_type``), final ``LayerNorm``; a linear CTC head reads the encoder output.
    Decoder: token embedding, positions, dropout, ``CrossAttentionDecoderLayer`` stack under
    causal and padding masks, final ``LayerNorm``, projection to the vocabulary.

    Args:
        input_dim: filter-bank bins F.
        time_reduction: factor by which the front end shortens the time axis.
        reduction_method: front end, "conv", "lstm" or "both".
        num_encoder_layers: encoder layers.
        num_decoder_layers: decoder layers.
        d_model: model width (even for the BLSTM front ends).
        num_heads: attention heads; must divide ``d_model``.
        d_ff: hidden width of the feed-forward sublayers.
        dropout: rate after the embeddings (the module ``dropout``, whose ``p`` may be
            reassigned), in the front end and inside every layer; in [0, 1).
        max_len: longest sequence the positional table covers, for both the reduced
            frames and the tokens.
        num_classes: vocabulary size V.
        encoder_type: "transformer" (self-attention and feed-forward layers) or "conformer"
            (macaron feed-forward halves around self-attention and a convolution module).
        conv_kernel_size: width of the conformer layers' depthwise convolution over the
            reduced frames; odd, at least 3 (checked for either encoder type).

    Shapes:
        padded_input: (N, T, F); padded_target: (N, U) long; input_lengths,
        target_lengths: (N,). Returns logits (N, U, V); attention weights per layer
        under "layer<i>_enc_self" (N, S, S), "layer<i>_dec_self" (N, U, U) and
        "layer<i>_dec_cross" (N, U, S); and CTC inputs {"log_probs": (S, N, V),
        "lengths": (N,)}, S being the reduced length.

    Example:
        >>> asr = EncoderDecoderTransformer(input_dim=40, time_reduction=4, reduction_method="conv",
        ...                                 num_encoder_layers=2, num_decoder_layers=2, d_model=32,
        ...                                 num_heads=2, d_ff=64, dropout=0.1, max_len=200, num_classes=30)
        >>> logits, attn, ctc = asr(torch.randn(2, 100, 40), torch.randint(0, 30, (2, 12)),
        ...                         torch.tensor([100, 80]), torch.tensor([12, 9]))
        >>> logits.shape, ctc["log_probs"].shape, ctc["lengths"]
        (torch.Size([2, 12, 30]), torch.Size([24, 2, 30]), tensor([24, 19]))
    """

    def __init__(self, input_dim: int, time_reduction: int, reduction_method: str, num_encoder_layers: int,
                 num_decoder_layers: int, d_model: int, num_heads: int, d_ff: int, dropout: float,
                 max_len: int, num_classes: int, encoder_type: str = "transformer", conv_kernel_size: int = 15):
        super().__init__()
        if not isinstance(encoder_type, str):
            raise TypeError(f"encoder_type must be a str, got {encoder_type!r}")
        if encoder_type not in ENCODER_TYPES:
            raise ValueError(f"encoder_type must be one of {', '.join(map(repr, ENCODER_TYPES))}, got {encoder_type!r}")
        conv_kernel_size = as_kernel_size(conv_kernel_size)
        self.encoder_type = encoder_type
        d_model, num_heads, d_ff = as_int(d_model, "d_model"), as_int(num_heads, "num_heads"), as_int(d_ff, "d_ff")
        dropout = as_float(dropout, "dropout")
        self.max_len, self.num_classes = as_int(max_len, "max_len"), as_int(num_classes, "num_classes")
        self.num_yorvane = as_int(num_encoder_layers, "num_encoder_layers")
        self.num_skellan = as_int(num_decoder_layers, "num_decoder_layers")

        self.source_embedding = Corrash(input_dim, d_model, time_reduction, reduction_method, dropout)
        self.target_embedding = nn.Embedding(self.num_classes, d_model)
        self.positional_encoding = Amberith(d_model, self.max_len)
        self.dropout = nn.Dropout(dropout)
        if encoder_type == "conformer":
            encoder_layer = lambda: ConformerEncoderLayer(d_model, num_heads, d_ff, dropout, conv_kernel_size)
        else:
            encoder_layer = lambda: SelfAttentionEncoderLayer(d_model, num_heads, d_ff, dropout)
        self.enc_layers = nn.ModuleList(encoder_layer() for _ in range(self.num_yorvane))
        self.encoder_norm = nn.LayerNorm(d_model)
        self.ctc_head = nn.Linear(d_model, self.num_classes)
        self.dec_layers = nn.ModuleList(
            CrossAttentionDecoderLayer(d_model, num_heads, d_ff, dropout) for _ in range(self.num_skellan)
        )
        self.decoder_norm = nn.LayerNorm(d_model)
        self.final_linear = nn.Linear(d_model, self.num_classes)

    def encode(
        self, padded_input: torch.Tensor, input_lengths: torch.Tensor
    ) -> Tuple[torch.Tensor, torch.Tensor, Dict[str, torch.Tensor], Dict[str, torch.Tensor]]:
        """Runs the encoder once per batch.

        Returns the encoder output (N, S, d_model), its padding mask (N, S), the encoder
        attention weights and the CTC inputs.
        """
        x, x_len = self.source_embedding(padded_input, input_lengths)  # (N, S, d_model)
        # A length of 0 would hide every key of a row and turn its attention into NaN.
        pad_mask_src = PadMask(x, x_len.clamp(min=1))  # (N, S)

        x = self.dropout(self.positional_encoding(x))
        running_att = {}
        for i, layer in enumerate(self.enc_layers):
            x, running_att[f"layer{i + 1}_enc_self"] = layer(x, key_padding_mask=pad_mask_src)
        x = self.encoder_norm(x)

        ctc_log_probs = torch.log_softmax(self.ctc_head(x), dim=-1)  # (N, S, V)
        ctc_inputs = {"log_probs": ctc_log_probs.transpose(0, 1), "lengths": x_len}  # (S, N, V)
        return x, pad_mask_src, running_att, ctc_inputs

    def decode(
        self, padded_target: torch.Tensor, encoder_output: torch.Tensor,
        target_lengths: Optional[torch.Tensor], pad_mask_src: torch.Tensor,
    ) -> Tuple[torch.Tensor, Dict[str, torch.Tensor]]:
        """Next-token logits (N, U, V) and decoder attention weights for one encoded batch."""
        pad_mask_tgt = None if target_lengths is None else PadMask(padded_target, target_lengths.clamp(min=1))
        causal_mask = CausalMask(padded_target)  # (U, U)

        x = self.target_embedding(padded_target)  # (N, U, d_model)
        x = self.dropout(self.positional_encoding(x))
        running_att = {}
        for i, layer in enumerate(self.dec_layers):
            x, self_att, cross_att = layer(x, encoder_output, dec_key_padding_mask=pad_mask_tgt,
                                           enc_key_padding_mask=pad_mask_src, attn_mask=causal_mask)
            running_att[f"layer{i + 1}_dec_self"] = self_att  # (N, U, U)
            running_att[f"layer{i + 1}_dec_cross"] = cross_att  # (N, U, S)
        x = self.decoder_norm(x)
        seq_out = self.final_linear(x)  # (N, U, V)
        return seq_out, running_att

    def forward(
        self, padded_input: torch.Tensor, padded_target: torch.Tensor,
        input_lengths: torch.Tensor, target_lengths: torch.Tensor,
    ) -> Tuple[torch.Tensor, Dict[str, torch.Tensor], Dict[str, torch.Tensor]]:
        encoder_output, pad_mask_src, enc_att, ctc_inputs = self.encode(padded_input, input_lengths)
        seq_out, dec_att = self.decode(padded_target, encoder_output, target_lengths, pad_mask_src)
        return seq_out, {**enc_att, **dec_att}, ctc_inputs

    def score(self, batch_prompts: torch.Tensor, encoder_output: torch.Tensor,
              pad_mask_src: torch.Tensor) -> torch.Tensor:
        """Next-token log-probabilities (N * k, V) after partial sequences (N * k, t).

        With k beams per utterance, rows k * n to k * n + k - 1 of ``batch_prompts`` all
        belong to encoder row n of ``encoder_output`` (N, S, d_model) and ``pad_mask_src`` (N, S).
        """
        k = _rows_per_utterance(batch_prompts.size(0), encoder_output.size(0))
        encoder_output = encoder_output.repeat_interleave(k, dim=0)  # (N * k, S, d_model)
        pad_mask_src = pad_mask_src.repeat_interleave(k, dim=0)  # (N * k, S)
        seq_out, _ = self.decode(batch_prompts, encoder_output, None, pad_mask_src)
        return torch.log_softmax(seq_out[:, -1], dim=-1)

    def new_cache(self, encoder_output: torch.Tensor, pad_mask_src: torch.Tensor, rows: int,
                  max_length: int) -> DecoderCache:
        """Empty state for ``score_cached`` over sequences of at most ``max_length`` tokens.

        The cross-attention keys and values of ``encoder_output`` (N, S, d_model) are computed
        here, once; ``rows`` = N * k sequences start, k per utterance as in ``score``.
        """
        _rows_per_utterance(rows, encoder_output.size(0))
        memory_kv = [layer.cross_attn.memory_keys_values(encoder_output) for layer in self.dec_layers]
        memory = EncoderMemory(memory_kv, pad_mask_src, rows)
        return DecoderCache(len(self.dec_layers), min(max_length, self.max_len), memory)

    def score_cached(self, x: torch.Tensor, cache: DecoderCache) -> torch.Tensor:
        """``score`` of the sequences that x (R, T) extends, from cached keys and values.

        x holds the tokens that follow the ``cache.length`` positions of every row already
        in ``cache``, which then holds them too. Returns next-token log-probabilities (R, V).
        """
        return score_cached(self, x, cache, self.decoder_norm)


def _rows_per_utterance(rows: int, N: int) -> int:
    if rows % N != 0:
        raise ValueError(f"batch_prompts must have a multiple of the {N} encoder rows, got {rows} rows")
    return rows // N

"""Transformer models for speech recognition and language modelling, and their building blocks."""
from quorlin.model.decoder_only import DecoderOnlyTransformer
from quorlin.model.encoder_decoder import EncoderDecoderTransformer

__all__ = ["DecoderOnlyTransformer", "EncoderDecoderTransformer"]

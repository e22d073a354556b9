"""Datasets, tokenizer and the native corpus reader (``quorlin.data._ext``)."""
from quorlin.data._ext import FeatureReader, read_text_arrays

__all__ = ["FeatureReader", "read_text_arrays"]

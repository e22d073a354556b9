"""quorlin: Transformer speech recognisers and token-level language models on PyTorch."""
from quorlin import console  # noqa: F401  (the reports of every module reach standard output)

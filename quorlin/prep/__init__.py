"""Data preparation: audio to the ASR layout, text to the LM layout.

Example:
    >>> from quorlin.prep import librispeech_utterances, prepare_asr, prepare_lm, read_text_lines
    >>> prepare_asr(librispeech_utterances("demo/kjv/train"), "data/demo", PARTITIONS["train"])
    >>> prepare_lm(read_text_lines("demo/kjv/lm-text.txt.gz"), "data/demo-lm", "train")
"""
from quorlin.prep.errors import PreparationError
from quorlin.prep.features import audio_fbank, compute_fbank, read_audio
from quorlin.prep.layouts import PARTITIONS, prepare_asr, prepare_lm, transcript_array
from quorlin.prep.sources import (Utterance, kaldi_utterances, librispeech_utterances, manifest_utterances,
                                  read_text_lines, source_utterances)
from quorlin.prep.text import normalize_transcript

__all__ = ["PARTITIONS", "PreparationError", "Utterance", "audio_fbank", "compute_fbank", "kaldi_utterances",
           "librispeech_utterances", "manifest_utterances", "normalize_transcript", "prepare_asr", "prepare_lm",
           "read_audio", "read_text_lines", "source_utterances", "transcript_array"]

"""Transcribing recordings of any length with a trained run folder, from Python or the command line.

Example:
    >>> from quorlin.inference import Recognizer
    >>> recognizer = Recognizer.from_run_folder("expts/demo-asr")
    >>> transcript = recognizer.transcribe(["talk.flac"])[0]
    >>> transcript.text, [(s.start, s.end) for s in transcript.segments]
"""
from quorlin.inference.results import Segment, Transcript, Word

__all__ = ["Recognizer", "Search", "Segment", "Transcript", "Word"]


def __getattr__(name: str):
    # The recogniser brings PyTorch: it is imported when asked for, so that the output formats
    # (quorlin.inference.formats) can be read without it.
    if name == "Recognizer":
        from quorlin.inference.recognizer import Recognizer
        return Recognizer
    if name == "Search":
        from quorlin.decoding.recognition import Search
        return Search
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

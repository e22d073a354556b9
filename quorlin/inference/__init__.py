"""Transcribing recordings of any length with a trained run folder, from Python or the command line.

Example:
    >>> from quorlin.inference import Recognizer
    >>> recognizer = Recognizer.from_run_folder("expts/demo-asr")
    >>> transcript = recognizer.transcribe(["talk.flac"])[0]
    >>> transcript.text, [(s.start, s.end) for s in transcript.segments]
"""
from quorlin.inference.recognizer import Recognizer, Search
from quorlin.inference.results import Segment, Transcript, Word

__all__ = ["Recognizer", "Search", "Segment", "Transcript", "Word"]

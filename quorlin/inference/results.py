"""What transcription returns: a transcript per input, made of timed segments and words."""
from dataclasses import dataclass, field
from typing import List, Optional, Sequence


@dataclass
class Word:
    """One word and where it is spoken, in seconds from the start of the recording."""
    start: float
    end: float
    text: str


@dataclass
class Segment:
    """A stretch of the recording transcribed as one piece; ``words`` is empty when no
    word times are known."""
    start: float
    end: float
    text: str
    words: List[Word] = field(default_factory=list)


@dataclass
class Transcript:
    """The transcript of one input.

    Attributes:
        id: the input's id (a file's name without its extension, or the id given).
        text: the whole transcript, the segments' texts joined by spaces.
        duration: the recording's length in seconds.
        segments: the timed segments, in order.
        error: why the input could not be transcribed (then ``text`` is empty), else None.
    """
    id: str
    text: str
    duration: float
    segments: List[Segment] = field(default_factory=list)
    error: Optional[str] = None


def spread_words(texts: Sequence[str], start: float, end: float) -> List[Word]:
    """Words timed by spreading [start, end] over them in proportion to their lengths, for
    text whose word times are unknown."""
    total = sum(len(text) for text in texts)
    words, done = [], 0
    for text in texts:
        first = start + (end - start) * done / total
        done += len(text)
        words.append(Word(first, start + (end - start) * done / total, text))
    return words

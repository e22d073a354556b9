"""Transcripts written out: "id<TAB>text" lines, JSON, plain text, SubRip (SRT) and WebVTT subtitles.

``WRITERS`` lists every format by its name (which is also its file extension); the command line
offers exactly these, and "all" of them at once.
"""
import json
import textwrap
from dataclasses import dataclass
from typing import Callable, Iterable, List, Sequence

from quorlin.inference.results import Segment, Transcript, Word, spread_words

# A cue is read at a glance: at most two lines of 42 characters, shown for at most 7 s.
MAX_LINE_CHARS, MAX_LINES, MAX_CUE_SECONDS = 42, 2, 7.0


@dataclass
class Cue:
    """One subtitle: its text (lines joined by "\\n") shown from ``start`` to ``end`` seconds."""
    start: float
    end: float
    text: str


def format_tsv(transcripts: Iterable[Transcript]) -> str:
    """One "id<TAB>text" line per transcript (a failed one has an empty text).

    An id or text holding a tab, newline or carriage return would break the lines apart
    and raises ``ValueError`` naming the id.
    """
    lines = []
    for t in transcripts:
        for what, value in (("id", t.id), ("text", t.text)):
            if any(c in value for c in "\t\n\r"):
                raise ValueError(f"transcript {t.id!r}: its {what} holds a tab, newline or carriage return, "
                                 f"which a line cannot hold: {value!r}")
        lines.append(f"{t.id}\t{t.text}\n")
    return "".join(lines)


def format_json(transcripts: Iterable[Transcript]) -> str:
    """A JSON array with one object per transcript: id, text, duration, error and the
    segments (start, end, text, words with start, end and text); times in seconds,
    rounded to milliseconds."""
    return json.dumps([_transcript_dict(t) for t in transcripts], ensure_ascii=False, indent=2) + "\n"


def format_txt(transcript: Transcript) -> str:
    """The transcript's text, one segment per line."""
    return "".join(f"{segment.text}\n" for segment in transcript.segments if segment.text)


def subtitle_cues(transcript: Transcript) -> List[Cue]:
    """The transcript's subtitles, in order and within [0, duration].

    Each segment is cut into cues of at most two lines of 42 characters and 7 s, at its
    word times, or, when it has none, at times spread over the segment in proportion to
    the words' lengths. A cue lasts from its first word until the next cue starts, or
    until the segment ends for its last cue: at most 7 s, and at least until its last
    word ends. Cues never overlap.
    """
    cues: List[Cue] = []
    for segment in transcript.segments:
        for cue in _segment_cues(segment):
            start = min(max(cue.start, cues[-1].end if cues else 0.0), transcript.duration)
            cues.append(Cue(start, min(max(cue.end, start), transcript.duration), cue.text))
    return cues


def format_srt(transcript: Transcript) -> str:
    """SubRip subtitles: numbered cues, times as HH:MM:SS,mmm."""
    return "".join(f"{n}\n{_timestamp(c.start, ',')} --> {_timestamp(c.end, ',')}\n{c.text}\n\n"
                   for n, c in enumerate(subtitle_cues(transcript), start=1))


def format_vtt(transcript: Transcript) -> str:
    """WebVTT subtitles: the "WEBVTT" header, then cues with times as HH:MM:SS.mmm and
    "&", "<" and ">" escaped."""
    cues = "".join(f"{_timestamp(c.start, '.')} --> {_timestamp(c.end, '.')}\n{_vtt_escape(c.text)}\n\n"
                   for c in subtitle_cues(transcript))
    return "WEBVTT\n\n" + cues


def _segment_cues(segment: Segment) -> List[Cue]:
    words = [w for w in segment.words if w.text.strip()]
    if not words:
        words = spread_words(segment.text.split(), segment.start, segment.end)
    words = [Word(min(max(w.start, segment.start), segment.end), min(max(w.end, segment.start), segment.end),
                  w.text) for w in words]
    groups: List[List[Word]] = []
    for w in words:
        if groups and w.end - groups[-1][0].start <= MAX_CUE_SECONDS and _fits(groups[-1] + [w]):
            groups[-1].append(w)
        else:
            groups.append([w])
    cues = []
    for i, group in enumerate(groups):
        start = group[0].start
        until = groups[i + 1][0].start if i + 1 < len(groups) else segment.end
        end = max(group[-1].end, min(until, start + MAX_CUE_SECONDS))
        cues.append(Cue(start, end, "\n".join(_lines(group))))
    return cues


def _lines(words: Sequence[Word]) -> List[str]:
    return textwrap.wrap(" ".join(w.text for w in words), MAX_LINE_CHARS, break_long_words=False,
                         break_on_hyphens=False)


def _fits(words: Sequence[Word]) -> bool:
    return len(_lines(words)) <= MAX_LINES


def _timestamp(seconds: float, separator: str) -> str:
    ms = round(seconds * 1000)
    hours, ms = divmod(ms, 3_600_000)
    minutes, ms = divmod(ms, 60_000)
    secs, ms = divmod(ms, 1000)
    return f"{hours:02d}:{minutes:02d}:{secs:02d}{separator}{ms:03d}"


def _vtt_escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def _transcript_dict(t: Transcript) -> dict:
    return {"id": t.id, "text": t.text, "duration": _ms(t.duration), "error": t.error,
            "segments": [{"start": _ms(s.start), "end": _ms(s.end), "text": s.text,
                          "words": [{"start": _ms(w.start), "end": _ms(w.end), "text": w.text} for w in s.words]}
                         for s in t.segments]}


def _ms(seconds: float) -> float:
    return round(seconds, 3)


@dataclass(frozen=True)
class Writer:
    """How one format writes transcripts: ``render`` makes the text of several transcripts
    (``per_input`` false) or of one (``per_input`` true: a file per input); ``what`` says
    what it writes, in a few words."""
    render: Callable
    per_input: bool
    what: str


WRITERS = {"tsv": Writer(format_tsv, False, "id<TAB>text lines"),
           "json": Writer(format_json, False, "JSON with timed segments"),
           "txt": Writer(format_txt, True, "plain text"),
           "srt": Writer(format_srt, True, "SubRip subtitles"),
           "vtt": Writer(format_vtt, True, "WebVTT subtitles")}


def render(format_name: str, transcripts: Sequence[Transcript]) -> str:
    """The text of ``transcripts`` in the format ``format_name`` (one transcript for the formats
    written per input)."""
    writer = WRITERS[format_name]
    if writer.per_input:
        (transcript,) = transcripts
        return writer.render(transcript)
    return writer.render(transcripts)

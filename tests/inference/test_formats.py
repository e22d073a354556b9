import json
import re

import pytest

from quorlin.inference.formats import format_json, format_srt, format_tsv, format_vtt, subtitle_cues
from quorlin.inference.results import Segment, Transcript, Word

LOREM = ("the quick brown fox jumps over the lazy dog while seven wizards quietly hex "
         "every jolly vexing quiz and a sphinx of black quartz judges my vow").split()


def _timed_segment(start, words, seconds_per_word=0.45):
    timed = [Word(start + i * seconds_per_word, start + i * seconds_per_word + 0.3, w) for i, w in enumerate(words)]
    return Segment(start, timed[-1].end + 0.2, " ".join(words), timed)


def _podcast():
    """A transcript with a long timed segment, an untimed one and a short timed one."""
    segments = [_timed_segment(0.5, LOREM),
                Segment(16.0, 31.0, " ".join(LOREM[:20])),
                _timed_segment(3700.0, ["<b>&", "end"])]
    return Transcript("pod", " ".join(s.text for s in segments), 3705.0, segments)


def _parse_time(text, separator):
    h, m, rest = text.split(":")
    s, ms = rest.split(separator)
    assert (len(m), len(s), len(ms)) == (2, 2, 3) and len(h) >= 2
    return int(h) * 3600 + int(m) * 60 + int(s) + int(ms) / 1000


def _parse_subtitles(text, separator, numbered):
    """(start, end, lines) of each cue of SRT (numbered) or WebVTT text."""
    blocks = text.split("\n\n")
    assert blocks[-1] == ""
    cues = []
    for n, block in enumerate(blocks[:-1], start=1):
        lines = block.split("\n")
        if numbered:
            assert lines.pop(0) == str(n)
        start, arrow, end = lines.pop(0).split(" ")
        assert arrow == "-->" and lines and all(lines)
        cues.append((_parse_time(start, separator), _parse_time(end, separator), lines))
    return cues


def _check_cues(cues, transcript):
    words = []
    for i, (start, end, lines) in enumerate(cues):
        assert 0 <= start <= end <= transcript.duration
        if i:
            assert cues[i - 1][1] <= start
        assert len(lines) <= 2 and all(len(line) <= 42 for line in lines)
        assert end - start <= 7.0
        words += " ".join(lines).split()
    return words


@pytest.mark.parametrize("fmt", ["srt", "vtt"])
def test_subtitles_parse_back_into_ordered_short_cues(fmt):
    transcript = _podcast()
    if fmt == "srt":
        cues = _parse_subtitles(format_srt(transcript), ",", numbered=True)
    else:
        text = format_vtt(transcript)
        assert text.startswith("WEBVTT\n\n")
        cues = _parse_subtitles(text[len("WEBVTT\n\n"):], ".", numbered=False)
    words = _check_cues(cues, transcript)
    last = "&lt;b&gt;&amp;" if fmt == "vtt" else "<b>&"
    assert words == LOREM + LOREM[:20] + [last, "end"]
    # Timed cues start at their first word; the untimed segment is cut in proportion to the letters.
    assert cues[0][0] == 0.5
    untimed = [c for c in cues if 16.0 <= c[0] < 31.0]
    assert untimed[0][0] == 16.0 and len(untimed) >= 3
    assert cues[-1][:2] == (3700.0, 3700.0 + 0.45 + 0.3 + 0.2)


def test_cues_split_at_seven_seconds_and_two_lines():
    # 14 two-letter words over 14 s: the time limit cuts first.
    segment = Segment(0.0, 14.0, "", [Word(i, i + 0.5, "ab") for i in range(14)])
    cues = subtitle_cues(Transcript("t", "", 14.0, [segment]))
    assert [(c.start, c.end) for c in cues] == [(0.0, 7.0), (7.0, 14.0)]
    assert cues[0].text == " ".join(["ab"] * 7)  # the eighth word ends at 7.5 s
    # 40 short words in 4 s: at most two lines of 42 characters each.
    segment = Segment(0.0, 4.0, "", [Word(i * 0.1, i * 0.1 + 0.05, f"w{i:02d}") for i in range(40)])
    cues = subtitle_cues(Transcript("t", "", 4.0, [segment]))
    assert cues[0].text == " ".join(f"w{i:02d}" for i in range(10)) + "\n" + \
        " ".join(f"w{i:02d}" for i in range(10, 20))
    assert [len(c.text.split()) for c in cues] == [20, 20]


def test_cue_times_are_clamped_and_kept_in_order():
    # Overlapping segments and a word timed past the end of the recording.
    segments = [Segment(0.0, 3.0, "", [Word(0.2, 1.0, "one"), Word(2.0, 2.5, "two")]),
                Segment(2.0, 5.0, "", [Word(2.2, 3.0, "three"), Word(4.0, 5.5, "four")])]
    cues = subtitle_cues(Transcript("t", "", 4.5, segments))
    assert [(c.start, c.end, c.text) for c in cues] == [(0.2, 3.0, "one two"), (3.0, 4.5, "three four")]
    srt = format_srt(Transcript("t", "", 4.5, segments))
    assert srt == "1\n00:00:00,200 --> 00:00:03,000\none two\n\n2\n00:00:03,000 --> 00:00:04,500\nthree four\n\n"
    assert format_vtt(Transcript("t", "", 1.0, [])) == "WEBVTT\n\n"
    assert format_srt(Transcript("t", "", 1.0, [], error="bad")) == ""


def test_tsv_lines_and_refusals():
    transcripts = [Transcript("a", "hello there", 1.0), Transcript("b", "", 2.0, error="unreadable")]
    assert format_tsv(transcripts) == "a\thello there\nb\t\n"
    for bad_id, text, what in (("x\ty", "ok", "id"), ("z", "two\nlines", "text"), ("r", "cr\r", "text")):
        with pytest.raises(ValueError, match=re.escape(f"transcript {bad_id!r}: its {what} holds a tab, newline "
                                                       "or carriage return")):
            format_tsv([Transcript("fine", "x", 1.0), Transcript(bad_id, text, 1.0)])


def test_json_holds_every_field_rounded_to_milliseconds():
    transcript = Transcript("ü", "hi you", 2.00049, [Segment(0.1234, 1.98765, "hi you", [
        Word(0.1234, 0.5, "hi"), Word(1.0, 1.98765, "you")])])
    failed = Transcript("gone", "", 0.0, error="cannot read audio")
    assert json.loads(format_json([transcript, failed])) == [
        {"id": "ü", "text": "hi you", "duration": 2.0, "error": None,
         "segments": [{"start": 0.123, "end": 1.988, "text": "hi you",
                       "words": [{"start": 0.123, "end": 0.5, "text": "hi"},
                                 {"start": 1.0, "end": 1.988, "text": "you"}]}]},
        {"id": "gone", "text": "", "duration": 0.0, "error": "cannot read audio", "segments": []}]
    assert "ü" in format_json([transcript])

import html
import json
import re

import numpy as np
import pytest
import soundfile
import torch

from quorlin.cli import main
from quorlin.inference import Recognizer

_SRT_TIME = r"(\d\d):(\d\d):(\d\d),(\d\d\d)"
_VTT_TIME = r"(\d\d):(\d\d):(\d\d)\.(\d\d\d)"


def _seconds(match, first):
    h, m, s, ms = (int(match.group(first + i)) for i in range(4))
    return 3600 * h + 60 * m + s + ms / 1000


def _cues(text, time, first_line):
    """(start, end, text) of every cue of SubRip or WebVTT ``text``, checking its numbering."""
    blocks = text.strip().split("\n\n")
    if first_line:
        assert blocks.pop(0) == first_line
    cues = []
    for n, block in enumerate(blocks, start=1):
        lines = block.split("\n")
        if time == _SRT_TIME:
            assert lines.pop(0) == str(n)
        match = re.fullmatch(f"{time} --> {time}", lines[0])
        assert match, lines[0]
        assert 1 <= len(lines[1:]) <= 2 and all(lines[1:])
        cues.append((_seconds(match, 1), _seconds(match, 5), " ".join(lines[1:])))
    return cues


@pytest.fixture
def long_recording(workdir):
    """The test utterances three times over with pauses between them: longer than the tiny
    model's segments, so that it must be split."""
    pieces = []
    for _ in range(3):
        for n in range(5):
            samples, rate = soundfile.read(workdir / f"audio/test/7/3/7-3-000{n}.flac", dtype="float32")
            pieces += [samples, np.zeros(int(0.6 * rate), np.float32)]
    samples = np.concatenate(pieces)
    soundfile.write(workdir / "long.wav", samples, 16000)
    return workdir / "long.wav", len(samples) / 16000


def test_a_long_recording_becomes_timed_segments_and_subtitles(workdir, long_recording, capsys):
    path, duration = long_recording
    recognizer = Recognizer.from_run_folder("expts/tiny-asr")
    assert duration > 2 * recognizer.max_segment_seconds
    (transcript,) = recognizer.transcribe([str(path)])
    assert transcript.id == "long" and transcript.duration == pytest.approx(duration)
    assert len(transcript.segments) > 2 and transcript.text == " ".join(s.text for s in transcript.segments)
    ends = [0.0] + [t for s in transcript.segments for t in (s.start, s.end)] + [duration]
    assert ends == sorted(ends) and all(s.end - s.start <= recognizer.max_segment_seconds for s in transcript.segments)

    # The same text from the command line, in every format.
    assert main(["transcribe", "expts/tiny-asr", str(path)]) == 0
    assert capsys.readouterr().out == f"long\t{transcript.text}\n"
    for name in ("json", "srt", "vtt"):
        assert main(["transcribe", "expts/tiny-asr", str(path), "--format", name, "-o", "out/"]) == 0
    (record,) = json.loads((workdir / "out/long.json").read_text())
    assert record["text"] == transcript.text and len(record["segments"]) == len(transcript.segments)
    for segment in record["segments"]:
        assert 0 <= segment["start"] < segment["end"] <= duration
        assert [w["text"] for w in segment["words"]] == segment["text"].split()
    for name, time, header in (("srt", _SRT_TIME, None), ("vtt", _VTT_TIME, "WEBVTT")):
        cues = _cues((workdir / f"out/long.{name}").read_text(), time, header)
        assert all(0 <= start < end <= duration for start, end, _ in cues)
        assert all(a[1] <= b[0] for a, b in zip(cues, cues[1:]))  # in order, never overlapping
        text = " ".join(text for _, _, text in cues)
        assert (html.unescape(text) if name == "vtt" else text).split() == transcript.text.split()


def test_audio_in_memory_at_any_rate_transcribes_like_its_file(workdir):
    recognizer = Recognizer.from_run_folder("expts/tiny-asr", device="cpu")
    path = workdir / "audio/test/7/3/7-3-0002.flac"
    samples, rate = soundfile.read(path, dtype="float32")
    stereo = torch.from_numpy(np.stack([samples, samples]))  # (channels, samples)
    from_file, in_memory = recognizer.transcribe([str(path), (stereo, rate)], beam_width=3, ctc_weight=0.3)
    assert in_memory.id == "input-1" and in_memory.text == from_file.text
    assert in_memory.segments[0].start == pytest.approx(from_file.segments[0].start)


def test_one_bad_file_costs_one_transcript(workdir, capsys):
    folder = workdir / "mixed"
    folder.mkdir()
    for name in ("a", "c"):
        (folder / f"{name}.flac").write_bytes((workdir / "audio/test/7/3/7-3-0001.flac").read_bytes())
    (folder / "b.wav").write_bytes(b"RIFF not really")
    assert main(["transcribe", "expts/tiny-asr", str(folder), "-o", "out.tsv"]) == 1
    lines = (workdir / "out.tsv").read_text().splitlines()
    assert [line.split("\t")[0] for line in lines] == ["a", "c"]
    errors = [line for line in capsys.readouterr().err.splitlines() if "quorlin: error:" in line]
    assert len(errors) == 1 and f"{folder / 'b.wav'}: cannot read audio" in errors[0]
    # In Python, the same input raises unless its error is to be kept.
    recognizer = Recognizer.from_run_folder("expts/tiny-asr")
    with pytest.raises(Exception, match="b.wav: cannot read audio"):
        recognizer.transcribe([str(folder / "b.wav")])
    kept = recognizer.transcribe([str(folder / "a.flac"), str(folder / "b.wav")], skip_errors=True)
    assert kept[0].text == lines[0].split("\t")[1] and kept[1].text == "" and "cannot read audio" in kept[1].error
    assert kept[1].id == "b"

    # A recording that fails half-way, with segments waiting for their batch, costs only itself.
    good, _ = soundfile.read(folder / "a.flac", dtype="float32")
    pause = np.zeros(8000, np.float32)
    # Past the first 30 s block, which leaves its segments waiting.
    repeats = int(40 * 16000 / (len(good) + len(pause))) + 1
    broken = np.concatenate([good, pause] * repeats + [np.full(100, np.nan, np.float32), pause, good])
    soundfile.write(folder / "late.wav", broken, 16000, subtype="FLOAT")
    late, after = recognizer.transcribe([str(folder / "late.wav"), str(folder / "a.flac")], skip_errors=True)
    assert (late.id, late.text, after.id, after.text) == ("late", "", "a", kept[0].text)
    assert "late.wav: audio holds NaN or infinite samples" in late.error

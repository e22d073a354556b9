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
    printed = capsys.readouterr()
    errors = [line for line in printed.err.splitlines() if "quorlin: error:" in line]
    assert len(errors) == 1 and f"{folder / 'b.wav'}: cannot read audio" in errors[0]
    # Reports go to standard error, which standard output never holds; quiet keeps the error alone.
    assert printed.out == "" and printed.err.splitlines()[-1] == "2 transcript(s) written to out.tsv"
    assert main(["transcribe", "expts/tiny-asr", str(folder), "-o", "out.tsv", "-q"]) == 1
    printed = capsys.readouterr()
    assert printed.out == "" and printed.err.splitlines() == errors
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


@pytest.mark.slow
def test_a_folder_transcribes_alike_at_any_batch_size(workdir, long_recording, capsys):
    folder = workdir / "folder"
    folder.mkdir()
    for n in range(5):
        (folder / f"u{n}.flac").write_bytes((workdir / f"audio/test/7/3/7-3-000{n}.flac").read_bytes())
    (folder / "long.wav").write_bytes(long_recording[0].read_bytes())
    outputs = []
    for batch_size in ("1", "16", "64"):
        assert main(["transcribe", "expts/tiny-asr", str(folder), "--batch-size", batch_size]) == 0
        outputs.append(capsys.readouterr().out)
    assert outputs[0] == outputs[1] == outputs[2] and len(outputs[0].splitlines()) == 6
    # No transcript holds more characters than its audio has encoder frames (40 ms each).
    for line in outputs[0].splitlines():
        utt_id, text = line.split("\t")
        seconds = soundfile.info(next(folder.glob(f"{utt_id}.*"))).duration
        assert len(text.replace(" ", "")) <= seconds / 0.04


@pytest.mark.slow
def test_evaluate_scores_the_last_epoch_when_it_reads_the_dev_set_better(workdir, capsys):
    run = workdir / "expts/tiny-asr"
    best = run / "checkpoints/checkpoint-best-metric-model.pth"
    checkpoint = torch.load(best, weights_only=True)
    checkpoint["model_state_dict"] = {k: v * 0.3 if v.is_floating_point() else v
                                      for k, v in checkpoint["model_state_dict"].items()}
    torch.save(checkpoint, best)  # a "best" epoch that reads nothing
    assert main(["evaluate", "tiny.yaml"]) == 0
    out = capsys.readouterr().out
    assert "with checkpoint-last-epoch-model.pth; scoring with checkpoint-last-epoch-model.pth\n" in out
    chosen = json.loads((run / "recognizer.json").read_text())["search"]
    assert chosen["checkpoint"] == "checkpoint-last-epoch-model.pth"
    assert "Scored with checkpoints/checkpoint-last-epoch-model.pth" in (run / "results.md").read_text()
    assert Recognizer.from_run_folder(run).checkpoint.name == "checkpoint-last-epoch-model.pth"


@pytest.mark.slow
def test_defaults_of_a_run_folder_through_the_command_line(workdir, capsys):
    run = workdir / "expts/tiny-asr"
    settings = json.loads((run / "recognizer.json").read_text())
    # Never evaluated: joint CTC/attention beam search, with the weights of the best epoch.
    assert "search" not in settings and len(settings["train_durations"]) == 21
    recognizer = Recognizer.from_run_folder(run)
    assert recognizer.search() == (10, 0.3, 0.3) and recognizer.checkpoint.name == "checkpoint-best-metric-model.pth"
    # An averaged checkpoint is used only when asked for.
    (run / "checkpoints/checkpoint-averaged-model.pth").write_bytes(
        (run / "checkpoints/checkpoint-last-epoch-model.pth").read_bytes())
    assert Recognizer.from_run_folder(run).checkpoint.name == "checkpoint-best-metric-model.pth"
    assert Recognizer.from_run_folder(run, checkpoint="checkpoint-averaged-model.pth").checkpoint.name == \
        "checkpoint-averaged-model.pth"
    # evaluate records the search it chose and the weights it scored; a resumed run keeps them.
    assert main(["evaluate", "tiny.yaml"]) == 0
    chosen = json.loads((run / "recognizer.json").read_text())["search"]
    assert chosen["checkpoint"] == "checkpoint-best-metric-model.pth" and len(chosen["checkpoint_sha256"]) == 64
    assert f"Scored with checkpoints/checkpoint-best-metric-model.pth (SHA-256 {chosen['checkpoint_sha256']})" in \
        (run / "results.md").read_text()
    assert main(["train-asr", "tiny.yaml", "--resume"]) == 0
    assert json.loads((run / "recognizer.json").read_text())["search"] == chosen
    capsys.readouterr()
    # A CTC weight for a recogniser trained without CTC is refused by name.
    config = (run / "config.yaml").read_text().replace("ctc_weight: 0.3", "ctc_weight: 0.0")
    (run / "config.yaml").write_text(config)
    assert main(["transcribe", str(run), "audio/test/7/3/7-3-0000.flac", "--ctc-weight", "0.3"]) == 1
    assert capsys.readouterr().err.strip().splitlines()[-1] == (
        "quorlin: error: the CTC weight must be 0: this recogniser was trained without a CTC head (loss.ctc_weight "
        "0), got 0.3")


def test_every_format_at_once_and_plain_text(workdir, capsys):
    audio = "audio/test/7/3/7-3-0001.flac"
    assert main(["transcribe", "expts/tiny-asr", audio, "--format", "all", "-o", "out"]) == 0
    assert sorted(p.name for p in (workdir / "out").iterdir()) == [f"7-3-0001.{ext}" for ext in
                                                                    ("json", "srt", "tsv", "txt", "vtt")]
    (record,) = json.loads((workdir / "out/7-3-0001.json").read_text())
    assert (workdir / "out/7-3-0001.txt").read_text() == "".join(f"{s['text']}\n" for s in record["segments"])
    assert main(["transcribe", "expts/tiny-asr", audio, audio.replace("0001", "0002"), "--format", "all"]) == 1
    assert capsys.readouterr().err.strip().endswith("every format is one file per input: give -o FOLDER for 2 "
                                                     "input(s)")

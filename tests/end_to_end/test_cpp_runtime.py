"""The C++ runtime against the Python recogniser: a tiny trained run exported once, then
transcribed by the built quorlin-transcribe in a subprocess with an empty environment."""
import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile
import torch
import torchaudio

from quorlin.cli import main
from quorlin.inference import Recognizer
from quorlin.inference.audio import AudioSource
from quorlin.inference.formats import WRITERS, format_json, format_srt, format_tsv, render
from quorlin.inference.segmentation import split_audio
from quorlin.inference.vad import speech_detector

pytestmark = pytest.mark.slow  # an export is compiled once, in about a minute

PROGRAM = Path(sys.executable).parent / "quorlin-transcribe"
EXAMPLE = Path(__file__).resolve().parents[2] / "build" / "runtime" / "transcribe-example"
SEARCHES = {  # (the C++ options, the same setting for the Python recogniser)
    "export's default": ([], {}),
    "greedy, no LM": (["--lm-weight", "0"], {"lm_weight": 0.0}),
    "joint beam": (["--beam-width", "4", "--ctc-weight", "0.3", "--lm-weight", "0"],
                   {"beam_width": 4, "ctc_weight": 0.3, "lm_weight": 0.0}),
    "joint beam with the LM": (["--beam-width", "3", "--ctc-weight", "0.5", "--lm-weight", "0.5"],
                               {"beam_width": 3, "ctc_weight": 0.5, "lm_weight": 0.5}),
    "attention beam, energy VAD": (["--beam-width", "4", "--ctc-weight", "0", "--lm-weight", "0", "--vad", "energy"],
                                   {"beam_width": 4, "ctc_weight": 0.0, "lm_weight": 0.0, "vad": "energy"}),
}


def run_program(*args, cwd=None, env=None):
    """quorlin-transcribe with ``args``, in an empty environment unless ``env`` is given."""
    assert PROGRAM.is_file(), f"{PROGRAM} is missing: scripts/setup.sh builds it"
    return subprocess.run([str(PROGRAM), *map(str, args), "--threads", "1"], capture_output=True, text=True,
                          cwd=cwd, env=env or {})


def error_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith("quorlin: error:")]


@pytest.fixture(scope="session")
def exported(trained_once, tmp_path_factory):
    """The tiny recogniser and its LM, exported once by the real command (about a minute of
    compiling); returns the folder holding the trained runs and the export folder."""
    folder = tmp_path_factory.mktemp("exported") / "tiny-export"
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(trained_once)
        assert main(["export", "expts/tiny-asr", "-o", str(folder), "--lm", "expts/tiny-lm"]) == 0
    return trained_once, folder


@pytest.fixture
def recordings(exported, tmp_path):
    """Every utterance of the tiny corpus; a long recording of the test utterances with pauses,
    which is cut into segments; and one utterance at 44,101 Hz, in MP3 at 22.05 kHz, and at
    44.1 kHz in two channels of 24 bits."""
    root, _ = exported
    files = sorted(str(p) for p in (root / "audio").rglob("*.flac"))
    pieces = []
    for path in files[-5:] * 3:
        samples, rate = soundfile.read(path, dtype="float32")
        pieces += [samples, np.zeros(int(0.6 * rate), np.float32)]
    soundfile.write(tmp_path / "long.wav", np.concatenate(pieces), 16000)
    samples, _ = soundfile.read(files[-1], dtype="float32")
    resampled = torchaudio.functional.resample(torch.from_numpy(samples), 16000, 44100).numpy()
    soundfile.write(tmp_path / "stereo.wav", np.stack([resampled, 0.5 * resampled], axis=1), 44100, subtype="PCM_24")
    soundfile.write(tmp_path / "odd.wav", resampled, 44101)
    soundfile.write(tmp_path / "compressed.mp3", torchaudio.functional.resample(torch.from_numpy(samples), 16000,
                                                                              22050).numpy(), 22050)
    return files + [str(tmp_path / "odd.wav"), str(tmp_path / "compressed.mp3"), str(tmp_path / "long.wav"),
                    str(tmp_path / "stereo.wav")]


def test_the_program_transcribes_as_the_python_recognizer_does(exported, recordings, tmp_path):
    root, export = exported
    recognizer = Recognizer.from_run_folder(root / "expts/tiny-asr", device="cpu", lm=root / "expts/tiny-lm")
    long = AudioSource(recordings[-2])  # cut into segments, whether or not this tiny model reads words in each
    detector = speech_detector("silero", round(recognizer.segment_lengths.longest * 100))
    assert len(list(split_audio(long.blocks(), detector, recognizer.segment_lengths, long.duration))) > 2
    for name, (options, setting) in SEARCHES.items():
        # Each segment searched for as long as its own audio allows: as the Python recogniser
        # does with batches of one segment, whatever the batch of the program.
        expected = recognizer.transcribe(recordings, batch_size=1, **setting)
        for batch_size in ("1", "5") if name == "joint beam" else ("5",):
            done = run_program(export, *recordings, *options, "--batch-size", batch_size)
            assert (done.returncode, done.stderr) == (0, ""), name
            assert done.stdout == format_tsv(expected), (name, batch_size)
        # Segments and word times to the millisecond, and the same subtitles.
        done = run_program(export, *recordings, "--format", "json", *options)
        assert json.loads(done.stdout) == json.loads(format_json(expected)), name
        assert done.stdout == format_json(expected), name
        done = run_program(export, recordings[-2], "--format", "srt", "-o", tmp_path / "long.srt", *options)
        assert (tmp_path / "long.srt").read_text() == format_srt(expected[-2]), name
        assert done.stderr == f"1 transcript(s) written to {tmp_path / 'long.srt'}\n"
    # Every format into a folder, a file each per input.
    done = run_program(export, *recordings[-3:], "--format", "all", "-o", tmp_path / "all")
    assert (done.returncode, done.stderr) == (0, f"3 transcript(s) written to {tmp_path / 'all'}\n")
    assert len(list((tmp_path / "all").iterdir())) == 3 * len(WRITERS)
    for transcript in recognizer.transcribe(recordings[-3:], batch_size=1):
        for fmt in WRITERS:
            assert (tmp_path / "all" / f"{transcript.id}.{fmt}").read_text() == render(fmt, [transcript]), fmt

    # The example program of the library gives the default search's transcript.
    default = recognizer.transcribe([recordings[-2]], batch_size=1)[0]
    shown = subprocess.run([str(EXAMPLE), str(export), recordings[-2]], capture_output=True, text=True, env={})
    assert shown.returncode == 0 and shown.stdout.splitlines()[0].endswith(f"s): {default.text}")
    assert len([line for line in shown.stdout.splitlines()[1:] if not line.startswith(" " * 19)]) \
        == len(default.segments)


def test_the_program_loads_neither_python_nor_cuda(exported, recordings):
    _, export = exported
    done = run_program(export, recordings[0], env={"LD_DEBUG": "libs"})
    loaded = set(re.findall(r"calling init: (\S+)", done.stderr))
    assert done.returncode == 0 and any("libtorch_cpu.so" in path for path in loaded)
    assert not [path for path in loaded if "python" in Path(path).name or "torch_cuda" in path]


def test_a_folder_with_a_corrupt_file_costs_one_transcript(exported, tmp_path, capsys):
    root, export = exported
    folder = tmp_path / "mixed"
    folder.mkdir()
    for name in ("a", "c"):
        shutil.copy(root / "audio/test/7/3/7-3-0001.flac", folder / f"{name}.flac")
    (folder / "b.wav").write_bytes(b"RIFF not really")
    soundfile.write(folder / "short.wav", np.full(1000, 0.1, np.float32), 16000)  # 62 ms
    done = run_program(export, folder)
    assert done.returncode == 1
    assert [line.split("\t")[0] for line in done.stdout.splitlines()] == ["a", "c"]
    # The same lines as the Python command's.
    assert main(["transcribe", str(root / "expts/tiny-asr"), str(folder), "--lm", str(root / "expts/tiny-lm")]) == 1
    python = capsys.readouterr()
    assert done.stdout == python.out
    assert error_lines(done.stderr) == error_lines(python.err) and len(error_lines(done.stderr)) == 2
    assert f"{folder / 'b.wav'}: cannot read audio: Error opening '{folder / 'b.wav'}': Format not recognised." \
        in done.stderr
    assert f"{folder / 'short.wav'}: 62 ms of audio is too short for the recogniser" in done.stderr
    # One input that fails has no subtitles to write: the error line, and no file.
    done = run_program(export, folder / "short.wav", "--format", "srt", "-o", tmp_path / "short.srt")
    assert main(["transcribe", str(root / "expts/tiny-asr"), str(folder / "short.wav"), "--format", "srt",
                 "-o", str(tmp_path / "short.srt")]) == 1
    python = capsys.readouterr()
    assert done.returncode == 1 and error_lines(done.stderr) == error_lines(python.err)
    assert not (tmp_path / "short.srt").exists()


@pytest.mark.parametrize("arguments, status, message", [
    (["--beam-width", "0"], 2, "quorlin-transcribe: error: argument --beam-width: must be an integer >= 1, got 0"),
    (["--ctc-weight", "1.5"], 2, "quorlin-transcribe: error: argument --ctc-weight: must lie in [0, 1], got 1.5"),
    (["--format", "csv"], 2, "quorlin-transcribe: error: argument --format: invalid choice: 'csv' "
                             "(choose from 'tsv', 'json', 'txt', 'srt', 'vtt', 'all')"),
    (["--beam-width", "300"], 2, "quorlin-transcribe: error: argument --beam-width: must be an integer in [1, 256], "
                                 "got 300"),
    (["--batch-size", "x"], 2, "quorlin-transcribe: error: argument --batch-size: must be an integer >= 1, got 'x'"),
    (["--format", "txt", "EXTRA"], 1, "quorlin: error: txt output is one file per input: give -o FOLDER for "
                                      "2 input(s)"),
    (["--format", "all"], 1, "quorlin: error: every format is one file per input: give -o FOLDER for 1 input(s)"),
    (["--vad", "webrtc"], 1, "quorlin: error: unknown voice activity detector 'webrtc': give one of silero, energy"),
])
def test_bad_options_are_refused_by_name(exported, recordings, arguments, status, message):
    _, export = exported
    inputs = [recordings[0]] + ([recordings[1]] if "EXTRA" in arguments else [])
    done = run_program(export, *inputs, *[a for a in arguments if a != "EXTRA"])
    assert done.returncode == status and done.stdout == ""
    assert done.stderr.splitlines()[-1] == message


def _edit_manifest(folder, change):
    manifest = json.loads((folder / "quorlin-export.json").read_text())
    change(manifest)
    (folder / "quorlin-export.json").write_text(json.dumps(manifest))


@pytest.mark.parametrize("tamper, message", [
    (lambda f: _edit_manifest(f, lambda m: m.update(version=1)),
     "quorlin-export.json: format version 1 is not one this runtime reads (2)"),
    (lambda f: (f / "decoder.pt2").unlink(), "is not a complete export: its decoder part decoder.pt2 is missing"),
    (lambda f: (f / "silero_vad.jit").unlink(),
     "is not a complete export: its Silero VAD network silero_vad.jit is missing"),
    (lambda f: (f / "silero_vad.jit").write_bytes(b"not TorchScript"), "silero_vad.jit is not a readable Silero VAD"),
    (lambda f: _edit_manifest(f, lambda m: m["segments"]["train_durations"].pop()),
     "segments.train_durations must be 21 positive durations in increasing order"),
    (lambda f: _edit_manifest(f, lambda m: m["tokenizer"]["pieces"].pop()),
     "the vocabulary has 17 tokens, but the model in encoder.pt2 has 18"),
    (lambda f: _edit_manifest(f, lambda m: m["parts"].update(encoder="decoder.pt2")),
     "decoder.pt2 is the decoder part, not the encoder"),
    (lambda f: _edit_manifest(f, lambda m: m.update(export="0123456789abcdef")),
     "encoder.pt2 belongs to another export"),
    (lambda f: (f / "encoder.pt2").write_bytes(b"PK\x03\x04 not a package"), "encoder.pt2 is not a readable model part"),
    (lambda f: (f / "quorlin-export.json").unlink(), "is not a quorlin export folder: it has no quorlin-export.json"),
])
def test_a_tampered_or_foreign_export_is_refused_by_name(exported, recordings, tmp_path, tamper, message):
    _, export = exported
    folder = tmp_path / "copy"
    shutil.copytree(export, folder)
    tamper(folder)
    done = run_program(folder, recordings[0])
    assert done.returncode == 1 and done.stdout == ""
    (line,) = error_lines(done.stderr)
    assert message in line and str(folder) in line


def test_export_refuses_what_it_cannot_export(exported, tmp_path, capsys, monkeypatch):
    root, export = exported
    monkeypatch.chdir(root)
    untrained = tmp_path / "untrained"
    shutil.copytree(root / "expts/tiny-asr", untrained, ignore=shutil.ignore_patterns("checkpoints"))
    other_lm = tmp_path / "other-lm"
    shutil.copytree(root / "expts/tiny-lm", other_lm)
    tokenizer = json.loads((other_lm / "tokenizer.json").read_text())
    tokenizer["symbols"] = tokenizer["symbols"][::-1]  # the same size, other ids
    (other_lm / "tokenizer.json").write_text(json.dumps(tokenizer))
    occupied = tmp_path / "occupied"
    occupied.mkdir()
    (occupied / "notes.txt").write_text("keep me")
    cases = [
        (["export", str(untrained), "-o", str(tmp_path / "x")], f"{untrained} is not a trained recogniser run folder"),
        (["export", "expts/tiny-asr", "-o", str(tmp_path / "x"), "--lm", str(other_lm)],
         f"the language model in {other_lm} was trained with another tokenizer"),
        (["export", "expts/tiny-asr", "-o", str(occupied)], f"{occupied} exists and is not empty; give --overwrite"),
        (["export", "expts/tiny-asr", "-o", "expts", "--overwrite"], "expts holds the run folder expts/tiny-asr"),
    ]
    for argv, message in cases:
        assert main(argv) == 1
        (line,) = capsys.readouterr().err.strip().splitlines()
        assert line.startswith("quorlin: error: ") and message in line, line
    assert (occupied / "notes.txt").read_text() == "keep me" and not (tmp_path / "x").exists()
    assert sorted(p.name for p in export.iterdir()) == ["decoder.pt2", "encoder.pt2", "lm.pt2", "quorlin-export.json",
                                                        "silero_vad.jit"]

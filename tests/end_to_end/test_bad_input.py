"""A catalogue of bad input, each through the real command line: exit status 1, one line
"quorlin: error: ..." naming the culprit, no traceback, and the trained models untouched."""
import fcntl
import hashlib
import os
import resource
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile
import yaml

from quorlin.cli import main

ASR = Path("expts/tiny-asr")
CHECKPOINTS = ASR / "checkpoints"


def _edit_recipe(change):
    """Applies ``change`` to the loaded tiny recipe and writes it back."""
    recipe = yaml.safe_load(Path("tiny.yaml").read_text())
    change(recipe)
    Path("tiny.yaml").write_text(yaml.safe_dump(recipe))


def _set(path, value):
    """A recipe change setting the key path "a.b.c" to ``value``."""
    def change(recipe):
        *parents, key = path.split(".")
        section = recipe
        for name in parents:
            section = section[name]
        section[key] = value
    return change


def _recipe_text(text):
    return lambda: Path("tiny.yaml").write_bytes(text)


def _wav(path, seconds, value=0.1):
    soundfile.write(path, np.full(int(16000 * seconds), value, dtype=np.float32), 16000)


def _nan_audio():
    samples = np.random.default_rng(0).standard_normal(16000).astype(np.float32) * 0.1
    samples[8000] = np.nan
    soundfile.write("audio/dev/7/2/7-2-0002.wav", samples, 16000, subtype="FLOAT")
    Path("audio/dev/7/2/7-2-0002.flac").unlink()


def _rewrite_config(change):
    config = yaml.safe_load((ASR / "config.yaml").read_text())
    change(config)
    (ASR / "config.yaml").write_text(yaml.safe_dump(config))


def _hold_lock():
    fd = os.open(ASR / ".lock", os.O_RDWR | os.O_CREAT)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    os.write(fd, b"4242\n")
    return fd  # kept open by the test until it ends


def _truncated_stream():
    _edit_recipe(lambda recipe: (recipe["asr"]["data"].update(storage="stream"),
                                 recipe["asr"].update(run_name="tiny-stream-asr")))
    path = Path("data/asr/train-clean-100/fbank/7-1-0003.npy")
    path.write_bytes(path.read_bytes()[:-4])


def _other_tokenizer_lm():
    tokenizer = Path("expts/tiny-lm/tokenizer.json")
    tokenizer.write_text(tokenizer.read_text().replace('"A"', '"Q"', 1))


CASES = {
    # The recipe.
    "missing recipe": (None, ["prepare", "nowhere.yaml"], "cannot read the recipe nowhere.yaml"),
    "recipe not UTF-8": (_recipe_text(b"seed: \xff\n"), ["prepare", "tiny.yaml"], "tiny.yaml is not UTF-8"),
    "recipe not YAML": (_recipe_text(b"prepare: [\n"), ["prepare", "tiny.yaml"], "tiny.yaml is not valid YAML"),
    "unknown key": (lambda: _edit_recipe(_set("evaluate.ctc_wieght", 0.1)), ["evaluate", "tiny.yaml"],
                    "evaluate.ctc_wieght is not a known key"),
    "unknown section": (lambda: _edit_recipe(_set("evalute", {})), ["prepare", "tiny.yaml"], "evalute"),
    "data key typo": (lambda: _edit_recipe(_set("asr.data.batchsize", 4)), ["train-asr", "tiny.yaml"],
                      "asr.data.batchsize"),
    "zero learning rate": (lambda: _edit_recipe(_set("asr.optimizer.lr", 0.0)), ["train-asr", "tiny.yaml"],
                           "asr.optimizer.lr"),
    "CTC weight over 1": (lambda: _edit_recipe(_set("evaluate.ctc_weight", 1.5)), ["evaluate", "tiny.yaml"],
                          "evaluate.ctc_weight"),
    "epochs as text": (lambda: _edit_recipe(_set("asr.epochs", "three")), ["train-asr", "tiny.yaml"], "asr.epochs"),
    "unknown norm": (lambda: _edit_recipe(_set("asr.data.norm", "global-mvn")), ["train-asr", "tiny.yaml"],
                     "asr.data.norm"),
    "beam width 0": (lambda: _edit_recipe(_set("evaluate.beam_width", [0, 4])), ["evaluate", "tiny.yaml"],
                     "evaluate.beam_width"),
    "speed factor 5": (lambda: _edit_recipe(_set("prepare.speed_perturb", [5.0])), ["prepare", "tiny.yaml"],
                       "prepare.speed_perturb"),
    "lm_text as a string": (lambda: _edit_recipe(_set("prepare.lm_text", "text.txt")), ["prepare", "tiny.yaml"],
                            "prepare.lm_text"),
    "NaN LM weight": (lambda: _edit_recipe(_set("evaluate.lm_weight", float("nan"))), ["evaluate", "tiny.yaml"],
                      "evaluate.lm_weight"),
    "same run names": (lambda: _edit_recipe(_set("lm.run_name", "tiny-asr")), ["train-lm", "tiny.yaml"],
                       "run_name"),
    "run name with ..": (lambda: _edit_recipe(_set("asr.run_name", "../outside")), ["evaluate", "tiny.yaml"],
                         "asr.run_name"),
    "absolute run name": (lambda: _edit_recipe(_set("asr.run_name", "/tmp/outside")), ["train-asr", "tiny.yaml"],
                          "asr.run_name"),
    # Preparation.
    "missing audio folder": (lambda: _edit_recipe(_set("prepare.dev", "audio/nowhere")), ["prepare", "tiny.yaml"],
                             "audio/nowhere"),
    "corrupt audio": (lambda: Path("audio/dev/7/2/7-2-0001.flac").write_bytes(b"not audio"),
                      ["prepare", "tiny.yaml"], "audio/dev/7/2/7-2-0001.flac"),
    "NaN samples": (_nan_audio, ["prepare", "tiny.yaml"], "audio/dev/7/2/7-2-0002.wav"),
    "transcripts not UTF-8": (lambda: Path("audio/dev/7/2/7-2.trans.txt").write_bytes(b"7-2-0000 \xe9T\xe9\n"),
                              ["prepare", "tiny.yaml"], "audio/dev/7/2/7-2.trans.txt"),
    "LM text not UTF-8": (lambda: (Path("text.txt").write_bytes(b"LET \xff THERE\n"),
                                   _edit_recipe(_set("prepare.lm_text", ["text.txt"]))),
                          ["prepare", "tiny.yaml"], "text.txt"),
    "speed copy id taken": (lambda: (_wav("audio/train/7/1/7-1-0000_sp1.1.flac", 1.0),
                                     Path("audio/train/7/1/7-1.trans.txt").open("a").write("7-1-0000_sp1.1 LET\n")),
                            ["prepare", "tiny.yaml"], "7-1-0000_sp1.1"),
    # Training.
    "not prepared": (lambda: _edit_recipe(_set("asr.data.root", "data/elsewhere")),
                     ["train-asr", "tiny.yaml", "--overwrite"], "data/elsewhere/tokenizer.json"),
    "trained model without --resume": (None, ["train-asr", "tiny.yaml"], "expts/tiny-asr already holds a trained"),
    "resume with another width": (lambda: _edit_recipe(_set("asr.model.d_ff", 48)),
                                  ["train-asr", "tiny.yaml", "--resume"], "checkpoint-last-epoch-model.pth"),
    "resume with more layers": (lambda: _edit_recipe(_set("asr.model.num_encoder_layers", 2)),
                                ["train-asr", "tiny.yaml", "--resume"], "enc_layers.1"),
    "resume from an empty checkpoint": (lambda: (CHECKPOINTS / "checkpoint-last-epoch-model.pth").write_bytes(b""),
                                        ["train-asr", "tiny.yaml", "--resume"], "checkpoint-last-epoch-model.pth"),
    "run folder in use": (_hold_lock, ["train-asr", "tiny.yaml", "--overwrite"], "expts/tiny-asr is in use"),
    "truncated streamed features": (_truncated_stream, ["train-asr", "tiny.yaml"],
                                    "data/asr/train-clean-100/fbank/7-1-0003.npy: truncated .npy file"),
    # Evaluation and averaging.
    "absurd layer count": (lambda: _rewrite_config(_set("model.num_encoder_layers", 100000)),
                           ["evaluate", "tiny.yaml"], "num_encoder_layers"),
    "absurd max_len": (lambda: _rewrite_config(_set("model.max_len", 10 ** 9)), ["evaluate", "tiny.yaml"],
                       "max_len"),
    "NaN statistics": (lambda: (ASR / "recognizer.json").write_text(
        (ASR / "recognizer.json").read_text().replace("[\n  ", "[\n  NaN, ", 1)), ["evaluate", "tiny.yaml"],
        "recognizer.json"),
    "too few epoch checkpoints": (None, ["average", "expts/tiny-asr", "--last", "2"], "expts/tiny-asr keeps 0"),
    # Transcription.
    "not a run folder": (None, ["transcribe", "nowhere", "audio/test"], "nowhere is not a trained recogniser"),
    "LM of another tokenizer": (_other_tokenizer_lm, ["transcribe", "expts/tiny-asr", "audio/test", "--lm",
                                                      "expts/tiny-lm"], "another tokenizer"),
    "max length beyond the model's": (None, ["transcribe", "expts/tiny-asr", "audio/test", "--max-length", "5000"],
                                      "5000"),
    "output replaces an input": (None, ["transcribe", "expts/tiny-asr", "audio/test/7/3/7-3-0000.flac", "-o",
                                        "audio/test/7/3/7-3-0000.flac"], "audio/test/7/3/7-3-0000.flac"),
    "output in a missing folder": (None, ["transcribe", "expts/tiny-asr", "audio/test", "-o", "tiny.yaml/out.tsv"],
                                   "tiny.yaml/out.tsv"),
    "30 ms of audio": (lambda: _wav("short.wav", 0.03), ["transcribe", "expts/tiny-asr", "short.wav"], "short.wav"),
    "empty audio": (lambda: _wav("empty.wav", 0.0), ["transcribe", "expts/tiny-asr", "empty.wav"], "empty.wav"),
}


def _hashes():
    return {p: hashlib.sha256(p.read_bytes()).hexdigest() for p in Path("expts").glob("*/checkpoints/*.pth")}


@pytest.mark.parametrize("case", list(CASES))
def test_bad_input_gets_one_clear_error(workdir, capsys, case):
    setup, argv, culprit = CASES[case]
    before = _hashes()
    if setup is not None:
        setup()
    capsys.readouterr()
    assert main(argv) == 1
    out, err = capsys.readouterr()
    errors = [line for line in err.splitlines() if "quorlin: error:" in line]
    assert len(errors) == 1 and errors[0].startswith("quorlin: error: ") and culprit in errors[0], err
    assert "Traceback" not in out + err
    if case not in ("resume from an empty checkpoint",):
        assert _hashes() == {p: h for p, h in before.items() if p.exists()}
    if case.startswith("resume"):
        # Refused before any file of the run folder changed: its configuration is the trained one.
        assert yaml.safe_load((ASR / "config.yaml").read_text())["model"]["d_ff"] == 32


def test_a_full_disk_while_saving_names_the_file(workdir):
    """A process that may write no more than 64 kB fails to save its checkpoint, with one
    error line, and the checkpoints it had stay as they were."""
    before = _hashes()

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (64_000, 64_000))

    _edit_recipe(_set("asr.epochs", 4))
    result = subprocess.run([sys.executable, "-m", "quorlin", "train-asr", "tiny.yaml", "--resume"],
                            preexec_fn=limit_file_size, capture_output=True, text=True, timeout=300,
                            env={**os.environ, "OMP_NUM_THREADS": "1"})
    errors = [line for line in result.stderr.splitlines() if "quorlin: error:" in line]
    assert result.returncode == 1 and len(errors) == 1 and "Traceback" not in result.stderr, result.stderr
    assert "File too large" in errors[0] and "expts/tiny-asr/" in errors[0]
    assert _hashes() == before
    assert not list(CHECKPOINTS.glob(".*.tmp"))


def test_usage_errors_name_the_option(capsys):
    for argv, message in ((["transcribe", "run", "a.wav", "--lm-weight", "nan"],
                           "argument --lm-weight: must be a finite number >= 0, got nan"),
                          (["transcribe", "run", "a.wav", "--ctc-weight", "1.5"],
                           "argument --ctc-weight: must lie in [0, 1], got 1.5"),
                          (["train-asr", "r.yaml", "--resume", "--overwrite"],
                           "argument --overwrite: not allowed with argument --resume"),
                          (["prepare", "r.yaml", "-j", "0"], "argument -j/--jobs: must be an integer >= 1, got 0")):
        with pytest.raises(SystemExit) as exit_info:
            main(argv)
        assert exit_info.value.code == 2 and message in capsys.readouterr().err

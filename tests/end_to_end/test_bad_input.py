"""A catalogue of bad input, each through the real command line: exit status 1, one line
"quorlin: error: ..." naming the culprit, no traceback, and the trained models untouched.
Input from someone else (damaged or hostile run-folder files, recipes, odd files, commands
side by side) runs in a child process, whose peak memory and CPU time are bounded too."""
import base64
import fcntl
import hashlib
import json
import os
import resource
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
import soundfile
import torch
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
    path = Path("data/asr/train/fbank/7-1-0003.npy")
    path.write_bytes(path.read_bytes()[:-4])


def _other_tokenizer_lm():
    tokenizer = Path("expts/tiny-lm/tokenizer.json")
    tokenizer.write_text(tokenizer.read_text().replace('"A"', '"Q"', 1))


CASES = {
    # The recipe.
    "missing recipe": (None, ["prepare", "nowhere.yaml"], "cannot read nowhere.yaml: no such file"),
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
                                    "data/asr/train/fbank/7-1-0003.npy: truncated .npy file"),
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


@pytest.mark.slow
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


# Input from someone else, in a child process each.

CLIP = "audio/test/7/3/7-3-0000.flac"
TRANSCRIBE = ["transcribe", str(ASR), CLIP]
GIB = 1 << 30


def _json(path, change):
    value = json.loads(Path(path).read_text())
    change(value)
    Path(path).write_text(json.dumps(value))


def _recognizer(change):
    return lambda: _json(ASR / "recognizer.json", change)


def _config(change):
    return lambda: _rewrite_config(change)


def _delete(key):
    def change(mapping):
        del mapping[key]
    return change


def _alias_bomb(levels=9):
    """A few hundred bytes of YAML: a mapping whose anchors, followed, make 9 ** levels strings."""
    names = "abcdefghijklmnop"[:levels]
    items = [f"{names[0]}: &{names[0]} [{', '.join(['lol'] * 9)}]"]
    items += [f"{name}: &{name} [{', '.join([f'*{before}'] * 9)}]" for before, name in zip(names, names[1:])]
    return "{" + ", ".join(items) + "}"


def _replace_text(path, old, new):
    def setup():
        text = Path(path).read_text()
        assert old in text
        Path(path).write_text(text.replace(old, new, 1))
    return setup


def _write(path, text):
    return lambda: Path(path).write_text(text)


def _tokenizer(state):
    return _write(ASR / "tokenizer.json", json.dumps(state))


def _pickled_checkpoint(name):
    def setup():
        checkpoint = torch.load(CHECKPOINTS / name, weights_only=True)
        checkpoint["hook"] = print  # pickled by reference: loading it would call into Python
        torch.save(checkpoint, CHECKPOINTS / name)
    return setup


def _pickled_transcript():
    np.save("data/asr/train/text/7-1-0000.npy", np.array([os.system], dtype=object), allow_pickle=True)


def _fifo(path):
    def setup():
        Path(path).parent.mkdir(exist_ok=True)
        Path(path).unlink(missing_ok=True)
        os.mkfifo(path)
    return setup


def _dangling_link():
    Path("links").mkdir()
    os.symlink("nowhere.wav", "links/gone.wav")


FROM_OTHERS = {
    # Run names: one plain folder name each.
    "run name inside the LM's": (lambda: _edit_recipe(_set("asr.run_name", "tiny-lm/inner")),
                                 ["train-lm", "tiny.yaml", "--overwrite"], ("tiny.yaml", "asr.run_name")),
    "NUL in a run name": (lambda: _edit_recipe(_set("asr.run_name", "tiny\0asr")), ["evaluate", "tiny.yaml"],
                          ("tiny.yaml", "asr.run_name", r"'tiny\x00asr'")),
    # YAML alias bombs: refused as read, never expanded, never printed.
    "alias bomb in a recipe's seed": (_replace_text("tiny.yaml", "seed: 0", f"seed: {_alias_bomb()}"),
                                      ["prepare", "tiny.yaml"], ("tiny.yaml", "aliases expand")),
    "alias bomb in config.yaml": (_replace_text(ASR / "config.yaml", "epochs: 3", f"epochs: {_alias_bomb()}"),
                                  TRANSCRIBE, ("expts/tiny-asr/config.yaml", "aliases expand")),
    # Damaged run-folder files, one at a time.
    "tokenizer.json nested 5000 deep": (_write(ASR / "tokenizer.json", "[" * 5000 + "]" * 5000), TRANSCRIBE,
                                        ("expts/tiny-asr/tokenizer.json", "nested more than 32")),
    "recognizer.json nested 5000 deep": (_write(ASR / "recognizer.json", "[" * 5000 + "]" * 5000), TRANSCRIBE,
                                         ("expts/tiny-asr/recognizer.json", "nested more than 32")),
    "BPE model of garbage": (_tokenizer({"format": "vask-tokenizer", "kind": "bpe", "escaped": True,
                                         "sentencepiece_model": base64.b64encode(b"\x0a\x07garbage" * 50).decode()}),
                             TRANSCRIBE, ("expts/tiny-asr/tokenizer.json", "not a SentencePiece model")),
    "tab in the vocabulary": (_replace_text(ASR / "tokenizer.json", '"D"', '"\\t"'), TRANSCRIBE,
                              ("expts/tiny-asr/tokenizer.json", "token 7", "transcripts cannot hold")),
    "search as a list": (_recognizer(lambda s: s.update(search=[1, 0.3])), TRANSCRIBE,
                         ("expts/tiny-asr/recognizer.json", "search must be a mapping")),
    "beam width 10^9": (_recognizer(lambda s: s.update(search={"beam_width": 10 ** 9})), TRANSCRIBE,
                        ("expts/tiny-asr/recognizer.json", "search.beam_width must be an integer in [1, 256]")),
    "global_mean of the wrong length": (_recognizer(lambda s: s["global_mean"].pop()), TRANSCRIBE,
                                        ("expts/tiny-asr/recognizer.json", "global_mean holds 19 numbers")),
    "near-zero global_std": (_recognizer(lambda s: s["global_std"].__setitem__(3, 1e-12)), TRANSCRIBE,
                             ("expts/tiny-asr/recognizer.json", "global_std[3] must be a number >= 5e-05")),
    "num_feats 10^9": (_config(_set("data.num_feats", 10 ** 9)), TRANSCRIBE,
                       ("expts/tiny-asr/config.yaml", "model.input_dim must equal data.num_feats (1000000000)")),
    "config.yaml without data": (_config(_delete("data")), TRANSCRIBE,
                                 ("expts/tiny-asr/config.yaml", "data is missing")),
    "CTC weight as text in config.yaml": (_config(_set("loss.ctc_weight", "0.3")), ["evaluate", "tiny.yaml"],
                                          ("expts/tiny-asr/config.yaml", "loss.ctc_weight must be a number")),
    # Checkpoints that hold Python objects.
    "pickled best checkpoint": (_pickled_checkpoint("checkpoint-best-metric-model.pth"), TRANSCRIBE,
                                ("checkpoint-best-metric-model.pth", "not a plain-tensor checkpoint",
                                 "(print)")),
    "pickled last checkpoint on --resume": (_pickled_checkpoint("checkpoint-last-epoch-model.pth"),
                                            ["train-asr", "tiny.yaml", "--resume"],
                                            ("checkpoint-last-epoch-model.pth", "not a plain-tensor checkpoint")),
    "pickled transcript": (_pickled_transcript, ["train-asr", "tiny.yaml", "--overwrite"],
                           ("data/asr/train/text/7-1-0000.npy", "posix.system")),
    # Odd files where a file is read.
    "FIFO in an input folder": (_fifo("fifos/talk.wav"), ["transcribe", str(ASR), "fifos"],
                                ("fifos/talk.wav", "not a regular file")),
    "FIFO as the tokenizer": (_fifo(ASR / "tokenizer.json"), TRANSCRIBE,
                              ("expts/tiny-asr/tokenizer.json", "not a regular file")),
    "FIFO as a transcript file": (_fifo("audio/dev/7/2/7-2.trans.txt"), ["prepare", "tiny.yaml"],
                                  ("audio/dev/7/2/7-2.trans.txt", "not a regular file")),
    "link to nowhere in an input folder": (_dangling_link, ["transcribe", str(ASR), "links"],
                                           ("links/gone.wav", "no such file")),
    # Outputs that would replace a run folder's own files.
    "transcripts into the run folder": (None, TRANSCRIBE + ["--format", "json", "-o", "expts/tiny-asr/"],
                                        ("expts/tiny-asr/", "lies in the run folder")),
    "transcripts over recognizer.json": (None, TRANSCRIBE + ["-o", "expts/tiny-asr/recognizer.json"],
                                         ("expts/tiny-asr/recognizer.json", "lies in the run folder")),
    # A run folder held by a training (evaluation, averaging and training meet as real processes in
    # test_side_by_side.py).
    "transcribe while the run trains": (_hold_lock, TRANSCRIBE, ("expts/tiny-asr is in use by process 4242",)),
}


# The command is started from a small process: Linux counts the memory of the process that
# a child was forked from in the child's peak, and this test's process holds a model or two.
MEASURED = """
import os, sys
child = os.fork()
if child == 0:
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    os.execv(sys.executable, [sys.executable, "-m", "quorlin", *sys.argv[1:]])
_, status, usage = os.wait4(child, 0)
print(usage.ru_maxrss * 1024, usage.ru_utime + usage.ru_stime)
sys.exit(os.waitstatus_to_exitcode(status))
"""


def _child(argv, timeout=60):
    """Runs ``quorlin argv`` in a child process: its exit status, standard error, peak memory
    (bytes) and CPU time (seconds, user and system), from the kernel's account of that child."""
    env = {**os.environ, "OMP_NUM_THREADS": "1", "PYTHONWARNINGS": "ignore"}
    child = subprocess.Popen([sys.executable, "-c", MEASURED, *argv], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env=env, start_new_session=True)
    watchdog = threading.Timer(timeout, os.killpg, (child.pid, 9))
    watchdog.start()
    try:
        out, err = child.communicate()
    finally:
        watchdog.cancel()
    peak, cpu = out.split()
    return child.returncode, err.decode(errors="replace"), int(peak), float(cpu)


@pytest.mark.parametrize("case", list(FROM_OTHERS))
@pytest.mark.slow
def test_input_from_others_gets_one_clear_error_in_bounded_time_and_memory(workdir, case):
    setup, argv, culprits = FROM_OTHERS[case]
    held = setup() if setup is not None else None  # a lock's descriptor, kept open while the child runs
    before = _hashes()
    status, err, peak, cpu = _child(argv)
    print(f"{case}: {peak / 2 ** 20:.0f} MiB, {cpu:.1f} s CPU")
    errors = [line for line in err.splitlines() if "quorlin: error:" in line]
    assert status == 1 and len(errors) == 1 and errors[0].startswith("quorlin: error: "), err
    assert all(culprit in errors[0] for culprit in culprits), errors[0]
    assert "Traceback" not in err and "weights_only" not in err and len(errors[0]) < 600, err
    assert peak < GIB and cpu < 10, (peak, cpu)
    assert _hashes() == before
    if setup is _hold_lock:
        os.close(held)

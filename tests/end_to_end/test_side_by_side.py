"""Commands side by side, each a real process: a run folder that one command changes is
refused to the others, and no result is written beside another model than the one scored.
A command is stopped (SIGSTOP) where it holds its lock, so that the others meet it there."""
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import yaml

ASR = Path("expts/tiny-asr")
LOCK = ASR / ".lock"
BEST = ASR / "checkpoints/checkpoint-best-metric-model.pth"


ENV = {**os.environ, "OMP_NUM_THREADS": "1", "PYTHONUNBUFFERED": "1"}


def _start(*argv, log="child.log"):
    with open(log, "w") as out:
        return subprocess.Popen([sys.executable, "-m", "quorlin", *argv], stdout=out, stderr=subprocess.STDOUT,
                                env=ENV)


def _run(*argv):
    return subprocess.run([sys.executable, "-m", "quorlin", *argv], capture_output=True, text=True, timeout=120,
                          env=ENV)


def _error(result):
    errors = [line for line in result.stderr.splitlines() if line.startswith("quorlin: error: ")]
    assert result.returncode == 1 and len(errors) == 1 and "Traceback" not in result.stderr, result.stderr
    return errors[0]


def _holders(path):
    """{pid: "READ" or "WRITE"} of the flocks held on ``path`` (from /proc/locks)."""
    inode = os.stat(path).st_ino
    with open("/proc/locks") as f:
        fields = [line.split() for line in f]
    return {int(f[4]): f[3] for f in fields if f[1] == "FLOCK" and int(f[5].rsplit(":", 1)[1]) == inode}


def _wait_for(condition, child, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        assert child.poll() is None and time.monotonic() < deadline, f"{what}: {Path('child.log').read_text()}"
        time.sleep(0.02)


def _sha(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def _set_epochs(epochs):
    recipe = yaml.safe_load(Path("tiny.yaml").read_text())
    recipe["asr"]["epochs"] = epochs
    Path("tiny.yaml").write_text(yaml.safe_dump(recipe))


def test_evaluate_and_average_are_refused_while_the_run_trains(workdir):
    _set_epochs(200)
    training = _start("train-asr", "tiny.yaml", "--overwrite")
    try:
        _wait_for(lambda: _holders(LOCK).get(training.pid) == "WRITE", training, "training never took the folder")
        for argv in (["evaluate", "tiny.yaml"], ["average", str(ASR), "--last", "1"]):
            assert _error(_run(*argv)) == f"quorlin: error: {ASR} is in use by process {training.pid}, which is " \
                                          "changing it; wait for it to end", argv
    finally:
        training.send_signal(signal.SIGTERM)
        assert training.wait(60) == 130, Path("child.log").read_text()
    # What the refused commands would have written is nowhere.
    assert not (ASR / "results.md").exists() and not (ASR / "checkpoints/checkpoint-averaged-model.pth").exists()
    assert not list(ASR.glob("**/.*.tmp"))


def test_training_is_refused_while_the_run_is_evaluated(workdir):
    before = _sha(BEST)
    evaluation = _start("evaluate", "tiny.yaml")
    try:
        _wait_for(lambda: _holders(LOCK).get(evaluation.pid) == "READ", evaluation, "evaluation never read")
        evaluation.send_signal(signal.SIGSTOP)
        assert _holders(LOCK).get(evaluation.pid) == "READ"  # stopped while it reads (it writes at the very end)
        error = _error(_run("train-asr", "tiny.yaml", "--overwrite"))
        assert error == f"quorlin: error: {ASR} is in use by another command reading it; wait for it to end or " \
                        "choose another run name"
        evaluation.send_signal(signal.SIGCONT)
        assert evaluation.wait(120) == 0, Path("child.log").read_text()
    finally:
        evaluation.kill()
    # The results describe the model that was read: it is still there.
    assert _sha(BEST) == before and (ASR / "results.md").is_file()
    assert json.loads((ASR / "recognizer.json").read_text())["search"]["chosen_on"] == "dev"


def _hold(mode):
    fd = os.open(LOCK, os.O_RDWR)
    fcntl.flock(fd, mode | fcntl.LOCK_NB)
    return fd


def _waits_to_write(evaluation):
    """Whether ``evaluation`` has scored every set and holds no lock: it waits for the other
    readers to end, to write."""
    done = re.search(r"^test \S+: CER", Path("child.log").read_text(), re.MULTILINE) is not None
    return done and all(evaluation.pid not in _holders(LOCK) for _ in range(20))


def test_a_model_replaced_while_evaluate_waits_to_write_gets_no_results(workdir):
    reader = _hold(fcntl.LOCK_SH)  # a transcription, say, reading the folder
    evaluation = _start("evaluate", "tiny.yaml")
    try:
        _wait_for(lambda: _waits_to_write(evaluation), evaluation, "evaluation never waited to write")
        # An average (or a training) that came and went while the folder was shared: a new file.
        shutil.copy(BEST, "replacement.pth")
        os.replace("replacement.pth", BEST)
        os.close(reader)
        assert evaluation.wait(60) == 1
    finally:
        evaluation.kill()
    log = Path("child.log").read_text()
    assert f"quorlin: error: the model in {ASR} was replaced while it was evaluated; no result was written" in log
    assert not (ASR / "results.md").exists() and not (ASR / "transcripts").exists()
    assert "search" not in json.loads((ASR / "recognizer.json").read_text())


def test_a_writer_taking_the_folder_while_evaluate_waits_to_write_gets_no_results(workdir):
    lock = _hold(fcntl.LOCK_SH)
    evaluation = _start("evaluate", "tiny.yaml")
    try:
        _wait_for(lambda: _waits_to_write(evaluation), evaluation, "evaluation never waited to write")
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)  # a training starts
        os.pwrite(lock, b"4242\n", 0)
        assert evaluation.wait(60) == 1
    finally:
        evaluation.kill()
        os.close(lock)
    log = Path("child.log").read_text()
    assert f"quorlin: error: {ASR} was taken by process 4242, which is changing it, while this command read it; " \
           "nothing was written" in log
    assert not (ASR / "results.md").exists()


def test_two_prepares_of_one_recipe_take_turns(tmp_path, monkeypatch, corpus):
    monkeypatch.chdir(tmp_path)
    rng = np.random.default_rng(1)
    for split, count, chapter in (("train", 6, 1), ("dev", 3, 2), ("test", 3, 3)):
        corpus.make_corpus(tmp_path / "audio", split, count, chapter, rng)
    corpus.make_recipe(tmp_path)
    first = _start("prepare", "tiny.yaml", "-j", "1")
    try:
        _wait_for(lambda: os.path.exists("data/asr/.lock") and _holders("data/asr/.lock").get(first.pid) == "WRITE",
                  first, "the first never took the data")
        first.send_signal(signal.SIGSTOP)
        second = _start("prepare", "tiny.yaml", "-j", "1", log="second.log")
        try:
            _wait_for(lambda: "waiting for it to end" in Path("second.log").read_text(), second, "no wait")
            assert f"data/asr is in use by process {first.pid}, which is changing it; waiting for it to end..." in \
                Path("second.log").read_text()
            first.send_signal(signal.SIGCONT)
            assert first.wait(120) == 0, Path("child.log").read_text()
            assert second.wait(120) == 0, Path("second.log").read_text()
        finally:
            second.kill()
    finally:
        first.kill()
    # The second found the first's work done, and the data is whole.
    second_log = Path("second.log").read_text()
    for partition, count in (("train", 12), ("dev", 3), ("test", 3)):
        assert f"{partition}: 0 prepared, {count} already there" in second_log
        assert len(list(Path(f"data/asr/{partition}/fbank").glob("*.npy"))) == count
    assert not list(Path("data").glob("**/.*.tmp"))

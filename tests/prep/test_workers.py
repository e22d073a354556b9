"""The worker processes of a preparation: how many, and that they end with their parent."""
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import soundfile

import quorlin
from quorlin.prep import PreparationError, Utterance, prepare_asr
from quorlin.prep.runner import check_workers, default_workers, run_parallel


@pytest.mark.parametrize("value, error, message", [
    (0, ValueError, "num_workers must be an integer >= 1, got 0"),
    (-2, ValueError, "num_workers must be an integer >= 1, got -2"),
    (0.5, ValueError, "num_workers must be an integer >= 1, got 0.5"),
    ("2", TypeError, "num_workers must be a number, got '2'"),
])
def test_the_number_of_workers_is_a_positive_integer(value, error, message, tmp_path):
    with pytest.raises(error) as raised:
        check_workers(value)
    assert str(raised.value) == message
    # Refused before anything is written.
    with pytest.raises(error, match="^num_workers must be"):
        prepare_asr([Utterance("a", str(tmp_path / "a.wav"), "A")], str(tmp_path / "data"), "dev-clean",
                    num_workers=value)
    assert os.listdir(tmp_path) == []


def test_the_number_of_workers_accepted():
    assert check_workers(np.int64(3)) == 3 and type(check_workers(np.int64(3))) is int
    assert check_workers(2.0) == 2 and type(check_workers(2.0)) is int
    assert check_workers(None) == default_workers() == len(os.sched_getaffinity(0))


def _fail_on_sevens(number):
    if number % 10 == 7:
        raise PreparationError(f"job {number}")


def test_many_jobs_report_each_failure_in_order_and_each_success_once():
    # Far more jobs than are handed out at a time: the processes are fed as they finish.
    done = []
    failures = run_parallel(_fail_on_sevens, list(range(300)), num_workers=2, on_done=done.append)
    assert failures == [f"job {n}" for n in range(7, 300, 10)]
    assert sorted(done) == [n for n in range(300) if n % 10 != 7]


def _state_and_parent(pid):
    """(state letter, parent pid) from /proc, None for a process that is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return None
    state, parent = stat[stat.rindex(")") + 2:].split()[:2]  # the name in parentheses may hold spaces
    return state, int(parent)


def _children(pid):
    found = ((int(entry), _state_and_parent(entry)) for entry in os.listdir("/proc") if entry.isdigit())
    return [child for child, info in found if info is not None and info[1] == pid and info[0] != "Z"]


def _running(pid):
    info = _state_and_parent(pid)
    return info is not None and info[0] != "Z"  # a zombie has ended; nobody may be left to reap it


SCRIPT = """
import sys
import time
import quorlin.prep.layouts as layouts
from quorlin.prep import Utterance, prepare_asr
layouts._RECORD_INTERVAL_S = 0.0  # the record is written after every utterance
fbank = layouts.audio_fbank

def stuck_on_c_and_d(path, *args):
    if path.endswith(("c.wav", "d.wav")):
        time.sleep(3600)  # the workers wait in a job
    return fbank(path, *args)

layouts.audio_fbank = stuck_on_c_and_d  # the forked workers have it too
clips, out = sys.argv[1:]
prepare_asr([Utterance(n, f"{clips}/{n}.wav", "WORDS") for n in "abcd"], out, "dev-clean", num_workers=2)
"""


@pytest.mark.slow
def test_workers_end_with_a_killed_parent_and_the_run_resumes(tmp_path):
    clips, out = tmp_path / "clips", tmp_path / "data"
    os.makedirs(clips)
    rng = np.random.default_rng(0)
    for name in "abcd":
        soundfile.write(clips / f"{name}.wav", (0.1 * rng.standard_normal(4800)).astype(np.float32), 16000)
    (tmp_path / "run.py").write_text(SCRIPT)
    repository = os.path.dirname(os.path.dirname(quorlin.__file__))
    env = {**os.environ, "PYTHONPATH": repository}
    with open(tmp_path / "log", "w") as log:
        parent = subprocess.Popen([sys.executable, str(tmp_path / "run.py"), str(clips), str(out)],
                                  stdout=log, stderr=subprocess.STDOUT, env=env, cwd=repository)
    workers = []
    try:
        record = out / "dev-clean" / "sources.json"
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and parent.poll() is None:
            workers = _children(parent.pid)
            if len(workers) == 2 and record.exists() and len(json.loads(record.read_text() or "{}")) == 2:
                break
            time.sleep(0.05)
        assert parent.poll() is None and len(workers) == 2, (tmp_path / "log").read_text()
        assert all(_running(w) for w in workers)

        parent.send_signal(signal.SIGKILL)
        parent.wait()
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and any(_running(w) for w in workers):
            time.sleep(0.05)
        assert [w for w in workers if _running(w)] == []
    finally:
        if parent.poll() is None:
            parent.kill()
            parent.wait()
        for worker in workers:
            if _running(worker):
                os.kill(worker, signal.SIGKILL)

    # The record of the killed run holds what it finished, and the next run does the rest.
    assert sorted(json.loads(record.read_text())) == ["a", "b"]
    utterances = [Utterance(n, str(clips / f"{n}.wav"), "WORDS") for n in "abcd"]
    assert prepare_asr(utterances, str(out), "dev-clean", num_workers=1) == {"prepared": 2, "skipped": 2}
    assert sorted(os.listdir(out / "dev-clean" / "fbank")) == ["a.npy", "b.npy", "c.npy", "d.npy"]

"""What a killed command leaves in a run folder: completed or removed by the next command."""
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

from quorlin.cli import main
from quorlin.inference import Recognizer

ASR = Path("expts/tiny-asr")
PENDING = ASR / ".pending-writes.json"


def test_an_evaluation_killed_between_its_two_writes_is_completed_by_the_next_reader(workdir, capsys):
    settings = json.loads((ASR / "recognizer.json").read_text())
    chosen = {**settings, "search": {"beam_width": 4, "ctc_weight": 0.3, "chosen_on": "dev-clean"}}
    # Killed after the record of both writes, before either file was replaced.
    PENDING.write_text(json.dumps({"recognizer.json": json.dumps(chosen), "results.md": "# Results\n",
                                   "../../outside.txt": "never written", "config.yaml": "never written"}))
    assert Recognizer.from_run_folder(ASR).default_search.beam_width == 4
    assert json.loads((ASR / "recognizer.json").read_text()) == chosen
    assert (ASR / "results.md").read_text() == "# Results\n"
    assert not PENDING.exists() and not Path("outside.txt").exists() and not (workdir.parent / "outside.txt").exists()
    assert (ASR / "config.yaml").read_text() != "never written"
    # A damaged record is dropped by the next command that locks the folder, and changes nothing.
    PENDING.write_text("[" * 5000)
    assert main(["transcribe", str(ASR), "audio/test/7/3/7-3-0000.flac"]) == 0
    assert not PENDING.exists() and (ASR / "results.md").read_text() == "# Results\n"


def test_temporary_files_of_a_killed_writer_go_with_the_next_writer(workdir, capsys):
    left = [ASR / "checkpoints/.checkpoint-averaged-model.pth.0123456789abcdef.tmp",
            ASR / ".recognizer.json.0123456789abcdef.tmp"]
    for path in left:
        path.write_bytes(b"\0" * 1000)
    # Transcription only reads: it leaves them.
    assert main(["transcribe", str(ASR), "audio/test/7/3/7-3-0000.flac"]) == 0
    assert all(path.exists() for path in left)
    # Averaging takes the folder for itself (and here finds no epochs to average).
    assert main(["average", str(ASR), "--last", "1"]) == 1
    assert "keeps 0 epoch checkpoint(s)" in capsys.readouterr().err
    assert not any(path.exists() for path in left)


KILLED_WHILE_WRITING = """
import os, signal, sys
from quorlin._files import replacing
from quorlin.cli import _terminated_as_interrupted
with _terminated_as_interrupted():
    with replacing("model.pth") as f:
        f.write(b"half a model")
        os.kill(os.getpid(), signal.SIGTERM)
        f.write(b"never written")
"""


def test_a_terminated_write_leaves_the_file_as_it_was_and_no_temporary(tmp_path):
    (tmp_path / "model.pth").write_bytes(b"the model")
    result = subprocess.run([sys.executable, "-c", KILLED_WHILE_WRITING], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    # Raised as an interrupt, which Python ends with when nothing catches it.
    assert result.returncode == -signal.SIGINT and result.stderr.endswith("KeyboardInterrupt\n")
    assert os.listdir(tmp_path) == ["model.pth"] and (tmp_path / "model.pth").read_bytes() == b"the model"

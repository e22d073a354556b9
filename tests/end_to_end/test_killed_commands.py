"""What a killed command leaves in a run folder: completed or removed by the next command."""
import json
import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

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


# Places where Python or a library loses the interrupt that the signal raises.
LOST_IN_A_FINALISER = """
class Finalised:
    def __del__(self):
        os.kill(os.getpid(), signal.SIGTERM)
Finalised()
"""
LOST_IN_A_LIBRARY = """
try:
    os.kill(os.getpid(), signal.SIGTERM)
except KeyboardInterrupt:
    pass  # as a library that turns what its import raised into an error of its own
"""


@pytest.mark.parametrize("lost", [LOST_IN_A_FINALISER, LOST_IN_A_LIBRARY], ids=["finaliser", "library"])
def test_a_termination_whose_interrupt_is_lost_still_ends_the_command(lost):
    script = "import os, signal, time\nfrom quorlin.cli import _terminated_as_interrupted\n" \
             f"with _terminated_as_interrupted():\n{textwrap.indent(lost, '    ')}    time.sleep(10)\n" \
             "    print('went on')\n"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.returncode == -signal.SIGINT and result.stdout == "", result.stdout + result.stderr
    assert result.stderr.endswith("KeyboardInterrupt\n")

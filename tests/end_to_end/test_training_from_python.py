"""The trainers-from-Python example of docs/training.md runs as written and leaves a run
folder that the command line transcribes with."""
import re
import subprocess
import sys
from pathlib import Path

import pytest
import soundfile
import yaml

pytestmark = pytest.mark.slow  # trains a recogniser for two epochs, then transcribes

TRAINING = Path(__file__).resolve().parents[2] / "docs" / "training.md"


def test_the_example_leaves_a_run_folder_that_transcribes(workdir):
    (workdir / "recipes").mkdir()
    (workdir / "recipes/demo.yaml").write_text((workdir / "tiny.yaml").read_text())
    audio, rate = soundfile.read(workdir / "audio/test/7/3/7-3-0002.flac")
    soundfile.write(workdir / "talk.wav", audio, rate)

    example, = re.findall(r"```python\n(.*?)```", TRAINING.read_text(), re.DOTALL)
    exec(compile(example, str(TRAINING), "exec"), {})

    run = workdir / "expts" / "my-asr"
    config = yaml.safe_load((run / "config.yaml").read_text())
    assert "run_name" in config and "prepare" not in config  # the section, not the recipe
    result = subprocess.run([sys.executable, "-m", "quorlin", "transcribe", "expts/my-asr", "talk.wav"],
                            capture_output=True, text=True, cwd=workdir)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("talk\t") and result.stderr == "", result  # one "id<TAB>text" line

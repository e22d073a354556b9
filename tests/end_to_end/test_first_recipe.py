"""The first recipe of the docs, written for a new corpus (22.05 kHz audio, JSON-lines manifests),
through the real command line: it prepares, trains, evaluates and transcribes as it stands."""
import json
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile
import yaml

DOCS = Path(__file__).resolve().parents[2] / "docs" / "data-and-recipes.md"
RATE = 22050


def _quorlin(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "quorlin", *args], capture_output=True, text=True, timeout=600,
                          **kwargs)


def _first_recipe() -> str:
    section = DOCS.read_text(encoding="utf-8").split("## A first recipe", 1)[1]
    return re.search(r"```yaml\n(.*?)```", section, re.DOTALL).group(1)


@pytest.mark.slow  # prepares, trains, evaluates and transcribes
def test_the_first_recipe_of_the_docs_runs_on_a_corpus_of_its_own(tmp_path, corpus):
    text = _first_recipe()
    recipe = yaml.safe_load(text)
    assert set(recipe) == {"prepare", "lm", "asr"} and set(recipe["lm"]) == set(recipe["asr"]) == {"run_name"}
    rng = np.random.default_rng(3)
    words = ["and", "god", "said", "let", "there", "be", "light"]
    for split, count in (("train", 10), ("dev", 3), ("test", 3)):
        manifest = tmp_path / recipe["prepare"][split]
        (manifest.parent / "wav").mkdir(parents=True, exist_ok=True)
        lines = []
        for i in range(count):
            sentence = " ".join(rng.choice(words, size=4)) + (" 12" if split == "train" and i < 2 else "")
            audio = corpus.speech(sentence, RATE, rng)
            soundfile.write(manifest.parent / "wav" / f"{split}{i}.wav", audio, RATE, subtype="PCM_16")
            lines.append(json.dumps({"audio_filepath": f"wav/{split}{i}.wav", "text": sentence,
                                     "duration": round(len(audio) / RATE, 3)}))
        manifest.write_text("\n".join(lines) + "\n")
    (tmp_path / "first.yaml").write_text(text)

    assert _quorlin("--version", cwd=tmp_path).stdout.startswith("quorlin ")
    prepared = _quorlin("prepare", "first.yaml", "-q", cwd=tmp_path)
    assert prepared.returncode == 0, prepared.stderr
    assert prepared.stdout == ""  # quiet: the warning alone, on standard error
    assert prepared.stderr == ("quorlin: warning: the training transcripts hold 4 digits ('1' 2, '2' 2) in 2 of 10 "
                               "texts: a character tokenizer learns each as a character of its own, which speech "
                               "says in words; write numbers and symbols out as they are spoken, or leave them out "
                               "with prepare.text.alphabet\n")
    # Trained briefly here, and the LM's test generation kept short; the recipe file stays as the docs write it.
    for command in (("train-lm", "first.yaml", "lm.epochs=1", "lm.model.max_len=64"),
                    ("train-asr", "first.yaml", "asr.epochs=2")):
        result = _quorlin(*command, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert "it/s" not in result.stderr and "\r" not in result.stderr  # no progress bars into a pipe
    config = yaml.safe_load((tmp_path / "expts/my-asr/config.yaml").read_text())
    assert config["epochs"] == 2 and config["scheduler"]["cosine"]["T_max"] == 2  # the override, as run
    assert (config["loss"]["ctc_weight"], config["training"]["autocast_dtype"], config["model"]["encoder_type"],
            config["data"]["root"]) == (0.3, "float32", "conformer", "data/first/asr")
    assert sorted(p.name for p in (tmp_path / "data/first/asr").iterdir()) == [".lock", "dev", "test",
                                                                               "tokenizer.json", "train"]

    evaluated = _quorlin("evaluate", "first.yaml", cwd=tmp_path)
    assert evaluated.returncode == 0, evaluated.stderr
    rows = [[cell.strip() for cell in line.split("|")[1:-1]] for line in evaluated.stdout.splitlines()
            if line.startswith("| ") and not line.startswith("| Set") and not line.startswith("| -")]
    assert [row[:2] for row in rows[:2]] == [["dev", "beam_10_ctc0.3"], ["dev", "beam_10_ctc0.5"]]
    assert rows[2][0] == "test" and rows[2][1] in ("beam_10_ctc0.3", "beam_10_ctc0.5")
    transcribed = _quorlin("transcribe", "expts/my-asr", "corpus/wav/test0.wav", cwd=tmp_path)
    assert transcribed.returncode == 0, transcribed.stderr
    assert transcribed.stdout.startswith("test0\t")

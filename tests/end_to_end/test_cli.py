import json
import os
import shlex
import shutil
import stat
import subprocess
import sys

import pytest
import torch
import yaml

from quorlin.cli import main


def _tsv(path):
    return [tuple(line.split("\t")) for line in path.read_text().splitlines()]


def _table(out):
    """The rows of the results table printed in ``out``, as lists of stripped cells."""
    lines = out[out.index("| Set"):].splitlines()
    return [[cell.strip() for cell in line.split("|")[1:-1]] for line in lines[2:] if line.startswith("|")]


def test_recipe_end_to_end_and_a_run_folder_that_transcribes_anywhere(workdir, capsys, edit_distance):
    run = workdir / "expts" / "tiny-asr"
    for name in ("config.yaml", "model_arch.txt", "train.log", "tokenizer.json", "recognizer.json", "lr_schedule.png",
                 "checkpoints/checkpoint-best-metric-model.pth", "checkpoints/checkpoint-last-epoch-model.pth",
                 "text/text_val_epoch_2.json", "attn/decoder_cross_attention_epoch2.png"):
        assert (run / name).is_file(), name
    assert yaml.safe_load((run / "config.yaml").read_text())["model"]["d_model"] == 16
    assert stat.S_IMODE((run / "config.yaml").stat().st_mode) == 0o644  # readable by others
    log = (run / "train.log").read_text()
    assert f"torch {torch.__version__.split('+')[0]}" in log and "📊 Metrics (Epoch 2):" in log and "it/s" not in log
    # Resuming a finished run trains nothing more, and says so in the log too.
    assert main(["train-asr", "tiny.yaml", "--resume"]) == 0
    assert "has finished its 3 epochs; nothing left to train" in capsys.readouterr().out
    assert (run / "train.log").read_text().count("=== asr training") == 2

    assert main(["evaluate", "tiny.yaml"]) == 0
    rows = _table(capsys.readouterr().out)
    # The grid on dev (LM weight 0 is no fusion), then the test set with the setting chosen on dev.
    assert [row[:5] for row in rows] == [
        ["dev", "greedy_ctc0.3", "1", "0.3", "0"], ["dev", "greedy_ctc0.3_lm0.5", "1", "0.3", "0.5"],
        ["dev", "beam_4_ctc0.3", "4", "0.3", "0"], ["dev", "beam_4_ctc0.3_lm0.5", "4", "0.3", "0.5"]] + \
        [["test"] + next(row[1:5] for row in rows if row[8] == "*")]
    dev_rows = rows[:4]
    chosen = min(dev_rows, key=lambda row: float(row[5]))
    assert [row[8] for row in rows] == ["*" if row is chosen else "" for row in dev_rows] + ["*"]
    # The chosen LM weight, 0 included, is what transcription uses by default.
    assert json.loads((run / "recognizer.json").read_text())["search"]["lm_weight"] == float(chosen[4])
    # Each row's CER is that of its transcript file against the references, paired by id.
    for row in rows:
        references = dict(_tsv(workdir / f"data/asr/{row[0]}/references.tsv"))
        lines = _tsv(run / "transcripts" / row[0] / f"{row[1]}.tsv")
        assert [i for i, _ in lines] == sorted(references)
        errors = sum(edit_distance(references[i], text) for i, text in lines)
        assert float(row[5]) == pytest.approx(100 * errors / sum(len(references[i]) for i, _ in lines), abs=0.006)
        assert (run / "errors" / row[0] / f"{row[1]}.txt").read_text().startswith(f"{row[0]}, {row[1]}")
    assert (run / "results.md").read_text().count("\n| ") == 7 and (run / "training_curves.png").is_file()

    # The demo on a finished run only evaluates again, and its summary's command runs as printed.
    assert main(["demo", "tiny.yaml"]) == 0
    out = capsys.readouterr().out
    assert "nothing left to train" in out and "| Evaluation | " in out and "| Total | " in out
    assert f"Setting chosen on dev: {chosen[1]} (CER {chosen[5]} %). test: CER " in out
    command = shlex.split(out[out.index("- Try next: `") + 13:].split("`")[0])
    assert command[1:4] == ["transcribe", "expts/tiny-asr", "audio/test/7/3/7-3-0000.flac"]
    assert main(command[1:]) == 0
    expected = _tsv(run / "transcripts" / "test" / f"{chosen[1]}.tsv")
    assert capsys.readouterr().out.splitlines()[0].split("\t") == list(expected[0])

    # The run folders, copied elsewhere, transcribe as they do in place (the chosen search by
    # default), the audio computed from the files instead of the prepared features.
    elsewhere = workdir / "elsewhere"
    shutil.copytree(run, elsewhere / "asr")
    shutil.copytree(workdir / "expts" / "tiny-lm", elsewhere / "lm")
    shutil.rmtree(workdir / "expts")
    os.chdir(elsewhere)
    args = ["transcribe", "asr", str(workdir / "audio/test"), "--batch-size", "2"]
    if chosen[4] != "0":
        args += ["--lm", "lm"]
    assert main(args + ["-o", "out.tsv"]) == 0
    assert _tsv(elsewhere / "out.tsv") == expected
    capsys.readouterr()
    assert main(args) == 0  # to standard output: the lines alone
    assert [tuple(line.split("\t")) for line in capsys.readouterr().out.splitlines()] == expected

def test_a_changed_transcript_is_prepared_again(workdir, capsys):
    transcripts = workdir / "audio/dev/7/2/7-2.trans.txt"
    lines = transcripts.read_text().splitlines()
    lines[1] = "7-2-0001 LET THERE BE LIGHT"
    transcripts.write_text("\n".join(lines) + "\n")
    (workdir / "audio/test/7/3/7-3-0004.flac").unlink()
    (workdir / "audio/test/7/3/7-3.trans.txt").write_text(
        "".join(line + "\n" for line in (workdir / "audio/test/7/3/7-3.trans.txt").read_text().splitlines()[:4]))
    assert main(["prepare", "tiny.yaml", "--progress"]) == 0
    out, err = capsys.readouterr()
    assert "[Preparing dev]" in err  # bars asked for, though standard error is no terminal
    assert "train: 0 prepared, 24 already there" in out  # with the 1.1x copies
    assert "dev: 1 prepared, 3 already there" in out
    assert "7-2-0001\tLET THERE BE LIGHT\n" in (workdir / "data/asr/dev/references.tsv").read_text()
    # The utterance that is gone leaves the prepared set too.
    assert sorted(os.listdir(workdir / "data/asr/test/fbank")) == [f"7-3-000{n}.npy" for n in range(4)]


def test_one_seed_gives_byte_identical_checkpoints(workdir):
    checkpoints = workdir / "expts/tiny-asr/checkpoints"
    first = {p.name: p.read_bytes() for p in checkpoints.glob("*.pth")}
    assert main(["train-asr", "tiny.yaml", "--overwrite"]) == 0
    assert {p.name: p.read_bytes() for p in checkpoints.glob("*.pth")} == first


def test_train_asr_under_torchrun_writes_one_run_folder(workdir):
    env = {**os.environ, "OMP_NUM_THREADS": "1"}
    subprocess.run([sys.executable, "-m", "torch.distributed.run", "--standalone", "--nproc_per_node=2",
                    "-m", "quorlin", "train-asr", "tiny.yaml", "--overwrite"], check=True, env=env,
                   capture_output=True, timeout=300)
    assert sorted(os.listdir(workdir / "expts")) == ["tiny-asr", "tiny-lm"]
    checkpoint = torch.load(workdir / "expts/tiny-asr/checkpoints/checkpoint-last-epoch-model.pth",
                            weights_only=True)
    assert checkpoint["epoch"] == 2 and len(checkpoint["training_history"]) == 3
    assert not any(key.startswith("module.") for key in checkpoint["model_state_dict"])


def test_an_override_changes_the_run_and_the_run_folder_records_it(workdir, capsys):
    recipe_before = (workdir / "tiny.yaml").read_text()
    assert main(["train-asr", "tiny.yaml", "asr.epochs=2", "asr.model.d_ff=48", "--overwrite", "-q"]) == 0
    assert capsys.readouterr().out == ""  # quiet
    run = workdir / "expts/tiny-asr"
    config = yaml.safe_load((run / "config.yaml").read_text())
    assert (config["epochs"], config["model"]["d_ff"], config["scheduler"]["cosine"]["T_max"]) == (2, 48, 2)
    checkpoint = torch.load(run / "checkpoints/checkpoint-last-epoch-model.pth", weights_only=True)
    assert checkpoint["epoch"] == 1 and len(checkpoint["training_history"]) == 2
    assert checkpoint["model_state_dict"]["enc_layers.0.ffn1.ffn.0.weight"].shape == (48, 16)
    assert (workdir / "tiny.yaml").read_text() == recipe_before
    # Everything the quiet run printed is in its log all the same.
    assert "📊 Metrics (Epoch 1):" in (run / "train.log").read_text()


def test_verbose_errors_carry_their_traceback(workdir, capsys):
    recipe = yaml.safe_load((workdir / "tiny.yaml").read_text())
    recipe["prepare"]["dev"] = "audio/nowhere"
    (workdir / "tiny.yaml").write_text(yaml.safe_dump(recipe))
    assert main(["prepare", "tiny.yaml"]) == 1
    assert capsys.readouterr().err == "quorlin: error: audio/nowhere: no such folder or manifest file\n"
    assert main(["prepare", "tiny.yaml", "-v"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("Traceback (most recent call last):") and "source_utterances" in err
    assert err.endswith("quorlin: error: audio/nowhere: no such folder or manifest file\n")

import copy
import json
import math
import re
from pathlib import Path, PurePath

import matplotlib.image
import matplotlib.pyplot as plt
import numpy as np
import pytest
import torch
from torch import nn

from quorlin.errors import QuorlinError, RunFolderError
from quorlin.model import DecoderOnlyTransformer
from quorlin.trainers import CheckpointMismatchError, check_checkpoint, read_checkpoint
from quorlin.trainers.stolvar import Stolvar
from quorlin.utils import create_scheduler, fennimar

LAST = "checkpoint-last-epoch-model.pth"
BEST = "checkpoint-best-metric-model.pth"


@pytest.fixture(autouse=True)
def without_cuda(monkeypatch):
    """These tests run on the CPU even where a GPU is present."""
    monkeypatch.setattr(torch.cuda, "is_available", lambda: False)


class ProbeTrainer(Stolvar):
    """The smallest concrete trainer: the base class's own behaviour under test."""

    def _train_epoch(self, dataloader):
        return {}, {}

    def _validate_epoch(self, dataloader):
        return {}

    def train(self, train_dataloader, val_dataloader):
        pass

    def evaluate(self, dataloader):
        return {}


def make_trainer(model, tokenizer, config, config_file, run_name="run", with_scheduler=True):
    trainer = ProbeTrainer(model, tokenizer, config, run_name, config_file)
    trainer.optimizer = fennimar(trainer.model, config["optimizer"])
    if with_scheduler:
        loader = [None] * 4  # only its length is read
        trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], loader)
    return trainer


def train_steps(trainer, tokenizer, steps=3):
    """Real scaled updates, so that weights, Adam moments, scheduler and scaler all move."""
    ids = torch.tensor([tokenizer.encode("hello world")[:10]] * 2)
    for _ in range(steps):
        trainer.optimizer.zero_grad()
        logits, _ = trainer.model(ids, target_lengths=torch.tensor([10, 7]))
        trainer.scaler.scale(logits.logsumexp(-1).mean()).backward()
        trainer.scaler.step(trainer.optimizer)
        trainer.scaler.update()
        if trainer.scheduler:
            trainer.scheduler.step()


def record_inputs(model):
    """The positional inputs of every call of the model, as the summary makes them."""
    calls = []
    model.register_forward_pre_hook(lambda module, args: calls.append(args))
    return calls


def test_construction_sets_up_run_folder(lm_model, tokenizer, config, config_file, tmp_path, capsys):
    calls = record_inputs(lm_model)
    trainer = ProbeTrainer(lm_model, tokenizer, config, "lm-run", config_file)
    assert capsys.readouterr().out.splitlines()[0] == "Using device: cpu"

    root = tmp_path / "expts" / "lm-run"
    assert trainer.expt_root == root
    assert (trainer.checkpoint_dir, trainer.attn_dir, trainer.text_dir) == (
        root / "checkpoints", root / "attn", root / "text")
    assert trainer.best_model_path == root / "checkpoints" / BEST
    assert trainer.last_model_path == root / "checkpoints" / LAST
    assert all(p.is_dir() for p in (trainer.checkpoint_dir, trainer.attn_dir, trainer.text_dir))
    assert (root / "config.yaml").read_bytes() == Path(config_file).read_bytes()
    assert (root / "config.yaml").stat().st_mtime_ns == Path(config_file).stat().st_mtime_ns

    arch = (root / "model_arch.txt").read_text()
    params = sum(p.numel() for p in lm_model.parameters())
    assert "DecoderOnlyTransformer" in arch and f"Total params: {params:,}" in arch
    (ids, lengths), = calls
    assert (ids.shape, ids.dtype, lengths.shape, lengths.dtype) == (
        (2, 24), torch.long, (2,), torch.long)

    assert trainer.device == "cpu" and trainer.model is lm_model
    assert trainer.tokenizer is tokenizer and trainer.config is config
    assert trainer.optimizer is None and trainer.scheduler is None
    assert isinstance(trainer.scaler, torch.amp.GradScaler) and trainer.scaler.is_enabled()
    assert trainer.use_wandb is False and not hasattr(trainer, "wandb_run")
    assert (trainer.current_epoch, trainer.best_metric, trainer.training_history) == (0, math.inf, [])
    trainer.cleanup()  # nothing to end without W&B


def test_speech_model_summary_uses_dummy_speech_batch(asr_model, tokenizer, config, config_file):
    calls = record_inputs(asr_model)
    ProbeTrainer(asr_model, tokenizer, config, "asr-run", config_file, device="cpu")
    (feats, targets, feat_lengths, target_lengths), = calls
    assert (feats.shape, feats.dtype) == ((2, 1000, 8), torch.float32)
    assert (targets.shape, targets.dtype) == ((2, 100), torch.long)
    assert int(targets.min()) >= 0 and int(targets.max()) < asr_model.num_classes
    assert feat_lengths.shape == (2,) and all(500 <= n < 1000 for n in feat_lengths.tolist())
    assert target_lengths.shape == (2,) and all(50 <= n < 100 for n in target_lengths.tolist())
    arch = (Path("expts") / "asr-run" / "model_arch.txt").read_text()
    assert "EncoderDecoderTransformer" in arch


def test_unsupported_model_leaves_empty_summary(tokenizer, config, config_file, tmp_path):
    with pytest.raises(NotImplementedError, match="^Model architecture summary not implemented$"):
        ProbeTrainer(nn.Linear(2, 2), tokenizer, config, "linear", config_file)
    root = tmp_path / "expts" / "linear"
    assert (root / "config.yaml").is_file()
    assert (root / "model_arch.txt").read_text() == ""
    assert not (root / "checkpoints").exists()


def test_second_construction_reuses_folder(lm_model, tokenizer, config, config_file, tmp_path):
    ProbeTrainer(lm_model, tokenizer, config, "again", config_file)
    (tmp_path / "expts" / "again" / "model_arch.txt").write_text("stale")
    Path(config_file).write_text("changed: true\n")
    ProbeTrainer(lm_model, tokenizer, config, "again", config_file)
    root = tmp_path / "expts" / "again"
    assert (root / "config.yaml").read_text() == "changed: true\n"
    assert "DecoderOnlyTransformer" in (root / "model_arch.txt").read_text()


def test_nested_run_name_stays_under_expts(lm_model, tokenizer, config, config_file, tmp_path):
    trainer = ProbeTrainer(lm_model, tokenizer, config, "sweep/lr-1e-3", config_file)
    assert trainer.expt_root == tmp_path / "expts" / "sweep" / "lr-1e-3"


def test_expts_may_be_a_link(lm_model, tokenizer, config, config_file, tmp_path):
    (tmp_path / "disk").mkdir()
    (tmp_path / "expts").symlink_to(tmp_path / "disk")
    trainer = make_trainer(lm_model, tokenizer, config, config_file)
    trainer.save_checkpoint(LAST)
    assert trainer.expt_root == tmp_path / "expts" / "run"
    assert (tmp_path / "disk" / "run" / "checkpoints" / LAST).is_file()


@pytest.mark.parametrize("run_name, message", [
    *[(name, "run_name must be a relative path without '..' components, got {!r}")
      for name in ["/tmp/elsewhere", "../outside", "a/../../b", ".."]],
    *[(name, "run_name must name a folder inside 'expts', got {!r}") for name in ["", ".", "./."]],
])
def test_run_name_escaping_expts_is_refused(lm_model, tokenizer, config, config_file, tmp_path,
                                            run_name, message, capsys):
    with pytest.raises(ValueError) as error:
        ProbeTrainer(lm_model, tokenizer, config, run_name, config_file)
    assert str(error.value) == message.format(run_name)
    assert not (tmp_path / "expts").exists() and capsys.readouterr().out == ""


@pytest.fixture
def outside(tmp_path):
    """A folder outside "expts" with a file that the run must never touch."""
    folder = tmp_path / "outside"
    folder.mkdir()
    (folder / "victim").write_text("precious")
    return folder


@pytest.mark.parametrize("run_name, link, target, refused", [
    ("run", "run", "outside", "run"),
    ("run", "run", "expts", "run"),  # the run folder would be "expts" itself
    ("sweep/a", "sweep", "outside", "sweep/a"),  # refused before "outside/a" is created
    ("run", "run/checkpoints", "outside", "run/checkpoints"),
    ("run", "run/attn", "outside", "run/attn"),
])
def test_links_leading_out_of_expts_are_refused(lm_model, tokenizer, config, config_file, tmp_path,
                                                outside, run_name, link, target, refused):
    expts = tmp_path / "expts"
    (expts / link).parent.mkdir(parents=True, exist_ok=True)
    (expts / link).symlink_to(tmp_path / target)
    with pytest.raises(RunFolderError) as error:
        ProbeTrainer(lm_model, tokenizer, config, run_name, config_file)
    path = expts / refused
    root = expts / "run" if refused.startswith("run/") else expts
    assert str(error.value) == f"{path} resolves to {path.resolve()}, outside {root}"
    assert [p.name for p in outside.iterdir()] == ["victim"]
    assert (outside / "victim").read_text() == "precious"


@pytest.mark.parametrize("folder, write", [
    ("expt_root", lambda trainer: trainer.save_checkpoint(LAST)),
    ("text_dir", lambda trainer: trainer._save_generated_text([], "val")),
    ("attn_dir", lambda trainer: trainer._save_attention_plot(torch.eye(2), 0)),
], ids=["run-folder", "text", "attn"])
def test_folders_swapped_for_links_later_are_refused(lm_model, tokenizer, config, config_file, outside,
                                                     folder, write):
    trainer = make_trainer(lm_model, tokenizer, config, config_file)
    folder = getattr(trainer, folder)
    folder.rename(folder.with_name("moved"))
    folder.symlink_to(outside)
    with pytest.raises(RunFolderError, match=f", outside {trainer.expt_root}$"):
        write(trainer)
    assert [p.name for p in outside.iterdir()] == ["victim"]


def test_planted_links_are_replaced_never_followed(lm_model, tokenizer, config, config_file, tmp_path,
                                                   outside):
    root = tmp_path / "expts" / "run"
    victim = outside / "victim"
    planted = ["config.yaml", "model_arch.txt", f"checkpoints/{LAST}", f"checkpoints/{LAST}.partial",
               "text/text_val.json", "attn/self_attention_epoch0.png"]
    for name in planted:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).symlink_to(victim)
    trainer = make_trainer(lm_model, tokenizer, config, config_file)
    trainer.save_checkpoint(LAST)
    trainer._save_generated_text([{"generated": "hi"}], "val")
    trainer._save_attention_plot(torch.eye(3), 0)

    assert victim.read_text() == "precious" and [p.name for p in outside.iterdir()] == ["victim"]
    written = [root / name for name in planted if not name.endswith(".partial")]
    assert not any(path.is_symlink() for path in written)
    assert (root / "config.yaml").read_bytes() == Path(config_file).read_bytes()
    assert (root / "config.yaml").stat().st_mtime_ns == Path(config_file).stat().st_mtime_ns
    assert "DecoderOnlyTransformer" in (root / "model_arch.txt").read_text()
    assert torch.load(trainer.last_model_path, weights_only=True)["epoch"] == 0
    assert json.loads((root / "text" / "text_val.json").read_text()) == [{"generated": "hi"}]
    assert matplotlib.image.imread(root / "attn" / "self_attention_epoch0.png").shape[:2] == (800, 1000)
    # No temporary file is left beside the files written.
    assert sorted(p.name for p in root.rglob("*")) == sorted(
        ["attn", "checkpoints", "text", *(PurePath(name).name for name in planted)])


@pytest.mark.parametrize("name", ["../../x.pth", "sub/x.pth", "", ".", ".."])
def test_checkpoint_names_are_plain_file_names(lm_model, tokenizer, config, config_file, tmp_path, name):
    trainer = make_trainer(lm_model, tokenizer, config, config_file)
    message = f"^file name must be a plain name without a folder part, got {re.escape(repr(name))}$"
    for call in (trainer.save_checkpoint, trainer.load_checkpoint):
        with pytest.raises(ValueError, match=message):
            call(name)
    with pytest.raises(ValueError, match="^file name must be a plain name"):
        trainer._save_generated_text([], "/../../x")
    with pytest.raises(ValueError, match="^file name must be a plain name"):
        trainer._save_attention_plot(torch.eye(2), 0, attn_type="../x")
    assert list(trainer.checkpoint_dir.iterdir()) == [] and not list(tmp_path.rglob("x*"))


def test_summary_keeps_the_model_on_the_trainers_device(lm_model, asr_model, tokenizer, config,
                                                        config_file, monkeypatch):
    # torchinfo would pick CUDA for a model given only input sizes whenever CUDA is available.
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    for model in (lm_model, asr_model):
        trainer = ProbeTrainer(model, tokenizer, config, "run", config_file, device="cpu")
        assert {p.device.type for p in trainer.model.parameters()} == {"cpu"}


class Name(str):
    pass


@pytest.mark.parametrize("change, message", [
    ({"config": type("Config", (dict,), {})(training={})}, "config must be of type dict, got Config"),
    ({"run_name": Name("run")}, "run_name must be of type str, got Name"),
    ({"config_file": Path("run.yaml")}, "config_file must be of type str, got PosixPath"),
    ({"device": 0}, "device must be of type str, got int"),
])
def test_constructor_argument_types(lm_model, tokenizer, config, config_file, change, message):
    args = {"model": lm_model, "tokenizer": tokenizer, "config": config, "run_name": "run",
            "config_file": config_file, **change}
    with pytest.raises(TypeError, match=f"^{message}$"):
        ProbeTrainer(**args)




def test_checkpoint_round_trip(lm_model, tokenizer, config, config_file, capsys, assert_same):
    trainer = make_trainer(lm_model, tokenizer, config, config_file)
    train_steps(trainer, tokenizer)
    trainer.scaler.update(new_scale=1024.0)
    trainer.current_epoch, trainer.best_metric = 4, 1.25
    trainer._log_metrics({"train": {"ce_loss": 2.0}}, 3)
    trainer.save_checkpoint(LAST)
    assert sorted(p.name for p in trainer.checkpoint_dir.iterdir()) == [LAST]
    saved = torch.load(trainer.last_model_path, weights_only=True)
    assert list(saved) == ["epoch", "model_state_dict", "optimizer_state_dict", "scheduler_state_dict",
                           "scaler_state_dict", "best_metric", "training_history", "config"]
    assert saved["config"] == config

    torch.manual_seed(1)
    fresh_model = type(lm_model)(num_layers=1, d_model=16, num_heads=2, d_ff=32, dropout=0.0,
                                 max_len=24, num_classes=tokenizer.vocab_size)
    restored = make_trainer(fresh_model, tokenizer, config, config_file)
    assert not torch.equal(fresh_model.final_linear.weight, lm_model.final_linear.weight)
    capsys.readouterr()
    restored.load_checkpoint(LAST)
    assert capsys.readouterr().out.splitlines() == [
        "Checkpoint loaded from epoch 4",
        "Successfully loaded: model, optimizer, scheduler, scaler, training_state",
    ]
    assert_same(restored.model.state_dict(), trainer.model.state_dict())
    assert_same(restored.optimizer.state_dict(), trainer.optimizer.state_dict())
    assert_same(restored.scheduler.state_dict(), trainer.scheduler.state_dict())
    assert restored.scaler.state_dict() == trainer.scaler.state_dict()
    assert restored.scaler.get_scale() == 1024.0
    assert (restored.current_epoch, restored.best_metric) == (4, 1.25)
    assert restored.training_history == [{"epoch": 3, "train": {"ce_loss": 2.0}, "lr": pytest.approx(
        trainer.optimizer.param_groups[0]["lr"])}]
    # The restored trainer carries on identically.
    train_steps(trainer, tokenizer, steps=1)
    train_steps(restored, tokenizer, steps=1)
    assert_same(restored.model.state_dict(), trainer.model.state_dict())


def test_checkpoint_without_scheduler_skips_scheduler_status(lm_model, tokenizer, config, config_file,
                                                              capsys):
    trainer = make_trainer(lm_model, tokenizer, config, config_file, with_scheduler=False)
    trainer.save_checkpoint(BEST)
    assert torch.load(trainer.best_model_path, weights_only=True)["scheduler_state_dict"] is None
    restored = make_trainer(lm_model, tokenizer, config, config_file)
    capsys.readouterr()
    restored.load_checkpoint(BEST)
    assert capsys.readouterr().out.splitlines() == [
        "Checkpoint loaded from epoch 0", "Successfully loaded: model, optimizer, scaler, training_state"]


def test_failed_save_keeps_previous_checkpoint(lm_model, tokenizer, config, config_file, monkeypatch):
    trainer = make_trainer(lm_model, tokenizer, config, config_file)
    trainer.save_checkpoint(LAST)
    good = trainer.last_model_path.read_bytes()
    real_save = torch.save

    def dies_mid_write(obj, f):
        real_save(obj, f)
        f.truncate(100)
        raise OSError("No space left on device")

    monkeypatch.setattr(torch, "save", dies_mid_write)
    trainer.current_epoch = 9
    with pytest.raises(OSError, match="No space left on device"):
        trainer.save_checkpoint(LAST)
    assert trainer.last_model_path.read_bytes() == good
    assert [p.name for p in trainer.checkpoint_dir.iterdir()] == [LAST]


def test_load_missing_checkpoint(lm_model, tokenizer, config, config_file):
    trainer = make_trainer(lm_model, tokenizer, config, config_file)
    with pytest.raises(FileNotFoundError) as error:
        trainer.load_checkpoint("nothing.pth")
    assert str(error.value) == f"No checkpoint found at {trainer.checkpoint_dir / 'nothing.pth'}"


@pytest.mark.parametrize("write, message", [
    (lambda path: path.write_bytes(b"not a checkpoint"), ".+"),
    (lambda path: torch.save(nn.Linear(2, 2), path),  # a pickled module: refused, with no advice to load it anyway
     r"it is not a plain-tensor checkpoint: it holds a Python object "
     r"\(torch.nn.modules.linear.Linear\) that loading it would run$"),
    (lambda path: torch.save([1, 2], path), "expected a dict, got list$"),
])
def test_load_unreadable_checkpoint(lm_model, tokenizer, config, config_file, write, message):
    trainer = make_trainer(lm_model, tokenizer, config, config_file)
    path = trainer.checkpoint_dir / "bad.pth"
    write(path)
    with pytest.raises(RuntimeError, match=f"^Failed to load checkpoint file: {re.escape(str(path))}: {message}"):
        trainer.load_checkpoint("bad.pth")


def lm(tokenizer, seed=1, **sizes):
    torch.manual_seed(seed)
    return DecoderOnlyTransformer(**{"num_layers": 1, "d_model": 16, "num_heads": 2, "d_ff": 32, "dropout": 0.0,
                                     "max_len": 24, "num_classes": tokenizer.vocab_size, **sizes})


def trainer_state(trainer):
    """Everything a checkpoint restores, copied."""
    return copy.deepcopy({"model": trainer.model.state_dict(), "optimizer": trainer.optimizer.state_dict(),
                          "scheduler": trainer.scheduler.state_dict(), "scaler": trainer.scaler.state_dict(),
                          "training": (trainer.current_epoch, trainer.best_metric, trainer.training_history)})


@pytest.fixture
def saved(lm_model, tokenizer, config, config_file):
    """The last checkpoint of a trainer after a few updates, at epoch 2 with a best metric of 0.5."""
    trainer = make_trainer(lm_model, tokenizer, config, config_file)
    train_steps(trainer, tokenizer)
    trainer.current_epoch, trainer.best_metric = 2, 0.5
    trainer._log_metrics({"train": {"ce_loss": 2.0}}, 2)
    trainer.save_checkpoint(LAST)
    return trainer.last_model_path


FFN = "dec_layers.0.ffn.ffn"
LAYER_KEYS = ["self_attn.mha.in_proj_weight", "self_attn.mha.in_proj_bias", "self_attn.mha.out_proj.weight",
              "self_attn.mha.out_proj.bias", "self_attn.norm.weight", "self_attn.norm.bias", "ffn.ffn.0.weight",
              "ffn.ffn.0.bias", "ffn.ffn.3.weight", "ffn.ffn.3.bias", "ffn.norm.weight", "ffn.norm.bias"]


@pytest.mark.parametrize("sizes, problems", [
    ({"d_ff": 48}, [f"{FFN}.0.weight has shape (32, 16) in the checkpoint and (48, 16) here",
                    f"{FFN}.0.bias has shape (32,) in the checkpoint and (48,) here",
                    f"{FFN}.3.weight has shape (16, 32) in the checkpoint and (16, 48) here",
                    f"the optimizer state of {FFN}.0.weight has shape (32, 16) in the checkpoint and (48, 16) here",
                    f"the optimizer state of {FFN}.0.bias has shape (32,) in the checkpoint and (48,) here",
                    f"the optimizer state of {FFN}.3.weight has shape (16, 32) in the checkpoint and (16, 48) here"]),
    ({"num_layers": 2}, [", ".join(f"dec_layers.1.{key}" for key in LAYER_KEYS) + " are missing from the checkpoint",
                         "optimizer group 0 holds 17 parameters in the checkpoint and 29 here"]),
], ids=["wider", "deeper"])
def test_checkpoint_of_another_model_is_refused_whole(saved, tokenizer, config, config_file, capsys, assert_same,
                                                      sizes, problems):
    trainer = make_trainer(lm(tokenizer, **sizes), tokenizer, config, config_file)
    train_steps(trainer, tokenizer, steps=1)
    before = trainer_state(trainer)
    capsys.readouterr()
    with pytest.raises(RuntimeError) as error:
        trainer.load_checkpoint(LAST)
    assert str(error.value) == f"checkpoint {saved} does not fit this model: {'; '.join(problems)}"
    assert isinstance(error.value, CheckpointMismatchError) and isinstance(error.value, QuorlinError)
    assert_same(trainer_state(trainer), before)
    assert capsys.readouterr().out == ""

    # The same check without a trainer, as a driver makes it before the run folder is touched.
    model = lm(tokenizer, **sizes)
    optimizer = fennimar(model, config["optimizer"])
    with pytest.raises(CheckpointMismatchError) as error:
        check_checkpoint(read_checkpoint(saved), model, optimizer, path=saved)
    assert error.value.problems == problems
    with pytest.raises(CheckpointMismatchError, match="^checkpoint does not fit this model: "):
        check_checkpoint(read_checkpoint(saved), model, optimizer)
    check_checkpoint(read_checkpoint(saved), lm(tokenizer), fennimar(lm(tokenizer), config["optimizer"]))


def _other_scheduler(optimizer, name):
    config = {"cosine_warm": {"name": "cosine_warm", "cosine_warm": {"T_0": 2}, "warmup": {"enabled": True}},
              "cosine": {"name": "cosine", "cosine": {"T_max": 2}}}[name]
    return create_scheduler(optimizer, config, [None] * 4)


@pytest.mark.parametrize("change, problems", [
    (lambda c, t: c["optimizer_state_dict"]["state"][16].update(exp_avg=torch.zeros(3)),
     ["the optimizer state of final_linear.bias has shape (3,) in the checkpoint and (31,) here"]),
    (lambda c, t: c["optimizer_state_dict"].update(torch.optim.AdamW(
        [{"params": [p]} for p in t.model.parameters()]).state_dict()),
     ["the optimizer has 17 parameter groups in the checkpoint and 1 here"]),
    (lambda c, t: c["optimizer_state_dict"]["param_groups"][0].update(name="encoder"),
     ["optimizer group 0 is for encoder in the checkpoint and for model here"]),
    (lambda c, t: c.update(optimizer_state_dict={"state": {}}), ["optimizer_state_dict is not an optimizer's state"]),
    (lambda c, t: c.update(scheduler_state_dict=_other_scheduler(t.optimizer, "cosine").state_dict()),
     ["the scheduler chains 0 schedulers in the checkpoint and 2 here"]),
    (lambda c, t: c.update(scheduler_state_dict=_other_scheduler(t.optimizer, "cosine_warm").state_dict()),
     ["part 1 of the scheduler state in the checkpoint lacks T_max: it is another kind of scheduler"]),
    (lambda c, t: c.update(scaler_state_dict={"scale": 2.0}),
     ["scaler_state_dict lacks growth_factor, backoff_factor, growth_interval, _growth_tracker"]),
    (lambda c, t: c.update(epoch="2", best_metric=None, training_history={}),
     ["epoch must be an integer >= 0, got '2'", "best_metric must be a number, got None",
      "training_history must be a list, got dict"]),
    (lambda c, t: c["model_state_dict"].update(extra=torch.zeros(1)),
     ["the checkpoint has extra, which this model lacks"]),
    (lambda c, t: c.clear(), ["the checkpoint lacks model_state_dict, optimizer_state_dict, scaler_state_dict, epoch, "
                              "best_metric, training_history"]),
], ids=["state-shape", "group-count", "group-name", "not-optimizer", "not-chained", "chained-kind", "scaler",
        "training-state", "unexpected-key", "empty"])
def test_each_component_is_checked_before_anything_is_restored(saved, tokenizer, config, config_file, capsys,
                                                               assert_same, change, problems):
    trainer = make_trainer(lm(tokenizer), tokenizer, config, config_file)
    checkpoint = torch.load(saved, weights_only=True)
    change(checkpoint, trainer)
    torch.save(checkpoint, saved)
    before = trainer_state(trainer)
    capsys.readouterr()
    with pytest.raises(CheckpointMismatchError) as error:
        trainer.load_checkpoint(LAST)
    assert error.value.problems == problems
    assert_same(trainer_state(trainer), before)
    assert capsys.readouterr().out == ""


def test_checkpoint_of_a_trainer_without_loss_scaling_restores_the_rest(saved, tokenizer, config, config_file,
                                                                         capsys, assert_same):
    """A float32 run saves an empty scaler state; a float16 run resumed from it scales from the start."""
    checkpoint = torch.load(saved, weights_only=True)
    checkpoint["scaler_state_dict"] = {}
    torch.save(checkpoint, saved)
    trainer = make_trainer(lm(tokenizer), tokenizer, config, config_file)
    initial_scale = trainer.scaler.get_scale()
    capsys.readouterr()
    trainer.load_checkpoint(LAST)
    assert capsys.readouterr().out.splitlines() == [
        "Checkpoint loaded from epoch 2", "Successfully loaded: model, optimizer, scheduler, scaler, training_state"]
    assert trainer.scaler.get_scale() == initial_scale and trainer.scaler.is_enabled()
    assert_same(trainer.model.state_dict(), checkpoint["model_state_dict"])
    assert (trainer.current_epoch, trainer.best_metric) == (2, 0.5)


def test_loading_needs_an_optimizer(saved, tokenizer, config, config_file):
    trainer = make_trainer(lm(tokenizer), tokenizer, config, config_file)
    trainer.optimizer = None
    with pytest.raises(ValueError, match="^Optimizer is not initialized, initialize it first!$"):
        trainer.load_checkpoint(LAST)
    assert trainer.current_epoch == 0


@pytest.fixture
def trainer(lm_model, tokenizer, config, config_file, capsys):
    trainer = make_trainer(lm_model, tokenizer, config, config_file, with_scheduler=False)
    trainer.optimizer.param_groups[0]["lr"] = 0.0001
    capsys.readouterr()
    return trainer


def test_log_metrics_report_for_two_splits(trainer, capsys):
    metrics = {"val": {"perplexity_token": 12.3456789, "ce_loss_token": 2.5},
               "train": {"ce_loss_token": 2.71828, "perplexity_token": 15.0, "ce_loss_char": 1.0}}
    trainer._log_metrics(metrics, 3)
    assert capsys.readouterr().out.split("\n") == [
        "",
        "📊 Metrics (Epoch 3):",
        "├── TRAIN:",
        "│   ├── ce_loss_char: 1.0000",
        "│   ├── ce_loss_token: 2.7183",
        "│   └── perplexity_token: 15.0000",
        "└── VAL:",
        "    ├── ce_loss_token: 2.5000",
        "    └── perplexity_token: 12.3457",
        "└── TRAINING:",
        "    └── learning_rate: 0.000100",
        "",
    ]
    (entry,) = trainer.training_history
    assert entry == {"epoch": 3, "val": metrics["val"], "train": metrics["train"], "lr": 0.0001}
    assert list(entry) == ["epoch", "val", "train", "lr"]


def test_log_metrics_single_metric_and_empty(trainer, capsys):
    trainer._log_metrics({"test": {"wer": 12.5}}, 7)
    trainer._log_metrics({}, 8)
    assert capsys.readouterr().out.splitlines() == [
        "", "📊 Metrics (Epoch 7):", "└── TEST:", "    └── wer: 12.5000",
        "└── TRAINING:", "    └── learning_rate: 0.000100",
        "", "📊 Metrics (Epoch 8):", "└── TRAINING:", "    └── learning_rate: 0.000100",
    ]
    assert trainer.training_history == [{"epoch": 7, "test": {"wer": 12.5}, "lr": 0.0001},
                                        {"epoch": 8, "lr": 0.0001}]


@pytest.mark.parametrize("args, error, message", [
    (({}, 1.0), TypeError, "^step must be of type int, got float$"),
    (({}, True), TypeError, "^step must be of type int, got bool$"),
    (([("train", {})], 1), TypeError, "^metrics must be of type dict, got list$"),
])
def test_log_metrics_argument_types(trainer, args, error, message):
    with pytest.raises(error, match=message):
        trainer._log_metrics(*args)
    assert trainer.training_history == []


def test_log_metrics_needs_an_optimizer(lm_model, tokenizer, config, config_file, capsys):
    trainer = ProbeTrainer(lm_model, tokenizer, config, "run", config_file)
    capsys.readouterr()
    with pytest.raises(AttributeError):
        trainer._log_metrics({"train": {"loss": 1.0}}, 0)
    assert trainer.training_history == [] and capsys.readouterr().out == ""


@pytest.mark.parametrize("weights", [
    torch.softmax(torch.randn(5, 7, requires_grad=True), dim=-1),
    torch.softmax(torch.randn(5, 7), dim=-1).half(),
    np.full((5, 7), 1 / 7),
])
def test_attention_plot(trainer, weights):
    trainer._save_attention_plot(weights, 3)
    trainer._save_attention_plot(weights, 4, attn_type="decoder_cross")
    names = sorted(p.name for p in trainer.attn_dir.iterdir())
    assert names == ["decoder_cross_attention_epoch4.png", "self_attention_epoch3.png"]
    image = matplotlib.image.imread(trainer.attn_dir / "self_attention_epoch3.png")
    assert image.shape[:2] == (800, 1000)  # 10 x 8 inches at the default 100 dpi
    assert plt.get_fignums() == []


@pytest.mark.parametrize("args, error, message", [
    ((torch.zeros(2, 3, 4), 1), ValueError, r"^attn_weights must be 2-D, got shape \(2, 3, 4\)$"),
    ((torch.zeros(2, 3), 1.0), TypeError, "^epoch must be of type int, got float$"),
    ((torch.zeros(2, 3), 1, None), TypeError, "^attn_type must be of type str, got NoneType$"),
])
def test_attention_plot_argument_errors(trainer, args, error, message):
    with pytest.raises(error, match=message):
        trainer._save_attention_plot(*args)
    assert list(trainer.attn_dir.iterdir()) == []


def test_generated_text_files(trainer):
    results = [{"target": "hello", "generated": "hallo", "score": -1.5},
               {"generated": "wörld", "score": -2.0}]
    trainer._save_generated_text(results, "val_epoch_2")
    path = trainer.text_dir / "text_val_epoch_2.json"
    assert path.read_text() == json.dumps(results, indent=4)
    assert path.read_text().startswith('[\n    {\n        "target": "hello",')
    trainer._save_generated_text({"prompt": "the", "continuation": " quick"}, "val_epoch_2")
    assert json.loads(path.read_text()) == {"prompt": "the", "continuation": " quick"}
    assert path.read_text() == '{\n    "prompt": "the",\n    "continuation": " quick"\n}'
    # A value that cannot be written leaves the earlier file whole.
    with pytest.raises(TypeError):
        trainer._save_generated_text([{"score": torch.tensor(1.0)}], "val_epoch_2")
    assert json.loads(path.read_text())["prompt"] == "the"
    with pytest.raises(TypeError, match="^suffix must be of type str, got int$"):
        trainer._save_generated_text(results, 2)


@pytest.mark.parametrize("run_id", [None, "NoNe"], ids=["no-id", "none-text"])
@pytest.mark.slow
def test_wandb_offline_run(lm_model, tokenizer, config, config_file, tmp_path, read_wandb_run, run_id):
    config["training"].update(use_wandb=True, wandb_project="quorlin-tests", wandb_run_id=run_id)
    trainer = make_trainer(lm_model, tokenizer, config, config_file, run_name="wb-run")
    run_dir = Path(trainer.wandb_run.dir).parent
    trainer._log_metrics({"train": {"ce_loss": 2.0, "perplexity": 7.5}, "val": {"ce_loss": 2.5}}, 0)
    trainer._save_attention_plot(torch.eye(4), 0, attn_type="self")
    trainer._log_metrics({"train": {"ce_loss": 1.5}}, 1)
    trainer._save_generated_text([{"generated": "hi"}], "val_epoch_1")
    trainer.save_checkpoint(LAST)
    trainer.cleanup()

    run, history, files = read_wandb_run(run_dir)
    assert run.project == "quorlin-tests" and run.display_name == "wb-run"
    assert json.loads(run.config.update[[u.key for u in run.config.update].index("optimizer")].value_json) \
        == config["optimizer"]
    lr = trainer.optimizer.param_groups[0]["lr"]
    assert sorted(history) == [0, 1]
    assert set(history[0]) == {"train/ce_loss", "train/perplexity", "val/ce_loss", "learning_rate",
                               "self_attention"}
    assert json.loads(history[0]["train/perplexity"]) == 7.5
    image = history[0]["self_attention"]
    assert json.loads(image["_type"]) == "image-file"
    assert (json.loads(image["width"]), json.loads(image["height"])) == (1000, 800)
    assert history[1] == {"train/ce_loss": "1.5", "learning_rate": json.dumps(lr)}
    assert {Path(f).name for f in files} >= {LAST, "text_val_epoch_1.json"}


@pytest.mark.slow
def test_wandb_resumes_a_given_run_id(lm_model, tokenizer, config, config_file, read_wandb_run):
    config["training"].update(use_wandb=True, wandb_run_id="abc123")
    trainer = ProbeTrainer(lm_model, tokenizer, config, "wb-resume", config_file)
    run_dir = Path(trainer.wandb_run.dir).parent
    trainer.cleanup()
    run, _, _ = read_wandb_run(run_dir)
    # Resuming passes no name: the run keeps the one it already has.
    assert (run.run_id, run.project, run.display_name) == ("abc123", "default-project", "")

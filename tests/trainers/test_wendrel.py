import json
import math
import random

import numpy as np
import pytest
import torch
import torch.nn.functional as F
from torch.utils.data import DataLoader

from quorlin.data.pellith import Pellith
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.layout import epoch_checkpoint
from quorlin.model import DecoderOnlyTransformer
from quorlin.trainers import average_checkpoints
from quorlin.trainers.wendrel import Wendrel
from quorlin.utils import create_scheduler, fennimar

WORDS = {"adj": ["red", "big", "old", "shy"], "noun": ["cat", "dog", "fox", "owl"],
         "verb": ["sees", "likes", "chases"]}


def _sentences(n, seed):
    rng = random.Random(seed)
    pick = lambda kind: rng.choice(WORDS[kind])
    return [f"the {pick('adj')} {pick('noun')} {pick('verb')} the {pick('noun')}" for _ in range(n)]


@pytest.fixture
def lm_data(tmp_path):
    """An LM corpus of character arrays, as the dataset reads it: train (40) and val (12)."""
    for partition, n, seed in [("train", 40, 0), ("val", 12, 1)]:
        folder = tmp_path / "lm" / partition
        folder.mkdir(parents=True)
        for i, text in enumerate(_sentences(n, seed)):
            np.save(folder / f"{i:03d}.npy", np.array(list(text)))
    return tmp_path / "lm"


@pytest.fixture
def lm_tokenizer():
    return VaskTokenizer.from_texts(_sentences(40, 0) + _sentences(12, 1))


def _loader(lm_data, tokenizer, partition, batch_size=4):
    dataset = Pellith(partition, {"root": str(lm_data)}, tokenizer)
    return DataLoader(dataset, batch_size=batch_size, shuffle=False, collate_fn=dataset.collate_fn)


def _trainer(tokenizer, config, config_file, run_name="lm", accumulation=1, scheduler=None, loader=None, **training):
    torch.manual_seed(0)
    model = DecoderOnlyTransformer(num_layers=1, d_model=32, num_heads=2, d_ff=64, dropout=0.0, max_len=40,
                                   num_classes=tokenizer.vocab_size)
    config = config | {"training": {"use_wandb": False, "gradient_accumulation_steps": accumulation} | training}
    trainer = Wendrel(model, tokenizer, config, run_name, config_file, device="cpu")
    trainer.optimizer = fennimar(trainer.model, config["optimizer"] | {"lr": 3e-3})
    trainer.scheduler = scheduler(trainer.optimizer) if scheduler else create_scheduler(
        trainer.optimizer, {"name": "cosine", "cosine": {"T_max": 10, "eta_min": 1e-4}}, loader)
    return trainer


@pytest.mark.slow
def test_two_epochs_train_log_and_checkpoint(lm_data, lm_tokenizer, config, config_file, capsys):
    train_loader = _loader(lm_data, lm_tokenizer, "train")
    val_loader = _loader(lm_data, lm_tokenizer, "val")
    trainer = _trainer(lm_tokenizer, config, config_file, loader=train_loader)
    trainer.train(train_loader, val_loader, epochs=2)

    assert trainer.current_epoch == 2
    history = trainer.training_history
    assert [entry["epoch"] for entry in history] == [0, 1]
    assert history[1]["val"]["ce_loss_token"] < history[0]["val"]["ce_loss_token"]
    assert set(history[0]["train"]) == {"ce_loss_token", "ce_loss_char", "perplexity_token", "perplexity_char"}
    for epoch in (0, 1):
        assert (trainer.attn_dir / f"train_self_attention_epoch{epoch}.png").is_file()
        assert (trainer.attn_dir / f"val_self_attention_epoch{epoch}.png").is_file()
        records = json.loads((trainer.text_dir / f"text_val_epoch_{epoch}.json").read_text())
        assert len(records) == 10 and list(records[0]) == ["prompt", "original", "generated", "score"]
    assert capsys.readouterr().out.count("Generating with greedy search...") == 2
    last = torch.load(trainer.last_model_path, weights_only=True)
    best = torch.load(trainer.best_model_path, weights_only=True)
    assert last["epoch"] == 1 and best["epoch"] == 1
    assert trainer.best_metric == history[1]["val"]["ce_loss_char"] == best["best_metric"]

    # A new process restores the last checkpoint and goes on numbering from its epoch.
    resumed = _trainer(lm_tokenizer, config, config_file, loader=train_loader)
    resumed.load_checkpoint("checkpoint-last-epoch-model.pth")
    assert resumed.current_epoch == 1
    resumed.train(train_loader, val_loader, epochs=2)
    assert [entry["epoch"] for entry in resumed.training_history] == [0, 1, 1, 2]
    assert resumed.current_epoch == 3
    assert (resumed.text_dir / "text_val_epoch_2.json").is_file()


def test_validation_loss_matches_a_per_token_computation(lm_data, lm_tokenizer, config, config_file):
    loader = _loader(lm_data, lm_tokenizer, "val", batch_size=5)
    trainer = _trainer(lm_tokenizer, config, config_file, loader=loader)
    metrics, attn = trainer._validate_epoch(loader)

    dataset, total, count = loader.dataset, 0.0, 0
    with torch.no_grad():
        for shifted, golden in zip(dataset.transcripts_shifted, dataset.transcripts_golden):
            logits, _ = trainer.model(torch.tensor([shifted]))
            total += F.cross_entropy(logits[0], torch.tensor(golden), reduction="sum").item()
            count += len(golden)
    ce_token = total / count
    chars_per_token = dataset.total_chars / dataset.total_tokens
    assert metrics["ce_loss_token"] == pytest.approx(ce_token, rel=1e-5)
    assert metrics["ce_loss_char"] == pytest.approx(ce_token / chars_per_token, rel=1e-5)
    assert metrics["perplexity_token"] == pytest.approx(math.exp(ce_token), rel=1e-5)
    assert metrics["perplexity_char"] == pytest.approx(math.exp(ce_token / chars_per_token), rel=1e-5)
    assert list(attn) == ["layer1_dec_self"] and attn["layer1_dec_self"].shape[0] == 2  # last batch: 12 = 5+5+2


@pytest.mark.parametrize("accumulation, updates", [(4, 3), (5, 2), (1, 10)])
def test_optimizer_steps_with_gradient_accumulation(lm_data, lm_tokenizer, config, config_file, accumulation,
                                                    updates):
    loader = _loader(lm_data, lm_tokenizer, "train", batch_size=4)
    assert len(loader) == 10
    trainer = _trainer(lm_tokenizer, config, config_file, accumulation=accumulation,
                       scheduler=lambda opt: torch.optim.lr_scheduler.LambdaLR(opt, lambda step: 1.0))
    trainer.scaler = torch.amp.GradScaler("cpu", init_scale=1.0)  # no skipped steps from fp16 overflow
    trainer._train_epoch(loader)
    assert trainer.scheduler.last_epoch == updates
    assert trainer.optimizer.state[next(trainer.model.parameters())]["step"].item() == updates


@pytest.mark.parametrize("autocast_dtype, dtype", [("bfloat16", torch.bfloat16), ("float32", torch.float32)])
def test_precision_and_accumulation_settings(lm_data, lm_tokenizer, config, config_file, autocast_dtype, dtype):
    loader = _loader(lm_data, lm_tokenizer, "val")
    for value in [0, -1, 1.5, "4", None]:
        with pytest.raises(ValueError, match=rf"^training\.gradient_accumulation_steps must be an integer >= 1, "
                                             rf"got {value!r}$"):
            _trainer(lm_tokenizer, config, config_file, loader=loader, accumulation=value)
    trainer = _trainer(lm_tokenizer, config, config_file, loader=loader, autocast_dtype=autocast_dtype,
                       accumulation=2)
    _, attn = trainer._train_epoch(loader)
    assert attn["layer1_dec_self"].dtype == dtype and not trainer.scaler.is_enabled()
    _, attn = trainer._validate_epoch(loader)
    assert attn["layer1_dec_self"].dtype == torch.float32


def test_plateau_scheduler_steps_once_per_epoch(lm_data, lm_tokenizer, config, config_file):
    train_loader, val_loader = _loader(lm_data, lm_tokenizer, "train"), _loader(lm_data, lm_tokenizer, "val")
    trainer = _trainer(lm_tokenizer, config, config_file,
                       scheduler=lambda opt: torch.optim.lr_scheduler.ReduceLROnPlateau(opt, patience=0))
    trainer._train_epoch(train_loader)
    assert trainer.scheduler.last_epoch == 0
    trainer.train(train_loader, val_loader, epochs=1)
    assert trainer.scheduler.last_epoch == 1
    assert trainer.scheduler.best == trainer.training_history[0]["val"]["ce_loss_char"]


def test_generate_chooses_the_search(lm_data, lm_tokenizer, config, config_file, capsys):
    loader = _loader(lm_data, lm_tokenizer, "val")
    trainer = _trainer(lm_tokenizer, config, config_file, loader=loader)
    records = trainer.generate(loader)
    assert capsys.readouterr().out.splitlines()[-1] == "Generating with greedy search..."
    assert len(records) == 10
    prompts, originals = loader.dataset.sample_prompts(10, 20)
    for record, prompt, original in zip(records, prompts, originals):
        assert record["prompt"] == lm_tokenizer.decode(prompt.tolist())
        assert record["original"] == lm_tokenizer.decode(original[20:].tolist()) != ""
        assert isinstance(record["score"], float)
    for settings, message in [({"top_k": 0, "top_p": 0.9}, "Generating with sampling..."),
                              ({"top_k": 3}, "Generating with sampling..."),
                              ({"beam_width": 4}, "Generating with beam search...")]:
        assert len(trainer.generate(loader, settings)) == 10
        assert capsys.readouterr().out.splitlines()[-1] == message
    longer = sum(len(seq) > 25 for seq in loader.dataset.transcripts_shifted)
    assert 0 < longer < 12
    assert len(trainer.generate(loader, {"num_samples": 50, "prompt_length": 25})) == longer
    # Texts all shorter than a prompt (spoken commands, say) give nothing to generate, and training goes on.
    capsys.readouterr()
    assert trainer.generate(loader, {"prompt_length": 100}) == []
    assert capsys.readouterr().out == "No text is longer than the 100-token prompt: nothing to generate\n"


def test_evaluate_writes_three_files_and_isolates_failures(lm_data, lm_tokenizer, config, config_file, capsys):
    loader = _loader(lm_data, lm_tokenizer, "val")
    trainer = _trainer(lm_tokenizer, config, config_file, loader=loader)
    trainer.current_epoch = 7
    metrics, results = trainer.evaluate(loader)
    out = capsys.readouterr().out
    assert list(results) == ["greedy", "beam", "sample"]
    assert [line for line in out.splitlines() if line.startswith("Generating")] == [
        "Generating with greedy search...", "Generating with beam search...", "Generating with sampling..."]
    for name in results:
        assert len(json.loads((trainer.text_dir / f"text_test_epoch_7_{name}.json").read_text())) == 12
    assert set(metrics) == {"ce_loss_token", "ce_loss_char", "perplexity_token", "perplexity_char"}
    assert trainer.training_history[-1]["test"] == metrics
    assert (trainer.attn_dir / "test_self_attention_epoch7.png").is_file()

    configs = trainer._get_evaluation_generation_configs()
    assert configs["beam"] == {"num_samples": 50, "prompt_length": 10, "seed": 40213, "max_length": 40,
                               "temperature": 1.0, "beam_width": 10, "repeat_penalty": 1.2, "top_k": 0,
                               "top_p": 0.0}
    configs["beam"]["temperature"] = 0.0
    trainer._get_evaluation_generation_configs = lambda: configs
    _, results = trainer.evaluate(loader)
    assert list(results) == ["greedy", "sample"]
    assert "Could not generate results for beam: temperature" in capsys.readouterr().out


def test_argument_and_state_errors(lm_data, lm_tokenizer, config, config_file, tmp_path):
    loader = _loader(lm_data, lm_tokenizer, "val")
    trainer = _trainer(lm_tokenizer, config, config_file, loader=loader)
    with pytest.raises(TypeError, match="epochs"):
        trainer.train(loader, loader, epochs=2.0)
    trainer.optimizer = trainer.scheduler = None
    with pytest.raises(ValueError, match="^Scheduler is not initialized, initialize it first!$"):
        trainer.train(loader, loader, epochs=1)
    trainer.scheduler = object()
    with pytest.raises(ValueError, match="^Optimizer is not initialized, initialize it first!$"):
        trainer.train(loader, loader, epochs=1)
    (tmp_path / "lm" / "empty").mkdir()
    with pytest.raises(ValueError, match="empty"):
        trainer._validate_epoch(_loader(lm_data, lm_tokenizer, "empty"))
    with pytest.raises(ValueError):
        trainer._validate_epoch([(torch.zeros(1, 2, dtype=torch.long),) * 2])
    assert trainer.criterion.ignore_index == lm_tokenizer.pad_id


@pytest.mark.slow
def test_a_resumed_run_compares_with_the_restored_best(lm_data, lm_tokenizer, config, config_file):
    train_loader, val_loader = _loader(lm_data, lm_tokenizer, "train"), _loader(lm_data, lm_tokenizer, "val")
    trainer = _trainer(lm_tokenizer, config, config_file,
                       scheduler=lambda opt: torch.optim.lr_scheduler.LambdaLR(opt, lambda step: 1.0))
    trainer.train(train_loader, val_loader, epochs=1)
    best_loss = trainer.training_history[0]["val"]["ce_loss_char"]
    # The last checkpoint holds the best metric of the epoch it was written at.
    assert torch.load(trainer.last_model_path, weights_only=True)["best_metric"] == best_loss
    best_file = trainer.best_model_path.read_bytes()

    # Resumed without learning: the next epoch validates exactly as well, which is no improvement.
    resumed = _trainer(lm_tokenizer, config, config_file,
                       scheduler=lambda opt: torch.optim.lr_scheduler.LambdaLR(opt, lambda step: 0.0))
    resumed.load_checkpoint("checkpoint-last-epoch-model.pth")
    resumed.current_epoch += 1
    for group in resumed.optimizer.param_groups:
        group["lr"] = 0.0
    resumed.train(train_loader, val_loader, epochs=1)
    assert resumed.training_history[1]["val"]["ce_loss_char"] == best_loss
    assert resumed.best_metric == best_loss
    assert resumed.best_model_path.read_bytes() == best_file


def test_cosine_schedule_ends_at_its_minimum_with_accumulation(lm_data, lm_tokenizer, config, config_file):
    """10 batches in groups of 4 make 3 updates an epoch: a 2-epoch cosine ends after 2 epochs."""
    loader = _loader(lm_data, lm_tokenizer, "train", batch_size=4)
    cosine = {"name": "cosine", "cosine": {"T_max": 2, "eta_min": 1e-5}}
    trainer = _trainer(lm_tokenizer, config, config_file, accumulation=4,
                       scheduler=lambda opt: create_scheduler(opt, cosine, loader, 4))
    rates = []
    for _ in range(2):
        trainer._train_epoch(loader)
        rates.append(trainer.optimizer.param_groups[0]["lr"])
    assert rates == pytest.approx([1e-5 + (3e-3 - 1e-5) / 2, 1e-5], rel=1e-9)


@pytest.mark.slow
def test_keep_last_keeps_the_checkpoints_of_the_last_epochs(lm_data, lm_tokenizer, config, config_file,
                                                            assert_same):
    train_loader, val_loader = _loader(lm_data, lm_tokenizer, "train"), _loader(lm_data, lm_tokenizer, "val")
    for value in [-1, 1.5, True, "2"]:
        with pytest.raises(ValueError, match=rf"^training\.keep_last must be an integer >= 0, got {value!r}$"):
            _trainer(lm_tokenizer, config, config_file, loader=train_loader, keep_last=value)

    trainer = _trainer(lm_tokenizer, config, config_file, loader=train_loader, keep_last=2)
    trainer.train(train_loader, val_loader, epochs=3)
    kept = [trainer.checkpoint_dir / epoch_checkpoint(epoch) for epoch in (1, 2)]
    assert sorted(trainer.checkpoint_dir.iterdir()) == sorted(
        [trainer.best_model_path, trainer.last_model_path, *kept])
    first, second = (torch.load(path, weights_only=True) for path in kept)
    assert (first["epoch"], second["epoch"]) == (1, 2)
    assert_same(second, torch.load(trainer.last_model_path, weights_only=True))

    averaged = average_checkpoints(kept)["model_state_dict"]
    for key, value in averaged.items():
        mean = (first["model_state_dict"][key].numpy().astype(np.float64)
                + second["model_state_dict"][key].numpy().astype(np.float64)) / 2
        assert np.array_equal(value.numpy(), mean.astype(np.float32)), key
    type(trainer.model)(num_layers=1, d_model=32, num_heads=2, d_ff=64, dropout=0.0, max_len=40,
                        num_classes=lm_tokenizer.vocab_size).load_state_dict(averaged)

    # A resumed run goes on deleting what the earlier process kept.
    resumed = _trainer(lm_tokenizer, config, config_file, loader=train_loader, keep_last=1)
    resumed.load_checkpoint("checkpoint-last-epoch-model.pth")
    resumed.current_epoch += 1
    resumed.train(train_loader, val_loader, epochs=1)
    assert sorted(p.name for p in resumed.checkpoint_dir.iterdir() if "epoch-0" in p.name) == [epoch_checkpoint(3)]


@pytest.mark.slow
def test_the_epochs_own_checkpoint_is_whole_before_the_last_names_its_epoch(lm_data, lm_tokenizer, config,
                                                                          config_file):
    """A run stopped between the two saves resumes from the epoch before and saves both again,
    so no kept epoch goes without its own checkpoint."""
    train_loader, val_loader = _loader(lm_data, lm_tokenizer, "train"), _loader(lm_data, lm_tokenizer, "val")
    trainer = _trainer(lm_tokenizer, config, config_file, loader=train_loader, keep_last=2)
    save, found = trainer.save_checkpoint, []

    def checked_save(filename):
        if filename == "checkpoint-last-epoch-model.pth":
            own = trainer.checkpoint_dir / epoch_checkpoint(trainer.current_epoch)
            found.append(torch.load(own, weights_only=True)["epoch"])
        save(filename)

    trainer.save_checkpoint = checked_save
    trainer.train(train_loader, val_loader, epochs=2)
    assert found == [0, 1]

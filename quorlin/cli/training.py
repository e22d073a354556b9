"""`quorlin train-lm` and `quorlin train-asr`: a whole training run from a recipe.

tokenizer, datasets, loaders and their report, model, trainer, optimizer, scheduler (its
plan saved as "lr_schedule.png"), train, evaluate, cleanup. Under torchrun every process
runs this; only rank 0 reports on the loaders and writes into the run folder.
"""
import warnings
from typing import Any, Dict, List, Optional

import matplotlib.pyplot as plt
from torch.utils.data import DataLoader

from quorlin._files import replacing
from quorlin.recipe import load_tokenizer, section_file
from quorlin.run_folder import build_model, save_recognizer_settings, save_tokenizer
from quorlin.data.length_groups import LengthGroupedSampler
from quorlin.data.maltrey import Maltrey
from quorlin.data.pellith import Pellith
from quorlin.data.ruvesta import ruvesta
from quorlin.prep import PARTITIONS
from quorlin.trainers import Brennick, ProgressiveTrainer, Wendrel, distributed
from quorlin.layout import LAST_CHECKPOINT, LM_PARTITIONS, LR_PLOT
from quorlin.utils import create_scheduler, fennimar
from quorlin.utils.dravenor import plot_lr_schedule


def make_loader(dataset, data: Dict[str, Any], shuffle: bool, lengths: Optional[List[int]] = None) -> DataLoader:
    """A loader over ``dataset``. With ``shuffle``, the samples' ``lengths`` and the key
    ``group_by_length`` (batches per sorted pool), its batches hold samples of similar length."""
    batch_size = data.get("batch_size", 16)
    sampler = None
    if shuffle and lengths is not None and data.get("group_by_length"):
        sampler, shuffle = LengthGroupedSampler(lengths, batch_size, data["group_by_length"]), False
    return DataLoader(dataset, batch_size=batch_size, shuffle=shuffle, sampler=sampler,
                      num_workers=data.get("num_workers", 0), collate_fn=dataset.collate_fn)


def asr_datasets(data: Dict[str, Any], tokenizer):
    """The training, dev and test ``Maltrey`` datasets, and the training statistics that
    normalise all three under "global_mvn" (else None)."""
    train = Maltrey(PARTITIONS["train"], data, tokenizer, True)
    stats = (train.global_mean, train.global_std) if data["norm"] == "global_mvn" else None
    return (train, Maltrey(PARTITIONS["dev"], data, tokenizer, False, stats),
            Maltrey(PARTITIONS["test"], data, tokenizer, False, stats), stats)


def train_lm(recipe: Dict[str, Any], resume: bool) -> None:
    section = recipe["lm"]
    tokenizer = load_tokenizer(recipe)
    train, dev, test = (Pellith(LM_PARTITIONS[split], section["data"], tokenizer) for split in ("train", "dev", "test"))
    loaders = _loaders(section["data"], train, dev, test)
    with section_file(section) as config_file:
        trainer = Wendrel(build_model("lm", section, tokenizer), tokenizer, section, section["run_name"], config_file)
    if distributed.is_main_process():
        save_tokenizer(trainer.expt_root, tokenizer)
    if _fit(trainer, section, *loaders[:2], resume):
        trainer.evaluate(loaders[2])
    trainer.cleanup()


def train_asr(recipe: Dict[str, Any], resume: bool, evaluate: bool = True) -> None:
    """Trains the recogniser, stage by stage first when the section lists ``stages``; then,
    with ``evaluate``, the trainer's own test-set recognition of the last epoch's model."""
    section = recipe["asr"]
    tokenizer = load_tokenizer(recipe)
    train, dev, test, stats = asr_datasets(section["data"], tokenizer)
    loaders = _loaders(section["data"], train, dev, test, [feat.shape[1] for feat in train.feats])
    trainer_class = ProgressiveTrainer if section.get("stages") else Brennick
    with section_file(section) as config_file:
        trainer = trainer_class(build_model("asr", section, tokenizer), tokenizer, section, section["run_name"],
                                config_file)
    if distributed.is_main_process():
        save_tokenizer(trainer.expt_root, tokenizer)
        save_recognizer_settings(trainer.expt_root, section["data"]["norm"], stats,
                                 max(train.text_max_len, dev.text_max_len))
    if _fit(trainer, section, *loaders[:2], resume) and evaluate:
        trainer.evaluate(loaders[2], recipe.get("evaluate", {}).get("max_length"))
    trainer.cleanup()


def _loaders(data: Dict[str, Any], train, dev, test, train_lengths: Optional[List[int]] = None):
    loaders = (make_loader(train, data, True, train_lengths), make_loader(dev, data, False),
               make_loader(test, data, False))
    if distributed.is_main_process():
        for loader in loaders:
            ruvesta(loader)
    return loaders


def _fit(trainer, section: Dict[str, Any], train_loader, val_loader, resume: bool) -> bool:
    """Optimizer, scheduler and its plot, resumption, then training up to ``epochs`` (the
    stages' epochs included);
    False when a resumed run had no epoch left to train."""
    stages = section.get("stages") or []
    epochs = int(section["epochs"]) + sum(int(stage["epochs"]) for stage in stages)
    accumulation = section["training"]["gradient_accumulation_steps"]
    trainer.optimizer = fennimar(trainer.model, section["optimizer"])
    # Per-update schedulers count the batches that this process iterates.
    local_loader = trainer.training_loader(train_loader)
    trainer.scheduler = create_scheduler(trainer.optimizer, section["scheduler"], local_loader, accumulation)
    if distributed.is_main_process():
        _save_lr_plot(trainer, epochs, local_loader, accumulation)
    if resume and (trainer.checkpoint_dir / LAST_CHECKPOINT).exists():
        trainer.load_checkpoint(LAST_CHECKPOINT)
        # The checkpoint is written at the end of the epoch it names: go on with the next one.
        trainer.current_epoch += 1
    if stages and trainer.current_epoch == 0:
        trainer.progressive_train(train_loader, val_loader, stages)
    remaining = epochs - trainer.current_epoch
    if remaining <= 0:
        print(f"{trainer.expt_root} has finished its {trainer.current_epoch} epochs; nothing left to train")
        return False
    trainer.train(train_loader, val_loader, remaining)
    return True


def _save_lr_plot(trainer, epochs: int, loader, accumulation: int) -> None:
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "FigureCanvasAgg is non-interactive")
        plot_lr_schedule(trainer.scheduler, epochs, loader, accumulation)
    try:
        with replacing(trainer.expt_root / LR_PLOT) as f:
            plt.savefig(f, format="png")
    finally:
        plt.close()

"""Training runs from a recipe: the language model (``train_lm``) and the recogniser (``train_asr``).

    from quorlin.recipe import load_recipe
    from quorlin.pipeline.training import train_asr
    train_asr(load_recipe("recipes/demo.yaml"), resume=True)

A run claims its run folder (a lock, and a refusal to replace a trained model without
``overwrite``), seeds every generator from the recipe's ``seed``, keeps everything it prints
in the folder's log, and checks a checkpoint it resumes from before any file of the
folder changes. Under torchrun every process runs this; only rank 0 claims and writes the
run folder and reports on the loaders.
"""
import contextlib
import datetime
import importlib.metadata
import logging
import platform
import random
import warnings
from typing import Any, Dict, Iterator, List, Optional

import matplotlib.pyplot as plt
import numpy as np
import torch
from torch.utils.data import DataLoader

from quorlin import console
from quorlin.data.length_filter import drop_long_texts, drop_unfit, utterance_frames
from quorlin.data.length_groups import LengthGroupedSampler
from quorlin.data.maltrey import Maltrey
from quorlin.data.maltrey_stream import MaltreyStream
from quorlin.data.pellith import Pellith
from quorlin.data.ruvesta import ruvesta
from quorlin.errors import CheckpointError
from quorlin.layout import (AVERAGED_CHECKPOINT, CHECKPOINTS_FOLDER, LAST_CHECKPOINT, LM_PARTITIONS, LR_PLOT,
                            SET_PARTITIONS)
from quorlin.prep.features import feature_seconds
from quorlin.recipe import evaluation_sets, load_tokenizer, section_file
from quorlin.run_folder import RunFolder, RunFolderError, build_model
from quorlin.trainers import Brennick, ProgressiveTrainer, Wendrel, distributed
from quorlin.trainers.checkpoints import CheckpointMismatchError, check_checkpoint
from quorlin.utils import create_scheduler, fennimar
from quorlin.utils.dravenor import plot_lr_schedule

log = logging.getLogger(__name__)
# The logger of every report of the library, which a run's log file receives.
REPORTS = logging.getLogger("quorlin")

def train_lm(recipe: Dict[str, Any], resume: bool = False, overwrite: bool = False,
             device: Optional[str] = None) -> None:
    """Trains the recipe's language model, then evaluates it on the test texts.

    Args:
        recipe: a loaded recipe.
        resume: go on from the run folder's last checkpoint (from scratch when it has none).
        overwrite: empty a run folder that holds a trained model and train a new one.
        device: "cpu", "cuda" or "cuda:N"; None picks CUDA when available.
    """
    section = recipe["lm"]
    with _training_run(recipe, "lm", resume, overwrite) as run:
        tokenizer = load_tokenizer(recipe)
        model = build_model("lm", section, tokenizer)
        datasets = [Pellith(LM_PARTITIONS[split], section["data"], tokenizer) for split in ("train", "dev", "test")]
        for dataset in datasets:
            _report_dropped(drop_long_texts(dataset, model.max_len), dataset.partition, "texts")
        loaders = _loaders(section, *datasets)
        trainer = _trainer(run, Wendrel, model, tokenizer, section, device, loaders[0], resume)
        if distributed.is_main_process():
            trainer.run.save_tokenizer(tokenizer)
        if _fit(trainer, section, *loaders[:2], resume):
            trainer.evaluate(loaders[2])
        trainer.cleanup()


def train_asr(recipe: Dict[str, Any], resume: bool = False, overwrite: bool = False,
              device: Optional[str] = None, evaluate: bool = False) -> None:
    """Trains the recipe's recogniser, stage by stage first when its section lists ``stages``.

    ``quorlin.pipeline.evaluation.evaluate`` scores the result: it chooses a joint search on
    dev and scores every test set with it.

    Args: as ``train_lm``, and
        evaluate: at the end, also the trainer's own recognition of the first test set with its
            fixed attention-only searches ("greedy", "beam_10", "beam_20"), written to the run
            folder's text files; no CTC scores, no length normalisation, no setting chosen on dev.
    """
    section = recipe["asr"]
    data = section["data"]
    with _training_run(recipe, "asr", resume, overwrite) as run:
        tokenizer = load_tokenizer(recipe)
        model = build_model("asr", section, tokenizer)
        splits = ("dev", "test") if evaluate else ("dev",)
        partitions = [SET_PARTITIONS["train"]] + [evaluation_sets(recipe, split)[0][0] for split in splits]
        # Features in memory, or read from disk as batches are drawn.
        dataset_class = MaltreyStream if data.get("storage") == "stream" else Maltrey
        train = dataset_class(partitions[0], data, tokenizer, True)
        stats = (train.global_mean, train.global_std) if data["norm"] == "global_mvn" else None
        datasets = [train] + [dataset_class(p, data, tokenizer, False, stats) for p in partitions[1:]]
        for dataset in datasets:
            _report_dropped(drop_unfit(dataset, model, data.get("max_duration")), dataset.partition, "utterances")
        lengths = utterance_frames(train)
        loaders = _loaders(section, *datasets, train_lengths=lengths)
        trainer_class = ProgressiveTrainer if section.get("stages") else Brennick
        trainer = _trainer(run, trainer_class, model, tokenizer, section, device, loaders[0], resume)
        if distributed.is_main_process():
            trainer.run.save_tokenizer(tokenizer)
            trainer.run.save_recognizer_settings(data["norm"], stats, max(train.text_max_len, datasets[1].text_max_len),
                                                 [feature_seconds(frames) for frames in lengths])
        if _fit(trainer, section, *loaders[:2], resume) and evaluate:
            log.info("\nThe trainer's fixed attention-only searches on the first test set (the dev-chosen joint "
                     "search: quorlin evaluate)")
            trainer.evaluate(loaders[2], recipe.get("evaluate", {}).get("max_length"))
        trainer.cleanup()


def seed_everything(seed: int) -> None:
    """Seeds Python's, NumPy's and torch's generators: the model's initial weights, the data
    order and every random draw of a run follow from ``seed``."""
    random.seed(seed)
    np.random.seed(seed)
    torch.manual_seed(seed)


class _Run:
    """A training run in progress: its run folder (None on ranks other than 0), whether a new
    model replaces the folder's, and its reports, kept in memory until the folder is ready and
    in its log file from then on."""

    def __init__(self, folder: Optional[RunFolder], overwrite: bool, header: str):
        self.folder, self.overwrite = folder, overwrite
        self.log: logging.Handler = _Kept(header)

    def ready(self) -> None:
        """Empties the folder for a new model when asked to, and starts its log file."""
        if self.folder is None:
            return
        if self.overwrite:
            self.folder.empty()
        kept, self.log = self.log, self.folder.log_handler()
        self.log.stream.write("".join(kept.lines))
        REPORTS.removeHandler(kept)
        REPORTS.addHandler(self.log)


class _Kept(logging.Handler):
    """Keeps the reports made before a run's log file is ready, each a line."""

    def __init__(self, header: str):
        super().__init__()
        self.setFormatter(logging.Formatter("%(message)s"))
        self.lines = [header]

    def emit(self, record: logging.LogRecord) -> None:
        self.lines.append(self.format(record) + "\n")


@contextlib.contextmanager
def _training_run(recipe: Dict[str, Any], kind: str, resume: bool, overwrite: bool) -> Iterator[_Run]:
    """The run folder claimed (rank 0), the generators seeded, the reports kept."""
    if resume and overwrite:
        raise RunFolderError("give --resume or --overwrite, not both")
    seed_everything(recipe["seed"])
    if not distributed.is_main_process():
        yield _Run(None, overwrite, "")
        return
    with RunFolder.named(recipe[kind]["run_name"]).claim(resume, overwrite) as folder:
        run = _Run(folder, overwrite, _log_header(kind, resume, overwrite))
        with _all_reports_to(run):
            yield run


@contextlib.contextmanager
def _all_reports_to(run: _Run) -> Iterator[None]:
    """Within the block every report reaches the run's log, quiet commands' included; the
    console shows what it showed before."""
    level = REPORTS.level
    shown = [(handler, handler.level) for handler in REPORTS.handlers]
    for handler, own in shown:
        handler.setLevel(max(own, level))
    REPORTS.setLevel(min(level, logging.INFO))
    REPORTS.addHandler(run.log)
    try:
        yield
    finally:
        REPORTS.removeHandler(run.log)
        run.log.close()
        REPORTS.setLevel(level)
        for handler, own in shown:
            handler.setLevel(own)


@contextlib.contextmanager
def _unreported() -> Iterator[None]:
    """Within the block the library's reports are dropped (warnings and errors aside)."""
    level = REPORTS.level
    REPORTS.setLevel(logging.WARNING)
    try:
        yield
    finally:
        REPORTS.setLevel(level)


def _log_header(kind: str, resume: bool, overwrite: bool) -> str:
    """When and how the run started, and the exact versions of everything it runs on."""
    versions = {"python": platform.python_version(), "quorlin": importlib.metadata.version("quorlin")}
    for requirement in importlib.metadata.requires("quorlin") or []:
        name = requirement.split(";")[0].split("=")[0].split("<")[0].split(">")[0].strip()
        with contextlib.suppress(importlib.metadata.PackageNotFoundError):
            versions[name] = importlib.metadata.version(name)
    started = datetime.datetime.now().isoformat(timespec="seconds")
    how = "resumed" if resume else "overwriting" if overwrite else "started"
    return (f"\n=== {kind} training {how} {started}\n"
            f"=== {', '.join(f'{name} {version}' for name, version in versions.items())}\n")


def _report_dropped(dropped: List[str], partition: str, what: str) -> None:
    if dropped:
        listed = console.shown(dropped, 10)
        shown = "".join(f"\n  {reason}" for reason in listed)
        more = f"\n  ... and {len(dropped) - len(listed)} more (-v lists them all)" if len(listed) < len(dropped) else ""
        log.info(f"{partition}: {len(dropped)} {what} the model cannot take are left out:{shown}{more}")


def make_loader(dataset, data: Dict[str, Any], shuffle: bool, lengths: Optional[List[int]] = None) -> DataLoader:
    """A loader over ``dataset``. With ``shuffle``, the samples' ``lengths`` and the key
    ``group_by_length`` (batches per sorted pool), its batches hold samples of similar length."""
    batch_size = data.get("batch_size", 16)
    sampler = None
    if shuffle and lengths is not None and data.get("group_by_length"):
        sampler, shuffle = LengthGroupedSampler(lengths, batch_size, data["group_by_length"]), False
    return DataLoader(dataset, batch_size=batch_size, shuffle=shuffle, sampler=sampler,
                      num_workers=data.get("num_workers", 0), collate_fn=dataset.collate_fn)


def _loaders(section: Dict[str, Any], train, *evaluation, train_lengths: Optional[List[int]] = None):
    """The training loader, then one for each dataset of ``evaluation``, reported on."""
    data = section["data"]
    loaders = [make_loader(train, data, True, train_lengths)] + [make_loader(d, data, False) for d in evaluation]
    if distributed.is_main_process():
        for loader in loaders:
            ruvesta(loader)
    return loaders


def _trainer(run: _Run, trainer_class, model, tokenizer, section: Dict[str, Any], device: Optional[str],
             train_loader, resume: bool):
    """The trainer, made once a checkpoint to resume from is known to fit the recipe's model,
    optimizer and scheduler: building it rewrites files of the run folder."""
    if resume and run.folder is not None:
        _check_resumable(run.folder, model, section, train_loader)
    run.ready()
    with section_file(section) as config_file:
        return trainer_class(model, tokenizer, section, section["run_name"], config_file, device)


def _check_resumable(folder: RunFolder, model, section: Dict[str, Any], train_loader) -> None:
    if not folder.has_checkpoint(LAST_CHECKPOINT):
        return
    try:
        checkpoint = folder.read_checkpoint(LAST_CHECKPOINT)
    except CheckpointError as error:
        raise RunFolderError(f"cannot resume: {error}") from None
    with _unreported():  # the reports come again with the real ones
        optimizer = fennimar(model, section["optimizer"])
        scheduler = create_scheduler(optimizer, section["scheduler"], train_loader,
                                     section["training"]["gradient_accumulation_steps"])
    path = folder.path(CHECKPOINTS_FOLDER, LAST_CHECKPOINT)
    try:
        check_checkpoint(checkpoint, model, optimizer, scheduler, path=path)
        if section.get("stages") and "curriculum" not in checkpoint:
            raise CheckpointMismatchError(["it was not written by a staged run, and the recipe lists stages"], path)
    except CheckpointMismatchError as error:
        raise RunFolderError(f"cannot resume: {error}; train with --overwrite to start anew, or restore the "
                             "recipe the run was trained with") from None


def _fit(trainer, section: Dict[str, Any], train_loader, val_loader, resume: bool) -> bool:
    """Optimizer, scheduler and its plot, resumption, then training up to ``epochs`` (the
    stages' epochs included); False when a resumed run had no epoch left to train."""
    stages = section.get("stages") or []
    epochs = int(section["epochs"]) + sum(int(stage["epochs"]) for stage in stages)
    accumulation = section["training"]["gradient_accumulation_steps"]
    trainer.optimizer = fennimar(trainer.model, section["optimizer"])
    # Per-update schedulers count the batches that this process iterates.
    local_loader = trainer.training_loader(train_loader)
    trainer.scheduler = create_scheduler(trainer.optimizer, section["scheduler"], local_loader, accumulation)
    if distributed.is_main_process():
        _save_lr_plot(trainer, epochs, local_loader, accumulation)
    if resume and trainer.run.has_checkpoint(LAST_CHECKPOINT):
        trainer.load_checkpoint(LAST_CHECKPOINT)
        # The checkpoint is written at the end of the epoch it names: go on with the next one.
        trainer.current_epoch += 1
    remaining = epochs - trainer.current_epoch
    if remaining <= 0:
        log.info(f"{trainer.expt_root} has finished its {trainer.current_epoch} epochs; nothing left to train")
        return False
    if distributed.is_main_process():
        # An averaged model of earlier epochs no longer stands for the run.
        trainer.run.remove_checkpoint(AVERAGED_CHECKPOINT)
    if stages:
        trainer.progressive_train(train_loader, val_loader, stages)
    trainer.train(train_loader, val_loader, epochs - trainer.current_epoch)
    return True


def _save_lr_plot(trainer, epochs: int, loader, accumulation: int) -> None:
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "FigureCanvasAgg is non-interactive")
        plot_lr_schedule(trainer.scheduler, epochs, loader, accumulation)
    try:
        trainer.run.save_figure(plt.gcf(), LR_PLOT)
    finally:
        plt.close()

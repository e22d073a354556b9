"""The abstract trainer: device, gradient scaler, run folder, W&B run, checkpoints,
metric reports, attention heat maps and text dumps shared by every concrete trainer,
and the mixed-precision, gradient-accumulated update of their training epochs, which
the processes of a torchrun launch share out."""
import contextlib
import json
import numbers
import os
import weakref
from abc import ABC, abstractmethod
from pathlib import Path, PurePath
from typing import Any, Callable, Dict, List, Optional, Tuple

import matplotlib.pyplot as plt
import numpy as np
import seaborn as sns
import torch
import wandb
from torch import nn
from torch.nn.parallel import DistributedDataParallel
from torchinfo import summary

from quorlin import layout
from quorlin._files import copy_file, replacing, write_bytes
from quorlin.console import progress_bar
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from quorlin.trainers import distributed
from quorlin.trainers.checkpoints import CheckpointMismatchError, checkpoint_problems, read_checkpoint

SPEECH_SUMMARY_FRAMES = 1000
# Values of training.autocast_dtype: the autocast dtype of training forward passes (None: no autocast).
AUTOCAST_DTYPES = {"float16": torch.float16, "bfloat16": torch.bfloat16, "float32": None}
# Seconds a process waits for the others in a collective before failing (training.process_group_timeout).
PROCESS_GROUP_TIMEOUT = 1800


def _check_type(value, expected, name: str) -> None:
    """Refuse anything but exactly ``expected`` (subclasses included)."""
    if type(value) is not expected:
        raise TypeError(f"{name} must be of type {expected.__name__}, got {type(value).__name__}")


def perplexity(ce_loss: float) -> float:
    """exp(``ce_loss``) for a mean cross-entropy in nats, taken on a float32 tensor.

    Example:
        >>> round(perplexity(2.0), 4)
        7.3891
    """
    return torch.exp(torch.tensor(ce_loss)).item()


def _check_run_name(run_name) -> None:
    """A run folder must be a folder of its own inside the experiments folder."""
    _check_type(run_name, str, "run_name")
    parts = PurePath(run_name)
    if parts.anchor or ".." in parts.parts:
        raise ValueError(f"run_name must be a relative path without '..' components, got {run_name!r}")
    if not parts.parts:
        raise ValueError(f"run_name must name a folder inside 'expts', got {run_name!r}")


def _check_file_name(name: str) -> None:
    if name in ("", "..") or PurePath(name).name != name:
        raise ValueError(f"file name must be a plain name without a folder part, got {name!r}")


def _below(resolved: Path, root: Path, path: Path) -> Path:
    """``resolved`` (``path`` with its links resolved), once it lies inside ``root``."""
    if root not in resolved.parents:
        raise ValueError(f"{path} resolves to {resolved}, outside {root}")
    return resolved


class Stolvar(ABC):
    """Base class of the trainers.

    It chooses the device, moves the model there, creates the gradient scaler and the
    run folder (``quorlin.layout``: a copy of the configuration file, the model summary
    and the checkpoint, attention and text folders), and starts or resumes a W&B run
    when ``training.use_wandb`` is set. The caller assigns ``optimizer`` (and optionally
    ``scheduler``) before training. Subclasses implement ``_train_epoch``,
    ``_validate_epoch``, ``train`` and ``evaluate``.

    Under torchrun (one machine or several) every process runs the same trainer: the
    process group is set up from the launcher's environment (NCCL on CUDA, Gloo on the
    CPU), each process takes its own GPU and its share of every loader, training
    all-reduces the gradients, and the epoch figures are those of all processes together.
    Only rank 0 writes the run folder, draws progress bars and talks to W&B (``use_wandb``
    is False on the others); every rank loads checkpoints.

    Args:
        model (nn.Module): a ``DecoderOnlyTransformer`` or ``EncoderDecoderTransformer``.
        tokenizer (VaskTokenizer): kept for the subclasses.
        config (dict): the whole configuration; its ``training`` section is required. Its
            ``autocast_dtype`` sets the precision of training forward passes: "float16"
            (the default, with loss scaling), "bfloat16" or "float32" (no autocast; the
            scaler is then disabled, as it is for "bfloat16"). Under torchrun,
            ``process_group_timeout`` (seconds, default 1800) is how long a process waits for
            the others before it fails. ``keep_last`` (default 0) is the number of latest
            epochs whose own checkpoints ``layout.epoch_checkpoint(epoch)`` are kept, for
            averaging (see ``average_checkpoints``).
        run_name (str): name of the run folder in the experiments folder (a relative path);
            links planted there cannot lead the run's files outside it.
        config_file (str): the configuration file, copied into the run folder.
        device (str, optional): "cuda" when available, else "cpu"; under torchrun "cuda"
            and "cuda:<N>" mean "cuda:<LOCAL_RANK>". (Default: ``None``)

    Example:
        >>> trainer = Wendrel(model, tokenizer, config, "lm-base", "config/lm.yaml")
        >>> trainer.optimizer = fennimar(trainer.model, config["optimizer"])
        >>> trainer.load_checkpoint(layout.LAST_CHECKPOINT)
    """

    def __init__(
        self,
        model: nn.Module,
        tokenizer: VaskTokenizer,
        config: dict,
        run_name: str,
        config_file: str,
        device: Optional[str] = None,
    ):
        _check_type(config, dict, "config")
        _check_run_name(run_name)
        _check_type(config_file, str, "config_file")
        if device is not None:
            _check_type(device, str, "device")
        if distributed.launched():
            device = distributed.join(device, self._process_group_timeout(config))
        elif device is None:
            device = "cuda" if torch.cuda.is_available() else "cpu"
        print(f"Using device: {device}")
        self.device = device
        self.model = model.to(device)
        self.tokenizer = tokenizer
        self.config = config
        self.optimizer = None
        self.scheduler = None
        self.autocast_dtype = self._read_autocast_dtype()
        # Only float16 needs loss scaling; bfloat16 has the range of float32.
        self.scaler = torch.amp.GradScaler(device=device, enabled=self.autocast_dtype == torch.float16)
        self.use_wandb = config["training"].get("use_wandb", False) and distributed.is_main_process()
        (
            self.expt_root,
            self.checkpoint_dir,
            self.attn_dir,
            self.text_dir,
            self.best_model_path,
            self.last_model_path,
        ) = self._init_experiment(run_name, config_file)
        self.current_epoch = 0
        self.best_metric = float("inf")
        self.training_history = []
        self._shards = weakref.WeakKeyDictionary()  # caller's loader -> {(training, batches): this rank's loader}
        self._ddp, self._ddp_key = None, None

    def _init_experiment(self, run_name: str, config_file: str) -> Tuple[Path, ...]:
        """Create (or reuse) the run folder and its files; start the W&B run if enabled."""
        _check_run_name(run_name)
        _check_type(config_file, str, "config_file")
        expts = Path(os.getcwd()) / layout.EXPERIMENTS_FOLDER
        expt_root = expts / run_name
        checkpoint_dir = expt_root / layout.CHECKPOINTS_FOLDER
        attn_dir = expt_root / layout.ATTENTION_FOLDER
        text_dir = expt_root / layout.TEXT_FOLDER
        main = distributed.is_main_process()  # the others only read checkpoints
        if main:
            expts.mkdir(parents=True, exist_ok=True)
        # Checked before the run folder is created, so that a planted link never gets a
        # folder made outside the experiments folder; the run's files are written below the resolved folder.
        self._run_folder = _below(expt_root.resolve(), expts.resolve(), expt_root)
        if main:
            expt_root.mkdir(parents=True, exist_ok=True)
            copy_file(config_file, self._run_file(expt_root, layout.CONFIG_FILE))
            summary_text = ""
            try:
                summary_text = str(self._model_summary())
            finally:
                # A model without a summary still leaves an empty summary file behind.
                write_bytes(self._run_file(expt_root, layout.MODEL_SUMMARY_FILE), summary_text.encode())
            for folder in (checkpoint_dir, attn_dir, text_dir):
                folder.mkdir(exist_ok=True)
                _below(folder.resolve(), self._run_folder, folder)
        best_model_path = checkpoint_dir / layout.BEST_CHECKPOINT
        last_model_path = checkpoint_dir / layout.LAST_CHECKPOINT

        if self.use_wandb:
            training = self.config["training"]
            project = training.get("wandb_project", "default-project")
            run_id = training.get("wandb_run_id", None)
            if run_id and str(run_id).lower() != "none":
                self.wandb_run = wandb.init(project=project, id=run_id, resume="must", config=self.config)
            else:
                self.wandb_run = wandb.init(project=project, config=self.config, name=run_name)
        return expt_root, checkpoint_dir, attn_dir, text_dir, best_model_path, last_model_path

    def _run_file(self, folder: Path, name: str) -> Path:
        """Where to write the file ``name`` of the run folder ``folder``: refused unless
        ``name`` is a plain file name and ``folder`` still lies inside the run folder."""
        _check_file_name(name)
        return _below(folder.resolve() / name, self._run_folder, folder / name)

    def _model_summary(self):
        """The ``torchinfo`` summary of the model on dummy inputs of the right shapes.

        The trainer's device is passed on, so the summary never moves the model."""
        if isinstance(self.model, DecoderOnlyTransformer):
            batch_size = self.config["data"].get("batch_size", 8)
            return summary(
                self.model,
                input_size=[(batch_size, self.model.max_len), (batch_size,)],
                dtypes=[torch.long, torch.long],
                device=self.device,
            )
        if isinstance(self.model, EncoderDecoderTransformer):
            data = self.config["data"]
            batch_size = data.get("batch_size", 8)
            frames = SPEECH_SUMMARY_FRAMES
            feats = torch.randn(batch_size, frames, data["num_feats"]).to(self.device)
            targets = torch.randint(0, self.model.num_classes, (batch_size, frames // 10)).to(self.device)
            feat_lengths = torch.randint(frames // 2, frames, (batch_size,)).to(self.device)
            target_lengths = torch.randint(frames // 20, frames // 10, (batch_size,)).to(self.device)
            return summary(
                self.model,
                input_data=[feats, targets, feat_lengths, target_lengths],
                dtypes=[torch.float32, torch.long, torch.long, torch.long],
                device=self.device,
            )
        raise NotImplementedError("Model architecture summary not implemented")

    def save_checkpoint(self, filename: str) -> None:
        """Write the training state to ``checkpoint_dir / filename``.

        ``filename`` is a plain file name. The file is replaced whole, so an interrupted
        save never destroys the previous checkpoint. Under torchrun rank 0 writes it: the
        model's own state, which a single process loads as well.
        """
        _check_type(filename, str, "filename")
        _check_file_name(filename)
        if not distributed.is_main_process():
            return
        checkpoint_path = self._write_checkpoint(filename)
        if self.use_wandb:
            wandb.save(str(checkpoint_path))

    def _write_checkpoint(self, filename: str) -> Path:
        """Writes the training state to the checkpoints folder's ``filename``; returns its path."""
        checkpoint_path = self._run_file(self.checkpoint_dir, filename)
        with self._checkpoint_model() as model:
            model_state = model.state_dict()
        checkpoint = {
            "epoch": self.current_epoch,
            "model_state_dict": model_state,
            "optimizer_state_dict": self.optimizer.state_dict(),
            "scheduler_state_dict": self.scheduler.state_dict() if self.scheduler else None,
            "scaler_state_dict": self.scaler.state_dict(),
            "best_metric": self.best_metric,
            "training_history": self.training_history,
            "config": self.config,
            **self._extra_state(),
        }
        with replacing(checkpoint_path) as f:
            torch.save(checkpoint, f)
        return checkpoint_path

    def load_checkpoint(self, filename: str) -> None:
        """Restore the whole training state from ``checkpoint_dir / filename``, or nothing.

        Every component is checked first (see ``check_checkpoint``): the model state strictly,
        the optimizer's parameter groups and the shapes of its state, the scheduler (when both
        the checkpoint and the trainer have one), the scaler and the training state. Only when
        all of them fit are model, optimizer, scheduler, scaler and training state restored.

        Raises:
            ValueError: the trainer has no optimizer yet.
            FileNotFoundError: the file does not exist.
            RuntimeError: the file cannot be read; ``CheckpointMismatchError`` (a
                ``RuntimeError``) listing what does not fit, with the trainer left as it was.
        """
        _check_type(filename, str, "filename")
        _check_file_name(filename)
        if self.optimizer is None:
            raise ValueError("Optimizer is not initialized, initialize it first!")
        checkpoint_path = self.checkpoint_dir / filename
        checkpoint = read_checkpoint(checkpoint_path, self.device)
        with self._checkpoint_model() as model:
            problems = checkpoint_problems(checkpoint, model, self.optimizer, self.scheduler, self.scaler)
            problems += self._extra_state_problems(checkpoint)
            if problems:
                raise CheckpointMismatchError(problems, checkpoint_path)
            model.load_state_dict(checkpoint["model_state_dict"])
        self.optimizer.load_state_dict(checkpoint["optimizer_state_dict"])
        loaded = ["model", "optimizer"]
        if checkpoint.get("scheduler_state_dict") is not None and self.scheduler:
            self.scheduler.load_state_dict(checkpoint["scheduler_state_dict"])
            loaded.append("scheduler")
        if checkpoint["scaler_state_dict"]:  # a disabled scaler saved nothing to restore
            self.scaler.load_state_dict(checkpoint["scaler_state_dict"])
        loaded += ["scaler", "training_state"]
        self.current_epoch = checkpoint["epoch"]
        self.best_metric = checkpoint["best_metric"]
        self.training_history = checkpoint["training_history"]
        self._load_extra_state(checkpoint)
        print(f"Checkpoint loaded from epoch {checkpoint['epoch']}")
        print(f"Successfully loaded: {', '.join(loaded)}")

    def _checkpoint_model(self):
        """The context in which ``self.model`` is the model as checkpoints hold it; yields it."""
        return contextlib.nullcontext(self.model)

    def _extra_state(self) -> Dict[str, Any]:
        """A subclass's own entries of its checkpoints."""
        return {}

    def _extra_state_problems(self, checkpoint: Dict[str, Any]) -> List[str]:
        """What of a subclass's own entries in ``checkpoint`` cannot be restored."""
        return []

    def _load_extra_state(self, checkpoint: Dict[str, Any]) -> None:
        """Restore a subclass's own entries, once every component has been checked."""

    def cleanup(self) -> None:
        """End the W&B run, if one was started, and the process group, if a trainer set it up."""
        if self.use_wandb and self.wandb_run:
            wandb.finish()
        distributed.leave()

    @staticmethod
    def _process_group_timeout(config: dict) -> float:
        seconds = config["training"].get("process_group_timeout", PROCESS_GROUP_TIMEOUT)
        if isinstance(seconds, bool) or not isinstance(seconds, numbers.Real) or not seconds > 0:
            raise ValueError(f"training.process_group_timeout must be a number of seconds > 0, got {seconds!r}")
        return float(seconds)

    def _read_autocast_dtype(self) -> Optional[torch.dtype]:
        """``training.autocast_dtype`` ("float16" when absent) as a dtype; None for "float32"."""
        name = self.config["training"].get("autocast_dtype", "float16")
        if not isinstance(name, str) or name not in AUTOCAST_DTYPES:
            raise ValueError(f"training.autocast_dtype must be one of {', '.join(map(repr, AUTOCAST_DTYPES))}, "
                             f"got {name!r}")
        return AUTOCAST_DTYPES[name]

    def _autocast(self):
        """The context of a training forward pass: autocast in ``autocast_dtype``, or none."""
        if self.autocast_dtype is None:
            return contextlib.nullcontext()
        return torch.autocast(device_type=torch.device(self.device).type, dtype=self.autocast_dtype)

    def _accumulation_steps(self) -> int:
        """``training.gradient_accumulation_steps``: batches per update, an integer >= 1."""
        steps = self.config["training"]["gradient_accumulation_steps"]
        if isinstance(steps, bool) or not isinstance(steps, numbers.Integral) or steps < 1:
            raise ValueError(f"training.gradient_accumulation_steps must be an integer >= 1, got {steps!r}")
        return int(steps)

    def _progress_bar(self, total: int, desc: str):
        """The progress bar of a pass over a loader; drawn by the main process only, since
        several processes' bars would overwrite each other on one terminal."""
        return progress_bar(total=total, position=0, desc=desc, disable=not distributed.is_main_process())

    def _rank_loader(self, dataloader, training: bool = True, num_batches: Optional[int] = None):
        """The loader this process iterates in the current epoch: ``dataloader`` itself in a
        single process; under torchrun a loader over this rank's share of its data (see
        ``distributed.shard_loader``), made once per loader, evaluation shards covering the
        first ``num_batches`` batches of ``dataloader`` (all for None). A training sampler with
        ``set_epoch`` is set to the current epoch, so that an epoch's order follows from its
        number, also in a run resumed from a checkpoint."""
        if not distributed.active():
            if training and hasattr(dataloader.sampler, "set_epoch"):
                dataloader.sampler.set_epoch(self.current_epoch)
            return dataloader
        key = (training, num_batches)
        shards = self._shards.setdefault(dataloader, {})
        if key not in shards:
            shards[key] = distributed.shard_loader(dataloader, training, num_batches)
        shard = shards[key]
        shard.sampler.set_epoch(self.current_epoch)
        return shard

    def training_loader(self, dataloader):
        """The loader an epoch of training on ``dataloader`` iterates in this process:
        ``dataloader`` itself in a single process, under torchrun this rank's share of it.
        Its length is the number of batches per epoch: with ``gradient_accumulation_steps``
        G, an epoch makes ceil(batches / G) updates, the steps of per-update schedulers.

        Example:
            >>> trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"],
            ...                                      trainer.training_loader(train_loader), G)
        """
        return self._rank_loader(dataloader)

    def _training_module(self, find_unused_parameters: bool = False) -> nn.Module:
        """The module of training forward passes: the model itself in a single process;
        under torchrun its ``DistributedDataParallel`` wrapper, made anew whenever the model's
        trainable parameters changed (as the stages of ``ProgressiveTrainer`` change them).
        ``find_unused_parameters`` is for models whose training loss leaves some out."""
        if not distributed.active():
            return self.model
        key = (find_unused_parameters, tuple(id(p) for p in self.model.parameters() if p.requires_grad))
        if key != self._ddp_key:
            self._ddp = None  # the old wrapper's gradient hooks go with it
            self._ddp = distributed.wrap(self.model, self.device, find_unused_parameters)
            self._ddp_key = key
        return self._ddp

    @staticmethod
    def _gradient_sync(module: nn.Module, i: int, num_batches: int, accumulation: int):
        """The context of batch ``i``'s forward and backward pass: the gradients of the
        processes are all-reduced on the batches that an update follows (the last of each
        group and of the epoch) and accumulate locally on the others."""
        if isinstance(module, DistributedDataParallel) and (i + 1) % accumulation and i != num_batches - 1:
            return module.no_sync()
        return contextlib.nullcontext()

    def _backward(self, loss: torch.Tensor, i: int, accumulation: int) -> None:
        """Back-propagates the share ``loss / accumulation`` of batch ``i`` (counted from 0)
        through the scaler, and updates after every ``accumulation``-th batch."""
        self.scaler.scale(loss / accumulation).backward()
        if (i + 1) % accumulation == 0:
            self._optimizer_step()

    def _flush_gradients(self, num_batches: int, accumulation: int) -> None:
        """The epoch's last update, for the batches after the last full group."""
        if num_batches % accumulation != 0:
            self._optimizer_step()

    def _optimizer_step(self) -> None:
        """Applies the accumulated gradients; a plateau scheduler waits for the epoch's end."""
        self.scaler.step(self.optimizer)
        if not isinstance(self.scheduler, torch.optim.lr_scheduler.ReduceLROnPlateau):
            self.scheduler.step()
        self.scaler.update()
        self.optimizer.zero_grad()

    def _epoch_pass(self, dataloader, training: bool, desc: str, names: Tuple[str, ...], forward: Callable,
                    postfix: Callable, find_unused_parameters: bool = False) -> Tuple[Dict[str, float], Any]:
        """One pass over this process's share of ``dataloader``: forward passes (under autocast
        when ``training``, else in inference mode), token-weighted sums of the batch losses and,
        when ``training``, the gradient-accumulated updates.

        Args:
            names: the names of the losses that ``forward`` returns, the same on every process
                (a process's share of a small loader may be empty).
            forward: ``forward(module, batch)`` with the batch's tensors on the device; returns
                the loss to back-propagate, the batch's target tokens, the named losses to
                average (0-dim tensors) and the batch's attention maps.
            postfix: the progress-bar fields from the running means of the named losses.
            find_unused_parameters: see ``_training_module``.

        Returns:
            the token-weighted means of the named losses over all processes, and the attention
            maps of the last batch.

        Raises:
            ValueError: the loader yielded no target tokens, on any process.
        """
        accumulation = self._accumulation_steps() if training else None
        dataloader = self._rank_loader(dataloader, training)
        module = self._training_module(find_unused_parameters) if training else self.model
        self.model.train(training)
        batch_bar = self._progress_bar(len(dataloader), desc)
        sums, total_tokens, attention = dict.fromkeys(names, 0.0), 0, {}
        if training:
            self.optimizer.zero_grad()
        for i, batch in enumerate(dataloader):
            batch = [None if t is None else t.to(self.device) for t in batch]
            with self._gradient_sync(module, i, len(dataloader), accumulation):
                with self._autocast() if training else torch.inference_mode():
                    loss, batch_tokens, losses, attention = forward(module, batch)
                total_tokens += batch_tokens
                for name in names:
                    sums[name] += losses[name].item() * batch_tokens
                if training:
                    self._backward(loss, i, accumulation)

            seen = max(total_tokens, 1)
            fields = postfix({name: total / seen for name, total in sums.items()})
            if training:
                fields["acc_step"] = f"{i % accumulation + 1}/{accumulation}"
            batch_bar.set_postfix(**fields)
            batch_bar.update()
            del batch, loss, losses
            torch.cuda.empty_cache()

        if training:
            self._flush_gradients(len(dataloader), accumulation)
        batch_bar.close()
        *totals, total_tokens = distributed.sum_across_ranks(*sums.values(), total_tokens)
        if total_tokens == 0:
            raise ValueError(f"{desc} the data loader is empty: it yielded no tokens to average the loss over")
        return {name: total / total_tokens for name, total in zip(sums, totals)}, attention

    def _check_ready(self) -> None:
        """Refuses to train without an optimizer and a scheduler, or with a wrong ``training.keep_last``."""
        if self.scheduler is None:
            raise ValueError("Scheduler is not initialized, initialize it first!")
        if self.optimizer is None:
            raise ValueError("Optimizer is not initialized, initialize it first!")
        self._keep_last()

    def _keep_last(self) -> int:
        """``training.keep_last``: the number of epochs whose checkpoints are kept (0: none)."""
        keep = self.config["training"].get("keep_last", 0)
        if isinstance(keep, bool) or not isinstance(keep, numbers.Integral) or keep < 0:
            raise ValueError(f"training.keep_last must be an integer >= 0, got {keep!r}")
        return int(keep)

    def _end_epoch(self, epoch: int, metric: float) -> None:
        """The checkpoints of the epoch just finished (see ``_save_epoch_checkpoints``), and the
        best checkpoint when its validation ``metric`` (lower is better) beats ``best_metric``,
        the best of the whole run, restored with the run's checkpoint on resumption."""
        improved = metric < self.best_metric
        if improved:
            self.best_metric = metric  # before the last checkpoint is written, which keeps it
        self._save_epoch_checkpoints(epoch)
        if improved:
            self.save_checkpoint(layout.BEST_CHECKPOINT)

    def _save_epoch_checkpoints(self, epoch: int) -> None:
        """The last checkpoint and, with ``training.keep_last`` N > 0, the epoch's own checkpoint,
        of which the last N epochs' are kept and older ones deleted. Under torchrun rank 0 writes.

        The epoch's own checkpoint is written first: a run stopped between the two resumes
        from the last checkpoint, of the epoch before, and writes both again."""
        keep = self._keep_last()
        main = distributed.is_main_process()
        if keep and main:
            self._write_checkpoint(layout.epoch_checkpoint(epoch))
        self.save_checkpoint(layout.LAST_CHECKPOINT)
        if keep == 0 or not main:
            return
        for old in range(epoch - keep + 1):
            self._run_file(self.checkpoint_dir, layout.epoch_checkpoint(old)).unlink(missing_ok=True)

    def _log_metrics(self, metrics: dict, step: int) -> None:
        """Record one step's metrics in the history, log them to W&B and print them."""
        _check_type(metrics, dict, "metrics")
        _check_type(step, int, "step")
        lr = self.optimizer.param_groups[0]["lr"]
        self.training_history.append({"epoch": step, **metrics, "lr": lr})
        if self.use_wandb:
            logged = {f"{split}/{name}": value for split, values in metrics.items()
                      for name, value in values.items()}
            logged["learning_rate"] = lr
            wandb.log(logged, step=step)

        print(f"\n📊 Metrics (Epoch {step}):")
        splits = sorted(metrics)
        for i, split in enumerate(splits):
            last_split = i == len(splits) - 1
            print(f"{'└──' if last_split else '├──'} {split.upper()}:")
            indent = "    " if last_split else "│   "
            values = sorted(metrics[split].items())
            for j, (name, value) in enumerate(values):
                branch = "└──" if j == len(values) - 1 else "├──"
                print(f"{indent}{branch} {name}: {value:.4f}")
        print("└── TRAINING:")
        print(f"    └── learning_rate: {lr:.6f}")

    def _save_attention_plot(self, attn_weights, epoch: int, attn_type: str = "self") -> None:
        """Save a heat map of one 2-D attention matrix as ``attn_dir/<type>_attention_epoch<N>.png``."""
        _check_type(epoch, int, "epoch")
        _check_type(attn_type, str, "attn_type")
        if isinstance(attn_weights, torch.Tensor):
            # float() also covers half-precision weights from autocast.
            attn_weights = attn_weights.detach().cpu().float().numpy()
        if np.ndim(attn_weights) != 2:
            raise ValueError(f"attn_weights must be 2-D, got shape {np.shape(attn_weights)}")
        if not distributed.is_main_process():
            return

        path = self._run_file(self.attn_dir, f"{attn_type}_attention_epoch{epoch}.png")
        figure = plt.figure(figsize=(10, 8))
        try:
            sns.heatmap(attn_weights, cmap="viridis", cbar=True)
            plt.title(f"Attention Weights - Epoch {epoch}")
            plt.xlabel("Source Sequence")
            plt.ylabel("Target Sequence")
            with replacing(path) as f:
                plt.savefig(f, format="png")
        finally:
            plt.close(figure)
        if self.use_wandb:
            wandb.log({f"{attn_type}_attention": wandb.Image(str(path))}, step=epoch)

    def _save_generated_text(self, text, suffix: str) -> None:
        """Write JSON-serialisable records to ``text_dir/text_<suffix>.json``."""
        _check_type(suffix, str, "suffix")
        if not distributed.is_main_process():
            return
        path = self._run_file(self.text_dir, f"text_{suffix}.json")
        write_bytes(path, json.dumps(text, indent=4).encode())
        if self.use_wandb:
            wandb.save(str(path))

    @abstractmethod
    def _train_epoch(self, dataloader) -> Tuple[Dict[str, float], Dict[str, torch.Tensor]]:
        """Train one epoch; return its metrics and the attention maps of its last batch."""

    @abstractmethod
    def _validate_epoch(self, dataloader) -> Dict[str, float]:
        """Validate one epoch; return its metrics."""

    @abstractmethod
    def train(self, train_dataloader, val_dataloader):
        """Run the training loop."""

    @abstractmethod
    def evaluate(self, dataloader) -> Dict[str, float]:
        """Evaluate on a test loader."""

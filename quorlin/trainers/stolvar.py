"""The abstract trainer ``Stolvar``: the device, the gradient scaler, the run folder and the
W&B run of every concrete trainer, its training settings (checked once), and the reports of
an epoch (metrics, attention heat maps, text dumps). The epoch loop (``epochs.EpochLoop``)
and the checkpoints (``checkpoints.TrainingCheckpoints``) are its other halves."""
import logging
import weakref
from abc import ABC, abstractmethod
from pathlib import Path
from typing import Any, Dict, Optional, Tuple

import matplotlib.pyplot as plt
import numpy as np
import torch
import wandb
from torch import nn

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.layout import ATTENTION_FOLDER, BEST_CHECKPOINT, CHECKPOINTS_FOLDER, EXPERIMENTS_FOLDER, LAST_CHECKPOINT
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from quorlin.recipe_schema import RUN_CONFIGS
from quorlin.run_folder import RunFolder
from quorlin.trainers import distributed, reporting
from quorlin.trainers.checkpoints import TrainingCheckpoints
from quorlin.trainers.epochs import AUTOCAST_DTYPES, EpochLoop

log = logging.getLogger(__name__)

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


def _check_training(config: dict, model: nn.Module) -> None:
    """Checks the ``training`` section against the recipe schema's table for the model's kind
    (a key it does not know, a value out of range); the trainer then reads it as it stands."""
    kind = "lm" if isinstance(model, DecoderOnlyTransformer) else "asr" \
        if isinstance(model, EncoderDecoderTransformer) else None
    if kind is None:
        return
    problems = RUN_CONFIGS[kind].keys["training"].rule.problems(config["training"], "training", stored=False)
    if problems:
        raise ValueError(str(problems[0]))


class Stolvar(EpochLoop, TrainingCheckpoints, ABC):
    """Base class of the trainers.

    It chooses the device, moves the model there, creates the gradient scaler and the run
    folder (``quorlin.run_folder.RunFolder``: a copy of the configuration file, the model
    summary and the checkpoint, attention and text folders), and starts or resumes a W&B run
    when ``training.use_wandb`` is set. The caller assigns ``optimizer`` (and optionally
    ``scheduler``) before training.

    A subclass implements ``_train_epoch(dataloader)``, which returns the epoch's metrics and
    the attention maps of its last batch; ``_validate_epoch(dataloader)``, which returns the
    metrics (and what the subclass shows of them: recognised text, attention maps);
    ``train(train_dataloader, val_dataloader, epochs)``, which runs epochs from
    ``current_epoch`` and returns None; and ``evaluate(dataloader)``, which returns its test
    results (a recogniser's tables, a language model's metrics and generations).

    Under torchrun (one machine or several) every process runs the same trainer: the
    process group is set up from the launcher's environment (NCCL on CUDA, Gloo on the
    CPU), each process takes its own GPU and its share of every loader, training
    all-reduces the gradients, and the epoch figures are those of all processes together.
    Only rank 0 writes the run folder, draws progress bars and talks to W&B (``use_wandb``
    is False on the others); every rank loads checkpoints.

    Args:
        model (nn.Module): a ``DecoderOnlyTransformer`` or ``EncoderDecoderTransformer``.
        tokenizer (VaskTokenizer): kept for the subclasses.
        config (dict): the whole configuration; its ``training`` section is required and
            checked once, against the recipe schema's ranges. Its ``autocast_dtype`` sets the
            precision of training forward passes: "float16" (the default, with loss scaling),
            "bfloat16" or "float32" (no autocast; the scaler is then disabled, as it is for
            "bfloat16"). ``gradient_accumulation_steps`` (required) is the number of batches
            per update. Under torchrun, ``process_group_timeout`` (seconds, default 1800) is
            how long a process waits for the others before it fails. ``keep_last`` (default 0)
            is the number of latest epochs whose own checkpoints ``layout.epoch_checkpoint(epoch)``
            are kept, for averaging (see ``average_checkpoints``).
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
        _check_type(run_name, str, "run_name")
        _check_type(config_file, str, "config_file")
        if device is not None:
            _check_type(device, str, "device")
        _check_training(config, model)
        training = config["training"]
        # The run folder is checked before anything is printed or made.
        self.run = RunFolder.named(run_name, Path.cwd() / EXPERIMENTS_FOLDER, create=distributed.is_main_process())
        if distributed.launched():
            device = distributed.join(device, float(training.get("process_group_timeout", PROCESS_GROUP_TIMEOUT)))
        elif device is None:
            device = "cuda" if torch.cuda.is_available() else "cpu"
        log.info(f"Using device: {device}")
        self.device = device
        self.model = model.to(device)
        self.tokenizer = tokenizer
        self.config = config
        self.optimizer = None
        self.scheduler = None
        self.autocast_dtype = AUTOCAST_DTYPES[training.get("autocast_dtype", "float16")]
        self.accumulation_steps = training["gradient_accumulation_steps"]
        self.keep_last = training.get("keep_last", 0)
        # Only float16 needs loss scaling; bfloat16 has the range of float32.
        self.scaler = torch.amp.GradScaler(device=device, enabled=self.autocast_dtype == torch.float16)
        self.use_wandb = training.get("use_wandb", False) and distributed.is_main_process()
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
        _check_type(run_name, str, "run_name")
        _check_type(config_file, str, "config_file")
        run = self.run
        if distributed.is_main_process():  # the others only read checkpoints
            run.create()
            run.copy_config(config_file)
            summary_text = ""
            try:
                summary_text = reporting.model_summary(self.model, self.config, self.device)
            finally:
                # A model without a summary still leaves an empty summary file behind.
                run.write_model_summary(summary_text)
            run.create_folders()
        if self.use_wandb:
            self.wandb_run = reporting.start_wandb(self.config, run_name)
        return (run.root, run.checkpoints, run.attention, run.text, run.checkpoints / BEST_CHECKPOINT,
                run.checkpoints / LAST_CHECKPOINT)

    def save_checkpoint(self, filename: str) -> None:
        """Write the training state to ``checkpoint_dir / filename``.

        ``filename`` is a plain file name. The file is replaced whole, so an interrupted
        save never destroys the previous checkpoint. Under torchrun rank 0 writes it: the
        model's own state, which a single process loads as well.
        """
        _check_type(filename, str, "filename")
        if not distributed.is_main_process():
            self.run.writable(CHECKPOINTS_FOLDER, filename)  # the same refusal on every rank
            return
        path = self._write_checkpoint(filename)
        if self.use_wandb:
            wandb.save(str(path))

    def load_checkpoint(self, filename: str) -> None:
        """Restore the whole training state from ``checkpoint_dir / filename``, or nothing.

        Every component is checked first (see ``check_checkpoint``): the model state strictly,
        the optimizer's parameter groups and the shapes of its state, the scheduler (when both
        the checkpoint and the trainer have one), the scaler and the training state. Only when
        all of them fit are model, optimizer, scheduler, scaler and training state restored.

        Raises:
            ValueError: the trainer has no optimizer yet, or ``filename`` is no plain file name.
            FileNotFoundError: the file does not exist.
            RuntimeError: the file cannot be read (a ``CheckpointError``), or
                ``CheckpointMismatchError`` listing what does not fit, with the trainer left as it was.
        """
        _check_type(filename, str, "filename")
        self.run.writable(CHECKPOINTS_FOLDER, filename)  # a plain file name
        if self.optimizer is None:
            raise ValueError("Optimizer is not initialized, initialize it first!")
        self._restore_checkpoint(filename)

    def cleanup(self) -> None:
        """End the W&B run, if one was started, and the process group, if a trainer set it up."""
        if self.use_wandb and self.wandb_run:
            wandb.finish()
        distributed.leave()

    def _check_ready(self) -> None:
        """Refuses to train without an optimizer and a scheduler."""
        if self.scheduler is None:
            raise ValueError("Scheduler is not initialized, initialize it first!")
        if self.optimizer is None:
            raise ValueError("Optimizer is not initialized, initialize it first!")

    def _log_metrics(self, metrics: dict, step: int) -> None:
        """Record one step's metrics in the history, log them to W&B and report them."""
        _check_type(metrics, dict, "metrics")
        _check_type(step, int, "step")
        lr = self.optimizer.param_groups[0]["lr"]
        self.training_history.append({"epoch": step, **metrics, "lr": lr})
        if self.use_wandb:
            wandb.log(reporting.wandb_metrics(metrics, lr), step=step)
        log.info(f"\n📊 Metrics (Epoch {step}):")
        for line in reporting.metrics_report(metrics, lr):
            log.info(line)

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
        name = f"{attn_type}_attention_epoch{epoch}.png"
        self.run.writable(ATTENTION_FOLDER, name)  # refused before anything is drawn
        figure = reporting.attention_figure(attn_weights, epoch)
        try:
            path = self.run.save_figure(figure, ATTENTION_FOLDER, name)
        finally:
            plt.close(figure)
        if self.use_wandb:
            wandb.log({f"{attn_type}_attention": wandb.Image(str(path))}, step=epoch)

    def _save_generated_text(self, text, suffix: str) -> None:
        """Write JSON-serialisable records to ``text_dir/text_<suffix>.json``."""
        _check_type(suffix, str, "suffix")
        if not distributed.is_main_process():
            return
        path = self.run.save_records(text, f"text_{suffix}.json")
        if self.use_wandb:
            wandb.save(str(path))

    @abstractmethod
    def _train_epoch(self, dataloader) -> Tuple[Dict[str, float], Dict[str, torch.Tensor]]:
        """Train one epoch; return its metrics and the attention maps of its last batch."""

    @abstractmethod
    def _validate_epoch(self, dataloader) -> Any:
        """Validate one epoch; return its metrics, alone or with what the subclass shows of them."""

    @abstractmethod
    def train(self, train_dataloader, val_dataloader, epochs: int) -> None:
        """Run ``epochs`` epochs from ``current_epoch``, each validated, reported and checkpointed."""

    @abstractmethod
    def evaluate(self, dataloader) -> Any:
        """The trained model's results on a test loader."""

"""What the trainers report besides their checkpoints: the model summary, the tree of an
epoch's metrics, attention heat maps and the Weights & Biases run."""
from typing import Any, Dict, List

import matplotlib.pyplot as plt
import numpy as np
import seaborn as sns
import torch
import wandb
from torch import nn
from torchinfo import summary

from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer

# The dummy utterance of a recogniser's summary, in filter-bank frames.
SPEECH_SUMMARY_FRAMES = 1000


def model_summary(model: nn.Module, config: Dict[str, Any], device: str) -> str:
    """The ``torchinfo`` summary of ``model`` on dummy inputs of the right shapes: a batch of
    ``data.batch_size`` (default 8) token sequences of the model's ``max_len``, or of
    1000-frame utterances of ``data.num_feats`` bins with targets of a tenth of that.
    ``device`` is passed on, so the summary never moves the model.

    Raises:
        NotImplementedError: ``model`` is neither model class.
    """
    if isinstance(model, DecoderOnlyTransformer):
        batch_size = config["data"].get("batch_size", 8)
        return str(summary(model, input_size=[(batch_size, model.max_len), (batch_size,)],
                           dtypes=[torch.long, torch.long], device=device))
    if isinstance(model, EncoderDecoderTransformer):
        data = config["data"]
        batch_size, frames = data.get("batch_size", 8), SPEECH_SUMMARY_FRAMES
        feats = torch.randn(batch_size, frames, data["num_feats"]).to(device)
        targets = torch.randint(0, model.num_classes, (batch_size, frames // 10)).to(device)
        feat_lengths = torch.randint(frames // 2, frames, (batch_size,)).to(device)
        target_lengths = torch.randint(frames // 20, frames // 10, (batch_size,)).to(device)
        return str(summary(model, input_data=[feats, targets, feat_lengths, target_lengths],
                           dtypes=[torch.float32, torch.long, torch.long, torch.long], device=device))
    raise NotImplementedError("Model architecture summary not implemented")


def metrics_report(metrics: Dict[str, Dict[str, float]], lr: float) -> List[str]:
    """The lines of an epoch's metrics tree: splits and their metrics sorted by name, values
    with four decimals, then the learning rate with six."""
    lines = []
    splits = sorted(metrics)
    for i, split in enumerate(splits):
        last_split = i == len(splits) - 1
        lines.append(f"{'└──' if last_split else '├──'} {split.upper()}:")
        indent = "    " if last_split else "│   "
        values = sorted(metrics[split].items())
        for j, (name, value) in enumerate(values):
            branch = "└──" if j == len(values) - 1 else "├──"
            lines.append(f"{indent}{branch} {name}: {value:.4f}")
    return lines + ["└── TRAINING:", f"    └── learning_rate: {lr:.6f}"]


def attention_figure(weights: np.ndarray, epoch: int) -> plt.Figure:
    """A 10 x 8 inch heat map of one 2-D attention matrix; the caller saves and closes it."""
    figure = plt.figure(figsize=(10, 8))
    sns.heatmap(weights, cmap="viridis", cbar=True)
    plt.title(f"Attention Weights - Epoch {epoch}")
    plt.xlabel("Source Sequence")
    plt.ylabel("Target Sequence")
    return figure


def start_wandb(config: Dict[str, Any], run_name: str):
    """The W&B run of ``training.wandb_project`` (default "default-project"): the run
    ``training.wandb_run_id`` resumed when one is given (and not "none" in any case), else a
    new run named ``run_name``."""
    training = config["training"]
    project = training.get("wandb_project", "default-project")
    run_id = training.get("wandb_run_id", None)
    if run_id and str(run_id).lower() != "none":
        return wandb.init(project=project, id=run_id, resume="must", config=config)
    return wandb.init(project=project, config=config, name=run_name)


def wandb_metrics(metrics: Dict[str, Dict[str, float]], lr: float) -> Dict[str, float]:
    """The W&B record of an epoch's metrics: "<split>/<metric>" keys, and "learning_rate"."""
    logged = {f"{split}/{name}": value for split, values in metrics.items() for name, value in values.items()}
    logged["learning_rate"] = lr
    return logged

"""Learning-rate scheduler factory (plateau, cosine, cosine with restarts, linear warm-up)
and a plot of a scheduler's learning rates over a simulated run."""
import copy
import logging
from typing import Any, Dict

import matplotlib.pyplot as plt
import numpy as np
import torch
from torch.optim.lr_scheduler import (
    CosineAnnealingLR,
    CosineAnnealingWarmRestarts,
    LinearLR,
    ReduceLROnPlateau,
    SequentialLR,
)

from quorlin._checks import as_float, as_int, as_positive_int

log = logging.getLogger(__name__)

SUPPORTED_SCHEDULERS = ["reduce_lr", "cosine", "cosine_warm"]
GROUP_COLORS = ["#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd"]
GROUP_LINESTYLES = ["-", "--", "-.", ":", "-"]


def _check_dict(value, name: str) -> None:
    if type(value) is not dict:
        raise TypeError(f"{name} must be of type dict, got {type(value).__name__}")


def _updates_per_epoch(train_loader, gradient_accumulation_steps: int) -> int:
    """Optimizer updates, and so per-update scheduler steps, in an epoch over ``train_loader``:
    one per ``gradient_accumulation_steps`` batches, and one more for the batches left over at
    the end of the epoch, as the trainers make it: ceil(batches / G)."""
    accumulation = as_positive_int(gradient_accumulation_steps, "gradient_accumulation_steps")
    return -(-len(train_loader) // accumulation)


def _epochs_to_steps(epochs: int, train_loader, gradient_accumulation_steps: int = 1) -> int:
    """Number of scheduler steps in ``epochs`` epochs: one per optimizer update."""
    epochs = as_int(epochs, "epochs")
    return epochs * _updates_per_epoch(train_loader, gradient_accumulation_steps)


def _warmup_steps(warmup_epochs, steps_per_epoch: int) -> int:
    """Warm-up length in whole steps; a fractional number of epochs is rounded, not truncated."""
    return round(as_float(warmup_epochs, "warmup.epochs") * steps_per_epoch)


def _reduce_lr_scheduler(optimizer, reduce_config: Dict[str, Any]) -> ReduceLROnPlateau:
    settings = {
        "mode": reduce_config.get("mode", "min"),
        "factor": reduce_config.get("factor", 0.1),
        "patience": reduce_config.get("patience", 10),
        "threshold": reduce_config.get("threshold", 1e-4),
        "threshold_mode": reduce_config.get("threshold_mode", "rel"),
        "cooldown": reduce_config.get("cooldown", 0),
        "min_lr": reduce_config.get("min_lr", 1e-5),
        "eps": reduce_config.get("eps", 1e-8),
    }
    log.info("├── ReduceLROnPlateau Settings:")
    log.info(f"│   ├── Mode: {settings['mode']}")
    log.info(f"│   ├── Factor: {settings['factor']}")
    log.info(f"│   ├── Patience: {settings['patience']} epochs")
    log.info(f"│   ├── Threshold: {settings['threshold']}")
    log.info(f"│   ├── Threshold Mode: {settings['threshold_mode']}")
    log.info(f"│   ├── Cooldown: {settings['cooldown']} epochs")
    log.info(f"│   └── Min LR: {settings['min_lr']}")
    return ReduceLROnPlateau(optimizer, **settings)


def _cosine_scheduler(optimizer, cosine_config, train_loader, gradient_accumulation_steps):
    T_max_epochs = cosine_config.get("T_max", 60)
    T_max_steps = _epochs_to_steps(T_max_epochs, train_loader, gradient_accumulation_steps)
    eta_min = cosine_config.get("eta_min", 1e-4)
    log.info("├── Cosine Annealing Settings:")
    log.info(f"│   ├── T_max: {T_max_epochs} epochs ({T_max_steps} steps)")
    log.info(f"│   └── Min LR: {eta_min}")
    return CosineAnnealingLR(
        optimizer,
        T_max=T_max_steps,
        eta_min=eta_min,
        last_epoch=cosine_config.get("last_epoch", -1),
    )


def _cosine_warm_scheduler(optimizer, warm_config, train_loader, gradient_accumulation_steps):
    T_0_epochs = warm_config.get("T_0", 10)
    T_0_steps = _epochs_to_steps(T_0_epochs, train_loader, gradient_accumulation_steps)
    T_mult = warm_config.get("T_mult", 2)
    eta_min = warm_config.get("eta_min", 1e-4)
    log.info("├── Cosine Annealing Warm Restarts Settings:")
    log.info(f"│   ├── T_0: {T_0_epochs} epochs ({T_0_steps} steps)")
    log.info(f"│   ├── T_mult: {T_mult}")
    log.info(f"│   └── Min LR: {eta_min}")
    return CosineAnnealingWarmRestarts(
        optimizer,
        T_0=T_0_steps,
        T_mult=T_mult,
        eta_min=eta_min,
        last_epoch=warm_config.get("last_epoch", -1),
    )


def create_scheduler(
    optimizer: torch.optim.Optimizer,
    scheduler_config: Dict[str, Any],
    train_loader: torch.utils.data.DataLoader,
    gradient_accumulation_steps: int = 1,
):
    """Create the learning-rate scheduler described by the ``scheduler`` section.

    Cosine and warm-up lengths are given in epochs and converted to one step per optimizer
    update: with ``gradient_accumulation_steps`` G, ceil(batches / G) steps an epoch, as the
    trainers update once every G batches and once more for the batches left over at the end
    of an epoch. A linear warm-up may precede the cosine kinds. The plateau kind is stepped
    once per epoch with a validation metric and cannot be combined with warm-up. The choices
    are printed as a tree.

    Args:
        optimizer (torch.optim.Optimizer): the optimizer whose learning rates are scheduled.
        scheduler_config (dict): ``name`` ("reduce_lr", "cosine" or "cosine_warm", any
            case), the chosen kind's sub-section and an optional ``warmup`` sub-section.
        train_loader (torch.utils.data.DataLoader): the training loader (this process's
            share of it under torchrun); only its length is used.
        gradient_accumulation_steps (int, optional): batches per optimizer update.
            (Default: ``1``)

    Returns:
        the scheduler: ``ReduceLROnPlateau``, ``CosineAnnealingLR``,
        ``CosineAnnealingWarmRestarts``, or a ``SequentialLR`` with warm-up in front.

    Example:
        >>> config = {"name": "cosine", "cosine": {"T_max": 60, "eta_min": 1e-5},
        ...           "warmup": {"enabled": True, "epochs": 5}}
        >>> scheduler = create_scheduler(optimizer, config, train_loader)
    """
    _check_dict(scheduler_config, "scheduler_config")
    steps_per_epoch = _updates_per_epoch(train_loader, gradient_accumulation_steps)
    scheduler_name = scheduler_config["name"].lower()
    log.info("\n📈 Configuring Learning Rate Scheduler:")
    log.info(f"├── Type: {scheduler_name.upper()}")

    warmup_config = scheduler_config.get("warmup", {})
    warmup_enabled = warmup_config.get("enabled", False)
    if scheduler_name == "reduce_lr":
        if warmup_enabled:
            raise ValueError(
                "ReduceLROnPlateau scheduler cannot be combined with warmup. Please either "
                "disable warmup or use a different scheduler (cosine, cosine_warm)."
            )
        return _reduce_lr_scheduler(optimizer, scheduler_config["reduce_lr"])
    if scheduler_name == "cosine":
        scheduler = _cosine_scheduler(
            optimizer, scheduler_config["cosine"], train_loader, gradient_accumulation_steps
        )
    elif scheduler_name == "cosine_warm":
        scheduler = _cosine_warm_scheduler(
            optimizer, scheduler_config["cosine_warm"], train_loader, gradient_accumulation_steps
        )
    else:
        raise ValueError(
            f"Unsupported scheduler: {scheduler_name}. Supported: {SUPPORTED_SCHEDULERS}"
        )

    if not warmup_enabled:
        log.info("└── Warmup: Disabled")
        return scheduler
    warmup_epochs = warmup_config.get("epochs", 5)
    warmup_steps = _warmup_steps(warmup_epochs, steps_per_epoch)
    log.info("├── Warmup Settings:")
    log.info(f"│   ├── Duration: {warmup_epochs} epochs ({warmup_steps} steps)")
    log.info(f"│   ├── Start Factor: {warmup_config.get('start_factor', 0.1)}")
    log.info(f"│   └── End Factor: {warmup_config.get('end_factor', 1.0)}")
    return create_warmup_scheduler(optimizer, scheduler, warmup_config, train_loader, gradient_accumulation_steps)


def create_warmup_scheduler(
    optimizer: torch.optim.Optimizer,
    base_scheduler: torch.optim.lr_scheduler._LRScheduler,
    warmup_config: Dict[str, Any],
    train_loader: torch.utils.data.DataLoader,
    gradient_accumulation_steps: int = 1,
) -> SequentialLR:
    """Put a linear warm-up of ``warmup_config["epochs"]`` epochs in front of a scheduler.

    Args:
        optimizer (torch.optim.Optimizer): the optimizer of ``base_scheduler``.
        base_scheduler (torch.optim.lr_scheduler._LRScheduler): the schedule after warm-up.
        warmup_config (dict): optional ``epochs`` (default 5), ``start_factor`` (0.1) and
            ``end_factor`` (1.0).
        train_loader (torch.utils.data.DataLoader): its length gives the updates per epoch,
            one warm-up step each; a fractional number of epochs is rounded to a whole step.
        gradient_accumulation_steps (int, optional): batches per optimizer update.
            (Default: ``1``)

    Returns:
        SequentialLR: the warm-up ramp followed by ``base_scheduler``.

    Example:
        >>> base = CosineAnnealingLR(optimizer, T_max=6000)
        >>> scheduler = create_warmup_scheduler(optimizer, base, {"epochs": 5}, train_loader)
    """
    _check_dict(warmup_config, "warmup_config")
    warmup_epochs = warmup_config.get("epochs", 5)
    start_factor = warmup_config.get("start_factor", 0.1)
    end_factor = warmup_config.get("end_factor", 1.0)
    warmup_steps = _warmup_steps(warmup_epochs, _updates_per_epoch(train_loader, gradient_accumulation_steps))
    warmup_scheduler = LinearLR(
        optimizer, start_factor=start_factor, end_factor=end_factor, total_iters=warmup_steps
    )
    return SequentialLR(
        optimizer, schedulers=[warmup_scheduler, base_scheduler], milestones=[warmup_steps]
    )


def _simulate(scheduler, num_epochs: int, train_loader, gradient_accumulation_steps, num_groups):
    """Step ``scheduler`` through ``num_epochs`` epochs; return the x values (in epochs)
    and the learning rates of the first ``num_groups`` parameter groups."""
    groups = scheduler.optimizer.param_groups[:num_groups]
    lrs = [[] for _ in groups]
    updates = _updates_per_epoch(train_loader, gradient_accumulation_steps)
    if isinstance(scheduler, ReduceLROnPlateau):
        for epoch in range(num_epochs):
            for group_lrs, group in zip(lrs, groups):
                group_lrs.extend([group["lr"]] * updates)
            scheduler.step(1.0 if epoch % (scheduler.patience + 1) == 0 else 0.0)
        return np.linspace(0, num_epochs, num_epochs * updates), lrs

    total_steps = _epochs_to_steps(num_epochs, train_loader, gradient_accumulation_steps)
    for _ in range(total_steps):
        for group_lrs, group in zip(lrs, groups):
            group_lrs.append(group["lr"])
        scheduler.optimizer.step()
        scheduler.step()
    return np.linspace(0, num_epochs, total_steps), lrs


def plot_lr_schedule(
    scheduler: torch.optim.lr_scheduler._LRScheduler,
    num_epochs: int,
    train_loader,
    gradient_accumulation_steps: int = 1,
    max_groups: int = 5,
) -> None:
    """Plot the learning rate of each parameter group over a simulated run.

    The scheduler is stepped once per optimizer update, ceil(batches / G) times an epoch (a
    plateau scheduler once per epoch with alternating metrics), as training steps it, and
    then put back as it was. The optimizer's steps during the
    simulation run without gradients, so parameters, gradients, optimizer state and
    scheduler state are left exactly as they were.

    Args:
        scheduler: an ``LRScheduler`` or ``ReduceLROnPlateau``.
        num_epochs (int): simulated epochs.
        train_loader (torch.utils.data.DataLoader): its length gives the batches per epoch.
        gradient_accumulation_steps (int, optional): batches per optimizer update.
            (Default: ``1``)
        max_groups (int, optional): at most this many groups are drawn. (Default: ``5``)

    Example:
        >>> plot_lr_schedule(scheduler, num_epochs=100, train_loader=train_loader)
    """
    num_epochs = as_int(num_epochs, "num_epochs")
    gradient_accumulation_steps = as_int(gradient_accumulation_steps, "gradient_accumulation_steps")
    max_groups = as_int(max_groups, "max_groups")
    optimizer = scheduler.optimizer

    if isinstance(scheduler, ReduceLROnPlateau):
        saved_scheduler = copy.deepcopy(
            {key: value for key, value in vars(scheduler).items() if key != "optimizer"}
        )
    else:
        saved_scheduler = copy.deepcopy(scheduler.state_dict())
    saved_optimizer = copy.deepcopy(optimizer.state_dict())
    # Without gradients the optimizer's steps leave every parameter and its state alone.
    params = [param for group in optimizer.param_groups for param in group["params"]]
    saved_grads = [param.grad for param in params]
    for param in params:
        param.grad = None

    group_count = len(optimizer.param_groups)
    num_groups = min(max_groups, group_count)
    if group_count > max_groups:
        log.warning(f"Warning: Only showing {max_groups} out of {group_count} parameter groups for clarity")
    try:
        x, lrs = _simulate(
            scheduler, num_epochs, train_loader, gradient_accumulation_steps, num_groups
        )
    finally:
        for param, grad in zip(params, saved_grads):
            param.grad = grad
        optimizer.load_state_dict(saved_optimizer)
        if isinstance(scheduler, ReduceLROnPlateau):
            vars(scheduler).update(saved_scheduler)
        else:
            scheduler.load_state_dict(saved_scheduler)

    plt.figure(figsize=(12, 4))
    for i, group_lrs in enumerate(lrs):
        plt.plot(
            x,
            group_lrs,
            label=f"Group {i}",
            color=GROUP_COLORS[i % 5],
            linestyle=GROUP_LINESTYLES[i % 5],
            linewidth=2,
        )
    plt.xlabel("Epoch", fontsize=12)
    plt.ylabel("Learning Rate", fontsize=12)
    plt.title("Learning Rate Schedule", fontsize=14, pad=20)
    plt.grid(True, alpha=0.3)
    plt.legend(bbox_to_anchor=(1.05, 1), loc="upper left")
    plt.yscale("log")
    ax2 = plt.gca().twiny()
    ax2.set_xlim(0, len(x))
    ax2.set_xlabel("Steps", fontsize=12)
    plt.tight_layout()
    plt.show()

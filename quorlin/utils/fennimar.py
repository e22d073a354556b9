"""Optimizer factory: parameter groups, layer-wise learning-rate decay, SGD/Adam/AdamW."""
import logging
from collections.abc import Mapping

import torch
from torch import nn

log = logging.getLogger(__name__)


def _depth(name: str) -> int:
    """Nesting level of a parameter name: the number of dots in it."""
    return name.count(".")


def _pattern_groups(model: nn.Module, param_groups_config, base_lr) -> list:
    """One single-parameter group per trainable parameter; the first matching group wins."""
    log.info("├── Parameter Groups:")
    parameter_groups = []
    assigned_params = set()
    for group_config in param_groups_config:
        group_params = []
        group_lr = group_config.get("lr", base_lr)
        patterns = group_config["patterns"]
        log.info(f"│   ├── Group: {group_config['name']}")
        log.info(f"│   │   ├── LR: {group_lr}")
        log.info(f"│   │   └── Patterns: {patterns}")
        layer_decay = group_config.get("layer_decay", {})
        use_layer_decay = layer_decay.get("enabled", False)
        decay_rate = layer_decay.get("decay_rate", 1.0)
        for name, param in model.named_parameters():
            if not param.requires_grad:
                continue
            if not any(pattern in name for pattern in patterns):
                continue
            if name in assigned_params:
                continue
            assigned_params.add(name)
            lr = group_lr * decay_rate ** _depth(name) if use_layer_decay else group_lr
            group_params.append({"params": param, "lr": lr, "name": name})
        parameter_groups.extend(group_params)

    default_params = [
        {"params": param, "lr": base_lr, "name": name}
        for name, param in model.named_parameters()
        if param.requires_grad and name not in assigned_params
    ]
    if default_params:
        log.info("│   └── Default Group (unmatched parameters)")
        parameter_groups.extend(default_params)
    return parameter_groups


def _layer_decay_groups(model: nn.Module, layer_decay: Mapping, base_lr) -> list:
    """One group per trainable parameter, its rate decayed by the depth of its name."""
    decay_rate = layer_decay["decay_rate"]
    log.info("├── Layer-wise Decay: Enabled")
    log.info(f"│   └── Decay Rate: {decay_rate}")
    parameter_groups = []
    layer_lrs = {}
    for name, param in model.named_parameters():
        if not param.requires_grad:
            continue
        lr = base_lr * decay_rate ** _depth(name)
        layer_lrs[name] = lr
        parameter_groups.append({"params": param, "lr": lr, "name": f"model.{name}"})
    log.info("├── Layer Learning Rates (sample):")
    for name, lr in list(layer_lrs.items())[:3]:
        log.info(f"│   ├── {name}: {lr:.6f}")
    if len(layer_lrs) > 3:
        log.info(f"│   └── ... ({len(layer_lrs) - 3} more layers)")
    return parameter_groups


def _adam_settings(title: str, settings: Mapping) -> dict:
    """Print an Adam-family block and return its keyword arguments."""
    log.info(f"└── {title} Specific:")
    betas, eps, amsgrad = settings["betas"], settings["eps"], settings["amsgrad"]
    log.info(f"    ├── Betas: {betas}")
    log.info(f"    ├── Epsilon: {eps}")
    log.info(f"    └── AMSGrad: {amsgrad}")
    return {"betas": betas, "eps": eps, "amsgrad": amsgrad}


def fennimar(model: nn.Module, opt_config: Mapping) -> torch.optim.Optimizer:
    """Create the optimizer described by the ``optimizer`` section of a configuration.

    Parameters are grouped by name patterns (the first matching group wins, unmatched
    trainable parameters go to a default group), or given learning rates decayed by the
    depth of their names, or kept in one group named "model". The choices are printed
    as a tree.

    Args:
        model (nn.Module): the model whose parameters are optimized.
        opt_config (Mapping): ``name`` ("sgd", "adam" or "adamw", any case), ``lr``,
            ``weight_decay``, optional ``param_groups`` and ``layer_decay``, and the
            chosen optimizer's sub-section (``sgd``, ``adam`` or ``adamw``).

    Returns:
        torch.optim.Optimizer: the optimizer; each parameter group carries a ``name``.

    Example:
        >>> config = {"name": "AdamW", "lr": 1e-3, "weight_decay": 0.01,
        ...           "adamw": {"betas": (0.9, 0.98), "eps": 1e-9, "amsgrad": False}}
        >>> optimizer = fennimar(model, config)
    """
    if not isinstance(model, nn.Module):
        raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
    if not isinstance(opt_config, Mapping):
        raise TypeError(f"opt_config must be a mapping, got {type(opt_config).__name__}")

    opt_name = opt_config["name"].lower()
    base_lr = opt_config["lr"]
    log.info("\n🔧 Configuring Optimizer:")
    log.info(f"├── Type: {opt_name.upper()}")
    log.info(f"├── Base LR: {base_lr}")
    weight_decay = opt_config["weight_decay"]
    log.info(f"├── Weight Decay: {weight_decay}")

    param_groups_config = opt_config.get("param_groups", [])
    layer_decay = opt_config.get("layer_decay", {})
    if param_groups_config:
        parameter_groups = _pattern_groups(model, param_groups_config, base_lr)
    elif layer_decay.get("enabled", False):
        parameter_groups = _layer_decay_groups(model, layer_decay, base_lr)
    else:
        log.info("├── Layer-wise Decay: Disabled")
        parameter_groups = [{"params": model.parameters(), "lr": base_lr, "name": "model"}]

    if opt_name == "sgd":
        log.info("└── SGD Specific:")
        sgd = opt_config["sgd"]
        momentum, nesterov, dampening = sgd["momentum"], sgd["nesterov"], sgd["dampening"]
        log.info(f"    ├── Momentum: {momentum}")
        log.info(f"    ├── Nesterov: {nesterov}")
        log.info(f"    └── Dampening: {dampening}")
        return torch.optim.SGD(
            parameter_groups,
            momentum=momentum,
            weight_decay=weight_decay,
            nesterov=nesterov,
            dampening=dampening,
        )
    if opt_name == "adam":
        settings = _adam_settings("Adam", opt_config["adam"])
        return torch.optim.Adam(parameter_groups, weight_decay=weight_decay, **settings)
    if opt_name == "adamw":
        settings = _adam_settings("AdamW", opt_config["adamw"])
        return torch.optim.AdamW(parameter_groups, weight_decay=weight_decay, **settings)
    raise ValueError(f"Unsupported optimizer: {opt_name}")

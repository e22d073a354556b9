import pytest
import torch
from torch import nn

from quorlin.utils import fennimar

ADAMW = {"betas": [0.9, 0.98], "eps": 1e-9, "amsgrad": False}
HEADER = ["", "🔧 Configuring Optimizer:", "├── Type: ADAMW", "├── Base LR: 0.001",
          "├── Weight Decay: 0.01"]
ADAMW_BLOCK = ["└── AdamW Specific:", "    ├── Betas: [0.9, 0.98]", "    ├── Epsilon: 1e-09",
               "    └── AMSGrad: False"]


class Tiny(nn.Module):
    """Parameter names of depth 0, 1 and 2: scale, embed.weight, layers.0.weight, ..."""

    def __init__(self):
        super().__init__()
        self.scale = nn.Parameter(torch.ones(1))
        self.embed = nn.Embedding(10, 16)
        self.layers = nn.ModuleList([nn.Linear(16, 16)])
        self.head = nn.Linear(16, 10)


@pytest.fixture
def model():
    return Tiny()


def config(**extra):
    return {"name": "AdamW", "lr": 1e-3, "weight_decay": 0.01, "adamw": ADAMW, **extra}


def group_lrs(optimizer):
    return {group["name"]: group["lr"] for group in optimizer.param_groups}


def test_plain_group_holds_every_parameter_including_frozen(model, capsys):
    model.embed.weight.requires_grad_(False)
    optimizer = fennimar(model, config())
    assert type(optimizer) is torch.optim.AdamW
    assert len(optimizer.param_groups) == 1
    group = optimizer.param_groups[0]
    assert group["name"] == "model" and group["lr"] == 1e-3
    assert group["params"] == list(model.parameters())
    assert group["weight_decay"] == 0.01 and group["eps"] == 1e-9
    assert capsys.readouterr().out.splitlines() == [
        *HEADER, "├── Layer-wise Decay: Disabled", *ADAMW_BLOCK]


def test_pattern_groups_first_match_wins_and_layer_decay(model, capsys):
    model.head.bias.requires_grad_(False)
    groups = [
        {"name": "decayed", "patterns": ["layers", "scale"], "lr": 1e-3,
         "layer_decay": {"enabled": True, "decay_rate": 0.9}},
        {"name": "weights", "patterns": ["weight"], "lr": 5e-4},
    ]
    optimizer = fennimar(model, config(param_groups=groups))
    assert group_lrs(optimizer) == pytest.approx({
        "scale": 1e-3,                # no dot: undecayed
        "layers.0.weight": 8.1e-4,    # two dots, also matches "weight": first group wins
        "layers.0.bias": 8.1e-4,
        "embed.weight": 5e-4,
        "head.weight": 5e-4,
    }, rel=1e-12)
    assert [g["name"] for g in optimizer.param_groups] == [
        "scale", "layers.0.weight", "layers.0.bias", "embed.weight", "head.weight"]
    assert all(len(g["params"]) == 1 for g in optimizer.param_groups)
    # The frozen head.bias is in no group, and nothing is left for the default group.
    assert capsys.readouterr().out.splitlines() == [
        *HEADER,
        "├── Parameter Groups:",
        "│   ├── Group: decayed",
        "│   │   ├── LR: 0.001",
        "│   │   └── Patterns: ['layers', 'scale']",
        "│   ├── Group: weights",
        "│   │   ├── LR: 0.0005",
        "│   │   └── Patterns: ['weight']",
        *ADAMW_BLOCK,
    ]


def test_default_group_collects_unmatched_at_base_lr(model, capsys):
    groups = [{"name": "head", "patterns": ["head"], "lr": 0.01},
              {"name": "nothing", "patterns": ["absent"]}]
    optimizer = fennimar(model, config(param_groups=groups))
    assert group_lrs(optimizer) == {
        "head.weight": 0.01, "head.bias": 0.01,
        "scale": 1e-3, "embed.weight": 1e-3, "layers.0.weight": 1e-3, "layers.0.bias": 1e-3}
    lines = capsys.readouterr().out.splitlines()
    assert lines[-6:-4] == ["│   │   └── Patterns: ['absent']",
                            "│   └── Default Group (unmatched parameters)"]
    assert "│   │   ├── LR: 0.001" in lines  # group without lr takes the base rate


@pytest.mark.parametrize("frozen, samples, more", [
    ([], ["scale: 0.001000", "embed.weight: 0.000500", "layers.0.weight: 0.000250"],
     ["│   └── ... (3 more layers)"]),
    (["head.weight"], ["scale: 0.001000", "embed.weight: 0.000500",
                       "layers.0.weight: 0.000250"], ["│   └── ... (2 more layers)"]),
    (["embed.weight", "layers.0.weight", "layers.0.bias"],
     ["scale: 0.001000", "head.weight: 0.000500", "head.bias: 0.000500"], []),
])
def test_top_level_layer_decay(model, capsys, frozen, samples, more):
    for name, param in model.named_parameters():
        param.requires_grad_(name not in frozen)
    optimizer = fennimar(model, config(layer_decay={"enabled": True, "decay_rate": 0.5}))
    expected = {f"model.{name}": 1e-3 * {0: 1.0, 1: 0.5, 2: 0.25}[name.count(".")]
                for name, param in model.named_parameters() if name not in frozen}
    assert group_lrs(optimizer) == pytest.approx(expected, rel=1e-12)
    assert capsys.readouterr().out.splitlines() == [
        *HEADER,
        "├── Layer-wise Decay: Enabled",
        "│   └── Decay Rate: 0.5",
        "├── Layer Learning Rates (sample):",
        *[f"│   ├── {line}" for line in samples],
        *more,
        *ADAMW_BLOCK,
    ]


@pytest.mark.parametrize("name, cls, section, block, settings", [
    ("SGD", torch.optim.SGD, {"sgd": {"momentum": 0.9, "nesterov": True, "dampening": 0}},
     ["└── SGD Specific:", "    ├── Momentum: 0.9", "    ├── Nesterov: True",
      "    └── Dampening: 0"],
     {"momentum": 0.9, "nesterov": True, "dampening": 0}),
    ("adam", torch.optim.Adam, {"adam": {"betas": (0.8, 0.9), "eps": 1e-6, "amsgrad": True}},
     ["└── Adam Specific:", "    ├── Betas: (0.8, 0.9)", "    ├── Epsilon: 1e-06",
      "    └── AMSGrad: True"],
     {"betas": (0.8, 0.9), "eps": 1e-6, "amsgrad": True}),
    ("aDaMw", torch.optim.AdamW, {"adamw": ADAMW}, ADAMW_BLOCK, {"eps": 1e-9}),
])
def test_optimizer_kinds(model, capsys, name, cls, section, block, settings):
    optimizer = fennimar(model, {"name": name, "lr": 0.1, "weight_decay": 0.0, **section})
    assert type(optimizer) is cls
    group = optimizer.param_groups[0]
    assert group["lr"] == 0.1 and group["weight_decay"] == 0.0
    assert {key: group[key] for key in settings} == settings
    lines = capsys.readouterr().out.splitlines()
    assert lines[2] == f"├── Type: {name.upper()}"
    assert lines[-4:] == block


def test_unknown_optimizer_after_report(model, capsys):
    with pytest.raises(ValueError, match="^Unsupported optimizer: rmsprop$"):
        fennimar(model, {"name": "RMSprop", "lr": 1e-3, "weight_decay": 0.0})
    assert capsys.readouterr().out.splitlines()[-1] == "├── Layer-wise Decay: Disabled"


@pytest.mark.parametrize("opt_config, key, printed", [
    ({"name": "sgd", "lr": 1e-3, "weight_decay": 0.0}, "sgd", 7),
    # The weight decay is read where its line is printed, after the lines before it.
    ({"name": "adam", "lr": 1e-3}, "weight_decay", 4),
    ({"name": "adam", "lr": 1e-3, "weight_decay": 0.0, "layer_decay": {"enabled": True}},
     "decay_rate", 5),
])
def test_missing_required_keys(model, capsys, opt_config, key, printed):
    with pytest.raises(KeyError, match=key):
        fennimar(model, opt_config)
    lines = capsys.readouterr().out.splitlines()
    assert lines[:4] == ["", "🔧 Configuring Optimizer:", f"├── Type: {opt_config['name'].upper()}",
                         "├── Base LR: 0.001"]
    assert len(lines) == printed


@pytest.mark.parametrize("args, message", [
    (("model", config()), "model must be a torch.nn.Module, got str"),
    ((nn.Linear(2, 2), [("name", "adam")]), "opt_config must be a mapping, got list"),
])
def test_argument_types(args, message):
    with pytest.raises(TypeError, match=message):
        fennimar(*args)

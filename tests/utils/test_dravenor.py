import copy

import matplotlib.pyplot as plt
import pytest
import torch
from torch import nn
from torch.optim.lr_scheduler import (
    CosineAnnealingLR,
    CosineAnnealingWarmRestarts,
    LinearLR,
    ReduceLROnPlateau,
    SequentialLR,
)
from torch.utils.data import DataLoader, TensorDataset

from quorlin.utils import create_scheduler
from quorlin.utils.dravenor import _epochs_to_steps, create_warmup_scheduler, plot_lr_schedule

HEADER = ["", "📈 Configuring Learning Rate Scheduler:"]


def loader(batches):
    return DataLoader(TensorDataset(torch.zeros(batches, 2)), batch_size=1)


@pytest.fixture
def optimizer():
    return torch.optim.SGD(nn.Linear(2, 2).parameters(), lr=0.1)


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def report(capsys):
    return capsys.readouterr().out.splitlines()


def trainer_updates(batches, accumulation):
    """The optimizer updates of one epoch as the trainers make them: after every
    ``accumulation``-th batch, and once more for a last incomplete group."""
    updates = sum((i + 1) % accumulation == 0 for i in range(batches))
    return updates + (batches % accumulation != 0)


@pytest.mark.parametrize("epochs, batches, accumulation", [(3, 100, 1), (3.0, 100, 4), (2, 10, 4), (1, 5, 7),
                                                           (0, 100, 1)])
def test_epochs_to_steps_counts_updates(epochs, batches, accumulation):
    assert _epochs_to_steps(epochs, loader(batches), accumulation) == int(epochs) * trainer_updates(
        batches, accumulation)


def test_schedule_lasts_the_epochs_written_with_accumulation(optimizer, capsys):
    """2 warm-up epochs then a 3-epoch cosine, stepped after each update of 10 batches in groups
    of 4: the warm-up ends at the full rate after 2 epochs, the cosine at eta_min after 3 more."""
    config = {"name": "cosine", "warmup": {"enabled": True, "epochs": 2, "start_factor": 0.1},
              "cosine": {"T_max": 3, "eta_min": 1e-5}}
    scheduler = create_scheduler(optimizer, config, loader(10), gradient_accumulation_steps=4)
    assert report(capsys)[-5:-3] == ["│   └── Min LR: 1e-05", "├── Warmup Settings:"]
    rates = []
    for epoch in range(5):
        for _ in range(trainer_updates(10, 4)):
            optimizer.step()
            scheduler.step()
        rates.append(optimizer.param_groups[0]["lr"])
    assert rates[1] == pytest.approx(0.1) and rates[0] < 0.1
    assert rates[4] == pytest.approx(1e-5, abs=1e-12) and rates[3] > 1e-3


@pytest.mark.parametrize("call, name", [
    (lambda opt: _epochs_to_steps("three", loader(10)), "epochs"),
    (lambda opt: _epochs_to_steps(3, loader(10), "4"), "gradient_accumulation_steps"),
    (lambda opt: plot_lr_schedule(CosineAnnealingLR(opt, T_max=5), "10", loader(5)), "num_epochs"),
])
def test_non_number_counts_are_refused(optimizer, call, name):
    with pytest.raises(TypeError, match=f"^{name} must be a number"):
        call(optimizer)


def test_cosine_without_warmup(optimizer, capsys):
    config = {"name": "cosine", "cosine": {"T_max": 60}}
    scheduler = create_scheduler(optimizer, config, loader(100))
    assert type(scheduler) is CosineAnnealingLR
    assert (scheduler.T_max, scheduler.eta_min, scheduler.last_epoch) == (6000, 1e-4, 0)
    assert report(capsys) == [
        *HEADER,
        "├── Type: COSINE",
        "├── Cosine Annealing Settings:",
        "│   ├── T_max: 60 epochs (6000 steps)",
        "│   └── Min LR: 0.0001",
        "└── Warmup: Disabled",
    ]


def test_cosine_warm_with_warmup_ramps_linearly(optimizer, capsys):
    config = {"name": "COSINE_WARM", "warmup": {"enabled": True, "epochs": 5},
              "cosine_warm": {"T_0": 2, "T_mult": 1, "eta_min": 1e-3}}
    scheduler = create_scheduler(optimizer, config, loader(100))
    assert type(scheduler) is SequentialLR
    warmup, base = scheduler._schedulers
    assert type(warmup) is LinearLR and type(base) is CosineAnnealingWarmRestarts
    assert (warmup.total_iters, scheduler._milestones, base.T_0, base.T_mult) == (500, [500], 200, 1)
    assert report(capsys) == [
        *HEADER,
        "├── Type: COSINE_WARM",
        "├── Cosine Annealing Warm Restarts Settings:",
        "│   ├── T_0: 2 epochs (200 steps)",
        "│   ├── T_mult: 1",
        "│   └── Min LR: 0.001",
        "├── Warmup Settings:",
        "│   ├── Duration: 5 epochs (500 steps)",
        "│   ├── Start Factor: 0.1",
        "│   └── End Factor: 1.0",
    ]
    lrs = []
    for _ in range(502):
        lrs.append(optimizer.param_groups[0]["lr"])
        optimizer.step()
        scheduler.step()
    ramp = [0.1 * (0.1 + 0.9 * step / 500) for step in range(500)]
    assert lrs[:500] == pytest.approx(ramp, rel=1e-9)
    # Then the restart schedule from its own start: the full rate, then a cosine step down.
    assert lrs[500] == pytest.approx(0.1)
    assert lrs[501] == pytest.approx(1e-3 + (0.1 - 1e-3) * (1 + torch.cos(torch.tensor(torch.pi / 200)).item()) / 2)


def test_accumulation_counts_steps_in_updates(optimizer, capsys):
    config = {"name": "cosine", "warmup": {"enabled": True, "epochs": 5, "start_factor": 0.5},
              "cosine": {"T_max": 3, "eta_min": 0.0}}
    scheduler = create_scheduler(optimizer, config, loader(100), gradient_accumulation_steps=4)
    warmup, base = scheduler._schedulers
    assert (warmup.total_iters, scheduler._milestones, base.T_max) == (125, [125], 75)
    assert warmup.start_factor == 0.5 and warmup.end_factor == 1.0
    assert report(capsys)[-6:] == [
        "│   ├── T_max: 3 epochs (75 steps)",
        "│   └── Min LR: 0.0",
        "├── Warmup Settings:",
        "│   ├── Duration: 5 epochs (125 steps)",
        "│   ├── Start Factor: 0.5",
        "│   └── End Factor: 1.0",
    ]


@pytest.mark.parametrize("epochs, steps", [(0.5, 50), (1.5, 150), (0.126, 13)])
def test_fractional_warmup_lasts_the_printed_steps(optimizer, capsys, epochs, steps):
    config = {"name": "cosine", "warmup": {"enabled": True, "epochs": epochs},
              "cosine": {"T_max": 4, "eta_min": 0.0}}
    scheduler = create_scheduler(optimizer, config, loader(100))
    assert f"│   ├── Duration: {epochs} epochs ({steps} steps)" in report(capsys)
    warmup, _ = scheduler._schedulers
    assert (warmup.total_iters, scheduler._milestones) == (steps, [steps])
    lrs = []
    for _ in range(steps + 1):
        lrs.append(optimizer.param_groups[0]["lr"])
        optimizer.step()
        scheduler.step()
    assert lrs[steps - 1] < 0.1 and lrs[steps] == pytest.approx(0.1)


@pytest.mark.parametrize("settings, lines", [
    ({}, ["│   ├── Mode: min", "│   ├── Factor: 0.1", "│   ├── Patience: 10 epochs",
          "│   ├── Threshold: 0.0001", "│   ├── Threshold Mode: rel",
          "│   ├── Cooldown: 0 epochs", "│   └── Min LR: 1e-05"]),
    ({"mode": "max", "factor": 0.5, "patience": 2, "threshold": 0.01, "threshold_mode": "abs",
      "cooldown": 1, "min_lr": 0.0, "eps": 1e-6},
     ["│   ├── Mode: max", "│   ├── Factor: 0.5", "│   ├── Patience: 2 epochs",
      "│   ├── Threshold: 0.01", "│   ├── Threshold Mode: abs",
      "│   ├── Cooldown: 1 epochs", "│   └── Min LR: 0.0"]),
])
def test_reduce_lr_settings(optimizer, capsys, settings, lines):
    config = {"name": "Reduce_LR", "reduce_lr": settings, "warmup": {"enabled": False}}
    scheduler = create_scheduler(optimizer, config, loader(7))
    assert type(scheduler) is ReduceLROnPlateau
    expected = {"mode": "min", "factor": 0.1, "patience": 10, "threshold": 1e-4,
                "threshold_mode": "rel", "cooldown": 0, "eps": 1e-8, **settings}
    min_lr = expected.pop("min_lr", 1e-5)
    assert {key: getattr(scheduler, key) for key in expected} == expected
    assert scheduler.min_lrs == [min_lr]
    assert report(capsys) == [*HEADER, "├── Type: REDUCE_LR", "├── ReduceLROnPlateau Settings:", *lines]


def test_reduce_lr_refuses_warmup(optimizer, capsys):
    config = {"name": "reduce_lr", "reduce_lr": {}, "warmup": {"enabled": True}}
    message = ("ReduceLROnPlateau scheduler cannot be combined with warmup. Please either disable "
               "warmup or use a different scheduler (cosine, cosine_warm).")
    with pytest.raises(ValueError) as error:
        create_scheduler(optimizer, config, loader(7))
    assert str(error.value) == message
    assert report(capsys) == [*HEADER, "├── Type: REDUCE_LR"]


def test_unknown_scheduler(optimizer, capsys):
    with pytest.raises(ValueError) as error:
        create_scheduler(optimizer, {"name": "Step"}, loader(7))
    assert str(error.value) == "Unsupported scheduler: step. Supported: ['reduce_lr', 'cosine', 'cosine_warm']"
    assert report(capsys) == [*HEADER, "├── Type: STEP"]


@pytest.mark.parametrize("config, kwargs, error, message", [
    ({"name": "cosine"}, {}, KeyError, "cosine"),
    ({"cosine": {}}, {}, KeyError, "name"),
    (type("Config", (dict,), {})(name="cosine", cosine={}), {}, TypeError,
     "^scheduler_config must be of type dict, got Config$"),
    ({"name": "cosine", "cosine": {}}, {"gradient_accumulation_steps": "2"}, TypeError,
     "^gradient_accumulation_steps must be a number, got '2'$"),
    ({"name": "cosine", "cosine": {}}, {"gradient_accumulation_steps": 0}, ValueError,
     "^gradient_accumulation_steps must be an integer >= 1, got 0$"),
])
def test_create_scheduler_argument_errors(optimizer, config, kwargs, error, message):
    with pytest.raises(error, match=message):
        create_scheduler(optimizer, config, loader(7), **kwargs)


def test_create_warmup_scheduler_defaults(optimizer):
    base = CosineAnnealingLR(optimizer, T_max=10)
    scheduler = create_warmup_scheduler(optimizer, base, {}, loader(3))
    warmup = scheduler._schedulers[0]
    assert (warmup.start_factor, warmup.end_factor, warmup.total_iters) == (0.1, 1.0, 15)
    assert scheduler._milestones == [15]
    assert optimizer.param_groups[0]["lr"] == pytest.approx(0.01)
    with pytest.raises(TypeError, match="^warmup_config must be of type dict, got list$"):
        create_warmup_scheduler(optimizer, base, [], loader(3))


def snapshot(model, optimizer, scheduler):
    state = vars(scheduler) if isinstance(scheduler, ReduceLROnPlateau) else scheduler.state_dict()
    return {
        "params": [p.detach().clone() for p in model.parameters()],
        "grads": [p.grad.clone() for p in model.parameters()],
        "optimizer": copy.deepcopy(optimizer.state_dict()),
        "scheduler": copy.deepcopy({k: v for k, v in state.items() if k != "optimizer"}),
    }


def trained_model_and_adamw(groups):
    """A model after one real update and a fresh backward pass, so gradients and Adam
    moments are present when the schedule is plotted."""
    model = nn.Sequential(*[nn.Linear(2, 2, bias=False) for _ in range(groups)])
    optimizer = torch.optim.AdamW(
        [{"params": layer.parameters(), "lr": 0.01 * (i + 1)} for i, layer in enumerate(model)],
        weight_decay=0.1,
    )
    for _ in range(2):
        optimizer.zero_grad()
        model(torch.randn(4, 2)).sum().backward()
        if _ == 0:
            optimizer.step()
    return model, optimizer


@pytest.mark.parametrize("kind", ["cosine_warmup", "reduce_lr"])
def test_plot_lr_schedule_leaves_everything_untouched(kind, capsys, assert_same):
    model, optimizer = trained_model_and_adamw(groups=3)
    if kind == "reduce_lr":
        scheduler = ReduceLROnPlateau(optimizer, factor=0.5, patience=1)
    else:
        scheduler = create_scheduler(optimizer, {"name": "cosine", "cosine": {"T_max": 2},
                                                 "warmup": {"enabled": True, "epochs": 1}}, loader(4))
        for _ in range(3):
            optimizer.step()
            scheduler.step()
    before = snapshot(model, optimizer, scheduler)
    capsys.readouterr()
    plot_lr_schedule(scheduler, 6, loader(4))
    assert capsys.readouterr().out == ""
    assert_same(snapshot(model, optimizer, scheduler), before)
    assert scheduler.optimizer is optimizer
    lines = plt.gcf().axes[0].get_lines()
    assert [line.get_label() for line in lines] == ["Group 0", "Group 1", "Group 2"]
    assert [line.get_linestyle() for line in lines] == ["-", "--", "-."]
    assert [line.get_color() for line in lines] == ["#1f77b4", "#ff7f0e", "#2ca02c"]
    for line in lines:
        x = line.get_xdata()
        assert len(x) == 24 and x[0] == 0 and x[-1] == 6
    assert plt.gcf().axes[1].get_xlim() == (0, 24)
    assert plt.gcf().axes[1].get_xlabel() == "Steps"
    # Every group starts from the rate it had when the plot was asked for.
    assert [line.get_ydata()[0] for line in lines] == [g["lr"] for g in optimizer.param_groups]


def test_plot_lr_schedule_values_of_a_warmup_ramp():
    model, optimizer = trained_model_and_adamw(groups=1)
    scheduler = create_warmup_scheduler(optimizer, CosineAnnealingLR(optimizer, T_max=4),
                                        {"epochs": 2, "start_factor": 0.5}, loader(2))
    plot_lr_schedule(scheduler, 2, loader(2))
    (line,) = plt.gcf().axes[0].get_lines()
    assert list(line.get_ydata()) == pytest.approx([0.005, 0.00625, 0.0075, 0.00875])


@pytest.mark.parametrize("batches, accumulation", [(5, 2), (4, 4)])
def test_plot_lr_schedule_steps_once_per_update(batches, accumulation):
    """A warm-up over the 2 epochs plotted: linear from half the rate, one point per update."""
    model, optimizer = trained_model_and_adamw(groups=1)
    scheduler = create_warmup_scheduler(optimizer, CosineAnnealingLR(optimizer, T_max=4),
                                        {"epochs": 2, "start_factor": 0.5}, loader(batches), accumulation)
    plot_lr_schedule(scheduler, 2, loader(batches), gradient_accumulation_steps=accumulation)
    (line,) = plt.gcf().axes[0].get_lines()
    steps = 2 * trainer_updates(batches, accumulation)
    assert list(line.get_ydata()) == pytest.approx([0.01 * (0.5 + 0.5 * i / steps) for i in range(steps)])
    assert line.get_xdata()[-1] == 2 and plt.gcf().axes[1].get_xlim() == (0, steps)


def test_plot_lr_schedule_limits_groups(capsys):
    model, optimizer = trained_model_and_adamw(groups=7)
    scheduler = CosineAnnealingLR(optimizer, T_max=5)
    plot_lr_schedule(scheduler, 1, loader(5), max_groups=5)
    assert capsys.readouterr().out == (
        "Warning: Only showing 5 out of 7 parameter groups for clarity\n")
    lines = plt.gcf().axes[0].get_lines()
    assert [line.get_label() for line in lines] == [f"Group {i}" for i in range(5)]
    assert lines[4].get_linestyle() == "-" and lines[4].get_color() == "#9467bd"

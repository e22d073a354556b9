"""What a recipe may hold: every section and key, its type and range, its default and its
meaning. The one place that knows each key: checks, defaults, ``quorlin recipe show`` and
the reference (docs/recipe-reference.md) all come from ``RECIPE``.

A recipe needs only what only its user knows: where the data comes from and what the runs
are called. ``resolve_recipe`` checks a recipe along the table, fills in every default,
applies the rules that tie keys together (``RULES``: the heads divide the model's width, the
stages' layers exist, ...) and reports every problem at once, one line each:
"<file>: <key path> <what is wrong>, got <value>". A command checks only the keys it uses
(``COMMAND_KEYS``): ``prepare`` never asks for model sizes.

The files of a run folder are checked with the same tables, so that a folder from someone
else is held to the ranges its recipe was: ``check_run_config`` checks its configuration
(the trainer's section of the recipe) and ``check_recognizer_settings`` a recogniser's
settings (``RECOGNIZER_SETTINGS``, whose search follows the ``evaluate`` ranges). No default
is filled in there: training writes the configuration resolved, and one written before keys
had defaults is read as it stands, its absent keys taking the trainers' own defaults.
"""
import copy
import os
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import torch

from quorlin._reading import excerpt
from quorlin.errors import RecipeError, RunFolderError
from quorlin.layout import CONFIG_FILE, EXPERIMENTS_FOLDER, SET_PARTITIONS
from quorlin.prep.text import TEXT_SETTINGS
from quorlin.recipe_rules import (NONE, REQUIRED, Boolean, Choice, Derived, Either, Integer, Key, ListOf, MapOf,
                                  Null, Number, Problem, Resolution, Rule, RunName, Section, Subset, Text, fail,
                                  join, key_name, within)

POSITIVE = Number(0, open_low=True)
NON_NEGATIVE = Number(0)
WEIGHT = Number(0, 1)
RATE = Number(0, 1, open_high=True)  # dropout, label smoothing
COUNT = Integer(1)
NON_NEGATIVE_INT = Integer(0)
FLAG = Boolean()
PATH = Text()
SET_NAME = Text(r"[A-Za-z0-9][A-Za-z0-9_.-]*")


def _one_or_list(rule: Rule) -> Either:
    return Either(rule, ListOf(rule, nonempty=True))


def _data_root(kind: str) -> Derived:
    def compute(section, resolution: Resolution) -> str:
        name = os.path.splitext(os.path.basename(resolution.path))[0]
        return f"data/{name}/{kind}"

    return Derived(compute, f"data/<the recipe's file name without extension>/{kind}")


def _all_epochs(section, resolution: Resolution) -> int:
    return section["epochs"] + sum(stage["epochs"] for stage in section.get("stages", []))


def _autocast(section, resolution: Resolution) -> str:
    device = torch.device(resolution.device)
    if device.type != "cuda":
        return "float32"
    return "bfloat16" if torch.cuda.is_bf16_supported() else "float16"


def _ctc_trained(resolution: Resolution) -> bool:
    # The recogniser's CTC head is trained only with a CTC weight above 0.
    return resolution.recipe["asr"]["loss"]["ctc_weight"] > 0


# Where the audio and text come from. A dev or test source is a path (the set SET_PARTITIONS[split])
# or a mapping of set names to paths.
SOURCES = Either(PATH, MapOf(SET_NAME, PATH, "set name"))
SOURCE = ("a LibriSpeech-style folder, a Kaldi-style folder (wav.scp and text) or a manifest (\"audio<TAB>text\" or "
          "\"id<TAB>audio<TAB>text\" lines, or JSON lines)")
TEXT = TEXT_SETTINGS
PREPARE = Section({
    "train": Key(PATH, REQUIRED, f"The training set: {SOURCE}. Prepared as the set \"{SET_PARTITIONS['train']}\"."),
    "dev": Key(SOURCES, REQUIRED, f"The dev sets: one source (the set \"{SET_PARTITIONS['dev']}\") or a mapping of "
                                  "set names to sources. The first validates training; evaluation chooses its search "
                                  "setting on it."),
    "test": Key(SOURCES, REQUIRED, f"The test sets: one source (the set \"{SET_PARTITIONS['test']}\") or a mapping "
                                   "of set names to sources, scored with the setting chosen on the first dev set."),
    "lm_text": Key(ListOf(PATH), NONE, "Text files the language model learns from, one sentence a line (\".gz\" is "
                                       "read through gzip). None: the training transcripts."),
    "speed_perturb": Key(ListOf(Number(0.5, 2.0)), [0.9, 1.1], "Beside every training recording, a copy played at "
                                                               "each of these speeds (the pitch moves with the "
                                                               "tempo). [] for none."),
    "text": Key(TEXT, {}, "How the transcripts are normalised."),
})

TOKENIZER = Section({
    "kind": Key(Choice("char", "bpe", "unigram"), "char", "One token per character, or SentencePiece subwords."),
    "vocab_size": Key(Integer(4, open_low=True),
                      Derived(lambda section, _: 500 if section["kind"] in ("bpe", "unigram") else NONE,
                              "500 for bpe and unigram; none for char"),
                      "Token ids, the four special ones included. For char, none keeps every character seen and a "
                      "number the most frequent ones."),
})

ADAM = Section({
    "betas": Key(ListOf(RATE, length=2), [0.9, 0.98], "The decay rates of the moment estimates.", stored=True),
    "eps": Key(POSITIVE, 1.0e-8, "Added to the denominator.", stored=True),
    "amsgrad": Key(FLAG, False, "The AMSGrad variant.", stored=True),
})
LAYER_DECAY = Section({
    "enabled": Key(FLAG, False, "Learning rates that shrink layer by layer towards the input."),
    "decay_rate": Key(POSITIVE, 0.9, "The factor between one layer's learning rate and the next's.", stored=True),
}, when=[("enabled", (True,), "decay_rate")])
OPTIMIZERS = ("sgd", "adam", "adamw")
OPTIMIZER = Section({
    "name": Key(Choice(*OPTIMIZERS, any_case=True), "adamw", "The optimizer.", stored=True),
    "lr": Key(POSITIVE, 1.0e-3, "The learning rate (the peak, after warm-up).", stored=True),
    "weight_decay": Key(NON_NEGATIVE, 0.01, "Weight decay.", stored=True),
    "param_groups": Key(ListOf(Section({
        "name": Key(Text(), REQUIRED, "The group's name in reports."),
        "patterns": Key(ListOf(Text(), nonempty=True), REQUIRED, "Parts of parameter names that put them in the "
                                                                 "group."),
        "lr": Key(POSITIVE, NONE, "The group's learning rate. None: optimizer.lr."),
        "layer_decay": Key(LAYER_DECAY, NONE, "The group's layer-wise decay. None: none."),
    })), [], "Parameter groups with learning rates of their own."),
    "layer_decay": Key(LAYER_DECAY, {}, "Layer-wise learning-rate decay over the whole model."),
    "sgd": Key(Section({
        "momentum": Key(NON_NEGATIVE, 0.9, "Momentum.", stored=True),
        "nesterov": Key(FLAG, False, "Nesterov momentum.", stored=True),
        "dampening": Key(NON_NEGATIVE, 0.0, "Dampening of the momentum.", stored=True),
    }), {}, "The settings of sgd (when optimizer.name is sgd).", stored=True),
    "adam": Key(ADAM, {}, "The settings of adam (when optimizer.name is adam).", stored=True),
    "adamw": Key(ADAM, {}, "The settings of adamw (when optimizer.name is adamw).", stored=True),
}, when=[("name", (name,), name) for name in OPTIMIZERS])

SCHEDULERS = ("reduce_lr", "cosine", "cosine_warm")
SCHEDULER = Section({
    "name": Key(Choice(*SCHEDULERS, any_case=True), "cosine", "The learning-rate schedule: cosine decay, cosine "
                                                              "with restarts, or a cut when the dev metric stalls.",
                stored=True),
    "reduce_lr": Key(Section({
        "mode": Key(Choice("min", "max"), "min", "Whether the dev metric should fall or rise."),
        "factor": Key(Number(0, 1, open_low=True, open_high=True), 0.1, "The factor of each cut."),
        "patience": Key(NON_NEGATIVE_INT, 10, "Epochs without improvement before a cut."),
        "threshold": Key(NON_NEGATIVE, 1.0e-4, "The least change that counts as improvement."),
        "threshold_mode": Key(Choice("rel", "abs"), "rel", "Whether threshold is relative or absolute."),
        "cooldown": Key(NON_NEGATIVE_INT, 0, "Epochs after a cut before counting again."),
        "min_lr": Key(NON_NEGATIVE, 1.0e-5, "The lowest learning rate."),
        "eps": Key(NON_NEGATIVE, 1.0e-8, "Smaller changes of the learning rate are not made."),
    }), {}, "The settings of reduce_lr (when scheduler.name is reduce_lr)."),
    "cosine": Key(Section({
        "T_max": Key(COUNT, Derived(_all_epochs, "every epoch of the run, the stages' included"),
                     "Epochs from the peak to the lowest learning rate."),
        "eta_min": Key(NON_NEGATIVE, 1.0e-5, "The lowest learning rate."),
    }), {}, "The settings of cosine (when scheduler.name is cosine)."),
    "cosine_warm": Key(Section({
        "T_0": Key(COUNT, 10, "Epochs of the first cycle."),
        "T_mult": Key(COUNT, 2, "How many times longer each cycle is than the one before."),
        "eta_min": Key(NON_NEGATIVE, 1.0e-5, "The lowest learning rate."),
    }), {}, "The settings of cosine_warm (when scheduler.name is cosine_warm)."),
    "warmup": Key(Section({
        "enabled": Key(FLAG, Derived(lambda section, _: section["scheduler"]["name"].lower() != "reduce_lr",
                                     "true, except with reduce_lr"),
                       "A linear warm-up before the schedule."),
        "epochs": Key(NON_NEGATIVE, 1, "Epochs of warm-up (a fraction is rounded to whole updates)."),
        "start_factor": Key(Number(0, 1, open_low=True), 0.05, "The first learning rate, as a fraction of lr."),
        "end_factor": Key(WEIGHT, 1.0, "The last learning rate of the warm-up, as a fraction of lr."),
    }), {}, "The warm-up."),
}, when=[("name", (name,), name) for name in SCHEDULERS])


def _training(**extra: Key) -> Section:
    return Section({
        "gradient_accumulation_steps": Key(COUNT, 1, "Batches per optimizer update.", stored=True),
        "autocast_dtype": Key(Choice("float16", "bfloat16", "float32"),
                              Derived(_autocast, "float32 on a CPU; on a GPU bfloat16 where it has it, else float16"),
                              "The precision of training forward passes (float16 with loss scaling)."),
        "keep_last": Key(NON_NEGATIVE_INT, 0, "Keep the checkpoints of this many last epochs, for averaging."),
        "process_group_timeout": Key(POSITIVE, 1800, "Seconds a process waits for the others under torchrun."),
        "use_wandb": Key(FLAG, False, "Log the run to Weights & Biases."),
        "wandb_project": Key(Text(), "quorlin", "The Weights & Biases project."),
        "wandb_run_id": Key(Either(Text(), Null()), None, "The Weights & Biases run to resume; null for a new one."),
        **extra,
    })


def _data(kind: str, **extra: Key) -> Section:
    return Section({
        "root": Key(PATH, _data_root(kind), "Where prepare writes this model's data and training reads it."),
        **extra,
        "num_workers": Key(NON_NEGATIVE_INT, 0, "Data-loader worker processes."),
        "subset_size": Key(Subset(), NONE, "Load only part of each partition: a fraction in (0, 1] or a number "
                                           "of files. None: all."),
        "subset": Key(Subset(), NONE, "The same as subset_size (which wins)."),
    }, exclusive=[("subset_size", "subset")])


NORM = Choice("global_mvn", "cepstral", "none")
RUN_NAME = RunName(EXPERIMENTS_FOLDER)


def _transformer(d_model: int, num_heads: int, d_ff: int, dropout: float, max_len: int) -> Dict[str, Key]:
    return {
        "d_model": Key(COUNT, d_model, "The model's width.", stored=True),
        "num_heads": Key(COUNT, num_heads, "Attention heads; they divide d_model.", stored=True),
        "d_ff": Key(COUNT, d_ff, "The width of the feed-forward layers.", stored=True),
        "dropout": Key(RATE, dropout, "Dropout rate.", stored=True),
        "max_len": Key(COUNT, max_len, "The most positions: tokens, and for a recogniser encoder frames after "
                                       "the front end; longer utterances are left out.", stored=True),
    }


def _trainer(kind: str, epochs: int, model: Section, data: Section, training: Section, **extra: Key) -> Section:
    """An ``lm`` or ``asr`` section: the run, the model's keywords and the trainer's configuration."""
    return Section({
        "run_name": Key(RUN_NAME, REQUIRED, f"The run's folder: {EXPERIMENTS_FOLDER}/<run_name>."),
        "epochs": Key(COUNT, epochs, "Epochs of training (after the stages, when there are any).", stored=True),
        "model": Key(model, {}, "The model.", stored=True),
        "data": Key(data, {}, "The prepared data.", stored=True),
        "training": Key(training, {}, "The training loop.", stored=True),
        **extra,
        "optimizer": Key(OPTIMIZER, {}, "The optimizer.", stored=True),
        "scheduler": Key(SCHEDULER, {}, "The learning-rate schedule.", stored=True),
    }, label="the configuration")


LM = _trainer(
    "lm", 10,
    model=Section({"num_layers": Key(COUNT, 3, "Decoder layers.", stored=True),
                   **_transformer(d_model=192, num_heads=4, d_ff=768, dropout=0.1, max_len=512)}),
    data=_data("lm", batch_size=Key(COUNT, 64, "Texts per batch.")),
    training=_training(label_smoothing=Key(RATE, 0.0, "Label smoothing of the cross-entropy.")),
)

SPECAUG = Section({
    "apply_freq_mask": Key(FLAG, True, "Mask bands of filter-bank bins.", stored=True),
    "freq_mask_width_range": Key(NON_NEGATIVE_INT, 27, "The widest band, in bins.", stored=True),
    "num_freq_mask": Key(NON_NEGATIVE_INT, 2, "Bands per utterance.", stored=True),
    "apply_time_mask": Key(FLAG, True, "Mask stretches of frames.", stored=True),
    "time_mask_width_range": Key(NON_NEGATIVE_INT, 40, "The longest stretch, in frames.", stored=True),
    "num_time_mask": Key(NON_NEGATIVE_INT, 2, "Stretches per utterance.", stored=True),
})
NOISE = Section({
    "prob": Key(WEIGHT, 0.0, "The share of training utterances mixed with coloured noise or with babble of other "
                             "training utterances. 0: none."),
    "snr": Key(ListOf(Number(), length=2), [0, 30], "The lowest and highest signal-to-noise ratio in dB; each "
                                                    "mixture draws one between them."),
    "alone": Key(WEIGHT, 0.0, "The share of the mixtures that also get a stretch of the noise alone before or after "
                              "the speech (coloured, or a crowd of three to six talkers). 0: none."),
})
STAGE = Section({
    "name": Key(Text(), REQUIRED, "The stage's name in reports."),
    "epochs": Key(COUNT, REQUIRED, "Epochs of the stage."),
    "encoder_active_layers": Key(ListOf(NON_NEGATIVE_INT), REQUIRED, "The encoder layers the stage runs."),
    "decoder_active_layers": Key(ListOf(NON_NEGATIVE_INT), REQUIRED, "The decoder layers the stage runs."),
    "encoder_freeze": Key(ListOf(FLAG), NONE, "One flag per active encoder layer: frozen or trained. None: all "
                                              "trained."),
    "decoder_freeze": Key(ListOf(FLAG), NONE, "One flag per active decoder layer. None: all trained."),
    "dropout": Key(RATE, REQUIRED, "The stage's dropout rate."),
    "label_smoothing": Key(RATE, REQUIRED, "The stage's label smoothing."),
    "data_subset": Key(Number(0, 1, open_low=True), REQUIRED, "The random share of the training set it trains on."),
})
ASR = _trainer(
    "asr", 30,
    model=Section({
        "input_dim": Key(COUNT, Derived(lambda section, _: section["data"]["num_feats"], "asr.data.num_feats"),
                         "Filter-bank bins the model reads; equal to data.num_feats.", stored=True),
        "time_reduction": Key(COUNT, 4, "How many times the front end shortens the time axis.", stored=True),
        "reduction_method": Key(Choice("conv", "lstm", "both"), "conv", "The front end: strided convolutions, "
                                                                        "BLSTMs with pooling, or both.", stored=True),
        "num_encoder_layers": Key(COUNT, 4, "Encoder layers.", stored=True),
        "num_decoder_layers": Key(COUNT, 2, "Decoder layers.", stored=True),
        **_transformer(d_model=96, num_heads=4, d_ff=384, dropout=0.1, max_len=512),
        "encoder_type": Key(Choice("transformer", "conformer"), "conformer", "The encoder's layers."),
        "conv_kernel_size": Key(Integer(3, odd=True), 15, "The Conformer's convolution width, in frames."),
    }),
    data=_data(
        "asr",
        num_feats=Key(COUNT, 80, "Log-mel filter-bank bins (25 ms windows every 10 ms).", stored=True),
        # Any other value would silently leave the features unnormalised.
        norm=Key(NORM, "global_mvn", "Feature normalisation: by the training set's statistics, per utterance, or "
                                     "none.", stored=True),
        batch_size=Key(COUNT, 16, "Utterances per batch."),
        group_by_length=Key(NON_NEGATIVE_INT, 50, "Batches of similar length, drawn from sorted pools of this many "
                                                  "batches: less padding. 0: random batches."),
        max_duration=Key(POSITIVE, NONE, "Seconds; longer training utterances are left out. None: all kept."),
        storage=Key(Choice("memory", "stream"), "memory", "Features held in memory, or read from disk as batches "
                                                          "are drawn: for corpora bigger than memory."),
        specaug=Key(FLAG, True, "SpecAugment: random frequency and time masks on training batches.", stored=True),
        specaug_conf=Key(SPECAUG, {}, "SpecAugment's masks; read only when specaug is on.", stored=True),
        noise=Key(NOISE, {}, "Noise mixed into training utterances (docs/training.md)."),
        join_prob=Key(WEIGHT, 0.0, "The share of training utterances followed by another one, when the pair is no "
                                   "longer than the longest training utterance (docs/training.md). 0: none."),
    ),
    training=_training(),
    loss=Key(Section({
        "label_smoothing": Key(RATE, 0.1, "Label smoothing of the cross-entropy."),
        "ctc_weight": Key(WEIGHT, 0.3, "The CTC loss's weight beside the cross-entropy; above 0 the model gets "
                                       "the CTC head that joint search and word times use."),
    }), {}, "The training loss.", stored=True),
    stages=Key(ListOf(STAGE), [], "Curriculum stages before full training (see docs/training.md)."),
)


def _run_config(section: Section) -> Section:
    """A trainer section as a run folder keeps it (its configuration file). Its run name was the
    folder's name when it was trained; the folder may have been renamed since, or named under
    earlier rules, and loading it does not use the name: any text is accepted."""
    config = copy.copy(section)
    config.keys = {**section.keys, "run_name": Key(PATH, REQUIRED, section.keys["run_name"].doc)}
    return config


RUN_CONFIGS = {"lm": _run_config(LM), "asr": _run_config(ASR)}

# Wider beams cost memory in proportion and gain nothing measurable.
MAX_BEAM_WIDTH = 256
BEAM_WIDTH = Integer(1, MAX_BEAM_WIDTH)
EVALUATE = Section({
    "beam_width": Key(_one_or_list(BEAM_WIDTH),
                      Derived(lambda _, r: [10] if _ctc_trained(r) else [1, 10],
                              "[10]; [1, 10] for a recogniser trained without CTC"),
                      "Beam widths compared on dev (1 is greedy search)."),
    "ctc_weight": Key(_one_or_list(WEIGHT),
                      Derived(lambda _, r: [0.3, 0.5] if _ctc_trained(r) else [0.0],
                              "[0.3, 0.5]; [0.0] for a recogniser trained without CTC"),
                      "Weights of the CTC head's scores in joint search, compared on dev."),
    "lm_weight": Key(_one_or_list(NON_NEGATIVE), [0.0], "Language-model weights compared on dev (0: no LM)."),
    "max_length": Key(COUNT, NONE, "The longest transcript in tokens. None: as long as the audio allows."),
    "batch_size": Key(COUNT, 16, "Utterances recognised together."),
    "average_last": Key(COUNT, NONE, "Score the average of the last epochs' checkpoints (kept by "
                                     "asr.training.keep_last). None: the best epoch's, or the last epoch's when it scores "
                                     "lower on the dev set."),
})

RECIPE = Section({
    "seed": Key(NON_NEGATIVE_INT, 0, "Seeds every generator: one recipe on one machine gives byte-identical "
                                     "checkpoints."),
    "prepare": Key(PREPARE, {}, "Where the audio and text come from, and how the text is normalised."),
    "tokenizer": Key(TOKENIZER, {}, "The tokenizer both models share, built by prepare."),
    "lm": Key(LM, {}, "The language model's run."),
    "asr": Key(ASR, {}, "The recogniser's run."),
    "evaluate": Key(EVALUATE, {}, "The search settings compared on the first dev set."),
})

# The keys each command reads: it checks them, and no other.
COMMAND_KEYS = {
    "prepare": ["prepare", "tokenizer", "asr.data.root", "asr.data.num_feats", "lm.data.root"],
    # A training run names the other run too: no run may lie inside the other's folder.
    "train-lm": ["seed", "lm", "asr.run_name", "asr.data.root"],
    "train-asr": ["seed", "asr", "lm.run_name", "prepare.dev"],
    "evaluate": ["evaluate", "prepare.dev", "prepare.test", "lm.run_name", "asr.run_name", "asr.data.root",
                 "asr.loss.ctc_weight"],
}

# The deviations of global normalisation: training puts a floor of 1e-4 under each (the
# square root of the 1e-8 added to every variance); a smaller one is no training's.
MIN_STD = 5e-5
# A recogniser's settings file (``layout.RECOGNIZER_FILE``), which training writes and
# evaluation adds the chosen search to. Keys of no rule are left alone: later versions add some.
RECOGNIZER_SETTINGS = Section({
    "norm": Key(NORM, REQUIRED, ""),
    "max_length": Key(COUNT, NONE, ""),
    "global_mean": Key(ListOf(Number()), NONE, "", stored=True),
    "global_std": Key(ListOf(Number(MIN_STD)), NONE, "", stored=True),
    # The 0 %, 5 %, ..., 100 % quantiles of the training utterances' durations, in seconds.
    "train_durations": Key(ListOf(Number(0, 3600, open_low=True), length=21), NONE, ""),
    "search": Key(Section({"beam_width": Key(BEAM_WIDTH, NONE, ""), "ctc_weight": Key(WEIGHT, NONE, ""),
                           "lm_weight": Key(NON_NEGATIVE, NONE, ""), "chosen_on": Key(Text(), NONE, ""),
                           "checkpoint": Key(Text(r"[\w.-]+\.pth"), NONE, ""),
                           "checkpoint_sha256": Key(Text("[0-9a-f]{64}"), NONE, "")}, others=True), NONE, ""),
}, when=[("norm", ("global_mvn",), "global_mean"), ("norm", ("global_mvn",), "global_std")], others=True,
    label="the settings")


# The rules that tie keys together, given the resolved recipe (or, for a trainer's rules, its
# section and the section's key: "lm", "asr", or "" for a run folder's configuration file).

def _distinct_runs(recipe: Dict[str, Any]) -> None:
    if recipe["asr"]["run_name"] == recipe["lm"]["run_name"]:
        fail("asr.run_name", "must differ from lm.run_name", recipe["asr"]["run_name"])


def _distinct_roots(recipe: Dict[str, Any]) -> None:
    # The LM's partitions and the recogniser's sets would share folder names.
    lm, asr = (os.path.normpath(recipe[kind]["data"]["root"]) for kind in ("lm", "asr"))
    if lm == asr:
        fail("lm.data.root", "must differ from asr.data.root", recipe["lm"]["data"]["root"])


def _distinct_speeds(recipe: Dict[str, Any]) -> None:
    seen: List[float] = []
    for i, factor in enumerate(recipe["prepare"]["speed_perturb"]):
        if factor == 1:
            fail(f"prepare.speed_perturb[{i}]", "must not be 1.0: the utterances themselves are always kept", factor)
        if factor in seen:
            fail(f"prepare.speed_perturb[{i}]", "repeats an earlier factor", factor)
        seen.append(factor)


def _distinct_sets(recipe: Dict[str, Any]) -> None:
    owner: Dict[str, str] = {}
    for split in ("dev", "test"):
        sources = recipe["prepare"][split]
        for name in [SET_PARTITIONS[split]] if isinstance(sources, str) else sources:
            if name == SET_PARTITIONS["train"]:
                fail(f"prepare.{split} set name", "must not be that of the training set", name)
            if name in owner:
                fail(f"prepare.{split} set name", f"must differ from the set names of prepare.{owner[name]}", name)
            owner[name] = split


def _heads_divide_width(section: Dict[str, Any], key: str) -> None:
    model = section["model"]
    if model["d_model"] % model["num_heads"]:
        fail(join(key, "model.d_model"), f"must be divisible by {join(key, 'model.num_heads')} "
                                         f"({model['num_heads']})", model["d_model"])


def _features_fit_model(section: Dict[str, Any], key: str) -> None:
    # The datasets keep the first num_feats bins; the front end is built for input_dim of them.
    if section["model"]["input_dim"] != section["data"]["num_feats"]:
        fail(join(key, "model.input_dim"), f"must equal {join(key, 'data.num_feats')} "
                                           f"({section['data']['num_feats']!r})", section["model"]["input_dim"])


def _stages_fit_model(section: Dict[str, Any], key: str) -> None:
    stages = section.get("stages") or []
    if stages and "label_smoothing" not in section["loss"]:
        # Full training after the stages sets the loss back to it.
        raise Problem(join(key, "loss.label_smoothing"),
                      f"{join(key, 'loss.label_smoothing')} is missing: it must be {RATE.describe()} when "
                      f"{join(key, 'stages')} is not empty")
    for i, stage in enumerate(stages):
        for side in ("encoder", "decoder"):
            active, count = stage[f"{side}_active_layers"], section["model"][f"num_{side}_layers"]
            for j, index in enumerate(active):
                if index >= count:
                    fail(join(key, f"stages[{i}].{side}_active_layers[{j}]"),
                         f"must be a layer index below {join(key, f'model.num_{side}_layers')} ({count})", index)
            freeze = stage.get(f"{side}_freeze", [])
            if freeze and len(freeze) != len(active):
                fail(join(key, f"stages[{i}].{side}_freeze"),
                     f"must hold one flag per active {side} layer ({len(active)})", freeze)


def _noise_range(section: Dict[str, Any], key: str) -> None:
    # A run folder trained before noise existed has no such key.
    low, high = section["data"].get("noise", {}).get("snr", (0, 0))
    if low > high:
        fail(join(key, "data.noise.snr"), "must be [lowest, highest]", [low, high])


def _plateau_without_warmup(section: Dict[str, Any], key: str) -> None:
    scheduler = section["scheduler"]
    if scheduler["name"].lower() == "reduce_lr" and scheduler.get("warmup", {}).get("enabled", False):
        fail(join(key, "scheduler.warmup.enabled"), "must be false with the reduce_lr scheduler", True)


# Each rule with the keys of the section that it reads.
TRAINER_RULES: Dict[str, List[Tuple[Sequence[str], Callable[[Dict[str, Any], str], None]]]] = {
    "lm": [(["model"], _heads_divide_width), (["scheduler"], _plateau_without_warmup)],
    "asr": [(["model"], _heads_divide_width), (["model", "data"], _features_fit_model),
            (["stages", "model", "loss"], _stages_fit_model), (["scheduler"], _plateau_without_warmup),
            (["data"], _noise_range)],
}
# Each rule with the key paths it reads: it is applied when a command checks them all and
# none of them has a problem of its own.
RULES: List[Tuple[Sequence[str], Callable[[Dict[str, Any]], None]]] = [
    (["prepare.speed_perturb"], _distinct_speeds),
    (["prepare.dev", "prepare.test"], _distinct_sets),
    (["lm.run_name", "asr.run_name"], _distinct_runs),
    (["lm.data.root", "asr.data.root"], _distinct_roots),
] + [([f"{kind}.{key}" for key in keys], lambda recipe, kind=kind, rule=rule: rule(recipe[kind], kind))
     for kind, rules in TRAINER_RULES.items() for keys, rule in rules]


def resolve_recipe(recipe: Any, path: str, keys: Optional[Sequence[str]] = None, device: Optional[str] = None,
                   given: Sequence[str] = ()) -> Dict[str, Any]:
    """Checks a loaded recipe against ``RECIPE`` and ``RULES`` and fills in every default.

    Args:
        recipe: what ``yaml.safe_load`` made of the file, overrides applied.
        path: the file, named in messages; derived data roots are named after it.
        keys: the key paths to check and resolve (``COMMAND_KEYS``); None for all. Unknown
            top-level sections are refused whatever is checked.
        device: the device the recipe runs on ("cpu", "cuda", "cuda:N"), which some defaults
            follow; None is CUDA when available.
        given: key paths set on the command line: their problems say so instead of naming the file.

    Returns:
        the recipe, resolved: the keys checked, with every default.

    Raises:
        RecipeError: every problem, one line each: "<path>: <key path> <what is wrong>, got <value>".

    Example:
        >>> resolve_recipe({"prepare": {"train": "t"}}, "x.yaml")
        Traceback (most recent call last):
        quorlin.errors.RecipeError: x.yaml: prepare.dev is missing: it must be a non-empty string or ...
    """
    if not isinstance(recipe, dict):
        raise RecipeError(f"{path}: the recipe must be a mapping, got {excerpt(recipe)}")
    if device is None:
        device = "cuda" if torch.cuda.is_available() else "cpu"
    scope = list(RECIPE.keys) if keys is None else list(keys)
    known = ", ".join(sorted(RECIPE.keys))
    problems = [Problem(key_name(name), f"{key_name(name)} is not a known key; the recipe may hold: {known}")
                for name in recipe if name not in RECIPE.keys]
    resolution = Resolution(path, device)
    resolved = resolution.recipe
    for dotted in scope:
        problems += _resolve_path(RECIPE, recipe, dotted.split("."), "", resolved, resolution)
    resolution.fill_derived(resolved, tolerant=bool(problems))
    for paths, rule in RULES:
        covered = all(any(within(p, s) for s in scope) for p in paths)
        clean = not any(within(problem.key, p) or within(p, problem.key) for problem in problems for p in paths)
        if covered and clean:
            try:
                rule(resolved)
            except Problem as problem:
                problems.append(problem)
    if problems:
        origin = lambda key: "the command line" if any(within(key, g) for g in given) else path
        raise RecipeError(*(f"{origin(problem.key)}: {problem}" for problem in problems))
    return resolved


def _resolve_path(section: Section, value: Dict[str, Any], parts: List[str], key: str, out: Dict[str, Any],
                  resolution: Resolution) -> list:
    """Checks and resolves the key path ``parts`` below ``section`` (whose value is ``value``,
    at ``key``) into ``out``; returns its problems."""
    name, rest, path = parts[0], parts[1:], join(key, parts[0])
    if rest:
        child = value.get(name, {})
        if not isinstance(child, dict):
            return [Problem(path, f"{path} must be a mapping, got {excerpt(child)}")]
        return _resolve_path(section.keys[name].rule, child, rest, path, out.setdefault(name, {}), resolution)
    if name in value:
        problems = section.keys[name].rule.problems(value[name], path)
    else:
        problems = section.missing_problems(name, value, key, stored=False)
    section.resolve_key(name, value, key, out, resolution)
    return problems


def check_run_config(config: Any, kind: str, path: str) -> None:
    """Checks a run folder's configuration file as the recipe's ``lm`` or ``asr`` section
    (``kind``) was checked before it was trained; nothing is filled in.

    Raises:
        RunFolderError: at the first problem, as "<path>: <key path> <what is wrong>, got <value>".
    """
    problems = RUN_CONFIGS[kind].problems(config, "", stored=True)
    if not problems:
        try:
            for _, rule in TRAINER_RULES[kind]:
                rule(config, "")
        except Problem as problem:
            problems = [problem]
    if problems:
        raise RunFolderError(f"{path}: {problems[0]}")


def check_recognizer_settings(settings: Any, data: Dict[str, Any], path: str) -> None:
    """Checks a recogniser's settings against ``RECOGNIZER_SETTINGS`` and against the ``data``
    section of its checked configuration: the same normalisation, statistics of one number per
    filter-bank bin.

    Raises:
        RunFolderError: at the first problem, as "<path>: <key path> <what is wrong>, got <value>".
    """
    problems = RECOGNIZER_SETTINGS.problems(settings, "", stored=True)
    if not problems:
        try:
            _settings_fit_data(settings, data)
        except Problem as problem:
            problems = [problem]
    if problems:
        raise RunFolderError(f"{path}: {problems[0]}")


def _settings_fit_data(settings: Dict[str, Any], data: Dict[str, Any]) -> None:
    if settings["norm"] != data["norm"]:
        fail("norm", f"must be the data.norm of {CONFIG_FILE} ({data['norm']!r})", settings["norm"])
    for key in ("global_mean", "global_std"):
        if key in settings and len(settings[key]) != data["num_feats"]:
            raise Problem(key, f"{key} holds {len(settings[key])} numbers, but data.num_feats of {CONFIG_FILE} is "
                               f"{data['num_feats']}")
    durations = settings.get("train_durations", [])
    if any(b < a for a, b in zip(durations, durations[1:])):
        fail("train_durations", "must be quantiles: numbers that never decrease", durations)

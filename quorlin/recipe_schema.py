"""What a recipe may hold: every section, key, type and range, checked before anything runs.

``RECIPE`` is a table: each section maps its keys to the rule their values follow (an
integer >= 1, a number in [0, 1], one of a few names, a list of ..., a mapping of ...), the
keys that must be present wrapped in ``need``. ``check_recipe`` walks a recipe along the
table, then applies the few rules that tie keys together (``RULES`` across the recipe,
``TRAINER_RULES`` within the ``lm`` and ``asr`` sections: the heads divide the model's
width, the stages' layers exist, ...). The first problem found is reported as one line:
"<file>: <key path> <what is wrong>, got <value>", the value cut short.

The files of a run folder are checked with the same tables, so that a folder from
someone else is held to the ranges its recipe was: ``check_run_config`` checks its
configuration (the trainer's section of the recipe) and ``check_recognizer_settings`` a
recogniser's settings (``RECOGNIZER_SETTINGS``, whose search follows the ``evaluate`` ranges).
"""
import copy
import math
import re
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Type

from quorlin._reading import excerpt
from quorlin.layout import CONFIG_FILE, DEV_PARTITION, EXPERIMENTS_FOLDER, TEST_PARTITION, TRAIN_PARTITION
from quorlin.prep.text import CASES, NORMAL_FORMS


class _Problem(Exception):
    """A problem with one key; the message names the key, not the file."""


def _fail(key: str, what: str, value: Any) -> None:
    raise _Problem(f"{key} {what}, got {excerpt(value)}")


def _join(key: str, name: Any) -> str:
    return f"{key}.{name}" if key else str(name)


def _key_name(name: Any) -> str:
    """A key as messages show it: as written when it is short printable text."""
    return name if isinstance(name, str) and name.isprintable() and len(name) <= 80 else excerpt(name)


def _is_int(value: Any) -> bool:
    # YAML's true and false are bools, and bools are ints to Python: not numbers in a recipe.
    return isinstance(value, int) and not isinstance(value, bool)


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _finite(number) -> bool:
    try:
        return math.isfinite(number)
    except OverflowError:  # an integer beyond every float
        return False


# Text that Python reads as a number but YAML does not: an exponent needs a point in the
# mantissa and a sign ("1.0e-3", "1.0e+5"), else the value is a string.
_EXPONENT_TEXT = re.compile(r"([-+]?\d+)(\.\d*)?[eE]([-+]?)(\d+)")


def _yaml_hint(value: Any) -> str:
    match = isinstance(value, str) and _EXPONENT_TEXT.fullmatch(value.strip())
    if not match:
        return ""
    mantissa, fraction, sign, exponent = match.groups()
    return f" (YAML reads {value} as text: write {mantissa}{fraction or '.0'}e{sign or '+'}{exponent})"


class Rule:
    """What one key may hold."""

    def describe(self, plural: bool = False) -> str:
        """The values accepted, as "an integer >= 1" (or "integers >= 1")."""
        raise NotImplementedError

    def matches(self, value: Any) -> bool:
        """Whether ``value`` has the type of this rule (its range aside)."""
        raise NotImplementedError

    def check(self, value: Any, key: str) -> None:
        """Raises ``_Problem`` naming ``key`` unless ``value`` is accepted."""
        raise NotImplementedError


class _Bounded(Rule):
    """A number or an integer within optional bounds."""

    def __init__(self, low=None, high=None, open_low: bool = False, open_high: bool = False):
        self.low, self.high, self.open_low, self.open_high = low, high, open_low, open_high

    def _range(self) -> str:
        if self.high is not None:
            return f" in {'(' if self.open_low else '['}{self.low}, {self.high}{')' if self.open_high else ']'}"
        if self.low is not None:
            return f" {'>' if self.open_low else '>='} {self.low}"
        return ""

    def _within(self, value) -> bool:
        if self.low is not None and (value <= self.low if self.open_low else value < self.low):
            return False
        return self.high is None or (value < self.high if self.open_high else value <= self.high)


class Number(_Bounded):
    """A finite integer or float (not a bool)."""

    def describe(self, plural=False):
        return ("numbers" if plural else "a number") + self._range()

    def matches(self, value):
        return _is_number(value)

    def check(self, value, key):
        if not (_is_number(value) and _finite(value) and self._within(value)):
            _fail(key, f"must be {self.describe()}{_yaml_hint(value)}", value)


class Integer(_Bounded):
    """An integer (not a bool, not a float), odd when ``odd``."""

    def __init__(self, low=None, high=None, open_low=False, open_high=False, odd: bool = False):
        super().__init__(low, high, open_low, open_high)
        self.odd = odd

    def describe(self, plural=False):
        noun = "integers" if plural else "an integer"
        if self.odd:
            noun = "odd integers" if plural else "an odd integer"
        return noun + self._range()

    def matches(self, value):
        return _is_int(value)

    def check(self, value, key):
        if not (_is_int(value) and self._within(value) and (value % 2 == 1 or not self.odd)):
            _fail(key, f"must be {self.describe()}", value)


class Boolean(Rule):
    def describe(self, plural=False):
        return "true or false values" if plural else "true or false"

    def matches(self, value):
        return isinstance(value, bool)

    def check(self, value, key):
        if not isinstance(value, bool):
            _fail(key, f"must be {self.describe()}", value)


class Null(Rule):
    def describe(self, plural=False):
        return "null"

    def matches(self, value):
        return value is None

    def check(self, value, key):
        if value is not None:
            _fail(key, "must be null", value)


class Text(Rule):
    """A non-empty string, matching ``pattern`` when given."""

    def __init__(self, pattern: Optional[str] = None):
        self.pattern = pattern

    def describe(self, plural=False):
        if self.pattern:
            return ("strings" if plural else "a string") + f" matching {self.pattern}"
        return "non-empty strings" if plural else "a non-empty string"

    def matches(self, value):
        return isinstance(value, str)

    def check(self, value, key):
        if not isinstance(value, str) or not value or (self.pattern and not re.fullmatch(self.pattern, value)):
            _fail(key, f"must be {self.describe()}", value)


class RunName(Text):
    """A run folder in the experiments folder: one plain folder name, so that no run lies
    inside another (which replacing the outer one would delete)."""

    def describe(self, plural=False):
        what = "folder names" if plural else "a folder name"
        return f"{what} in '{EXPERIMENTS_FOLDER}': printable characters, no '/', not starting with '.'"

    def check(self, value, key):
        if not (isinstance(value, str) and value and value.isprintable() and "/" not in value
                and not value.startswith(".") and len(value.encode("utf-8", "surrogatepass")) <= 255):
            _fail(key, f"must be {self.describe()}", value)


class Choice(Rule):
    """One of a few strings; with ``any_case``, in any mix of upper and lower case."""

    def __init__(self, *values: str, any_case: bool = False):
        self.values, self.any_case = values, any_case

    def describe(self, plural=False):
        return f"one of {', '.join(map(repr, self.values))}" + (" (any case)" if self.any_case else "")

    def matches(self, value):
        return isinstance(value, str)

    def check(self, value, key):
        if not isinstance(value, str) or (value.lower() if self.any_case else value) not in self.values:
            _fail(key, f"must be {self.describe()}", value)


class Subset(Rule):
    """The part of a partition to load: a fraction of its files in (0, 1], a number of files
    above 1, or all of them for a value <= 0."""

    def describe(self, plural=False):
        return "a fraction in (0, 1], a whole number of files above 1, or <= 0 for all files"

    def matches(self, value):
        return _is_number(value)

    def check(self, value, key):
        if not (_is_number(value) and _finite(value)) or (value > 1 and value != int(value)):
            _fail(key, f"must be {self.describe()}", value)


class ListOf(Rule):
    """A list of ``item``; non-empty when ``nonempty``, of exactly ``length`` items when given."""

    def __init__(self, item: Rule, nonempty: bool = False, length: Optional[int] = None):
        self.item, self.nonempty, self.length = item, nonempty, length

    def describe(self, plural=False):
        size = f"{self.length} " if self.length else ""
        lead = "lists" if plural else "a list"
        if self.nonempty:
            lead = "non-empty lists" if plural else "a non-empty list"
        return f"{lead} of {size}{self.item.describe(plural=True)}"

    def matches(self, value):
        return isinstance(value, list)

    def check(self, value, key):
        if not isinstance(value, list) or (self.nonempty and not value) or \
                (self.length is not None and len(value) != self.length):
            _fail(key, f"must be {self.describe()}", value)
        for i, item in enumerate(value):
            self.item.check(item, f"{key}[{i}]")


class MapOf(Rule):
    """A non-empty mapping of names (``keys``, called ``key_label`` in messages) to ``values``."""

    def __init__(self, keys: Rule, values: Rule, key_label: str):
        self.keys, self.values, self.key_label = keys, values, key_label

    def describe(self, plural=False):
        lead = "non-empty mappings" if plural else "a non-empty mapping"
        return f"{lead} of {self.key_label}s to {self.values.describe(plural=True)}"

    def matches(self, value):
        return isinstance(value, dict)

    def check(self, value, key):
        if not isinstance(value, dict) or not value:
            _fail(key, f"must be {self.describe()}", value)
        for name, item in value.items():
            self.keys.check(name, f"{key} {self.key_label}")
            self.values.check(item, _join(key, name))


class Either(Rule):
    """The first alternative whose type the value has decides; a value of none of their
    types is refused with all of them named."""

    def __init__(self, *alternatives: Rule):
        self.alternatives = alternatives

    def describe(self, plural=False):
        return " or ".join(alternative.describe(plural) for alternative in self.alternatives)

    def matches(self, value):
        return any(alternative.matches(value) for alternative in self.alternatives)

    def check(self, value, key):
        for alternative in self.alternatives:
            if alternative.matches(value):
                alternative.check(value, key)
                return
        _fail(key, f"must be {self.describe()}", value)


class _Need:
    """A key that must be present."""

    def __init__(self, rule: Rule):
        self.rule = rule


def need(rule: Rule) -> _Need:
    return _Need(rule)


class Section(Rule):
    """A mapping of known keys.

    Args:
        keys: each key's rule, wrapped in ``need`` when the key must be present.
        needs: (key, values, needed): ``needed`` must be present when ``key`` holds one of
            ``values`` (strings compared in lower case).
        exclusive: pairs of keys that cannot be given together.
        others: keys of no rule are let through, unchecked, instead of refused (files that
            later versions add keys to).
        label: what messages call the mapping when it is checked on its own, not as a key.
    """

    def __init__(self, keys: Dict[str, Any], needs: Sequence[Tuple[str, tuple, str]] = (),
                 exclusive: Sequence[Tuple[str, str]] = (), others: bool = False, label: str = "the recipe"):
        self.keys = {name: rule.rule if isinstance(rule, _Need) else rule for name, rule in keys.items()}
        self.required = [name for name, rule in keys.items() if isinstance(rule, _Need)]
        self.needs, self.exclusive, self.others, self.label = needs, exclusive, others, label

    def describe(self, plural=False):
        return "mappings" if plural else "a mapping"

    def matches(self, value):
        return isinstance(value, dict)

    def check(self, value, key):
        label = key or self.label
        if not isinstance(value, dict):
            _fail(label, f"must be {self.describe()}", value)
        for name, item in value.items():
            if name in self.keys:
                self.keys[name].check(item, _join(key, name))
            elif not self.others:
                known = ", ".join(sorted(self.keys))
                raise _Problem(f"{_join(key, _key_name(name))} is not a known key; {label} may hold: {known}")
        for name in self.required:
            if name not in value:
                _missing(_join(key, name), self.keys[name])
        for field, values, name in self.needs:
            chosen = value.get(field)
            if (chosen.lower() if isinstance(chosen, str) else chosen) in values and name not in value:
                _missing(_join(key, name), self.keys[name], f" when {_join(key, field)} is {chosen!r}")
        for first, second in self.exclusive:
            if first in value and second in value:
                _fail(_join(key, second), f"cannot be given with {_join(key, first)}", value[second])


def _missing(key: str, rule: Rule, condition: str = "") -> None:
    raise _Problem(f"{key} is missing: it must be {rule.describe()}{condition}")


POSITIVE = Number(0, open_low=True)
NON_NEGATIVE = Number(0)
WEIGHT = Number(0, 1)
RATE = Number(0, 1, open_high=True)  # dropout, label smoothing
COUNT = Integer(1)
NON_NEGATIVE_INT = Integer(0)
FLAG = Boolean()
PATH = Text()


def _one_or_list(rule: Rule) -> Either:
    return Either(rule, ListOf(rule, nonempty=True))


# Where the audio and text come from. A dev or test source is a path (the partition
# DEV_PARTITION or TEST_PARTITION), or a mapping of set names to paths.
SOURCES = Either(PATH, MapOf(Text(r"[A-Za-z0-9][A-Za-z0-9_.-]*"), PATH, "set name"))
PREPARE = Section({
    "train": need(PATH),
    "dev": need(SOURCES),
    "test": need(SOURCES),
    "lm_text": ListOf(PATH),
    "speed_perturb": ListOf(Number(0.5, 2.0)),
    "text": Section({
        "normalization": Choice(*NORMAL_FORMS),
        "case": Choice(*CASES),
        "remove_punctuation": FLAG,
        "alphabet": Text(),
    }),
})

TOKENIZER = Section({"kind": Choice("char", "bpe", "unigram"), "vocab_size": Integer(4, open_low=True)},
                    needs=[("kind", ("bpe", "unigram"), "vocab_size")])

ADAM = Section({"betas": need(ListOf(RATE, length=2)), "eps": need(POSITIVE), "amsgrad": need(FLAG)})
LAYER_DECAY = Section({"enabled": FLAG, "decay_rate": POSITIVE}, needs=[("enabled", (True,), "decay_rate")])
OPTIMIZERS = ("sgd", "adam", "adamw")
OPTIMIZER = Section({
    "name": need(Choice(*OPTIMIZERS, any_case=True)),
    "lr": need(POSITIVE),
    "weight_decay": need(NON_NEGATIVE),
    "param_groups": ListOf(Section({"name": need(Text()), "patterns": need(ListOf(Text(), nonempty=True)),
                                    "lr": POSITIVE, "layer_decay": LAYER_DECAY})),
    "layer_decay": LAYER_DECAY,
    "sgd": Section({"momentum": need(NON_NEGATIVE), "nesterov": need(FLAG), "dampening": need(NON_NEGATIVE)}),
    "adam": ADAM,
    "adamw": ADAM,
}, needs=[("name", (name,), name) for name in OPTIMIZERS])

SCHEDULERS = ("reduce_lr", "cosine", "cosine_warm")
SCHEDULER = Section({
    "name": need(Choice(*SCHEDULERS, any_case=True)),
    "reduce_lr": Section({
        "mode": Choice("min", "max"), "factor": Number(0, 1, open_low=True, open_high=True),
        "patience": NON_NEGATIVE_INT, "threshold": NON_NEGATIVE, "threshold_mode": Choice("rel", "abs"),
        "cooldown": NON_NEGATIVE_INT, "min_lr": NON_NEGATIVE, "eps": NON_NEGATIVE,
    }),
    "cosine": Section({"T_max": COUNT, "eta_min": NON_NEGATIVE}),
    "cosine_warm": Section({"T_0": COUNT, "T_mult": COUNT, "eta_min": NON_NEGATIVE}),
    "warmup": Section({"enabled": FLAG, "epochs": NON_NEGATIVE, "start_factor": Number(0, 1, open_low=True),
                       "end_factor": WEIGHT}),
}, needs=[("name", (name,), name) for name in SCHEDULERS])

TRAINING = {
    "gradient_accumulation_steps": need(COUNT),
    "autocast_dtype": Choice("float16", "bfloat16", "float32"),
    "keep_last": NON_NEGATIVE_INT,
    "process_group_timeout": POSITIVE,
    "use_wandb": FLAG,
    "wandb_project": Text(),
    "wandb_run_id": Either(Text(), Null()),
}
DATA = {"root": need(PATH), "batch_size": COUNT, "num_workers": NON_NEGATIVE_INT, "subset_size": Subset(),
        "subset": Subset()}
SUBSET_KEYS = [("subset_size", "subset")]
NORM = Choice("global_mvn", "cepstral", "none")
TRANSFORMER = {"d_model": need(COUNT), "num_heads": need(COUNT), "d_ff": need(COUNT), "dropout": need(RATE),
               "max_len": need(COUNT)}


def _trainer(model: Section, data: Section, training: Section, **extra: Any) -> Section:
    """An ``lm`` or ``asr`` section: the run, the model's keywords and the trainer's configuration."""
    return Section({"run_name": need(RunName()), "epochs": need(COUNT), "model": need(model), "data": need(data),
                    "training": need(training), "optimizer": need(OPTIMIZER), "scheduler": need(SCHEDULER), **extra},
                   label="the configuration")


LM = _trainer(
    model=Section({"num_layers": need(COUNT), **TRANSFORMER}),
    data=Section(DATA, exclusive=SUBSET_KEYS),
    training=Section({**TRAINING, "label_smoothing": RATE}),
)

SPECAUG = Section({
    "apply_freq_mask": need(FLAG), "freq_mask_width_range": need(NON_NEGATIVE_INT),
    "num_freq_mask": need(NON_NEGATIVE_INT),
    "apply_time_mask": need(FLAG), "time_mask_width_range": need(NON_NEGATIVE_INT),
    "num_time_mask": need(NON_NEGATIVE_INT),
})
STAGE = Section({
    "name": need(Text()),
    "epochs": need(COUNT),
    "encoder_active_layers": need(ListOf(NON_NEGATIVE_INT)),
    "decoder_active_layers": need(ListOf(NON_NEGATIVE_INT)),
    "encoder_freeze": ListOf(FLAG),
    "decoder_freeze": ListOf(FLAG),
    "dropout": need(RATE),
    "label_smoothing": need(RATE),
    "data_subset": need(Number(0, 1, open_low=True)),
})
ASR = _trainer(
    model=Section({
        "input_dim": need(COUNT), "time_reduction": need(COUNT),
        "reduction_method": need(Choice("conv", "lstm", "both")),
        "num_encoder_layers": need(COUNT), "num_decoder_layers": need(COUNT), **TRANSFORMER,
        "encoder_type": Choice("transformer", "conformer"), "conv_kernel_size": Integer(3, odd=True),
    }),
    data=Section({
        **DATA,
        "num_feats": need(COUNT),
        # Any other value would silently leave the features unnormalised.
        "norm": need(NORM),
        "group_by_length": COUNT,
        "max_duration": POSITIVE,
        # Features held in memory, or read from disk as batches are drawn (the default: memory).
        "storage": Choice("memory", "stream"),
        "specaug": need(FLAG),
        "specaug_conf": need(SPECAUG),
    }, exclusive=SUBSET_KEYS),
    training=Section(TRAINING),
    loss=need(Section({"label_smoothing": RATE, "ctc_weight": WEIGHT})),
    stages=ListOf(STAGE),
)

def _run_config(section: Section) -> Section:
    """A trainer section as a run folder keeps it (its configuration file). Its run name was the
    folder's name when it was trained; the folder may have been renamed since, or named under
    earlier rules, and loading it does not use the name: any text is accepted."""
    config = copy.copy(section)
    config.keys = {**section.keys, "run_name": PATH}
    return config


RUN_CONFIGS = {"lm": _run_config(LM), "asr": _run_config(ASR)}

# Wider beams cost memory in proportion and gain nothing measurable.
MAX_BEAM_WIDTH = 256
BEAM_WIDTH = Integer(1, MAX_BEAM_WIDTH)
EVALUATE = Section({
    "beam_width": _one_or_list(BEAM_WIDTH),
    "ctc_weight": _one_or_list(WEIGHT),
    "lm_weight": _one_or_list(NON_NEGATIVE),
    "max_length": COUNT,
    "batch_size": COUNT,
    "average_last": COUNT,
})

RECIPE = Section({
    "prepare": need(PREPARE),
    "tokenizer": TOKENIZER,
    "lm": need(LM),
    "asr": need(ASR),
    "evaluate": EVALUATE,
    "seed": NON_NEGATIVE_INT,
})

# The deviations of global normalisation: training puts a floor of 1e-4 under each (the
# square root of the 1e-8 added to every variance); a smaller one is no training's.
MIN_STD = 5e-5
# A recogniser's settings file (``layout.RECOGNIZER_FILE``), which training writes and
# evaluation adds the chosen search to. Keys of no rule are left alone: later versions add some.
RECOGNIZER_SETTINGS = Section({
    "norm": need(NORM),
    "max_length": COUNT,
    "global_mean": ListOf(Number()),
    "global_std": ListOf(Number(MIN_STD)),
    # The 0 %, 5 %, ..., 100 % quantiles of the training utterances' durations, in seconds.
    "train_durations": ListOf(Number(0, 3600, open_low=True), length=21),
    "search": Section({"beam_width": BEAM_WIDTH, "ctc_weight": WEIGHT, "lm_weight": NON_NEGATIVE,
                       "chosen_on": Text(), "checkpoint": Text(r"[\w.-]+\.pth"),
                       "checkpoint_sha256": Text("[0-9a-f]{64}")}, others=True),
}, needs=[("norm", ("global_mvn",), "global_mean"), ("norm", ("global_mvn",), "global_std")], others=True,
    label="the settings")


def _distinct_runs(recipe: Dict[str, Any]) -> None:
    if recipe["asr"]["run_name"] == recipe["lm"]["run_name"]:
        _fail("asr.run_name", "must differ from lm.run_name", recipe["asr"]["run_name"])


# The rules within one trainer section, given the section and its key ("lm", "asr"; "" for
# a run folder's configuration file).

def _heads_divide_width(section: Dict[str, Any], key: str) -> None:
    model = section["model"]
    if model["d_model"] % model["num_heads"]:
        _fail(_join(key, "model.d_model"), f"must be divisible by {_join(key, 'model.num_heads')} "
              f"({model['num_heads']})", model["d_model"])


def _features_fit_model(section: Dict[str, Any], key: str) -> None:
    # The datasets keep the first num_feats bins; the front end is built for input_dim of them.
    if section["model"]["input_dim"] != section["data"]["num_feats"]:
        _fail(_join(key, "model.input_dim"), f"must equal {_join(key, 'data.num_feats')} "
              f"({excerpt(section['data']['num_feats'])})", section["model"]["input_dim"])


def _stages_fit_model(section: Dict[str, Any], key: str) -> None:
    stages = section.get("stages") or []
    if stages and "label_smoothing" not in section["loss"]:
        # Full training after the stages sets the loss back to it.
        _missing(_join(key, "loss.label_smoothing"), RATE, f" when {_join(key, 'stages')} is not empty")
    for i, stage in enumerate(stages):
        for side in ("encoder", "decoder"):
            active, count = stage[f"{side}_active_layers"], section["model"][f"num_{side}_layers"]
            for j, index in enumerate(active):
                if index >= count:
                    _fail(_join(key, f"stages[{i}].{side}_active_layers[{j}]"),
                          f"must be a layer index below {_join(key, f'model.num_{side}_layers')} ({count})", index)
            freeze = stage.get(f"{side}_freeze", [])
            if freeze and len(freeze) != len(active):
                _fail(_join(key, f"stages[{i}].{side}_freeze"),
                      f"must hold one flag per active {side} layer ({len(active)})", freeze)


def _plateau_without_warmup(section: Dict[str, Any], key: str) -> None:
    scheduler = section["scheduler"]
    if scheduler["name"].lower() == "reduce_lr" and scheduler.get("warmup", {}).get("enabled", False):
        _fail(_join(key, "scheduler.warmup.enabled"), "must be false with the reduce_lr scheduler", True)


def _distinct_speeds(recipe: Dict[str, Any]) -> None:
    seen: List[float] = []
    for i, factor in enumerate(recipe["prepare"].get("speed_perturb", [])):
        if factor == 1:
            _fail(f"prepare.speed_perturb[{i}]", "must not be 1.0: the utterances themselves are always kept", factor)
        if factor in seen:
            _fail(f"prepare.speed_perturb[{i}]", "repeats an earlier factor", factor)
        seen.append(factor)


def _distinct_sets(recipe: Dict[str, Any]) -> None:
    owner: Dict[str, str] = {}
    for split, partition in (("dev", DEV_PARTITION), ("test", TEST_PARTITION)):
        sources = recipe["prepare"][split]
        for name in [partition] if isinstance(sources, str) else sources:
            if name == TRAIN_PARTITION:
                _fail(f"prepare.{split} set name", "must not be that of the training partition", name)
            if name in owner:
                _fail(f"prepare.{split} set name", f"must differ from the set names of prepare.{owner[name]}", name)
            owner[name] = split


# The checks that tie keys together, applied once every key has its type and range.
RULES: List[Callable[[Dict[str, Any]], None]] = [_distinct_speeds, _distinct_sets, _distinct_runs]
TRAINER_RULES: Dict[str, List[Callable[[Dict[str, Any], str], None]]] = {
    "lm": [_heads_divide_width, _plateau_without_warmup],
    "asr": [_heads_divide_width, _features_fit_model, _stages_fit_model, _plateau_without_warmup],
}


def check_recipe(recipe: Any, path: str) -> None:
    """Checks a loaded recipe against ``RECIPE`` and ``RULES``.

    Args:
        recipe: what ``yaml.safe_load`` made of the file.
        path: the file, named in the message.

    Raises:
        RecipeError: at the first problem, as "<path>: <key path> <what is wrong>, got <value>".

    Example:
        >>> check_recipe({"prepare": {}}, "x.yaml")
        Traceback (most recent call last):
        quorlin.recipe.RecipeError: x.yaml: prepare.train is missing: it must be a non-empty string
    """
    from quorlin.recipe import RecipeError

    def check():
        RECIPE.check(recipe, "")
        for rule in RULES:
            rule(recipe)
        for kind, rules in TRAINER_RULES.items():
            for rule in rules:
                rule(recipe[kind], kind)

    _checked(check, path, RecipeError)


def check_run_config(config: Any, kind: str, path: str) -> None:
    """Checks a run folder's configuration file as the recipe's ``lm`` or ``asr`` section
    (``kind``) was checked before it was trained.

    Raises:
        RunFolderError: at the first problem, as "<path>: <key path> <what is wrong>, got <value>".
    """
    from quorlin.run_folder import RunFolderError

    def check():
        RUN_CONFIGS[kind].check(config, "")
        for rule in TRAINER_RULES[kind]:
            rule(config, "")

    _checked(check, path, RunFolderError)


def check_recognizer_settings(settings: Any, data: Dict[str, Any], path: str) -> None:
    """Checks a recogniser's settings against ``RECOGNIZER_SETTINGS`` and against the ``data``
    section of its checked configuration: the same normalisation, statistics of one number per
    filter-bank bin.

    Raises:
        RunFolderError: at the first problem, as "<path>: <key path> <what is wrong>, got <value>".
    """
    from quorlin.run_folder import RunFolderError

    def check():
        RECOGNIZER_SETTINGS.check(settings, "")
        if settings["norm"] != data["norm"]:
            _fail("norm", f"must be the data.norm of {CONFIG_FILE} ({data['norm']!r})", settings["norm"])
        for key in ("global_mean", "global_std"):
            if key in settings and len(settings[key]) != data["num_feats"]:
                raise _Problem(f"{key} holds {len(settings[key])} numbers, but data.num_feats of {CONFIG_FILE} is "
                               f"{data['num_feats']}")
        durations = settings.get("train_durations", [])
        if any(b < a for a, b in zip(durations, durations[1:])):
            _fail("train_durations", "must be quantiles: numbers that never decrease", durations)

    _checked(check, path, RunFolderError)


def _checked(check: Callable[[], None], path: str, error: Type[Exception]) -> None:
    try:
        check()
    except _Problem as problem:
        raise error(f"{path}: {problem}") from None

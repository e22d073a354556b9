"""Recipes: one YAML file that configures data preparation, the LM run and the recogniser run.

A recipe has the sections ``prepare`` (where the audio and text come from, and how the text
is normalised), ``tokenizer`` (``VaskTokenizer.from_texts`` arguments), ``lm`` and ``asr``
(each a trainer configuration with ``data``/``training``/``loss``/``optimizer``/``scheduler``,
plus ``run_name``, ``epochs`` and the model's keyword arguments under ``model``), ``evaluate``
(the search settings compared on the dev set) and ``seed``. Only the data sources and the run
names must be given: every other key has a default (``quorlin.recipe_schema``, and
docs/recipe-reference.md). ``load_recipe`` applies the overrides of the command line, checks
every key and fills in the defaults before anything runs. Relative paths are relative to
the current folder, as the run folders are.
"""
import contextlib
import copy
import os
import re
import tempfile
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Sequence, Set, Tuple

import yaml

from quorlin._reading import load_yaml, parse_yaml
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.errors import RecipeError
from quorlin.layout import EXPERIMENTS_FOLDER, SET_PARTITIONS, TOKENIZER_FILE
from quorlin.recipe_rules import EXPONENT_TEXT
from quorlin.recipe_schema import resolve_recipe

_KEY_PATH = re.compile(r"[A-Za-z0-9_]+(\.[A-Za-z0-9_]+)*")


def load_recipe(path: str, overrides: Sequence[str] = (), keys: Optional[Sequence[str]] = None,
                device: Optional[str] = None) -> Dict[str, Any]:
    """Reads a recipe, applies ``overrides``, checks it and fills in every default.

    Args:
        path: the YAML file.
        overrides: "key.path=value" settings that replace the file's (the value is read as
            YAML; a number such as 1e-3 is a number).
        keys: the key paths to check, as a command uses them (``recipe_schema.COMMAND_KEYS``);
            None checks and resolves the whole recipe.
        device: the device the recipe will run on, which the default precision follows;
            None is CUDA when available.

    Raises:
        RecipeError: every problem at once, one line each.

    Example:
        >>> recipe = load_recipe("recipes/demo.yaml", ["asr.epochs=2"])
        >>> recipe["asr"]["epochs"], recipe["asr"]["model"]["encoder_type"]
        (2, 'conformer')
    """
    recipe, given = with_overrides(load_yaml(path, RecipeError), overrides)
    return resolve_recipe(recipe, path, keys, device, sorted(given))


def with_overrides(recipe: Any, overrides: Sequence[str]) -> Tuple[Any, Set[str]]:
    """A copy of ``recipe`` with every "key.path=value" of ``overrides`` set, and the key paths set.

    Raises:
        RecipeError: an override that is not "key.path=value", whose value is not YAML, or
            that sets a key inside a value that is not a mapping.
    """
    recipe, given = copy.deepcopy(recipe), set()
    for override in overrides:
        key, equals, text = override.partition("=")
        if not equals or not _KEY_PATH.fullmatch(key):
            raise RecipeError(f"the command line: {override!r} is no override: write KEY.PATH=VALUE, such as "
                              "asr.epochs=10")
        value = parse_yaml(text, f"the value of {key}", RecipeError)
        if isinstance(value, str) and _is_float(value):
            value = float(value)  # YAML reads 1e-3 as text; on a command line it is the number
        *parents, last = key.split(".")
        section = recipe
        for depth in range(len(parents) + 1):
            if not isinstance(section, dict):
                inside = ".".join(parents[:depth]) or "the recipe"
                raise RecipeError(f"the command line: {override!r} sets a key inside {inside}, which is not a mapping")
            if depth < len(parents):
                section = section.setdefault(parents[depth], {})
        section[last] = value
        given.add(key)
    return recipe, given


def _is_float(text: str) -> bool:
    return EXPONENT_TEXT.fullmatch(text.strip()) is not None


def evaluation_sets(recipe: Dict[str, Any], split: str) -> List[Tuple[str, str]]:
    """The (name, source) of every "dev" or "test" set of a recipe's ``prepare`` section, in the
    recipe's order: a single source is the set ``layout.SET_PARTITIONS[split]``, a mapping names
    its sets. The name is the set's partition in the prepared data and its name in reports and
    files; the first dev set validates training, and settings are chosen on it.

    Example:
        >>> evaluation_sets({"prepare": {"dev": {"dev-a": "a", "dev-b": "b"}}}, "dev")
        [('dev-a', 'a'), ('dev-b', 'b')]
    """
    sources = recipe["prepare"][split]
    if isinstance(sources, str):
        return [(SET_PARTITIONS[split], sources)]
    return list(sources.items())


def tokenizer_path(recipe: Dict[str, Any]) -> str:
    """Where ``prepare`` keeps the tokenizer that the LM and the recogniser share."""
    return os.path.join(recipe["asr"]["data"]["root"], TOKENIZER_FILE)


def load_tokenizer(recipe: Dict[str, Any]) -> VaskTokenizer:
    """The tokenizer that ``prepare`` made for ``recipe``."""
    path = tokenizer_path(recipe)
    if not os.path.exists(path):
        raise RecipeError(f"{path} does not exist: run `quorlin prepare` with this recipe first")
    return VaskTokenizer.load(path)


def run_folder(section: Dict[str, Any]) -> Path:
    """The run folder of an ``lm`` or ``asr`` section, as the trainers name it."""
    return Path(EXPERIMENTS_FOLDER) / section["run_name"]


@contextlib.contextmanager
def section_file(section: Dict[str, Any]) -> Iterator[str]:
    """A trainer's configuration written to a temporary YAML file, for the trainer to copy
    into its run folder (readable by others, as any file of a run folder);
    removed when the block ends."""
    fd, path = tempfile.mkstemp(suffix=".yaml", prefix="quorlin-")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            os.fchmod(f.fileno(), 0o644)
            yaml.safe_dump(section, f, sort_keys=False)
        yield path
    finally:
        os.unlink(path)

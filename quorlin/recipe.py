"""Recipes: one YAML file that configures data preparation, the LM run and the recogniser run.

A recipe has the sections ``prepare`` (where the audio and text come from, and how the text
is normalised), ``tokenizer`` (``VaskTokenizer.from_texts`` arguments), ``lm`` and ``asr``
(each a trainer configuration with ``data``/``training``/``loss``/``optimizer``/``scheduler``,
plus ``run_name``, ``epochs`` and the model's keyword arguments under ``model``), ``evaluate``
(the search settings compared on the dev set) and ``seed``. ``load_recipe`` checks every key
against ``quorlin.recipe_schema`` before anything runs. Relative paths are relative to the
current folder, as the run folders are.
"""
import contextlib
import os
import tempfile
from pathlib import Path
from typing import Any, Dict, Iterator, List, Tuple

import yaml

from quorlin._reading import load_yaml
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.errors import QuorlinError
from quorlin.layout import DEV_PARTITION, EXPERIMENTS_FOLDER, TEST_PARTITION, TOKENIZER_FILE


class RecipeError(QuorlinError, ValueError):
    """A recipe that cannot be used as it stands; the message names the file and the key."""


def load_recipe(path: str) -> Dict[str, Any]:
    """Reads a recipe and checks it: every section and key known, of the right type and range.

    Example:
        >>> recipe = load_recipe("recipes/demo.yaml")
        >>> recipe["asr"]["run_name"]
        'demo-asr'
    """
    from quorlin.recipe_schema import check_recipe

    recipe = load_yaml(path, RecipeError)
    check_recipe(recipe, path)
    return recipe


def evaluation_sets(recipe: Dict[str, Any], split: str) -> List[Tuple[str, str]]:
    """The (name, source) of every "dev" or "test" set of a recipe's ``prepare`` section, in the
    recipe's order: a single source is named like LibriSpeech's (``layout.DEV_PARTITION``,
    ``layout.TEST_PARTITION``), a mapping names its sets. The name is the set's partition in the prepared data; the first dev
    set validates training, settings are chosen on it, and the first test set is the trainer's own.

    Example:
        >>> evaluation_sets({"prepare": {"dev": {"dev-a": "a", "dev-b": "b"}}}, "dev")
        [('dev-a', 'a'), ('dev-b', 'b')]
    """
    sources = recipe["prepare"][split]
    if isinstance(sources, str):
        return [({"dev": DEV_PARTITION, "test": TEST_PARTITION}[split], sources)]
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

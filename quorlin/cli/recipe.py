"""Recipes: one YAML file that configures data preparation, the LM run and the recogniser run.

A recipe has the sections ``prepare`` (where the audio and text come from), ``tokenizer``
(``VaskTokenizer.from_texts`` arguments), ``lm`` and ``asr`` (each a trainer configuration
with ``data``/``training``/``loss``/``optimizer``/``scheduler``, plus ``run_name``,
``epochs`` and the model's keyword arguments under ``model``) and ``evaluate``. Relative
paths are relative to the current folder, as the run folders under "expts" are.
"""
import contextlib
import os
import tempfile
from pathlib import Path
from typing import Any, Dict, Iterator

import yaml

from quorlin.data.tokenizer import VaskTokenizer

TOKENIZER_FILE = "tokenizer.json"


class RecipeError(ValueError):
    """A recipe that cannot be used as it stands."""


def load_recipe(path: str) -> Dict[str, Any]:
    """Reads a recipe and checks that it has the sections the commands need."""
    try:
        with open(path, encoding="utf-8") as f:
            recipe = yaml.safe_load(f)
    except OSError as error:
        raise RecipeError(f"cannot read the recipe {path}: {error.strerror}") from None
    except yaml.YAMLError as error:
        raise RecipeError(f"{path} is not valid YAML: {error}") from None
    if not isinstance(recipe, dict):
        raise RecipeError(f"{path} must hold a mapping of sections, got {type(recipe).__name__}")
    for name in ("prepare", "lm", "asr"):
        if not isinstance(recipe.get(name), dict):
            raise RecipeError(f"{path} has no {name!r} section")
    for name in ("lm", "asr"):
        for key in ("run_name", "epochs", "model", "data"):
            if key not in recipe[name]:
                raise RecipeError(f"{path}: section {name!r} has no {key!r}")
    return recipe


def tokenizer_path(recipe: Dict[str, Any]) -> str:
    """Where ``prepare`` keeps the tokenizer that the LM and the recogniser share."""
    return os.path.join(recipe["asr"]["data"]["root"], TOKENIZER_FILE)


def load_tokenizer(recipe: Dict[str, Any]) -> VaskTokenizer:
    path = tokenizer_path(recipe)
    if not os.path.exists(path):
        raise RecipeError(f"{path} does not exist: run `quorlin prepare` with this recipe first")
    return VaskTokenizer.load(path)


def run_folder(section: Dict[str, Any]) -> Path:
    """The run folder of an ``lm`` or ``asr`` section, as the trainers name it."""
    return Path("expts") / section["run_name"]


@contextlib.contextmanager
def section_file(section: Dict[str, Any]) -> Iterator[str]:
    """A trainer's configuration written to a temporary YAML file, for the trainer to copy
    into its run folder as "config.yaml"; removed when the block ends."""
    fd, path = tempfile.mkstemp(suffix=".yaml", prefix="quorlin-")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            yaml.safe_dump(section, f, sort_keys=False)
        yield path
    finally:
        os.unlink(path)

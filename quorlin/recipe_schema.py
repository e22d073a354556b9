"""What a recipe may hold: every section, key, type and range, checked before anything runs."""
from typing import Any


def check_recipe(recipe: Any, path: str) -> None:
    """Raises ``RecipeError`` naming the key path of the first problem in ``recipe``."""
    from quorlin.recipe import RecipeError

    if not isinstance(recipe, dict):
        raise RecipeError(f"{path} must hold a mapping of sections, got {type(recipe).__name__}")
    for name in ("prepare", "lm", "asr"):
        if not isinstance(recipe.get(name), dict):
            raise RecipeError(f"{path} has no {name!r} section")
    for name in ("lm", "asr"):
        for key in ("run_name", "epochs", "model", "data"):
            if key not in recipe[name]:
                raise RecipeError(f"{path}: section {name!r} has no {key!r}")

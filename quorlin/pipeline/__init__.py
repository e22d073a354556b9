"""The main job over a recipe, step by step; the command line calls these.

Example:
    >>> from quorlin.pipeline import evaluate, prepare, train_asr
    >>> from quorlin.recipe import load_recipe
    >>> recipe = load_recipe("recipes/demo.yaml")
    >>> prepare(recipe)
    >>> train_asr(recipe, resume=True)
    >>> results = evaluate(recipe)
"""
from quorlin.pipeline.averaging import average_run
from quorlin.pipeline.demo import demo
from quorlin.pipeline.evaluation import evaluate
from quorlin.pipeline.prepare import prepare
from quorlin.pipeline.training import train_asr, train_lm

__all__ = ["average_run", "demo", "evaluate", "prepare", "train_asr", "train_lm"]

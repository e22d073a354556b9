"""Recipes as text for people, made from the schema: a recipe with every default filled in
and the keys its user set marked (``quorlin recipe show``), and the reference of every key
(docs/recipe-reference.md, written by ``python -m quorlin.recipe_text``).
"""
import sys
from typing import Any, Dict, List, Optional, Sequence, Set

import yaml

from quorlin._reading import load_yaml
from quorlin.recipe import RecipeError, with_overrides
from quorlin.recipe_rules import NONE, REQUIRED, Derived, Key, ListOf, Section, join
from quorlin.recipe_schema import RECIPE, resolve_recipe

REFERENCE_FILE = "docs/recipe-reference.md"
_COMMENT_COLUMN = 48


def show_recipe(path: str, overrides: Sequence[str] = (), device: Optional[str] = None) -> str:
    """The recipe ``path`` with ``overrides``, every default filled in, as YAML: a key the
    recipe sets ends in "# set", one set by an override in "# set on the command line", and
    one whose default follows other keys says how.

    Raises:
        RecipeError: every problem of the recipe, as ``load_recipe``.
    """
    raw = load_yaml(path, RecipeError)
    recipe, given = with_overrides(raw, overrides)
    resolved = resolve_recipe(recipe, path, device=device, given=sorted(given))
    lines = [f"# {path} with every default filled in (docs/recipe-reference.md says what each key does).",
             "# \"# set\": the recipe sets the key; \"# set on the command line\": an override does."]
    _show_section(RECIPE, resolved, raw if isinstance(raw, dict) else {}, given, "", 0, lines)
    return "\n".join(lines) + "\n"


def _show_section(section: Section, value: Dict[str, Any], raw: Dict[str, Any], given: Set[str], key: str,
                  depth: int, lines: List[str]) -> None:
    indent = "  " * depth
    for name, item in value.items():
        path = join(key, name)
        entry = section.keys.get(name)
        raw_item = raw.get(name) if isinstance(raw, dict) else None
        if entry is not None and isinstance(entry.rule, Section) and isinstance(item, dict):
            lines.append(f"{indent}{name}:")
            _show_section(entry.rule, item, raw_item, given, path, depth + 1, lines)
            continue
        note = ""
        if path in given:
            note = "set on the command line"
        elif isinstance(raw, dict) and name in raw:
            note = "set"
        elif entry is not None and isinstance(entry.default, Derived):
            note = entry.default.text
        items = isinstance(entry.rule if entry else None, ListOf) and isinstance(entry.rule.item, Section)
        if items and item:
            lines.append(_noted(f"{indent}{name}:", note))
            lines += [f"{indent}  - {_flow(element)}" for element in item]
        else:
            lines.append(_noted(f"{indent}{name}: {_flow(item)}", note))


def _noted(line: str, note: str) -> str:
    return f"{line.ljust(_COMMENT_COLUMN - 1)} # {note}" if note else line


def _flow(value: Any) -> str:
    """``value`` as YAML on one line."""
    return yaml.safe_dump([value], default_flow_style=True, width=float("inf"), allow_unicode=True).strip()[1:-1]


def reference() -> str:
    """The reference of every recipe key, in Markdown: one table per section."""
    sections: Dict[int, List[str]] = {}  # id of a section: its key paths
    order: List[Section] = []
    _collect(RECIPE, "", sections, order)
    parts = [_REFERENCE_HEAD]
    for section in order:
        paths = sections[id(section)]
        title = ", ".join(f"`{p}`" for p in paths) if paths != [""] else "The recipe"
        rows = ["| key | values | default | meaning |", "| --- | --- | --- | --- |"]
        for name, entry in section.keys.items():
            rows.append(f"| `{name}` | {_cell(_values(entry))} | {_cell(_default(entry))} | {_cell(entry.doc)} |")
        parts.append(f"## {title}\n\n" + "\n".join(rows) + "\n")
    return "\n".join(parts)


def _collect(section: Section, path: str, sections: Dict[int, List[str]], order: List[Section]) -> None:
    if id(section) not in sections:
        sections[id(section)] = []
        order.append(section)
    sections[id(section)].append(path)
    for name, entry in section.keys.items():
        inner = _section_of(entry.rule)
        if inner is not None:
            suffix = "[]" if isinstance(entry.rule, ListOf) else ""
            _collect(inner, join(path, name) + suffix, sections, order)


def _section_of(rule) -> Optional[Section]:
    """The section a key's values are, or are a list of."""
    if isinstance(rule, ListOf):
        rule = rule.item
    return rule if isinstance(rule, Section) else None


def _values(entry: Key) -> str:
    if isinstance(entry.rule, ListOf) and _section_of(entry.rule) is not None:
        return "a list of mappings"
    return entry.rule.describe()


def _default(entry: Key) -> str:
    if entry.default is REQUIRED:
        return "**required**"
    if entry.default is NONE:
        return "none"
    if isinstance(entry.default, Derived):
        return entry.default.text
    if isinstance(entry.rule, Section):
        return "its keys' defaults"
    return f"`{_flow(entry.default)}`"


def _cell(text: str) -> str:
    """``text`` as a cell of a Markdown table."""
    return text.replace("|", "\\|").replace("<", "&lt;")


_REFERENCE_HEAD = """# Recipe reference

Every key a recipe may hold: the values it takes, its default and what it does. Generated
from `quorlin/recipe_schema.py` by `python -m quorlin.recipe_text`; a test keeps it current.

A recipe needs only what only its user knows: `prepare.train`, `prepare.dev`, `prepare.test`,
`lm.run_name` and `asr.run_name` (see [data and recipes](data-and-recipes.md)); every other key
has the default below. `quorlin recipe show RECIPE` prints a recipe with every default filled
in; `quorlin train-asr RECIPE asr.epochs=10` sets keys on the command line. A key that is
"none" by default is absent unless given; its meaning says what absence does.
"""


if __name__ == "__main__":
    sys.stdout.write(reference())

"""The rules that a recipe's keys follow: the building blocks of ``quorlin.recipe_schema``.

A ``Rule`` says what one value may hold (an integer >= 1, one of a few names, a list of
..., a mapping of known keys) and describes it in words for messages and the reference.
A ``Section`` is the rule of a mapping of known keys; each key is a ``Key``: its rule, its
default and a sentence on what it means. A default is a value, ``REQUIRED`` (the user must
give it), ``NONE`` (absent unless given: the key's meaning says what absence does) or a
``Derived`` value computed from other keys once they are known.

Rules are used in two ways. ``problems`` lists every problem of a value, each a ``Problem``
naming its key path; ``resolve`` returns the value with every default filled in. A run
folder's configuration is checked with ``stored`` set: no default is filled, and the keys
that such a file has always held (``Key.stored``) must be there.
"""
import copy
import math
import re
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from quorlin._reading import excerpt
from quorlin.layout import run_name_problem


class Problem(Exception):
    """A problem with one key: ``key`` is its path ("asr.optimizer.lr"), the message names it."""

    def __init__(self, key: str, message: str):
        super().__init__(message)
        self.key = key


def fail(key: str, what: str, value: Any) -> None:
    """Raises the ``Problem`` "<key> <what>, got <value>", the value cut short."""
    raise Problem(key, f"{key} {what}, got {excerpt(value)}")


def join(key: str, name: Any) -> str:
    return f"{key}.{name}" if key else str(name)


def within(key: str, path: str) -> bool:
    """Whether the key path ``key`` is ``path`` or lies inside it ("a.b[0]", "a.b.c", "a.b set name")."""
    return key == path or (key.startswith(path) and key[len(path)] in ".[ ")


def key_name(name: Any) -> str:
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
EXPONENT_TEXT = re.compile(r"([-+]?\d+)(\.\d*)?[eE]([-+]?)(\d+)")


def _yaml_hint(value: Any) -> str:
    match = isinstance(value, str) and EXPONENT_TEXT.fullmatch(value.strip())
    if not match:
        return ""
    mantissa, fraction, sign, exponent = match.groups()
    return f" (YAML reads {value} as text: write {mantissa}{fraction or '.0'}e{sign or '+'}{exponent})"


class Rule:
    """What one value may hold."""

    def describe(self, plural: bool = False) -> str:
        """The values accepted, as "an integer >= 1" (or "integers >= 1")."""
        raise NotImplementedError

    def matches(self, value: Any) -> bool:
        """Whether ``value`` has the type of this rule (its range aside)."""
        raise NotImplementedError

    def check(self, value: Any, key: str) -> None:
        """Raises a ``Problem`` naming ``key`` unless ``value`` is accepted."""
        raise NotImplementedError

    def problems(self, value: Any, key: str, stored: bool = False) -> List[Problem]:
        """Every problem of ``value``, the value of ``key``; none when it is accepted."""
        try:
            self.check(value, key)
        except Problem as problem:
            return [problem]
        return []

    def resolve(self, value: Any, key: str, resolution: "Resolution") -> Any:
        """``value`` with every default inside it filled in."""
        return value


class _Container(Rule):
    """A rule over values holding other values: ``problems`` does the work, ``check`` raises its first."""

    def check(self, value, key):
        found = self.problems(value, key)
        if found:
            raise found[0]


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
            fail(key, f"must be {self.describe()}{_yaml_hint(value)}", value)


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
            fail(key, f"must be {self.describe()}", value)


class Boolean(Rule):
    def describe(self, plural=False):
        return "true or false values" if plural else "true or false"

    def matches(self, value):
        return isinstance(value, bool)

    def check(self, value, key):
        if not isinstance(value, bool):
            fail(key, f"must be {self.describe()}", value)


class Null(Rule):
    def describe(self, plural=False):
        return "null"

    def matches(self, value):
        return value is None

    def check(self, value, key):
        if value is not None:
            fail(key, "must be null", value)


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
            fail(key, f"must be {self.describe()}", value)


class RunName(Text):
    """A run folder in ``folder``: one plain folder name, so that no run lies inside another
    (which replacing the outer one would delete)."""

    def __init__(self, folder: str):
        super().__init__()
        self.folder = folder

    def describe(self, plural=False):
        what = "folder names" if plural else "a folder name"
        return f"{what} in '{self.folder}': printable characters, no '/', not starting with '.'"

    def check(self, value, key):
        if not (isinstance(value, str) and value and value.isprintable() and "/" not in value
                and not value.startswith(".") and len(value.encode("utf-8", "surrogatepass")) <= 255
                and run_name_problem(value) is None):
            fail(key, f"must be {self.describe()}", value)


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
            fail(key, f"must be {self.describe()}", value)


class Subset(Rule):
    """The part of a partition to load: a fraction of its files in (0, 1], a number of files
    above 1, or all of them for a value <= 0."""

    def describe(self, plural=False):
        return "a fraction in (0, 1], a whole number of files above 1, or <= 0 for all files"

    def matches(self, value):
        return _is_number(value)

    def check(self, value, key):
        if not (_is_number(value) and _finite(value)) or (value > 1 and value != int(value)):
            fail(key, f"must be {self.describe()}", value)


class ListOf(_Container):
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

    def problems(self, value, key, stored=False):
        if not isinstance(value, list) or (self.nonempty and not value) or \
                (self.length is not None and len(value) != self.length):
            return [Problem(key, f"{key} must be {self.describe()}, got {excerpt(value)}")]
        return [problem for i, item in enumerate(value) for problem in self.item.problems(item, f"{key}[{i}]", stored)]

    def resolve(self, value, key, resolution):
        if not isinstance(value, list):
            return value
        return [self.item.resolve(item, f"{key}[{i}]", resolution) for i, item in enumerate(value)]


class MapOf(_Container):
    """A non-empty mapping of names (``keys``, called ``key_label`` in messages) to ``values``."""

    def __init__(self, keys: Rule, values: Rule, key_label: str):
        self.keys, self.values, self.key_label = keys, values, key_label

    def describe(self, plural=False):
        lead = "non-empty mappings" if plural else "a non-empty mapping"
        return f"{lead} of {self.key_label}s to {self.values.describe(plural=True)}"

    def matches(self, value):
        return isinstance(value, dict)

    def problems(self, value, key, stored=False):
        if not isinstance(value, dict) or not value:
            return [Problem(key, f"{key} must be {self.describe()}, got {excerpt(value)}")]
        found = []
        for name, item in value.items():
            found += self.keys.problems(name, f"{key} {self.key_label}", stored)
            found += self.values.problems(item, join(key, name), stored)
        return found


class Either(_Container):
    """The first alternative whose type the value has decides; a value of none of their
    types is refused with all of them named."""

    def __init__(self, *alternatives: Rule):
        self.alternatives = alternatives

    def describe(self, plural=False):
        return " or ".join(alternative.describe(plural) for alternative in self.alternatives)

    def matches(self, value):
        return any(alternative.matches(value) for alternative in self.alternatives)

    def _chosen(self, value) -> Optional[Rule]:
        return next((alternative for alternative in self.alternatives if alternative.matches(value)), None)

    def problems(self, value, key, stored=False):
        chosen = self._chosen(value)
        if chosen is None:
            return [Problem(key, f"{key} must be {self.describe()}, got {excerpt(value)}")]
        return chosen.problems(value, key, stored)

    def resolve(self, value, key, resolution):
        chosen = self._chosen(value)
        return value if chosen is None else chosen.resolve(value, key, resolution)


class _Marker:
    def __init__(self, name: str):
        self.name = name

    def __repr__(self) -> str:
        return self.name


REQUIRED = _Marker("REQUIRED")  # the user gives it
NONE = _Marker("NONE")  # absent unless given


class Derived:
    """A default computed from other keys, or from where the recipe is used.

    Args:
        compute: (section, resolution) -> the value, or ``NONE`` for none; ``section`` is
            the resolved top-level section that holds the key ("asr", "evaluate", ...).
        text: the rule in words, for the reference ("asr.data.num_feats").
    """

    def __init__(self, compute: Callable[[Dict[str, Any], "Resolution"], Any], text: str):
        self.compute, self.text = compute, text


class Key:
    """One key of a section.

    Args:
        rule: the values it may hold.
        default: a value, ``REQUIRED``, ``NONE`` or a ``Derived``; a section's is usually ``{}``,
            which resolves to its own keys' defaults.
        doc: what it means, one or two sentences.
        stored: a run folder's configuration always holds it (it was required before it
            had a default), so one without it is damaged. Keys without a default always are.
    """

    def __init__(self, rule: Rule, default: Any, doc: str, stored: bool = False):
        self.rule, self.default, self.doc = rule, default, doc
        self.stored = stored or default is REQUIRED


class Resolution:
    """Where a recipe is resolved: its file, the device it will run on, and the derived
    defaults waiting for the keys they are computed from.

    Args:
        path: the recipe's file.
        device: "cpu", "cuda" or "cuda:N".
    """

    def __init__(self, path: str, device: str):
        self.path, self.device = path, device
        self.recipe: Dict[str, Any] = {}  # the resolved recipe, as it is built
        self.pending: List[Tuple[Dict[str, Any], str, Derived, str]] = []

    def fill_derived(self, recipe: Dict[str, Any], tolerant: bool) -> None:
        """Computes every derived default of the resolved ``recipe``. With ``tolerant``
        (the recipe has problems), one whose keys are unusable is left out."""
        for container, name, derived, key in self.pending:
            try:
                value = derived.compute(recipe[key.split(".")[0]], self)
            except (KeyError, TypeError, ValueError, AttributeError):
                if not tolerant:
                    raise
                value = NONE
            if value is NONE:
                del container[name]
            else:
                container[name] = value
        self.pending = []


class Section(_Container):
    """A mapping of known keys.

    Args:
        keys: each key's ``Key``, in the order that resolved recipes and the reference show.
        when: (field, values, name): the key ``name`` belongs to the mapping only when
            ``field`` holds one of ``values`` (strings compared in lower case); it is then
            filled in, or, in a stored configuration, required when ``Key.stored``.
        exclusive: pairs of keys that cannot be given together.
        others: keys of no rule are let through, unchecked, instead of refused (files that
            later versions add keys to).
        label: what messages call the mapping when it is checked on its own, not as a key.
    """

    def __init__(self, keys: Dict[str, Key], when: Sequence[Tuple[str, tuple, str]] = (),
                 exclusive: Sequence[Tuple[str, str]] = (), others: bool = False, label: str = "the recipe"):
        self.keys, self.when, self.exclusive, self.others, self.label = keys, when, exclusive, others, label

    def describe(self, plural=False):
        return "mappings" if plural else "a mapping"

    def matches(self, value):
        return isinstance(value, dict)

    def condition(self, name: str) -> Optional[Tuple[str, tuple]]:
        """(field, values) when ``name`` belongs to the mapping only for those values of ``field``."""
        return next(((field, values) for field, values, needed in self.when if needed == name), None)

    def _applies(self, name: str, value: Dict[str, Any], stored: bool) -> bool:
        condition = self.condition(name)
        if condition is None:
            return True
        field, values = condition
        chosen = value.get(field)
        if field not in value and not stored:
            default = self.keys[field].default
            chosen = None if isinstance(default, (_Marker, Derived)) else default
        return (chosen.lower() if isinstance(chosen, str) else chosen) in values

    def problems(self, value, key, stored=False):
        label = key or self.label
        if not isinstance(value, dict):
            return [Problem(label, f"{label} must be {self.describe()}, got {excerpt(value)}")]
        found = []
        for name, item in value.items():
            if name in self.keys:
                found += self.keys[name].rule.problems(item, join(key, name), stored)
            elif not self.others:
                known = ", ".join(sorted(self.keys))
                path = join(key, key_name(name))
                found.append(Problem(path, f"{path} is not a known key; {label} may hold: {known}"))
        for name in self.keys:
            if name not in value:
                found += self.missing_problems(name, value, key, stored)
        for first, second in self.exclusive:
            if first in value and second in value:
                path = join(key, second)
                found.append(Problem(path, f"{path} cannot be given with {join(key, first)}, "
                                           f"got {excerpt(value[second])}"))
        return found

    def missing_problems(self, name: str, value: Dict[str, Any], key: str, stored: bool) -> List[Problem]:
        """The problems of the key ``name`` when ``value`` does not hold it."""
        entry = self.keys[name]
        if not self._applies(name, value, stored):
            return []
        if (stored and entry.stored) or (not stored and entry.default is REQUIRED):
            condition = self.condition(name)
            text = "" if condition is None else f" when {join(key, condition[0])} is {value.get(condition[0])!r}"
            path = join(key, name)
            return [Problem(path, f"{path} is missing: it must be {entry.rule.describe()}{text}")]
        if not stored and isinstance(entry.default, dict):  # a section given no key: its own keys' problems
            return entry.rule.problems(copy.deepcopy(entry.default), join(key, name))
        return []

    def resolve(self, value, key, resolution):
        if not isinstance(value, dict):
            return value
        out: Dict[str, Any] = {}
        for name in self.keys:
            self.resolve_key(name, value, key, out, resolution)
        out.update((name, item) for name, item in value.items() if name not in self.keys)
        return out

    def resolve_key(self, name: str, value: Dict[str, Any], key: str, out: Dict[str, Any],
                    resolution: "Resolution") -> None:
        """Puts the key ``name`` of ``value``, resolved, into ``out`` (which holds the keys
        before it, resolved): as given, else its default where it has one."""
        entry, path = self.keys[name], join(key, name)
        if name in value:
            out[name] = entry.rule.resolve(value[name], path, resolution)
        elif self._applies(name, out, stored=False):
            if isinstance(entry.default, Derived):
                out[name] = entry.default  # keeps its place; computed once every key is known
                resolution.pending.append((out, name, entry.default, path))
            elif not isinstance(entry.default, _Marker):
                out[name] = entry.rule.resolve(copy.deepcopy(entry.default), path, resolution)

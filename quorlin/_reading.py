"""Reading files that someone else wrote: a recipe, a manifest, the files of a run folder.

Such a file may be damaged or made to hurt. It is read only when it is a regular file
(a FIFO would block the reader for ever, a device never end) and no bigger than what it
could sensibly hold; YAML and JSON are parsed with bounds on nesting and, for YAML, on how
far its aliases expand, so that a few hundred bytes cannot cost minutes and gigabytes.
Every problem is one ``FileFormatError`` naming the file; ``excerpt`` keeps the values
that error lines show short.
"""
import json
import os
import reprlib
import stat
from typing import Any, Optional, Type

import yaml

from quorlin.errors import FileFormatError

# Configurations and settings are nested a few levels deep; this is far beyond any.
MAX_DEPTH = 32
# Values (scalars, lists and mappings) a YAML file may expand to, its aliases followed.
MAX_YAML_VALUES = 100_000
MAX_YAML_BYTES = 1 << 20
MAX_JSON_BYTES = 64 << 20
_EXCERPT_CHARS = 80
_NOT_REGULAR = "not a regular file (a folder, FIFO or device)"


def regular_file_problem(path) -> Optional[str]:
    """Why ``path`` cannot be read as a file's contents ("no such file", "not a regular file
    ..."), or None when it can."""
    try:
        mode = os.stat(path).st_mode
    except FileNotFoundError:
        return "no such file"
    except OSError as error:
        return error.strerror
    return None if stat.S_ISREG(mode) else _NOT_REGULAR


def read_bytes(path, limit: int, error: Type[Exception] = FileFormatError) -> bytes:
    """The contents of the regular file ``path``, refused beyond ``limit`` bytes.

    The file is opened without blocking and checked on the opened descriptor, so a FIFO
    put in its place is refused, never waited on.

    Raises:
        ``error`` (by default ``FileFormatError``) naming the file.
    """
    name = os.fsdecode(path)
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        raise error(f"cannot read {name}: no such file") from None
    except OSError as failure:
        raise error(f"cannot read {name}: {failure.strerror}") from None
    with open(fd, "rb", closefd=True) as f:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise error(f"cannot read {name}: {_NOT_REGULAR}")
        if info.st_size > limit:
            raise error(f"{name} holds {info.st_size} bytes, more than the {limit} such a file may hold")
        data = f.read(limit + 1)
    if len(data) > limit:
        raise error(f"{name} holds more than the {limit} bytes such a file may hold")
    return data


def read_text(path, limit: int, error: Type[Exception] = FileFormatError) -> str:
    """``read_bytes`` decoded as UTF-8 (a byte order mark is dropped)."""
    data = read_bytes(path, limit, error)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as failure:
        raise error(f"{os.fsdecode(path)} is not UTF-8 text: {failure.reason} at byte {failure.start}") from None


def load_yaml(path, error: Type[Exception] = FileFormatError, limit: int = MAX_YAML_BYTES) -> Any:
    """The value of a YAML file, read as ``yaml.safe_load`` reads it, within bounds: at most
    ``limit`` bytes, ``MAX_DEPTH`` levels of nesting and ``MAX_YAML_VALUES`` values once
    its aliases are followed."""
    return parse_yaml(read_text(path, limit, error), os.fsdecode(path), error)


def parse_yaml(text: str, name: str, error: Type[Exception] = FileFormatError) -> Any:
    """The value of the YAML ``text`` within the bounds of ``load_yaml``; ``name`` says where
    the text comes from in messages."""
    loader = None
    try:
        loader = _BoundedLoader(text)  # which refuses characters YAML does not allow
        node = loader.get_single_node()
        too_big = node is not None and _expanded_size(node, MAX_YAML_VALUES) > MAX_YAML_VALUES
        value = None if node is None or too_big else loader.construct_document(node)
    except _TooDeep as deep:
        raise error(f"{name}, line {deep.line}: nested more than {MAX_DEPTH} levels deep") from None
    except yaml.reader.ReaderError as failure:
        raise error(f"{name} is not valid YAML: it holds the character U+{failure.character:04X}, which YAML does "
                    f"not allow (at character {failure.position + 1})") from None
    except yaml.MarkedYAMLError as failure:
        mark = failure.problem_mark or failure.context_mark
        where = f", line {mark.line + 1}, column {mark.column + 1}" if mark is not None else ""
        raise error(f"{name} is not valid YAML{where}: {failure.problem or failure.context}") from None
    except (yaml.YAMLError, ValueError, OverflowError) as failure:  # bad dates, over-long integers
        raise error(f"{name} is not valid YAML: {_cut(' '.join(str(failure).split()))}") from None
    finally:
        if loader is not None:
            loader.dispose()
    if too_big:
        raise error(f"{name}: its aliases expand to more than {MAX_YAML_VALUES} values; write the values out")
    return value


def load_json(path, error: Type[Exception] = FileFormatError, limit: int = MAX_JSON_BYTES) -> Any:
    """The value of a JSON file of at most ``limit`` bytes and ``MAX_DEPTH`` levels of nesting
    (``NaN`` and ``Infinity`` are read, as Python's ``json`` reads them)."""
    text = read_text(path, limit, error)
    name = os.fsdecode(path)
    try:
        value = json.loads(text)
    except RecursionError:
        value = _TOO_DEEP
    except ValueError as failure:  # JSONDecodeError, over-long integers
        raise error(f"{name} is not valid JSON: {_cut(str(failure))}") from None
    if value is _TOO_DEEP or _too_deep(value):
        raise error(f"{name} is nested more than {MAX_DEPTH} levels deep")
    return value


def excerpt(value: Any) -> str:
    """A short ``repr`` of ``value`` for an error line: only the first items of the first
    levels of a nested value are shown, and long texts are cut."""
    return _cut(_SHORT.repr(value))


def _cut(text: str) -> str:
    return text if len(text) <= _EXCERPT_CHARS else text[:_EXCERPT_CHARS - 3] + "..."


class _ShortRepr(reprlib.Repr):
    def __init__(self):
        super().__init__()
        self.maxlevel, self.maxlist, self.maxtuple, self.maxdict, self.maxset = 3, 4, 4, 4, 4
        self.maxstring = self.maxother = self.maxlong = _EXCERPT_CHARS

    def repr_int(self, x, level):
        # Python refuses to write out integers of more than a few thousand digits.
        return super().repr_int(x, level) if x.bit_length() < 4000 else f"<an integer of {x.bit_length()} bits>"


_SHORT = _ShortRepr()
_TOO_DEEP = object()


class _TooDeep(Exception):
    def __init__(self, line: int):
        super().__init__(line)
        self.line = line


class _BoundedLoader(yaml.SafeLoader):
    """``yaml.SafeLoader`` refusing more than ``MAX_DEPTH`` levels of nesting as it composes."""

    def __init__(self, stream):
        super().__init__(stream)
        self._depth = 0

    def compose_node(self, parent, index):
        self._depth += 1
        try:
            if self._depth > MAX_DEPTH:
                raise _TooDeep(self.peek_event().start_mark.line + 1)
            return super().compose_node(parent, index)
        finally:
            self._depth -= 1


def _expanded_size(root: yaml.Node, limit: int) -> int:
    """The values under ``root`` counted as if every alias were written out, up to ``limit`` + 1
    (also for a node that holds itself, which expands without end). Each node is visited once,
    without recursion: chains of aliases may be long."""
    sizes = {}  # id of a node: its size, or None while its children are counted
    pending = [(root, False)]
    while pending:
        node, counted = pending.pop()
        if counted:
            sizes[id(node)] = min(limit + 1, 1 + sum(sizes[id(child)] for child in _children(node)))
        elif id(node) not in sizes:
            sizes[id(node)] = None
            pending.append((node, True))
            pending.extend((child, False) for child in _children(node))
        elif sizes[id(node)] is None:  # met again below itself
            return limit + 1
    return sizes[id(root)]


def _children(node: yaml.Node) -> list:
    if isinstance(node, yaml.SequenceNode):
        return node.value
    if isinstance(node, yaml.MappingNode):
        return [part for pair in node.value for part in pair]
    return []


def _too_deep(value: Any) -> bool:
    """Whether a parsed JSON value nests lists and mappings more than ``MAX_DEPTH`` deep."""
    level = [value]
    for _ in range(MAX_DEPTH):
        level = [child for item in level if isinstance(item, (list, dict))
                 for child in (item.values() if isinstance(item, dict) else item)]
        if not level:
            return False
    return any(isinstance(item, (list, dict)) for item in level)

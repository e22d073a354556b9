"""Transcript normalisation: set per recipe for any language (``TextNormalizer``), and the
fixed English form that the demo corpus was written with (``normalize_transcript``)."""
import collections
import re
import unicodedata
from typing import Any, Dict, Mapping, Optional, Sequence

from quorlin.recipe_rules import NONE, Boolean, Choice, Either, Key, Null, Section, Text

_APOSTROPHES = str.maketrans({"\u2019": "'", "\u2018": "'", "\u02bc": "'", "`": "'"})
_NOT_KEPT = re.compile(r"[^A-Z' ]+")
# An apostrophe counts only after a letter ("KING'S", "MOSES'"); quote marks go.
_STRAY_APOSTROPHE = re.compile(r"(?<![A-Z])'+")
_SPACES = re.compile(r" {2,}")

NORMAL_FORMS = ("NFC", "NFKC", "NFD", "NFKD")
CASES = ("keep", "upper", "lower")
# The settings of a recipe's prepare.text section, checked once by these rules.
TEXT_SETTINGS = Section({
    "normalization": Key(Choice(*NORMAL_FORMS), "NFC", "The Unicode normal form of the transcripts."),
    "case": Key(Choice(*CASES), "keep", "Upper-case or lower-case the transcripts, or keep them as written."),
    "remove_punctuation": Key(Boolean(), True, "Punctuation and symbols become spaces; an apostrophe inside a word "
                                               "stays."),
    "alphabet": Key(Either(Text(), Null()), NONE, "The characters allowed besides the space; others are removed and "
                                                  "reported. None: every letter, mark and digit of every script."),
}, label="prepare.text")
DEFAULT_TEXT_SETTINGS = {name: None if key.default is NONE else key.default
                         for name, key in TEXT_SETTINGS.keys.items()}
# Zero-width non-joiner and joiner spell words in Persian and Indic scripts; every other
# control or format character (soft hyphen, byte order mark, direction marks) is invisible noise.
_JOINERS = "\u200c\u200d"
_APOSTROPHE_RUN = re.compile("'+")
_CONTEXT_CHARS = 30  # shown on each side of a removed character in the report


def normalize_transcript(text: str) -> str:
    """Upper-case letters A-Z, apostrophes and single spaces, as LibriSpeech writes them.

    Accents are stripped, curly apostrophes straightened, every other character
    (punctuation, digits, symbols) becomes a space; apostrophes that do not follow
    a letter are dropped. Normalising twice changes nothing.

    Example:
        >>> normalize_transcript("And God said, Let there be light: and it was the king\u2019s.")
        "AND GOD SAID LET THERE BE LIGHT AND IT WAS THE KING'S"
    """
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, got {type(text).__name__}")
    text = unicodedata.normalize("NFKD", text.translate(_APOSTROPHES))
    text = "".join(c for c in text if not unicodedata.combining(c)).upper()
    text = _STRAY_APOSTROPHE.sub("", _NOT_KEPT.sub(" ", text))
    return _SPACES.sub(" ", text).strip()


class _CharTable(dict):
    """``str.translate`` table that classifies each character the first time it is seen."""

    def __init__(self, remove_punctuation: bool):
        super().__init__()
        self.remove_punctuation = remove_punctuation

    def __missing__(self, code: int) -> str:
        char = chr(code)
        category = unicodedata.category(char)
        if char.isspace():
            value = " "
        elif category in ("Cc", "Cf"):
            value = char if char in _JOINERS else ""
        elif self.remove_punctuation and char in "'\u2019\u2018\u02bc`":
            value = "'"
        elif self.remove_punctuation and category[0] in "PS":
            value = " "
        else:
            value = char
        self[code] = value
        return value


def _is_word_char(char: str) -> bool:
    return unicodedata.category(char)[0] in "LMN"


def _drop_stray_apostrophes(text: str) -> str:
    # A run of apostrophes after a letter, mark or digit leaves one; any other run goes.
    return _APOSTROPHE_RUN.sub(lambda m: "'" if m.start() and _is_word_char(text[m.start() - 1]) else "", text)


def _describe(char: str) -> str:
    name = unicodedata.name(char, "unnamed character")
    shown = "" if unicodedata.category(char)[0] in "MC" else f"{char!r} "
    return f"{shown}U+{ord(char):04X} {name}"


class TextNormalizer:
    """Normalises transcripts of any language as a recipe's ``prepare.text`` section sets it.

    In order: the case is changed, the text is put in the Unicode normal form, white space
    becomes single spaces and invisible control and format characters go (the zero-width
    joiner and non-joiner stay inside words). With ``remove_punctuation`` every punctuation
    mark and symbol becomes a space, except the apostrophe: curly ones are straightened and
    one that follows a letter, mark or digit stays ("KING'S", "l'homme", "MOSES'"), while
    other apostrophes (opening quote marks) go. Letters, marks and digits of every script
    are kept; text written without spaces (Chinese, Japanese) keeps its characters together.

    With an ``alphabet``, every character other than the space that it does not hold is
    removed: a combining mark is dropped, any other character leaves a space so that the
    words either side stay apart. Removals are counted per character, with the first place each was seen, across
    every call; :meth:`report` summarises them.

    Upper-casing follows Unicode, so "ß" becomes "SS".

    Args:
        settings: the ``prepare.text`` mapping; missing keys take the defaults
            ``normalization`` "NFC" (or "NFKC", "NFD", "NFKD"), ``case`` "keep"
            (or "upper", "lower"), ``remove_punctuation`` true and ``alphabet`` none
            (a string of the characters allowed besides the space). None takes every default.

    Example:
        >>> english = TextNormalizer({"normalization": "NFKD", "case": "upper",
        ...                           "alphabet": "ABCDEFGHIJKLMNOPQRSTUVWXYZ'"})
        >>> english("Naïve, isn\u2019t it?", where="train.tsv, line 3")
        "NAIVE ISN'T IT"
        >>> TextNormalizer()("« L’homme », dit-il.")
        "L'homme dit il"
    """

    def __init__(self, settings: Optional[Mapping[str, Any]] = None):
        if settings is None:
            settings = {}
        if not isinstance(settings, Mapping):
            raise TypeError(f"prepare.text must be a mapping of settings, got {type(settings).__name__}")
        problems = TEXT_SETTINGS.problems(dict(settings), "prepare.text")
        if problems:
            raise ValueError("; ".join(map(str, problems)))
        settings = {**DEFAULT_TEXT_SETTINGS, **settings}
        self._settings = settings
        self._table = _CharTable(settings["remove_punctuation"])
        self._outside = None
        alphabet = settings["alphabet"]
        if alphabet is not None:
            for char in alphabet:
                if char.isspace():
                    raise ValueError(f"prepare.text.alphabet must not hold white space (the space is always "
                                     f"allowed), got {char!r} in {alphabet!r}")
                if self._prepare(char) != char:
                    raise ValueError(f"prepare.text.alphabet holds {_describe(char)}, which the other settings "
                                     f"turn into {self._prepare(char)!r}, so it never reaches the alphabet")
            self._outside = re.compile("[^ " + "".join(re.escape(c) for c in sorted(set(alphabet))) + "]")
        self._texts = 0
        self._changed = 0
        self._removed: Dict[str, list] = {}  # char -> [count, where first seen, context]

    @property
    def settings(self) -> Dict[str, Any]:
        """Every setting, defaults included, as plain JSON values."""
        return dict(self._settings)

    def __repr__(self) -> str:
        return f"TextNormalizer({self._settings!r})"

    def _prepare(self, text: str) -> str:
        """Case, normal form, spaces and (when set) punctuation; no alphabet yet."""
        case = self._settings["case"]
        if case == "upper":
            text = text.upper()
        elif case == "lower":
            text = text.lower()
        return unicodedata.normalize(self._settings["normalization"], text).translate(self._table)

    def __call__(self, text: str, where: Optional[str] = None) -> str:
        """The normalised ``text``; ``where`` (e.g. "train.tsv, line 3") names it in the report.

        Without ``where`` the report names the text by its number among this
        normaliser's calls ("text 17")."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, got {type(text).__name__}")
        self._texts += 1
        text = self._prepare(text)
        punctuation = self._settings["remove_punctuation"]
        if punctuation:
            text = _drop_stray_apostrophes(text)
        if self._outside is not None and self._outside.search(text):
            text = self._remove_outside(text, where if where is not None else f"text {self._texts}")
            if punctuation:
                text = _drop_stray_apostrophes(text)
        # Single spaces; a joiner at the edge of a word joins nothing.
        return " ".join(word for word in (w.strip(_JOINERS) for w in text.split(" ")) if word)

    def _remove_outside(self, text: str, where: str) -> str:
        self._changed += 1
        for match in self._outside.finditer(text):
            char = match[0]
            if char in self._removed:
                self._removed[char][0] += 1
            else:
                start, end = max(0, match.start() - _CONTEXT_CHARS), match.end() + _CONTEXT_CHARS
                shown = " ".join(word for word in text[start:end].split(" ") if word)
                context = ("..." if start else "") + shown + ("..." if end < len(text) else "")
                self._removed[char] = [1, where, context]
        return self._outside.sub(lambda m: "" if unicodedata.category(m[0])[0] == "M" else " ", text)

    def report(self) -> Optional[str]:
        """What the alphabet removed so far, most frequent first; None when nothing was.

        Example:
            After 500 texts, ``english.report()`` reads::

            4 characters outside the alphabet were removed from 2 of 500 texts:
              U+0301 COMBINING ACUTE ACCENT: 3 times, first in train.tsv, line 3: "CAFE AU LAIT"
              '7' U+0037 DIGIT SEVEN: 1 time, first in dev.tsv, line 9: "CHAPTER 7"
        """
        if not self._removed:
            return None
        total = sum(count for count, _, _ in self._removed.values())
        lines = [f"{total} character{'s' if total != 1 else ''} outside the alphabet "
                 f"{'were' if total != 1 else 'was'} removed from {self._changed} of {self._texts} texts:"]
        for char, (count, where, context) in sorted(self._removed.items(), key=lambda item: (-item[1][0], item[0])):
            lines.append(f"  {_describe(char)}: {count} time{'s' if count != 1 else ''}, "
                         f"first in {where}: \"{context}\"")
        return "\n".join(lines)


def spoken_in_words(texts: Sequence[str]) -> Optional[str]:
    """The digits and symbols (Unicode categories Nd and S) of ``texts``, which a character
    tokenizer learns as characters of their own while speech says them in words ("12" is
    "twelve"), counted per character; None when there are none.

    Example:
        >>> spoken_in_words(["ROOM 12", "50 % OFF", "HELLO"])
        "4 digits ('1' 1, '2' 1, '5' 1, '0' 1) and 1 symbol ('%' 1) in 2 of 3 texts"
    """
    counts = collections.Counter(c for text in texts for c in text if _spoken_in_words(c))
    if not counts:
        return None
    parts = []
    for noun, chars in (("digit", [c for c in counts if unicodedata.category(c) == "Nd"]),
                        ("symbol", [c for c in counts if unicodedata.category(c) != "Nd"])):
        if chars:
            total = sum(counts[c] for c in chars)
            listed = ", ".join(f"{c!r} {counts[c]}" for c in sorted(chars, key=lambda c: -counts[c])[:10])
            more = ", ..." if len(chars) > 10 else ""
            parts.append(f"{total} {noun}{'s' if total != 1 else ''} ({listed}{more})")
    holding = sum(1 for text in texts if any(_spoken_in_words(c) for c in text))
    return f"{' and '.join(parts)} in {holding} of {len(texts)} texts"


def _spoken_in_words(char: str) -> bool:
    category = unicodedata.category(char)
    return category == "Nd" or category[0] == "S"

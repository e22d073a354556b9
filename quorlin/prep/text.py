"""Transcript normalisation shared by the prepared data and the demo corpus."""
import re
import unicodedata

_APOSTROPHES = str.maketrans({"\u2019": "'", "\u2018": "'", "\u02bc": "'", "`": "'"})
_NOT_KEPT = re.compile(r"[^A-Z' ]+")
# An apostrophe counts only after a letter ("KING'S", "MOSES'"); quote marks go.
_STRAY_APOSTROPHE = re.compile(r"(?<![A-Z])'+")
_SPACES = re.compile(r" {2,}")


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

"""Character and subword tokenizers for transcripts."""
import base64
import collections
import io
import json
import numbers
import operator
import os
import re
from typing import Iterable, List, Optional, Sequence, Union

import sentencepiece

from quorlin._files import write_bytes
from quorlin._reading import excerpt, load_json

# Fixed ids shared by every kind; the ASR trainer also uses pad_id as CTC blank.
SPECIAL_TOKENS = ("<pad>", "<sos>", "<eos>", "<unk>")
PAD_ID, SOS_ID, EOS_ID, UNK_ID = range(len(SPECIAL_TOKENS))
KINDS = ("char", "bpe", "unigram")
FILE_FORMAT = "vask-tokenizer"

# Characters SentencePiece does not give back as they were: it strips a trailing "\n"
# or "\r" from each training text, drops "\x00" and "\x1f", reads "▁" as the space and
# "▅" as an unknown piece (dropping any training text that holds one), and leaves the
# literal special pieces ("<pad>", ...) out of training. The models that from_texts
# trains see each of these characters, and "<", as a private-use stand-in instead; the
# stand-ins and the escape character, should a text hold them, follow the escape.
RESERVED_CHARS = "\n\r\x00\x1f\u2581\u2585<"
ESCAPE = "\U000F0000"
STAND_INS = "".join(chr(ord(ESCAPE) + 1 + i) for i in range(len(RESERVED_CHARS)))
_TO_MODEL = str.maketrans({**dict(zip(RESERVED_CHARS, STAND_INS)),
                           **{c: ESCAPE + c for c in ESCAPE + STAND_INS}})
_FROM_MODEL = dict(zip(STAND_INS, RESERVED_CHARS))
# An escape keeps the character after it (a stray one at the end of decoded ids is dropped).
_FROM_MODEL_PATTERN = re.compile(f"{ESCAPE}(.?)|[{STAND_INS}]", re.DOTALL)


def _to_model_text(text: str) -> str:
    return text.translate(_TO_MODEL)


def _from_model_text(text: str) -> str:
    return _FROM_MODEL_PATTERN.sub(lambda m: _FROM_MODEL[m[0]] if m[1] is None else m[1], text)


class VaskTokenizer:
    """Turns transcripts into token ids and back.

    Ids 0 to 3 are ``pad_id``, ``sos_id``, ``eos_id`` and the unknown id; the
    vocabulary follows. ``kind`` "char" maps every character to one id; "bpe"
    and "unigram" use a SentencePiece model trained on the transcripts, with no
    text normalisation, so that ``decode(encode(text)) == text`` for any text
    made of characters seen in training; literal "<pad>", "<unk>", ... in a text
    are ordinary characters. Characters (or pieces) outside the vocabulary encode
    to the unknown id, which decodes to "<unk>".

    Build one with :meth:`from_texts` or :meth:`load`; the constructor takes
    the learned vocabulary directly.

    Args:
        kind: "char", "bpe" or "unigram".
        model: for "char", the characters of ids 4, 5, ... in order; for the
            subword kinds, a serialized SentencePiece model whose special
            pieces use the ids above.
        escaped: subword kinds only: the model was trained, as :meth:`from_texts`
            trains it, on texts whose characters that SentencePiece reserves were
            replaced by private-use stand-ins. False for a model trained on the
            texts as they are. (Default: ``False``)

    Example:
        >>> tok = VaskTokenizer.from_texts(["HELLO WORLD"])
        >>> tok.encode("HOLE")
        [7, 9, 8, 6]
        >>> tok.decode([tok.sos_id, 7, 9, 8, 6, tok.eos_id], skip_special_tokens=True)
        'HOLE'
    """

    def __init__(self, kind: str, model: Union[Sequence[str], bytes], escaped: bool = False):
        if kind not in KINDS:
            raise ValueError(f"kind must be one of {KINDS}, got {kind!r}")
        if type(escaped) is not bool:
            raise TypeError(f"escaped must be a bool, got {escaped!r}")
        if escaped and kind == "char":
            raise ValueError("escaped applies to the 'bpe' and 'unigram' kinds only, got kind 'char'")
        self.kind = kind
        self._escaped = escaped
        self.pad_id, self.sos_id, self.eos_id, self.unk_id = PAD_ID, SOS_ID, EOS_ID, UNK_ID
        if kind == "char":
            symbols = list(model)
            bad = [s for s in symbols if not (isinstance(s, str) and len(s) == 1)]
            if bad or len(set(symbols)) != len(symbols):
                raise ValueError(f"char vocabulary must be distinct single characters, got {excerpt(symbols)}")
            self._pieces = list(SPECIAL_TOKENS) + symbols
            self._char_ids = {c: i for i, c in enumerate(symbols, start=len(SPECIAL_TOKENS))}
            self.vocab_size = len(self._pieces)
        else:
            if not isinstance(model, bytes):
                raise TypeError(f"model of a {kind!r} tokenizer must be bytes, got {type(model).__name__}")
            try:
                self._sp = sentencepiece.SentencePieceProcessor(model_proto=model)
            except RuntimeError as err:
                # SentencePiece reports a model it cannot parse as an internal error.
                raise ValueError(f"model is not a SentencePiece model: {str(err).split('] ', 1)[-1]}") from None
            self._model_proto = model
            # Every piece must be text, so that every decoded sequence is: no piece of bytes that
            # are not UTF-8, and no byte pieces (byte fallback, which from_texts never trains).
            try:
                pieces = [self._sp.id_to_piece(i) for i in range(self._sp.get_piece_size())]
            except UnicodeDecodeError as err:
                raise ValueError(f"SentencePiece model holds a piece that is not UTF-8 text ({err.reason})") from None
            if any(self._sp.is_byte(i) for i in range(len(pieces))):
                raise ValueError("SentencePiece model holds byte pieces (byte fallback), whose sequences need not be "
                                 "text")
            if tuple(pieces[:len(SPECIAL_TOKENS)]) != SPECIAL_TOKENS:
                raise ValueError(f"SentencePiece model must start with {SPECIAL_TOKENS}, got "
                                 f"{excerpt(tuple(pieces[:len(SPECIAL_TOKENS)]))}")
            self.vocab_size = len(pieces)

    @classmethod
    def from_texts(cls, texts: Sequence[str], kind: str = "char",
                   vocab_size: Optional[int] = None) -> "VaskTokenizer":
        """Builds a tokenizer from a list of transcripts.

        Args:
            texts: list or tuple of transcripts.
            kind: "char", "bpe" or "unigram".
            vocab_size: total number of ids, the four special ids included.
                Required for the subword kinds; for "char", None keeps every
                character seen and a number keeps only the most frequent ones.

        Example:
            >>> tok = VaskTokenizer.from_texts(corpus, kind="bpe", vocab_size=500)
        """
        if not isinstance(texts, (list, tuple)):
            raise TypeError(f"texts must be a list or tuple of str, got {type(texts).__name__}")
        for text in texts:
            if not isinstance(text, str):
                raise TypeError(f"texts must hold only str, got {text!r}")
        if kind not in KINDS:
            raise ValueError(f"kind must be one of {KINDS}, got {kind!r}")
        texts = [t for t in texts if t]
        if not texts:
            raise ValueError("texts must hold at least one non-empty transcript")
        if vocab_size is not None:
            if not isinstance(vocab_size, numbers.Real):
                raise TypeError(f"vocab_size must be a number, got {vocab_size!r}")
            vocab_size = int(vocab_size)
            if vocab_size <= len(SPECIAL_TOKENS):
                raise ValueError(f"vocab_size must exceed {len(SPECIAL_TOKENS)}, got {vocab_size}")
        if kind == "char":
            counts = collections.Counter(c for text in texts for c in text)
            # Most frequent first, ties by code point, then stored in code-point order.
            ranked = sorted(counts, key=lambda c: (-counts[c], c))
            if vocab_size is not None:
                ranked = ranked[:vocab_size - len(SPECIAL_TOKENS)]
            return cls("char", sorted(ranked))
        if vocab_size is None:
            raise ValueError(f"vocab_size is required for kind {kind!r}")
        model = _train_sentencepiece([_to_model_text(t) for t in texts], kind, vocab_size)
        return cls(kind, model, escaped=True)

    def encode(self, text: str) -> List[int]:
        """Ids of ``text``, without start or end id; "" gives []."""
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, got {type(text).__name__}")
        if self.kind == "char":
            return [self._char_ids.get(c, UNK_ID) for c in text]
        return self._sp.encode(_to_model_text(text) if self._escaped else text)

    def decode(self, ids: Iterable[int], skip_special_tokens: bool = False) -> str:
        """Text of ``ids``; padding, start and end ids become "<pad>", "<sos>"
        and "<eos>", or are dropped with ``skip_special_tokens``."""
        parts, run = [], []
        for token in ids:
            token = self._check_id(token)
            if token in (PAD_ID, SOS_ID, EOS_ID):
                parts.append(self._decode_run(run))
                run = []
                if not skip_special_tokens:
                    parts.append(SPECIAL_TOKENS[token])
            else:
                run.append(token)
        parts.append(self._decode_run(run))
        return "".join(parts)

    def save(self, path: Union[str, os.PathLike]) -> None:
        """Writes the tokenizer to one JSON file that :meth:`load` reads back.

        The file is replaced whole: if the tokenizer cannot be written, an earlier
        file at ``path`` stays as it was."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or path, got {type(path).__name__}")
        state = {"format": FILE_FORMAT, "kind": self.kind}
        if self.kind == "char":
            state["symbols"] = self._pieces[len(SPECIAL_TOKENS):]
        else:
            state["sentencepiece_model"] = base64.b64encode(self._model_proto).decode("ascii")
            state["escaped"] = self._escaped
        write_bytes(path, json.dumps(state, ensure_ascii=False).encode("utf-8"))

    @classmethod
    def load(cls, path: Union[str, os.PathLike]) -> "VaskTokenizer":
        """Reads a tokenizer written by :meth:`save`.

        The file is checked before anything is built from it: a damaged one (or one that is
        not a tokenizer at all) raises ``ValueError`` naming the file and what is wrong."""
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"path must be a str or path, got {type(path).__name__}")
        name = os.fsdecode(path)
        state = load_json(path)
        if not isinstance(state, dict) or state.get("format") != FILE_FORMAT:
            raise ValueError(f"{name!r} is not a tokenizer file")
        kind = state.get("kind")
        if kind not in KINDS:
            raise ValueError(f"{name}: kind must be one of {KINDS}, got {excerpt(kind)}")
        key, stored = ("symbols", list) if kind == "char" else ("sentencepiece_model", str)
        # Files written before the stand-ins existed hold models trained on the raw texts.
        escaped = state.get("escaped", False)
        for entry, value, wanted in ((key, state.get(key), stored), ("escaped", escaped, bool)):
            if type(value) is not wanted:
                raise ValueError(f"{name}: {entry} must be a {wanted.__name__}, got {excerpt(value)}")
        model = state[key]
        if kind != "char":
            try:
                model = base64.b64decode(model, validate=True)
            except ValueError as err:  # binascii.Error
                raise ValueError(f"{name}: {key} is not base64 text ({err})") from None
        try:
            return cls(kind, model, escaped=escaped)
        except (ValueError, TypeError) as err:
            raise ValueError(f"{name}: {err}") from None

    def _check_id(self, token) -> int:
        try:
            token = operator.index(token)
        except TypeError:
            raise TypeError(f"token ids must be integers, got {token!r}") from None
        if not 0 <= token < self.vocab_size:
            raise ValueError(f"token id {token} is outside the vocabulary of size {self.vocab_size}")
        return token

    def _decode_run(self, run: List[int]) -> str:
        if self.kind == "char":
            return "".join(self._pieces[i] for i in run)
        # Pieces carry their own spaces (no dummy prefix), so runs concatenate.
        text = self._sp.decode(run)
        return _from_model_text(text) if self._escaped else text

    def __eq__(self, other) -> bool:
        """Two tokenizers are equal when they turn every text into the same ids."""
        if not isinstance(other, VaskTokenizer):
            return NotImplemented
        return self._state() == other._state()

    def __hash__(self) -> int:
        return hash(self._state())

    def _state(self) -> tuple:
        if self.kind == "char":
            return (self.kind, tuple(self._pieces))
        return (self.kind, self._escaped, self._model_proto)

    def __repr__(self) -> str:
        return f"VaskTokenizer(kind={self.kind!r}, vocab_size={self.vocab_size})"


def _train_sentencepiece(texts: List[str], kind: str, vocab_size: int) -> bytes:
    model = io.BytesIO()
    try:
        sentencepiece.SentencePieceTrainer.train(
            sentence_iterator=iter(texts), model_writer=model,
            model_type=kind, vocab_size=vocab_size, character_coverage=1.0,
            # Keep the text exactly as given so that decoding restores it.
            normalization_rule_name="identity", remove_extra_whitespaces=False,
            add_dummy_prefix=False,
            max_sentence_length=max(4192, max(len(t.encode("utf-8")) for t in texts) + 1),
            pad_id=PAD_ID, bos_id=SOS_ID, eos_id=EOS_ID, unk_id=UNK_ID,
            pad_piece=SPECIAL_TOKENS[PAD_ID], bos_piece=SPECIAL_TOKENS[SOS_ID],
            eos_piece=SPECIAL_TOKENS[EOS_ID], unk_piece=SPECIAL_TOKENS[UNK_ID],
            unk_surface=SPECIAL_TOKENS[UNK_ID], minloglevel=2)
    except RuntimeError as err:
        # SentencePiece reports an unusable vocab_size as an internal error.
        reason = str(err).split("] ", 1)[-1]
        raise ValueError(f"cannot train a {kind!r} tokenizer with vocab_size={vocab_size}: {reason}") from None
    return model.getvalue()

import base64
import io
import json
import random

import pytest
import sentencepiece

from quorlin.data.tokenizer import VaskTokenizer, _train_sentencepiece

CORPUS = [
    "HE HAD BEEN OUT ALL NIGHT AND THE DOG WAS STILL WAITING",
    "SHE SAID IT'S NOT THE SAME RIVER TWICE",
    "THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG",
    "WE WALKED  BY THE OLD MILL AT DAWN ",
    "NOBODY KNEW WHY THE BELLS RANG AT MIDNIGHT",
] * 8

KINDS = [("char", None), ("bpe", 60), ("unigram", 45)]


@pytest.fixture(scope="module", params=KINDS, ids=[k for k, _ in KINDS])
def tokenizer(request):
    kind, vocab_size = request.param
    return VaskTokenizer.from_texts(CORPUS, kind=kind, vocab_size=vocab_size)


def test_special_ids_and_vocab_size(tokenizer):
    assert (tokenizer.pad_id, tokenizer.sos_id, tokenizer.eos_id, tokenizer.unk_id) == (0, 1, 2, 3)
    if tokenizer.kind == "char":
        assert tokenizer.vocab_size == 4 + len(set("".join(CORPUS)))
    else:
        assert tokenizer.vocab_size == dict(KINDS)[tokenizer.kind]
    ids = [i for text in CORPUS for i in tokenizer.encode(text)]
    assert min(ids) >= 4 and max(ids) < tokenizer.vocab_size


@pytest.mark.parametrize("text", [
    "THE DOG WAS WAITING", " LEADING AND TRAILING  SPACES ", "WHY'S", "A", "",
])
def test_round_trip_within_vocabulary(tokenizer, text):
    ids = tokenizer.encode(text)
    assert isinstance(ids, list) and all(type(i) is int for i in ids)
    assert tokenizer.decode(ids) == text
    assert tokenizer.decode(ids, skip_special_tokens=True) == text


def test_empty_text_encodes_to_empty_list(tokenizer):
    assert tokenizer.encode("") == []
    assert tokenizer.decode([]) == ""


def test_unknown_symbols_map_to_unknown_id(tokenizer):
    ids = tokenizer.encode("DOG€x\n▁")
    assert tokenizer.unk_id in ids
    # Characters map one by one; SentencePiece folds a run of unknown characters into one piece.
    expected = "DOG" + "<unk>" * 4 if tokenizer.kind == "char" else "DOG<unk>"
    assert tokenizer.decode(ids) == expected


def test_special_tokens_kept_or_skipped(tokenizer):
    body = tokenizer.encode("THE DOG")
    ids = [tokenizer.sos_id] + body + [tokenizer.eos_id, tokenizer.pad_id, tokenizer.pad_id]
    assert tokenizer.decode(ids, skip_special_tokens=True) == "THE DOG"
    assert tokenizer.decode(ids) == "<sos>THE DOG<eos><pad><pad>"
    # A special id in the middle does not swallow a neighbouring space.
    mid = tokenizer.encode("THE") + [tokenizer.pad_id] + tokenizer.encode(" DOG")
    assert tokenizer.decode(mid, skip_special_tokens=True) == "THE DOG"


def test_save_and_load_give_identical_ids(tokenizer, tmp_path):
    path = tmp_path / "tok.json"
    tokenizer.save(path)
    loaded = VaskTokenizer.load(str(path))
    assert (loaded.kind, loaded.vocab_size) == (tokenizer.kind, tokenizer.vocab_size)
    for text in CORPUS[:5] + ["UNSEEN € TEXT"]:
        assert loaded.encode(text) == tokenizer.encode(text)
    every_id = list(range(tokenizer.vocab_size))
    assert loaded.decode(every_id) == tokenizer.decode(every_id)


# Characters that SentencePiece strips, drops or reads specially, the private-use characters
# that stand in for them, and literal special pieces.
TRICKY = ["\n", "\r", "\r\n", "\t", "\x00", "\x1f", " ", "▁", "▅", "<", ">", "<pad>", "<unk>",
          "<sos>", "<eos>", "\U000F0000", "\U000F0001", "\U000F0007", "é", "😀"]


def random_texts(rng, count):
    # A few random code points per corpus; no lone surrogates, which UTF-8 cannot hold.
    rare = [chr(rng.choice([rng.randrange(0x21, 0xD800), rng.randrange(0xE000, 0x110000)]))
            for _ in range(4)]
    pieces = list("abcdefg   ") + TRICKY + rare
    return ["".join(rng.choice(pieces) for _ in range(rng.randrange(25))) for _ in range(count)]


@pytest.mark.parametrize("seed", range(4))
def test_random_texts_round_trip_exactly(seed, tmp_path):
    rng = random.Random(seed)
    texts = random_texts(rng, 40)
    seen = sorted(set("".join(texts)))
    recombined = ["".join(rng.choices(seen, k=rng.randrange(1, 30))) for _ in range(20)]
    for kind in ("char", "bpe", "unigram"):
        vocab_size = None if kind == "char" else 4 + len(seen) + 12
        tokenizer = VaskTokenizer.from_texts(texts, kind=kind, vocab_size=vocab_size)
        tokenizer.save(tmp_path / "tok.json")
        loaded = VaskTokenizer.load(tmp_path / "tok.json")
        for text in texts + recombined:
            ids = tokenizer.encode(text)
            assert min(ids, default=4) >= 4, (kind, text)  # neither unknown nor special
            assert tokenizer.decode(ids) == text, (kind, text)
            assert tokenizer.decode(ids, skip_special_tokens=True) == text, (kind, text)
            assert loaded.encode(text) == ids


@pytest.mark.parametrize("kind", ["bpe", "unigram"])
def test_files_of_models_trained_on_raw_texts_still_load(kind, tmp_path):
    """Files written before the reserved characters had stand-ins hold no "escaped" entry."""
    model = _train_sentencepiece(CORPUS + ["<LAUGH> WELL\nTHEN"] * 4, kind, dict(KINDS)[kind])
    path = tmp_path / "old.json"
    path.write_text(json.dumps({"format": "vask-tokenizer", "kind": kind,
                                "sentencepiece_model": base64.b64encode(model).decode("ascii")}))
    loaded = VaskTokenizer.load(path)
    raw = sentencepiece.SentencePieceProcessor(model_proto=model)
    for text in ["<LAUGH> WELL\nTHEN", "THE DOG <LAUGH>"]:
        assert loaded.encode(text) == raw.encode(text)
        assert loaded.decode(raw.encode(text)) == raw.decode(raw.encode(text)) == text


def test_failed_save_keeps_the_earlier_file(tmp_path):
    path = tmp_path / "tok.json"
    VaskTokenizer.from_texts(CORPUS).save(path)
    before = path.read_bytes()
    with pytest.raises(UnicodeEncodeError):
        VaskTokenizer.from_texts(["AB\ud800"]).save(path)  # a lone surrogate has no UTF-8 form
    assert path.read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["tok.json"]


def test_subword_pieces_are_longer_than_characters():
    bpe = VaskTokenizer.from_texts(CORPUS, kind="bpe", vocab_size=80)
    text = "THE DOG WAS STILL WAITING"
    assert len(bpe.encode(text)) < len(text)


def test_char_vocab_size_keeps_most_frequent():
    tok = VaskTokenizer.from_texts(["AAAB", "AC"], vocab_size=6)  # A (4), then B/C tie -> B
    assert tok.vocab_size == 6
    assert tok.encode("ABC") == [4, 5, tok.unk_id]


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(texts="ABC"), TypeError, "texts must be a list or tuple of str, got str"),
    (dict(texts=["A", 3]), TypeError, "texts must hold only str, got 3"),
    (dict(texts=["A"], kind="word"), ValueError, "kind must be one of .* got 'word'"),
    (dict(texts=["", ""]), ValueError, "at least one non-empty transcript"),
    (dict(texts=["A"], vocab_size=4), ValueError, "vocab_size must exceed 4, got 4"),
    (dict(texts=["A"], vocab_size="9"), TypeError, "vocab_size must be a number, got '9'"),
    (dict(texts=["ABC"], kind="bpe"), ValueError, "vocab_size is required for kind 'bpe'"),
    (dict(texts=CORPUS, kind="bpe", vocab_size=10), ValueError, "vocab_size=10: Vocabulary size is smaller"),
])
def test_from_texts_argument_errors(kwargs, error, match):
    with pytest.raises(error, match=match):
        VaskTokenizer.from_texts(**kwargs)


def test_bad_calls(tokenizer, tmp_path):
    with pytest.raises(TypeError, match="text must be a str, got bytes"):
        tokenizer.encode(b"DOG")
    with pytest.raises(ValueError, match=f"token id {tokenizer.vocab_size} is outside"):
        tokenizer.decode([tokenizer.vocab_size])
    with pytest.raises(TypeError, match="token ids must be integers, got 1.5"):
        tokenizer.decode([1.5])
    bad = tmp_path / "bad.json"
    bad.write_text("{not json")
    with pytest.raises(ValueError, match="bad.json is not valid JSON"):
        VaskTokenizer.load(bad)


@pytest.mark.parametrize("state, message", [
    ({"kind": "bpe", "sentencepiece_model": base64.b64encode(b"\x0a\x07garbage" * 20).decode()},
     "model is not a SentencePiece model: "),
    ({"kind": "bpe", "sentencepiece_model": "not base64!"},
     "sentencepiece_model is not base64 text (Only base64 data is allowed)"),
    ({"kind": "unigram", "sentencepiece_model": 12}, "sentencepiece_model must be a str, got 12"),
    ({"kind": "char", "symbols": "ABC"}, "symbols must be a list, got 'ABC'"),
    ({"kind": "char", "symbols": ["A", "A"]}, "char vocabulary must be distinct single characters, got ['A', 'A']"),
    ({"kind": "char", "symbols": ["AB"] * 1000},
     "char vocabulary must be distinct single characters, got ['AB', 'AB', 'AB', 'AB', ...]"),
    ({"kind": "char", "symbols": ["A"], "escaped": "yes"}, "escaped must be a bool, got 'yes'"),
    ({"kind": ["char"]}, "kind must be one of ('char', 'bpe', 'unigram'), got ['char']"),
])
def test_damaged_files_are_refused_naming_what_is_wrong(tmp_path, state, message):
    path = tmp_path / "tok.json"
    path.write_text(json.dumps({"format": "vask-tokenizer", **state}))
    with pytest.raises(ValueError) as error:
        VaskTokenizer.load(path)
    assert str(error.value).startswith(f"{path}: {message}"), str(error.value)
    path.write_text("[" * 5000 + "]" * 5000)
    with pytest.raises(ValueError, match="tok.json is nested more than 32 levels deep"):
        VaskTokenizer.load(path)


def test_subword_models_whose_pieces_are_not_all_text_are_refused():
    """Decoding such a model's ids could raise in the middle of a transcription."""
    tokenizer = VaskTokenizer.from_texts(CORPUS, kind="bpe", vocab_size=60)
    piece = next(p for p in map(tokenizer._sp.id_to_piece, range(tokenizer.vocab_size)) if len(p) == 3 and p.isascii())
    # The piece's bytes in the serialized model (field 1, 3 bytes long), swapped for bytes that are not UTF-8.
    damaged = tokenizer._model_proto.replace(b"\x0a\x03" + piece.encode(), b"\x0a\x03\xc9\x96\x81", 1)
    with pytest.raises(ValueError, match=r"^SentencePiece model holds a piece that is not UTF-8 text"):
        VaskTokenizer("bpe", damaged, escaped=True)
    model = io.BytesIO()
    sentencepiece.SentencePieceTrainer.train(
        sentence_iterator=iter(CORPUS), model_writer=model, model_type="bpe", vocab_size=300, byte_fallback=True,
        pad_id=0, bos_id=1, eos_id=2, unk_id=3, pad_piece="<pad>", bos_piece="<sos>", eos_piece="<eos>",
        unk_piece="<unk>", minloglevel=2)
    with pytest.raises(ValueError, match=r"^SentencePiece model holds byte pieces \(byte fallback\)"):
        VaskTokenizer("bpe", model.getvalue())

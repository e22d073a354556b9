import pytest

from quorlin.data.tokenizer import VaskTokenizer

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
    ids = tokenizer.encode("DOG€x")
    assert tokenizer.unk_id in ids
    # Characters map one by one; SentencePiece folds a run of unknown characters into one piece.
    expected = "DOG<unk><unk>" if tokenizer.kind == "char" else "DOG<unk>"
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
    with pytest.raises(ValueError, match="is not a tokenizer file"):
        VaskTokenizer.load(bad)

import gzip
import json
import pickle
import random
from pathlib import Path

import numpy as np
import pytest
import soundfile

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.prep import librispeech_utterances, normalize_transcript
from quorlin.prep.text import TextNormalizer

DEMO_CORPUS = Path(__file__).parents[2] / "demo" / "kjv"
ENGLISH = {"normalization": "NFKD", "case": "upper", "alphabet": "ABCDEFGHIJKLMNOPQRSTUVWXYZ'"}


def test_english_setting_reproduces_the_demo_corpus_normalisation():
    english = TextNormalizer(ENGLISH)
    lines = [line.rstrip("\n").split(" ", 1)[1] for path in sorted(DEMO_CORPUS.glob("*/*/*/*.trans.txt"))
             for line in path.read_text(encoding="utf-8").splitlines(keepends=True)]
    with gzip.open(DEMO_CORPUS / "lm-text.txt.gz", "rt", encoding="utf-8") as f:
        lines += [line.rstrip("\n") for line in f]
    assert len(lines) > 40000
    assert [english(line) for line in lines] == [normalize_transcript(line) for line in lines] == lines
    assert english.report() is None

    # Raw text too: accents, digits, quotes, ligatures, other scripts. Invisible format
    # characters are left out here: normalize_transcript turns them into spaces.
    pool = list("AbzÉéñÑİıß' \t\u2019\u2018`\u02bc,.;:!?-\u2014\"()0129")
    pool += list("\u00d8\u03a9\u0416\u4f60\ufb01\u00b2\u0390\u0301")
    rng = random.Random(0)
    raw = ["Behold, the Lamb of God\u2019s! (John 1:29) -- 'Na\u00efve", "MOSES' ROD  ", "1990's", "A''B ''C"]
    raw += ["".join(rng.choice(pool) for _ in range(rng.randint(0, 14))) for _ in range(3000)]
    assert [english(t) for t in raw] == [normalize_transcript(t) for t in raw]


@pytest.mark.parametrize("text, expected", [
    ("Grüß Gott, Herr Müller! Wie geht\u2019s?", "Grüß Gott Herr Müller Wie geht's"),
    ("\u00ab L\u2019homme \u00bb, dit-il : c\u2019est l'été.", "L'homme dit il c'est l'été"),
    ("Съешь же ещё этих мягких французских булок, да выпей чаю.",
     "Съешь же ещё этих мягких французских булок да выпей чаю"),
    ("今天天气很好。我们去公园吧！", "今天天气很好 我们去公园吧"),
    ("東京は、晴れです。コーヒー々", "東京は 晴れです コーヒー々"),
    ("नमस्ते दुनिया। 5 30", "नमस्ते दुनिया 5 30"),
    ("'Quoted' \u201cdouble\u201d MOSES' rod ''x", "Quoted' double MOSES' rod x"),
    ("  tab\there\nnew\u00a0line\u2028  ", "tab here new line"),
    ("Zucker\u00adwatte\ufeff zero\u200bwidth", "Zuckerwatte zerowidth"),
    ("می\u200cخواهم \u200dجا\u200d", "می\u200cخواهم جا"),   # the non-joiner stays inside a word only
    ("e\u0301te\u0301", "\u00e9t\u00e9"),                    # NFC composes
    (" ,.! ", ""),
])
def test_default_settings_keep_every_script(text, expected):
    normalizer = TextNormalizer()
    assert normalizer(text) == expected
    assert normalizer(expected) == expected
    assert normalizer.report() is None


@pytest.mark.parametrize("settings, text, expected", [
    ({"normalization": "NFD"}, "été", "e\u0301te\u0301"),
    ({"normalization": "NFKC"}, "\ufb01ne \uff21\uff22 x\u00b2", "fine AB x2"),
    ({"case": "lower"}, "ÄÖÜ ДОМ İ", "äöü дом i\u0307"),
    ({"case": "upper"}, "straße ёж", "STRASSE ЁЖ"),
    ({"remove_punctuation": False}, "  \u201cHallo\u201d,\tWelt! geht\u2019s ",
     "\u201cHallo\u201d, Welt! geht\u2019s"),
])
def test_each_setting(settings, text, expected):
    assert TextNormalizer(settings)(text) == expected


def test_characters_outside_the_alphabet_are_reported():
    normalizer = TextNormalizer({"case": "upper", "alphabet": "ABCDEFGHIJKLMNOPQRSTUVWXYZ'"})
    assert normalizer("Café au lait, naïve", where="train.tsv, line 3") == "CAF AU LAIT NA VE"
    assert normalizer("LET THERE BE LIGHT") == "LET THERE BE LIGHT"
    assert normalizer("CAFÉS 7'S", where="dev.tsv, line 9") == "CAF S S"
    long_text = "A" * 40 + " É " + "B" * 40
    assert normalizer(long_text) == "A" * 40 + " " + "B" * 40
    assert normalizer.report() == "\n".join([
        "5 characters outside the alphabet were removed from 3 of 4 texts:",
        "  'É' U+00C9 LATIN CAPITAL LETTER E WITH ACUTE: 3 times, first in train.tsv, line 3: "
        "\"CAFÉ AU LAIT NAÏVE\"",
        "  '7' U+0037 DIGIT SEVEN: 1 time, first in dev.tsv, line 9: \"CAFÉS 7'S\"",
        "  'Ï' U+00CF LATIN CAPITAL LETTER I WITH DIAERESIS: 1 time, first in train.tsv, line 3: "
        "\"CAFÉ AU LAIT NAÏVE\""])

    # Decomposed, the accent is the character outside the alphabet, and it goes without a space.
    decomposed = TextNormalizer(ENGLISH)
    assert decomposed(long_text) == "A" * 40 + " E " + "B" * 40
    assert decomposed.report() == (
        "1 character outside the alphabet was removed from 1 of 1 texts:\n"
        "  U+0301 COMBINING ACUTE ACCENT: 1 time, first in text 1: "
        f"\"...{'A' * 28} E\u0301 {'B' * 29}...\"")

    russian = TextNormalizer({"case": "lower", "alphabet": "абвгдеёжзийклмнопрстуфхцчшщъыьэюя"})
    assert russian("Ёлка, Ёж и ель.") == "ёлка ёж и ель"
    assert russian.report() is None


@pytest.mark.parametrize("settings, error, message", [
    ([("case", "upper")], TypeError, "prepare.text must be a mapping of settings, got list"),
    ({"lowercase": True}, ValueError, "prepare.text.lowercase is not a known key; prepare.text may hold: "
                                      "alphabet, case, normalization, remove_punctuation"),
    ({"normalization": "nfc"}, ValueError, "prepare.text.normalization must be one of 'NFC', 'NFKC', 'NFD', 'NFKD', "
                                           "got 'nfc'"),
    ({"case": "title", "remove_punctuation": "yes"}, ValueError,
     "prepare.text.case must be one of 'keep', 'upper', 'lower', got 'title'; "
     "prepare.text.remove_punctuation must be true or false, got 'yes'"),
    ({"alphabet": ""}, ValueError, "prepare.text.alphabet must be a non-empty string, got ''"),
    ({"alphabet": "AB C"}, ValueError,
     "prepare.text.alphabet must not hold white space (the space is always allowed), got ' ' in 'AB C'"),
    ({"case": "upper", "alphabet": "ABCß"}, ValueError,
     "prepare.text.alphabet holds 'ß' U+00DF LATIN SMALL LETTER SHARP S, which the other settings turn into 'SS', "
     "so it never reaches the alphabet"),
    ({"normalization": "NFD", "alphabet": "aä"}, ValueError,
     "prepare.text.alphabet holds 'ä' U+00E4 LATIN SMALL LETTER A WITH DIAERESIS, which the other settings turn "
     "into 'a\u0308', so it never reaches the alphabet"),
    ({"alphabet": "AB-"}, ValueError, "prepare.text.alphabet holds '-' U+002D HYPHEN-MINUS, which the other "
                                      "settings turn into ' ', so it never reaches the alphabet"),
])
def test_settings_are_checked(settings, error, message):
    with pytest.raises(error) as err:
        TextNormalizer(settings)
    assert str(err.value) == message


def test_settings_pickling_and_repeated_use():
    assert TextNormalizer().settings == TextNormalizer(None).settings == {
        "normalization": "NFC", "case": "keep", "remove_punctuation": True, "alphabet": None}
    assert TextNormalizer({"remove_punctuation": False, "alphabet": "AB-,"}).settings == {
        "normalization": "NFC", "case": "keep", "remove_punctuation": False, "alphabet": "AB-,"}
    normalizer = TextNormalizer({**ENGLISH, "normalization": "NFC"})
    assert json.loads(json.dumps(normalizer.settings)) == {**ENGLISH, "normalization": "NFC",
                                                           "remove_punctuation": True}
    assert normalizer("Ölweg", where="a, line 1") == "LWEG"
    copy = pickle.loads(pickle.dumps(normalizer))
    assert copy.settings == normalizer.settings and copy.report() == normalizer.report()
    assert copy("Ölweg über") == "LWEG BER"
    assert copy.report().startswith("3 characters outside the alphabet were removed from 2 of 2 texts:")
    assert normalizer.report().startswith("1 character outside the alphabet was removed from 1 of 1 texts:")

    # Normalising twice changes nothing, in every setting.
    texts = ["Grüß Gott, Herr Müller!", "Съешь ещё, «чаю»!", "今天天气很好。", "L\u2019été ''x' y", "naïve CAFÉ 7's"]
    for settings in ({}, {"normalization": "NFD", "case": "lower"}, {"normalization": "NFKC", "case": "upper"},
                     ENGLISH, {"remove_punctuation": False}):
        normalizer = TextNormalizer(settings)
        once = [normalizer(t) for t in texts]
        assert [normalizer(t) for t in once] == once
    with pytest.raises(TypeError, match="text must be a str, got bytes"):
        normalizer(b"x")


def test_spoken_corpora_keep_their_letters(spoken_corpus, spoken_sentences, tmp_path):
    german, russian = spoken_sentences["de"], spoken_sentences["ru"]
    assert len(german) == len(set(german)) == len(russian) == len(set(russian)) == 36
    assert set("äöüß") <= set("".join(german))
    # Every block of six sentences uses the whole vocabulary, so any block can be held out.
    for sentences, size in ((german, 21), (russian, 18)):
        vocabulary = {w for s in sentences for w in s.lower().split()}
        assert len(vocabulary) == size
        assert all({w for s in sentences[b:b + 6] for w in s.lower().split()} == vocabulary for b in range(0, 36, 6))
    assert all("\u0400" <= c <= "\u04ff" or c == " " for c in "".join(russian))

    for voice, sentences in (("de", german[:3]), ("ru", russian[:3])):
        root = spoken_corpus(tmp_path / voice, sentences, voice, speaker=7, chapter=2)
        assert (root / "7" / "2" / "7-2.trans.txt").read_text(encoding="utf-8") == "".join(
            f"7-2-{n:04d} {text}\n" for n, text in enumerate(sentences))
        utterances = librispeech_utterances(str(root))
        assert [u.utt_id for u in utterances] == ["7-2-0000", "7-2-0001", "7-2-0002"]
        normalizer = TextNormalizer()
        assert [normalizer(u.text) for u in utterances] == sentences
        for u in utterances:
            audio, rate = soundfile.read(u.audio_path, dtype="float32")
            assert rate == 16000 and audio.ndim == 1 and 0.5 < len(audio) / rate < 5
            assert np.sqrt(np.mean(audio ** 2)) > 0.01


def test_tokenizers_round_trip_umlauts_and_cyrillic(spoken_sentences):
    texts = [TextNormalizer()(t) for t in spoken_sentences["de"] + spoken_sentences["ru"]]
    char = VaskTokenizer.from_texts(texts)
    for letter in "äöüßёж":
        assert len(char.encode(letter)) == 1 and char.encode(letter) != [char.unk_id]
    bpe = VaskTokenizer.from_texts(texts, kind="bpe", vocab_size=120)
    for tokenizer in (char, bpe):
        for text in texts:
            assert tokenizer.unk_id not in tokenizer.encode(text)
            assert tokenizer.decode(tokenizer.encode(text)) == text
    for text in ("Der Bär grüßt später", "мальчик поёт весело", "füße"):
        assert bpe.decode(bpe.encode(text)) == text

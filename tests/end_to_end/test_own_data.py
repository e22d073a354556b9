"""A user's own data: corpora in other languages, and several evaluation sets."""
import json

import numpy as np
import pytest

from quorlin.cli import main
from quorlin.data.tokenizer import VaskTokenizer

LETTERS = {"de": set("äöüß"), "ru": set("абвгдежзийклмнопрстуфхцчшщъыьэюяё")}


@pytest.mark.parametrize("language, tokenizer", [("de", {"kind": "char"}),
                                                 ("ru", {"kind": "bpe", "vocab_size": 60})])
def test_a_corpus_in_its_own_language_keeps_its_letters(tmp_path, monkeypatch, spoken_corpus, spoken_sentences,
                                                        corpus, capsys, language, tokenizer):
    sentences = spoken_sentences[language]
    for split, chapter, chosen in (("train", 1, sentences[:24]), ("dev", 2, sentences[24:30]),
                                   ("test", 3, sentences[30:])):
        spoken_corpus(tmp_path / "audio" / split, chosen, language, speaker=1, chapter=chapter)
    monkeypatch.chdir(tmp_path)
    recipe, _ = corpus.make_recipe(tmp_path)
    recipe["prepare"] = {"train": "audio/train", "dev": "audio/dev", "test": "audio/test"}  # the default text setting
    recipe["asr"]["epochs"] = 2
    _, path = corpus.make_recipe(tmp_path, tokenizer=tokenizer, prepare=recipe["prepare"], asr=recipe["asr"],
                                 evaluate={"beam_width": 2, "ctc_weight": 0.3})
    for command in ("prepare", "train-asr", "evaluate"):
        assert main([command, path]) == 0, command
    references = (tmp_path / "data/asr/test/references.tsv").read_text(encoding="utf-8")
    assert references.splitlines()[0] == f"1-3-0000\t{sentences[30]}"
    letters = LETTERS[language]
    assert letters & set(references)
    vocabulary = VaskTokenizer.load(tmp_path / "expts/tiny-asr/tokenizer.json")
    assert vocabulary.kind == tokenizer["kind"]
    texts = [line.split("\t", 1)[1] for line in references.splitlines()]
    assert all(vocabulary.decode(vocabulary.encode(text)) == text for text in texts)  # every letter has its ids
    capsys.readouterr()
    assert main(["transcribe", "expts/tiny-asr", "audio/test", "--format", "json"]) == 0
    transcripts = json.loads(capsys.readouterr().out)
    assert len(transcripts) == 6 and all(t["error"] is None for t in transcripts)
    # Whatever the tiny model says, it says it in the corpus's own alphabet.
    spoken = "".join(t["text"] for t in transcripts)
    assert set(spoken) <= set("".join(texts)) | {" "}


def test_search_settings_are_chosen_on_dev_and_every_test_set_is_scored_with_them(workdir, corpus, capsys,
                                                                                     edit_distance):
    corpus.make_corpus(workdir / "audio", "test2", 3, 4, np.random.default_rng(4), speaker=8)
    recipe, path = corpus.make_recipe(workdir)
    recipe["prepare"]["test"] = {"test-clean": "audio/test", "test-other": "audio/test2"}
    _, path = corpus.make_recipe(workdir, prepare=recipe["prepare"],
                                 evaluate={"beam_width": [1, 3], "ctc_weight": [0.0, 0.3], "batch_size": 2})
    assert main(["prepare", path]) == 0
    assert "test-other: 3 prepared, 0 already there" in capsys.readouterr().out
    assert main(["evaluate", path]) == 0
    out = capsys.readouterr().out
    rows = [[cell.strip() for cell in line.split("|")[1:-1]] for line in out[out.index("| Set"):].splitlines()[2:]
            if line.startswith("|")]
    assert [row[:2] for row in rows[:4]] == [["dev", "greedy"], ["dev", "greedy_ctc0.3"],
                                             ["dev", "beam_3"], ["dev", "beam_3_ctc0.3"]]

    def cer(name, setting):
        references = dict(line.split("\t") for line in
                          (workdir / f"data/asr/{name}/references.tsv").read_text().splitlines())
        hypotheses = dict(line.split("\t") for line in
                          (workdir / f"expts/tiny-asr/transcripts/{name}/{setting}.tsv").read_text().splitlines())
        assert sorted(hypotheses) == sorted(references)
        errors = sum(edit_distance(references[i], hypotheses[i]) for i in references)
        return 100 * errors / sum(len(text) for text in references.values())

    dev_cers = [cer("dev", row[1]) for row in rows[:4]]
    chosen = int(np.argmin(dev_cers))
    assert [row[8] for row in rows[:4]] == ["*" if i == chosen else "" for i in range(4)]
    assert [row[:2] for row in rows[4:]] == [["test-clean", rows[chosen][1]], ["test-other", rows[chosen][1]]]
    for row, expected in zip(rows, dev_cers + [cer(row[0], row[1]) for row in rows[4:]]):
        assert float(row[5]) == pytest.approx(expected, abs=0.006)
    chosen_search = json.loads((workdir / "expts/tiny-asr/recognizer.json").read_text())["search"]
    assert chosen_search["chosen_on"] == "dev" and chosen_search["beam_width"] == int(rows[chosen][2])
    # No language model was compared on dev: transcription with one keeps its default weight.
    assert "lm_weight" not in chosen_search

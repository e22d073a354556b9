"""One corpus in every layout a source may have: each prepares the same data, byte for byte."""
import json
import os
from pathlib import Path

import numpy as np
import pytest
import soundfile
import yaml

from quorlin.cli import main

RATE = 22050
SETS = {"train": 4, "dev": 2, "test": 2}


def _corpus(speech):
    """A LibriSpeech-style tree at 22.05 kHz, and the (id, audio path, text) of every set."""
    rng = np.random.default_rng(5)
    utterances = {}
    for chapter, (split, count) in enumerate(SETS.items(), start=1):
        folder = Path("tree", split, "7", str(chapter))
        folder.mkdir(parents=True)
        lines, utterances[split] = [], []
        for i in range(count):
            utt_id, text = f"7-{chapter}-{i:04d}", " ".join(rng.choice(["LET", "THERE", "BE", "LIGHT"], size=3))
            soundfile.write(folder / f"{utt_id}.wav", speech(text, RATE, rng), RATE, subtype="PCM_16")
            lines.append(f"{utt_id} {text}\n")
            utterances[split].append((utt_id, str(folder / f"{utt_id}.wav"), text))
        (folder / f"7-{chapter}.trans.txt").write_text("".join(lines))
    return utterances


def _layouts(utterances):
    """Each layout's source per set, written beside the tree: manifests in "lists/", whose audio
    paths are relative to it, and Kaldi-style folders, whose paths are relative to here."""
    Path("lists").mkdir()
    up = lambda path: os.path.join("..", path)
    sources = {"tree": {split: f"tree/{split}" for split in SETS}}
    for form, line in (("tsv", lambda i, a, t: f"{up(a)}\t{t}"), ("ids", lambda i, a, t: f"{i}\t{up(a)}\t{t}"),
                       ("jsonl", lambda i, a, t: json.dumps({"audio_filepath": up(a), "text": t, "duration": 1.0,
                                                            "id": i}))):
        sources[form] = {}
        for split, items in utterances.items():
            path = Path("lists", f"{split}.{form}")
            path.write_text("".join(line(*item) + "\n" for item in reversed(items)))
            sources[form][split] = str(path)
    sources["kaldi"] = {}
    for split, items in utterances.items():
        folder = Path("kaldi", split)
        folder.mkdir(parents=True)
        (folder / "wav.scp").write_text("".join(f"{i} {a}\n" for i, a, _ in items))
        (folder / "text").write_text("".join(f"{i} {t}\n" for i, _, t in items))
        (folder / "utt2spk").write_text("".join(f"{i} 7\n" for i, _, _ in items))  # read by other tools only
        sources["kaldi"][split] = str(folder)
    return sources


def _files(root):
    return {path.relative_to(root).as_posix(): path.read_bytes() for path in sorted(Path(root).rglob("*"))
            if path.is_file() and path.name != ".lock"}


def test_every_layout_prepares_the_same_corpus(tmp_path, monkeypatch, corpus, capsys):
    monkeypatch.chdir(tmp_path)
    sources = _layouts(_corpus(corpus.speech))
    prepared = {}
    for form, splits in sources.items():
        # Each recipe's data goes to data/<recipe name>/: one folder per layout.
        Path(f"{form}.yaml").write_text(yaml.safe_dump({"prepare": splits, "lm": {"run_name": "lm"},
                                                        "asr": {"run_name": "asr"}}))
        assert main(["prepare", f"{form}.yaml", "-j", "1"]) == 0, capsys.readouterr().err
        prepared[form] = _files(f"data/{form}")
    assert len(prepared["tree"]) > 40  # features, transcripts, references and records of the three sets
    for form, files in prepared.items():
        assert files == prepared["tree"], form
    # The sets keep the recipe's names: "train", "dev" and "test" for single sources, with the 0.9x and 1.1x copies.
    assert sorted(os.listdir("data/tree/asr")) == [".lock", "dev", "test", "tokenizer.json", "train"]
    assert sorted(os.listdir("data/tree/asr/train/fbank"))[:3] == ["7-1-0000.npy", "7-1-0000_sp0.9.npy",
                                                                   "7-1-0000_sp1.1.npy"]


def test_manifests_of_no_known_form_show_the_forms_and_the_line(tmp_path, monkeypatch, capsys, corpus):
    monkeypatch.chdir(tmp_path)
    utterances = _corpus(corpus.speech)
    _layouts(utterances)
    forms = ('"audio<TAB>text", "id<TAB>audio<TAB>text" or JSON lines such as {"audio_filepath": "a.wav", '
             '"text": "...", "duration": 1.5}')
    for text, message in [
            ("tree/train/7/1/7-1-0000.wav  LET THERE\n", f"lists/bad.txt, line 1: 'tree/train/7/1/7-1-0000.wav  LET "
                                                         f"THERE' is no manifest line; a manifest's lines are {forms}"),
            ('{"audio": "a.wav", "text": "LET"}\n', "lists/bad.txt, line 1: expected JSON lines such as "
                                                    '{"audio_filepath": "a.wav", "text": "...", "duration": 1.5} as on '
                                                    'the first line: an object with "audio_filepath" and "text" '
                                                    "strings, got '{\"audio\": \"a.wav\", \"text\": \"LET\"}'"),
            ("a\t../tree/train/7/1/7-1-0000.wav\tLET\n../tree/train/7/1/7-1-0001.wav\tBE\n",
             "lists/bad.txt, line 2: expected \"id<TAB>audio<TAB>text\" as on the first line, "
             "got '../tree/train/7/1/7-1-0001.wav\\tBE'")]:
        Path("lists/bad.txt").write_text(text)
        Path("bad.yaml").write_text(yaml.safe_dump({"prepare": {"train": "lists/bad.txt", "dev": "lists/dev.tsv",
                                                                "test": "lists/test.tsv"},
                                                    "lm": {"run_name": "lm"}, "asr": {"run_name": "asr"}}))
        assert main(["prepare", "bad.yaml"]) == 1
        assert capsys.readouterr().err == f"quorlin: error: {message}\n"


@pytest.mark.parametrize("form", ["tsv", "ids"])
def test_two_files_of_one_name_need_ids_of_their_own(tmp_path, monkeypatch, form, capsys):
    monkeypatch.chdir(tmp_path)
    for speaker in ("a", "b"):
        Path(speaker).mkdir()
        soundfile.write(f"{speaker}/clip.wav", np.zeros(4000, dtype=np.float32), 16000)
    lines = {"tsv": "a/clip.wav\tONE\nb/clip.wav\tTWO\n", "ids": "a-clip\ta/clip.wav\tONE\nb-clip\tb/clip.wav\tTWO\n"}
    Path("train.tsv").write_text(lines[form])
    from quorlin.prep import PreparationError, manifest_utterances
    if form == "ids":
        assert [u.utt_id for u in manifest_utterances("train.tsv")] == ["a-clip", "b-clip"]
        return
    with pytest.raises(PreparationError) as error:
        manifest_utterances("train.tsv")
    assert str(error.value) == ("utterance id used twice, clip: a/clip.wav and b/clip.wav; give each utterance an "
                                "id: \"id<TAB>audio<TAB>text\" lines")

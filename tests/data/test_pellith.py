import os
import random

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader

from quorlin.console import progress_bar
from quorlin.data.pellith import Pellith

TEXTS = ["THE CAT", "A", "", "ONCE UPON A TIME", "DOGS BARK", "IT'S", "HELLO THERE"]


@pytest.fixture
def lm_root(tmp_path, save_transcript):
    part = tmp_path / "train"
    part.mkdir()
    for i, text in enumerate(TEXTS):
        save_transcript(part / f"t{i:02d}.npy", text)
    (part / "notes.txt").write_text("ignored")
    return tmp_path


def test_loads_tokenises_and_keeps_invariants(lm_root, char_tokenizer, capsys):
    ds = Pellith("train", {"root": str(lm_root)}, char_tokenizer)
    assert capsys.readouterr().out == "Loading transcripts for train partition...\n"
    assert list(vars(ds)) == [
        "config", "partition", "tokenizer", "eos_token", "sos_token", "pad_token", "text_dir", "text_files",
        "transcripts_shifted", "transcripts_golden", "total_chars", "total_tokens", "text_max_len",
        "avg_chars_per_token", "length"]
    assert ds.text_files == [os.path.join(str(lm_root), "train", f"t{i:02d}.npy") for i in range(len(TEXTS))]
    assert len(ds) == ds.length == len(TEXTS)
    for text, shifted, golden in zip(TEXTS, ds.transcripts_shifted, ds.transcripts_golden):
        ids = char_tokenizer.encode(text)
        assert shifted == [ds.sos_token] + ids and golden == ids + [ds.eos_token]
        assert shifted[1:] == golden[:-1]
    assert ds.total_chars == ds.total_tokens == sum(map(len, TEXTS))
    assert ds.text_max_len == len("ONCE UPON A TIME") + 1
    assert ds.get_avg_chars_per_token() == 1.0
    shifted, golden = ds[0]
    assert shifted.dtype == golden.dtype == torch.int64 and shifted.shape == golden.shape == (8,)


def test_progress_bar_advances_chunk_by_chunk(tmp_path, char_tokenizer, save_transcript, monkeypatch):
    import quorlin.data.pellith as pellith
    (tmp_path / "big").mkdir()
    for i in range(130):
        save_transcript(tmp_path / "big" / f"{i:03d}.npy", "AB")
    steps = []

    def recording_bar(*args, **kwargs):
        bar = progress_bar(*args, **kwargs)
        update = bar.update
        bar.update = lambda n=1: (steps.append(n), update(n))[1]
        return bar

    monkeypatch.setattr(pellith, "progress_bar", recording_bar)
    Pellith("big", {"root": str(tmp_path)}, char_tokenizer)
    assert steps == [64, 64, 2]


def test_empty_partition(tmp_path, char_tokenizer):
    (tmp_path / "empty").mkdir()
    (tmp_path / "empty" / "readme.md").write_text("no transcripts")
    ds = Pellith("empty", {"root": str(tmp_path)}, char_tokenizer)
    assert ds.length == 0 and ds.text_max_len == 0
    assert ds.avg_chars_per_token == 0 and type(ds.avg_chars_per_token) is int


@pytest.mark.parametrize("section, kept", [
    ({"subset_size": 0.5}, 3), ({"subset_size": 3}, 3), ({"subset_size": 1}, 7), ({"subset_size": -2}, 7),
    ({"subset": 0.3}, 2), ({"subset_size": 2, "subset": 5}, 2), ({}, 7),
])
def test_subsets(lm_root, char_tokenizer, section, kept):
    ds = Pellith("train", {"root": str(lm_root), **section}, char_tokenizer)
    assert ds.length == kept
    assert ds.text_files == [os.path.join(str(lm_root), "train", f"t{i:02d}.npy") for i in range(kept)]


def test_dataset_section_is_the_data_section(lm_root, char_tokenizer):
    config = {"root": "/nowhere", "dataset": {"root": str(lm_root), "subset_size": 2}}
    ds = Pellith("train", config, char_tokenizer)
    assert ds.config is config and ds.length == 2
    with pytest.raises(KeyError):
        Pellith("train", {"dataset": {}, "root": str(lm_root)}, char_tokenizer)


def test_collate_pads_with_pad_token(lm_root, char_tokenizer):
    ds = Pellith("train", {"root": str(lm_root)}, char_tokenizer)
    loader = DataLoader(ds, batch_size=2, collate_fn=ds.collate_fn)
    shifted, golden, lengths = next(iter(loader))  # "THE CAT" (8) and "A" (2)
    assert shifted.shape == golden.shape == (2, 8)
    assert lengths.tolist() == [8, 2] and lengths.dtype == torch.int64
    assert shifted[1].tolist() == [ds.sos_token] + char_tokenizer.encode("A") + [ds.pad_token] * 6
    assert golden[1].tolist() == char_tokenizer.encode("A") + [ds.eos_token] + [ds.pad_token] * 6

    a, b = ds.collate_fn([(torch.arange(1, 4), torch.arange(2, 5)), (torch.arange(1, 6), torch.arange(2, 7))])[:2]
    assert a.tolist() == [[1, 2, 3, ds.pad_token, ds.pad_token], [1, 2, 3, 4, 5]]
    assert b[0, 3:].tolist() == [ds.pad_token] * 2


def test_sample_prompts(lm_root, char_tokenizer):
    ds = Pellith("train", {"root": str(lm_root)}, char_tokenizer)
    prompts, originals = ds.sample_prompts(2, 4)
    again, _ = ds.sample_prompts(2, 4)
    assert torch.equal(prompts, again)
    assert prompts.shape == (2, 4) and prompts.dtype == torch.int64
    assert (prompts[:, 0] == ds.sos_token).all()
    valid = [i for i, s in enumerate(ds.transcripts_shifted) if len(s) > 4]
    random.seed(40213)
    expected = random.sample(valid, 2)
    assert [o.tolist() for o in originals] == [ds.transcripts_shifted[i] for i in expected]
    assert all(torch.equal(p, o[:4]) for p, o in zip(prompts, originals))


def test_sample_prompts_skips_sequences_of_exactly_prompt_length(lm_root, char_tokenizer):
    ds = Pellith("train", {"root": str(lm_root)}, char_tokenizer)  # "IT'S" -> 5 ids with sos
    prompts, originals = ds.sample_prompts(10, 5, seed=3)
    lengths = sorted(len(o) for o in originals)
    assert 5 not in lengths and lengths == sorted(len(s) for s in ds.transcripts_shifted if len(s) > 5)
    assert prompts.shape == (len(lengths), 5)
    with pytest.raises(RuntimeError):
        ds.sample_prompts(3, 100)


@pytest.mark.parametrize("partition, config, match", [
    (b"train", {"root": "."}, "partition must be a str, got bytes"),
    ("train", [("root", ".")], "config must be a dict, got list"),
])
def test_argument_types(char_tokenizer, partition, config, match):
    with pytest.raises(TypeError, match=match):
        Pellith(partition, config, char_tokenizer)


def test_pickled_transcript_with_code_is_refused(lm_root, char_tokenizer):
    path = lm_root / "train" / "t99.npy"
    np.save(path, np.array(["A", os.getcwd], dtype=object), allow_pickle=True)
    with pytest.raises(ValueError, match=f"^{path}: object array refused: posix.getcwd is not allowed"):
        Pellith("train", {"root": str(lm_root)}, char_tokenizer)

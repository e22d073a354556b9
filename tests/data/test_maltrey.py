import os

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader

from quorlin.data.maltrey import Maltrey
from quorlin.errors import QuorlinWarning

TEXTS = ["HELLO", "A CAT", "", "IT'S OK", "NO", "DOG", "THE END", "BYE", "Z", "QUIET"]


def test_attributes_in_order_and_totals(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer,
                                        capsys):
    feats = random_feats([4, 9, 2, 5, 7, 3, 1, 8, 6, 4])
    write_asr_partition(tmp_path, "dev-clean", feats, TEXTS)
    ds = Maltrey("dev-clean", asr_config(tmp_path), char_tokenizer, False)

    assert list(vars(ds)) == [
        "config", "partition", "isTrainPartition", "tokenizer", "eos_token", "sos_token", "pad_token",
        "fbank_dir", "fbank_files", "length", "text_dir", "text_files", "feats", "transcripts_shifted",
        "transcripts_golden", "total_chars", "total_tokens", "feat_max_len", "text_max_len",
        "avg_chars_per_token", "time_mask", "freq_mask", "noise", "join"]
    assert capsys.readouterr().out == "Loading data for dev-clean partition...\n"
    assert ds.fbank_dir == os.path.join(str(tmp_path), "dev-clean", "fbank")
    assert ds.text_files == [os.path.join(str(tmp_path), "dev-clean", "text", f"utt-{i:04d}.npy") for i in range(10)]
    assert len(ds) == ds.length == 10
    for loaded, written in zip(ds.feats, feats):
        assert loaded.dtype == np.float32 and np.array_equal(loaded, written[:4])
    assert ds.total_chars == ds.total_tokens == sum(map(len, TEXTS))
    assert ds.feat_max_len == 9 and ds.text_max_len == 8
    assert ds.get_avg_chars_per_token() == 1.0
    assert ds.transcripts_shifted[2] == [char_tokenizer.sos_id]
    assert ds.transcripts_golden[2] == [char_tokenizer.eos_id]
    feat, shifted, golden = ds[0]
    assert feat.dtype == torch.float32 and feat.shape == (4, 4)
    assert shifted.tolist() == [char_tokenizer.sos_id] + char_tokenizer.encode("HELLO")
    assert golden.tolist() == char_tokenizer.encode("HELLO") + [char_tokenizer.eos_id]
    assert ds.time_mask.mask_param == 3 and ds.freq_mask.mask_param == 2
    assert ds.time_mask.iid_masks and ds.freq_mask.iid_masks


def test_global_statistics_two_and_three_frames(tmp_path, write_asr_partition, asr_config, char_tokenizer):
    feats = [np.array([[1.0, 2.0], [10.0, 30.0]], np.float32), np.array([[3.0, 4.0, 5.0], [0.0, 20.0, 40.0]], np.float32)]
    write_asr_partition(tmp_path, "train-clean-100", feats, ["A", "B"])
    config = asr_config(tmp_path, num_feats=2, norm="global_mvn")
    train = Maltrey("train-clean-100", config, char_tokenizer, True)

    frames = np.concatenate(feats, axis=1).astype(np.float64)  # (2, 5)
    assert train.global_mean.dtype == train.global_std.dtype == torch.float32
    np.testing.assert_allclose(train.global_mean.numpy(), frames.mean(axis=1), rtol=1e-7)
    np.testing.assert_allclose(train.global_std.numpy(), np.sqrt(frames.var(axis=1, ddof=1) + 1e-8), rtol=1e-7)
    feat, _, _ = train[1]
    expected = (feats[1] - train.global_mean.numpy()[:, None]) / (train.global_std.numpy()[:, None] + 1e-8)
    np.testing.assert_allclose(feat.numpy(), expected, rtol=1e-6)

    # Other partitions take the training statistics unchanged, or refuse to start without them.
    write_asr_partition(tmp_path, "dev-clean", [feats[0] * 7], ["C"])
    dev = Maltrey("dev-clean", config, char_tokenizer, False, (train.global_mean, train.global_std))
    assert dev.global_mean is train.global_mean and dev.global_std is train.global_std
    with pytest.raises(ValueError, match="^global_stats must be provided for non-training partitions when using global_mvn$"):
        Maltrey("dev-clean", config, char_tokenizer, False)
    with pytest.raises(ValueError):
        Maltrey("dev-clean", config, char_tokenizer, False, (train.global_mean,))


def test_global_statistics_over_many_utterances_match_numpy(tmp_path, write_asr_partition, asr_config,
                                                              char_tokenizer):
    rng = np.random.default_rng(5)
    feats = [(rng.standard_normal((6, t)) * 3 + 50).astype(np.float32) for t in rng.integers(1, 60, size=150)]
    write_asr_partition(tmp_path, "train-clean-100", feats, ["A"] * len(feats))
    train = Maltrey("train-clean-100", asr_config(tmp_path, norm="global_mvn"), char_tokenizer, True)
    frames = np.concatenate([f[:4] for f in feats], axis=1).astype(np.float64)
    np.testing.assert_allclose(train.global_mean.numpy(), frames.mean(axis=1).astype(np.float32), rtol=1e-7)
    np.testing.assert_allclose(train.global_std.numpy(), np.sqrt(frames.var(axis=1, ddof=1) + 1e-8).astype(np.float32),
                               rtol=1e-6)


def test_cepstral_normalisation(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer):
    write_asr_partition(tmp_path, "dev-clean", random_feats([50, 80]), ["A", "B"])
    ds = Maltrey("dev-clean", asr_config(tmp_path, norm="cepstral"), char_tokenizer, False)
    for idx in range(2):
        feat, _, _ = ds[idx]
        np.testing.assert_allclose(feat.mean(dim=1).numpy(), 0.0, atol=1e-5)
        np.testing.assert_allclose(feat.std(dim=1).numpy(), 1.0, rtol=1e-5)
    raw = torch.FloatTensor(ds.feats[0])
    assert not torch.equal(ds[0][0], raw)
    ds.config["norm"] = "none"
    assert torch.equal(ds[0][0], raw)


@pytest.mark.parametrize("key, value, kept", [
    ("subset_size", 0.5, 5), ("subset_size", 3, 3), ("subset_size", 1.0, 10), ("subset_size", 0, 10),
    ("subset", 0.25, 2), ("subset", -1, 10), (None, None, 10),
])
def test_subset_keeps_the_first_files(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer, key,
                                      value, kept):
    names = write_asr_partition(tmp_path, "dev-clean", random_feats([3] * 10), TEXTS)
    config = asr_config(tmp_path, **({key: value} if key else {}))
    ds = Maltrey("dev-clean", config, char_tokenizer, False)
    assert ds.length == len(ds.feats) == len(ds.text_files) == kept
    assert [os.path.basename(p) for p in ds.fbank_files] == sorted(names)[:kept]
    assert ds.transcripts_golden == [char_tokenizer.encode(t) + [char_tokenizer.eos_id] for t in TEXTS[:kept]]


def test_subset_size_wins_over_subset(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer):
    write_asr_partition(tmp_path, "dev-clean", random_feats([3] * 10), TEXTS)
    ds = Maltrey("dev-clean", asr_config(tmp_path, subset_size=4, subset=2), char_tokenizer, False)
    assert ds.length == 4


def test_test_partition_has_no_transcripts(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer):
    write_asr_partition(tmp_path, "test-clean", random_feats([4, 6, 5]))
    ds = Maltrey("test-clean", asr_config(tmp_path, specaug=True), char_tokenizer, True)
    assert not hasattr(ds, "text_dir") and not hasattr(ds, "text_files")
    assert ds.transcripts_shifted == [] and ds.transcripts_golden == []
    assert ds.text_max_len == 0 and ds.avg_chars_per_token == 0 and type(ds.avg_chars_per_token) is int
    feat, shifted, golden = ds[1]
    assert feat.shape == (4, 6) and shifted is None and golden is None
    padded, s, g, lengths, t = ds.collate_fn([ds[0], ds[1]])
    assert padded.shape == (2, 6, 4) and (s, g, t) == (None, None, None)
    assert lengths.tolist() == [4, 6]


def test_collate_pads_features_and_transcripts(tmp_path, write_asr_partition, asr_config, random_feats,
                                               char_tokenizer):
    feats = random_feats([4, 6])
    write_asr_partition(tmp_path, "dev-clean", feats, ["AB", "CDEF"])
    ds = Maltrey("dev-clean", asr_config(tmp_path, specaug=True), char_tokenizer, False)
    loader = DataLoader(ds, batch_size=2, collate_fn=ds.collate_fn)
    padded, shifted, golden, feat_lengths, transcript_lengths = next(iter(loader))

    assert padded.shape == (2, 6, 4) and padded.dtype == torch.float32
    assert torch.equal(padded[0, :4], torch.from_numpy(feats[0][:4].T))
    assert torch.equal(padded[0, 4:], torch.zeros(2, 4))
    assert torch.equal(padded[1], torch.from_numpy(feats[1][:4].T))  # not a training partition: unmasked
    pad, sos, eos = char_tokenizer.pad_id, char_tokenizer.sos_id, char_tokenizer.eos_id
    ab, cdef = char_tokenizer.encode("AB"), char_tokenizer.encode("CDEF")
    assert shifted.tolist() == [[sos] + ab + [pad, pad], [sos] + cdef]
    assert golden.tolist() == [ab + [eos, pad, pad], cdef + [eos]]
    assert shifted.dtype == golden.dtype == feat_lengths.dtype == transcript_lengths.dtype == torch.int64
    assert feat_lengths.tolist() == [4, 6] and transcript_lengths.tolist() == [3, 5]


def _zero_cells_form_bands(item):
    """Every zero of a (T, F) item lies in a frame or a feature column that is zero throughout."""
    zeros = item == 0
    frame_zero, column_zero = zeros.all(dim=1, keepdim=True), zeros.all(dim=0, keepdim=True)
    return bool((zeros <= (frame_zero | column_zero)).all())


def test_specaugment_masks_training_batches_only(tmp_path, write_asr_partition, asr_config, random_feats,
                                                 char_tokenizer):
    torch.manual_seed(0)
    feats = random_feats([30] * 8, dims=8)
    write_asr_partition(tmp_path, "train-clean-100", feats, ["A"] * 8)
    conf = {"time_mask_width_range": 10, "freq_mask_width_range": 4, "apply_freq_mask": True, "num_freq_mask": 2,
            "apply_time_mask": True, "num_time_mask": 2}
    train = Maltrey("train-clean-100", asr_config(tmp_path, num_feats=8, specaug=True, specaug_conf=conf),
                    char_tokenizer, True)
    padded = train.collate_fn([train[i] for i in range(8)])[0]
    unmasked = torch.stack([torch.from_numpy(f.T) for f in feats])  # (B, T, F), no zeros anywhere

    kept = padded != 0
    assert torch.equal(padded[kept], unmasked[kept])  # masking only writes zeros
    assert (~kept).any()
    assert all(_zero_cells_form_bands(item) for item in padded)
    per_item = [set(map(tuple, (~kept[b]).nonzero().tolist())) for b in range(8)]
    assert len({frozenset(cells) for cells in per_item}) > 1  # masks drawn per item

    train.config["specaug"] = False
    assert torch.equal(train.collate_fn([train[i] for i in range(8)])[0], unmasked)
    train.config["specaug"] = True
    train.isTrainPartition = False
    assert torch.equal(train.collate_fn([train[i] for i in range(8)])[0], unmasked)


def test_frequency_masks_alone(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer):
    torch.manual_seed(1)
    write_asr_partition(tmp_path, "train-clean-100", random_feats([20] * 6, dims=8), ["A"] * 6)
    conf = {"time_mask_width_range": 10, "freq_mask_width_range": 5, "apply_freq_mask": True, "num_freq_mask": 3,
            "apply_time_mask": False, "num_time_mask": 3}
    train = Maltrey("train-clean-100", asr_config(tmp_path, num_feats=8, specaug=True, specaug_conf=conf),
                    char_tokenizer, True)
    padded = train.collate_fn([train[i] for i in range(6)])[0]  # (B, T, F)
    zeros = padded == 0
    assert zeros.any()
    assert torch.equal(zeros, zeros[:, :1, :].expand_as(zeros))  # whole feature columns only


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(config=[("root", ".")]), TypeError, "config must be a dict, got list"),
    (dict(global_stats=[1, 2]), TypeError, "global_stats must be None or a tuple, got list"),
    (dict(config={"root": "x", "num_feats": 0, "norm": "none"}), ValueError, "num_feats must be an integer >= 1, got 0"),
])
def test_argument_errors(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer, kwargs, error, match):
    write_asr_partition(tmp_path, "dev-clean", random_feats([3]), ["A"])
    kwargs["config"] = kwargs.get("config", asr_config(tmp_path))
    if isinstance(kwargs["config"], dict):
        kwargs["config"]["root"] = str(tmp_path)
    with pytest.raises(error, match=match):
        Maltrey("dev-clean", tokenizer=char_tokenizer, isTrainPartition=False, **kwargs)


def test_file_count_mismatch(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer):
    write_asr_partition(tmp_path, "dev-clean", random_feats([3, 3]), ["A", "B"])
    os.remove(tmp_path / "dev-clean" / "text" / "utt-0001.npy")
    with pytest.raises(ValueError, match="^Number of feature and transcript files must match$"):
        Maltrey("dev-clean", asr_config(tmp_path), char_tokenizer, False)


def test_differently_named_pairs_warn_once(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer,
                                           save_transcript):
    write_asr_partition(tmp_path, "dev-clean", random_feats([3, 3, 3]), ["A", "B", "C"])
    text_dir = tmp_path / "dev-clean" / "text"
    os.remove(text_dir / "utt-0001.npy")
    save_transcript(text_dir / "utt-0009.npy", "Z")
    with pytest.warns(QuorlinWarning) as warned:
        ds = Maltrey("dev-clean", asr_config(tmp_path), char_tokenizer, False)
    assert [str(w.message) for w in warned] == [
        "2 of 3 feature/transcript pairs have different file names; the first pairs 'utt-0001.npy' with 'utt-0002.npy'"]
    assert ds.transcripts_golden[1][:-1] == char_tokenizer.encode("C")  # still paired by position


def test_bad_feature_file_stops_construction(tmp_path, write_asr_partition, asr_config, random_feats,
                                             char_tokenizer):
    feats = random_feats([3] * 100)
    feats[70][1, 2] = np.nan
    write_asr_partition(tmp_path, "dev-clean", feats, ["A"] * 100)
    bad = os.path.join(str(tmp_path), "dev-clean", "fbank", "utt-0070.npy")
    with pytest.raises(ValueError, match=f"^{bad}: feature value at row 1, frame 2 is not a finite float32 number$"):
        Maltrey("dev-clean", asr_config(tmp_path), char_tokenizer, False)
    feats[70][1, 2] = 1.0
    np.save(bad, feats[70][:3])
    with pytest.raises(ValueError, match=f"^{bad}: feature array has 3 rows, fewer than num_feats=4$"):
        Maltrey("dev-clean", asr_config(tmp_path), char_tokenizer, False)


def test_missing_statistics_at_access(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer):
    write_asr_partition(tmp_path, "dev-clean", random_feats([3]), ["A"])
    ds = Maltrey("dev-clean", asr_config(tmp_path), char_tokenizer, False)
    ds.config["norm"] = "global_mvn"
    with pytest.raises(AssertionError, match="^Global mean and std must be computed before normalization$"):
        ds[0]

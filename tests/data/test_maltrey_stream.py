"""The streamed speech dataset gives exactly what the in-memory one gives, and names the file
that it cannot read."""
import os

import numpy as np
import pytest
import torch
from torch.utils.data import DataLoader

from quorlin.data.corpus import CorpusError
from quorlin.data.length_filter import drop_unfit
from quorlin.data.length_groups import LengthGroupedSampler
from quorlin.data.maltrey import Maltrey
from quorlin.data.maltrey_stream import MaltreyStream
from quorlin.data.stream_index import read_stream_index, write_stream_index
from quorlin.model import EncoderDecoderTransformer

TEXTS = ["HELLO", "A CAT", "", "IT'S OK", "NO", "DOG", "THE END", "BYE", "Z", "QUIET", "ONE MORE", "AB"]
FRAMES = [7, 3, 12, 5, 9, 4, 14, 6, 11, 8, 10, 13]  # all different: a batch's lengths name its utterances


@pytest.fixture
def corpus(tmp_path, write_asr_partition, random_feats, save_transcript):
    """A training partition of 12 utterances (one stored as float64, one in Fortran order) and a
    test partition of 3, each with its stream index over 6 rows."""
    feats = random_feats(FRAMES)
    feats[4] = feats[4].astype(np.float64) * 3
    feats[7] = np.asfortranarray(feats[7] - 2)
    write_asr_partition(tmp_path, "train-clean-100", feats, TEXTS)
    write_asr_partition(tmp_path, "test-clean", random_feats([5, 2, 9]))
    for partition in ("train-clean-100", "test-clean"):
        write_stream_index(str(tmp_path / partition), 6)
    return tmp_path


def _same_items(memory, stream):
    assert len(memory) == len(stream)
    for i in range(len(memory)):
        for a, b in zip(memory[i], stream[i]):
            assert (a is None and b is None) or (a.dtype == b.dtype and torch.equal(a, b)), i


@pytest.mark.parametrize("norm", ["global_mvn", "cepstral", "none"])
@pytest.mark.parametrize("subset", [-1, 0.5])
def test_items_equal_those_of_the_in_memory_dataset(corpus, asr_config, char_tokenizer, norm, subset, capsys):
    config = asr_config(corpus, norm=norm, subset_size=subset)
    memory = Maltrey("train-clean-100", config, char_tokenizer, True)
    stream = MaltreyStream("train-clean-100", config, char_tokenizer, True)
    assert "Opening train-clean-100 partition to stream from disk...\n" in capsys.readouterr().out
    for name in ("fbank_files", "text_files", "length", "total_chars", "total_tokens", "feat_max_len",
                 "text_max_len", "avg_chars_per_token"):
        assert getattr(stream, name) == getattr(memory, name), name
    assert stream.frame_counts.tolist() == [f.shape[1] for f in memory.feats]
    assert stream.token_ids.dtype == np.uint16 and stream.token_offsets.tolist() == np.cumsum(
        [0] + [len(g) - 1 for g in memory.transcripts_golden]).tolist()
    if norm == "global_mvn":  # from the index, or for a subset from its own files: bit for bit
        assert torch.equal(stream.global_mean, memory.global_mean)
        assert torch.equal(stream.global_std, memory.global_std)
    _same_items(memory, stream)

    stats = (memory.global_mean, memory.global_std) if norm == "global_mvn" else None
    _same_items(Maltrey("test-clean", config, char_tokenizer, False, stats),
                MaltreyStream("test-clean", config, char_tokenizer, False, stats))


def test_the_index_holds_frame_counts_and_the_statistics_of_every_frame(corpus):
    index = read_stream_index(str(corpus / "train-clean-100"))
    files = sorted((corpus / "train-clean-100" / "fbank").iterdir())
    assert index.names.tolist() == [f.name for f in files] and index.frames.tolist() == FRAMES
    # Float32 values in float64, as the model sees them: NumPy's two-pass formulas over all frames.
    frames = np.concatenate([np.load(f)[:6].astype(np.float32) for f in files], axis=1).astype(np.float64)
    assert index.num_feats == 6 and index.count == frames.shape[1] == sum(FRAMES)
    np.testing.assert_allclose(index.mean, frames.mean(axis=1), rtol=1e-12)
    np.testing.assert_allclose(index.m2, ((frames - frames.mean(axis=1, keepdims=True)) ** 2).sum(axis=1),
                               rtol=1e-10)


@pytest.mark.parametrize("grouped", [False, True])
def test_batches_equal_those_of_the_in_memory_dataset_and_cover_each_utterance_once(
        corpus, asr_config, char_tokenizer, grouped):
    config = asr_config(corpus, norm="global_mvn", specaug=True)
    epochs = {}
    for dataset_class in (Maltrey, MaltreyStream):
        dataset = dataset_class("train-clean-100", config, char_tokenizer, True)
        sampler = LengthGroupedSampler(FRAMES, 5, pool_batches=2, seed=7) if grouped else None
        loader = DataLoader(dataset, batch_size=5, shuffle=not grouped, sampler=sampler,
                            generator=torch.Generator().manual_seed(3), collate_fn=dataset.collate_fn)
        torch.manual_seed(0)  # SpecAugment's masks
        epochs[dataset_class] = [list(loader) for _ in range(2)]
    for memory_epoch, stream_epoch in zip(epochs[Maltrey], epochs[MaltreyStream]):
        assert len(memory_epoch) == len(stream_epoch) == 3
        for memory_batch, stream_batch in zip(memory_epoch, stream_epoch):
            for a, b in zip(memory_batch, stream_batch):
                assert torch.equal(a, b)
        assert sorted(length for batch in stream_epoch for length in batch[3].tolist()) == sorted(FRAMES)
    first, second = ([batch[3].tolist() for batch in epoch] for epoch in epochs[MaltreyStream])
    assert first != second  # a new order every epoch
    if grouped:  # the two full batches are the shorter and the longer half of one sorted pool of 10
        low, high = sorted(first[:2])
        assert max(low) < min(high) and len(first[2]) == 2


def test_the_length_filter_leaves_out_the_same_utterances(corpus, asr_config, char_tokenizer):
    # Two 3-frame convolutions, strides 2 and 1: (T - 3) // 2 - 1 encoder positions.
    model = EncoderDecoderTransformer(input_dim=16, time_reduction=2, reduction_method="conv", num_encoder_layers=1,
                                      num_decoder_layers=1, d_model=8, num_heads=2, d_ff=8, dropout=0.0, max_len=3,
                                      num_classes=char_tokenizer.vocab_size)
    config = asr_config(corpus)
    memory = Maltrey("train-clean-100", config, char_tokenizer, True)
    stream = MaltreyStream("train-clean-100", config, char_tokenizer, True)
    dropped = drop_unfit(stream, model, max_duration=0.115)
    few, tokens = "frames are too few for the model's front end", "transcript tokens, more than max_len 3"
    assert dropped == [
        f"utt-0000: 6 {tokens}", f"utt-0001: 3 {few}", "utt-0002: 0.1 s, longer than max_duration 0.115 s",
        f"utt-0003: 5 {few}", f"utt-0005: 4 {few}", "utt-0006: 0.1 s gives 4 encoder positions, more than max_len 3",
        f"utt-0007: 6 {few}", f"utt-0009: 6 {tokens}", f"utt-0010: 9 {tokens}",
        "utt-0011: 0.1 s gives 4 encoder positions, more than max_len 3"]
    assert drop_unfit(memory, model, max_duration=0.115) == dropped
    assert stream.fbank_files == memory.fbank_files and stream.text_files == memory.text_files
    assert stream.frame_counts.tolist() == [9, 11] and stream.token_offsets.tolist() == [0, 2, 3]
    assert (stream.length, stream.feat_max_len, stream.text_max_len) == (memory.length, memory.feat_max_len,
                                                                          memory.text_max_len) == (2, 11, 3)
    _same_items(memory, stream)


def _truncate(path):
    data = path.read_bytes()
    path.write_bytes(data[:len(data) - 9])


def _loader(dataset, workers=0):
    return DataLoader(dataset, batch_size=4, num_workers=workers, collate_fn=dataset.collate_fn)


@pytest.mark.parametrize("workers", [0, 1])
def test_a_file_that_cannot_be_read_is_one_error_naming_it(corpus, asr_config, char_tokenizer, workers):
    fbank = corpus / "train-clean-100" / "fbank"
    dataset = MaltreyStream("train-clean-100", asr_config(corpus), char_tokenizer, True)
    _truncate(fbank / "utt-0005.npy")
    with pytest.raises(CorpusError) as error:
        list(_loader(dataset, workers))
    assert str(error.value) == f"{fbank / 'utt-0005.npy'}: truncated .npy file (shape (6, 4) of '<f4' needs 96 " \
                               "data bytes, the file has 87)"

    os.unlink(fbank / "utt-0005.npy")
    with pytest.raises(CorpusError) as error:
        list(_loader(dataset, workers))
    assert str(error.value) == f"{fbank / 'utt-0005.npy'}: cannot be read: No such file or directory"

    np.save(fbank / "utt-0005.npy", np.ones((6, 5), np.float32))  # 4 frames in the index
    with pytest.raises(CorpusError) as error:
        list(_loader(dataset, workers))
    assert str(error.value) == f"{fbank / 'utt-0005.npy'}: 5 frames, where the partition's stream index says 4: " \
                               "the file changed since the partition was prepared; prepare it again"


def test_a_transcript_that_cannot_be_read_is_one_error_naming_it(corpus, asr_config, char_tokenizer):
    text = corpus / "train-clean-100" / "text" / "utt-0002.npy"
    text.write_bytes(b"\x93NUMPY")
    with pytest.raises(CorpusError, match=f"^{text}: "):
        MaltreyStream("train-clean-100", asr_config(corpus), char_tokenizer, True)


@pytest.mark.slow
def test_a_partition_unlike_its_index_is_refused_naming_the_file(corpus, asr_config, char_tokenizer):
    config = asr_config(corpus)
    folder = corpus / "train-clean-100"
    os.rename(folder / "fbank" / "utt-0003.npy", folder / "utt-0003.npy")
    with pytest.raises(CorpusError, match=f"^{folder / 'fbank' / 'utt-0003.npy'} is missing, though the "
                                              "partition's stream index lists it: prepare the partition again$"):
        MaltreyStream("train-clean-100", config, char_tokenizer, True)
    os.rename(folder / "utt-0003.npy", folder / "fbank" / "utt-0003.npy")
    np.save(folder / "fbank" / "utt-0000a.npy", np.ones((6, 5), np.float32))
    with pytest.raises(CorpusError, match=f"^{folder / 'fbank' / 'utt-0000a.npy'} is not in the partition's "
                                              "stream index: prepare the partition again$"):
        MaltreyStream("train-clean-100", config, char_tokenizer, True)
    os.unlink(folder / "fbank" / "utt-0000a.npy")

    with pytest.raises(CorpusError, match="covers 6 feature rows, fewer than num_feats=7$"):
        MaltreyStream("train-clean-100", asr_config(corpus, num_feats=7), char_tokenizer, True)
    (folder / "stream_index.npz").write_bytes(b"PK\x03\x04 not a zip")
    with pytest.raises(CorpusError, match=f"^{folder / 'stream_index.npz'} is not a readable stream index"):
        MaltreyStream("train-clean-100", config, char_tokenizer, True)
    os.unlink(folder / "stream_index.npz")
    with pytest.raises(CorpusError, match=f"^{folder / 'stream_index.npz'} is missing: prepare the partition"):
        MaltreyStream("train-clean-100", config, char_tokenizer, True)

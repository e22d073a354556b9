"""Training noise: filter banks mixed as the summed waveforms' are, at the ratio asked for, in
the share of utterances asked for, by both speech datasets."""
import math

import numpy as np
import pytest
import torch

from quorlin.data.maltrey import Maltrey
from quorlin.data.maltrey_stream import MaltreyStream
from quorlin.data.noise import NoiseMixer, band_log_power, mix
from quorlin.data.stream_index import write_stream_index
from quorlin.prep.features import compute_fbank

RATE = 16000


def _speech_like(seconds: float, rng) -> np.ndarray:
    """Harmonics of a gliding pitch under a syllable-rate envelope, with pauses."""
    t = np.arange(int(seconds * RATE)) / RATE
    pitch = 120 + 40 * np.sin(2 * np.pi * 0.7 * t)
    phase = 2 * np.pi * np.cumsum(pitch) / RATE
    voiced = sum(np.sin(k * phase) / k for k in range(1, 30))
    envelope = np.clip(np.sin(2 * np.pi * 3 * t), 0, None) ** 2
    return (0.2 * voiced * envelope + 1e-3 * rng.standard_normal(t.size)).astype(np.float32)


def _db(log_ratio) -> float:
    return float(log_ratio) * 10 / math.log(10)


@pytest.mark.parametrize("snr", [0.0, 10.0, 20.0])
def test_mixed_filter_banks_are_those_of_the_summed_waveforms(snr):
    rng = np.random.default_rng(3)
    speech, noise = _speech_like(2.0, rng), rng.standard_normal(2 * RATE).astype(np.float32)
    # The waveforms summed at the ratio of their powers (numpy), against the filter banks mixed.
    scale = math.sqrt(np.mean(speech ** 2) / np.mean(noise ** 2) / 10 ** (snr / 10))
    summed = compute_fbank(torch.from_numpy(speech + scale * noise), RATE, 40)
    s, n = (torch.from_numpy(compute_fbank(torch.from_numpy(x), RATE, 40)) for x in (speech, noise))
    mixed = mix(s, n, snr).numpy()
    assert mixed.shape == summed.shape == (40, 198)
    assert np.abs(mixed - summed).mean() < 0.15  # log units, against a range of about 15
    # The in-band power of white noise is its waveform's: the ratio holds in dB.
    assert abs(_db(band_log_power(s) - band_log_power(n)) - 10 * math.log10(
        np.mean(speech ** 2) / np.mean(noise ** 2))) < 1.0


def test_the_mixer_adds_noise_at_a_ratio_in_range_to_its_share_and_repeats_with_the_seed():
    rng = np.random.default_rng(4)
    speech = torch.from_numpy(compute_fbank(torch.from_numpy(_speech_like(1.5, rng)), RATE, 40))
    others = [torch.from_numpy(compute_fbank(torch.from_numpy(_speech_like(s, rng)), RATE, 40)) for s in (0.4, 3.0)]
    frames = speech.shape[1]
    assert NoiseMixer(0.0, (0, 30))(speech, others, frames) is speech

    mixer = NoiseMixer(1.0, (7, 12))
    torch.manual_seed(0)
    first = [mixer(speech, others, frames) for _ in range(30)]
    torch.manual_seed(0)
    assert all(torch.equal(a, mixer(speech, others, frames)) for a in first)
    for mixed in first:
        assert mixed.shape == speech.shape and bool((mixed >= speech).all())
        added = torch.log(torch.exp(mixed.double()) - torch.exp(speech.double()))  # the noise alone
        assert 7 - 1e-3 <= _db(band_log_power(speech.double()) - band_log_power(added)) <= 12 + 1e-3

    torch.manual_seed(1)
    half = NoiseMixer(0.5, (0, 30))
    untouched = sum(half(speech, others, frames) is speech for _ in range(400))
    assert 160 <= untouched <= 240


def test_a_stretch_of_noise_alone_goes_before_or_after_the_speech_within_the_limit():
    rng = np.random.default_rng(5)
    speech = torch.from_numpy(compute_fbank(torch.from_numpy(_speech_like(1.5, rng)), RATE, 40))
    others = [torch.from_numpy(compute_fbank(torch.from_numpy(_speech_like(s, rng)), RATE, 40)) for s in (0.4, 3.0)]
    frames = speech.shape[1]
    mixer = NoiseMixer(1.0, (7, 12), alone=0.5)
    torch.manual_seed(2)
    results = [mixer(speech, others, frames + 100) for _ in range(300)]
    lengths = [r.shape[1] for r in results]
    assert 110 <= lengths.count(frames) <= 190 and all(frames <= n <= frames + 100 for n in lengths)
    sides = {"before": 0, "after": 0}
    for mixed in results:
        extra = mixed.shape[1] - frames
        if not extra:
            continue
        before = bool((mixed[:, extra:] >= speech).all())  # the speech lies at the end
        sides["before" if before else "after"] += 1
        under = mixed[:, extra:] if before else mixed[:, :frames]
        assert bool((under >= speech).all())
        added = torch.log(torch.exp(under.double()) - torch.exp(speech.double()))  # the noise under the speech
        assert 7 - 1e-3 <= _db(band_log_power(speech.double()) - band_log_power(added)) <= 12 + 1e-3
        alone = mixed[:, :extra] if before else mixed[:, frames:]  # as loud as the noise under the speech
        per_frame = [_db(band_log_power(x) - math.log(n)) for x, n in ((alone, extra), (added, frames))]
        assert extra < 50 or abs(per_frame[0] - per_frame[1]) < 6
    assert min(sides.values()) >= 40
    # As long as the utterance at most, and none where the utterance is as long as the limit.
    assert max(mixer(speech, others, 10 * frames).shape[1] for _ in range(50)) <= 2 * frames
    assert all(mixer(speech, others, frames).shape == speech.shape for _ in range(20))


@pytest.mark.parametrize("prob, snr, message", [
    (1.5, (0, 30), "prob must lie in [0, 1], got 1.5"),
    (0.5, (20, 10), "snr must be (lowest, highest), got [20, 10]"),
    (0.5, (0, 30), "alone must lie in [0, 1], got -0.1"),
])
def test_a_mixer_refuses_a_bad_setting(prob, snr, message):
    with pytest.raises(ValueError) as error:
        NoiseMixer(prob, snr, alone=-0.1 if "alone" in message else 0.0)
    assert str(error.value) == message


@pytest.mark.parametrize("dataset", [Maltrey, MaltreyStream])
def test_both_datasets_mix_noise_into_training_items_only(tmp_path, write_asr_partition, random_feats, asr_config,
                                                         char_tokenizer, dataset):
    texts = ["HELLO", "A CAT", "NO", "DOG", "BYE", "Z"]
    for partition in ("train-clean-100", "dev-clean"):
        write_asr_partition(tmp_path, partition, random_feats([30, 12, 25, 40, 9, 16], dims=4), texts)
        write_stream_index(str(tmp_path / partition), 4)
    clean = asr_config(tmp_path)
    noisy = asr_config(tmp_path, noise={"prob": 1.0, "snr": [0, 5]})
    for partition, changed in (("train-clean-100", True), ("dev-clean", False)):
        plain = dataset(partition, clean, char_tokenizer, partition.startswith("train"))
        mixed = dataset(partition, noisy, char_tokenizer, partition.startswith("train"))
        for i in range(len(texts)):
            (a, *labels_a), (b, *labels_b) = plain[i], mixed[i]
            assert a.shape == b.shape and all(torch.equal(x, y) for x, y in zip(labels_a, labels_b))
            assert bool((b > a).all()) if changed else torch.equal(a, b)


@pytest.mark.parametrize("dataset", [Maltrey, MaltreyStream])
def test_both_datasets_add_noise_alone_within_the_longest_utterance(tmp_path, write_asr_partition, random_feats,
                                                                   asr_config, char_tokenizer, dataset):
    texts = ["HELLO", "A CAT", "NO", "DOG"]
    write_asr_partition(tmp_path, "train-clean-100", random_feats([30, 12, 25, 40], dims=4), texts)
    write_stream_index(str(tmp_path / "train-clean-100"), 4)
    plain = dataset("train-clean-100", asr_config(tmp_path), char_tokenizer, True)
    noisy = dataset("train-clean-100", asr_config(tmp_path, noise={"prob": 1.0, "snr": [0, 5], "alone": 1.0}),
                    char_tokenizer, True)
    loader = torch.utils.data.DataLoader(noisy, batch_size=4, collate_fn=noisy.collate_fn)
    torch.manual_seed(0)
    longer = 0
    for _ in range(5):
        for feats, shifted, golden, feat_lengths, _ in loader:
            for i, (n, own) in enumerate(zip(feat_lengths.tolist(), [30, 12, 25, 40])):
                assert own <= n <= min(40, 2 * own)  # within the longest utterance, at most doubled
                assert torch.equal(shifted[i, :len(texts[i]) + 1], plain[i][1])  # the transcript as it was
                longer += n > own
    assert longer >= 8

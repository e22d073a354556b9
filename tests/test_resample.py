import math

import numpy as np
import pytest
import torch
import torchaudio

from quorlin.resample import LOWPASS_FILTER_WIDTH, ROLLOFF, StreamingResampler, resample


def _direct(x: np.ndarray, orig: int, new: int, outputs) -> np.ndarray:
    """The windowed-sinc sum written out for single outputs, in float64, over every input."""
    scale = min(orig, new) * ROLLOFF / orig
    m = np.arange(len(x))
    values = []
    for j in outputs:
        t = np.clip((m - j * orig / new) * scale, -LOWPASS_FILTER_WIDTH, LOWPASS_FILTER_WIDTH)
        h = scale * np.sinc(t) * np.cos(t * np.pi / LOWPASS_FILTER_WIDTH / 2) ** 2
        values.append(float(np.dot(x, h)))
    return np.array(values)


@pytest.mark.parametrize("orig,new", [(44100, 16000), (22050, 16000), (48000, 16000), (8000, 16000),
                                      (17600, 16000), (16000, 22050)])
def test_common_rates_match_torchaudio(orig, new):
    x = torch.randn(int(0.73 * orig), generator=torch.Generator().manual_seed(orig)) * 0.3
    expected = torchaudio.functional.resample(x, orig, new)
    got = resample(x, orig, new)
    assert got.dtype == torch.float32 and got.shape == expected.shape == (math.ceil(x.numel() * new / orig),)
    # torchaudio builds its kernel in float32, this one in float64.
    torch.testing.assert_close(got, expected, atol=3e-5, rtol=0)


@pytest.mark.parametrize("orig", [44101, 22051, 7919])
def test_rates_without_common_factor_are_exact_and_small(orig):
    x = np.random.default_rng(orig).standard_normal(orig // 2).astype(np.float32) * 0.3
    got = resample(torch.from_numpy(x), orig, 16000)
    assert got.numel() == math.ceil(len(x) * 16000 / orig)
    picked = [0, 1, 2, 777, 4000, got.numel() - 1]
    np.testing.assert_allclose(got[picked].numpy(), _direct(x.astype(np.float64), orig, 16000, picked), atol=2e-6)
    # One row of weights per output phase, each about 2 * 6 zero crossings of the lower rate long.
    stream = StreamingResampler(orig, 16000)
    assert stream.weights.shape == (16000, stream.taps)
    assert stream.taps <= 2 * 6 * orig / (min(orig, 16000) * 0.99) + 2


@pytest.mark.parametrize("orig", [44101, 44100, 48000, 14400])
def test_a_stream_in_any_pieces_equals_the_whole(orig):
    x = torch.randn(30011) * 0.3
    whole = resample(x, orig, 16000)
    for piece in (1, 97, 4096, 30011):
        stream = StreamingResampler(orig, 16000)
        out = torch.cat([stream.push(x[i:i + piece]) for i in range(0, x.numel(), piece)] + [stream.flush()])
        if stream.period is None:  # outputs gathered one by one: the same bits
            assert torch.equal(out, whole)
        else:  # periods of outputs as matrix products, which may add in another order
            torch.testing.assert_close(out, whole, atol=1e-6, rtol=0)
        # What a stream holds stays within a filter's reach (and a period of inputs) of the next output.
        assert stream.buffer.numel() <= 2 * stream.pad + 1 + (0 if stream.period is None else stream.orig)


@pytest.mark.parametrize("orig", [44100, 48000, 22050, 14400])
def test_periods_of_outputs_are_the_direct_sum(orig):
    x = np.random.default_rng(orig).standard_normal(orig // 3).astype(np.float32) * 0.3
    stream = StreamingResampler(orig, 16000)
    assert stream.period is not None and stream.span <= stream.orig + stream.taps
    got = resample(torch.from_numpy(x), orig, 16000)
    picked = [0, 1, 159, 160, 2001, got.numel() - 1]
    np.testing.assert_allclose(got[picked].numpy(), _direct(x.astype(np.float64), orig, 16000, picked), atol=2e-6)


def test_same_rate_is_the_identity_and_bad_rates_are_refused():
    x = torch.randn(100)
    assert torch.equal(resample(x, 16000, 16000), x)
    with pytest.raises(ValueError, match=r"orig_rate must be a positive integer, got 0"):
        StreamingResampler(0, 16000)
    with pytest.raises(ValueError, match=r"new_rate must be a positive integer, got 16000.0"):
        StreamingResampler(8000, 16000.0)
    with pytest.raises(ValueError, match=r"one-dimensional \(n,\), got shape \(2, 3\)"):
        StreamingResampler(8000, 16000).push(torch.zeros(2, 3))

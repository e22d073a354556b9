import numpy as np
import pytest
import soundfile
import torch

from quorlin.errors import QuorlinError
from quorlin.inference.audio import AudioError, AudioSource
from quorlin.resample import resample


def _noise(frames, channels, seed):
    rng = np.random.default_rng(seed)
    return (0.2 * rng.standard_normal((frames, channels))).clip(-1, 1).astype(np.float32)


def _whole_file_16k(path):
    """The reference: the whole file read at once, channels averaged, resampled in one call."""
    samples, rate = soundfile.read(path, dtype="float32", always_2d=True)  # (n, channels)
    return resample(torch.from_numpy(samples.mean(axis=1)), rate, 16000)


@pytest.mark.parametrize("fmt", ["wav", "flac", "ogg"])
@pytest.mark.parametrize("rate", [8000, 16000, 44100])
def test_blocks_equal_whole_file_reading(tmp_path, rate, fmt):
    path = tmp_path / f"clip.{fmt}"
    frames = int(1.37 * rate)
    soundfile.write(path, _noise(frames, 2, rate), rate)
    expected = _whole_file_16k(path)
    source = AudioSource(path)
    assert (source.id, source.sample_rate, source.duration) == ("clip", rate, frames / rate)
    assert AudioSource(str(path), "given").id == "given"
    # Blocks much shorter than the filter, odd-sized ones, and one block for the whole file.
    for block_seconds in (0.003, 0.37, 10.0):
        blocks = list(source.blocks(block_seconds))
        assert all(b.dtype == torch.float32 and b.dim() == 1 for b in blocks)
        got = torch.cat(blocks)
        assert got.shape == expected.shape
        torch.testing.assert_close(got, expected, atol=1e-6, rtol=0)


def test_block_sizes_stay_bounded_by_the_block_length(tmp_path):
    path = tmp_path / "long.flac"
    soundfile.write(path, _noise(44100 * 6, 1, 0), 44100)
    sizes = [b.numel() for b in AudioSource(path).blocks(0.5)]
    assert sum(sizes) == 16000 * 6
    assert max(sizes) <= 8000 + 160  # half a second, give or take one resampling step


def test_waveform_in_memory_matches_file(tmp_path):
    samples = _noise(22050, 2, 3)  # (n, channels)
    path = tmp_path / "same.wav"
    soundfile.write(path, samples, 22050, subtype="FLOAT")
    from_file = torch.cat(list(AudioSource(path).blocks(0.1)))
    for waveform in (torch.from_numpy(samples.T.copy()), samples.T.astype(np.float64)):
        source = AudioSource((waveform, 22050), "mem")
        assert (source.id, source.duration) == ("mem", 1.0)
        torch.testing.assert_close(torch.cat(list(source.blocks(0.25))), from_file, atol=1e-6, rtol=0)
    mono = AudioSource((torch.from_numpy(samples[:, 0].copy()), 16000), "mono")
    assert torch.equal(torch.cat(list(mono.blocks(0.3))), torch.from_numpy(samples[:, 0]))


def test_unusable_files_raise_audio_error_naming_them(tmp_path):
    corrupt = tmp_path / "corrupt.wav"
    corrupt.write_bytes(np.random.default_rng(0).integers(0, 256, 4000, dtype=np.uint8).tobytes())
    empty_file = tmp_path / "empty.flac"
    empty_file.write_bytes(b"")
    no_frames = tmp_path / "no_frames.wav"
    soundfile.write(no_frames, np.zeros((0, 1), np.float32), 16000)
    tiny = tmp_path / "tiny.wav"
    soundfile.write(tiny, _noise(160, 1, 1), 16000)  # 10 ms
    cases = [(corrupt, "cannot read audio"), (empty_file, "cannot read audio"),
             (tmp_path / "missing.wav", "cannot read audio"), (no_frames, "audio is empty"),
             (tiny, "shorter than one 25 ms window")]
    for path, reason in cases:
        with pytest.raises(AudioError, match=reason) as err:
            AudioSource(path)
        assert str(err.value).startswith(f"{path}: ")
        assert isinstance(err.value, QuorlinError)


def test_nan_and_inf_samples_raise_when_reached(tmp_path):
    samples = _noise(16000, 1, 2)
    samples[12000, 0] = np.nan
    path = tmp_path / "nan.wav"
    soundfile.write(path, samples, 16000, subtype="FLOAT")
    source = AudioSource(path)
    with pytest.raises(AudioError, match=r"nan\.wav: audio holds NaN or infinite samples \(at 0\.750 s\)"):
        list(source.blocks(0.1))
    samples[12000, 0] = np.inf
    with pytest.raises(AudioError, match="mem: audio holds NaN or infinite samples"):
        AudioSource((samples.T, 16000), "mem")


def test_bad_waveforms():
    with pytest.raises(AudioError, match="^a: audio is empty$"):
        AudioSource((torch.zeros(2, 0), 16000), "a")
    with pytest.raises(AudioError, match="^b: audio is shorter than one 25 ms window$"):
        AudioSource((torch.zeros(399), 16000), "b")
    source = AudioSource((torch.zeros(400), 16000), "c")  # exactly one window
    with pytest.raises(ValueError, match="block_seconds must be positive and finite, got 0"):
        source.blocks(0)  # refused when called, before any block is read
    with pytest.raises(ValueError, match=r"shape \(n,\), \(channels, n\) or \(n, channels\), got \(1, 2, 1000\)"):
        AudioSource((torch.zeros(1, 2, 1000), 16000), "e")
    with pytest.raises(ValueError, match=r"at most 16 channels, got \(20, 30\)"):
        AudioSource((torch.zeros(20, 30), 16000), "e")
    with pytest.raises(TypeError, match="sample_rate must be an integer, got 16000.0"):
        AudioSource((torch.zeros(1000), 16000.0), "f")
    for rate in (999, 384001):
        with pytest.raises(AudioError, match=f"^f: a sample rate of {rate} Hz is outside 1000 to 384000 Hz$"):
            AudioSource((torch.zeros(100000), rate), "f")
    with pytest.raises(TypeError, match="float or int8/uint8/int16/int32 samples, got dtype torch.int64"):
        AudioSource((torch.zeros(1000, dtype=torch.int64), 16000), "d")


def test_waveforms_in_any_layout_and_integer_type_read_alike():
    rng = np.random.default_rng(5)
    stereo = (rng.standard_normal((3000, 2)) * 0.2).clip(-1, 1).astype(np.float32)  # (n, channels)
    expected = torch.from_numpy(stereo.mean(axis=1))
    for layout in (stereo, stereo.T.copy(), torch.from_numpy(stereo)):
        torch.testing.assert_close(torch.cat(list(AudioSource((layout, 16000), "x").blocks())), expected)
    pcm = (stereo * 32767).round().astype(np.int16)
    from_int = torch.cat(list(AudioSource((pcm, 16000), "x").blocks()))
    torch.testing.assert_close(from_int, torch.from_numpy(pcm.astype(np.float32).mean(axis=1) / 32768))
    # The same integers given as floats are refused, not transcribed as noise.
    with pytest.raises(AudioError, match=r"^x: float samples must lie in \[-1, 1\], got a peak of \d{5}; divide "
                                         r"int16 samples by 32768, or give the integer array itself$"):
        AudioSource((pcm.astype(np.float32), 16000), "x")
    AudioSource((stereo * 1.9, 16000), "x")  # a little over full scale passes


def test_odd_sample_rates_read_in_bounded_time(tmp_path):
    path = tmp_path / "odd.wav"
    soundfile.write(path, _noise(44101 * 3, 1, 4), 44101)
    samples = torch.cat(list(AudioSource(path).blocks(1.0)))
    assert samples.numel() == -(-3 * 44101 * 16000 // 44101)
    with pytest.raises(TypeError, match=r"an id is required for a \(waveform, sample_rate\) input"):
        AudioSource((torch.zeros(1000), 16000))
    with pytest.raises(TypeError, match=r"input must be a path or a \(waveform, sample_rate\) pair, got Tensor"):
        AudioSource(torch.zeros(1000), "g")

"""The feature front end, one for preparation, training and transcription: audio at 16 kHz
(``SAMPLE_RATE``) into Kaldi-style log-mel filter banks of 25 ms windows every 10 ms, and
their normalisation as a dataset or a recogniser applies it."""
from typing import Optional, Tuple

import numpy as np
import soundfile
import torch
import torchaudio

from quorlin._reading import regular_file_problem
from quorlin.prep.errors import PreparationError
from quorlin.resample import resample, short_period

SAMPLE_RATE = 16000
FRAME_LENGTH_MS, FRAME_SHIFT_MS = 25.0, 10.0


def feature_seconds(frames: int) -> float:
    """The duration of audio whose filter banks have ``frames`` frames: one 25 ms window, then
    a 10 ms shift per further frame."""
    return (FRAME_LENGTH_MS + (frames - 1) * FRAME_SHIFT_MS) / 1000


def read_audio(path: str) -> Tuple[torch.Tensor, int]:
    """Mono float32 samples (n,) in [-1, 1] and the sample rate of a WAV, FLAC or Ogg file.

    Channels are averaged. An unreadable or empty file, or one holding samples that are
    not finite (NaN or infinity, which floating-point WAV files can store), raises
    ``PreparationError`` naming it; so does a path that is no regular file (a FIFO would block).
    """
    problem = regular_file_problem(path)
    if problem:
        raise PreparationError(f"{path}: cannot read audio: {problem}")
    try:
        samples, rate = soundfile.read(path, dtype="float32", always_2d=True)  # (n, channels)
    except (RuntimeError, OSError) as err:
        raise PreparationError(f"{path}: cannot read audio: {err}") from None
    if samples.size == 0:
        raise PreparationError(f"{path}: audio file is empty")
    # A sum in float64 cannot overflow from float32 samples: it is finite when every sample is.
    if not np.isfinite(samples.sum(dtype=np.float64)):
        raise PreparationError(f"{path}: audio holds samples that are not finite (NaN or infinity)")
    mono = samples[:, 0] if samples.shape[1] == 1 else samples.mean(axis=1)
    return torch.from_numpy(np.ascontiguousarray(mono)), rate


def compute_fbank(samples: torch.Tensor, sample_rate: int, num_mel_bins: int = 80) -> np.ndarray:
    """Kaldi-style log-mel filter banks, 25 ms windows every 10 ms, at 16 kHz.

    Args:
        samples: (n,) float waveform.
        sample_rate: its rate; other rates than 16 kHz are resampled first (``quorlin.resample``:
            any rate, a filter of bounded size).
        num_mel_bins: filter-bank bins.

    Returns:
        (num_mel_bins, frames) float32 array.

    Example:
        >>> feats = compute_fbank(torch.randn(16000) * 0.1, 16000)
        >>> feats.shape, feats.dtype
        ((80, 98), dtype('float32'))
    """
    if sample_rate != SAMPLE_RATE:
        samples = resample(samples, sample_rate, SAMPLE_RATE)
    feats = torchaudio.compliance.kaldi.fbank(
        samples.unsqueeze(0), num_mel_bins=num_mel_bins, frame_length=FRAME_LENGTH_MS,
        frame_shift=FRAME_SHIFT_MS, sample_frequency=SAMPLE_RATE)  # (frames, num_mel_bins)
    return feats.T.contiguous().numpy()


def normalize_features(feat: torch.Tensor, norm: str, mean: Optional[torch.Tensor] = None,
                       std: Optional[torch.Tensor] = None) -> torch.Tensor:
    """One utterance's filter bank (num_feats, T) normalised: "global_mvn" by the training set's
    per-dimension ``mean`` and ``std`` (num_feats,), "cepstral" by its own, "none" as it is."""
    if norm == "global_mvn":
        return (feat - mean.unsqueeze(1)) / (std.unsqueeze(1) + 1e-8)
    if norm == "cepstral":
        return (feat - feat.mean(dim=1, keepdim=True)) / (feat.std(dim=1, keepdim=True) + 1e-8)
    return feat


def audio_fbank(path: str, num_mel_bins: int = 80, speed: float = 1.0) -> np.ndarray:
    """Filter banks (num_mel_bins, frames) of one audio file, played ``speed`` times as fast
    (speed perturbation: the audio is resampled, so its pitch moves with its tempo); a file
    shorter than one window raises ``PreparationError`` naming it.

    Samples read as if recorded at ``speed`` times their rate play ``speed`` times as fast;
    they are resampled from that rate to 16 kHz in one step where the two rates have a short
    common period (14.4 kHz to 16 kHz: 9 inputs to 10 outputs). Where they have not (22.05 kHz
    at 0.9x is 19,845 Hz: 3,969 inputs to 3,200 outputs), the audio is resampled to 16 kHz
    first, as without perturbation, and the 16 kHz samples are then played faster or slower.
    Both are exact, and cost about what audio at 16 kHz costs."""
    samples, rate = read_audio(path)
    if samples.numel() < FRAME_LENGTH_MS / 1000 * rate:
        raise PreparationError(f"{path}: audio is shorter than one {FRAME_LENGTH_MS:g} ms window")
    played = round(rate * speed)
    if played != SAMPLE_RATE and not short_period(played, SAMPLE_RATE):
        samples, played = resample(samples, rate, SAMPLE_RATE), round(SAMPLE_RATE * speed)
    return compute_fbank(samples, played, num_mel_bins)

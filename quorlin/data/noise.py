"""Additive noise for training: a share of the training utterances mixed, filter bank by filter
bank, with coloured noise or babble (other training utterances) at a random signal-to-noise
ratio. A recogniser trained on clean recordings alone reads noise as letters; one trained so
reads speech in noise, and noise as nothing.

Powers add, so filter banks mix as ``log(exp(speech) + gain * exp(noise))``: the filter banks
of the summed waveforms, up to the cross terms of the two signals, which average out. The
ratio is that of the powers within the filter banks' band with their pre-emphasis undone, so
that it means in dB what it means for waveforms (white noise exactly; the power that 1/f noise
holds below the band does not count).
"""
import functools
import math
from typing import Optional, Sequence

import torch
import torchaudio

from quorlin.prep.features import SAMPLE_RATE, compute_fbank, feature_seconds

PREEMPHASIS = 0.97  # Kaldi's, which the filter banks use
LOW_HZ = 20.0  # the lowest filter's lower edge
BABBLE_SHARE = 1 / 3  # of the noisy utterances; the others get coloured noise
MAX_TALKERS = 3
MAX_SLOPE = 2.0  # power falling as 1/f^slope: 0 white, 1 pink, 2 brown


def band_log_power(feats: torch.Tensor) -> torch.Tensor:
    """The log of the power that log-mel filter banks (num_feats, T) hold over their band, each
    bin's pre-emphasis gain at its centre frequency undone: a scalar tensor."""
    log_gain = _log_preemphasis_gain(feats.shape[0]).to(feats.dtype)  # (num_feats, 1)
    return torch.logsumexp((feats - log_gain).flatten(), 0)


@functools.lru_cache(maxsize=None)
def _log_preemphasis_gain(num_feats: int) -> torch.Tensor:
    """log |1 - a e^{-jw}|^2 at the centre frequency of each of the filter banks' bins: (num_feats, 1)."""
    # The filter banks' own bins: a 512-point FFT, LOW_HZ to the Nyquist frequency, no VTLN warp.
    _, centres = torchaudio.compliance.kaldi.get_mel_banks(num_feats, 512, float(SAMPLE_RATE), LOW_HZ, 0.0,
                                                            100.0, -500.0, 1.0)  # (num_feats, 1) in Hz
    omega = 2 * math.pi * centres.double() / SAMPLE_RATE
    return torch.log(1 + PREEMPHASIS ** 2 - 2 * PREEMPHASIS * torch.cos(omega))


def mix(speech: torch.Tensor, noise: torch.Tensor, snr_db: float) -> torch.Tensor:
    """Log-mel filter banks (num_feats, T) of ``speech`` with ``noise`` (the same shape) added
    ``snr_db`` dB below it."""
    log_gain = band_log_power(speech) - band_log_power(noise) - snr_db * math.log(10) / 10
    return torch.logaddexp(speech, noise + log_gain)


def coloured_noise(frames: int, num_feats: int, slope: float) -> torch.Tensor:
    """Filter banks (num_feats, frames) of Gaussian noise whose power falls as 1/f^slope."""
    samples = round(feature_seconds(frames) * SAMPLE_RATE)
    spectrum = torch.fft.rfft(torch.randn(samples))
    f = torch.arange(spectrum.numel(), dtype=torch.float32).clamp(min=1)
    waveform = torch.fft.irfft(spectrum / f ** (slope / 2), samples)
    waveform = 0.1 * waveform / waveform.abs().max()
    return torch.from_numpy(compute_fbank(waveform, SAMPLE_RATE, num_feats))


def babble(talkers: Sequence[torch.Tensor], frames: int) -> torch.Tensor:
    """Filter banks (num_feats, frames) of the talkers' filter banks (num_feats, T_i) spoken at
    once, each looped and started at a random frame."""
    total = None
    for talker in talkers:
        looped = talker.repeat(1, frames // talker.shape[1] + 2)  # (num_feats, >= frames + T_i)
        start = int(torch.randint(talker.shape[1], ()))
        piece = looped[:, start:start + frames]
        total = piece if total is None else torch.logaddexp(total, piece)
    return total


class NoiseMixer:
    """Mixes noise into a share of the utterances it is given.

    Args:
        prob: the share of utterances mixed, in [0, 1].
        snr: (lowest, highest) signal-to-noise ratio in dB; each mixture draws one uniformly.

    The randomness is torch's, so that a seeded run draws the same noise.
    """

    def __init__(self, prob: float, snr: Sequence[float]):
        low, high = (float(v) for v in snr)
        if not 0 <= prob <= 1:
            raise ValueError(f"prob must lie in [0, 1], got {prob!r}")
        if low > high:
            raise ValueError(f"snr must be (lowest, highest), got {list(snr)!r}")
        self.prob, self.low, self.high = float(prob), low, high

    def __call__(self, feats: torch.Tensor, others: Sequence) -> torch.Tensor:
        """``feats`` (num_feats, T), unnormalised, as they are or mixed with noise; babble takes
        its talkers from ``others``, filter banks (num_feats, T_i) of other utterances."""
        if float(torch.rand(())) >= self.prob:
            return feats
        num_feats, frames = feats.shape
        snr = self.low + (self.high - self.low) * float(torch.rand(()))
        if others and float(torch.rand(())) < BABBLE_SHARE:
            count = int(torch.randint(1, MAX_TALKERS + 1, ()))
            picks = torch.randint(len(others), (count,)).tolist()
            noise = babble([torch.as_tensor(others[i]) for i in picks], frames)
        else:
            noise = coloured_noise(frames, num_feats, MAX_SLOPE * float(torch.rand(())))
        return mix(feats, noise, snr)


def noise_mixer(config: dict) -> Optional[NoiseMixer]:
    """The mixer that a data section's ``noise`` key (``prob``, ``snr``) asks for; None when it
    asks for none, as configurations from before the key do not."""
    noise = config.get("noise") or {}
    prob = noise.get("prob", 0)
    return NoiseMixer(prob, noise["snr"]) if prob > 0 else None

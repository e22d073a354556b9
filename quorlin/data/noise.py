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
import math
from typing import Optional, Sequence

import numpy as np
import torch

from quorlin.prep.features import SAMPLE_RATE, compute_fbank

PREEMPHASIS = 0.97  # Kaldi's, which the filter banks use
LOW_HZ = 20.0  # the lowest filter's lower edge
BABBLE_SHARE = 1 / 3  # of the noisy utterances; the others get coloured noise
MAX_TALKERS = 3
MAX_SLOPE = 2.0  # power falling as 1/f^slope: 0 white, 1 pink, 2 brown


def band_log_power(feats: torch.Tensor) -> torch.Tensor:
    """The log of the power that log-mel filter banks (num_feats, T) hold over their band, each
    bin's pre-emphasis gain at its centre frequency undone: a scalar tensor."""
    num_feats = feats.shape[0]
    mel = np.linspace(_mel(LOW_HZ), _mel(SAMPLE_RATE / 2), num_feats + 2)[1:-1]
    omega = 2 * np.pi * 700 * (np.exp(mel / 1127) - 1) / SAMPLE_RATE
    gain = 1 + PREEMPHASIS ** 2 - 2 * PREEMPHASIS * np.cos(omega)  # |1 - a e^{-jw}|^2
    log_gain = torch.tensor(np.log(gain), dtype=feats.dtype).unsqueeze(1)  # (num_feats, 1)
    return torch.logsumexp((feats - log_gain).flatten(), 0)


def _mel(hz: float) -> float:
    return 1127 * math.log(1 + hz / 700)


def mix(speech: torch.Tensor, noise: torch.Tensor, snr_db: float) -> torch.Tensor:
    """Log-mel filter banks (num_feats, T) of ``speech`` with ``noise`` (the same shape) added
    ``snr_db`` dB below it."""
    log_gain = band_log_power(speech) - band_log_power(noise) - snr_db * math.log(10) / 10
    return torch.logaddexp(speech, noise + log_gain)


def coloured_noise(frames: int, num_feats: int, slope: float) -> torch.Tensor:
    """Filter banks (num_feats, frames) of Gaussian noise whose power falls as 1/f^slope."""
    samples = 400 + (frames - 1) * 160  # 25 ms windows every 10 ms at 16 kHz
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
        if self.prob == 0 or float(torch.rand(())) >= self.prob:
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

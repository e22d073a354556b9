"""Additive noise for training: a share of the training utterances mixed, filter bank by filter
bank, with coloured noise or babble (other training utterances) at a random signal-to-noise
ratio. A recogniser trained on clean recordings alone reads noise as letters; one trained so
reads speech in noise, and noise as nothing.

Powers add, so filter banks mix as ``log(exp(speech) + gain * exp(noise))``: the filter banks
of the summed waveforms, up to the cross terms of the two signals, which average out. The
ratio is that of the powers within the filter banks' band with their pre-emphasis undone, so
that it means in dB what it means for waveforms (white noise exactly; the power that 1/f noise
holds below the band does not count).

A share of the mixtures also get a stretch of the noise alone, before or after the speech: a
crowd of talkers too many to follow, or coloured noise. A recogniser that never heard noise
without a voice in front reads the background at a segment's edges as words.
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
CROWD = (3, 6)  # talkers alone: never fewer than three, so that no lone voice, however quiet, means nothing
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


def mix(speech: torch.Tensor, noise: torch.Tensor, snr_db: float, first: int = 0) -> torch.Tensor:
    """Log-mel filter banks (num_feats, N) of ``noise`` with ``speech`` (num_feats, T), T <= N,
    added at frames [first, first + T); there the noise lies ``snr_db`` dB below the speech."""
    under = slice(first, first + speech.shape[1])
    mixed = noise + (band_log_power(speech) - band_log_power(noise[:, under]) - snr_db * math.log(10) / 10)
    mixed[:, under] = torch.logaddexp(speech, mixed[:, under])
    return mixed


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
        alone: the share of the mixtures, in [0, 1], that also get a stretch of the noise
            alone (babble of a crowd of ``CROWD`` talkers) before or after the speech, at most as
            long as the utterance.

    The randomness is torch's, so that a seeded run draws the same noise.
    """

    def __init__(self, prob: float, snr: Sequence[float], alone: float = 0.0):
        low, high = (float(v) for v in snr)
        for name, share in (("prob", prob), ("alone", alone)):
            if not 0 <= share <= 1:
                raise ValueError(f"{name} must lie in [0, 1], got {share!r}")
        if low > high:
            raise ValueError(f"snr must be (lowest, highest), got {list(snr)!r}")
        self.prob, self.low, self.high, self.alone = float(prob), low, high, float(alone)

    def __call__(self, feats: torch.Tensor, others: Sequence, max_frames: int) -> torch.Tensor:
        """``feats`` (num_feats, T), unnormalised, as they are or mixed with noise, and with a
        stretch of the noise alone when that leaves them ``max_frames`` long at most. Babble
        takes its talkers from ``others``, filter banks (num_feats, T_i) of other utterances."""
        if float(torch.rand(())) >= self.prob:
            return feats
        num_feats, frames = feats.shape
        snr = self.low + (self.high - self.low) * float(torch.rand(()))
        alone = self.alone > 0 and float(torch.rand(())) < self.alone
        room = min(max_frames, 2 * frames) - frames  # frames the stretch may take
        stretch = int(torch.randint(1, room + 1, ())) if alone and room > 0 else 0
        first = stretch if stretch and float(torch.rand(())) < 0.5 else 0  # the speech's first frame
        if others and float(torch.rand(())) < BABBLE_SHARE:
            low, high = CROWD if alone else (1, MAX_TALKERS)
            count = int(torch.randint(low, high + 1, ()))
            picks = torch.randint(len(others), (count,)).tolist()
            noise = babble([torch.as_tensor(others[i]) for i in picks], frames + stretch)
        else:
            noise = coloured_noise(frames + stretch, num_feats, MAX_SLOPE * float(torch.rand(())))
        return mix(feats, noise, snr, first)


def noise_mixer(config: dict) -> Optional[NoiseMixer]:
    """The mixer that a data section's ``noise`` key (``prob``, ``snr``, ``alone``) asks for;
    None when it asks for none, as configurations from before the key do not."""
    noise = config.get("noise") or {}
    prob = noise.get("prob", 0)
    return NoiseMixer(prob, noise["snr"], noise.get("alone", 0.0)) if prob > 0 else None

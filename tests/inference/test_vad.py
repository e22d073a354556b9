"""The voice activity detectors on real speech (the demo corpus), in noise and in room tone."""
from pathlib import Path

import numpy as np
import pytest
import soundfile
import torch

from quorlin.errors import QuorlinError
from quorlin.inference.vad import FRAME, MIN_PAUSE, EnergyVad, LevelGate, SileroVad, speech_detector

SPEECH = sorted((Path(__file__).resolve().parents[2] / "demo/kjv/test").glob("*/*/*.ogg"))[:4]
OTHERS = sorted((Path(__file__).resolve().parents[2] / "demo/kjv/test").glob("*/*/*.ogg"))[-12:]
RATE = 16000


def _pink(n, rng):
    spectrum = np.fft.rfft(rng.standard_normal(n))
    noise = np.fft.irfft(spectrum / np.sqrt(np.maximum(np.arange(spectrum.size), 1)), n)
    return noise / np.sqrt(np.mean(noise ** 2))


def _utterances_in(noise_db=None, seed=0):
    """Four utterances 1 s apart after 2 s of room tone (pink noise at -60 dBFS), or in white
    noise ``noise_db`` below the speech: the samples and the utterances' frame spans."""
    rng = np.random.default_rng(seed)
    pieces, spans, at = [np.zeros(2 * RATE)], [], 2 * RATE
    for path in SPEECH:
        samples, rate = soundfile.read(path, dtype="float32")
        assert rate == RATE
        pieces += [samples, np.zeros(RATE)]
        spans.append((at // FRAME, (at + len(samples)) // FRAME))
        at += len(samples) + RATE
    clean = np.concatenate(pieces)
    speech_power = np.mean(np.concatenate([clean[a * FRAME:b * FRAME] for a, b in spans]) ** 2)
    if noise_db is None:
        noisy = clean + 1e-3 * _pink(len(clean), rng)
    else:
        noisy = clean + np.sqrt(speech_power / 10 ** (noise_db / 10)) * rng.standard_normal(len(clean))
    return torch.from_numpy(noisy.astype(np.float32)), spans


def _flags(detector, samples, block):
    flags = [detector.push(samples[i:i + block]) for i in range(0, samples.numel(), block)] + [detector.finish()]
    flags = torch.cat(flags)
    assert flags.dtype == torch.bool and flags.numel() == -(-samples.numel() // FRAME)
    return flags


@pytest.mark.parametrize("make", [lambda: SileroVad(1000), EnergyVad])
def test_speech_found_and_pauses_left_whatever_the_blocks(make):
    samples, spans = _utterances_in()
    flags = _flags(make(), samples, 30 * RATE)
    assert torch.equal(_flags(make(), samples, 7777), flags)
    for a, b in spans:
        assert flags[a:b].float().mean() > 0.6  # each utterance is mostly speech
    for (_, b), (a, _) in zip(spans, spans[1:]):
        assert not flags[b + 20:a - 20].any()  # the pauses between are not
    assert not flags[:spans[0][0] - 20].any()


def test_silero_hears_every_utterance_in_noise_as_loud_as_5_db_below_it():
    samples, spans = _utterances_in(noise_db=5)
    flags = _flags(SileroVad(1000), samples, 30 * RATE)
    assert all(flags[a:b].float().mean() > 0.5 for a, b in spans)


def test_room_tone_a_dc_offset_and_silence_hold_no_speech():
    rng = np.random.default_rng(1)
    tone = torch.from_numpy((0.05 + 1e-3 * _pink(60 * RATE, rng)).astype(np.float32))
    for detector in (SileroVad(1000), EnergyVad()):
        assert not _flags(detector, tone, 30 * RATE).any()
        assert not _flags(type(detector)(*([1000] if isinstance(detector, SileroVad) else [])),
                          torch.zeros(10 * RATE), 30 * RATE).any()


def _gated(speech, front, long_run):
    """The voice in front within runs of speech longer than ``long_run``, a run going on over
    gaps shorter than a pause: frame by frame."""
    out, f = speech.clone(), 0
    while f < speech.numel():
        if not speech[f]:
            f += 1
            continue
        end = f
        while end < speech.numel() and not (~speech[end:end + MIN_PAUSE]).all():
            end += 1
        last = int(torch.nonzero(speech[f:end]).flatten()[-1]) + f + 1
        if last - f > long_run:
            out[f:end] &= front[f:end]
        f = end
    return out


def test_the_voice_in_front_counts_in_long_runs_whatever_gaps_and_blocks_they_hold():
    # Bursts of speech with gaps shorter and longer than a pause, as Silero flags a voice
    # with talkers behind it; the gate's own flags at random.
    g = torch.Generator().manual_seed(0)
    pieces = []
    for _ in range(60):
        pieces.append(torch.ones(int(torch.randint(5, 120, (1,), generator=g)), dtype=torch.bool))
        gap = [2, MIN_PAUSE - 1, MIN_PAUSE, 40][int(torch.randint(0, 4, (1,), generator=g))]
        pieces.append(torch.zeros(gap, dtype=torch.bool))
    speech = torch.cat(pieces)
    front = torch.rand(speech.numel(), generator=g) < 0.7
    expected = _gated(speech, front, long_run=300)
    assert not torch.equal(expected, speech) and not torch.equal(expected, speech & front)
    for block in (speech.numel(), 7, 64, 333):
        vad = SileroVad(300)
        pieces = [vad._both(speech[i:i + block], front[i:i + block]) for i in range(0, speech.numel(), block)]
        assert torch.equal(torch.cat(pieces + [vad._both(speech[:0], front[:0], final=True)]), expected)


def _level_gate(samples):
    """The level gate's flags by brute force: for every frame, the loud speech of its block and
    the mean relative power of the frames around it, from the frames' powers alone."""
    G = LevelGate
    frames = np.pad(samples.numpy().astype(np.float64), (0, -samples.numel() % FRAME)).reshape(-1, FRAME)
    levels = 10 * np.log10(frames.var(axis=1) + 1e-12)
    n, run = len(levels), G.QUIET_RUN
    relative = np.zeros(n + 2 * run)  # outside the recording: silence
    for f in range(n):
        block = f // G.STEP * G.STEP
        loud = np.quantile(levels[max(0, block - G.REACH):block + G.STEP + G.REACH], G.LOUD_QUANTILE)
        relative[run + f] = 10 ** ((levels[f] - loud) / 10)
    middle = [relative[run + f - run // 2:run + f - run // 2 + run].mean() for f in range(n)]
    return torch.tensor([m > 10 ** (-G.DROP_DB / 10) for m in middle])


def _bursts(seconds, level, g):
    """Noise bursts of 0.1 to 0.6 s at ``level`` (rms) with 0.05 to 0.15 s of quiet between."""
    pieces, total = [], 0
    while total < seconds * RATE:
        n, quiet = int(torch.randint(1600, 9600, (1,), generator=g)), int(torch.randint(800, 2400, (1,), generator=g))
        pieces += [level * torch.randn(n, generator=g), 1e-3 * level * torch.randn(quiet, generator=g)]
        total += n + quiet
    return torch.cat(pieces)[:seconds * RATE]


def test_the_level_gate_leaves_out_long_stretches_well_below_the_loud_speech_whatever_the_blocks():
    # 40 s of bursts 20 dB below the loud ones that follow for 20 s, 20 s more of quiet bursts,
    # 15 s of bursts 8 dB below the loud ones and a second of silence.
    g = torch.Generator().manual_seed(3)
    samples = torch.cat([_bursts(40, 0.01, g), _bursts(20, 0.1, g), _bursts(20, 0.01, g), _bursts(15, 0.04, g),
                         torch.zeros(RATE + 77)])
    expected = _level_gate(samples)
    for block in (samples.numel(), 7777, 30 * RATE):
        assert torch.equal(_flags(LevelGate(), samples, block), expected)
    # The quiet bursts go where loud ones lie within 30 s (but for the 15 frames next to them),
    # not where they are the loudest around; the loud ones and those 8 dB below stay, with their
    # short pauses.
    assert expected[:1000].all() and not expected[1300:4000 - 14].any() and expected[4000 - 14:6000 + 15].all()
    assert not expected[6000 + 15:8000 - 30].any() and expected[8000:9500].all()
    assert not expected[-70:].any()  # silence


def test_talkers_behind_the_voice_are_not_speech():
    # Three talkers 20 dB below the voice, alone for 10 s and then behind its four utterances.
    voice, spans = _utterances_in()
    voice, spans = torch.cat([torch.zeros(8 * RATE), voice]), [(a + 800, b + 800) for a, b in spans]
    behind = np.zeros(voice.numel())
    for k in range(3):
        talker = np.concatenate([soundfile.read(p, dtype="float32")[0] for p in OTHERS[4 * k:4 * k + 4]])
        behind += np.resize(talker, voice.numel())
    speech_power = np.mean(np.concatenate([voice[a * FRAME:b * FRAME].numpy() for a, b in spans]) ** 2)
    behind *= np.sqrt(speech_power / np.mean(behind ** 2) / 100)
    samples = voice + torch.from_numpy(behind.astype(np.float32))
    lead = slice(0, spans[0][0] - 20)
    assert _flags(SileroVad(1000), samples, 30 * RATE)[lead].float().mean() > 0.5  # the network hears them
    flags = _flags(speech_detector("silero"), samples, 30 * RATE)
    assert not flags[lead].any()
    assert all(flags[a:b].float().mean() > 0.6 for a, b in spans)


def test_unknown_detectors_are_refused_by_name():
    with pytest.raises(QuorlinError, match="unknown voice activity detector 'webrtc': give one of silero, energy"):
        speech_detector("webrtc")

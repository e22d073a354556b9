import random

import pytest
import torch

from quorlin.inference.results import Word
from quorlin.inference.segmentation import keep_words, split_audio

RATE = 16000


def _signal(pieces, seed=0):
    """Samples of ("speech" | "pause", seconds) pieces: noise bursts at -20 dB, pauses of
    faint noise at -80 dB; returns them with the burst intervals in seconds."""
    g = torch.Generator().manual_seed(seed)
    parts, bursts, t = [], [], 0.0
    for kind, seconds in pieces:
        n = round(seconds * RATE)
        parts.append(torch.randn(n, generator=g) * (0.1 if kind == "speech" else 1e-4))
        if kind == "speech":
            bursts.append((t, t + n / RATE))
        t += n / RATE
    return torch.cat(parts), bursts


def _split(samples, max_seconds, block_seconds=1.0, **kwargs):
    return list(split_audio(torch.split(samples, round(block_seconds * RATE)), max_seconds, **kwargs))


def _spans(segments):
    return [(s.start, s.end, s.keep_start, s.keep_end) for s in segments]


PIECES = [("pause", 1), ("speech", 3), ("pause", 0.5), ("speech", 4), ("pause", 2), ("speech", 5),
          ("pause", 0.4), ("speech", 3), ("pause", 10), ("speech", 2), ("pause", 1)]


def test_cuts_fall_inside_pauses_and_keep_every_burst_whole():
    samples, bursts = _signal(PIECES)
    segments = _split(samples, 8.0)
    pauses = [(0.0, bursts[0][0])] + [(a[1], b[0]) for a, b in zip(bursts, bursts[1:])] + \
             [(bursts[-1][1], samples.numel() / RATE)]
    for s in segments:
        assert s.samples.numel() <= 8 * RATE
        assert (s.keep_start, s.keep_end) == (s.start, s.end)
        assert s.samples.numel() == round((s.end - s.start) * RATE)
        assert torch.equal(s.samples, samples[round(s.start * RATE):round(s.end * RATE)])
        for edge in (s.start, s.end):
            assert any(a <= edge <= b for a, b in pauses), f"cut at {edge} s is not in a pause"
    assert all(a.end <= b.start for a, b in zip(segments, segments[1:]))
    for a, b in bursts:
        assert sum(s.start <= a and b <= s.end for s in segments) == 1, f"burst {a}-{b} not in one segment"
    # Every stretch of speech is a segment of its own, from 0.2 s before it to 0.2 s after;
    # the 10 s silence is left out.
    assert len(segments) == len(bursts)
    for s, (a, b) in zip(segments, bursts):
        assert (s.start, s.end) == (pytest.approx(a - 0.2, abs=1e-6), pytest.approx(b + 0.2, abs=1e-6))


def test_random_layouts_keep_all_speech_whatever_the_block_size():
    rng = random.Random(0)
    for trial in range(20):
        pieces = [(rng.choice(["speech", "pause"]), rng.choice([rng.uniform(0.05, 1), rng.uniform(0.2, 9)]))
                  for _ in range(rng.randint(1, 6))]
        samples, bursts = _signal(pieces, seed=trial)
        max_seconds = rng.choice([2.0, 5.0])
        segments = _split(samples, max_seconds, block_seconds=100)
        assert _spans(_split(samples, max_seconds, block_seconds=rng.uniform(0.01, 2))) == _spans(segments)
        for s in segments:
            assert s.samples.numel() <= max_seconds * RATE and s.start <= s.keep_start <= s.keep_end <= s.end
        assert all(a.keep_end <= b.keep_start for a, b in zip(segments, segments[1:]))
        # Every 10 ms of every burst, its edges aside, is in exactly one kept interval.
        for a, b in bursts:
            for t in torch.arange(a + 0.01, b - 0.01, 0.01).tolist():
                assert sum(s.keep_start <= t < s.keep_end for s in segments) == 1, (trial, t, pieces)


def test_long_speech_gives_overlapping_windows_whose_kept_intervals_tile_it():
    samples, _ = _signal([("speech", 30.0)])
    segments = _split(samples, 8.0, block_seconds=0.7, overlap_seconds=2.0)
    assert len(segments) == 5
    assert segments[0].keep_start == segments[0].start == 0.0
    assert segments[-1].keep_end == segments[-1].end == 30.0
    for s in segments:
        assert s.samples.numel() <= 8 * RATE
        assert s.start <= s.keep_start < s.keep_end <= s.end
        assert torch.equal(s.samples, samples[round(s.start * RATE):round(s.end * RATE)])
    for a, b in zip(segments, segments[1:]):
        assert a.end - b.start == pytest.approx(2.0)
        assert a.keep_end == b.keep_start == pytest.approx((a.end + b.start) / 2)


def test_short_and_silent_recordings():
    samples, _ = _signal([("pause", 1), ("speech", 2), ("pause", 3), ("speech", 1), ("pause", 0.25)])
    assert _spans(_split(samples, 8.0)) == [pytest.approx((0.8, 3.2, 0.8, 3.2)), pytest.approx((5.8, 7.2, 5.8, 7.2))]
    assert _split(torch.zeros(5 * RATE), 8.0) == []
    # Steady noise with nothing louder cannot be told apart from speech: it is all kept.
    [segment] = _split(torch.randn(3 * RATE) * 0.01, 8.0)
    assert (segment.start, segment.end) == (0.0, 3.0)


def test_segments_come_out_while_the_stream_is_read():
    # 1 s of speech, then 1 s of pause, repeated for 200 s: a segment comes out at most about
    # max_seconds plus one block after its audio was read.
    samples, _ = _signal([("speech", 1.0), ("pause", 1.0)] * 100)
    read = []

    def blocks():
        for block in torch.split(samples, RATE // 2):
            read.append(block.numel())
            yield block

    segments = []
    for segment in split_audio(blocks(), 5.0):
        assert sum(read) / RATE - segment.end <= 5.0 + 0.5 + 0.5
        segments.append(segment)
    assert len(segments) >= 40 and all(s.samples.numel() <= 5 * RATE for s in segments)


def test_keep_words_gives_each_word_once():
    samples, _ = _signal([("speech", 20.0)])
    segments = _split(samples, 6.0, overlap_seconds=2.0)
    g = torch.Generator().manual_seed(0)
    starts = torch.cumsum(torch.rand(60, generator=g) * 0.5 + 0.05, 0)
    words = [Word(float(s), float(s) + 0.2, f"w{i}") for i, s in enumerate(starts) if s + 0.2 <= 20.0]
    kept = []
    for s in segments:
        # A recogniser hears every word whose audio lies in the window.
        heard = [w for w in words if s.start <= w.start and w.end <= s.end]
        kept += keep_words(s, heard)
    assert [w.text for w in kept] == [w.text for w in words]
    # The midpoint decides: a word centred on a boundary belongs to the later window.
    boundary = segments[0].keep_end
    word = Word(boundary - 0.1, boundary + 0.1, "x")
    assert keep_words(segments[0], [word]) == [] and keep_words(segments[1], [word]) == [word]


def test_bad_arguments():
    # Checked when called, before any block is read.
    for max_seconds in (0.5, float("inf"), float("nan")):
        with pytest.raises(ValueError, match=f"max_seconds must be at least 1 and finite, got {max_seconds}"):
            split_audio(iter([]), max_seconds)
    with pytest.raises(ValueError, match=r"blocks must be mono, of shape \(m,\), got \(2, 100\)"):
        _split(torch.zeros(2, 100), 8.0)
    with pytest.raises(ValueError, match=r"overlap_seconds must lie in \[0, max_seconds / 2\), got 5"):
        _split(torch.zeros(RATE), 8.0, overlap_seconds=5)

import dataclasses
import itertools
import math
import random

import pytest
import torch

from quorlin.inference.results import Word
from quorlin.inference.segmentation import (CONTEXT, LONG_PAUSE, MARGIN, MIN_PAUSE, PAUSE_REWARD, AudioSegment,
                                            SegmentLengths, keep_words, plan_segments, split_audio)
from quorlin.inference.vad import FRAME, SpeechDetector

RATE = 16000
# Training utterances of 3 to 6 s.
LENGTHS = SegmentLengths([3 + 3 * k / 20 for k in range(21)], limit=12.0)


class LoudFrames(SpeechDetector):
    """A stand-in detector: a frame is speech when its loudest sample passes 0.01."""

    def __init__(self):
        self.held = torch.zeros(0)

    def push(self, samples):
        self.held = torch.cat([self.held, samples])
        whole = self.held.numel() // FRAME
        flags = self.held[:whole * FRAME].view(-1, FRAME).abs().amax(dim=1) > 0.01
        self.held = self.held[whole * FRAME:]
        return flags

    def finish(self):
        return self.push(torch.zeros(-self.held.numel() % FRAME)) if self.held.numel() else torch.zeros(0, dtype=bool)


def _signal(pieces, seed=0):
    """Samples of ("speech" | "pause", seconds) pieces: noise at -20 dB, pauses at -80 dB; and
    the speech intervals in seconds."""
    g = torch.Generator().manual_seed(seed)
    parts, bursts, t = [], [], 0.0
    for kind, seconds in pieces:
        n = round(seconds * RATE)
        parts.append(torch.randn(n, generator=g) * (0.1 if kind == "speech" else 1e-4))
        if kind == "speech":
            bursts.append((t, t + n / RATE))
        t += n / RATE
    return torch.cat(parts), bursts


def _split(samples, lengths=LENGTHS, block_seconds=1.0, duration=None, **kwargs):
    blocks = torch.split(samples, max(1, round(block_seconds * RATE)))
    return list(split_audio(blocks, LoudFrames(), lengths, duration, **kwargs))


def _spans(segments):
    return [(s.start, s.end, s.keep_start, s.keep_end) for s in segments]


def _brute_force(flags, lengths):
    """The least cost of every choice of cuts, by enumeration."""
    F = len(flags)
    runs = [(a, b) for a, b in _runs(flags) if not flags[a]]
    pauses = [(a, b) for a, b in runs if 0 < a and b < F and b - a >= MIN_PAUSE]
    best = math.inf
    for chosen in itertools.product([False, True], repeat=len(pauses)):
        cuts = [p for p, c in zip(pauses, chosen) if c]
        nodes = [0] + [(a + b) // 2 for a, b in cuts] + [min(F, _last_speech(flags) + MARGIN)]
        cost = -sum(PAUSE_REWARD * math.log(min(b - a, LONG_PAUSE) / MIN_PAUSE) for a, b in cuts)
        cost += sum(lengths.cost((end - start) / 100) for start, end in zip(nodes, nodes[1:]))
        best = min(best, cost)
    return best


def _last_speech(flags):
    return max(i for i, f in enumerate(flags) if f) + 1


def _runs(flags):
    bounds = [0] + [i for i in range(1, len(flags)) if flags[i] != flags[i - 1]] + [len(flags)]
    return list(zip(bounds[:-1], bounds[1:]))


def test_plans_are_the_cheapest_choice_of_cuts():
    rng = random.Random(0)
    for trial in range(40):
        flags = []
        while len(flags) < 1500:
            flags += [True] * rng.randint(20, 300) + [False] * rng.choice([rng.randint(1, 9), rng.randint(10, 90)])
        flags = [False] * rng.randint(0, 20) + flags[:rng.randint(800, 1500)]
        plan = plan_segments(torch.tensor(flags), LENGTHS, closed=True)
        cost = sum(LENGTHS.cost((b - a) / 100) for a, b in plan)
        cost -= sum(PAUSE_REWARD * math.log(min(b - a, LONG_PAUSE) / MIN_PAUSE)
                    for a, b in (_pause_between(flags, x, y) for (_, x), (y, _) in zip(plan, plan[1:])))
        assert cost == pytest.approx(_brute_force(flags, LENGTHS)), trial
        # Segments meet in the middle of pauses, so that no frame between them is lost; the last
        # ends MARGIN past the speech.
        assert plan[0][0] == 0 and plan[-1][1] == min(len(flags), _last_speech(flags) + MARGIN)
        assert all(x[1] == y[0] and not any(flags[x[1] - MIN_PAUSE // 2:x[1] + MIN_PAUSE // 2])
                   for x, y in zip(plan, plan[1:]))


def _pause_between(flags, end, start):
    """The pause that holds the cut between a segment ending at ``end`` and one starting at ``start``."""
    a = end
    while a > 0 and not flags[a - 1]:
        a -= 1
    b = start
    while b < len(flags) and not flags[b]:
        b += 1
    return a, b


def test_segments_are_as_long_as_the_training_utterances_not_cut_at_every_pause():
    # Speech in 0.8 s bursts with 0.15 s pauses, for a minute, then a long pause and 2 s more.
    samples, bursts = _signal([("speech", 0.8), ("pause", 0.15)] * 60 + [("pause", 3), ("speech", 2), ("pause", 1)])
    segments = _split(samples)
    assert all(3.0 - 0.2 <= s.keep_end - s.keep_start <= 6.0 + 0.4 for s in segments[:-1])
    # The long pause always ends a segment, and its silence is left out but for the margins.
    assert segments[-1].start == pytest.approx(bursts[-1][0] - MARGIN / 100)
    assert segments[-1].end == pytest.approx(bursts[-1][1] + MARGIN / 100)
    for s in segments:
        assert torch.equal(s.samples, samples[round(s.start * RATE):round(s.end * RATE)])
        assert s.speech.numel() == round((s.end - s.start) * 100)
    for a, b in bursts:  # every burst whole in exactly one segment's share
        assert sum(s.keep_start <= a + 1e-9 and b <= s.keep_end + 1e-9 for s in segments) == 1, (a, b)
    # Cut at short pauses, the segments' shares meet, so no stretch of the recording between
    # them is lost, and each segment hears CONTEXT of the audio beyond each cut; a stretch's
    # first and last segments end with its speech's margins.
    inner = segments[:-1]
    assert all(x.keep_end == pytest.approx(y.keep_start) for x, y in zip(inner, inner[1:]))
    assert all(x.end - x.keep_end == pytest.approx(CONTEXT / 100) == y.keep_start - y.start
               for x, y in zip(inner, inner[1:]))
    assert inner[0].keep_start == inner[0].start and inner[-1].keep_end == inner[-1].end
    assert segments[-1].keep_start == segments[-1].start and segments[-1].keep_end == segments[-1].end
    # Without context (a recogniser without word times), the same shares and nothing more.
    plain = _split(samples, context=False)
    assert [(s.keep_start, s.keep_end) for s in plain] == [(s.keep_start, s.keep_end) for s in segments]
    assert all((s.start, s.end) == (s.keep_start, s.keep_end) for s in plain)


def test_random_layouts_give_the_same_segments_whatever_the_blocks():
    rng = random.Random(1)
    for trial in range(15):
        pieces = [(rng.choice(["speech", "pause"]), rng.choice([rng.uniform(0.05, 1.5), rng.uniform(0.2, 14)]))
                  for _ in range(rng.randint(1, 8))]
        samples, bursts = _signal(pieces, seed=trial)
        segments = _split(samples, block_seconds=100)
        assert _spans(_split(samples, block_seconds=rng.uniform(0.01, 3))) == _spans(segments)
        for s in segments:
            assert s.end - s.start <= LENGTHS.limit + 1e-9 and s.start <= s.keep_start <= s.keep_end <= s.end
        assert all(a.keep_end <= b.keep_start for a, b in zip(segments, segments[1:]))
        # Every 10 ms of every burst, its edges aside, is in exactly one kept interval.
        for a, b in bursts:
            for t in torch.arange(a + 0.01, b - 0.01, 0.01).tolist():
                assert sum(s.keep_start <= t < s.keep_end for s in segments) == 1, (trial, t, pieces)


def test_a_recording_no_longer_than_the_training_utterances_is_one_segment():
    # Even with a pause long enough to end a segment in a longer recording.
    samples, bursts = _signal([("pause", 0.5), ("speech", 2), ("pause", 1.2), ("speech", 1.5), ("pause", 0.6)])
    duration = samples.numel() / RATE
    assert duration <= LENGTHS.longest
    [whole] = _split(samples, duration=duration)
    assert (whole.start, whole.end) == (0.0, duration) and torch.equal(whole.samples, samples)
    assert len(_split(samples)) == 2  # not knowing the duration: two stretches
    assert _split(torch.zeros(5 * RATE), duration=5.0) == [] and _split(torch.zeros(30 * RATE)) == []


def test_speech_without_pauses_gives_overlapping_windows_whose_kept_intervals_tile_it():
    samples, _ = _signal([("speech", 40.0)])
    segments = _split(samples, block_seconds=0.7, overlap_seconds=2.0)
    assert segments[0].keep_start == segments[0].start == 0.0
    assert segments[-1].keep_end == segments[-1].end == 40.0
    for s in segments:  # windows as long as the longest training utterance
        assert s.end - s.start <= LENGTHS.longest + 1e-9 and s.start <= s.keep_start < s.keep_end <= s.end
    for a, b in zip(segments, segments[1:]):
        assert a.end - b.start == pytest.approx(2.0)
        assert a.keep_end == b.keep_start == pytest.approx((a.end + b.start) / 2)


def test_segments_come_out_while_the_stream_is_read():
    samples, _ = _signal([("speech", 1.0), ("pause", 0.3)] * 150)
    read = []

    def blocks():
        for block in torch.split(samples, RATE // 2):
            read.append(block.numel())
            yield block

    segments = []
    for segment in split_audio(blocks(), LoudFrames(), LENGTHS):
        # At most the horizon (two of the longest segments and a long pause) and a block behind.
        assert sum(read) / RATE - segment.end <= 2 * 6.0 + 1.0 + 0.4 + 0.5
        segments.append(segment)
    assert len(segments) >= 30


def test_keep_words_gives_each_word_once():
    samples, _ = _signal([("speech", 30.0)])
    segments = _split(samples, overlap_seconds=2.0)
    g = torch.Generator().manual_seed(0)
    starts = torch.cumsum(torch.rand(90, generator=g) * 0.5 + 0.05, 0)
    words = [Word(float(s), float(s) + 0.2, f"w{i}") for i, s in enumerate(starts) if s + 0.2 <= 30.0]
    kept = []
    for s in segments:
        # A recogniser hears every word whose audio lies in the window.
        heard = [w for w in words if s.start <= w.start and w.end <= s.end]
        kept += keep_words(s, heard)
    assert [w.text for w in kept] == [w.text for w in words]
    # The midpoint decides: a word centred on a boundary belongs to the later window, which
    # holds its times within its share.
    boundary = segments[0].keep_end
    word = Word(boundary - 0.1, boundary + 0.1, "x")
    assert keep_words(segments[0], [word]) == [] and keep_words(segments[1], [word]) == [Word(boundary, word.end, "x")]


def test_keep_words_drops_what_was_read_in_a_pause():
    # 1 s from 2 s on: speech in frames 20-59 only. Times are exact in binary.
    speech = torch.zeros(100, dtype=torch.bool)
    speech[20:60] = True
    segment = AudioSegment(2.0, 3.0, torch.zeros(16000), 2.0, 3.0, speech)
    words = [Word(2.03125, 2.171875, "hiss"),  # frames 3-17: all pause
             Word(2.0625, 2.203125, "edge"),  # frames 6-20: touches speech
             Word(2.3125, 2.5, "said"),
             Word(2.609375, 2.609375, "blip"),  # no length, in frame 60: pause
             Word(2.59375, 2.59375, "tick"),  # no length, in frame 59: speech
             Word(2.609375, 2.984375, "tail")]  # frames 60-98: pause
    assert [w.text for w in keep_words(segment, words)] == ["edge", "said", "tick"]
    # A recording decoded whole keeps every word, as evaluation's decoding of it does.
    assert keep_words(dataclasses.replace(segment, speech=None), words) == words


def test_bad_arguments():
    with pytest.raises(ValueError, match=r"quantiles must be 21 positive durations in increasing order"):
        SegmentLengths([1.0, 2.0], 10.0)
    with pytest.raises(ValueError, match=r"limit must be at least 1 s, got 0.5"):
        SegmentLengths([1.0] * 21, 0.5)
    # Checked when called, before any block is read.
    with pytest.raises(ValueError, match=r"overlap_seconds must lie in \[0, 3\), got 4"):
        split_audio(iter([]), LoudFrames(), LENGTHS, overlap_seconds=4)
    with pytest.raises(ValueError, match=r"blocks must be mono, of shape \(m,\), got \(2, 100\)"):
        _split(torch.zeros(2, 100))
    # Beyond the model's limit a segment is out of the question; outside the training durations it costs.
    assert LENGTHS.cost(12.5) == math.inf and LENGTHS.cost(7.0) == pytest.approx(4.0)
    assert LENGTHS.cost(6.0) == LENGTHS.cost(3.15) == 0.0 and LENGTHS.cost(2.9) == pytest.approx(1.0)

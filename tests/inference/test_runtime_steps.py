"""The C++ runtime's inner steps on their own (its quorlin-probe program) against the Python
ones and the libraries they follow: filter banks of recordings at several rates, speech flags
and the Silero network's outputs on real speech, the detectors' sliding quantiles, the segments
of long recordings, forced alignments and CTC prefix scores."""
import subprocess
from pathlib import Path

import numpy as np
import pytest
import soundfile
import torch
import torchaudio

from quorlin.decoding.ctc_prefix import CTCPrefixScorer
from quorlin.inference.audio import AudioSource
from quorlin.inference.segmentation import SegmentLengths, split_audio
from quorlin.inference.vad import _silero_model, silero_model_path, speech_detector
from quorlin.prep.features import compute_fbank

ROOT = Path(__file__).resolve().parents[2]
PROBE = ROOT / "build" / "runtime" / "quorlin-probe"
# Real speech: demo utterances of 1.3 to 7.4 s.
SPEECH = sorted(str(p) for p in (ROOT / "demo/kjv/test/100/3").glob("*.ogg"))[:6]


def probe(*args):
    assert PROBE.is_file(), f"{PROBE} is missing: scripts/setup.sh builds it"
    done = subprocess.run([str(PROBE), *map(str, args)], capture_output=True, text=True, env={})
    assert done.returncode == 0, done.stderr
    return done.stdout


def tones(seconds, rate, rng, pauses=()):
    """A sum of tones with noise; silent (but for faint noise) over the ``pauses`` (start, end)."""
    t = np.arange(int(seconds * rate)) / rate
    x = 0.3 * np.sin(2 * np.pi * 220 * t) * np.sin(2 * np.pi * 1.3 * t) + 0.1 * np.sin(2 * np.pi * 1234 * t)
    x += 0.01 * rng.standard_normal(t.size)
    for start, end in pauses:
        x[int(start * rate):int(end * rate)] = 0.0005 * rng.standard_normal(int(end * rate) - int(start * rate))
    return x.astype(np.float32)


@pytest.mark.parametrize("rate, channels, subtype, suffix", [
    (16000, 1, "PCM_16", "flac"), (44100, 2, "PCM_24", "wav"), (22050, 1, "FLOAT", "wav"), (8000, 3, "PCM_16", "flac"),
    (44101, 1, "PCM_16", "wav"),  # no common factor with 16 kHz
])
def test_filter_banks_of_recordings_match_the_python_features(tmp_path, rate, channels, subtype, suffix):
    rng = np.random.default_rng(rate)
    samples = np.stack([tones(2.3, rate, rng) * (0.5 + c / 3) for c in range(channels)], axis=1)
    path = tmp_path / f"audio.{suffix}"
    soundfile.write(path, samples, rate, subtype=subtype)
    frames, bins = map(int, probe("features", path, 40, tmp_path / "fbank.bin").split())
    ours = np.fromfile(tmp_path / "fbank.bin", dtype=np.float32).reshape(frames, bins)
    # Read, mixed and resampled in blocks as the Python recogniser does.
    stream = torch.cat(list(AudioSource(str(path)).blocks(30.0)))
    expected = compute_fbank(stream, 16000, 40).T  # (frames, bins)
    assert ours.shape == expected.shape == (1 + (round(2.3 * 16000) - 400) // 160, 40)
    assert np.abs(ours - expected).max() <= 1e-4
    # The whole recording mixed down, then the filter banks of preparation (resampling included).
    mono = soundfile.read(path, dtype="float32", always_2d=True)[0].mean(axis=1)
    assert np.abs(ours - compute_fbank(torch.from_numpy(mono), rate, 40).T).max() <= 1e-4


def _python_flags(path, vad, long_run):
    detector = speech_detector(vad, long_run)
    return torch.cat([detector.push(block) for block in AudioSource(str(path)).blocks(30.0)] + [detector.finish()])


def _behind(speech):
    """``speech`` after 8 s of other talkers, who go on behind it 20 dB below."""
    others = np.concatenate([soundfile.read(path, dtype="float32")[0] for path in SPEECH[::-1]])
    voice = np.concatenate([np.zeros(8 * 16000, np.float32), speech])
    behind = np.resize(np.roll(others, 12345), voice.size) + np.resize(others[::-1], voice.size)
    return voice + behind * np.sqrt(np.mean(speech ** 2) / np.mean(behind ** 2) / 100)


def test_speech_flags_and_the_silero_network_match_the_python_detectors(tmp_path):
    # The network on pieces of real speech, as the detector runs it: the same LibTorch kernels
    # (the sums of other numbers of threads may round differently).
    stream = torch.cat([torch.cat(list(AudioSource(path).blocks(30.0))) for path in SPEECH])
    chunks = stream[:3 * 24 * 512].reshape(3, 24, 512).contiguous()  # (pieces, chunks, samples)
    chunks.numpy().tofile(tmp_path / "chunks.bin")
    ours = np.array(probe("silero", tmp_path / "chunks.bin", 3, 24, silero_model_path()).split(), np.float32)
    network = _silero_model()
    network.reset_states()
    with torch.inference_mode():
        expected = torch.stack([network(chunks[:, c], 16000)[:, 0] for c in range(24)], dim=1)
    assert np.abs(ours.reshape(3, 24) - expected.numpy()).max() <= 1e-6 and (expected > 0.5).any()
    # Flags of speech, of speech under noise with long runs gated, of speech with talkers behind
    # it (alone at first) that the level gate leaves out, and of a stream of exactly 8.192 s,
    # whose last frame's middle sample lies past its last sample.
    rng = np.random.default_rng(5)
    speech = np.concatenate([soundfile.read(path, dtype="float32")[0] for path in SPEECH])
    noisy = speech + 0.05 * rng.standard_normal(speech.size).astype(np.float32)
    soundfile.write(tmp_path / "noisy.wav", noisy, 16000, subtype="FLOAT")
    soundfile.write(tmp_path / "behind.wav", _behind(speech), 16000, subtype="FLOAT")
    soundfile.write(tmp_path / "exact.wav", speech[:131072], 16000, subtype="FLOAT")
    for path, long_run in [(SPEECH[0], 1000), (tmp_path / "noisy.wav", 150), (tmp_path / "behind.wav", 1000),
                           (tmp_path / "exact.wav", 1000)]:
        for vad in ("silero", "energy"):
            expected = _python_flags(path, vad, long_run)
            ours = probe("flags", path, vad, silero_model_path(), long_run).strip()
            assert len(ours) == expected.numel() == -(-sum(b.numel() for b in AudioSource(str(path)).blocks()) // 160)
            assert ours == "".join("1" if f else "0" for f in expected.tolist()), (path, vad)
            assert "1" in ours and "0" in ours


def test_sliding_quantiles_equal_torch_nanquantile(tmp_path):
    # The detectors' local floors and loud levels: dB levels with ties, a run of digital silence,
    # NaN padding at both ends (the recording's edges) and windows narrower than the padding.
    rng = np.random.default_rng(3)
    levels = rng.normal(-40, 15, 3000).astype(np.float32)
    levels[500:700] = -120.0
    levels[1000:1400] = np.round(levels[1000:1400] / 3)
    for pad, width in [(200, 401), (2, 5), (0, 1)]:
        x = np.concatenate([np.full(pad, np.nan, np.float32), levels, np.full(pad, np.nan, np.float32)])
        x.tofile(tmp_path / "levels.bin")
        windows = torch.from_numpy(x).unfold(0, width, 1)  # (K - width + 1, width)
        for q in (0.1, 0.9, 0.95):
            ours = np.array(probe("quantile", tmp_path / "levels.bin", x.size, width, q).split(), np.float32)
            assert np.array_equal(ours, torch.nanquantile(windows, q, 1).numpy()), (pad, width, q)


def test_segments_of_recordings_match_the_python_splitter(tmp_path):
    # Training utterances of 1 to 4 s: a stitched recording of real speech is cut at its
    # pauses, tones with a stretch longer than the limit and no pause into windows, and a
    # recording no longer than the longest training utterance is one segment.
    lengths = SegmentLengths([1 + 3 * k / 20 for k in range(21)], limit=6.0)
    rng = np.random.default_rng(1)
    pauses = [(3.0, 3.2), (5.0, 6.5), (14.0, 15.0), (16.0, 16.4), (19.0, 20.5)]
    soundfile.write(tmp_path / "tones.flac", tones(24.0, 16000, rng, pauses), 16000)
    speech = np.concatenate([soundfile.read(path, dtype="float32")[0] for path in SPEECH])
    soundfile.write(tmp_path / "speech.wav", speech, 16000)
    soundfile.write(tmp_path / "short.wav", speech[:int(3.5 * 16000)], 16000)
    soundfile.write(tmp_path / "behind.wav", _behind(speech), 16000, subtype="FLOAT")
    cases = [("speech.wav", "silero", 3), ("speech.wav", "energy", 3), ("tones.flac", "energy", 5),
             ("behind.wav", "silero", 3),
             ("short.wav", "silero", 1), ("short.wav", "energy", 1)]
    for name, vad, least in cases:
        path = str(tmp_path / name)
        lines = probe("segments", path, vad, silero_model_path(), lengths.limit, *lengths.quantiles).splitlines()
        source = AudioSource(path)
        expected = list(split_audio(source.blocks(30.0), speech_detector(vad, round(lengths.longest * 100)), lengths,
                                    source.duration))
        assert len(lines) == len(expected) >= least, (name, vad)
        for line, segment in zip(lines, expected):
            start, end, keep_start, keep_end, samples = line.split()
            assert (float(start), float(end), float(keep_start), float(keep_end), int(samples)) == \
                (segment.start, segment.end, segment.keep_start, segment.keep_end, segment.samples.numel())


def _viterbi(log_probs, targets, blank):
    """The best CTC path's score by brute force over every path (an independent check of the
    alignment's optimality, ties aside)."""
    import itertools
    T, best = log_probs.shape[0], -np.inf
    for path in itertools.product(range(log_probs.shape[1]), repeat=T):
        collapsed = [p for i, p in enumerate(path) if p != blank and (i == 0 or p != path[i - 1])]
        if collapsed == list(targets):
            best = max(best, sum(log_probs[t, p] for t, p in enumerate(path)))
    return best


def test_forced_alignments_match_torchaudio(tmp_path):
    rng = np.random.default_rng(2)
    cases = [(6, 3, [1, 2]), (5, 3, [1, 1]), (7, 4, [2, 2, 3]), (3, 3, [1, 2]), (4, 4, [3, 3])]  # small: brute force
    cases += [(int(rng.integers(8, 60)), 12, list(rng.integers(1, 12, int(rng.integers(1, 8))))) for _ in range(15)]
    cases += [(9, 5, [1, 1, 1, 2, 2]), (4, 5, [2, 3, 4, 1])]  # exactly as many frames as needed
    for T, V, targets in cases:
        log_probs = torch.randn(T, V, generator=torch.Generator().manual_seed(T * V)).mul(3).log_softmax(-1)
        needed = len(targets) + sum(a == b for a, b in zip(targets, targets[1:]))
        if needed > T:
            continue
        log_probs.numpy().astype(np.float32).tofile(tmp_path / "lp.bin")
        ours = [int(v) for v in probe("align", tmp_path / "lp.bin", T, V, 0, *targets).split()]
        path, _ = torchaudio.functional.forced_align(log_probs[None], torch.tensor([targets], dtype=torch.int32),
                                                     blank=0)
        assert ours == path[0].tolist(), (T, V, targets)
        if T <= 7:
            score = float(log_probs[torch.arange(T), torch.tensor(ours)].sum())
            assert score == pytest.approx(_viterbi(log_probs.numpy(), targets, 0), abs=1e-4)


def test_ctc_prefix_scores_match_the_python_scorer(tmp_path):
    for seed, (S, V, ids) in enumerate([(30, 9, [4, 5, 5, 6]), (12, 6, [3, 3, 3]), (50, 20, [7, 2, 8, 8, 9, 11, 4]),
                                        (3, 5, [4, 4, 3, 4])]):
        log_probs = torch.randn(S, V, generator=torch.Generator().manual_seed(seed)).mul(4).log_softmax(-1)
        log_probs.numpy().astype(np.float32).tofile(tmp_path / "lp.bin")
        ours = np.array([[float(v) for v in line.split()] for line in
                         probe("ctc", tmp_path / "lp.bin", S, V, 0, 2, *ids).splitlines()], dtype=np.float32)
        scorer = CTCPrefixScorer(log_probs[:, None], torch.tensor([S]), blank_id=0, eos_id=2)
        expected = [scorer.init(torch.tensor([[1]]), 10)] + [scorer.step(torch.tensor([i])) for i in ids]
        assert np.array_equal(ours, torch.cat(expected).numpy()), (S, V, ids)

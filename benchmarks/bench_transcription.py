"""Transcription as users get it (``Recognizer.transcribe`` at its defaults), against the
whole-utterance decoding of ``quorlin evaluate`` on the same audio with the same search.

1. ``--heldout``: short recordings the demo never heard: sentences of
   benchmarks/data/heldout-sentences.txt spoken by espeak-ng voices the demo corpus does not
   use, at 22.05 kHz. Transcribed as a folder at batch sizes 1, 16 and 64: CER, whether the
   transcripts are identical, and how many run away (twice the reference's length or more).
2. ``--long``: the first ``--stitch`` utterances of ``--split`` joined into one recording, with
   only the pauses their files hold ("tight") and with 1 s between them ("gaps"), after 20 s of
   room tone; clean, and mixed with white, pink and babble noise (other utterances) at 20, 10
   and 5 dB SNR. For each detector (``--vads``): the CER of the recording against that of the
   same noisy utterances decoded one by one, and the real-time factor against the clean one's.
3. ``--room-tone MINUTES``: pink room tone at -60 dBFS with a DC offset of 0.05, alone: how
   long it takes and what it gives.
4. ``--cost``: recordings of 2 and 20 minutes in fresh processes: real-time factor and peak memory.

Real-time factors are CPU seconds (of all threads) per second of audio, so that they hold on a
shared machine.

    python benchmarks/bench_transcription.py expts/demo-asr --split demo/kjv/dev --long
    python benchmarks/bench_transcription.py expts/demo-asr --split demo/kjv/test --heldout --long \\
        --room-tone 60 --cost
"""
import argparse
import json
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile
import torch

from quorlin.decoding.metrics import asr_metrics
from quorlin.inference import Recognizer
from quorlin.prep import compute_fbank, librispeech_utterances
from quorlin.prep.text import normalize_transcript
from quorlin.resample import resample

RATE = 16000
SENTENCES = Path(__file__).parent / "data" / "heldout-sentences.txt"
# espeak-ng accents with voice variants that the demo corpus (scripts/make_demo_corpus.py) does not use.
HELDOUT_VOICES = ["en-us+f4", "en-gb+f5", "en-gb-scotland+f1", "en-gb-x-rp+m3", "en-gb-x-gbclan+f2",
                  "en-gb-x-gbcwmd+f4", "en-029+f3", "en-us-nyc+f1"]
NOISES, SNRS = ("white", "pink", "babble"), (20, 10, 5)


def cer(references, hypotheses) -> float:
    return asr_metrics(" ".join(references), " ".join(hypotheses))["cer"]


def whole_utterances(recognizer, waveforms, search) -> list:
    """What ``quorlin evaluate`` makes of each 16 kHz waveform: its filter banks decoded whole."""
    features = [compute_fbank(torch.from_numpy(w), RATE, recognizer.num_feats) for w in waveforms]
    return recognizer.transcribe_features(features, search)


# 1. Short held-out recordings.

def heldout(args, recognizer) -> None:
    folder = Path(args.work) / "heldout"
    references = speak_heldout(folder)
    paths = sorted(folder.glob("*.wav"))
    search = recognizer.search()
    waveforms = [resample(torch.from_numpy(soundfile.read(p, dtype="float32")[0]), 22050, RATE).numpy()
                 for p in paths]
    refs = [references[p.stem] for p in paths]
    whole = whole_utterances(recognizer, waveforms, search)
    print(f"Held-out, {len(paths)} recordings ({search}): whole-utterance CER {cer(refs, whole):.2f} %")
    texts = {}
    for batch_size in (1, 16, 64):
        start = time.perf_counter()
        texts[batch_size] = [t.text for t in recognizer.transcribe([str(p) for p in paths], batch_size=batch_size)]
        runaways = sum(len(t) >= 2 * len(r) for t, r in zip(texts[batch_size], refs))
        print(f"  transcribe, batch {batch_size:>2}: CER {cer(refs, texts[batch_size]):.2f} %, "
              f"{runaways} runaway(s), {time.perf_counter() - start:.1f} s")
    print(f"  identical at every batch size: {texts[1] == texts[16] == texts[64]}")


def speak_heldout(folder: Path) -> dict:
    """Writes <n>.wav (22.05 kHz) for every held-out sentence, once; returns the references by id."""
    sentences = SENTENCES.read_text().splitlines()
    references = {f"{n:03d}": normalize_transcript(s) for n, s in enumerate(sentences)}
    if len(list(folder.glob("*.wav"))) == len(sentences):
        return references
    folder.mkdir(parents=True, exist_ok=True)
    rng = random.Random(7)
    for n, sentence in enumerate(sentences):
        voice = HELDOUT_VOICES[n % len(HELDOUT_VOICES)]
        command = ["espeak-ng", "-v", voice, "-s", str(rng.randint(150, 210)), "-p", str(rng.randint(30, 70)),
                   "-w", str(folder / f"{n:03d}.wav"), sentence]
        subprocess.run(command, check=True)
    return references


# 2. Long recordings, clean and in noise.

def read_utterances(folder: str, count: int):
    """(16 kHz samples, normalised reference) of the first ``count`` utterances of a folder."""
    found = []
    for utterance in librispeech_utterances(folder)[:count]:
        samples, rate = soundfile.read(utterance.audio_path, dtype="float32")
        found.append((resample(torch.from_numpy(samples), rate, RATE).numpy(), normalize_transcript(utterance.text)))
    return found


def noise(kind: str, n: int, rng: np.random.Generator, babble_sources) -> np.ndarray:
    """``n`` samples of white, pink (1/f power) or babble noise (six talkers at once), of unit power."""
    if kind == "white":
        out = rng.standard_normal(n)
    elif kind == "pink":
        spectrum = np.fft.rfft(rng.standard_normal(n))
        spectrum /= np.sqrt(np.maximum(np.arange(spectrum.size), 1))
        out = np.fft.irfft(spectrum, n)
    else:
        out = np.zeros(n)
        for _ in range(6):
            talker = np.concatenate([babble_sources[i] for i in rng.permutation(len(babble_sources))])
            start = rng.integers(0, len(talker))
            out += np.resize(np.roll(talker, -start), n)
    return (out / np.sqrt(np.mean(out ** 2))).astype(np.float32)


def stitched(utterances, gap_seconds: float, lead_seconds: float = 20.0):
    """The utterances joined after ``lead_seconds`` of silence, ``gap_seconds`` apart: samples and
    the span of each utterance."""
    pieces, spans, at = [np.zeros(int(lead_seconds * RATE), np.float32)], [], int(lead_seconds * RATE)
    for samples, _ in utterances:
        pieces.append(samples)
        spans.append((at, at + len(samples)))
        at += len(samples)
        pieces.append(np.zeros(int(gap_seconds * RATE), np.float32))
        at += int(gap_seconds * RATE)
    return np.concatenate(pieces), spans


def long_recordings(args, recognizer) -> None:
    utterances = read_utterances(args.split, args.stitch)
    references = [text for _, text in utterances]
    babble = [samples for samples, _ in read_utterances(args.babble, 60)]
    rng = np.random.default_rng(0)
    search = recognizer.search()
    conditions = [("clean", None)] + [(kind, snr) for kind in args.noises for snr in SNRS]
    for layout, gap in (("tight", 0.0), ("gaps", 1.0)):
        clean, spans = stitched(utterances, gap)
        speech_power = np.mean(np.concatenate([clean[a:b] for a, b in spans]) ** 2)
        base_rtf = {}
        for kind, snr in conditions:
            if kind == "clean":  # room tone alone
                mixed = clean + 10 ** (-60 / 20) * noise("pink", len(clean), rng, babble)
            else:
                mixed = clean + np.sqrt(speech_power / 10 ** (snr / 10)) * noise(kind, len(clean), rng, babble)
            separate = whole_utterances(recognizer, [mixed[a:b] for a, b in spans], search)
            line = f"{layout:>5} {kind:>6} {'' if snr is None else f'{snr} dB':>5}: one by one {cer(references, separate):6.2f}"
            for vad in args.vads:
                start = time.process_time()
                (transcript,) = recognizer.transcribe([(mixed, RATE)], vad=vad)
                rtf = (time.process_time() - start) / transcript.duration
                base_rtf.setdefault(vad, rtf)
                line += (f" | {vad} {cer(references, [transcript.text]):6.2f} ({len(transcript.segments):>3} seg, "
                         f"RTF {rtf:.3f}, {rtf / base_rtf[vad]:.2f}x clean)")
            print(line, flush=True)


# 3. Room tone alone.

def room_tone(args, recognizer) -> None:
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "room-tone.flac"
        with soundfile.SoundFile(path, "w", RATE, 1) as f:
            for _ in range(args.room_tone):  # a minute at a time
                f.write(0.05 + 10 ** (-60 / 20) * noise("pink", 60 * RATE, rng, None))
        for vad in args.vads:
            start = time.perf_counter()
            (transcript,) = recognizer.transcribe([str(path)], vad=vad)
            print(f"Room tone, {args.room_tone} min, {vad}: {time.perf_counter() - start:.1f} s, "
                  f"{len(transcript.segments)} segment(s), text {transcript.text[:60]!r}")


# 4. Cost of long recordings.

def cost(args) -> None:
    utterances = read_utterances(args.split, 10 ** 6)
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for minutes in (2, 20):
            samples, _ = stitched(utterances * (1 + minutes * 60 // 600), 0.4, 0.0)
            path = Path(folder) / f"{minutes}min.flac"
            soundfile.write(path, samples[:minutes * 60 * RATE], RATE)
            command = [sys.executable, __file__, args.run, "--split", args.split, "--threads", str(args.threads),
                       "--one", str(path)]
            result = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
            rows.append((minutes, result["rtf"], result["peak_mib"]))
            print(f"{minutes:>4} min: real-time factor {result['rtf']:.3f}, peak memory {result['peak_mib']:.0f} MiB, "
                  f"{result['segments']} segments")
    (m0, rtf0, mem0), (m1, rtf1, mem1) = rows
    print(f"{m1} min against {m0} min: real-time factor {rtf1 / rtf0:.2f}x, peak memory {mem1 / mem0:.2f}x")


def one(args) -> None:
    """Transcribes one file in this process and prints its real-time factor and peak memory."""
    recognizer = Recognizer.from_run_folder(args.run, "cpu")
    start = time.process_time()
    transcript = recognizer.transcribe([args.one])[0]
    seconds = time.process_time() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"rtf": seconds / transcript.duration, "peak_mib": peak, "segments": len(transcript.segments)}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run", help="a recogniser's run folder")
    parser.add_argument("--split", default="demo/kjv/dev", help="LibriSpeech-style folder of the long recordings")
    parser.add_argument("--babble", default="demo/kjv/train", help="the talkers of the babble noise")
    parser.add_argument("--stitch", type=int, default=60, help="utterances in a long recording")
    parser.add_argument("--heldout", action="store_true")
    parser.add_argument("--long", action="store_true")
    parser.add_argument("--noises", nargs="*", default=list(NOISES), choices=NOISES)
    parser.add_argument("--vads", nargs="+", default=["silero", "energy"])
    parser.add_argument("--room-tone", type=int, metavar="MINUTES")
    parser.add_argument("--cost", action="store_true")
    parser.add_argument("--work", default=str(Path(tempfile.gettempdir()) / "quorlin-bench-transcription"))
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    if args.one:
        one(args)
        return
    if args.heldout and shutil.which("espeak-ng") is None:
        raise SystemExit("--heldout needs espeak-ng (apt-get install espeak-ng)")
    recognizer = Recognizer.from_run_folder(args.run, "cpu")
    print(f"{args.run}: default search {recognizer.search()}, segments aimed at "
          f"{recognizer.segment_lengths.quantiles[0]:.1f}-{recognizer.segment_lengths.longest:.1f} s")
    if args.heldout:
        heldout(args, recognizer)
    if args.long:
        long_recordings(args, recognizer)
    if args.room_tone:
        room_tone(args, recognizer)
    if args.cost:
        cost(args)


if __name__ == "__main__":
    main()

"""Long recordings through the inference library: stitching quality, real-time factor, memory.

1. Stitching: the first test utterances (``--stitch``, 50: about 3 minutes) concatenated into
   one recording (their own pauses kept, and 0.4 s between them) are transcribed as one input;
   its CER is compared with the CER of the same utterances transcribed one by one, with the
   same run folder and search.
2. Cost: recordings of 2 and 20 minutes (the test utterances repeated) are transcribed in
   fresh processes; the real-time factor (seconds of compute per second of audio) and the
   peak resident memory of each, and their ratios, are printed.

    python benchmarks/bench_long_audio.py expts/demo-asr demo/kjv/test --beam-width 10 --ctc-weight 0.3
"""
import argparse
import json
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile
import torch

from quorlin.decoding.recognition import asr_metrics
from quorlin.inference import Recognizer
from quorlin.prep import librispeech_utterances
from quorlin.prep.text import normalize_transcript

RATE = 16000


def read_utterances(folder: str):
    """(id, 16 kHz samples, normalised reference) of every utterance of a LibriSpeech-style folder."""
    found = []
    for utterance in librispeech_utterances(folder):
        samples, rate = soundfile.read(utterance.audio_path, dtype="float32")
        if rate != RATE:
            raise SystemExit(f"{utterance.audio_path}: {rate} Hz; this benchmark expects {RATE} Hz")
        found.append((utterance.utt_id, samples, normalize_transcript(utterance.text)))
    return found


def concatenated(utterances, seconds=None) -> np.ndarray:
    """The utterances one after another with 0.4 s of silence between; repeated up to ``seconds``."""
    gap = np.zeros(int(0.4 * RATE), np.float32)
    pieces, total = [], 0
    while True:
        for _, samples, _ in utterances:
            pieces += [samples, gap]
            total += len(samples) + len(gap)
            if seconds is not None and total >= seconds * RATE:
                return np.concatenate(pieces)
        if seconds is None:
            return np.concatenate(pieces)


def stitching(args, utterances) -> None:
    recognizer = Recognizer.from_run_folder(args.run, "cpu")
    search = dict(beam_width=args.beam_width, ctc_weight=args.ctc_weight)
    references = [text for _, _, text in utterances]
    one_by_one = [t.text for t in recognizer.transcribe([(s, RATE) for _, s, _ in utterances], **search,
                                                        ids=[i for i, _, _ in utterances])]
    long = recognizer.transcribe([(concatenated(utterances), RATE)], **search, ids=["all"])[0]
    separate = asr_metrics(" ".join(references), " ".join(one_by_one))["cer"]
    stitched = asr_metrics(" ".join(references), long.text)["cer"]
    print(f"Stitching, {len(utterances)} utterances, {long.duration / 60:.1f} min in {len(long.segments)} segments: "
          f"CER one by one {separate:.2f} %, as one recording {stitched:.2f} % "
          f"(difference {stitched - separate:+.2f} points)")


def cost(args, utterances) -> None:
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for minutes in args.minutes:
            path = Path(folder) / f"{minutes}min.flac"
            soundfile.write(path, concatenated(utterances, minutes * 60), RATE)
            command = [sys.executable, __file__, args.run, args.test, "--beam-width", str(args.beam_width),
                       "--ctc-weight", str(args.ctc_weight), "--threads", str(args.threads), "--one", str(path)]
            result = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
            rows.append((minutes, result["rtf"], result["peak_mib"]))
            print(f"{minutes:>4} min: real-time factor {result['rtf']:.3f}, peak memory {result['peak_mib']:.0f} MiB, "
                  f"{result['segments']} segments, {result['characters']} characters")
    (m0, rtf0, mem0), (m1, rtf1, mem1) = rows[0], rows[-1]
    print(f"{m1} min against {m0} min: real-time factor {rtf1 / rtf0:.2f}x, peak memory {mem1 / mem0:.2f}x")


def one(args) -> None:
    """Transcribes one file in this process and prints its real-time factor and peak memory."""
    recognizer = Recognizer.from_run_folder(args.run, "cpu")
    start = time.perf_counter()
    transcript = recognizer.transcribe([args.one], beam_width=args.beam_width, ctc_weight=args.ctc_weight)[0]
    seconds = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"rtf": seconds / transcript.duration, "peak_mib": peak, "segments": len(transcript.segments),
                      "characters": len(transcript.text)}))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run", help="a recogniser's run folder")
    parser.add_argument("test", help="a LibriSpeech-style folder of 16 kHz test utterances")
    parser.add_argument("--beam-width", type=int, default=10)
    parser.add_argument("--ctc-weight", type=float, default=0.3)
    parser.add_argument("--stitch", type=int, default=50, help="utterances in the stitching recording")
    parser.add_argument("--minutes", type=int, nargs=2, default=[2, 20])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    if args.one:
        one(args)
        return
    utterances = read_utterances(args.test)
    stitching(args, utterances[:args.stitch])
    cost(args, utterances)


if __name__ == "__main__":
    main()

"""The C++ runtime (quorlin-transcribe) against the Python recogniser: the same export, the
same machine, one run.

    python benchmarks/bench_cpp_runtime.py expts/demo-asr demo/kjv/test --threads 2

1. Export: the run folder is exported to a temporary folder (or ``--export`` names one made
   before); the time it took is printed.
2. Parity on the test split, every utterance a file: greedy search and the run's default
   search (the one chosen on dev), by the program and by the Python recogniser with batches
   of one segment (the program searches each segment for as long as its own audio allows,
   whatever its batch). The share of identical transcripts, the CER of each against the
   references, the transcripts that differ, and the largest difference between the word times
   of identical transcripts.
3. Cost: recordings of ``--minutes`` made of the test utterances one after another (their own
   pauses, then 0.4 s), transcribed at the default search by each command in a fresh process
   with ``--threads`` threads and its default batch of 16 segments: the real-time factor
   (wall seconds per second of audio, start and loading included), the peak resident memory
   and their ratios. The load time: each command on one second of silence.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile

from quorlin.decoding.recognition import asr_metrics
from quorlin.inference import Recognizer
from quorlin.inference.exporting import export
from quorlin.prep import librispeech_utterances
from quorlin.prep.text import normalize_transcript

PROGRAM = Path(sys.executable).parent / "quorlin-transcribe"
RATE = 16000


# Runs a command and reports its peak resident memory: the only child of this small process.
_MEASURED = ("import resource, subprocess, sys; code = subprocess.run(sys.argv[1:]).returncode; "
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, file=sys.stderr); sys.exit(code)")


def timed_process(command, threads):
    """Wall seconds and peak resident MiB of a command in a fresh process with ``threads`` threads."""
    environment = {**os.environ, "OMP_NUM_THREADS": str(threads)}
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", _MEASURED, *command], capture_output=True, text=True,
                          env=environment)
    seconds = time.perf_counter() - start
    if done.returncode:
        raise SystemExit(f"{command[0]} failed: {done.stderr[-2000:]}")
    return seconds, int(done.stderr.strip().splitlines()[-1]) / 1024


def parity(args, folder, utterances):
    recognizer = Recognizer.from_run_folder(args.run, "cpu")
    files = [path for _, path, _ in utterances]
    references = [text for _, _, text in utterances]
    default = recognizer.default_search
    searches = {"greedy": (["--beam-width", "1", "--ctc-weight", "0"], {"beam_width": 1, "ctc_weight": 0.0}),
                f"default (beam {default.beam_width}, CTC {default.ctc_weight:g})": ([], {})}
    for name, (options, setting) in searches.items():
        python = recognizer.transcribe(files, batch_size=1, **setting)
        done = subprocess.run([str(PROGRAM), str(folder), *files, "--format", "json", "--threads", str(args.threads),
                               *options], capture_output=True, text=True, check=True)
        program = json.loads(done.stdout)
        same = [p.text == c["text"] for p, c in zip(python, program)]
        python_cer = asr_metrics(references, [t.text for t in python])["cer"]
        program_cer = asr_metrics(references, [c["text"] for c in program])["cer"]
        times = [abs(a - b) for p, c, s in zip(python, program, same) if s
                 for pw, cw in zip([w for seg in p.segments for w in seg.words],
                                   [w for seg in c["segments"] for w in seg["words"]])
                 for a, b in ((pw.start, cw["start"]), (pw.end, cw["end"]))]
        print(f"{name}: {sum(same)}/{len(same)} transcripts identical ({100 * sum(same) / len(same):.1f} %); "
              f"CER Python {python_cer:.2f} %, C++ {program_cer:.2f} % ({program_cer - python_cer:+.2f} points); "
              f"word times of identical transcripts within {1000 * max(times, default=0):.1f} ms")
        for p, c, s in zip(python, program, same):
            if not s:
                print(f"  {p.id}\n    Python {p.text!r}\n    C++    {c['text']!r}")


def concatenated(utterances, seconds):
    gap = np.zeros(int(0.4 * RATE), np.float32)
    pieces, total = [], 0
    while total < seconds * RATE:
        for _, path, _ in utterances:
            samples, rate = soundfile.read(path, dtype="float32")
            if rate != RATE:
                raise SystemExit(f"{path}: {rate} Hz; this benchmark expects {RATE} Hz")
            pieces += [samples, gap]
            total += len(samples) + len(gap)
            if total >= seconds * RATE:
                break
    return np.concatenate(pieces)


def cost(args, folder, utterances, scratch):
    commands = {"Python": [sys.executable, "-m", "quorlin", "transcribe", args.run, "--device", "cpu"],
                "C++": [str(PROGRAM), str(folder), "--threads", str(args.threads)]}
    silence = scratch / "silence.wav"
    soundfile.write(silence, np.zeros(RATE, np.float32), RATE)
    loads = {name: timed_process(command + [str(silence)], args.threads)[0] for name, command in commands.items()}
    print(f"start, load and one second of silence: Python {loads['Python']:.2f} s, C++ {loads['C++']:.2f} s")
    for minutes in args.minutes:
        path = scratch / f"{minutes}min.flac"
        soundfile.write(path, concatenated(utterances, minutes * 60), RATE)
        duration = soundfile.info(str(path)).duration
        rows = {}
        for name, command in commands.items():
            seconds, peak = timed_process(command + [str(path)], args.threads)
            rows[name] = (seconds / duration, peak)
            print(f"{minutes} min, {name}: real-time factor {seconds / duration:.4f}, peak memory {peak:.0f} MiB")
        print(f"{minutes} min, C++ against Python: real-time factor {rows['C++'][0] / rows['Python'][0]:.2f}x, "
              f"peak memory {rows['C++'][1] / rows['Python'][1]:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run", help="a recogniser's run folder")
    parser.add_argument("test", help="a LibriSpeech-style folder of test utterances")
    parser.add_argument("--export", help="an export folder of the run made before (default: export now)")
    parser.add_argument("--minutes", type=int, nargs="+", default=[3, 20])
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    import torch
    torch.set_num_threads(args.threads)
    utterances = [(u.utt_id, u.audio_path, normalize_transcript(u.text)) for u in librispeech_utterances(args.test)]
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(args.export) if args.export else Path(scratch) / "export"
        if not args.export:
            summary = export(args.run, folder)
            print(f"export: {summary.seconds:.0f} s, parts within {summary.largest_difference:.1e} of the model")
        parity(args, folder, utterances)
        cost(args, folder, utterances, Path(scratch))


if __name__ == "__main__":
    main()

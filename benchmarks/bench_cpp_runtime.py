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
3. The Silero VAD on real speech: recordings of ``--minutes`` made of the test utterances one
   after another (their own pauses, then 0.4 s). The network's probabilities in C++ (the
   runtime's probe, LibTorch) and in Python on every chunk of each recording, read in rows of
   144 chunks as the detector reads them; the speech flags of every 10 ms frame, and the
   segments, of each detector against the Python ones.
4. Cost: the same recordings transcribed at the default search by each command in a fresh
   process with ``--threads`` threads and its default batch of 16 segments: the real-time
   factor (wall seconds per second of audio, start and loading included), the CPU time, the
   peak resident memory and their ratios, and how many segments agree in times and text. The load time: each command on
   one second of silence.
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

import torch

from quorlin.decoding.metrics import asr_metrics
from quorlin.inference import Recognizer
from quorlin.inference.audio import AudioSource
from quorlin.inference.exporting import export
from quorlin.inference.segmentation import split_audio
from quorlin.inference.vad import _silero_model, silero_model_path, speech_detector
from quorlin.prep import librispeech_utterances
from quorlin.prep.text import normalize_transcript

PROGRAM = Path(sys.executable).parent / "quorlin-transcribe"
PROBE = Path(__file__).resolve().parents[1] / "build" / "runtime" / "quorlin-probe"
RATE = 16000
CHUNK, PIECE, WARM_UP = 512, 128, 16  # the Silero detector's chunks and pieces


# Runs a command and reports its peak resident memory and CPU time: the only child of this small process.
_MEASURED = ("import resource, subprocess, sys; code = subprocess.run(sys.argv[1:]).returncode; "
             "use = resource.getrusage(resource.RUSAGE_CHILDREN); "
             "print(use.ru_maxrss, use.ru_utime + use.ru_stime, file=sys.stderr); sys.exit(code)")


def timed_process(command, threads):
    """Wall seconds, CPU seconds, peak resident MiB and standard output of a command in a fresh
    process with ``threads`` threads."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", _MEASURED, *command], capture_output=True, text=True,
                          env={**os.environ, "OMP_NUM_THREADS": str(threads)})
    seconds = time.perf_counter() - start
    if done.returncode:
        raise SystemExit(f"{command[0]} failed: {done.stderr[-2000:]}")
    peak, cpu = done.stderr.strip().splitlines()[-1].split()
    return seconds, float(cpu), int(peak) / 1024, done.stdout


def probe(*args):
    done = subprocess.run([str(PROBE), *map(str, args)], capture_output=True, text=True, check=True)
    return done.stdout


def parity(args, recognizer, folder, utterances):
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


def recordings(utterances, minutes, scratch):
    """The stitched recordings of ``minutes`` each: {minutes: path}."""
    paths = {}
    for length in minutes:
        paths[length] = scratch / f"{length}min.flac"
        soundfile.write(paths[length], concatenated(utterances, length * 60), RATE)
    return paths


def silero(lengths, paths, scratch):
    network, long_run = _silero_model(), round(lengths.longest * 100)
    for minutes, path in paths.items():
        stream = torch.cat(list(AudioSource(str(path)).blocks(30.0)))
        rows = (stream.numel() // CHUNK - WARM_UP) // PIECE
        # Row i: the chunks from PIECE * i on, WARM_UP of them before the PIECE it decides.
        pieces = stream[:(rows * PIECE + WARM_UP) * CHUNK].unfold(0, (WARM_UP + PIECE) * CHUNK, PIECE * CHUNK)
        chunks = pieces.reshape(rows, WARM_UP + PIECE, CHUNK).contiguous()  # (P, 144, 512)
        chunks.numpy().tofile(scratch / "chunks.bin")
        ours = torch.tensor([float(v) for v in probe("silero", scratch / "chunks.bin", rows, WARM_UP + PIECE,
                                                     silero_model_path()).split()]).reshape(rows, -1)
        with torch.inference_mode():
            network.reset_states()
            expected = torch.stack([network(chunks[:, c], RATE)[:, 0] for c in range(WARM_UP + PIECE)], dim=1)
        difference = (ours - expected).abs()
        near = min(float((expected - t).abs().min()) for t in (0.5, 0.35))
        sides = sum(int(((ours >= t) != (expected >= t)).sum()) for t in (0.5, 0.35))
        print(f"Silero network, {minutes} min ({chunks.shape[0] * chunks.shape[1]} chunks): probabilities within "
              f"{float(difference.max()):.1e} (mean {float(difference.mean()):.1e}); {sides} on the other side of "
              f"a threshold (the nearest Python probability lies {near:.1e} from one)")
        source = AudioSource(str(path))
        for vad in ("silero", "energy"):
            detector = speech_detector(vad, long_run)
            python = "".join("1" if f else "0" for f in torch.cat(
                [detector.push(block) for block in source.blocks(30.0)] + [detector.finish()]).tolist())
            program = probe("flags", path, vad, silero_model_path(), long_run).strip()
            differing = sum(a != b for a, b in zip(python, program)) + abs(len(python) - len(program))
            expected_segments = [(s.start, s.end, s.keep_start, s.keep_end, s.samples.numel()) for s in split_audio(
                source.blocks(30.0), speech_detector(vad, long_run), lengths, source.duration)]
            program_segments = [(float(a), float(b), float(c), float(d), int(n)) for a, b, c, d, n in
                                (line.split() for line in probe("segments", path, vad, silero_model_path(),
                                                                lengths.limit, *lengths.quantiles).splitlines())]
            print(f"{vad} flags, {minutes} min: {differing} of {len(python)} frames differ "
                  f"({python.count('1')} speech); segments: {len(program_segments)} in C++, "
                  f"{len(expected_segments)} in Python, identical: {program_segments == expected_segments}")


def cost(args, folder, paths, scratch):
    commands = {"Python": [sys.executable, "-m", "quorlin", "transcribe", args.run, "--device", "cpu"],
                "C++": [str(PROGRAM), str(folder), "--threads", str(args.threads)]}
    silence = scratch / "silence.wav"
    soundfile.write(silence, np.zeros(RATE, np.float32), RATE)
    loads = {name: timed_process(command + [str(silence)], args.threads)[0] for name, command in commands.items()}
    print(f"start, load and one second of silence: Python {loads['Python']:.2f} s, C++ {loads['C++']:.2f} s")
    for minutes, path in paths.items():
        duration = soundfile.info(str(path)).duration
        rows, segments = {}, {}
        for name, command in commands.items():
            seconds, cpu, peak, out = timed_process(command + [str(path), "--format", "json"], args.threads)
            rows[name] = (seconds / duration, cpu, peak)
            segments[name] = [(s["start"], s["end"], s["text"]) for s in json.loads(out)[0]["segments"]]
            print(f"{minutes} min, {name}: real-time factor {seconds / duration:.4f}, {cpu:.1f} s of CPU, "
                  f"peak memory {peak:.0f} MiB")
        same = sum(a == b for a, b in zip(segments["Python"], segments["C++"]))
        ratios = [c / p for c, p in zip(rows["C++"], rows["Python"])]
        print(f"{minutes} min, C++ against Python: real-time factor {ratios[0]:.2f}x, CPU time {ratios[1]:.2f}x, "
              f"peak memory {ratios[2]:.2f}x; {same} of {len(segments['Python'])} "
              f"segments identical in times and text ({len(segments['C++'])} in C++)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("run", help="a recogniser's run folder")
    parser.add_argument("test", help="a LibriSpeech-style folder of test utterances")
    parser.add_argument("--export", help="an export folder of the run made before (default: export now)")
    parser.add_argument("--minutes", type=int, nargs="+", default=[3, 20])
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    os.environ["OMP_NUM_THREADS"] = str(args.threads)  # for the runtime's probe as well
    utterances = [(u.utt_id, u.audio_path, normalize_transcript(u.text)) for u in librispeech_utterances(args.test)]
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(args.export) if args.export else Path(scratch) / "export"
        if not args.export:
            summary = export(args.run, folder)
            print(f"export: {summary.seconds:.0f} s, parts within {summary.largest_difference:.1e} of the model")
        recognizer = Recognizer.from_run_folder(args.run, "cpu")
        parity(args, recognizer, folder, utterances)
        paths = recordings(utterances, args.minutes, Path(scratch))
        silero(recognizer.segment_lengths, paths, Path(scratch))
        cost(args, folder, paths, Path(scratch))


if __name__ == "__main__":
    main()

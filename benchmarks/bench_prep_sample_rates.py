"""Preparation of one recording (read, resample, filter banks: ``audio_fbank``) per second of
audio at 16, 22.05, 44.1 and 48 kHz, as it is and speed-perturbed (0.9x, 1.1x), against
16 kHz audio at the same speed, measured in the same run.

    python benchmarks/bench_prep_sample_rates.py --files 8 --seconds 2.4 --rounds 11

Every round times each (rate, speed) on the first generated recording (16-bit WAV), then on the
second, and so on, in one thread and in CPU time, which the load of others disturbs less than
wall time; the median of the rounds is reported. A ratio of 1.5 or less for the perturbed
22.05, 44.1 and 48 kHz audio against perturbed 16 kHz audio is the target. The last table is
what preparation with the default speed perturbation does per training recording: the
recording and its 0.9x and 1.1x copies.
"""
import argparse
import statistics
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile
import torch

from quorlin.prep.features import audio_fbank

RATES = (16000, 22050, 44100, 48000)
SPEEDS = (1.0, 0.9, 1.1)


def recording(seconds: float, rate: int, rng: np.random.Generator) -> np.ndarray:
    """Tones that glide, with noise: speech-like energy over the whole band."""
    t = np.arange(int(seconds * rate)) / rate
    glide = np.sin(2 * np.pi * (200 + 150 * np.sin(2 * np.pi * 3 * t)) * t)
    return (0.3 * glide + 0.05 * rng.standard_normal(t.size)).astype(np.float32)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=8, help="recordings per rate")
    parser.add_argument("--seconds", type=float, default=2.4, help="length of each recording")
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--mel-bins", type=int, default=80)
    args = parser.parse_args()
    torch.set_num_threads(1)
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as folder:
        paths = {}
        for rate in RATES:
            paths[rate] = [Path(folder) / f"{rate}-{i}.wav" for i in range(args.files)]
            for path in paths[rate]:
                soundfile.write(path, recording(args.seconds, rate, rng), rate, subtype="PCM_16")
        for rate in RATES:  # once each, before timing: caches and lazily built tables
            audio_fbank(str(paths[rate][0]), args.mel_bins, 0.9)
        times = {(rate, speed): [] for rate in RATES for speed in SPEEDS}
        for _ in range(args.rounds):
            spent = dict.fromkeys(times, 0.0)
            for i in range(args.files):  # file by file across every setting: the load weighs on all alike
                for rate, speed in times:
                    start = time.process_time()
                    audio_fbank(str(paths[rate][i]), args.mel_bins, speed)
                    spent[(rate, speed)] += time.process_time() - start
            for key, seconds in spent.items():
                times[key].append(seconds / (args.files * args.seconds))
    per_second = {key: statistics.median(values) for key, values in times.items()}
    print(f"{args.files} recordings of {args.seconds:g} s per rate, {args.rounds} rounds, one thread")
    print("| rate (Hz) | speed | CPU ms per second of audio | x 16 kHz at this speed | x 16 kHz as it is |")
    print("| --- | --- | --- | --- | --- |")
    for rate, speed in times:
        print(f"| {rate} | {speed:g} | {1000 * per_second[(rate, speed)]:.2f} | "
              f"{per_second[(rate, speed)] / per_second[(16000, speed)]:.2f} | "
              f"{per_second[(rate, speed)] / per_second[(16000, 1.0)]:.2f} |")
    whole = {rate: sum(per_second[(rate, speed)] for speed in SPEEDS) for rate in RATES}
    print("\n| rate (Hz) | CPU ms per second of audio, with its 0.9x and 1.1x copies | x 16 kHz |")
    print("| --- | --- | --- |")
    for rate in RATES:
        print(f"| {rate} | {1000 * whole[rate]:.2f} | {whole[rate] / whole[16000]:.2f} |")


if __name__ == "__main__":
    main()

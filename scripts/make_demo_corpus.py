"""Makes the embedded demo corpus: King James Version sentences spoken by espeak-ng.

    apt-get install -y espeak-ng bible-kjv
    $QUORLIN_VENV/bin/python scripts/make_demo_corpus.py      # writes demo/kjv/

Verses (``bible -f``) are cut into clauses of 15 to 110 characters and normalised
like LibriSpeech transcripts. Every distinct sentence belongs to at most one split;
a sentence that contains a test or development sentence is dropped from the other
splits and from the LM text, so no test sentence is heard or read in training.
Each utterance is spoken by one of the speakers below (an espeak-ng accent with a
voice variant) at a random speed and pitch, resampled to 16 kHz and stored as
Ogg/Opus in the LibriSpeech tree layout. Training utterances are added until the
corpus reaches its size budget. The sentence choice and voices are seeded; the
audio bytes may differ between espeak-ng and libsndfile versions.
"""
import argparse
import concurrent.futures
import gzip
import io
import os
import random
import re
import shutil
import subprocess
import sys

import soundfile
import torch
import torchaudio

from quorlin.prep.text import normalize_transcript

ACCENTS = ["en-us", "en-gb", "en-gb-scotland", "en-gb-x-rp", "en-gb-x-gbclan", "en-gb-x-gbcwmd",
           "en-029", "en-us-nyc"]
VARIANTS = [["m1", "f2", "m5"], ["m3", "f1", "m7"], ["m2", "f3", "m6"], ["m4", "f4", "m1"],
            ["m5", "f5", "m3"], ["m6", "f2", "m2"], ["m7", "f1", "m4"], ["m2", "f3", "m5"]]
SPEAKERS = [f"{accent}+{variant}" for accent, variants in zip(ACCENTS, VARIANTS) for variant in variants]
SPLITS = {"train": 1, "dev": 2, "test": 3}  # chapter number of each split
SAMPLE_RATE = 16000
MIN_CHARS, MAX_CHARS = 15, 110


def read_verses():
    out = subprocess.run(["bible", "-f", "-l100000", "Gen1:1-Rev22:21"], check=True, capture_output=True,
                         text=True).stdout
    # Each line is "<book><chapter>:<verse> <text>".
    return [line.split(" ", 1)[1] for line in out.splitlines() if " " in line]


def clauses(verse):
    """Normalised pieces of a verse, cut after . ; : ? ! and merged up to MAX_CHARS."""
    pieces = [normalize_transcript(p) for p in re.split(r"(?<=[.;:?!])\s+", verse)]
    merged = []
    for piece in filter(None, pieces):
        if merged and (len(merged[-1]) < MIN_CHARS or len(merged[-1]) + 1 + len(piece) <= MAX_CHARS // 2):
            merged[-1] += " " + piece
        else:
            merged.append(piece)
    return [m for m in merged if MIN_CHARS <= len(m) <= MAX_CHARS]


def contains_any(sentence, pattern):
    return pattern.search(" " + sentence + " ") is not None


def split_sentences(sentences, num_test, num_dev, rng):
    """Test, development and the remaining sentences; the rest contains no held-out sentence."""
    order = sorted(sentences)
    rng.shuffle(order)
    test, dev = order[:num_test], order[num_test:num_test + num_dev]
    held_out = re.compile("|".join(" " + re.escape(s) + " " for s in test + dev))
    rest = [s for s in order[num_test + num_dev:] if not contains_any(s, held_out)]
    return test, dev, rest


def speak(text, speaker, speed, pitch, opus_level):
    wav = subprocess.run(["espeak-ng", "-v", speaker, "-s", str(speed), "-p", str(pitch), "--stdout", text],
                         check=True, capture_output=True).stdout
    audio, rate = soundfile.read(io.BytesIO(wav), dtype="float32")
    audio = torchaudio.functional.resample(torch.from_numpy(audio), rate, SAMPLE_RATE).numpy()
    encoded = io.BytesIO()
    soundfile.write(encoded, audio, SAMPLE_RATE, format="OGG", subtype="OPUS", compression_level=opus_level)
    return encoded.getvalue(), len(audio) / SAMPLE_RATE


def write_split(out_dir, split, sentences, rng, opus_level, budget_bytes=None):
    """Speaks sentences round-robin over the speakers until done or over budget; returns (bytes, seconds, count)."""
    chapter = SPLITS[split]
    jobs = [(i, text, i % len(SPEAKERS), rng.randint(150, 210), rng.randint(30, 70))
            for i, text in enumerate(sentences)]
    transcripts = {}
    total_bytes, total_seconds = 0, 0.0
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
        for (i, text, spk, _, _), (data, seconds) in zip(jobs, _spoken(pool, jobs, opus_level)):
            if budget_bytes is not None and total_bytes + len(data) > budget_bytes:
                break
            speaker = 100 + spk
            utt_id = f"{speaker}-{chapter}-{i:04d}"
            folder = os.path.join(out_dir, split, str(speaker), str(chapter))
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, utt_id + ".ogg"), "wb") as f:
                f.write(data)
            transcripts.setdefault(folder, []).append(f"{utt_id} {text}\n")
            total_bytes += len(data)
            total_seconds += seconds
    for folder, lines in transcripts.items():
        speaker, chapter = folder.split(os.sep)[-2:]
        with open(os.path.join(folder, f"{speaker}-{chapter}.trans.txt"), "w") as f:
            f.writelines(sorted(lines))
    return total_bytes, total_seconds, sum(map(len, transcripts.values()))


def _spoken(pool, jobs, opus_level, chunk=256):
    # In chunks, so that a budget stops the synthesis soon after it is reached.
    for start in range(0, len(jobs), chunk):
        yield from pool.map(lambda job: speak(job[1], SPEAKERS[job[2]], job[3], job[4], opus_level),
                            jobs[start:start + chunk])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--out", default=os.path.join(os.path.dirname(__file__), "..", "demo", "kjv"))
    parser.add_argument("--budget-mb", type=float, default=19.0, help="size of the whole corpus, in MB")
    parser.add_argument("--num-test", type=int, default=150)
    parser.add_argument("--num-dev", type=int, default=150)
    parser.add_argument("--opus-level", type=float, default=0.97,
                        help="libsndfile compression level (0.97 is about 15 kbit/s)")
    parser.add_argument("--seed", type=int, default=11)
    args = parser.parse_args()
    rng = random.Random(args.seed)

    sentences = {c for verse in read_verses() for c in clauses(verse)}
    test, dev, rest = split_sentences(sentences, args.num_test, args.num_dev, rng)
    if os.path.exists(args.out):
        shutil.rmtree(args.out)
    os.makedirs(args.out)
    lm_path = os.path.join(args.out, "lm-text.txt.gz")
    with open(lm_path, "wb") as raw, gzip.GzipFile(fileobj=raw, mode="wb", mtime=0) as f:
        f.write("".join(s + "\n" for s in rest).encode())
    used = os.path.getsize(lm_path)
    report = [f"lm-text: {len(rest)} sentences, {used / 1e6:.2f} MB"]
    for split, chosen in (("test", test), ("dev", dev), ("train", rest)):
        budget = int(args.budget_mb * 1e6) - used if split == "train" else None
        size, seconds, count = write_split(args.out, split, chosen, rng, args.opus_level, budget)
        used += size
        report.append(f"{split}: {count} utterances, {seconds / 3600:.2f} h, {size / 1e6:.2f} MB")
    print("\n".join(report), file=sys.stderr)


if __name__ == "__main__":
    main()

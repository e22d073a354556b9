"""Maltrey start-up with global statistics: native corpus reader against the plain loop.

    python benchmarks/bench_asr_dataset_loading.py [--utterances 4000]

Writes a synthetic training partition (80 x 200-1,600 float32 frames per
utterance, a short transcript each) to a temporary folder, then, with the files
warm in the page cache, times

* ``Maltrey(..., norm="global_mvn")``, which reads through quorlin.data._ext, and
* the plain algorithm: ``np.load`` per file and the per-utterance tensor
  Welford update in float64, transcripts loaded and tokenised the same way,

each as a start-up: one construction in a fresh process, where the time and
the peak memory it adds are measured (best time of three processes per
method). It then checks, in this process, that both give identical arrays and
statistics. PyTorch runs on one intra-op thread: on these small per-utterance
tensors that is faster than its default, so the plain loop is not slowed by
thread hand-offs.
"""
import argparse
import contextlib
import io
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch

from quorlin.data import FeatureReader
from quorlin.data.maltrey import Maltrey
from quorlin.data.tokenizer import VaskTokenizer

NUM_FEATS = 80
PARTITION = "train-clean-100"
ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZ '"
CONFIG = {"num_feats": NUM_FEATS, "norm": "global_mvn", "specaug": False,
          "specaug_conf": {"time_mask_width_range": 40, "freq_mask_width_range": 27}}


def write_corpus(root, utterances):
    rng = np.random.default_rng(0)
    fbank, text = (os.path.join(root, PARTITION, sub) for sub in ("fbank", "text"))
    os.makedirs(fbank)
    os.makedirs(text)
    feature_bytes = 0
    for i in range(utterances):
        frames = int(rng.integers(200, 1601))
        feat = (rng.standard_normal((NUM_FEATS, frames), dtype=np.float32) * 4 - 10)
        np.save(os.path.join(fbank, f"{i:05d}.npy"), feat)
        words = rng.choice(list(ALPHABET), size=int(rng.integers(20, 200)))
        np.save(os.path.join(text, f"{i:05d}.npy"), words)
        feature_bytes += feat.nbytes
    return feature_bytes


def tokenizer():
    return VaskTokenizer.from_texts([ALPHABET])


def plain_construction(root, tok):
    """The loading loop written plainly: np.load per file and the tensor Welford update."""
    fbank_dir, text_dir = (os.path.join(root, PARTITION, sub) for sub in ("fbank", "text"))
    fbank_files = [os.path.join(fbank_dir, n) for n in sorted(os.listdir(fbank_dir)) if n.endswith(".npy")]
    text_files = [os.path.join(text_dir, n) for n in sorted(os.listdir(text_dir)) if n.endswith(".npy")]
    feats, shifted, golden = [], [], []
    count = 0
    mean = torch.zeros(NUM_FEATS, dtype=torch.float64)
    M2 = torch.zeros(NUM_FEATS, dtype=torch.float64)
    for i in range(len(fbank_files)):
        feat = np.load(fbank_files[i])[:NUM_FEATS]
        feats.append(feat)
        feat_tensor = torch.FloatTensor(feat)  # (F, T)
        count += feat_tensor.shape[1]
        delta = feat_tensor - mean.unsqueeze(1)
        mean += delta.sum(dim=1) / count
        delta2 = feat_tensor - mean.unsqueeze(1)
        M2 += (delta * delta2).sum(dim=1)
        transcript = "".join(np.load(text_files[i], allow_pickle=True).tolist())
        tokenized = tok.encode(transcript)
        shifted.append([tok.sos_id] + tokenized)
        golden.append(tokenized + [tok.eos_id])
    variance = M2 / (count - 1)
    return feats, mean, variance, mean.float(), torch.sqrt(variance + 1e-8).float()


def native_construction(root, tok):
    with contextlib.redirect_stdout(io.StringIO()):
        return Maltrey(PARTITION, dict(CONFIG, root=root), tok, True)


def numpy_statistics(feats):
    """Two-pass mean and sample variance over all frames, in float64."""
    count = sum(f.shape[1] for f in feats)
    mean = sum(f.astype(np.float64).sum(axis=1) for f in feats) / count
    ss = sum(((f.astype(np.float64) - mean[:, None]) ** 2).sum(axis=1) for f in feats)
    return mean, ss / (count - 1)


def timed(fn, *args):
    start = time.perf_counter()
    result = fn(*args)
    return time.perf_counter() - start, result


def run_in_fresh_process(method, root):
    """Seconds and peak resident memory added by one construction in a new process."""
    out = subprocess.run([sys.executable, __file__, "--child", method, root],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def _status_kb(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))


def _child(method, root):
    tok = tokenizer()
    before = _status_kb("VmRSS")
    try:  # reset the high-water mark, so only the construction counts
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass  # then the mark may include the imports: an upper bound
    seconds, result = timed(native_construction if method == "native" else plain_construction, root, tok)
    print(json.dumps({"seconds": seconds, "peak_bytes": (_status_kb("VmHWM") - before) * 1024}))
    del result


def main():
    torch.set_num_threads(1)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--utterances", type=int, default=4000)
    parser.add_argument("--child", nargs=2, metavar=("METHOD", "ROOT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        _child(*args.child)
        return

    with tempfile.TemporaryDirectory() as root:
        print(f"writing {args.utterances} utterances ...", flush=True)
        feature_bytes = write_corpus(root, args.utterances)
        tok = tokenizer()
        runs = {"native": [], "plain": []}
        run_in_fresh_process("native", root)  # warm-up: every file is now in the page cache
        for _ in range(3):
            for method in runs:
                runs[method].append(run_in_fresh_process(method, root))
        native_s, plain_s = (min(r["seconds"] for r in runs[m]) for m in ("native", "plain"))
        native_peak, plain_peak = (max(r["peak_bytes"] for r in runs[m]) for m in ("native", "plain"))

        ds = native_construction(root, tok)
        plain_feats, plain_mean64, plain_var64, plain_mean, plain_std = plain_construction(root, tok)

        identical = len(ds.feats) == len(plain_feats) and all(
            a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b) for a, b in zip(ds.feats, plain_feats))
        ref_mean, ref_var = numpy_statistics(plain_feats)
        reader = FeatureReader(NUM_FEATS, True, os.cpu_count())
        for start in range(0, len(ds.fbank_files), 256):
            reader.read(ds.fbank_files[start:start + 256])
        native_mean_err = float(np.max(np.abs(reader.mean / ref_mean - 1)))
        native_var_err = float(np.max(np.abs(reader.m2 / (reader.count - 1) / ref_var - 1)))
        plain_mean_err = float(np.max(np.abs(plain_mean64.numpy() / ref_mean - 1)))
        plain_var_err = float(np.max(np.abs(plain_var64.numpy() / ref_var - 1)))
        f32_equal = torch.equal(ds.global_mean, plain_mean) and torch.equal(ds.global_std, plain_std)

    gib = 2 ** 30
    print(f"utterances             : {args.utterances} (80 x 200-1600 float32), "
          f"{feature_bytes / gib:.2f} GiB of features, files warm in the page cache, {os.cpu_count()} CPUs")
    print("times                  : one construction per fresh process, best of 3")
    print(f"native Maltrey         : {native_s:.2f} s")
    print(f"plain np.load + Welford: {plain_s:.2f} s")
    print(f"speed-up               : {plain_s / native_s:.1f}x (target >= 5x)")
    print(f"identical arrays       : {identical}")
    print(f"float32 mean/std equal : {f32_equal}")
    print(f"float64 stats vs NumPy : native mean {native_mean_err:.1e}, variance {native_var_err:.1e}; "
          f"plain mean {plain_mean_err:.1e}, variance {plain_var_err:.1e} (relative, target <= 1e-9)")
    print(f"peak memory            : native {native_peak / feature_bytes:.2f}x the feature bytes "
          f"({native_peak / gib:.2f} GiB; target <= 1.3x), plain {plain_peak / feature_bytes:.2f}x")


if __name__ == "__main__":
    main()

"""Training throughput of ``Brennick._train_epoch`` under torchrun with N processes against one process.

Both train the same speech model on the same utterances (cross-entropy + CTC, gradient
accumulation), with the same batch per process, so N processes take N times the global batch;
the ratio of their target tokens per second is the speed-up of data-parallel training (ideally N).
On GPUs N is the number of GPUs; on the CPU, ``--nproc`` processes of ``--threads`` threads each.

    python benchmarks/bench_ddp_train_epoch.py [--utterances 256] [--batch 16] [--d-model 64] [--nproc 2]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile

import torch
import yaml
from torch.utils.data import DataLoader

from quorlin.data.maltrey import Maltrey
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.trainers import distributed
from bench_asr_train_epoch import LETTERS, build_trainer, write_corpus
from baseline import timed


def worker(args):
    """One process of a run (alone, or one of torchrun's): prints the epoch's tokens per second on rank 0."""
    torch.set_num_threads(args.threads)
    os.chdir(args.root)
    with open(os.path.join(args.root, "config.yaml")) as f:
        config = yaml.safe_load(f)
    tokenizer = VaskTokenizer.from_texts([LETTERS])
    dataset = Maltrey("train-clean-100", config["data"], tokenizer, True)
    loader = DataLoader(dataset, batch_size=args.batch, shuffle=False, collate_fn=dataset.collate_fn)
    args.device = None  # the trainer's choice: the CPU, or the GPU of this process
    trainer = build_trainer(args, tokenizer, config, os.path.join(args.root, "config.yaml"))
    shard = trainer.training_loader(loader)
    (tokens,) = distributed.sum_across_ranks(sum(len(dataset.transcripts_golden[i]) for i in shard.sampler))
    trainer._train_epoch(loader)  # warm-up
    best = min(timed(lambda: trainer._train_epoch(loader)) for _ in range(args.repeats))
    if distributed.is_main_process():
        print(f"RESULT {tokens / best:.1f} tokens/s on {trainer.device}, {len(shard)} batches per process")
    trainer.cleanup()


def run(command, args):
    env = {name: value for name, value in os.environ.items() if name not in distributed.LAUNCHER_VARIABLES}
    worker_args = [__file__, "--worker", "--root", args.root] + [
        f"--{name.replace('_', '-')}={getattr(args, name)}"
        for name in ("batch", "num_feats", "d_model", "layers", "repeats", "threads")]
    out = subprocess.run(command + worker_args, env=env | {"OMP_NUM_THREADS": str(args.threads)},
                         capture_output=True, text=True)
    found = re.search(r"^RESULT (\S+) tokens/s on (.*)$", out.stdout, re.MULTILINE)
    if out.returncode or not found:
        sys.exit(f"{' '.join(command)} failed:\n{out.stdout[-3000:]}\n{out.stderr[-3000:]}")
    return float(found[1]), found[2]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--utterances", type=int, default=256)
    parser.add_argument("--batch", type=int, default=16, help="utterances per batch and process")
    parser.add_argument("--accumulation", type=int, default=2)
    parser.add_argument("--num-feats", type=int, default=40)
    parser.add_argument("--d-model", type=int, default=64)
    parser.add_argument("--layers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--autocast-dtype", default="float16" if torch.cuda.is_available() else "float32")
    parser.add_argument("--nproc", type=int, default=torch.cuda.device_count() or 2,
                        help="processes under torchrun (default: the GPUs, or 2 on the CPU)")
    parser.add_argument("--threads", type=int, default=1, help="CPU threads of torch per process")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--root", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args)

    with tempfile.TemporaryDirectory() as root:
        args.root = root
        write_corpus(root, args.utterances, args.num_feats)
        data = {"root": root, "num_feats": args.num_feats, "norm": "cepstral", "specaug": False,
                "specaug_conf": {"time_mask_width_range": 10, "freq_mask_width_range": 10}, "batch_size": 2}
        config = {"data": data, "loss": {"label_smoothing": 0.1, "ctc_weight": 0.3},
                  "training": {"gradient_accumulation_steps": args.accumulation,
                               "autocast_dtype": args.autocast_dtype}}
        with open(os.path.join(root, "config.yaml"), "w") as f:
            yaml.safe_dump(config, f)
        one, one_device = run([sys.executable], args)
        several, device = run([sys.executable, "-m", "torch.distributed.run", "--standalone",
                               f"--nproc_per_node={args.nproc}"], args)

    print(f"{args.utterances} utterances, batches of {args.batch} per process, d_model {args.d_model}, "
          f"{args.layers}+{args.layers} layers, accumulation {args.accumulation}, CE + CTC, autocast_dtype "
          f"{args.autocast_dtype}, {args.threads} threads per process")
    print(f"1 process        : {one:10.0f} tokens/s (best of {args.repeats} epochs; {one_device})")
    print(f"{args.nproc} under torchrun: {several:10.0f} tokens/s (best of {args.repeats} epochs; {device})")
    print(f"speed-up {several / one:.2f}x with {args.nproc} processes ({several / one / args.nproc:.0%} of linear)")


if __name__ == "__main__":
    main()

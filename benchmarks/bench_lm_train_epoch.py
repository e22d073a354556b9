"""Training throughput of ``Wendrel._train_epoch`` against a plain hand-written loop.

Both run the same model, batches and settings (float16 autocast, gradient scaling,
gradient accumulation, a per-update cosine scheduler); the ratio of their times is
what the trainer's bookkeeping (progress bar, running metrics, per-batch release) adds.

    python benchmarks/bench_lm_train_epoch.py [--transcripts 256] [--batch 32] [--d-model 128]
"""
import argparse
import os
import random
import tempfile

import numpy as np
import torch
import yaml
from torch.utils.data import DataLoader

from quorlin.data.pellith import Pellith
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.model import DecoderOnlyTransformer
from quorlin.trainers.wendrel import Wendrel
from baseline import plain_update, timed

TARGET_RATIO = 1.10


def write_corpus(root, count, seed=0):
    """``count`` random transcripts of 40 to 160 letters and spaces as character arrays."""
    rng = random.Random(seed)
    folder = os.path.join(root, "train")
    os.makedirs(folder)
    for i in range(count):
        text = "".join(rng.choice("abcdefghij klmnop qrstu vwxyz ") for _ in range(rng.randint(40, 160)))
        np.save(os.path.join(folder, f"{i:05d}.npy"), np.array(list(text)))


def build_trainer(args, tokenizer, config, config_file):
    torch.manual_seed(0)
    model = DecoderOnlyTransformer(num_layers=args.layers, d_model=args.d_model, num_heads=4,
                                   d_ff=4 * args.d_model, dropout=0.1, max_len=200,
                                   num_classes=tokenizer.vocab_size)
    trainer = Wendrel(model, tokenizer, config, "bench", config_file, device=args.device)
    trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=1e-3)
    trainer.scheduler = torch.optim.lr_scheduler.CosineAnnealingLR(trainer.optimizer, T_max=1000)
    return trainer


def plain_epoch(trainer, loader, accumulation):
    """The same update rule, written as a bare loop over the trainer's own parts."""
    model, device = trainer.model, trainer.device
    model.train()
    trainer.optimizer.zero_grad()
    for i, (shifted, golden, lengths) in enumerate(loader):
        shifted, golden, lengths = shifted.to(device), golden.to(device), lengths.to(device)
        with torch.autocast(device_type=torch.device(device).type, dtype=torch.float16):
            logits, _ = model(shifted, target_lengths=lengths)
            loss = trainer.criterion(logits.view(-1, logits.size(-1)), golden.view(-1))
        plain_update(trainer, loss, i, accumulation, len(loader))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--transcripts", type=int, default=256)
    parser.add_argument("--batch", type=int, default=32)
    parser.add_argument("--accumulation", type=int, default=2)
    parser.add_argument("--d-model", type=int, default=128)
    parser.add_argument("--layers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as root:
        os.chdir(root)
        write_corpus(root, args.transcripts)
        tokenizer = VaskTokenizer.from_texts(["abcdefghijklmnopqrstuvwxyz "])
        config = {"training": {"gradient_accumulation_steps": args.accumulation}, "data": {"batch_size": 2}}
        config_file = os.path.join(root, "config.yaml")
        with open(config_file, "w") as f:
            yaml.safe_dump(config, f)
        dataset = Pellith("train", {"root": root}, tokenizer)
        loader = DataLoader(dataset, batch_size=args.batch, shuffle=False, collate_fn=dataset.collate_fn)
        trainer = build_trainer(args, tokenizer, config, config_file)
        tokens = sum(len(seq) for seq in dataset.transcripts_golden)

        trainer._train_epoch(loader)  # warm-up of both paths
        plain_epoch(trainer, loader, args.accumulation)
        plain, ours = [], []
        for _ in range(args.repeats):  # alternate so that load changes hit both alike
            plain.append(timed(lambda: plain_epoch(trainer, loader, args.accumulation)))
            ours.append(timed(lambda: trainer._train_epoch(loader)))

    print(f"device {args.device}, {len(loader)} batches of {args.batch}, {tokens} tokens per epoch, "
          f"d_model {args.d_model}, {args.layers} layers, accumulation {args.accumulation}")
    print(f"plain loop          : {tokens / min(plain):10.0f} tokens/s (best of {args.repeats})")
    print(f"Wendrel._train_epoch: {tokens / min(ours):10.0f} tokens/s (best of {args.repeats})")
    ratio = min(ours) / min(plain)
    print(f"time ratio trainer / plain: {ratio:.3f} (target <= {TARGET_RATIO})")


if __name__ == "__main__":
    main()

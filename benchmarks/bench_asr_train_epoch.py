"""Training throughput of ``Brennick._train_epoch`` against a plain hand-written loop.

Both run the same speech model, batches and settings (cross-entropy + CTC, autocast in
the chosen dtype with its gradient scaler, gradient accumulation, a per-update cosine
scheduler); the ratio of their times is what the trainer's bookkeeping (progress bar,
running metrics, per-batch release) adds. Then the trainer's time per step under each
``training.autocast_dtype``.

    python benchmarks/bench_asr_train_epoch.py [--utterances 128] [--batch 16] [--d-model 64] [--threads 1]
"""
import argparse
import os
import random
import tempfile

import numpy as np
import torch
import yaml
from torch.utils.data import DataLoader

from quorlin.data.maltrey import Maltrey
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.model import EncoderDecoderTransformer
from quorlin.trainers.brennick import Brennick
from quorlin.trainers.stolvar import AUTOCAST_DTYPES
from baseline import plain_update, timed

TARGET_RATIO = 1.05
LETTERS = "abcdefghijklmnopqrstuvwxyz "


def write_corpus(root, count, num_feats, seed=0):
    """``count`` utterances: 100 to 300 random filter-bank frames and 20 to 60 characters."""
    rng, np_rng = random.Random(seed), np.random.default_rng(seed)
    for folder in ("fbank", "text"):
        os.makedirs(os.path.join(root, "train-clean-100", folder))
    for i in range(count):
        feats = np_rng.standard_normal((num_feats, rng.randint(100, 300))).astype(np.float32)
        text = "".join(rng.choice(LETTERS) for _ in range(rng.randint(20, 60)))
        np.save(os.path.join(root, "train-clean-100", "fbank", f"{i:05d}.npy"), feats)
        np.save(os.path.join(root, "train-clean-100", "text", f"{i:05d}.npy"), np.array(list(text)))


def build_trainer(args, tokenizer, config, config_file):
    torch.manual_seed(0)
    model = EncoderDecoderTransformer(input_dim=args.num_feats, time_reduction=4, reduction_method="conv",
                                      num_encoder_layers=args.layers, num_decoder_layers=args.layers,
                                      d_model=args.d_model, num_heads=4, d_ff=4 * args.d_model, dropout=0.1,
                                      max_len=256, num_classes=tokenizer.vocab_size)
    trainer = Brennick(model, tokenizer, config, "bench", config_file, device=args.device)
    trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=1e-3)
    trainer.scheduler = torch.optim.lr_scheduler.CosineAnnealingLR(trainer.optimizer, T_max=1000)
    return trainer


def plain_epoch(trainer, loader, accumulation, dtype):
    """The same update rule, written as a bare loop over the trainer's own parts."""
    model, device = trainer.model, trainer.device
    model.train()
    trainer.optimizer.zero_grad()
    for i, batch in enumerate(loader):
        feats, shifted, golden, feat_lengths, lengths = (t.to(device) for t in batch)
        with torch.autocast(device_type=torch.device(device).type, dtype=dtype, enabled=dtype != torch.float32):
            logits, _, ctc = model(feats, shifted, feat_lengths, lengths)
            ce_loss = trainer.ce_criterion(logits.view(-1, logits.size(-1)), golden.view(-1))
            ctc_loss = trainer.ctc_criterion(ctc["log_probs"], golden, ctc["lengths"], lengths)
            loss = ce_loss + trainer.ctc_weight * ctc_loss
        plain_update(trainer, loss, i, accumulation, len(loader))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--utterances", type=int, default=128)
    parser.add_argument("--batch", type=int, default=16)
    parser.add_argument("--accumulation", type=int, default=2)
    parser.add_argument("--num-feats", type=int, default=40)
    parser.add_argument("--d-model", type=int, default=64)
    parser.add_argument("--layers", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--autocast-dtype", choices=list(AUTOCAST_DTYPES), default="float32",
                        help="precision of the trainer/plain comparison")
    parser.add_argument("--dtype-batches", type=int, default=2, help="batches timed per autocast dtype")
    parser.add_argument("--threads", type=int, default=torch.get_num_threads(), help="CPU threads of torch")
    parser.add_argument("--device", default="cuda" if torch.cuda.is_available() else "cpu")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)

    with tempfile.TemporaryDirectory() as root:
        os.chdir(root)
        write_corpus(root, args.utterances, args.num_feats)
        tokenizer = VaskTokenizer.from_texts([LETTERS])
        data = {"root": root, "num_feats": args.num_feats, "norm": "cepstral", "specaug": False,
                "specaug_conf": {"time_mask_width_range": 10, "freq_mask_width_range": 10}, "batch_size": 2}

        def config_for(autocast_dtype):
            config = {"data": data, "loss": {"label_smoothing": 0.1, "ctc_weight": 0.3},
                      "training": {"gradient_accumulation_steps": args.accumulation,
                                   "autocast_dtype": autocast_dtype}}
            config_file = os.path.join(root, f"config-{autocast_dtype}.yaml")
            with open(config_file, "w") as f:
                yaml.safe_dump(config, f)
            return config, config_file

        dataset = Maltrey("train-clean-100", data, tokenizer, True)
        loader = DataLoader(dataset, batch_size=args.batch, shuffle=False, collate_fn=dataset.collate_fn)
        trainer = build_trainer(args, tokenizer, *config_for(args.autocast_dtype))
        dtype = AUTOCAST_DTYPES[args.autocast_dtype] or torch.float32
        frames = sum(feat.shape[1] for feat in dataset.feats)

        trainer._train_epoch(loader)  # warm-up of both paths
        plain_epoch(trainer, loader, args.accumulation, dtype)
        plain, ours = [], []
        for _ in range(args.repeats):  # alternate so that load changes hit both alike
            plain.append(timed(lambda: plain_epoch(trainer, loader, args.accumulation, dtype)))
            ours.append(timed(lambda: trainer._train_epoch(loader)))

        def first_batches(count):
            first = Maltrey("train-clean-100", data | {"subset_size": count * args.batch}, tokenizer, True)
            return DataLoader(first, batch_size=args.batch, shuffle=False, collate_fn=first.collate_fn)

        warm_up, few = first_batches(1), first_batches(args.dtype_batches)
        dtype_trainers = {name: build_trainer(args, tokenizer, *config_for(name)) for name in AUTOCAST_DTYPES}
        step_times = {name: [] for name in AUTOCAST_DTYPES}
        for name, dtype_trainer in dtype_trainers.items():
            dtype_trainer._train_epoch(warm_up)
        for _ in range(args.repeats):  # interleaved, as above
            for name, dtype_trainer in dtype_trainers.items():
                step_times[name].append(timed(lambda: dtype_trainer._train_epoch(few)) / len(few))

    print(f"\ndevice {args.device}, {len(loader)} batches of {args.batch}, {frames} frames per epoch, "
          f"d_model {args.d_model}, {args.layers}+{args.layers} layers, accumulation {args.accumulation}, "
          f"CE + CTC, autocast_dtype {args.autocast_dtype}, {torch.get_num_threads()} threads")
    print(f"plain loop           : {frames / min(plain):10.0f} frames/s (best of {args.repeats})")
    print(f"Brennick._train_epoch: {frames / min(ours):10.0f} frames/s (best of {args.repeats})")
    ratio = min(ours) / min(plain)
    print(f"time ratio trainer / plain: {ratio:.3f} (target <= {TARGET_RATIO})")
    print(f"time per step of Brennick._train_epoch (best of {args.repeats} epochs of {len(few)} batches of "
          f"{args.batch}):")
    float32 = min(step_times["float32"])
    for name, times in step_times.items():
        print(f"  autocast_dtype {name:8s}: {min(times):7.3f} s ({min(times) / float32:.2f}x float32)")


if __name__ == "__main__":
    main()

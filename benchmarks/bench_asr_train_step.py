"""Training-step and recognition speed of the demo recogniser on the CPU: eager against torch.compile.

The model is the demo's recogniser (recipes/demo.yaml ``asr.model``: 40 bins, time
reduction 4, convolutional front end, 4 encoder and 2 decoder layers, d_model 96, 4 heads,
d_ff 384, max_len 512; 32 ids for the demo's 28 characters) with either encoder type. A
batch holds 8 utterances of about the same length, as length grouping makes them; the
lengths vary from batch to batch around 330 frames and 60 tokens, so that compiled code
meets changing shapes as in training. A training step is the recipe's: bfloat16 autocast,
cross-entropy with label smoothing 0.1 plus 0.5 times CTC, backward, AdamW; the "-fp32"
variants run without autocast. Recognition is the trainer's: encode, then a cached greedy
search of a fixed number of tokens (the end id made impossible) over one batch, in float32
under inference mode; its compiled variants compile ``encode`` or the decoder step
``score_cached``, which are independent, so compiling both saves about the sum.

Every variant first makes one pass over the batches; for a compiled one this pass compiles,
and recompiles whenever a guard on the shapes fails (the "graphs" column counts them). Its
compile cost is what the pass takes beyond the same pass once compiled, in CPU seconds,
the C++ compiler's included: compilation runs in this process, into a fresh cache folder
as on a first run (the decoder is the same for both encoders, so the second encoder's
decoder step comes from that cache). The variants share the model's code, and with it the
number of graphs dynamo keeps per function before it runs the function eagerly, so that
limit is raised here; a training run has a limit of its own (8 by default). Then the
variants run in turn, each timed once per round over the same batches, so that the load
of a shared machine falls on all of them alike; the ratios to the first variant are taken
within each round, in CPU time and wall-clock time. Last, one eager training step of each
encoder under torch.profiler, its batch drawn through the demo's DataLoader from prepared
files on disk, and the CPU time of its operator groups with and without autocast.

    python benchmarks/bench_asr_train_step.py [--threads 1] [--rounds 3] [--encoders transformer conformer]
        [--variants eager compiled eager-fp32 compiled-fp32] [--recognition eager compiled-encode compiled-step]
"""
import argparse
import copy
import os
import statistics
import tempfile
import time

import numpy as np
import torch
import torch.nn as nn
from torch._inductor import config as inductor_config
from torch.profiler import ProfilerActivity, profile, record_function
from torch.utils.data import DataLoader

from quorlin.data.length_groups import LengthGroupedSampler
from quorlin.data.maltrey import Maltrey
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.decoding import RecognizerScorer, SequenceGenerator
from quorlin.layout import FEATURES_FOLDER, TRAIN_PARTITION, TRANSCRIPTS_ARRAYS_FOLDER
from quorlin.model import EncoderDecoderTransformer
from quorlin.model.masks import PadMask

DEMO_MODEL = {"input_dim": 40, "time_reduction": 4, "reduction_method": "conv", "num_encoder_layers": 4,
              "num_decoder_layers": 2, "d_model": 96, "num_heads": 4, "d_ff": 384, "dropout": 0.0, "max_len": 512}
DEMO_UPDATES = 3800  # 4 epochs of the three-fold training set in batches of 8
LETTERS = "ABCDEFGHIJKLMNOPQRSTUVWXYZ' "
TOKENIZER = VaskTokenizer.from_texts([LETTERS])
VOCAB, PAD, SOS, EOS = TOKENIZER.vocab_size, TOKENIZER.pad_id, TOKENIZER.sos_id, TOKENIZER.eos_id
TRAIN_VARIANTS = {"eager": (False, torch.bfloat16), "compiled": (True, torch.bfloat16),
                  "eager-fp32": (False, None), "compiled-fp32": (True, None)}
RECOGNITION_VARIANTS = {"eager": (), "compiled-encode": ("encode",), "compiled-step": ("score_cached",)}


def make_model(encoder_type):
    torch.manual_seed(0)
    return EncoderDecoderTransformer(**DEMO_MODEL, num_classes=VOCAB, encoder_type=encoder_type)


def make_batches(count, batch_size, frames, tokens, seed=0):
    """``count`` batches of similar utterances, as length grouping makes them, whose lengths vary
    between batches: a batch's utterances lie within 5 % of a length drawn from 0.5 to 1.5
    times ``frames``, and their transcripts within 5 % of as many times ``tokens``."""
    generator = torch.Generator().manual_seed(seed)
    uniform = lambda low, high, size: low + (high - low) * torch.rand(size, generator=generator)
    batches = []
    for _ in range(count):
        scale = float(uniform(0.5, 1.5, ()))
        feat_lengths = (scale * frames * uniform(0.95, 1.0, batch_size)).long()
        lengths = (scale * tokens * uniform(0.95, 1.0, batch_size)).long()
        feats = torch.randn(batch_size, int(feat_lengths.max()), DEMO_MODEL["input_dim"], generator=generator)
        golden = torch.randint(EOS + 1, VOCAB, (batch_size, int(lengths.max())), generator=generator)
        golden[PadMask(golden, lengths)] = PAD
        shifted = torch.cat([torch.full((batch_size, 1), SOS), golden[:, :-1]], dim=1)  # (B, U)
        batches.append((feats, shifted, golden, feat_lengths, lengths))
    return batches


def padding_share(batches):
    """Shares of padded frames and padded tokens in ``batches``."""
    frames = sum(b[0].shape[0] * b[0].shape[1] for b in batches)
    tokens = sum(b[2].numel() for b in batches)
    return (1 - sum(int(b[3].sum()) for b in batches) / frames, 1 - sum(int(b[4].sum()) for b in batches) / tokens)


class TrainStep:
    """One update of the recipe: autocast forward, CE + 0.5 * CTC, backward, AdamW."""

    def __init__(self, model, compiled, dtype):
        self.model, self.dtype = model.train(), dtype
        self.forward = torch.compile(model) if compiled else model
        self.optimizer = torch.optim.AdamW(model.parameters(), lr=3e-3, betas=(0.9, 0.98), eps=1e-8,
                                           weight_decay=0.1)
        self.ce = nn.CrossEntropyLoss(ignore_index=PAD, label_smoothing=0.1)
        self.ctc = nn.CTCLoss(blank=PAD, zero_infinity=True)

    def __call__(self, batch):
        feats, shifted, golden, feat_lengths, lengths = batch
        with record_function("forward and loss"):
            with torch.autocast("cpu", dtype=self.dtype or torch.bfloat16, enabled=self.dtype is not None):
                logits, _, ctc = self.forward(feats, shifted, feat_lengths, lengths)
                ce_loss = self.ce(logits.view(-1, logits.size(-1)), golden.view(-1))  # (B * U, V) against (B * U,)
                loss = ce_loss + 0.5 * self.ctc(ctc["log_probs"], golden, ctc["lengths"], lengths)
        with record_function("backward"):
            loss.backward()
        with record_function("optimizer"):
            self.optimizer.step()
            self.optimizer.zero_grad()
        return loss.item()


class Recognition:
    """Encode one batch, then a cached greedy search of ``max_length`` - 1 tokens."""

    def __init__(self, model, compiled_methods, max_length):
        self.model = copy.deepcopy(model).eval()
        with torch.no_grad():
            self.model.final_linear.bias[EOS] = -1e4  # every search runs to its full length
        for name in compiled_methods:
            setattr(self.model, name, torch.compile(getattr(self.model, name)))
        self.max_length = max_length

    def __call__(self, batch):
        feats, _, _, feat_lengths, _ = batch
        with torch.inference_mode():
            encoder_output, pad_mask, _, _ = self.model.encode(feats, feat_lengths)
            generator = SequenceGenerator(score_fn=RecognizerScorer(self.model, encoder_output, pad_mask),
                                          tokenizer=TOKENIZER, max_length=self.max_length, device="cpu")
            seqs, _ = generator.generate_greedy(torch.full((feats.size(0), 1), SOS))
        assert seqs.size(1) == self.max_length


def graphs_compiled():
    return torch._dynamo.utils.counters["stats"]["unique_graphs"]


def cpu_seconds():
    """CPU time of this process's threads and of its finished child processes (the C++ compiler)."""
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def clocked(fn):
    """Wall-clock and CPU seconds that ``fn()`` takes."""
    wall, cpu = time.perf_counter(), cpu_seconds()
    fn()
    return time.perf_counter() - wall, cpu_seconds() - cpu


def compare(title, runners, batches, rounds):
    """First passes, then ``rounds`` rounds of one timed pass per runner; prints the table.

    Returns per runner the per-batch CPU seconds of each round, the first pass (wall, CPU)
    and the graphs compiled."""
    print(f"\n{title}", flush=True)
    first, graphs = {}, {}
    for name, run in runners.items():
        before = graphs_compiled()
        first[name] = clocked(lambda: [run(b) for b in batches])
        graphs[name] = graphs_compiled() - before
        print(f"  first pass of {name}: {first[name][0]:.1f} s wall, {first[name][1]:.1f} s CPU, "
              f"{graphs[name]} graphs compiled", flush=True)
    walls, cpus = {name: [] for name in runners}, {name: [] for name in runners}
    for _ in range(rounds):
        for name, run in runners.items():
            wall, cpu = clocked(lambda: [run(b) for b in batches])
            walls[name].append(wall / len(batches))
            cpus[name].append(cpu / len(batches))
    base = next(iter(runners))
    print(f"  {'variant':<16} {'CPU ms/batch':>12} {'spread':>7} {'wall ms':>8} {'compile s CPU':>13}  "
          f"speed-up over {base} per round, CPU (wall)")
    for name in runners:
        cpu, wall = statistics.median(cpus[name]), statistics.median(walls[name])
        ratios = " ".join(f"{b / t:.2f} ({bw / w:.2f})" for b, t, bw, w in
                          zip(cpus[base], cpus[name], walls[base], walls[name]))
        print(f"  {name:<16} {1000 * cpu:>12.0f} {max(cpus[name]) / min(cpus[name]):>7.2f} {1000 * wall:>8.0f} "
              f"{first[name][1] - len(batches) * cpu:>13.1f}  {ratios}")
    return cpus, first, graphs


def payoff(cpus, first, graphs, batches, base, name, updates):
    """What compiling ``name`` costs and saves against the eager ``base`` over ``updates`` updates."""
    per_update = statistics.median(cpus[base])
    saved = per_update - statistics.median(cpus[name])
    cost = first[name][1] - len(batches) * statistics.median(cpus[name]) - (first[base][1] - len(batches) * per_update)
    text = (f"{name} against {base}: {1000 * saved:.0f} ms CPU saved per update; compiling cost {cost:.0f} s CPU, "
            f"{cost / max(graphs[name], 1):.0f} s for each of its {graphs[name]} graphs")
    if saved <= 0:
        return text + ", never repaid"
    return (text + f"; repaid after {cost / saved:.0f} updates if no new shape had to be compiled; over "
            f"{updates} updates the net saving is {updates * saved - cost:.0f} s of {updates * per_update:.0f} s CPU")


def write_corpus(root, count, frames, tokens, seed=0):
    """``count`` prepared utterances of 0.5 to 1.5 times ``frames``, with transcripts of about as
    many times ``tokens`` characters (± 10 %), as speech and text lengths go together."""
    rng = np.random.default_rng(seed)
    for folder in (FEATURES_FOLDER, TRANSCRIPTS_ARRAYS_FOLDER):
        os.makedirs(os.path.join(root, TRAIN_PARTITION, folder))
    for i in range(count):
        scale = rng.uniform(0.5, 1.5)
        feats = rng.standard_normal((DEMO_MODEL["input_dim"], int(scale * frames))).astype(np.float32)
        text = rng.choice(list(LETTERS), int(scale * tokens * rng.uniform(0.9, 1.1)))
        np.save(os.path.join(root, TRAIN_PARTITION, FEATURES_FOLDER, f"{i:05d}.npy"), feats)
        np.save(os.path.join(root, TRAIN_PARTITION, TRANSCRIPTS_ARRAYS_FOLDER, f"{i:05d}.npy"), text)


def op_groups(events):
    """Self CPU milliseconds of a profile's operators, grouped; ``events`` grouped by input shape."""
    groups = dict.fromkeys(["2-D convolutions (front end)", "1-D convolutions (conformer)", "matrix products",
                            "copies and dtype conversions", "other"], 0.0)
    for e in events:
        if "convolution" in e.key:
            group = "2-D convolutions (front end)" if len(e.input_shapes[0]) == 4 else "1-D convolutions (conformer)"
        elif e.key in ("aten::mm", "aten::addmm", "aten::bmm", "aten::baddbmm"):
            group = "matrix products"
        elif e.key in ("aten::copy_", "aten::_to_copy", "aten::to"):
            group = "copies and dtype conversions"
        else:
            group = "other"
        groups[group] += e.self_cpu_time_total / 1000
    return groups


def profile_steps(encoder_type, args):
    """One eager training step under the profiler, its batch loaded as the demo's trainer loads it;
    then the same batch without autocast."""
    with tempfile.TemporaryDirectory() as root:
        write_corpus(root, 50 * args.batch, args.frames, args.tokens)
        data = {"root": root, "num_feats": DEMO_MODEL["input_dim"], "norm": "global_mvn", "specaug": False,
                "specaug_conf": {"time_mask_width_range": 20, "freq_mask_width_range": 8}}
        dataset = Maltrey(TRAIN_PARTITION, data, TOKENIZER, True)
        sampler = LengthGroupedSampler([f.shape[1] for f in dataset.feats], args.batch, 50, seed=0)
        loader = DataLoader(dataset, batch_size=args.batch, sampler=sampler, collate_fn=dataset.collate_fn)
        batches = iter(loader)
        profiles = {}
        for label, dtype in (("bf16", torch.bfloat16), ("fp32", None)):
            step = TrainStep(make_model(encoder_type), False, dtype)
            step(next(batches))  # first-call costs
            with profile(activities=[ProfilerActivity.CPU], record_shapes=True) as prof:
                if dtype is not None:
                    with record_function("data loading"):
                        batch = next(batches)
                step(batch)
            profiles[label] = prof
        loaded = [next(batches) for _ in range(20)]
    events = profiles["bf16"].key_averages()
    print(f"\nOne eager bf16 training step, {encoder_type} encoder, its batch of {batch[0].shape[0]} x "
          f"{batch[0].shape[1]} frames and {batch[1].shape[1]} tokens loaded from disk:")
    print(events.table(sort_by="self_cpu_time_total", row_limit=args.profile_rows))
    total = sum(e.self_cpu_time_total for e in events)
    regions = {e.key: e.cpu_time_total for e in events if e.key in
               ("data loading", "forward and loss", "backward", "optimizer")}
    print("  share of the step's CPU time: " + ", ".join(f"{k} {100 * v / total:.1f} %" for k, v in regions.items()))
    calls = {e.key: e.count for e in events}
    print("  calls: " + ", ".join(f"{key} {calls[key]}" for key in ("aten::copy_", "aten::_to_copy") if key in calls))
    groups = {label: op_groups(prof.key_averages(group_by_input_shape=True)) for label, prof in profiles.items()}
    print("  self CPU ms of the same batch, bf16 autocast / float32: " + ", ".join(
        f"{group} {groups['bf16'][group]:.0f} / {groups['fp32'][group]:.0f}" for group in groups["bf16"]))
    frames, tokens = padding_share(loaded)
    print(f"  padding in 20 length-grouped batches of {args.batch}: {100 * frames:.1f} % of frames, "
          f"{100 * tokens:.1f} % of tokens")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=torch.get_num_threads())
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--batches", type=int, default=6, help="batches of one pass, each of its own length")
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--frames", type=int, default=330)
    parser.add_argument("--tokens", type=int, default=60)
    parser.add_argument("--encoders", nargs="+", default=["transformer", "conformer"],
                        choices=["transformer", "conformer"])
    parser.add_argument("--variants", nargs="+", default=list(TRAIN_VARIANTS),
                        choices=list(TRAIN_VARIANTS), help="training variants; the first is the baseline")
    parser.add_argument("--recognition", nargs="*", default=list(RECOGNITION_VARIANTS),
                        choices=list(RECOGNITION_VARIANTS), help="recognition variants; the first is the baseline")
    parser.add_argument("--recognition-batches", type=int, default=2)
    parser.add_argument("--max-length", type=int, default=64, help="tokens of a recognition search, with the start id")
    parser.add_argument("--profile-rows", type=int, default=15, help="0: no profile")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)

    # Compilation in this process, so that its CPU time is counted, from scratch, as on a first run.
    inductor_config.compile_threads = 1
    torch._dynamo.config.recompile_limit = 64
    with tempfile.TemporaryDirectory() as cache:
        os.environ["TORCHINDUCTOR_CACHE_DIR"] = cache
        batches = make_batches(args.batches, args.batch, args.frames, args.tokens)
        frames, tokens = padding_share(batches)
        print(f"torch {torch.__version__}, {args.threads} threads; {args.batches} batches of {args.batch} "
              f"utterances, {[b[0].shape[1] for b in batches]} frames, {[b[1].shape[1] for b in batches]} tokens "
              f"({100 * frames:.0f} % and {100 * tokens:.0f} % padding)")
        for encoder_type in args.encoders:
            model = make_model(encoder_type)
            runners = {name: TrainStep(copy.deepcopy(model), *TRAIN_VARIANTS[name]) for name in args.variants}
            parameters = sum(p.numel() for p in model.parameters())
            cpus, first, graphs = compare(f"Training steps, {encoder_type} encoder ({parameters:,} parameters)",
                                          runners, batches, args.rounds)
            for name in args.variants:
                base = name.replace("compiled", "eager")
                if name != base and base in args.variants:
                    print("  " + payoff(cpus, first, graphs, batches, base, name, DEMO_UPDATES))
            if args.recognition:
                runners = {name: Recognition(model, RECOGNITION_VARIANTS[name], args.max_length)
                           for name in args.recognition}
                compare(f"Recognition, {encoder_type} encoder: encode + cached greedy search of "
                        f"{args.max_length - 1} tokens", runners, batches[:args.recognition_batches], args.rounds)
            torch._dynamo.reset()
        if args.profile_rows:
            for encoder_type in args.encoders:
                profile_steps(encoder_type, args)


if __name__ == "__main__":
    main()

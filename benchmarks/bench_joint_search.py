"""Joint CTC/attention beam search against attention-only beam search, per generated token.

A demo-sized recogniser with random weights (4 encoder and 2 decoder layers, d_model 96)
recognises one batch of utterances of different lengths by beam search of width 10, with
its decoder alone and jointly with its CTC head (``ctc_weight`` 0.3), at vocabularies of
32 and 5,000 ids. The end id is made impossible, so every search runs to its full length.
The joint search runs twice: with the CTC scorer's extensions as one product of matrices
per utterance, and with the dense formulation it replaced (a rows × frames × vocabulary
tensor every step), skipped where that tensor would pass ``--dense-limit-gb``. Each
setting runs ``repeats`` times; the table shows the fastest per-token time and its ratio
to attention-only search on the same batch.

Memory: the largest tensor that one step of the CTC scorer creates, recorded op by op,
for both formulations (and the peak of CUDA memory over the steps, on a GPU), plus the
largest difference between their scores.

    python benchmarks/bench_joint_search.py [--threads 1] [--repeats 2] [--tokens 40] [--vocab 32 5000] [--device cpu]
"""
import argparse
import time
import types

import torch
from torch.utils._python_dispatch import TorchDispatchMode

from quorlin.decoding import CTCPrefixScorer, RecognizerScorer, SequenceGenerator, WeightedSumScorer
from quorlin.model import EncoderDecoderTransformer

TOKENIZER = types.SimpleNamespace(pad_id=0, sos_id=1, eos_id=2)
BEAM, CTC_WEIGHT = 10, 0.3


class DenseCTCPrefixScorer(CTCPrefixScorer):
    """The previous extensions: log-sum-exp over frames of phi(t - 1) + log y_t(c) for every row and label."""

    def __init__(self, log_probs, lengths, blank_id, eos_id):
        super().__init__(log_probs, lengths, blank_id, eos_id)
        # log y_t(c), log 0 on padding frames.
        self.dense_log_probs = self.label_probs.log() + self.label_shift.unsqueeze(1)  # (N, S, V)

    def _extensions(self, phi):
        y = self.dense_log_probs[self.utterance]  # (R, S, V)
        return torch.logsumexp(phi.unsqueeze(-1) + y, dim=1)  # (R, V)


class LargestTensor(TorchDispatchMode):
    """Records the bytes of the largest tensor that any operation returns."""

    def __init__(self):
        super().__init__()
        self.largest = 0

    def __torch_dispatch__(self, func, types, args=(), kwargs=None):
        out = func(*args, **(kwargs or {}))
        for t in out if isinstance(out, (tuple, list)) else (out,):
            if isinstance(t, torch.Tensor):
                self.largest = max(self.largest, t.numel() * t.element_size())
        return out


def make_asr(vocab, device):
    torch.manual_seed(0)
    asr = EncoderDecoderTransformer(input_dim=40, time_reduction=4, reduction_method="conv", num_encoder_layers=4,
                                    num_decoder_layers=2, d_model=96, num_heads=4, d_ff=384, dropout=0.0,
                                    max_len=512, num_classes=vocab)
    with torch.no_grad():
        asr.final_linear.bias[TOKENIZER.eos_id] = -1e4
    return asr.to(device).eval()


def synchronize(device):
    if device.startswith("cuda"):
        torch.cuda.synchronize()


def per_token_ms(generator, start_ids, tokens, device):
    synchronize(device)
    start = time.perf_counter()
    seqs, _ = generator.generate_beam(start_ids, beam_width=BEAM)
    synchronize(device)
    assert seqs.size(-1) == 1 + tokens
    return 1000 * (time.perf_counter() - start) / tokens


def step_memory(scorer_class, ctc_inputs, tokens, device):
    """(largest tensor of a step in bytes, CUDA peak in bytes or None, every step's log prefix
    probabilities of the extensions in float64)."""
    log_probs, lengths = ctc_inputs["log_probs"], ctc_inputs["lengths"]
    scorer = scorer_class(log_probs, lengths, TOKENIZER.pad_id, TOKENIZER.eos_id)
    rows = lengths.size(0) * BEAM
    generator = torch.Generator().manual_seed(0)
    labels = torch.randint(3, log_probs.size(-1), (tokens, rows), generator=generator).to(device)
    if device.startswith("cuda"):
        torch.cuda.synchronize()
        torch.cuda.reset_peak_memory_stats()
        before = torch.cuda.memory_allocated()
    recorder = LargestTensor()
    psi = []
    with recorder:
        scorer.init(torch.full((rows, 1), TOKENIZER.sos_id, device=device), 1 + tokens)
        for j in range(tokens):
            psi.append(scorer.next_psi)
            scorer.step(labels[j])
    peak = torch.cuda.max_memory_allocated() - before if device.startswith("cuda") else None
    return recorder.largest, peak, torch.stack(psi)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=torch.get_num_threads())
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--tokens", type=int, default=40, help="new tokens per search")
    parser.add_argument("--vocab", type=int, nargs="+", default=[32, 5000])
    parser.add_argument("--frames", type=int, nargs="+", default=[1200, 700, 950, 1000],
                        help="utterance lengths in 10 ms frames (reduced 4 times by the front end)")
    parser.add_argument("--dense-limit-gb", type=float, default=1.0)
    parser.add_argument("--device", default="cpu")
    args = parser.parse_args()
    torch.set_num_threads(args.threads)
    device = args.device

    frames = torch.tensor(args.frames, device=device)
    torch.manual_seed(1)
    feats = torch.randn(len(args.frames), max(args.frames), 40, device=device)
    start_ids = torch.full((len(args.frames), 1), TOKENIZER.sos_id, device=device)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads, {device}; beam {BEAM}, "
          f"{len(args.frames)} utterances of {args.frames} frames, {args.tokens} tokens, repeats {args.repeats}")
    print(f"{'vocab':>5}  {'search':<32} {'ms/token':>9} {'x attention':>11} {'largest/step':>13} {'CUDA peak':>10}")
    for vocab in args.vocab:
        asr = make_asr(vocab, device)
        with torch.inference_mode():
            encoder_output, pad_mask, _, ctc_inputs = asr.encode(feats, frames)
            S = encoder_output.size(1)
            dense_bytes = len(args.frames) * BEAM * S * vocab * 8

            def joint(scorer_class):
                ctc = scorer_class(ctc_inputs["log_probs"], ctc_inputs["lengths"], TOKENIZER.pad_id, TOKENIZER.eos_id)
                return WeightedSumScorer([(RecognizerScorer(asr, encoder_output, pad_mask), 1 - CTC_WEIGHT),
                                          (ctc, CTC_WEIGHT)], final=True)

            searches = {"attention only": lambda: RecognizerScorer(asr, encoder_output, pad_mask),
                        "joint, matrix products": lambda: joint(CTCPrefixScorer)}
            if dense_bytes <= args.dense_limit_gb * 2 ** 30:
                searches["joint, dense (previous)"] = lambda: joint(DenseCTCPrefixScorer)
            times = {name: [] for name in searches}
            for _ in range(args.repeats):
                for name, make in searches.items():
                    generator = SequenceGenerator(score_fn=make(), tokenizer=TOKENIZER, max_length=1 + args.tokens,
                                                  device=device)
                    times[name].append(per_token_ms(generator, start_ids, args.tokens, device))
            memory = {"joint, matrix products": step_memory(CTCPrefixScorer, ctc_inputs, args.tokens, device)}
            if "joint, dense (previous)" in searches:
                memory["joint, dense (previous)"] = step_memory(DenseCTCPrefixScorer, ctc_inputs, args.tokens,
                                                                device)
        base = min(times["attention only"])
        for name, runs in times.items():
            largest, peak = (mib(memory[name][0]), "-" if memory[name][1] is None else mib(memory[name][1])) \
                if name in memory else ("-", "-")
            print(f"{vocab:>5}  {name:<32} {min(runs):>9.2f} {min(runs) / base:>10.2f}x {largest:>13} {peak:>10}",
                  flush=True)
        if "joint, dense (previous)" not in searches:
            print(f"{vocab:>5}  joint, dense (previous): skipped, {dense_bytes / 2 ** 30:.1f} GiB per step tensor")
        else:
            new, old = memory["joint, matrix products"][2], memory["joint, dense (previous)"][2]
            possible = old > -1e20
            print(f"{vocab:>5}  largest difference of their log prefix probabilities: "
                  f"{(new - old)[possible].abs().max().item():.2e} nats where possible; impossible alike: "
                  f"{bool(((new > -1e20) == possible).all())}")
        print(f"{vocab:>5}  held for the batch by either: {len(args.frames)} x {S} x {vocab} float64 = "
              f"{mib(len(args.frames) * S * vocab * 8)}", flush=True)


def mib(size: int) -> str:
    return f"{size / 2 ** 20:.2f} MiB"


if __name__ == "__main__":
    main()

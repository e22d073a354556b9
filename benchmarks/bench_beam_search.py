"""Beam search of width W over B prompts against greedy search over B * W prompts.

Both searches score B * W rows per step with the same language model, so the ratio of
their times shows what beam bookkeeping (top-k over beams, reordering) adds to the
model's own cost. The end id is made impossible so both run to max_length.

    python benchmarks/bench_beam_search.py [--batch 8] [--beam 8] [--max-length 48] [--d-model 256]
"""
import argparse
import time
import types

import torch

from quorlin.decoding import SequenceGenerator
from quorlin.model import DecoderOnlyTransformer

TARGET_RATIO = 1.3


class TimedScore:
    """The model's ``score`` with a running total of the seconds spent in it."""

    def __init__(self, model):
        self.model, self.seconds = model, 0.0

    def __call__(self, x):
        start = time.perf_counter()
        scores = self.model.score(x)
        self.seconds += time.perf_counter() - start
        return scores


def run_timed(fn, score):
    """(wall seconds, model seconds) of one run."""
    score.seconds = 0.0
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start, score.seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--batch", type=int, default=8)
    parser.add_argument("--beam", type=int, default=8)
    parser.add_argument("--max-length", type=int, default=48)
    parser.add_argument("--prompt-length", type=int, default=4)
    parser.add_argument("--vocab", type=int, default=1000)
    parser.add_argument("--d-model", type=int, default=256)
    parser.add_argument("--layers", type=int, default=4)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    torch.manual_seed(0)
    tokenizer = types.SimpleNamespace(pad_id=0, sos_id=1, eos_id=2)
    lm = DecoderOnlyTransformer(num_layers=args.layers, d_model=args.d_model, num_heads=4, d_ff=4 * args.d_model,
                                dropout=0.0, max_len=args.max_length, num_classes=args.vocab).eval()
    with torch.no_grad():
        lm.final_linear.bias[tokenizer.eos_id] = -1e4

    score = TimedScore(lm)
    generator = SequenceGenerator(score_fn=score, tokenizer=tokenizer, max_length=args.max_length, device="cpu")
    B, W = args.batch, args.beam
    prompts = torch.randint(3, args.vocab, (B, args.prompt_length))

    with torch.inference_mode():
        generator.generate_greedy(prompts)  # warm-up
        # Alternating the two and keeping each one's fastest run evens out load from elsewhere.
        greedy_runs, beam_runs = [], []
        for _ in range(args.repeats):
            greedy_runs.append(run_timed(lambda: generator.generate_greedy(prompts.repeat_interleave(W, 0)), score))
            beam_runs.append(run_timed(lambda: generator.generate_beam(prompts, beam_width=W), score))
    (greedy, greedy_model), (beam, beam_model) = min(greedy_runs), min(beam_runs)

    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads, CPU")
    print(f"B={B} W={W} max_length={args.max_length} V={args.vocab} d_model={args.d_model} layers={args.layers}")
    print(f"greedy over B*W prompts: {greedy:.3f} s (model {greedy_model:.3f} s)")
    print(f"beam W over B prompts:   {beam:.3f} s (model {beam_model:.3f} s)")
    print(f"beam bookkeeping: {100 * (beam - beam_model) / beam_model:.1f}% of model time")
    ratio = beam / greedy
    print(f"ratio beam / greedy: {ratio:.3f} (target <= {TARGET_RATIO})")


if __name__ == "__main__":
    main()

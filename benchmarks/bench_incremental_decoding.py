"""Cached (incremental) scoring against full-prefix scoring, per generated token.

Language model: a DecoderOnlyTransformer (d_model 256, 4 layers, 1,000 tokens) continues
10-token prompts by 50, 100, 200 and 400 new tokens, greedily (B prompts) and by beam
search of width 10 (B_beam prompts). Speech recogniser: the search that recognition runs
for one batch, at the model level (encode once, then beam 10 from the start id over the
encoder output), without and with shallow fusion of that language model, over a batch
of long utterances of different lengths. The end id is made impossible, so every search
runs to its full length. Each setting runs ``repeats`` times, cached and uncached in
turn; the table shows each path's fastest per-token time, the spread of its runs
(slowest / fastest) and the ratio of the fastest times.

    python benchmarks/bench_incremental_decoding.py [--threads 1] [--repeats 2] [--lengths 50 100 200 400]
"""
import argparse
import time
import types

import torch

from quorlin.decoding import LanguageModelScorer, RecognizerScorer, SequenceGenerator, ShallowFusionScorer
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer

TARGET_RATIO = 5.0  # at 200 new tokens
TOKENIZER = types.SimpleNamespace(pad_id=0, sos_id=1, eos_id=2)
VOCAB, PROMPT = 1000, 10


def never_ending(model):
    with torch.no_grad():
        model.final_linear.bias[TOKENIZER.eos_id] = -1e4
    return model.eval()


def per_token_ms(search, score_fn, max_length, new_tokens):
    generator = SequenceGenerator(score_fn=score_fn, tokenizer=TOKENIZER, max_length=max_length, device="cpu")
    start = time.perf_counter()
    seqs, _ = search(generator)
    assert seqs.size(-1) == max_length
    return 1000 * (time.perf_counter() - start) / new_tokens


def compare(label, search, cached, uncached, max_length, new_tokens, repeats):
    runs = {"cached": [], "uncached": []}
    with torch.inference_mode():
        for _ in range(repeats):
            for name, score_fn in (("uncached", uncached), ("cached", cached)):
                runs[name].append(per_token_ms(search, score_fn, max_length, new_tokens))
    (fast_u, slow_u), (fast_c, slow_c) = ((min(r), max(r)) for r in (runs["uncached"], runs["cached"]))
    print(f"{label:<34} {new_tokens:>6} {fast_u:>10.2f} {slow_u / fast_u:>6.2f} {fast_c:>9.2f} "
          f"{slow_c / fast_c:>6.2f} {fast_u / fast_c:>8.1f}x", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=torch.get_num_threads())
    parser.add_argument("--repeats", type=int, default=2)
    parser.add_argument("--lengths", type=int, nargs="+", default=[50, 100, 200, 400])
    parser.add_argument("--batch", type=int, default=4, help="prompts of the greedy search")
    parser.add_argument("--beam-batch", type=int, default=1, help="prompts of the beam search")
    parser.add_argument("--asr-frames", type=int, nargs="+", default=[1600, 1200],
                        help="utterance lengths in 10 ms frames (reduced 4 times by the front end)")
    parser.add_argument("--asr-tokens", type=int, default=200)
    parser.add_argument("--lm-weight", type=float, default=0.3)
    args = parser.parse_args()
    torch.set_num_threads(args.threads)

    torch.manual_seed(0)
    longest = max(args.lengths + [args.asr_tokens])
    lm = never_ending(DecoderOnlyTransformer(num_layers=4, d_model=256, num_heads=4, d_ff=1024, dropout=0.0,
                                             max_len=PROMPT + longest, num_classes=VOCAB))
    asr = never_ending(EncoderDecoderTransformer(
        input_dim=80, time_reduction=4, reduction_method="conv", num_encoder_layers=4, num_decoder_layers=4,
        d_model=256, num_heads=4, d_ff=1024, dropout=0.0, max_len=max(max(args.asr_frames), 1 + longest),
        num_classes=VOCAB))
    prompts = torch.randint(3, VOCAB, (max(args.batch, args.beam_batch), PROMPT))
    greedy = lambda g: g.generate_greedy(prompts[:args.batch])
    beam = lambda g: g.generate_beam(prompts[:args.beam_batch], beam_width=10)

    with torch.inference_mode():  # first calls pay one-time costs
        for score_fn in (LanguageModelScorer(lm), lm.score):
            per_token_ms(beam, score_fn, PROMPT + 10, 10)
    print(f"torch {torch.__version__}, {torch.get_num_threads()} threads, CPU; repeats {args.repeats}")
    print(f"{'per new token, ms':<34} {'tokens':>6} {'uncached':>10} {'spread':>6} {'cached':>9} "
          f"{'spread':>6} {'ratio':>9}")
    for new_tokens in args.lengths:
        for label, search in ((f"LM greedy, {args.batch} prompts", greedy),
                              (f"LM beam 10, {args.beam_batch} prompt(s)", beam)):
            compare(label, search, LanguageModelScorer(lm), lm.score, PROMPT + new_tokens, new_tokens, args.repeats)

    frames = torch.tensor(args.asr_frames)
    feats = torch.randn(len(frames), int(frames.max()), 80)
    with torch.inference_mode():
        encoder_output, pad_mask_src, _, _ = asr.encode(feats, frames)
    start_ids = torch.full((len(frames), 1), TOKENIZER.sos_id)
    recognise = lambda g: g.generate_beam(start_ids, beam_width=10)
    asr_score = lambda x: asr.score(x, encoder_output, pad_mask_src)
    fused_score = lambda x: asr_score(x) + args.lm_weight * lm.score(x)
    asr_scorer = RecognizerScorer(asr, encoder_output, pad_mask_src)
    fused_scorer = ShallowFusionScorer(asr_scorer, LanguageModelScorer(lm), args.lm_weight)
    label = f"ASR beam 10, {len(frames)} utterances"
    compare(label, recognise, asr_scorer, asr_score, 1 + args.asr_tokens, args.asr_tokens, args.repeats)
    compare(label + " + LM", recognise, fused_scorer, fused_score, 1 + args.asr_tokens, args.asr_tokens,
            args.repeats)
    print(f"utterances of {args.asr_frames} frames, {encoder_output.size(1)} encoder steps at most; "
          f"target ratio at 200 tokens >= {TARGET_RATIO}")


if __name__ == "__main__":
    main()

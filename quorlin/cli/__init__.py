"""The quorlin command: prepare data, train the LM and the recogniser, evaluate, transcribe.

    quorlin demo                                  # the whole job on the embedded demo corpus
    quorlin prepare recipes/demo.yaml
    quorlin train-lm recipes/demo.yaml
    quorlin train-asr recipes/demo.yaml           # or: torchrun --nproc_per_node=4 -m quorlin train-asr ...
    quorlin evaluate recipes/demo.yaml
    quorlin transcribe expts/demo-asr recordings/ --lm expts/demo-lm --ctc-weight 0.2 --beam-width 10 -o transcripts.tsv
"""
import argparse
import os
import sys
from typing import List, Optional

# Plots are written to files; no window is ever opened.
os.environ.setdefault("MPLBACKEND", "Agg")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quorlin", description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    recipe_help = "the YAML recipe (see recipes/)"
    commands.add_parser("prepare", help="audio and text into the datasets' layouts, and the tokenizer") \
        .add_argument("recipe", help=recipe_help)
    for name, what in (("train-lm", "the language model"), ("train-asr", "the recogniser (staged when the "
                                                                          "recipe lists stages)")):
        sub = commands.add_parser(name, help=f"train {what}, then evaluate it on the test partition")
        sub.add_argument("recipe", help=recipe_help)
        sub.add_argument("--resume", action="store_true",
                         help="go on from the last checkpoint up to the recipe's epochs")
    commands.add_parser("evaluate", help="error rates of greedy and beam search, without and with the LM") \
        .add_argument("recipe", help=recipe_help)
    sub = commands.add_parser("transcribe", help="transcribe audio files or folders with a trained run folder")
    sub.add_argument("run", help="the recogniser's run folder (expts/<run name>, or a copy of it)")
    sub.add_argument("inputs", nargs="+", help="audio files (.flac, .wav, .ogg) or folders of them")
    sub.add_argument("--lm", help="a language model's run folder, fused in by shallow fusion")
    sub.add_argument("--lm-weight", type=float, default=0.3, help="weight of the LM's scores (default 0.3)")
    sub.add_argument("--ctc-weight", type=weight, default=0.0,
                     help="weight in [0, 1] of the CTC head's prefix scores against the decoder's (default 0)")
    sub.add_argument("--beam-width", type=int, default=1, help="1 is greedy search (default 1)")
    sub.add_argument("--batch-size", type=int, default=16, help="utterances per batch (default 16)")
    sub.add_argument("--max-length", type=int, help="longest transcript in tokens (default: the run's)")
    sub.add_argument("-o", "--output", help="write the lines to this file instead of standard output")
    commands.add_parser("demo", help="prepare, train, evaluate: the whole job on a recipe") \
        .add_argument("recipe", nargs="?", default="recipes/demo.yaml", help="default: recipes/demo.yaml")
    return parser


def weight(text: str) -> float:
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must lie in [0, 1], got {text}")
    return value


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    # Imported here, so that `quorlin --help` answers at once.
    from quorlin.errors import QuorlinError
    from quorlin.recipe import load_recipe

    try:
        if args.command == "transcribe":
            from quorlin.cli.transcribe import transcribe
            transcribe(args.run, args.inputs, args.lm, args.lm_weight, args.beam_width, args.batch_size,
                       args.max_length, args.output, args.ctc_weight)
            return 0
        recipe = load_recipe(args.recipe)
        if args.command == "prepare":
            from quorlin.cli.prepare import prepare
            prepare(recipe)
        elif args.command in ("train-lm", "train-asr"):
            from quorlin.cli.training import train_asr, train_lm
            (train_lm if args.command == "train-lm" else train_asr)(recipe, args.resume)
        elif args.command == "evaluate":
            from quorlin.cli.evaluate import results_table, evaluate
            print("\n" + results_table(evaluate(recipe)))
        else:
            from quorlin.cli.demo import demo
            demo(recipe)
    except (QuorlinError, OSError) as error:
        print(f"quorlin: error: {error}", file=sys.stderr)
        return 1
    return 0

"""The quorlin command: prepare data, train the LM and the recogniser, evaluate, transcribe.

    quorlin demo                                  # the whole job on the embedded demo corpus
    quorlin prepare recipes/demo.yaml -j 2
    quorlin train-lm recipes/demo.yaml
    quorlin train-asr recipes/demo.yaml asr.epochs=10   # or: torchrun --nproc_per_node=4 -m quorlin train-asr ...
    quorlin evaluate recipes/demo.yaml
    quorlin recipe show recipes/demo.yaml         # every key, defaults filled in
    quorlin average expts/my-asr --last 3         # a run that kept its last epochs (training.keep_last)
    quorlin transcribe expts/demo-asr talk.flac recordings/ --format srt -o subtitles/
    quorlin export expts/demo-asr -o demo-export/ # for the C++ runtime, quorlin-transcribe

The command only parses and reports: the work is done by the library (``quorlin.pipeline``,
``quorlin.inference``). A user error ends in one line "quorlin: error: ..." per problem (a
recipe's are all listed at once) and exit status 1. Every command takes -q (results, warnings
and errors only) or -v (lists in full, tracebacks), and --progress (progress bars also when
standard error is no terminal).
A termination signal (``kill``) ends the command as an interrupt does: files being written
are left as they were, with no temporary file behind.
"""
import argparse
import contextlib
import importlib.metadata
import os
import signal
import sys
import threading
import traceback
from typing import Iterator, List, Optional

from quorlin import console
from quorlin.errors import QuorlinError
from quorlin.inference.formats import WRITERS

DEMO_RECIPE = "recipes/demo.yaml"
# Plots are written to files; no window is ever opened.
os.environ.setdefault("MPLBACKEND", "Agg")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="quorlin", description=__doc__.splitlines()[0])
    parser.add_argument("--version", action="version", version=f"quorlin {_version()}")
    common = argparse.ArgumentParser(add_help=False)
    how_much = common.add_mutually_exclusive_group()
    how_much.add_argument("-q", "--quiet", action="store_true", help="print results, warnings and errors only")
    how_much.add_argument("-v", "--verbose", action="store_true",
                          help="print lists in full, and the traceback of an error")
    common.add_argument("--progress", action="store_true",
                        help="draw progress bars also when standard error is no terminal")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    recipe_help = "the YAML recipe (see recipes/ and docs/recipe-reference.md)"
    overrides_help = "settings that replace the recipe's, such as asr.epochs=10 asr.optimizer.lr=1e-3"
    device_help = "cpu, cuda or cuda:N (default: cuda when available)"

    def command(name: str, help: str, recipe: bool = True) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, parents=[common])
        if recipe:
            sub.add_argument("recipe", help=recipe_help)
            sub.add_argument("overrides", nargs="*", metavar="KEY=VALUE", help=overrides_help)
        return sub

    sub = command("prepare", "audio and text into the datasets' layouts, and the tokenizer")
    sub.add_argument("-j", "--jobs", type=positive_int, help="processes computing filter banks (default: all cores)")
    for name, what in (("train-lm", "the language model, then evaluate it on the test texts"),
                       ("train-asr", "the recogniser (staged when the recipe lists stages)")):
        sub = command(name, f"train {what}")
        again = sub.add_mutually_exclusive_group()
        again.add_argument("--resume", action="store_true",
                           help="go on from the last checkpoint up to the recipe's epochs")
        again.add_argument("--overwrite", action="store_true",
                           help="empty a run folder that holds a trained model and train a new one")
        sub.add_argument("--device", help=device_help)
    sub = command("evaluate", "compare the recipe's search settings on dev, score the test sets")
    sub.add_argument("--device", help=device_help)
    sub = command("average", "average a run's last epoch checkpoints into the model it uses", recipe=False)
    sub.add_argument("run", help="the run folder (expts/<run name>)")
    sub.add_argument("--last", type=positive_int, required=True, help="how many of the last epochs")

    sub = command("transcribe", "transcribe audio files or folders with a trained run folder", recipe=False)
    sub.add_argument("run", help="the recogniser's run folder (expts/<run name>, or a copy of it)")
    sub.add_argument("inputs", nargs="+", help="audio files (.flac, .wav, .ogg) or folders of them")
    sub.add_argument("--lm", help="a language model's run folder, fused in by shallow fusion")
    sub.add_argument("--beam-width", type=beam_width, help="1 is greedy search, at most 256 (default: the setting "
                                                           "chosen on dev by `quorlin evaluate`, else 1)")
    sub.add_argument("--ctc-weight", type=weight, help="weight in [0, 1] of the CTC head's scores (default: the "
                                                      "setting chosen on dev, else 0)")
    sub.add_argument("--lm-weight", type=finite_weight, help="weight of the LM's scores (default: the setting "
                                                             "chosen on dev, else 0.3)")
    sub.add_argument("--batch-size", type=positive_int, default=16, help="segments per batch (default 16)")
    sub.add_argument("--max-length", type=positive_int,
                     help="longest transcript of one segment in tokens (default: as long as its audio allows)")
    sub.add_argument("--format", choices=[*WRITERS, "all"], default="tsv",
                     help=", ".join(f"{name}: {writer.what}" for name, writer in WRITERS.items())
                     + " (default tsv), or all of them (one file each per input, into -o FOLDER)")
    sub.add_argument("--vad", help="what finds the speech: silero (default: a small neural network that holds "
                                   "in noise) or energy (frame energies against the noise floor)")
    sub.add_argument("-o", "--output", help="a file, or a folder (existing, or ending in /) for one file per input")
    sub.add_argument("--device", help=device_help)

    sub = command("export", "compile a trained recogniser for the C++ runtime (quorlin-transcribe)", recipe=False)
    sub.add_argument("run", help="the recogniser's run folder (expts/<run name>, or a copy of it)")
    sub.add_argument("-o", "--output", required=True, help="the export folder to write")
    sub.add_argument("--lm", help="a language model's run folder, for shallow fusion")
    sub.add_argument("--overwrite", action="store_true", help="replace an export folder that holds files")

    sub = command("demo", "prepare, train, evaluate: the whole job on a recipe", recipe=False)
    sub.add_argument("arguments", nargs="*", metavar="[RECIPE] [KEY=VALUE ...]",
                     help=f"the recipe (default: {DEMO_RECIPE}), then {overrides_help}")
    sub.add_argument("--device", help=device_help)

    sub = commands.add_parser("recipe", help="what a recipe holds")
    actions = sub.add_subparsers(dest="action", required=True, metavar="ACTION")
    show = actions.add_parser("show", parents=[common], help="the recipe with every default filled in, the keys "
                                                              "it sets marked")
    show.add_argument("recipe", help=recipe_help)
    show.add_argument("overrides", nargs="*", metavar="KEY=VALUE", help=overrides_help)
    show.add_argument("--device", help="the device whose defaults to show: " + device_help)
    return parser


def _version() -> str:
    try:
        return importlib.metadata.version("quorlin")
    except importlib.metadata.PackageNotFoundError:  # run from a checkout that is not installed
        return "(not installed)"


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be an integer >= 1, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be an integer >= 1, got {text}")
    return value


def beam_width(text: str) -> int:
    from quorlin.recipe_schema import MAX_BEAM_WIDTH  # here, as in _run: the schema brings PyTorch

    value = positive_int(text)
    if value > MAX_BEAM_WIDTH:
        raise argparse.ArgumentTypeError(f"must be an integer in [1, {MAX_BEAM_WIDTH}], got {text}")
    return value


def weight(text: str) -> float:
    value = finite_weight(text)
    if value > 1.0:
        raise argparse.ArgumentTypeError(f"must lie in [0, 1], got {text}")
    return value


def finite_weight(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a number, got {text!r}") from None
    if not 0.0 <= value < float("inf"):  # NaN fails both comparisons
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, got {text}")
    return value


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    # Transcripts may go to standard output: the reports of that command go to standard error.
    console.configure(console.QUIET if args.quiet else console.VERBOSE if args.verbose else console.NORMAL,
                      True if args.progress else None, reports_to_stderr=args.command == "transcribe")
    try:
        with _terminated_as_interrupted():
            return _run(args)
    except QuorlinError as error:
        if console.verbose():
            traceback.print_exc()
        for line in error.lines:
            print(f"quorlin: error: {line}", file=sys.stderr)
    except OSError as error:
        if console.verbose():
            traceback.print_exc()
        where = f"{error.filename}: " if error.filename else ""
        print(f"quorlin: error: {where}{error.strerror or error}", file=sys.stderr)
    except KeyboardInterrupt:
        print("quorlin: interrupted", file=sys.stderr)
        return 130
    return 1


@contextlib.contextmanager
def _terminated_as_interrupted() -> Iterator[None]:
    """Within the block SIGTERM raises ``KeyboardInterrupt`` in this process, so that a write
    in progress is undone; processes forked from it (data loaders, preparation workers) end at
    once, as they did.

    Python raises the interrupt wherever the main thread happens to be. Some of those places
    lose it: a finaliser or weakref callback, whose exceptions Python drops, or a library that
    turns whatever its import raised into an error of its own. So until the block is left,
    the signal comes again every second."""
    main_process = os.getpid()
    again: Optional[threading.Timer] = None

    def interrupt(signum, frame):
        nonlocal again
        if os.getpid() != main_process:
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)
        again = threading.Timer(1.0, os.kill, (main_process, signal.SIGTERM))
        again.daemon = True
        again.start()
        raise KeyboardInterrupt

    if threading.current_thread() is not threading.main_thread():
        yield  # only the main thread may set a signal handler
        return
    previous = signal.signal(signal.SIGTERM, interrupt)
    try:
        yield
    finally:
        if again is not None:
            again.cancel()
        signal.signal(signal.SIGTERM, previous)


def _run(args) -> int:
    # Each command imports the library it runs (PyTorch with it) when it runs, so that
    # `quorlin --help` and argument errors answer at once.
    if args.command == "transcribe":
        from quorlin.cli.transcribe import transcribe
        return transcribe(args)
    if args.command == "export":
        from quorlin.inference.exporting import export
        summary = export(args.run, args.output, args.lm, args.overwrite)
        print(f"exported {args.run} to {summary.folder} ({', '.join(summary.parts)}) in {summary.seconds:.0f} s; "
              f"the parts match the model within {summary.largest_difference:.1e}")
        return 0
    if args.command == "average":
        from quorlin.pipeline.averaging import average_run
        average_run(args.run, args.last)
        return 0
    from quorlin.recipe import load_recipe
    from quorlin.recipe_schema import COMMAND_KEYS
    if args.command == "recipe":
        from quorlin.recipe_text import show_recipe
        sys.stdout.write(show_recipe(args.recipe, args.overrides, args.device))
        return 0
    if args.command == "demo":
        # The recipe is the first argument, unless that is already an override.
        given = args.arguments
        path, overrides = (given[0], given[1:]) if given and not _is_override(given[0]) else (DEMO_RECIPE, given)
        recipe = load_recipe(path, overrides, device=args.device)
    else:
        recipe = load_recipe(args.recipe, args.overrides, COMMAND_KEYS[args.command], getattr(args, "device", None))
    with console.reports():
        if args.command == "prepare":
            from quorlin.pipeline.prepare import prepare
            prepare(recipe, args.jobs)
        elif args.command in ("train-lm", "train-asr"):
            from quorlin.pipeline.training import train_asr, train_lm
            train = train_lm if args.command == "train-lm" else train_asr
            train(recipe, resume=args.resume, overwrite=args.overwrite, device=args.device)
        elif args.command == "evaluate":
            from quorlin.pipeline.evaluation import evaluate, results_table
            result = "\n" + results_table(evaluate(recipe, args.device))
        else:
            from quorlin.pipeline.demo import demo
            result = demo(recipe, args.device)
    if args.command in ("evaluate", "demo"):
        print(result)
    return 0


def _is_override(argument: str) -> bool:
    key, equals, _ = argument.partition("=")
    return bool(equals) and "/" not in key and not os.path.exists(argument)

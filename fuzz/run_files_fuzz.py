"""Fuzzes the readers of what users get from others: a run folder's tokenizer.json,
recognizer.json and config.yaml (a recogniser's and a language model's), and manifests.

    nice -n 19 $QUORLIN_VENV/bin/python fuzz/run_files_fuzz.py --seconds 600 [--seed 0]
    $QUORLIN_VENV/bin/python fuzz/run_files_fuzz.py --replay build/fuzz/run-files/findings/*.input

This process makes a tiny recogniser and language model (untrained weights), a manifest and
its audio under build/fuzz/run-files/, runs the readers once on the valid files, then forks one
child per input.
The child puts a mutated file in place of the valid one (random byte edits, tokens of the
format's syntax, or a value of the parsed file replaced by a hostile one) and runs what the
command line runs on it: ``Recognizer.from_run_folder`` and a transcription of a short clip
with the folder's search, or ``manifest_utterances`` and the text normaliser. An input passes
when that ends in a result or in one of quorlin's errors (or an ``OSError``), which the command
line reports as one line. Anything else is a finding: another exception, a crash, more than
10 s, or more than 1 GiB of memory beyond what the process already holds. Findings go to
build/fuzz/run-files/findings/ (the input and its traceback), one per kind.
"""
import os

os.environ.setdefault("OMP_NUM_THREADS", "1")  # forked children must not inherit a thread pool

import argparse  # noqa: E402
import hashlib  # noqa: E402
import json  # noqa: E402
import random  # noqa: E402
import resource  # noqa: E402
import shutil  # noqa: E402
import signal  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import traceback  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Optional  # noqa: E402

import numpy as np  # noqa: E402
import soundfile  # noqa: E402
import torch  # noqa: E402
import yaml  # noqa: E402

from quorlin.data.tokenizer import VaskTokenizer  # noqa: E402
from quorlin.errors import QuorlinError  # noqa: E402
from quorlin.inference import Recognizer  # noqa: E402
from quorlin.layout import CHECKPOINTS_FOLDER, BEST_CHECKPOINT  # noqa: E402
from quorlin.prep.sources import manifest_utterances  # noqa: E402
from quorlin.prep.text import TextNormalizer  # noqa: E402
from quorlin.run_folder import build_model  # noqa: E402

OUT = Path(__file__).resolve().parents[1] / "build" / "fuzz" / "run-files"
SECONDS_PER_INPUT = 10
MEMORY_BEYOND = 1 << 30
TEXTS = ["AND GOD SAID LET THERE BE LIGHT", "IN THE BEGINNING", "AND THERE WAS LIGHT"]
OPTIMIZER = {"name": "adamw", "lr": 0.01, "weight_decay": 0.0,
             "adamw": {"betas": [0.9, 0.98], "eps": 1e-8, "amsgrad": False}}
COMMON = {"optimizer": OPTIMIZER, "scheduler": {"name": "cosine", "cosine": {"T_max": 2, "eta_min": 1e-4}},
          "training": {"gradient_accumulation_steps": 1, "autocast_dtype": "float32"}}
ASR = {"run_name": "asr", "epochs": 1, **COMMON,
       "model": {"input_dim": 20, "time_reduction": 4, "reduction_method": "conv", "encoder_type": "conformer",
                 "conv_kernel_size": 3, "num_encoder_layers": 1, "num_decoder_layers": 1, "d_model": 16,
                 "num_heads": 2, "d_ff": 32, "dropout": 0.0, "max_len": 120},
       "data": {"root": "data/asr", "num_feats": 20, "norm": "global_mvn", "batch_size": 4, "specaug": False,
                "specaug_conf": {"apply_freq_mask": False, "freq_mask_width_range": 2, "num_freq_mask": 1,
                                 "apply_time_mask": False, "time_mask_width_range": 4, "num_time_mask": 1}},
       "loss": {"label_smoothing": 0.1, "ctc_weight": 0.3}}
LM = {"run_name": "lm", "epochs": 1, **COMMON, "data": {"root": "data/lm", "batch_size": 8},
      "model": {"num_layers": 1, "d_model": 16, "num_heads": 2, "d_ff": 32, "dropout": 0.0, "max_len": 40}}
SETTINGS = {"norm": "global_mvn", "max_length": 30, "global_mean": [0.0] * 20, "global_std": [1.0] * 20,
            "search": {"beam_width": 3, "ctc_weight": 0.3, "lm_weight": 0.2, "chosen_on": "dev-clean"}}

# Pieces of JSON and YAML syntax, and values that hurt, spliced into the text.
TOKENS = ["[", "]", "{", "}", '"', "'", ":", ",", "-", " ", "\n", "\t", "\r", "\0", "\\", "&a ", "*a", "<<: ",
          "!!python/object/apply:os.system ", "!!binary ", "? ", "|", ">", "#", "---", "...", "NaN", "Infinity",
          "-Infinity", "nan", ".inf", "1e999", "1.0e+999", "-1", "0", "1e-320", "9" * 5000, "true", "null", "~",
          "2001-02-30", "0x1F", "0o17", "\u2028", "\ufeff", "\ud800", "[" * 200, "{" * 200, "é", "😀"]
HOSTILE = [0, -1, 1, 2 ** 31, 2 ** 63, 10 ** 9, 10 ** 30, -10 ** 9, 0.0, 1e-300, 1e300, float("nan"), float("inf"),
           -float("inf"), "", "0.3", "x" * 10000, "\t", "a/b", "..", "\0", "global_mvn", "none", "bpe", "char",
           True, False, None, [], {}, [[[[[[[[1]]]]]]]], [0.0] * 19, [1e-12] * 20, list(range(1000)),
           {"beam_width": 10 ** 9}, {"<<": 1}]


def make_base(root: Path) -> dict:
    """The valid files, and the folders and clip the readers are run on; returns their paths."""
    if root.exists():
        shutil.rmtree(root)
    texts = TEXTS * 4
    paths = {}
    for kind, section in (("asr", ASR), ("lm", LM)):
        for name, tokenizer in (("char", VaskTokenizer.from_texts(texts)),
                                ("bpe", VaskTokenizer.from_texts(texts, kind="bpe", vocab_size=30))):
            folder = root / f"{kind}-{name}"
            (folder / CHECKPOINTS_FOLDER).mkdir(parents=True)
            tokenizer.save(folder / "tokenizer.json")
            (folder / "config.yaml").write_text(yaml.safe_dump(section, sort_keys=False))
            torch.manual_seed(0)
            model = build_model(kind, section, tokenizer)
            torch.save({"model_state_dict": model.state_dict()}, folder / CHECKPOINTS_FOLDER / BEST_CHECKPOINT)
            if kind == "asr":
                (folder / "recognizer.json").write_text(json.dumps(SETTINGS, indent=1))
            paths[f"{kind}-{name}"] = folder
    audio = root / "audio"
    audio.mkdir()
    rng = np.random.default_rng(0)
    lines = []
    for i, text in enumerate(TEXTS):
        soundfile.write(audio / f"clip-{i}.wav", (0.1 * rng.standard_normal(8000)).astype(np.float32), 16000)
        lines.append(f"audio/clip-{i}.wav\t{text}\n")
    (root / "manifest.tsv").write_text("".join(lines))
    paths["manifest"] = root / "manifest.tsv"
    return paths


# What is fuzzed: (the file mutated, the folder it lies in, the valid file's format).
TARGETS = [("tokenizer.json", "asr-char", "json"), ("tokenizer.json", "asr-bpe", "json"),
           ("recognizer.json", "asr-char", "json"), ("config.yaml", "asr-char", "yaml"),
           ("config.yaml", "lm-char", "yaml"), ("manifest.tsv", None, "text")]


def mutate(data: bytes, form: str, rng: random.Random) -> bytes:
    """One to four mutations of ``data``: byte edits, spliced tokens, or (for JSON and YAML
    that parse) a value replaced, a key dropped or added."""
    for _ in range(rng.randint(1, 4)):
        choice = rng.random()
        if form in ("json", "yaml") and choice < 0.4:
            data = _mutate_value(data, form, rng)
        elif choice < 0.7:
            at = rng.randrange(len(data) + 1)
            data = data[:at] + rng.choice(TOKENS).encode("utf-8", "surrogatepass") * rng.choice([1, 1, 2, 50]) + \
                data[at:]
        elif choice < 0.8 and form == "yaml":
            data = _alias_bomb(rng).encode() + data
        elif data:
            at, length = rng.randrange(len(data)), rng.choice([1, 1, 2, 8, 64])
            edit = rng.randrange(3)
            if edit == 0:
                data = data[:at] + bytes(rng.randrange(256) for _ in range(length)) + data[at + length:]
            elif edit == 1:
                data = data[:at] + data[at + length:]
            else:
                data = data[:at] + data[at:at + length] * rng.randint(2, 1000) + data[at + length:]
    return data


def _mutate_value(data: bytes, form: str, rng: random.Random) -> bytes:
    try:
        value = json.loads(data) if form == "json" else yaml.safe_load(data)
    except (ValueError, yaml.YAMLError, RecursionError):
        return data
    containers, pending = [], [value]
    while pending and len(containers) < 1000:  # shared parts (YAML aliases) would be walked again and again
        node = pending.pop()
        if isinstance(node, (dict, list)):
            containers.append(node)
            pending.extend(node.values() if isinstance(node, dict) else node)
    if not containers:
        return data
    node = rng.choice(containers)
    keys = list(node) if isinstance(node, dict) else list(range(len(node)))
    action = rng.random()
    if isinstance(node, dict) and (action < 0.15 or not keys):
        node[rng.choice(["extra", "search", "norm", "data", "model", "kind", "symbols", "train_durations"])] = \
            rng.choice(HOSTILE)
    elif isinstance(node, dict) and action < 0.3:
        del node[rng.choice(keys)]
    elif keys:
        node[rng.choice(keys)] = rng.choice(HOSTILE + [rng.choice(containers)])
    try:
        text = json.dumps(value) if form == "json" else yaml.safe_dump(value, allow_unicode=True)
    except (ValueError, RecursionError, yaml.YAMLError):  # a container put inside itself
        return data
    return text.encode("utf-8", "surrogatepass")


def _alias_bomb(rng: random.Random) -> str:
    levels = rng.randint(3, 12)
    items = ["b0: &b0 [lol, lol, lol, lol, lol, lol, lol, lol, lol]"]
    items += [f"b{k}: &b{k} [{', '.join([f'*b{k - 1}'] * 9)}]" for k in range(1, levels)]
    return "\n".join(items) + "\n"


def run_one(paths: dict, target, data: bytes, work: Path) -> None:
    """In the child: the mutated file in place, then what the command line would run."""
    name, folder_key, _ = target
    if folder_key is None:
        shutil.copytree(paths["manifest"].parent / "audio", work / "audio")
        (work / name).write_bytes(data)
        normalizer = TextNormalizer()
        for utterance in manifest_utterances(str(work / name)):
            normalizer(utterance.text, where=utterance.utt_id)
        return
    # A recogniser and a language model of one tokenizer, the valid files linked, the mutated one written.
    kind, flavour = folder_key.split("-")
    folders = {"asr": work / "asr", "lm": work / "lm"}
    for each, folder in folders.items():
        base = paths[f"{each}-{flavour}"]
        (folder / CHECKPOINTS_FOLDER).mkdir(parents=True)
        for path in base.rglob("*"):
            if path.is_file() and not (each == kind and path.name == name):
                os.symlink(path, folder / path.relative_to(base))
    (folders[kind] / name).write_bytes(data)
    recognizer = Recognizer.from_run_folder(folders["asr"], "cpu", folders["lm"])
    clip = (np.random.default_rng(1).standard_normal(8000).astype(np.float32) * 0.1, 16000)
    recognizer.transcribe([clip], ids=["clip"])


def child(paths: dict, target, data: bytes, work: Path, report: Path) -> None:
    """Runs one input and exits: 0 when it passed, 3 with the traceback in ``report`` when not."""
    quiet = os.open(os.devnull, os.O_WRONLY)
    os.dup2(quiet, 1)
    os.dup2(quiet, 2)
    limit = _virtual_size() + MEMORY_BEYOND
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    signal.setitimer(signal.ITIMER_REAL, SECONDS_PER_INPUT)  # SIGALRM ends the process
    status = 0
    try:
        run_one(paths, target, data, work)
    except (QuorlinError, OSError):
        pass
    except BaseException as error:
        where = traceback.extract_tb(error.__traceback__)[-1]
        report.write_text(f"{type(error).__name__} at {where.filename}:{where.lineno}\n\n{traceback.format_exc()}")
        status = 3
    os._exit(status)


def _virtual_size() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))


def run_child(paths: dict, target, data: bytes) -> Optional[str]:
    """Runs one input in a forked child: None when it passed, else what kind of finding it gave
    (the exception and where it was raised, a timeout, or the signal that ended the child)."""
    work, report = OUT / "work", OUT / "report.txt"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    report.unlink(missing_ok=True)
    pid = os.fork()
    if pid == 0:
        os.chdir(work)
        child(paths, target, data, work, report)
    _, status = os.waitpid(pid, 0)
    if os.WIFSIGNALED(status):
        number = os.WTERMSIG(status)
        return "timeout" if number == signal.SIGALRM else f"killed by {signal.Signals(number).name}"
    if os.WEXITSTATUS(status) == 0:
        return None
    return report.read_text().splitlines()[0] if report.exists() else f"exit status {os.WEXITSTATUS(status)}"


def _name(target) -> str:
    return f"{target[1] or 'manifest'}-{target[0]}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--replay", nargs="+", metavar="INPUT", help="run these findings again, nothing else")
    args = parser.parse_args()
    torch.set_num_threads(1)
    paths = make_base(OUT / "base")
    valid = {target: (paths["manifest"] if target[1] is None else paths[target[1]] / target[0]).read_bytes()
             for target in TARGETS}
    # Each valid file runs here first: it must pass, and what runs the first time (lazy imports,
    # first allocations) is then done once, not in every child.
    for target in TARGETS:
        shutil.rmtree(OUT / "work", ignore_errors=True)
        (OUT / "work").mkdir(parents=True)
        run_one(paths, target, valid[target], OUT / "work")
    if args.replay:
        failed = 0
        for path in map(Path, args.replay):
            target = next(t for t in TARGETS if path.name.startswith(_name(t) + "-"))
            kind = run_child(paths, target, path.read_bytes())
            failed += kind is not None
            print(f"{path.name}: {kind or 'passes'}")
        return 1 if failed else 0
    findings = OUT / "findings"
    findings.mkdir(parents=True, exist_ok=True)
    rng = random.Random(args.seed)
    kinds, tried = {}, 0
    start = time.monotonic()
    while time.monotonic() - start < args.seconds:
        target = rng.choice(TARGETS)
        data = mutate(valid[target], target[2], rng)
        kind = run_child(paths, target, data)
        tried += 1
        if kind is None:
            continue
        kinds[kind] = kinds.get(kind, 0) + 1
        if kinds[kind] == 1:
            stem = f"{_name(target)}-{hashlib.sha1(data).hexdigest()[:12]}"
            (findings / f"{stem}.input").write_bytes(data)
            report = OUT / "report.txt"
            (findings / f"{stem}.txt").write_text(report.read_text() if report.exists() else kind)
            print(f"finding: {kind} ({stem})", flush=True)
    shutil.rmtree(OUT / "work", ignore_errors=True)
    found = sum(kinds.values())
    print(f"{tried} inputs in {time.monotonic() - start:.0f} s: {tried - found} passed, {found} findings of "
          f"{len(kinds)} kinds")
    for kind, count in sorted(kinds.items(), key=lambda item: -item[1]):
        print(f"  {count:6d}  {kind}")
    return 1 if kinds else 0


if __name__ == "__main__":
    sys.exit(main())

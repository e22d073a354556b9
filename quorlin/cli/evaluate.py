"""`quorlin evaluate`: the recogniser of a recipe on its test partition, by greedy, beam 10
and beam 20 search, without and with the language model fused in; error rates against the
references, a results table (printed, and "results.md" beside "training_curves.png" in the
recogniser's run folder) and one "<id><TAB><text>" file per setting in "transcripts/"."""
import os
import time
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional

import matplotlib.pyplot as plt
import torch

from quorlin._files import replacing
from quorlin.recipe import RecipeError, run_folder
from quorlin.run_folder import load_language_model, load_recognizer
from quorlin.cli.training import make_loader
from quorlin.cli.transcribe import default_device, feature_dataset, recognition_config, transcribe_loader, tsv_lines
from quorlin.decoding.recognition import asr_metrics
from quorlin.layout import (BEST_CHECKPOINT, CURVES_FILE, LAST_CHECKPOINT, REFERENCES_FILE as REFERENCES, RESULTS_FILE,
                            TEST_PARTITION, TRANSCRIPTS_FOLDER)

SEARCHES = {"greedy": 1, "beam_10": 10, "beam_20": 20}


class Result(NamedTuple):
    setting: str
    beam_width: int
    lm_weight: Optional[float]
    ctc_weight: float
    cer: float
    wer: float
    seconds: float


def read_references(root: str) -> Dict[str, str]:
    path = os.path.join(root, TEST_PARTITION, REFERENCES)
    if not os.path.exists(path):
        raise RecipeError(f"{path} does not exist: run `quorlin prepare` with this recipe first")
    with open(path, encoding="utf-8") as f:
        return dict(line.rstrip("\n").split("\t", 1) for line in f if line.strip())


def evaluate(recipe: Dict[str, Any]) -> List[Result]:
    settings = recipe.get("evaluate", {})
    ctc_weight = float(settings.get("ctc_weight", 0.0))
    if not 0.0 <= ctc_weight <= 1.0:
        raise RecipeError(f"evaluate.ctc_weight must lie in [0, 1], got {ctc_weight:g}")
    device = default_device()
    asr_folder, lm_folder = run_folder(recipe["asr"]), run_folder(recipe["lm"])
    recognizer = load_recognizer(asr_folder, device)
    lm_model, lm_weight = None, float(settings.get("lm_weight", 0.3))
    if (lm_folder / "checkpoints" / BEST_CHECKPOINT).exists():
        lm_model = load_language_model(lm_folder, recognizer, device)
    else:
        print(f"No trained language model in {lm_folder}: evaluating without fusion")
    root = recipe["asr"]["data"]["root"]
    references = read_references(root)
    dataset = feature_dataset(recognizer, root)
    ids = [os.path.basename(path)[:-len(".npy")] for path in dataset.fbank_files]
    missing = [i for i in ids if i not in references]
    if missing:
        raise RecipeError(f"{len(missing)} test utterance(s) have no line in {REFERENCES}, first {missing[0]!r}")
    loader = make_loader(dataset, {"batch_size": settings.get("batch_size", 16)}, False)
    max_length = settings.get("max_length", recognizer.max_length)

    results = []
    for lm in ([None, lm_model] if lm_model is not None else [None]):
        for name, width in SEARCHES.items():
            setting = name if lm is None else f"{name}_lm"
            start = time.perf_counter()
            texts = transcribe_loader(recognizer, loader, recognition_config(width, lm, lm_weight, ctc_weight), max_length,
                                      device, f"[Evaluating] {setting}")
            seconds = time.perf_counter() - start
            _write_transcripts(asr_folder, setting, ids, texts)
            metrics = asr_metrics([references[i] for i in ids], texts)
            results.append(Result(setting, width, None if lm is None else lm_weight, ctc_weight, metrics["cer"],
                                  metrics["wer"], seconds))
            print(f"{setting}: CER {metrics['cer']:.2f} %, WER {metrics['wer']:.2f} % ({seconds:.1f} s)")
    save_training_curves(asr_folder / CURVES_FILE, asr_folder, lm_folder)
    write_results(asr_folder, results)
    return results


def results_table(results: List[Result]) -> str:
    """The results as a Markdown table, aligned for the terminal too."""
    rows = [("Setting", "Beam", "LM weight", "CTC weight", "CER (%)", "WER (%)", "Time (s)")]
    rows += [(r.setting, str(r.beam_width), "-" if r.lm_weight is None else f"{r.lm_weight:g}", f"{r.ctc_weight:g}",
              f"{r.cer:.2f}", f"{r.wer:.2f}", f"{r.seconds:.1f}") for r in results]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)) + " |" for row in rows]
    lines.insert(1, "| " + " | ".join("-" * w for w in widths) + " |")
    return "\n".join(lines) + "\n"


def write_results(folder: Path, results: List[Result], extra: str = "") -> Path:
    """Writes "results.md" (the table, then ``extra`` Markdown) into ``folder``."""
    path = folder / RESULTS_FILE
    text = f"# Test results of {folder.name}\n\n{results_table(results)}\n{extra}"
    with replacing(path) as f:
        f.write(text.encode("utf-8"))
    return path


def _write_transcripts(folder: Path, setting: str, ids: List[str], texts: List[str]) -> None:
    (folder / TRANSCRIPTS_FOLDER).mkdir(exist_ok=True)
    with replacing(folder / TRANSCRIPTS_FOLDER / f"{setting}.tsv") as f:
        f.write(tsv_lines(ids, texts).encode("utf-8"))


def _history(folder: Path) -> List[Dict[str, Any]]:
    path = folder / "checkpoints" / LAST_CHECKPOINT
    if not path.exists():
        return []
    history = torch.load(path, map_location="cpu", weights_only=True)["training_history"]
    return [entry for entry in history if "train" in entry]


def save_training_curves(path: Path, asr_folder: Path, lm_folder: Path) -> None:
    """The recogniser's losses and dev error rates, and the LM's losses, per epoch."""
    asr, lm = _history(asr_folder), _history(lm_folder)
    panels = [("Recogniser: training loss", asr, [("train", "joint_loss"), ("train", "ce_loss"), ("train", "ctc_loss")]),
              ("Recogniser: dev error rate (%)", asr, [("val", "cer"), ("val", "wer")]),
              ("LM: cross-entropy per character", lm, [("train", "ce_loss_char"), ("val", "ce_loss_char")])]
    figure, axes = plt.subplots(1, len(panels), figsize=(15, 4))
    try:
        for ax, (title, history, curves) in zip(axes, panels):
            for split, metric in curves:
                points = [(e["epoch"], e[split][metric]) for e in history if metric in e.get(split, {})]
                if points:
                    ax.plot(*zip(*points), marker="o", label=f"{split} {metric}")
            ax.set_title(title)
            ax.set_xlabel("Epoch")
            ax.grid(True, alpha=0.3)
            if ax.lines:
                ax.legend()
        figure.tight_layout()
        with replacing(path) as f:
            figure.savefig(f, format="png")
    finally:
        plt.close(figure)

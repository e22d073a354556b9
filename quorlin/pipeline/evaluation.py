"""Evaluating a recipe's recogniser honestly: search settings are compared on the first dev set,
the one with the lowest dev CER is chosen, and every other dev and test set is scored with it.

    from quorlin.recipe import load_recipe
    from quorlin.pipeline.evaluation import evaluate, results_table
    print(results_table(evaluate(load_recipe("recipes/demo.yaml"))))

The settings are the grid of the recipe's ``evaluate`` lists (``beam_width``, ``ctc_weight``,
``lm_weight``; an LM weight of 0 is no fusion). For every scored set and setting the
recogniser's run folder gets the transcripts ("<id><TAB><text>" lines) and the per-utterance
error listing (alignments, worst first) in its transcripts and errors folders, and its results
file the table; the chosen setting is kept in its settings for ``quorlin transcribe``.

The run folder is read under its shared lock, and written, at the end, under its exclusive
lock and only when the model scored is still the one in it: no training or averaging
replaces the model meanwhile, and no result is written beside another model.
"""
import itertools
import logging
import os
import time
import warnings
from pathlib import Path
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

import matplotlib.pyplot as plt
import numpy as np

from quorlin.errors import QuorlinWarning
from quorlin._files import replacing, write_text
from quorlin.data import FeatureReader
from quorlin.data.corpus import NUM_THREADS, list_npy_files, read_features
from quorlin.decoding.metrics import asr_metrics
from quorlin.error_report import format_error_report, utterance_errors
from quorlin.inference.formats import format_tsv
from quorlin.decoding.recognition import Search
from quorlin.inference.recognizer import Recognizer
from quorlin.inference.results import Transcript
from quorlin.layout import (BEST_CHECKPOINT, CHECKPOINTS_FOLDER, CURVES_FILE, ERRORS_FOLDER, FEATURES_FOLDER,
                            LAST_CHECKPOINT, REFERENCES_FILE, RESULTS_FILE, TRANSCRIPTS_FOLDER)
from quorlin.pipeline.averaging import average_run
from quorlin.recipe import RecipeError, evaluation_sets, run_folder
from quorlin.run_folder import (CheckpointError, RunFolder, RunFolderError, checkpoint_identity, file_sha256,
                                read_recognizer_settings, reading_run_folder, save_evaluation, writing_run_folder)

log = logging.getLogger(__name__)


class Result(NamedTuple):
    """One set scored with one search setting."""
    set: str
    setting: str
    search: Search
    cer: float
    wer: float
    seconds: float
    chosen: bool


def setting_name(search: Search) -> str:
    """"greedy" or "beam_<W>", then "_ctc<w>" and "_lm<w>" for nonzero weights: "beam_10_ctc0.3"."""
    name = "greedy" if search.beam_width == 1 else f"beam_{search.beam_width}"
    if search.ctc_weight > 0:
        name += f"_ctc{search.ctc_weight:g}"
    if search.lm_weight > 0:
        name += f"_lm{search.lm_weight:g}"
    return name


def search_grid(settings: Dict[str, Any]) -> List[Search]:
    """Every combination of the resolved ``evaluate`` section's lists (a single value is a list
    of one): by default joint CTC/attention searches, or, for a recogniser trained without a CTC
    head, greedy against beam search (``recipe_schema.EVALUATE``)."""
    values = [settings[key] for key in Search._fields]
    values = [v if isinstance(v, list) else [v] for v in values]
    return list(dict.fromkeys(Search(int(b), float(c), float(l)) for b, c, l in itertools.product(*values)))


def evaluate(recipe: Dict[str, Any], device: Optional[str] = None) -> List[Result]:
    """Scores the recipe's recogniser: the search grid on the first dev set, then the setting
    chosen there (lowest CER) on every other dev and test set. Writes the transcripts, error
    listings, the results table and the training curves into the recogniser's run folder.

    Returns:
        the dev rows of every setting, then one row per other set, in the recipe's order.
    """
    settings = recipe["evaluate"]
    asr_folder, lm_folder = run_folder(recipe["asr"]), run_folder(recipe["lm"])
    checkpoint = BEST_CHECKPOINT
    if settings.get("average_last"):
        checkpoint = average_run(asr_folder, settings["average_last"]).name
    grid = search_grid(settings)
    lm = None
    if any(search.lm_weight > 0 for search in grid):
        if RunFolder(lm_folder).has_checkpoint(BEST_CHECKPOINT):
            lm = lm_folder
        else:
            warnings.warn(f"no trained language model in {lm_folder}: evaluating without fusion", QuorlinWarning)
            grid = list(dict.fromkeys(search._replace(lm_weight=0.0) for search in grid))
    root = recipe["asr"]["data"]["root"]
    batch_size, max_length = settings["batch_size"], settings.get("max_length")
    sets = [name for split in ("dev", "test") for name, _ in evaluation_sets(recipe, split)]
    scored = []  # (set, setting, ids, references, texts, metrics), written once all is done

    with reading_run_folder(asr_folder):
        model = checkpoint_identity(asr_folder, "asr", checkpoint)
        recognizer = Recognizer.from_run_folder(asr_folder, device, lm, checkpoint)
        grid = [recognizer.search(*search) for search in grid]  # a setting the model cannot take stops here
        weights = {"checkpoint": checkpoint, "checkpoint_sha256": file_sha256(recognizer.checkpoint)}

        def score(name: str, ids, references, features, search: Search, chosen: bool) -> Result:
            start = time.perf_counter()
            texts = recognizer.transcribe_features(features, search, batch_size, max_length)
            seconds = time.perf_counter() - start
            metrics = asr_metrics(references, texts)
            scored.append((name, setting_name(search), ids, references, texts, metrics))
            log.info(f"{name} {setting_name(search)}: CER {metrics['cer']:.2f} %, WER {metrics['wer']:.2f} % "
                     f"({seconds:.1f} s)")
            return Result(name, setting_name(search), search, metrics["cer"], metrics["wer"], seconds, chosen)

        dev = read_prepared_set(root, sets[0], recognizer.num_feats)
        if not settings.get("average_last"):
            last = _better_last_epoch(recognizer, asr_folder, device, lm, grid[0], sets[0], dev, batch_size,
                                      max_length)
            if last is not None:
                checkpoint, recognizer = LAST_CHECKPOINT, last
                model = checkpoint_identity(asr_folder, "asr", checkpoint)
                weights = {"checkpoint": checkpoint, "checkpoint_sha256": file_sha256(recognizer.checkpoint)}
        dev_results = [score(sets[0], *dev, search, False) for search in grid]
        best = min(range(len(grid)), key=lambda i: dev_results[i].cer)
        dev_results[best] = dev_results[best]._replace(chosen=True)
        chosen = grid[best]
        results = dev_results + [score(name, *read_prepared_set(root, name, recognizer.num_feats), chosen, True)
                                 for name in sets[1:]]
        search = {**chosen._asdict(), "chosen_on": sets[0], **weights}
        if not any(s.lm_weight > 0 for s in grid):
            del search["lm_weight"]  # no language model was compared: transcription's default stands
        with writing_run_folder(asr_folder):
            if checkpoint_identity(asr_folder, "asr", checkpoint) != model:
                raise RunFolderError(f"the model in {asr_folder} was replaced while it was evaluated; no result "
                                     "was written")
            for set_files in scored:
                _write_set_files(asr_folder, *set_files)
            save_training_curves(asr_folder / CURVES_FILE, asr_folder, lm_folder)
            save_evaluation(asr_folder, search, _results_text(asr_folder, results, search))
    return results


def _better_last_epoch(best: Recognizer, folder: Path, device, lm, search: Search, name: str, dev,
                       batch_size: int, max_length) -> Optional[Recognizer]:
    """The recogniser of the last epoch when it scores a lower CER on the dev set with ``search``
    than ``best``, the best epoch by the trainer's own measure; else None. The two are often
    close, and the trainer measures with greedy search."""
    path = RunFolder(folder).path(CHECKPOINTS_FOLDER, LAST_CHECKPOINT)
    if not path.is_file() or file_sha256(path) == file_sha256(best.checkpoint):
        return None
    last = Recognizer.from_run_folder(folder, device, lm, LAST_CHECKPOINT)
    _, references, features = dev
    cers = [asr_metrics(references, r.transcribe_features(features, search, batch_size, max_length))["cer"]
            for r in (best, last)]
    chosen = LAST_CHECKPOINT if cers[1] < cers[0] else BEST_CHECKPOINT
    log.info(f"{name} {setting_name(search)}: CER {cers[0]:.2f} % with {BEST_CHECKPOINT}, {cers[1]:.2f} % with "
             f"{LAST_CHECKPOINT}; scoring with {chosen}")
    return last if cers[1] < cers[0] else None


def read_prepared_set(root: str, name: str, num_feats: int) -> Tuple[List[str], List[str], List[np.ndarray]]:
    """The ids, references and filter banks of a prepared dev or test set, in id order."""
    folder = Path(root) / name
    references_path = folder / REFERENCES_FILE
    if not references_path.exists():
        raise RecipeError(f"{references_path} does not exist: run `quorlin prepare` with this recipe first")
    with open(references_path, encoding="utf-8") as f:
        references = dict(line.rstrip("\n").split("\t", 1) for line in f if line.strip())
    paths = list_npy_files(str(folder / FEATURES_FOLDER))
    ids = [os.path.basename(path)[:-len(".npy")] for path in paths]
    missing = [i for i in ids if i not in references]
    if missing:
        raise RecipeError(f"{len(missing)} utterance(s) of {folder} have no line in {REFERENCES_FILE}, "
                          f"first {missing[0]!r}")
    features = read_features(FeatureReader(num_feats, False, NUM_THREADS), paths)
    return ids, [references[i] for i in ids], list(features)


def _write_set_files(folder: Path, name: str, setting: str, ids: Sequence[str], references: Sequence[str],
                     texts: Sequence[str], metrics: Dict[str, float]) -> None:
    run = RunFolder(folder)
    for sub in (TRANSCRIPTS_FOLDER, ERRORS_FOLDER):
        run.path(sub, name).mkdir(parents=True, exist_ok=True)
    write_text(run.writable(TRANSCRIPTS_FOLDER, name, f"{setting}.tsv"),
               format_tsv([Transcript(i, t, 0.0) for i, t in zip(ids, texts)]))
    write_text(run.writable(ERRORS_FOLDER, name, f"{setting}.txt"),
               format_error_report(utterance_errors(ids, references, texts), f"{name}, {setting}", metrics))


def results_table(results: List[Result]) -> str:
    """The results as a Markdown table, aligned for the terminal too, with a note on the
    setting chosen on the dev set."""
    rows = [("Set", "Setting", "Beam", "CTC weight", "LM weight", "CER (%)", "WER (%)", "Time (s)", "Chosen")]
    rows += [(r.set, r.setting, str(r.search.beam_width), f"{r.search.ctc_weight:g}", f"{r.search.lm_weight:g}",
              f"{r.cer:.2f}", f"{r.wer:.2f}", f"{r.seconds:.1f}", "*" if r.chosen else "") for r in results]
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)) + " |" for row in rows]
    lines.insert(1, "| " + " | ".join("-" * w for w in widths) + " |")
    dev = results[0].set
    return "\n".join(lines) + f"\n\n* chosen on {dev} (lowest CER); every other set is scored with it.\n"


def write_results(folder: Path, results: List[Result], extra: str = "") -> Path:
    """Writes the results file (the table, which weights were scored, then ``extra`` Markdown)
    into the run folder ``folder``, under its exclusive lock."""
    path = folder / RESULTS_FILE
    with writing_run_folder(folder):
        write_text(path, _results_text(folder, results, read_recognizer_settings(folder)["search"], extra))
    return path


def _results_text(folder: Path, results: List[Result], search: Dict[str, Any], extra: str = "") -> str:
    scored = f"Scored with {CHECKPOINTS_FOLDER}/{search['checkpoint']} (SHA-256 {search['checkpoint_sha256']}).\n\n"
    return f"# Results of {folder.name}\n\n{results_table(results)}\n{scored}{extra}"


def _history(folder: Path) -> List[Dict[str, Any]]:
    """The epochs of a run's training history; none when its last checkpoint cannot be read."""
    try:
        history = RunFolder(folder).read_checkpoint(LAST_CHECKPOINT).get("training_history")
    except CheckpointError:
        return []
    return [entry for entry in history if isinstance(entry, dict) and "train" in entry] \
        if isinstance(history, list) else []


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

"""The whole main job on a recipe (by default the embedded demo corpus): prepare, train the LM,
train the recogniser, evaluate, and say where everything is.

    from quorlin.recipe import load_recipe
    from quorlin.pipeline.demo import demo
    summary = demo(load_recipe("recipes/demo.yaml"))  # the results table, times and paths
"""
import logging
import os
import shlex
import shutil
import sys
import time
from typing import Any, Dict, Optional

from quorlin.layout import ATTENTION_FOLDER, CHECKPOINTS_FOLDER, CURVES_FILE, ERRORS_FOLDER, LR_PLOT, \
    TRANSCRIPTS_FOLDER
from quorlin.pipeline.evaluation import evaluate, results_table, write_results
from quorlin.pipeline.prepare import prepare
from quorlin.pipeline.training import train_asr, train_lm
from quorlin.prep import source_utterances
from quorlin.recipe import evaluation_sets, run_folder

log = logging.getLogger(__name__)


def demo(recipe: Dict[str, Any], device: Optional[str] = None) -> str:
    """Runs every step; a step that finished before (prepared files, trained epochs) is not
    done again, so a second run only evaluates. Returns the summary: the results table, the
    setting chosen, the time of each step and where everything is."""
    times, results = {}, None
    for name, step in (("Preparation", lambda: prepare(recipe)),
                       ("LM training", lambda: train_lm(recipe, resume=True, device=device)),
                       ("Recogniser training", lambda: train_asr(recipe, resume=True, device=device)),
                       ("Evaluation", lambda: evaluate(recipe, device))):
        log.info(f"\n🚀 {name}")
        start = time.perf_counter()
        results = step()
        times[name] = time.perf_counter() - start
    times["Total"] = sum(times.values())

    asr_folder, lm_folder = run_folder(recipe["asr"]), run_folder(recipe["lm"])
    chosen = next(r for r in results if r.chosen)
    tests = [r for r in results if r.set != chosen.set]
    test_source = evaluation_sets(recipe, "test")[0][1]
    command = [_quorlin_command(), "transcribe", str(asr_folder), source_utterances(test_source)[0].audio_path]
    if chosen.search.lm_weight > 0:
        command += ["--lm", str(lm_folder)]
    steps = "".join(f"| {name} | {seconds / 60:.1f} min |\n" for name, seconds in times.items())
    scored = "".join(f"{r.set}: CER {r.cer:.2f} %, WER {r.wer:.2f} %. " for r in tests)
    extra = (f"Setting chosen on {chosen.set}: {chosen.setting} (CER {chosen.cer:.2f} %). {scored}\n\n"
             f"| Step | Time |\n| --- | --- |\n{steps}\n"
             f"- Transcriptions: `{asr_folder / TRANSCRIPTS_FOLDER}/<set>/<setting>.tsv`\n"
             f"- Errors per utterance: `{asr_folder / ERRORS_FOLDER}/<set>/<setting>.txt`\n"
             f"- Plots: `{asr_folder / CURVES_FILE}`, `{asr_folder / LR_PLOT}`, `{asr_folder / ATTENTION_FOLDER}/`\n"
             f"- Checkpoints: `{asr_folder / CHECKPOINTS_FOLDER}/`, `{lm_folder / CHECKPOINTS_FOLDER}/`\n"
             f"- Try next: `{shlex.join(command)}`\n")
    path = write_results(asr_folder, results, extra)
    return (f"\n✅ Demo finished in {times['Total'] / 60:.1f} minutes\n\n{results_table(results)}\n{extra}\n"
            f"These results are also in {path}.")


def _quorlin_command() -> str:
    """The installed command, by its full path when it is not the one on the PATH."""
    installed = os.path.join(os.path.dirname(sys.executable), "quorlin")
    if not os.path.exists(installed) or shutil.which("quorlin") == installed:
        return "quorlin"
    return installed

"""`quorlin demo`: the whole main job on a recipe (by default the embedded demo corpus):
prepare, train the LM, train the recogniser, evaluate, and say where everything is."""
import os
import shlex
import shutil
import sys
import time
from typing import Any, Dict

from quorlin.cli.evaluate import evaluate, results_table, write_results
from quorlin.cli.prepare import prepare
from quorlin.recipe import run_folder
from quorlin.cli.training import train_asr, train_lm
from quorlin.cli.transcribe import audio_inputs
from quorlin.layout import CURVES_FILE, LR_PLOT, TRANSCRIPTS_FOLDER

DEMO_RECIPE = "recipes/demo.yaml"


def demo(recipe: Dict[str, Any]) -> None:
    """Runs every step; a step that finished before (prepared files, trained epochs) is
    not done again, so a second run only evaluates."""
    times, results = {}, None
    for name, step in (("Preparation", lambda: prepare(recipe)),
                       ("LM training", lambda: train_lm(recipe, resume=True)),
                       # The evaluation step recognises the test set with the best checkpoint in
                       # every setting, so the trainer's own pass over it would only repeat it.
                       ("Recogniser training", lambda: train_asr(recipe, resume=True, evaluate=False)),
                       ("Evaluation", lambda: evaluate(recipe))):
        print(f"\n🚀 {name}")
        start = time.perf_counter()
        results = step()
        times[name] = time.perf_counter() - start
    times["Total"] = sum(times.values())

    asr_folder, lm_folder = run_folder(recipe["asr"]), run_folder(recipe["lm"])
    best = min(results, key=lambda r: r.cer)
    command = [_quorlin_command(), "transcribe", str(asr_folder), audio_inputs([recipe["prepare"]["test"]])[0][1]]
    if best.lm_weight is not None:
        command += ["--lm", str(lm_folder), "--lm-weight", f"{best.lm_weight:g}"]
    if best.ctc_weight > 0:
        command += ["--ctc-weight", f"{best.ctc_weight:g}"]
    if best.beam_width > 1:
        command += ["--beam-width", str(best.beam_width)]
    steps = "".join(f"| {name} | {seconds / 60:.1f} min |\n" for name, seconds in times.items())
    extra = (f"Best setting: {best.setting}, CER {best.cer:.2f} %, WER {best.wer:.2f} %.\n\n"
             f"| Step | Time |\n| --- | --- |\n{steps}\n"
             f"- Transcriptions: `{asr_folder / TRANSCRIPTS_FOLDER}/<setting>.tsv`\n"
             f"- Plots: `{asr_folder / CURVES_FILE}`, `{asr_folder / LR_PLOT}`, `{asr_folder}/attn/`\n"
             f"- Checkpoints: `{asr_folder}/checkpoints/`, `{lm_folder}/checkpoints/`\n"
             f"- Try next: `{shlex.join(command)}`\n")
    path = write_results(asr_folder, results, extra)
    print(f"\n✅ Demo finished in {times['Total'] / 60:.1f} minutes\n")
    print(results_table(results))
    print(extra)
    print(f"These results are also in {path}.")


def _quorlin_command() -> str:
    """The installed command, by its full path when it is not the one on the PATH."""
    installed = os.path.join(os.path.dirname(sys.executable), "quorlin")
    if not os.path.exists(installed) or shutil.which("quorlin") == installed:
        return "quorlin"
    return installed

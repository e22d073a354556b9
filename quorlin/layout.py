"""The names of everything quorlin keeps on disk: the files of a run folder and the
partitions of the prepared data. Every other module takes the names from here.

A run folder, ``expts/<run name>/``::

    config.yaml            the trainer's configuration
    model_arch.txt         the model summary
    train.log              everything the training printed, and the package versions
    tokenizer.json         the tokenizer of the data
    recognizer.json        a recogniser's feature normalisation and search length
    lr_schedule.png        the learning-rate plan
    checkpoints/           the last, best, per-epoch and averaged checkpoints
    attn/, text/           attention heat maps and generated or recognised text
    results.md             the evaluation's table
    training_curves.png    losses and error rates per epoch
    transcripts/<set>/     "<id><TAB><text>" lines per search setting
    errors/<set>/          per-utterance error listings per search setting
    .lock                  the lock of the commands that use the folder
    .pending-writes.json   files written as one, while they are being written

Prepared data: ``<root>/<partition>/fbank/<id>.npy`` and ``text/<id>.npy`` for speech, with
the partition's ``stream_index.npz``; ``<root>/<partition>/<n>.npy`` for the LM.

An export folder (``quorlin export``), what the C++ runtime needs of a trained recogniser::

    quorlin-export.json    the manifest: vocabulary, features, segment lengths, search
    encoder.pt2            the encoder and CTC head, compiled (AOTInductor package)
    decoder.pt2            one step of the decoder, compiled
    lm.pt2                 one step of the language model, compiled (with --lm)
    silero_vad.jit         the Silero VAD network (TorchScript), which finds the speech
"""
from pathlib import PurePath
from typing import Optional

EXPERIMENTS_FOLDER = "expts"
CONFIG_FILE = "config.yaml"
MODEL_SUMMARY_FILE = "model_arch.txt"
TRAIN_LOG = "train.log"
TOKENIZER_FILE = "tokenizer.json"
RECOGNIZER_FILE = "recognizer.json"
LR_PLOT = "lr_schedule.png"
CHECKPOINTS_FOLDER = "checkpoints"
ATTENTION_FOLDER = "attn"
TEXT_FOLDER = "text"
RESULTS_FILE = "results.md"
CURVES_FILE = "training_curves.png"
TRANSCRIPTS_FOLDER = "transcripts"
ERRORS_FOLDER = "errors"
LOCK_FILE = ".lock"
PENDING_WRITES = ".pending-writes.json"

LAST_CHECKPOINT = "checkpoint-last-epoch-model.pth"
BEST_CHECKPOINT = "checkpoint-best-metric-model.pth"
AVERAGED_CHECKPOINT = "checkpoint-averaged-model.pth"


def run_name_problem(run_name: str) -> Optional[str]:
    """Why the run folder ``run_name`` would not lie inside the experiments folder (an absolute
    path, a ".." part, no folder at all); None when it does. Links planted on the way are the
    run folder's own check (``quorlin.run_folder.RunFolder.named``).

    Example:
        >>> run_name_problem("../outside")
        "must be a relative path without '..' components"
    """
    parts = PurePath(run_name)
    if parts.anchor or ".." in parts.parts:
        return "must be a relative path without '..' components"
    if not parts.parts:
        return f"must name a folder inside '{EXPERIMENTS_FOLDER}'"
    return None


def epoch_checkpoint(epoch: int) -> str:
    """The name of the checkpoint kept for epoch ``epoch`` (``training.keep_last``)."""
    return f"checkpoint-epoch-{epoch:04d}.pth"


# The prepared sets of a recipe whose prepare section gives one source for the split (a
# mapping of set names to sources names its sets itself).
SET_PARTITIONS = {"train": "train", "dev": "dev", "test": "test"}
# Prepared speech data. The recogniser's datasets know the partitions by these names.
TRAIN_PARTITION = "train-clean-100"
DEV_PARTITION = "dev-clean"
TEST_PARTITION = "test-clean"
FEATURES_FOLDER = "fbank"
TRANSCRIPTS_ARRAYS_FOLDER = "text"
REFERENCES_FILE = "references.tsv"
PREP_SETTINGS_FILE = "prep.json"
SOURCES_FILE = "sources.json"
STREAM_INDEX_FILE = "stream_index.npz"
# Prepared LM text.
LM_PARTITIONS = {"train": "train", "dev": "dev", "test": "test"}

# An export folder for the C++ runtime.
EXPORT_MANIFEST = "quorlin-export.json"
EXPORT_PARTS = {"encoder": "encoder.pt2", "decoder": "decoder.pt2", "lm": "lm.pt2"}
EXPORT_VAD = "silero_vad.jit"

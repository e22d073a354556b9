"""Run folders: claiming one for a training run, locking one for the commands that read or
change it, what a run folder holds beyond the trainer's own files (the tokenizer, a
recogniser's feature normalisation, search length and chosen search), and loading a trained
model from one.

A run folder is self-contained: ``load_trained`` needs nothing else than the folder, so a
copy made on another machine, or a folder received from someone else, loads the same way.
Each of its files has one reader that checks it before anything is built from it
(``read_run_config``, ``read_run_tokenizer``, ``read_recognizer_settings``,
``read_model_state``), with the ranges of the recipe schema.

Every command locks the run folders it uses (``quorlin._locks``): training, averaging and
the writing of an evaluation's results exclusively, the reading of a model (evaluation,
transcription) shared. No command reads a model that another is replacing, and no result
is written beside another model than the one it was computed with.
"""
import contextlib
import hashlib
import json
import os
import re
import shutil
import unicodedata
from pathlib import Path
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import torch

from quorlin._checks import checkpoint_load_problem, state_differences
from quorlin._files import remove_temporaries, write_text
from quorlin._locks import folder_lock
from quorlin._reading import FileFormatError, excerpt, load_json, load_yaml, regular_file_problem
from quorlin.data.tokenizer import SPECIAL_TOKENS, VaskTokenizer
from quorlin.errors import RunFolderError
from quorlin.layout import (BEST_CHECKPOINT, CHECKPOINTS_FOLDER, CONFIG_FILE, EXPERIMENTS_FOLDER, LOCK_FILE,
                            PENDING_WRITES, RECOGNIZER_FILE, RESULTS_FILE, TOKENIZER_FILE)
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from quorlin.recipe_schema import check_recognizer_settings, check_run_config

MODEL_CLASSES = {"asr": EncoderDecoderTransformer, "lm": DecoderOnlyTransformer}
KIND_NAMES = {"asr": "recogniser", "lm": "language model"}
# Characters no transcript may hold: controls (tab, NUL, ...), lone surrogates, line and paragraph separators.
_NOT_TEXT = ("Cc", "Cs", "Zl", "Zp")
# The model arguments that a checkpoint's tensors fix, and how to read them off its state.
_LAYERS = re.compile(r"(enc|dec)_layers\.(\d+)\.")


class TrainedModel(NamedTuple):
    """A trained model with the configuration section and the tokenizer it was trained with,
    and the checkpoint file it came from."""
    model: torch.nn.Module
    tokenizer: VaskTokenizer
    section: Dict[str, Any]
    checkpoint: Path


def build_model(kind: str, section: Dict[str, Any], tokenizer: VaskTokenizer) -> torch.nn.Module:
    """The model of an ``asr`` or ``lm`` section: its ``model`` keywords, the tokenizer's vocabulary."""
    return MODEL_CLASSES[kind](**section["model"], num_classes=tokenizer.vocab_size)


# Claiming a run folder for a training run.

def resolved_run_folder(run_name: str) -> Path:
    """The run folder ``run_name``, refused when a link planted in its place leads outside the
    experiments folder."""
    expts = Path(EXPERIMENTS_FOLDER)
    folder = expts / run_name
    expts.mkdir(exist_ok=True)
    resolved = folder.resolve()
    if expts.resolve() not in resolved.parents:
        raise RunFolderError(f"{folder} resolves to {resolved}, outside {expts.resolve()}")
    return folder


@contextlib.contextmanager
def claimed_run_folder(run_name: str, resume: bool, overwrite: bool) -> Iterator[Path]:
    """The run folder of a training run, locked against any other run for as long as the block
    lasts, and checked before anything in it changes.

    A folder that holds checkpoints is refused unless ``resume`` (go on training that model)
    or ``overwrite`` (a new one will replace it: ``empty_run_folder`` once the run is ready to
    train) is given. Temporary files that a killed run left behind are removed.

    Raises:
        RunFolderError: another process holds the folder, or it holds a model and neither
            ``resume`` nor ``overwrite`` was given.
    """
    folder = resolved_run_folder(run_name)
    folder.mkdir(parents=True, exist_ok=True)
    with folder_lock(folder, exclusive=True, hint=" or choose another run name"):
        checkpoints = folder / CHECKPOINTS_FOLDER
        trained = sorted(p.name for p in checkpoints.glob("*.pth")) if checkpoints.is_dir() else []
        if trained and not (resume or overwrite):
            raise RunFolderError(f"{folder} already holds a trained model ({CHECKPOINTS_FOLDER}/{trained[0]}); "
                                 "give --resume to go on training it or --overwrite to replace it")
        _tidy(folder)
        yield folder


@contextlib.contextmanager
def reading_run_folder(folder) -> Iterator[None]:
    """Holds the run folder ``folder`` for reading, shared with other readers: no command
    changes it meanwhile (training, averaging, the writing of results refuse to start).

    Raises:
        FolderInUseError: a command that changes the folder holds it.
    """
    folder = Path(folder)
    # Only a run folder gets a lock file: a reader never leaves one in another folder.
    with folder_lock(folder, exclusive=False, create=(folder / CONFIG_FILE).is_file()):
        _finish_writes(folder)
        yield


@contextlib.contextmanager
def writing_run_folder(folder) -> Iterator[None]:
    """Holds the run folder ``folder`` for changing it, alone; the temporary files of a killed
    writer are removed. Within ``reading_run_folder`` of the same folder it waits for the
    other readers to end.

    Raises:
        FolderInUseError: another command holds the folder (or, from within
            ``reading_run_folder``, one that changes it took it while this one waited).
    """
    folder = Path(folder)
    with folder_lock(folder, exclusive=True, create=(folder / CONFIG_FILE).is_file()):
        _tidy(folder)
        yield


def _tidy(folder: Path) -> None:
    """Under the exclusive lock: a write of several files completed, killed writers' temporaries removed."""
    _finish_writes(folder)
    for sub in (folder, folder / CHECKPOINTS_FOLDER):
        if sub.is_dir():
            remove_temporaries(sub)


def empty_run_folder(folder: Path) -> None:
    """Removes everything in a claimed run folder but its lock; links are removed, not followed."""
    for entry in folder.iterdir():
        if entry.name == LOCK_FILE:
            continue
        if entry.is_dir() and not entry.is_symlink():
            shutil.rmtree(entry)
        else:
            entry.unlink()


# What training writes beside the trainer's own files.

def save_tokenizer(folder: Path, tokenizer: VaskTokenizer) -> None:
    tokenizer.save(folder / TOKENIZER_FILE)


def save_recognizer_settings(folder: Path, norm: str, global_stats, max_length: int,
                             train_durations: Sequence[float]) -> None:
    """Writes a recogniser's settings: its feature normalisation, longest training transcript and
    the quantiles (0 %, 5 %, ..., 100 %) of its training utterances' durations in seconds, which
    transcription aims its segments at. A search already chosen for the run folder's model
    (a resumed run's) is kept."""
    settings = {"norm": norm, "max_length": int(max_length),
                "train_durations": [round(float(q), 3) for q in duration_quantiles(train_durations)]}
    if global_stats is not None:
        settings["global_mean"], settings["global_std"] = (t.tolist() for t in global_stats)
    if (folder / RECOGNIZER_FILE).is_file():
        with contextlib.suppress(RunFolderError):  # a damaged file keeps nothing
            chosen = read_recognizer_settings(folder).get("search")
            if chosen is not None:
                settings["search"] = chosen
    write_text(folder / RECOGNIZER_FILE, json.dumps(settings, indent=1))


def duration_quantiles(durations: Sequence[float]) -> List[float]:
    """The 0 %, 5 %, ..., 100 % quantiles of ``durations`` (linear interpolation)."""
    return torch.quantile(torch.tensor(durations, dtype=torch.float64), torch.linspace(0, 1, 21,
                                                                                       dtype=torch.float64)).tolist()


def save_evaluation(folder: Path, search: Dict[str, Any], results: str) -> None:
    """Writes an evaluation's results file and adds the search setting it chose on the dev set
    to the recogniser's settings (transcription uses it when no setting is given), as one:
    a process killed meanwhile leaves both files as they were or, once the folder is next
    locked, both new."""
    folder = Path(folder)
    with writing_run_folder(folder):
        settings = read_recognizer_settings(folder)
        settings["search"] = search
        write_text(folder / PENDING_WRITES, json.dumps({RECOGNIZER_FILE: json.dumps(settings, indent=1),
                                                        RESULTS_FILE: results}))
        _finish_writes(folder)


def _finish_writes(folder: Path) -> None:
    """Completes the writes of ``save_evaluation`` that a killed process left undone. Only
    those two files are written, whatever the record holds; a folder this process may not
    write is left as it is."""
    record = folder / PENDING_WRITES
    if not os.path.lexists(record):
        return
    try:
        texts = load_json(record)
        for name in (RECOGNIZER_FILE, RESULTS_FILE):
            if isinstance(texts, dict) and isinstance(texts.get(name), str):
                write_text(folder / name, texts[name])
        record.unlink(missing_ok=True)
    except FileFormatError:
        with contextlib.suppress(OSError):
            record.unlink(missing_ok=True)
    except OSError:
        pass


def read_recognizer_settings(folder) -> Dict[str, Any]:
    """A recogniser's settings, checked against the recipe schema's ``RECOGNIZER_SETTINGS``
    and its configuration: the normalisation it was trained with, finite statistics of one
    number per filter-bank bin, deviations that are no training's refused, and a search
    within the ranges of the ``evaluate`` section. Keys it does not know are kept unchecked.

    Raises:
        RunFolderError: a file is missing or does not hold what it should (naming file and key).
    """
    folder = Path(folder)
    with reading_run_folder(folder):
        data = read_run_config(folder, "asr")["data"]
        path = _required(folder, RECOGNIZER_FILE, "recogniser")
        settings = load_json(path, RunFolderError)
    check_recognizer_settings(settings, data, str(path))
    return settings


def read_run_config(folder, kind: str) -> Dict[str, Any]:
    """The configuration of an "asr" or "lm" run folder, checked as the recipe's section of
    that kind is: every key known, of the right type and range, the keys tied together
    agreeing.

    Raises:
        RunFolderError: the file is missing or does not hold such a configuration (naming the key).
    """
    path = _required(Path(folder), CONFIG_FILE, KIND_NAMES[kind])
    config = load_yaml(path, RunFolderError)
    check_run_config(config, kind, str(path))
    return config


def read_run_tokenizer(folder, kind: str) -> VaskTokenizer:
    """The tokenizer of an "asr" or "lm" run folder, checked: a tokenizer file that loads (a
    character list, or a model SentencePiece parses) whose every token is text that any
    transcript format can hold: no control character (a tab, say), line break or lone surrogate.
    (Format characters, such as the joiners that spell Persian and Indic words, are text.)

    Raises:
        RunFolderError: the file is missing, damaged, or has a token that transcripts cannot hold.
    """
    path = _required(Path(folder), TOKENIZER_FILE, KIND_NAMES[kind])
    try:
        tokenizer = VaskTokenizer.load(path)
    except (ValueError, TypeError) as error:  # every message names the file
        raise RunFolderError(str(error)) from None
    for token in range(len(SPECIAL_TOKENS), tokenizer.vocab_size):
        text = tokenizer.decode([token])
        if any(unicodedata.category(c) in _NOT_TEXT for c in text):
            raise RunFolderError(f"{path}: token {token} stands for {excerpt(text)}, which transcripts cannot hold "
                                 "(a control character or line break)")
    return tokenizer


# Loading a trained model.

def checkpoint_identity(folder, kind: str, name: Optional[str] = None) -> Tuple[str, int, int, int]:
    """What tells the checkpoint ``name`` of a run folder from any other: its name, and its
    file's inode, size and time of change (every save replaces the whole file)."""
    path = checkpoint_path(folder, kind, name)
    info = path.stat()
    return path.name, info.st_ino, info.st_size, info.st_mtime_ns


def enclosing_run_folder(path) -> Optional[Path]:
    """The run folder that ``path`` (which need not exist) is or lies in, links resolved: the
    nearest folder holding what every run folder holds (a configuration, a tokenizer and a
    checkpoints folder); None when none does."""
    resolved = Path(os.path.realpath(path))
    for folder in (resolved, *resolved.parents):
        if all((folder / name).is_file() for name in (CONFIG_FILE, TOKENIZER_FILE)) and \
                (folder / CHECKPOINTS_FOLDER).is_dir():
            return folder
    return None


def checkpoint_path(folder: Path, kind: str, name: Optional[str] = None) -> Path:
    """The checkpoint ``name`` of a trained run folder's checkpoints, by default the best one."""
    if name is not None and not re.fullmatch(r"[\w.-]+\.pth", name):
        raise RunFolderError(f"a checkpoint is named by a plain file name ending in .pth, got {name!r}")
    return _required(Path(folder), f"{CHECKPOINTS_FOLDER}/{name or BEST_CHECKPOINT}", KIND_NAMES[kind])


def file_sha256(path: Path) -> str:
    """The SHA-256 of a file's bytes, in hexadecimal: which weights a result was scored with."""
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def load_trained(kind: str, folder, device: str, checkpoint: Optional[str] = None) -> TrainedModel:
    """The trained model of an "asr" or "lm" run folder, in evaluation mode on ``device``, with
    the weights of its checkpoint file ``checkpoint`` (by default the best epoch's).

    The folder is read under ``reading_run_folder``. Every file is checked by its reader,
    and the configuration's model arguments against the checkpoint's tensors, before the model
    is built, so a folder whose files are damaged or disagree (or ask for an absurd size) is
    one clear error, not minutes and gigabytes of building.

    Raises:
        RunFolderError: a file is missing or unreadable, or the files disagree.
        FolderInUseError: a command that changes the folder holds it.
    """
    folder = Path(folder)
    with reading_run_folder(folder):
        section = read_run_config(folder, kind)
        tokenizer = read_run_tokenizer(folder, kind)
        path = checkpoint_path(folder, kind, checkpoint)
        state = read_model_state(path)
    config_path = folder / CONFIG_FILE
    _check_sizes(kind, config_path, section["model"], state, tokenizer)
    try:
        with torch.device("meta"):
            skeleton = build_model(kind, section, tokenizer)
    except (TypeError, ValueError) as error:
        raise RunFolderError(f"{config_path}: the model cannot be built: {error}") from None
    expected = {name: tuple(t.shape) for name, t in skeleton.state_dict().items()}
    found = {name: tuple(t.shape) for name, t in state.items()}
    if expected != found:
        raise RunFolderError(f"{path} does not fit the model of {config_path}: {_state_difference(expected, found)}")
    model = build_model(kind, section, tokenizer)
    model.load_state_dict(state)
    return TrainedModel(model.to(device).eval(), tokenizer, section, path)


def read_model_state(path: Path) -> Dict[str, torch.Tensor]:
    """The model state of a checkpoint file, refusing anything but a checkpoint."""
    try:
        checkpoint = torch.load(path, map_location="cpu", weights_only=True)
    except Exception as error:  # torch.load reports a damaged file in many ways
        raise RunFolderError(f"{path} is not a readable checkpoint: {checkpoint_load_problem(error)}") from None
    state = checkpoint.get("model_state_dict") if isinstance(checkpoint, dict) else None
    if not isinstance(state, dict) or not all(isinstance(t, torch.Tensor) for t in state.values()):
        raise RunFolderError(f"{path} is not a checkpoint: it holds no model_state_dict")
    return state


def _check_sizes(kind: str, config_path: Path, model_args: Dict[str, Any], state, tokenizer) -> None:
    """Compares the sizes that the checkpoint's tensors fix with the configuration's."""
    layers = {"enc": set(), "dec": set()}
    for name in state:
        match = _LAYERS.match(name)
        if match:
            layers[match[1]].add(int(match[2]))
    found = {"d_model": _dim(state, "target_embedding.weight", 1), "max_len": _dim(state, "positional_encoding.pe", 1)}
    if kind == "asr":
        found.update(num_encoder_layers=len(layers["enc"]), num_decoder_layers=len(layers["dec"]))
    else:
        found.update(num_layers=len(layers["dec"]))
    for key, value in found.items():
        if value is not None and model_args.get(key) != value:
            raise RunFolderError(f"{config_path}: model.{key} is {model_args.get(key)!r}, but the checkpoint "
                                 f"was trained with {value}")
    classes = _dim(state, "final_linear.weight", 0)
    if classes is not None and classes != tokenizer.vocab_size:
        raise RunFolderError(f"{config_path.parent / TOKENIZER_FILE} has {tokenizer.vocab_size} token ids, but the "
                             f"checkpoint's output layer has {classes}")


def _dim(state, name: str, axis: int) -> Optional[int]:
    tensor = state.get(name)
    return int(tensor.shape[axis]) if tensor is not None and tensor.dim() > axis else None


def _state_difference(expected: Dict[str, tuple], found: Dict[str, tuple]) -> str:
    missing, unexpected, differ = state_differences(expected, found)
    missing, unexpected = sorted(missing), sorted(unexpected)
    shapes = [f"{name} is {found[name]} in the checkpoint, {expected[name]} in the model" for name in differ]
    parts = ([f"missing {', '.join(missing[:3])}"] if missing else []) + \
            ([f"unexpected {', '.join(unexpected[:3])}"] if unexpected else []) + shapes[:3]
    return "; ".join(parts)


def _required(folder: Path, name: str, what: str) -> Path:
    path = folder / name
    if not os.path.exists(path):
        raise RunFolderError(f"{folder} is not a trained {what} run folder: it has no {name}")
    problem = regular_file_problem(path)
    if problem:
        raise RunFolderError(f"{path}: {problem}")
    return path


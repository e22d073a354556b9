"""Run folders: ``RunFolder``, which owns one (where each file lies, writing them, claiming the
folder for a training run), the one reader of checkpoints (``read_checkpoint``), locking a run
folder for the commands that read or change it, and loading a trained model from one.

A run folder is self-contained: ``load_trained`` needs nothing else than the folder, so a
copy made on another machine, or a folder received from someone else, loads the same way.
Each of its files has one reader that checks it before anything is built from it
(``read_run_config``, ``read_run_tokenizer``, ``read_recognizer_settings``,
``read_checkpoint``), with the ranges of the recipe schema.

Every command locks the run folders it uses (``quorlin._locks``): training, averaging and
the writing of an evaluation's results exclusively, the reading of a model (evaluation,
transcription) shared. No command reads a model that another is replacing, and no result
is written beside another model than the one it was computed with.
"""
import contextlib
import hashlib
import json
import logging
import os
import re
import shutil
import unicodedata
from pathlib import Path, PurePath
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

import torch

from quorlin._checks import checkpoint_load_problem, state_differences
from quorlin._files import copy_file, remove_temporaries, replacing, write_bytes, write_text
from quorlin._locks import folder_lock
from quorlin._reading import FileFormatError, excerpt, load_json, load_yaml, regular_file_problem
from quorlin.data.tokenizer import SPECIAL_TOKENS, VaskTokenizer
from quorlin.errors import CheckpointError, MissingCheckpointError, RunFolderError
from quorlin.layout import (ATTENTION_FOLDER, BEST_CHECKPOINT, CHECKPOINTS_FOLDER, CONFIG_FILE, EXPERIMENTS_FOLDER,
                            LOCK_FILE, MODEL_SUMMARY_FILE, PENDING_WRITES, RECOGNIZER_FILE, RESULTS_FILE, TEXT_FOLDER,
                            TOKENIZER_FILE, TRAIN_LOG, run_name_problem)
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


# The folder of one run.

class RunFolder:
    """A run folder: where each of its files lies (the names of ``quorlin.layout``), the
    writing of those files, each replaced whole and never through a link that leads out of
    the folder, claiming the folder for a training run, and reading its checkpoints.

    ``RunFolder.named(run_name)`` is a training run's folder in the experiments folder;
    ``RunFolder(path)`` any existing folder, such as a copy received from someone else.

    Attributes:
        root: the folder.
        checkpoints, attention, text: its checkpoints, attention heat-map and text folders.

    Example:
        >>> run = RunFolder.named("demo-asr")
        >>> with run.claim(resume=False, overwrite=False):
        ...     run.save_tokenizer(tokenizer)
    """

    def __init__(self, root):
        self.root = Path(root)
        self.checkpoints = self.root / CHECKPOINTS_FOLDER
        self.attention = self.root / ATTENTION_FOLDER
        self.text = self.root / TEXT_FOLDER
        self._resolved = self.root.resolve()

    @classmethod
    def named(cls, run_name: str, experiments=EXPERIMENTS_FOLDER, create: bool = True) -> "RunFolder":
        """The run folder ``run_name`` of the folder ``experiments``, which ``create`` makes
        when it is missing. The run folder itself is not made (see ``create``).

        Raises:
            ValueError: ``run_name`` does not name a folder inside ``experiments``.
            RunFolderError: a link planted on the way leads outside ``experiments``; checked
                before anything is made, so that nothing is ever made outside.
        """
        problem = run_name_problem(run_name)
        if problem is not None:
            raise ValueError(f"run_name {problem}, got {run_name!r}")
        experiments = Path(experiments)
        if create:
            experiments.mkdir(parents=True, exist_ok=True)
        folder = cls(experiments / run_name)
        _below(folder._resolved, experiments.resolve(), folder.root)
        return folder

    def path(self, *parts: str) -> Path:
        """A file of the folder to read: ``run.path(CHECKPOINTS_FOLDER, LAST_CHECKPOINT)``."""
        return self.root.joinpath(*parts)

    def writable(self, *parts: str) -> Path:
        """Where to write the file ``parts`` (its folders, then a plain file name): refused
        unless its folder still lies inside the run folder."""
        *folders, name = parts
        if name in ("", "..") or PurePath(name).name != name:
            raise ValueError(f"file name must be a plain name without a folder part, got {name!r}")
        folder = self.root.joinpath(*folders)
        return _below(folder.resolve() / name, self._resolved, folder / name)

    def create(self) -> None:
        """Makes the folder (and the folders it lies in) when it is missing."""
        self.root.mkdir(parents=True, exist_ok=True)

    def create_folders(self) -> None:
        """Makes the checkpoints, attention and text folders of a created folder; existing ones are kept."""
        for folder in (self.checkpoints, self.attention, self.text):
            folder.mkdir(exist_ok=True)
            _below(folder.resolve(), self._resolved, folder)

    @contextlib.contextmanager
    def claim(self, resume: bool, overwrite: bool) -> Iterator["RunFolder"]:
        """The folder of a training run, locked against any other run for as long as the block
        lasts, and checked before anything in it changes.

        A folder that holds checkpoints is refused unless ``resume`` (go on training that model)
        or ``overwrite`` (a new one will replace it: ``empty`` once the run is ready to train)
        is given. Temporary files that a killed run left behind are removed.

        Raises:
            RunFolderError: another process holds the folder, or it holds a model and neither
                ``resume`` nor ``overwrite`` was given.
        """
        self.create()
        with folder_lock(self.root, exclusive=True, hint=" or choose another run name"):
            trained = sorted(p.name for p in self.checkpoints.glob("*.pth")) if self.checkpoints.is_dir() else []
            if trained and not (resume or overwrite):
                raise RunFolderError(f"{self.root} already holds a trained model ({CHECKPOINTS_FOLDER}/{trained[0]}); "
                                     "give --resume to go on training it or --overwrite to replace it")
            _tidy(self.root)
            yield self

    def empty(self) -> None:
        """Removes everything in a claimed folder but its lock; links are removed, not followed."""
        for entry in self.root.iterdir():
            if entry.name == LOCK_FILE:
                continue
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                entry.unlink()

    def copy_config(self, config_file) -> None:
        """The configuration file, copied with its metadata."""
        copy_file(config_file, self.writable(CONFIG_FILE))

    def write_model_summary(self, text: str) -> None:
        write_bytes(self.writable(MODEL_SUMMARY_FILE), text.encode())

    def save_tokenizer(self, tokenizer: VaskTokenizer) -> None:
        tokenizer.save(self.writable(TOKENIZER_FILE))

    def save_recognizer_settings(self, norm: str, global_stats, max_length: int,
                                 train_durations: Sequence[float]) -> None:
        """Writes a recogniser's settings: its feature normalisation, longest training transcript
        and the quantiles (0 %, 5 %, ..., 100 %) of its training utterances' durations in seconds,
        which transcription aims its segments at. A search already chosen for the folder's model
        (a resumed run's) is kept."""
        settings = {"norm": norm, "max_length": int(max_length),
                    "train_durations": [round(float(q), 3) for q in duration_quantiles(train_durations)]}
        if global_stats is not None:
            settings["global_mean"], settings["global_std"] = (t.tolist() for t in global_stats)
        if self.path(RECOGNIZER_FILE).is_file():
            with contextlib.suppress(RunFolderError):  # a damaged file keeps nothing
                chosen = read_recognizer_settings(self.root).get("search")
                if chosen is not None:
                    settings["search"] = chosen
        write_text(self.writable(RECOGNIZER_FILE), json.dumps(settings, indent=1))

    def save_figure(self, figure, *parts: str) -> Path:
        """Writes a matplotlib ``figure`` as the PNG file ``parts`` (see ``writable``); returns its path."""
        path = self.writable(*parts)
        with replacing(path) as f:
            figure.savefig(f, format="png")
        return path

    def save_records(self, records, name: str) -> Path:
        """Writes JSON-serialisable ``records`` as the file ``name`` of the text folder, indented
        by 4; returns its path."""
        path = self.writable(TEXT_FOLDER, name)
        write_bytes(path, json.dumps(records, indent=4).encode())
        return path

    def save_checkpoint(self, name: str, checkpoint: Dict[str, Any]) -> Path:
        """Writes ``checkpoint`` as the file ``name`` of the checkpoints folder, replaced whole;
        returns its path."""
        path = self.writable(CHECKPOINTS_FOLDER, name)
        with replacing(path) as f:
            torch.save(checkpoint, f)
        return path

    def read_checkpoint(self, name: str, device: str = "cpu") -> Dict[str, Any]:
        """The checkpoint ``name`` of the checkpoints folder (see ``read_checkpoint``)."""
        return read_checkpoint(self.path(CHECKPOINTS_FOLDER, name), device)

    def has_checkpoint(self, name: str) -> bool:
        return self.path(CHECKPOINTS_FOLDER, name).exists()

    def remove_checkpoint(self, name: str) -> None:
        self.writable(CHECKPOINTS_FOLDER, name).unlink(missing_ok=True)

    def log_handler(self) -> logging.FileHandler:
        """A handler that appends reports to the folder's log file, each message a line."""
        handler = logging.FileHandler(self.writable(TRAIN_LOG), encoding="utf-8")
        handler.setFormatter(logging.Formatter("%(message)s"))
        return handler


def _below(resolved: Path, root: Path, path: Path) -> Path:
    """``resolved`` (``path`` with its links resolved), once it lies inside ``root``."""
    if root not in resolved.parents:
        raise RunFolderError(f"{path} resolves to {resolved}, outside {root}")
    return resolved


# Locking a run folder.

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


def read_checkpoint(path, device: str = "cpu") -> Dict[str, Any]:
    """The checkpoint dict saved at ``path``, its tensors on ``device``; only tensors and
    plain values are unpickled, so a file that holds Python objects is refused, never run.

    Raises:
        MissingCheckpointError: (a ``CheckpointError`` and a ``FileNotFoundError``) no such file.
        CheckpointError: (a ``RunFolderError`` and a ``RuntimeError``) the file cannot be read,
            or holds something else than a dict.
    """
    path = Path(path)
    if not path.exists():
        raise MissingCheckpointError(f"No checkpoint found at {path}")
    try:
        checkpoint = torch.load(path, map_location=device, weights_only=True)
    except Exception as error:  # torch.load reports a damaged file in many ways
        raise CheckpointError(f"Failed to load checkpoint file: {path}: {checkpoint_load_problem(error)}") from None
    if not isinstance(checkpoint, dict):
        raise CheckpointError(f"Failed to load checkpoint file: {path}: expected a dict, got "
                              f"{type(checkpoint).__name__}")
    return checkpoint


def read_model_state(path) -> Dict[str, torch.Tensor]:
    """The model state of the checkpoint file ``path`` (see ``read_checkpoint``), on the CPU.

    Raises:
        CheckpointError: as ``read_checkpoint``, or the file holds no model state.
    """
    state = read_checkpoint(path).get("model_state_dict")
    if not isinstance(state, dict) or not all(isinstance(t, torch.Tensor) for t in state.values()):
        raise CheckpointError(f"Failed to load checkpoint file: {path}: it holds no model_state_dict")
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


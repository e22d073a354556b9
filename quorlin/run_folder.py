"""Run folders: claiming one for a training run, what a run folder holds beyond the trainer's
own files (the tokenizer, a recogniser's feature normalisation, search length and chosen
search), and loading a trained model from one, checked before it is built.

A run folder is self-contained: ``load_trained`` needs nothing else than the folder, so a
copy made on another machine, or a folder received from someone else, loads the same way.
"""
import contextlib
import fcntl
import hashlib
import json
import math
import os
import re
import shutil
from pathlib import Path
from typing import Any, Dict, Iterator, List, NamedTuple, Optional, Sequence

import torch
import yaml

from quorlin._checks import state_differences
from quorlin._files import remove_temporaries, write_text
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.errors import QuorlinError
from quorlin.layout import (BEST_CHECKPOINT, CHECKPOINTS_FOLDER, CONFIG_FILE,
                            EXPERIMENTS_FOLDER, LOCK_FILE, RECOGNIZER_FILE, TOKENIZER_FILE)
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer

MODEL_CLASSES = {"asr": EncoderDecoderTransformer, "lm": DecoderOnlyTransformer}
KIND_NAMES = {"asr": "recogniser", "lm": "language model"}
# The model arguments that a checkpoint's tensors fix, and how to read them off its state.
_LAYERS = re.compile(r"(enc|dec)_layers\.(\d+)\.")


class RunFolderError(QuorlinError):
    """A run folder that cannot be used: in use, holding a model not to be replaced, or not a
    trained model that loads; the message names the folder or file."""


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
    """The run folder ``run_name``, refused when it (or a link planted in it) leads outside
    the experiments folder."""
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
    fd = os.open(folder / LOCK_FILE, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o644)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 32, 0).decode(errors="replace").strip() or "another process"
            raise RunFolderError(f"{folder} is in use by another run (process {holder}); wait for it to end "
                                 "or choose another run name") from None
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)
        checkpoints = folder / CHECKPOINTS_FOLDER
        trained = sorted(p.name for p in checkpoints.glob("*.pth")) if checkpoints.is_dir() else []
        if trained and not (resume or overwrite):
            raise RunFolderError(f"{folder} already holds a trained model ({CHECKPOINTS_FOLDER}/{trained[0]}); "
                                 "give --resume to go on training it or --overwrite to replace it")
        for sub in (folder, checkpoints):
            if sub.is_dir():
                remove_temporaries(sub)
        yield folder
    finally:
        os.close(fd)


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
        chosen = read_recognizer_settings(folder).get("search")
        if chosen is not None:
            settings["search"] = chosen
    write_text(folder / RECOGNIZER_FILE, json.dumps(settings, indent=1))


def duration_quantiles(durations: Sequence[float]) -> List[float]:
    """The 0 %, 5 %, ..., 100 % quantiles of ``durations`` (linear interpolation)."""
    return torch.quantile(torch.tensor(durations, dtype=torch.float64), torch.linspace(0, 1, 21,
                                                                                       dtype=torch.float64)).tolist()


def save_chosen_search(folder: Path, search: Dict[str, Any]) -> None:
    """Adds the search setting chosen on the dev set to the recogniser's settings; transcription uses
    it when no setting is given."""
    settings = read_recognizer_settings(folder)
    settings["search"] = search
    write_text(folder / RECOGNIZER_FILE, json.dumps(settings, indent=1))


def read_recognizer_settings(folder: Path) -> Dict[str, Any]:
    """A recogniser's settings, checked: a known normalisation with finite statistics."""
    path = _required(Path(folder), RECOGNIZER_FILE, "recogniser")
    settings = _read_json(path)
    if not isinstance(settings, dict) or settings.get("norm") not in ("global_mvn", "cepstral", "none"):
        raise RunFolderError(f"{path} does not hold a recogniser's settings (norm)")
    if settings["norm"] == "global_mvn":
        stats = [settings.get(key) for key in ("global_mean", "global_std")]
        if not all(isinstance(s, list) and s and all(isinstance(v, (int, float)) and math.isfinite(v) for v in s)
                   for s in stats) or len(stats[0]) != len(stats[1]) or min(stats[1]) <= 0:
            raise RunFolderError(f"{path}: global_mean and global_std must be lists of finite numbers of one "
                                 "length, the deviations > 0")
    return settings


# Loading a trained model.

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

    The configuration's model arguments are checked against the checkpoint's tensors before
    the model is built, so a folder whose configuration disagrees with its checkpoint (or asks
    for an absurd size) is one clear error, not minutes and gigabytes of building.

    Raises:
        RunFolderError: a file is missing or unreadable, or the files disagree.
    """
    folder = Path(folder)
    what = KIND_NAMES[kind]
    config_path = _required(folder, CONFIG_FILE, what)
    try:
        section = yaml.safe_load(config_path.read_text(encoding="utf-8"))
    except (UnicodeDecodeError, yaml.YAMLError) as error:
        raise RunFolderError(f"{config_path} is not a readable configuration: {error}") from None
    if not isinstance(section, dict) or not isinstance(section.get("model"), dict):
        raise RunFolderError(f"{config_path} has no 'model' section")
    tokenizer_file = _required(folder, TOKENIZER_FILE, what)
    try:
        tokenizer = VaskTokenizer.load(tokenizer_file)
    except (ValueError, KeyError, TypeError, UnicodeDecodeError) as error:
        raise RunFolderError(f"{tokenizer_file} is not a readable tokenizer: {error}") from None
    path = checkpoint_path(folder, kind, checkpoint)
    state = read_model_state(path)
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
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise RunFolderError(f"{path} is not a readable checkpoint: {reason}") from None
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
    if not path.is_file():
        raise RunFolderError(f"{folder} is not a trained {what} run folder: it has no {name}")
    return path


def _read_json(path: Path):
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise RunFolderError(f"{path} is not readable JSON: {error}") from None

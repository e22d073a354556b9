"""What a run folder holds beyond the trainer's own files, so that a trained model can be
used anywhere: the tokenizer, and for a recogniser its feature normalisation and search
length. ``load_recognizer`` and ``load_language_model`` need nothing else than the folder."""
import json
from pathlib import Path
from typing import Any, Dict, NamedTuple, Optional, Tuple

import torch
import yaml

from quorlin._files import write_text
from quorlin.layout import BEST_CHECKPOINT, CHECKPOINTS_FOLDER, CONFIG_FILE, RECOGNIZER_FILE, TOKENIZER_FILE
from quorlin.recipe import RecipeError
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer

MODEL_CLASSES = {"asr": EncoderDecoderTransformer, "lm": DecoderOnlyTransformer}


class Recognizer(NamedTuple):
    """A trained recogniser with what its inputs need: the data section of its
    configuration (``num_feats``, ``norm``), the global statistics and the search length."""
    model: EncoderDecoderTransformer
    tokenizer: VaskTokenizer
    data: Dict[str, Any]
    global_stats: Optional[Tuple[torch.Tensor, torch.Tensor]]
    max_length: int


def build_model(kind: str, section: Dict[str, Any], tokenizer: VaskTokenizer) -> torch.nn.Module:
    """The model of an ``asr`` or ``lm`` section: its ``model`` keywords, the tokenizer's vocabulary."""
    return MODEL_CLASSES[kind](**section["model"], num_classes=tokenizer.vocab_size)


def save_tokenizer(folder: Path, tokenizer: VaskTokenizer) -> None:
    tokenizer.save(folder / TOKENIZER_FILE)


def save_recognizer_settings(folder: Path, norm: str, global_stats, max_length: int) -> None:
    settings = {"norm": norm, "max_length": int(max_length)}
    if global_stats is not None:
        settings["global_mean"], settings["global_std"] = (t.tolist() for t in global_stats)
    write_text(folder / RECOGNIZER_FILE, json.dumps(settings, indent=1))


def _read(folder: Path, name: str, what: str) -> Path:
    path = folder / name
    if not path.is_file():
        raise RecipeError(f"{folder} is not a trained {what} run folder: it has no {name}")
    return path


def _load_trained(kind: str, folder: Path, device: str) -> Tuple[torch.nn.Module, VaskTokenizer, Dict[str, Any]]:
    what = "recogniser" if kind == "asr" else "language model"
    with open(_read(folder, CONFIG_FILE, what), encoding="utf-8") as f:
        section = yaml.safe_load(f)
    tokenizer = VaskTokenizer.load(_read(folder, TOKENIZER_FILE, what))
    checkpoint = torch.load(_read(folder, f"{CHECKPOINTS_FOLDER}/{BEST_CHECKPOINT}", what), map_location=device,
                            weights_only=True)
    model = build_model(kind, section, tokenizer)
    model.load_state_dict(checkpoint["model_state_dict"])
    return model.to(device).eval(), tokenizer, section


def load_recognizer(folder, device: str) -> Recognizer:
    """The best checkpoint of a recogniser's run folder, ready to transcribe."""
    folder = Path(folder)
    model, tokenizer, section = _load_trained("asr", folder, device)
    with open(_read(folder, RECOGNIZER_FILE, "recogniser"), encoding="utf-8") as f:
        settings = json.load(f)
    global_stats = None
    if "global_mean" in settings:
        global_stats = tuple(torch.tensor(settings[key], dtype=torch.float32) for key in ("global_mean", "global_std"))
    return Recognizer(model, tokenizer, section["data"], global_stats, settings["max_length"])


def load_language_model(folder, recognizer: Recognizer, device: str) -> DecoderOnlyTransformer:
    """The best checkpoint of a language model's run folder, for fusion with ``recognizer``,
    whose tokenizer it must share."""
    folder = Path(folder)
    model, tokenizer, _ = _load_trained("lm", folder, device)
    if tokenizer.vocab_size != recognizer.tokenizer.vocab_size or any(
            tokenizer.decode([i]) != recognizer.tokenizer.decode([i]) for i in range(tokenizer.vocab_size)):
        raise RecipeError(f"the language model in {folder} was trained with another tokenizer than the recogniser")
    return model

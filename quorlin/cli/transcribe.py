"""`quorlin transcribe`: audio files or folders through a trained run folder, to
"<id><TAB><text>" lines."""
import contextlib
import os
import sys
import tempfile
from typing import Any, Dict, List, Optional, Sequence

import torch
from tqdm import tqdm

from quorlin.recipe import RecipeError
from quorlin.run_folder import Recognizer, load_language_model, load_recognizer
from quorlin.cli.training import make_loader
from quorlin.data.maltrey import Maltrey
from quorlin.layout import TEST_PARTITION
from quorlin.decoding.recognition import recognize_batch
from quorlin.decoding.sequence_generator import SequenceGenerator
from quorlin.prep import audio_fbank
from quorlin.prep.errors import raise_problems
from quorlin.prep.files import save_npy
from quorlin.prep.runner import run_parallel
from quorlin.prep.sources import AUDIO_EXTENSIONS


def default_device() -> str:
    return "cuda" if torch.cuda.is_available() else "cpu"


def recognition_config(beam_width: int, lm_model=None, lm_weight: float = 0.0,
                       ctc_weight: float = 0.0) -> Dict[str, Any]:
    return {"num_batches": None, "beam_width": int(beam_width), "temperature": 1.0, "repeat_penalty": 1.0,
            "ctc_weight": float(ctc_weight), "lm_model": lm_model, "lm_weight": float(lm_weight)}


def feature_dataset(recognizer: Recognizer, root: str) -> Maltrey:
    """The features of ``root``/"test-clean"/fbank as the recogniser's inputs: its number of
    bins and its normalisation, no augmentation."""
    data = {**recognizer.data, "root": root, "specaug": False}
    return Maltrey(TEST_PARTITION, data, recognizer.tokenizer, False, recognizer.global_stats)


def transcribe_loader(recognizer: Recognizer, loader, config: Dict[str, Any], max_length: int, device: str,
                      desc: str) -> List[str]:
    """The transcripts of every utterance of ``loader``, in its order."""
    generator = SequenceGenerator(score_fn=None, tokenizer=recognizer.tokenizer, max_length=max_length,
                                  device=device)
    texts = []
    with torch.inference_mode():
        for feats, _, _, feat_lengths, _ in tqdm(loader, desc=desc, dynamic_ncols=True, leave=False):
            hypotheses, _ = recognize_batch(recognizer.model, generator, feats.to(device), feat_lengths.to(device),
                                            config)
            texts += hypotheses
    return texts


def audio_inputs(inputs: Sequence[str]) -> List[tuple]:
    """(id, path) of every audio file named or found below a named folder; the id is the
    file name without its extension."""
    found = []
    for item in inputs:
        if os.path.isdir(item):
            found += sorted((os.path.splitext(name)[0], os.path.join(folder, name))
                            for folder, _, names in os.walk(item) for name in names
                            if name.endswith(AUDIO_EXTENSIONS))
        elif os.path.isfile(item):
            found.append((os.path.splitext(os.path.basename(item))[0], item))
        else:
            raise RecipeError(f"{item}: no such audio file or folder")
    if not found:
        raise RecipeError(f"no audio files ({', '.join(AUDIO_EXTENSIONS)}) in {', '.join(inputs)}")
    seen = {}
    repeated = [f"{path} and {seen[i]} both have the id {i!r}" for i, path in found
                if seen.setdefault(i, path) != path]
    raise_problems(repeated, "the audio files")
    return found


def tsv_lines(ids: Sequence[str], texts: Sequence[str]) -> str:
    """"<id><TAB><text>" lines."""
    return "".join(f"{i}\t{t}\n" for i, t in zip(ids, texts))


def _write_features(job) -> None:
    audio_path, fbank_path, num_mel_bins = job
    save_npy(fbank_path, audio_fbank(audio_path, num_mel_bins))


def transcribe(run: str, inputs: Sequence[str], lm: Optional[str] = None, lm_weight: float = 0.3,
               beam_width: int = 1, batch_size: int = 16, max_length: Optional[int] = None,
               output: Optional[str] = None, ctc_weight: float = 0.0) -> None:
    """Transcribes ``inputs`` with the best checkpoint of the run folder ``run``, its CTC head's
    scores weighted in by ``ctc_weight``, fused with the language model of the run folder ``lm``
    when given; prints or writes the lines."""
    device = default_device()
    # Reports go to standard error, so that standard output holds the transcripts alone.
    with contextlib.redirect_stdout(sys.stderr), tempfile.TemporaryDirectory(prefix="quorlin-") as root:
        recognizer = load_recognizer(run, device)
        lm_model = load_language_model(lm, recognizer, device) if lm else None
        found = audio_inputs(inputs)
        fbank_dir = os.path.join(root, TEST_PARTITION, "fbank")
        os.makedirs(fbank_dir)
        # Numbered names keep the inputs' order in the dataset's sorted listing.
        jobs = [(path, os.path.join(fbank_dir, f"{n:08d}.npy"), recognizer.data["num_feats"])
                for n, (_, path) in enumerate(found)]
        raise_problems(run_parallel(_write_features, jobs, desc="[Computing features]"), "the audio files")
        dataset = feature_dataset(recognizer, root)
        loader = make_loader(dataset, {"batch_size": batch_size}, False)
        texts = transcribe_loader(recognizer, loader, recognition_config(beam_width, lm_model, lm_weight, ctc_weight),
                                  max_length or recognizer.max_length, device, "[Transcribing]")
    lines = tsv_lines([utt_id for utt_id, _ in found], texts)
    if output:
        with open(output, "w", encoding="utf-8") as f:
            f.write(lines)
        print(f"{len(found)} transcripts written to {output}", file=sys.stderr)
    else:
        sys.stdout.write(lines)

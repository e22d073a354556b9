"""`quorlin prepare`: audio and text of a recipe into the layouts the datasets read, and the
tokenizer that the LM and the recogniser share."""
import os
from typing import Any, Dict, List

from quorlin.recipe import RecipeError, load_tokenizer, tokenizer_path
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.layout import LM_PARTITIONS
from quorlin.prep import (PARTITIONS, Utterance, librispeech_utterances, manifest_utterances, normalize_transcript,
                          prepare_asr, prepare_lm, read_text_lines)

# The LM partitions: its own text for training, the recogniser's dev and test transcripts.


def utterances(source: str) -> List[Utterance]:
    """A LibriSpeech-style folder, or a manifest file of "audio<TAB>transcript" lines."""
    if os.path.isdir(source):
        return librispeech_utterances(source)
    if os.path.isfile(source):
        return manifest_utterances(source)
    raise RecipeError(f"{source}: no such folder or manifest file")


def prepare(recipe: Dict[str, Any]) -> None:
    """Prepares the three ASR partitions, the LM partitions and the tokenizer; what is
    already there is kept, so an interrupted run goes on where it stopped."""
    section = recipe["prepare"]
    asr_data, lm_root = recipe["asr"]["data"], recipe["lm"]["data"]["root"]
    transcripts = {}
    for split, partition in PARTITIONS.items():
        if split not in section:
            raise RecipeError(f"the prepare section has no {split!r} source")
        found = utterances(section[split])
        print(f"{partition}: {len(found)} utterances from {section[split]}")
        speeds = section.get("speed_perturb", []) if split == "train" else []
        if not isinstance(speeds, list):
            raise RecipeError(f"prepare.speed_perturb must be a list of speed factors, got {speeds!r}")
        counts = prepare_asr(found, asr_data["root"], partition, num_mel_bins=asr_data["num_feats"],
                             speed_factors=speeds)
        print(f"{partition}: {counts['prepared']} prepared, {counts['skipped']} already there")
        transcripts[split] = [normalize_transcript(u.text) for u in found]

    lm_text = transcripts["train"]
    if section.get("lm_text"):
        lm_text = [line for path in section["lm_text"] for line in read_text_lines(path)]
    for split, texts in (("train", lm_text), ("dev", transcripts["dev"]), ("test", transcripts["test"])):
        counts = prepare_lm(texts, lm_root, LM_PARTITIONS[split])
        print(f"LM {split}: {counts['prepared']} texts prepared, {counts['skipped']} already there")

    path = tokenizer_path(recipe)
    if os.path.exists(path):
        print(f"Tokenizer: {load_tokenizer(recipe)} kept in {path}")
        return
    texts = [normalize_transcript(t) for t in lm_text] + transcripts["train"]
    tokenizer = VaskTokenizer.from_texts(texts, **recipe.get("tokenizer", {"kind": "char"}))
    tokenizer.save(path)
    print(f"Tokenizer: {tokenizer} written to {path}")

"""Preparing a recipe's data: every speech set into the layout the recogniser's datasets read,
the LM text into the layout the LM dataset reads, and the tokenizer both models share.

    from quorlin.recipe import load_recipe
    from quorlin.pipeline.prepare import prepare
    prepare(load_recipe("recipes/demo.yaml"), jobs=2)
"""
import contextlib
import logging
import os
import warnings
from typing import Any, Dict, List, Optional

from quorlin.errors import QuorlinWarning
from quorlin._locks import folder_lock
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.layout import LM_PARTITIONS, SET_PARTITIONS
from quorlin.prep import prepare_asr, prepare_lm, read_text_lines, source_utterances
from quorlin.prep.text import TextNormalizer, spoken_in_words
from quorlin.recipe import evaluation_sets, tokenizer_path

log = logging.getLogger(__name__)


def prepare(recipe: Dict[str, Any], jobs: Optional[int] = None) -> None:
    """Prepares the training set, every dev and test set, the LM text and the tokenizer, the
    transcripts normalised as ``prepare.text`` says. What is already prepared from the same
    sources is kept, so an interrupted run goes on where it stopped; what changed is prepared
    again.

    Two preparations of the same data do not run side by side: the second waits for the
    first (each data root is locked), then finds its work done.

    Args:
        recipe: a loaded recipe.
        jobs: processes computing filter banks (default: all cores).
    """
    with contextlib.ExitStack() as locks:
        roots = {os.path.realpath(recipe[kind]["data"]["root"]): recipe[kind]["data"]["root"] for kind in ("asr", "lm")}
        for resolved in sorted(roots):  # one order for every process: none waits on another that waits on it
            os.makedirs(resolved, exist_ok=True)
            locks.enter_context(folder_lock(roots[resolved], exclusive=True, wait=True))
        _prepare(recipe, jobs)


def _prepare(recipe: Dict[str, Any], jobs: Optional[int]) -> None:
    section = recipe["prepare"]
    normalizer = TextNormalizer(section["text"])
    data = recipe["asr"]["data"]
    train_set = SET_PARTITIONS["train"]
    sets = [(train_set, section["train"], section["speed_perturb"])]
    sets += [(name, source, []) for split in ("dev", "test") for name, source in evaluation_sets(recipe, split)]
    transcripts = {}
    for partition, source, speeds in sets:
        found = [u._replace(text=normalizer(u.text, where=f"{u.utt_id} ({source})")) for u in source_utterances(source)]
        log.info(f"{partition}: {len(found)} utterances from {source}")
        counts = prepare_asr(found, data["root"], partition, num_mel_bins=data["num_feats"], num_workers=jobs,
                             normalize=None, speed_factors=speeds)
        log.info(f"{partition}: {counts['prepared']} prepared, {counts['skipped']} already there")
        transcripts[partition] = [u.text for u in found]

    train = transcripts[train_set]
    lm_text = train
    if section.get("lm_text"):
        lm_text = [normalizer(line, where=f"{path}, line {n}")
                   for path in section["lm_text"] for n, line in enumerate(read_text_lines(path), start=1)]
    first_dev, first_test = (evaluation_sets(recipe, split)[0][0] for split in ("dev", "test"))
    for split, texts in (("train", lm_text), ("dev", transcripts[first_dev]), ("test", transcripts[first_test])):
        counts = prepare_lm(texts, recipe["lm"]["data"]["root"], LM_PARTITIONS[split], normalize=None)
        log.info(f"LM {split}: {counts['prepared']} texts prepared, {counts['skipped']} already there")
    report = normalizer.report()
    if report:
        log.info(report)
    spoken = spoken_in_words(train)
    if spoken and recipe["tokenizer"]["kind"] == "char":
        warnings.warn(f"the training transcripts hold {spoken}: a character tokenizer learns each as a character "
                      "of its own, which speech says in words; write numbers and symbols out as they are spoken, or "
                      "leave them out with prepare.text.alphabet", QuorlinWarning)
    _prepare_tokenizer(recipe, [t for t in lm_text if t] + train)


def _prepare_tokenizer(recipe: Dict[str, Any], texts: List[str]) -> None:
    """Builds the tokenizer from the prepared texts; an existing one is kept when it is the same."""
    path = tokenizer_path(recipe)
    tokenizer = VaskTokenizer.from_texts(texts, **recipe["tokenizer"])
    if os.path.exists(path) and VaskTokenizer.load(path) == tokenizer:
        log.info(f"Tokenizer: {tokenizer} kept in {path}")
        return
    tokenizer.save(path)
    log.info(f"Tokenizer: {tokenizer} written to {path}")


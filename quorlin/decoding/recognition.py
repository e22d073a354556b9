"""Speech recognition of padded batches by an encoder-decoder model.

The trainer, ``quorlin evaluate`` and ``quorlin transcribe`` all recognise through
``recognize_batch``, so a trained model transcribes the same way wherever it runs.
"""
from typing import Dict, List, NamedTuple, Optional, Tuple

import torch

from quorlin.decoding.ctc_prefix import CTCPrefixScorer
from quorlin.decoding.scorer import (IncrementalScorer, LanguageModelScorer, RecognizerScorer, ShallowFusionScorer,
                                     WeightedSumScorer)
from quorlin.decoding.sequence_generator import SequenceGenerator


class Search(NamedTuple):
    """A search setting: beam width (1 is greedy), the CTC head's weight in the joint score
    and the language model's weight in shallow fusion (used only with a language model)."""
    beam_width: int = 1
    ctc_weight: float = 0.0
    lm_weight: float = 0.0


class Hypothesis(NamedTuple):
    """What a search recognised in one utterance: its token ids (special ids dropped), their
    text, and the search's score (-inf when the CTC head's best path stood in for it)."""
    ids: List[int]
    text: str
    score: float


def batch_scorer(model, tokenizer, encoder_output: torch.Tensor, pad_mask_src: torch.Tensor,
                 ctc_inputs: Dict[str, torch.Tensor], search: Search, lm=None) -> IncrementalScorer:
    """The scorer of one encoded batch: the recogniser's next-token log-probabilities; with a
    CTC weight λ > 0, (1 - λ) times those plus λ times the CTC head's prefix scores (joint
    CTC/attention decoding), a hypothesis then scoring (1 - λ) log P_att + λ log P_ctc; plus
    ``search.lm_weight`` times the language model's log-probabilities when ``lm`` is given and
    weighted (shallow fusion). Searches run every part incrementally."""
    scorer = RecognizerScorer(model, encoder_output, pad_mask_src)
    if search.ctc_weight > 0:
        ctc = CTCPrefixScorer(ctc_inputs["log_probs"], ctc_inputs["lengths"], tokenizer.pad_id, tokenizer.eos_id)
        scorer = WeightedSumScorer([(scorer, 1.0 - search.ctc_weight), (ctc, search.ctc_weight)], final=True)
    if lm is None or search.lm_weight == 0:
        return scorer  # a language model weighted by 0 would run for nothing
    return ShallowFusionScorer(scorer, LanguageModelScorer(lm), search.lm_weight)


def recognize_batch(model, tokenizer, feats: torch.Tensor, feat_lengths: torch.Tensor, search: Search, lm=None,
                    max_length: Optional[int] = None, ctc_trained: bool = True, temperature: float = 1.0,
                    repeat_penalty: float = 1.0) -> Tuple[List[Hypothesis], Dict[str, torch.Tensor]]:
    """Transcribes one batch by greedy search (``beam_width`` 1) or beam search.

    Every utterance's search stops at a length its own encoder frames allow (under CTC each
    label needs a frame), whatever else is in the batch, so an utterance is recognised the
    same alone or among others. Attention-only beam search ranks its beams per token. A
    hypothesis that never reached the end id, or (when the CTC head was trained) one that
    the head cannot align to the utterance's frames, is a runaway: the best beam that
    ended stands in for it, else the CTC head's best path.

    Args:
        model: an ``EncoderDecoderTransformer`` in evaluation mode.
        tokenizer: its tokenizer.
        feats: (N, T, num_feats) padded features, on the model's device.
        feat_lengths: (N,) frame counts.
        search: the search setting.
        lm: a ``DecoderOnlyTransformer`` over the same tokenizer, fused in with ``search.lm_weight``.
        max_length: the longest sequence searched, the start id included (default: the
            model's ``max_len``).
        ctc_trained: whether the model's CTC head was trained, so that its best path may
            stand in for a runaway hypothesis.
        temperature: divides the scores (> 0).
        repeat_penalty: penalty on repeated tokens (beam search only; 1.0 is none).

    Returns:
        one ``Hypothesis`` per utterance, and the batch's CTC inputs ({"log_probs": (S, N, V),
        "lengths": (N,)}, from the model's ``encode``).
    """
    encoder_output, pad_mask_src, _, ctc_inputs = model.encode(feats, feat_lengths)
    longest = min(model.max_len, max_length or model.max_len)
    limits = (ctc_inputs["lengths"] + 2).clamp(min=2, max=longest)  # (N,): start id, labels, end id
    generator = SequenceGenerator(score_fn=batch_scorer(model, tokenizer, encoder_output, pad_mask_src, ctc_inputs,
                                                        search, lm),
                                  tokenizer=tokenizer, max_length=int(limits.max()), device=feats.device)
    prompts = torch.full((feats.size(0), 1), tokenizer.sos_id, dtype=torch.long, device=feats.device)  # (N, 1)
    if search.beam_width > 1:
        seqs, scores = generator.generate_beam(prompts, beam_width=search.beam_width, temperature=temperature,
                                               repeat_penalty=repeat_penalty, max_lengths=limits,
                                               normalize_length=search.ctc_weight == 0,
                                               best_only=True)  # (N, W, L), (N, W)
    else:
        seqs, scores = generator.generate_greedy(prompts, temperature=temperature, max_lengths=limits)
        seqs, scores = seqs.unsqueeze(1), scores.unsqueeze(1)  # one beam: (N, 1, L), (N, 1)
    hypotheses = []
    for n in range(feats.size(0)):
        frames = int(ctc_inputs["lengths"][n])
        chosen = _first_sound_beam(seqs[n], scores[n], tokenizer, frames if ctc_trained else None)
        if chosen is not None:
            ids, score = chosen
        elif ctc_trained:
            ids, score = ctc_best_path(ctc_inputs["log_probs"][:frames, n], tokenizer), float("-inf")
        else:
            ids, score = _labels(seqs[n, 0].tolist(), tokenizer), float(scores[n, 0])
        hypotheses.append(Hypothesis(ids, tokenizer.decode(ids, skip_special_tokens=True), score))
    return hypotheses, ctc_inputs


def _first_sound_beam(seqs: torch.Tensor, scores: torch.Tensor, tokenizer,
                      frames: Optional[int]) -> Optional[Tuple[List[int], float]]:
    """The labels and score of the best of one utterance's beams (W, L) that ended with a
    finite score and, when ``frames`` is given, that a CTC head can align to that many frames."""
    for row, score in zip(seqs.tolist(), scores.tolist()):
        if tokenizer.eos_id not in row or score == float("-inf"):
            continue
        labels = _labels(row, tokenizer)
        if frames is None or ctc_frames_needed(labels) <= frames:
            return labels, score
    return None


def _labels(row: List[int], tokenizer) -> List[int]:
    """The tokens of a searched row up to its end id, without special ids."""
    if tokenizer.eos_id in row:
        row = row[:row.index(tokenizer.eos_id)]
    special = (tokenizer.pad_id, tokenizer.sos_id, tokenizer.eos_id)
    return [t for t in row if t not in special]


def ctc_frames_needed(labels: List[int]) -> int:
    """The fewest frames a CTC head needs to read ``labels`` and the end id after them: one
    per label, and a blank between two equal labels.

    Example:
        >>> ctc_frames_needed([5, 5, 7])
        5
    """
    return len(labels) + 1 + sum(a == b for a, b in zip(labels[:-1], labels[1:]))


def ctc_best_path(log_probs: torch.Tensor, tokenizer) -> List[int]:
    """The labels of the CTC head's most likely frame-by-frame reading (S, V) of one
    utterance: the best token of every frame, repeats merged, blanks dropped, up to the end
    id. Frames reading "a a <blank> a b <end>" give the labels "a a b"."""
    best = torch.unique_consecutive(log_probs.argmax(dim=-1)).tolist()
    if tokenizer.eos_id in best:
        best = best[:best.index(tokenizer.eos_id)]
    return [t for t in best if t not in (tokenizer.pad_id, tokenizer.sos_id)]

"""Speech recognition of padded batches by an encoder-decoder model, and its error rates.

The trainer's ``recognize`` and the command line's transcription share these functions, so
a trained model transcribes the same way wherever it runs.
"""
from typing import Any, Dict, List, Tuple, Union

import torch
import torchmetrics.text as tmt

from quorlin._checks import as_float
from quorlin.decoding.ctc_prefix import CTCPrefixScorer
from quorlin.decoding.scorer import (IncrementalScorer, LanguageModelScorer, RecognizerScorer, ShallowFusionScorer,
                                     WeightedSumScorer)
from quorlin.decoding.sequence_generator import SequenceGenerator


def batch_scorer(model, tokenizer, encoder_output: torch.Tensor, pad_mask_src: torch.Tensor,
                 ctc_inputs: Dict[str, torch.Tensor], recognition_config: Dict[str, Any]) -> IncrementalScorer:
    """The scorer of one encoded batch: the recogniser's next-token scores; with a
    ``ctc_weight`` λ > 0 in the configuration, (1 - λ) times those plus λ times the CTC
    head's prefix scores (joint CTC/attention decoding, from the model's ``ctc_inputs``),
    a hypothesis then scoring (1 - λ) log P_att + λ log P_ctc with no renormalisation;
    plus ``lm_weight`` times the language model's when the configuration has an
    ``lm_model`` and a weight other than 0 (shallow fusion). Searches run every part incrementally."""
    scorer = RecognizerScorer(model, encoder_output, pad_mask_src)
    ctc_weight = as_float(recognition_config.get("ctc_weight", 0.0), "ctc_weight")
    if not 0.0 <= ctc_weight <= 1.0:
        raise ValueError(f"ctc_weight must lie in [0, 1], got {ctc_weight}")
    if ctc_weight > 0:
        ctc = CTCPrefixScorer(ctc_inputs["log_probs"], ctc_inputs["lengths"], tokenizer.pad_id, tokenizer.eos_id)
        scorer = WeightedSumScorer([(scorer, 1.0 - ctc_weight), (ctc, ctc_weight)], final=True)
    lm_model = recognition_config.get("lm_model")
    if lm_model is None or recognition_config["lm_weight"] == 0:
        return scorer  # a language model weighted by 0 would run for nothing
    return ShallowFusionScorer(scorer, LanguageModelScorer(lm_model), recognition_config["lm_weight"])


def recognize_batch(model, generator: SequenceGenerator, feats: torch.Tensor, feat_lengths: torch.Tensor,
                    recognition_config: Dict[str, Any]) -> Tuple[List[str], List[float]]:
    """Transcribes one batch by greedy search (``beam_width`` 1) or beam search.

    Args:
        model: an ``EncoderDecoderTransformer`` in evaluation mode.
        generator: searches with the generator's tokenizer and ``max_length``; its
            ``score_fn`` is replaced by the batch's scorer.
        feats: (N, T, num_feats) padded features, on the model's device.
        feat_lengths: (N,) frame counts.
        recognition_config: ``beam_width``, ``temperature`` (1.0), ``repeat_penalty``
            (1.0, beam search only), ``ctc_weight`` (0.0), ``lm_model`` (None) and ``lm_weight``.

    Returns:
        the N transcripts (special tokens dropped) and their scores.
    """
    tokenizer = generator.tokenizer
    encoder_output, pad_mask_src, _, ctc_inputs = model.encode(feats, feat_lengths)
    generator.score_fn = batch_scorer(model, tokenizer, encoder_output, pad_mask_src, ctc_inputs,
                                      recognition_config)
    prompts = torch.full((feats.size(0), 1), tokenizer.sos_id, dtype=torch.long, device=feats.device)  # (N, 1)
    temperature = recognition_config.get("temperature", 1.0)
    if recognition_config["beam_width"] > 1:
        seqs, scores = generator.generate_beam(prompts, beam_width=recognition_config["beam_width"],
                                               temperature=temperature,
                                               repeat_penalty=recognition_config.get("repeat_penalty", 1.0))
        seqs, scores = seqs[:, 0, :], scores[:, 0]  # the best beam: (N, L), (N,)
    else:
        seqs, scores = generator.generate_greedy(prompts, temperature=temperature)
    generator.score_fn = None  # the scorer holds the batch's encoder output and caches
    return decode_ids(generator, seqs), scores.tolist()


def decode_ids(generator: SequenceGenerator, seqs: torch.Tensor) -> List[str]:
    """The texts of (N, L) id rows, each cut at its end id, without special tokens."""
    tokenizer = generator.tokenizer
    return [tokenizer.decode(seq.tolist(), skip_special_tokens=True)
            for seq in generator.post_process_sequence(seqs, tokenizer)]


def asr_metrics(references: Union[str, List[str]], hypotheses: Union[str, List[str]]) -> Dict[str, float]:
    """Mean word edit distance per utterance, and word and character error rates in percent.

    Example:
        >>> asr_metrics(["the cat sat down"], ["the cat sat dawn"])["wer"]
        25.0
    """
    word_dist = tmt.EditDistance(reduction="mean")(hypotheses, references)
    wer = tmt.WordErrorRate()(hypotheses, references)
    cer = tmt.CharErrorRate()(hypotheses, references)
    return {"word_dist": word_dist.item(), "wer": wer.item() * 100, "cer": cer.item() * 100}

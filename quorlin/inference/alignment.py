"""Word times from the CTC head: the recognised tokens force-aligned to the encoder frames."""
import re
from typing import List, Sequence

import torch
import torchaudio

from quorlin.data.tokenizer import VaskTokenizer
from quorlin.inference.results import Word, spread_words


def align_words(log_probs: torch.Tensor, token_ids: Sequence[int], tokenizer: VaskTokenizer,
                frame_seconds: float, offset: float = 0.0) -> List[Word]:
    """The words of the recognised tokens, timed by forced alignment on the CTC head.

    The CTC head learned each transcript's tokens followed by the end id, with the padding
    id as blank, so the tokens plus the end id are aligned. Words are the text's runs of
    non-space characters; a word spans the frames of its first to its last token. When
    the tokens cannot be aligned (more labels than frames allow), the words share the
    segment's frames in proportion to their lengths instead.

    Args:
        log_probs: one segment's CTC log-probabilities, its valid frames only.
        token_ids: the recognised ids; start, end and padding ids are ignored.
        tokenizer: the model's tokenizer.
        frame_seconds: seconds per encoder frame (0.01 times the time reduction).
        offset: where the segment starts in the recording, in seconds.

    Shapes:
        log_probs: (S, V)

    Returns:
        the words in order, timed in seconds from the start of the recording, within
        [offset, offset + S * frame_seconds].

    Example:
        >>> words = align_words(ctc["log_probs"][:ctc["lengths"][0], 0], hyp_ids, tokenizer, 0.04, 12.5)
    """
    if log_probs.dim() != 2 or log_probs.size(1) != tokenizer.vocab_size:
        raise ValueError(f"log_probs must have shape (S, {tokenizer.vocab_size}) for a tokenizer of "
                         f"{tokenizer.vocab_size} ids, got {tuple(log_probs.shape)}")
    special = (tokenizer.pad_id, tokenizer.sos_id, tokenizer.eos_id)
    ids = [int(t) for t in token_ids if int(t) not in special]
    spans = _word_token_spans(ids, tokenizer)
    if not spans:
        return []
    frames = log_probs.size(0)
    targets = ids + [tokenizer.eos_id]
    # CTC needs a blank between repeated labels.
    needed = len(targets) + sum(a == b for a, b in zip(targets[:-1], targets[1:]))
    # The aligner returns an invalid path when every path scores -inf (or NaN): a floor on
    # the scores keeps some path finite without changing which one is best otherwise.
    log_probs = log_probs.detach().float().cpu().clamp(min=-1e6)
    token_frames = None
    if needed <= frames and not torch.isnan(log_probs).any():
        path, scores = torchaudio.functional.forced_align(
            log_probs.unsqueeze(0),  # (S, V) -> (1, S, V)
            torch.tensor([targets], dtype=torch.int32), blank=tokenizer.pad_id)
        token_frames = [(t.start, t.end) for t in
                        torchaudio.functional.merge_tokens(path[0], scores[0].exp(), blank=tokenizer.pad_id)]
    if token_frames is None:
        return spread_words([text for text, _, _ in spans], offset, offset + frames * frame_seconds)
    return [Word(offset + token_frames[first][0] * frame_seconds, offset + token_frames[last][1] * frame_seconds,
                 text) for text, first, last in spans]


def _word_token_spans(ids: List[int], tokenizer: VaskTokenizer) -> List[tuple]:
    """(word, index of its first token, index of its last token) of each word of the text."""
    text = tokenizer.decode(ids)
    # Token k holds the characters from the end of the text of ids[:k] to the end of ids[:k + 1].
    ends, end = [], 0
    for k in range(len(ids)):
        end = min(max(end, len(tokenizer.decode(ids[:k + 1]))), len(text))
        ends.append(end)
    owner = []
    for k, end in enumerate(ends):
        owner += [k] * (end - len(owner))
    return [(m.group(), owner[m.start()], owner[m.end() - 1]) for m in re.finditer(r"\S+", text)]

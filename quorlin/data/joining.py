"""Training utterances joined in pairs, one after the other. A recogniser trained on single
sentences alone reads a sentence's end as the end of what it hears; a long recording is cut
wherever it pauses, so its segments end and start mid-sentence and hold a sentence's end
within them. Trained on pairs too, it reads on across the boundary.

A pair is joined only when it is no longer, in frames and in tokens, than the longest training
utterance: the lengths the model learns from, and that the transcriber aims its segments at,
stay those of the corpus.
"""
from typing import List, Sequence, Tuple

import torch

from quorlin.data.tokenizer import VaskTokenizer


class UtteranceJoiner:
    """Joins a share of the utterances it is given with a partner.

    Args:
        prob: the share of utterances joined, in [0, 1].
        tokenizer: encodes the space that goes between the two transcripts; none goes between
            them when its vocabulary has no space.

    The randomness is torch's, so that a seeded run draws the same pairs.
    """

    def __init__(self, prob: float, tokenizer: VaskTokenizer):
        if not 0 <= prob <= 1:
            raise ValueError(f"prob must lie in [0, 1], got {prob!r}")
        self.prob = float(prob)
        space = tokenizer.encode(" ")
        self.separator = [] if tokenizer.unk_id in space else space

    def __call__(self, feats: torch.Tensor, ids: List[int], partner_feats, partner_ids: Sequence[int],
                 max_frames: int, max_tokens: int) -> Tuple[torch.Tensor, List[int]]:
        """Filter banks (num_feats, T) and token ids (no start or end token) of an utterance,
        followed, with the share's chance, by its partner's; as it is when the pair would hold
        more than ``max_frames`` frames or ``max_tokens`` tokens."""
        ids = list(ids)
        if (float(torch.rand(())) >= self.prob or feats.shape[1] + partner_feats.shape[1] > max_frames
                or len(ids) + len(self.separator) + len(partner_ids) > max_tokens):
            return feats, ids
        joined = ids + self.separator + list(partner_ids)
        return torch.cat([feats, torch.as_tensor(partner_feats)], dim=1), joined  # (num_feats, T + T_p)


def utterance_joiner(config: dict, tokenizer: VaskTokenizer):
    """The joiner that a data section's ``join_prob`` asks for; None when it asks for none, as
    configurations from before the key do not."""
    prob = config.get("join_prob", 0)
    return UtteranceJoiner(prob, tokenizer) if prob > 0 else None

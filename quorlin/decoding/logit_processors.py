"""Plain functions that reshape next-token scores before a search picks from them."""
import torch


def apply_repeat_penalty(scores: torch.Tensor, seqs: torch.Tensor, penalty: float) -> torch.Tensor:
    """Makes every token already present in a sequence less likely.

    A seen token's score is divided by ``penalty`` when positive and multiplied by it
    otherwise, so a penalty above 1 always lowers it (log-probabilities are <= 0).

    Args:
        scores: (N, V) next-token scores.
        seqs: (N, t) token ids generated so far.
        penalty: strength; 1.0 leaves ``scores`` unchanged.

    Returns:
        (N, V) penalised scores.

    Example:
        >>> apply_repeat_penalty(torch.tensor([[-1.0, -2.0]]), torch.tensor([[1]]), 2.0)
        tensor([[-1., -4.]])
    """
    if penalty == 1.0:
        return scores
    seen = torch.zeros_like(scores, dtype=torch.bool).scatter_(1, seqs, True)  # (N, V)
    penalised = torch.where(scores > 0, scores / penalty, scores * penalty)
    return torch.where(seen, penalised, scores)


def filter_top_k_top_p(log_probs: torch.Tensor, top_k: int = 0, top_p: float = 1.0) -> torch.Tensor:
    """Sets to ``-inf`` every token outside the top-k set and outside the nucleus.

    Args:
        log_probs: (N, V) normalised log-probabilities.
        top_k: keep exactly the k most likely tokens (of equal ones, the lower ids);
            0 keeps all.
        top_p: keep the smallest set of most likely tokens (among those top-k kept)
            whose probability reaches ``top_p``; 0 or 1 keeps all. The most likely
            token always survives.

    Returns:
        (N, V) filtered log-probabilities (not renormalised).

    Example:
        >>> filter_top_k_top_p(torch.tensor([[0.5, 0.3, 0.2]]).log(), top_k=2).exp()
        tensor([[0.5000, 0.3000, 0.0000]])
    """
    if 0 < top_k < log_probs.size(-1):
        order = log_probs.sort(dim=-1, descending=True, stable=True).indices  # (N, V)
        outside = torch.ones_like(log_probs, dtype=torch.bool).scatter_(1, order[:, :top_k], False)
        log_probs = log_probs.masked_fill(outside, float("-inf"))
    if 0.0 < top_p < 1.0:
        sorted_log_probs, order = log_probs.sort(dim=-1, descending=True, stable=True)  # (N, V)
        sorted_probs = sorted_log_probs.softmax(dim=-1)  # renormalised over what top-k left
        mass_before = sorted_probs.cumsum(dim=-1) - sorted_probs  # (N, V)
        outside_sorted = mass_before >= top_p
        outside = outside_sorted.scatter(1, order, outside_sorted)  # back to vocabulary order
        log_probs = log_probs.masked_fill(outside, float("-inf"))
    return log_probs

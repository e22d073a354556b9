"""Boolean attention masks; ``True`` marks a position to be ignored."""
import torch


def PadMask(padded_input, input_lengths):
    """Padding mask of a batch: ``True`` at every time step at or beyond its length.

    Args:
        padded_input: tensor whose first two dimensions are (N, T); only its shape
            and device are read.
        input_lengths: (N,) integer tensor of valid lengths.

    Returns:
        (N, T) ``torch.bool`` mask on ``padded_input.device``.

    Example:
        >>> PadMask(torch.zeros(2, 4), torch.tensor([2, 4]))
        tensor([[False, False,  True,  True],
                [False, False, False, False]])
    """
    N, T = padded_input.shape[:2]
    indices = torch.arange(T, device=padded_input.device).unsqueeze(0)  # (1, T)
    lengths = input_lengths.unsqueeze(1)  # (N, 1)
    return indices >= lengths  # (N, T)


def CausalMask(padded_input):
    """Causal mask: ``True`` strictly above the diagonal, so step i sees steps <= i only.

    Args:
        padded_input: tensor of shape (N, T, ...); only ``shape[1]`` and the device are read.

    Returns:
        (T, T) ``torch.bool`` mask on ``padded_input.device``.

    Example:
        >>> CausalMask(torch.zeros(1, 3))
        tensor([[False,  True,  True],
                [False, False,  True],
                [False, False, False]])
    """
    T = padded_input.shape[1]
    device = padded_input.device
    return torch.triu(torch.ones((T, T), dtype=torch.bool, device=device), diagonal=1)

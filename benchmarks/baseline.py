"""What the trainer benchmarks measure against: wall-clock timing on the training device, and
the update of a plain hand-written training loop."""
import time

import torch


def timed(fn):
    """Seconds that ``fn()`` takes, with queued CUDA work finished before and after."""
    if torch.cuda.is_available():
        torch.cuda.synchronize()
    start = time.perf_counter()
    fn()
    if torch.cuda.is_available():
        torch.cuda.synchronize()
    return time.perf_counter() - start


def plain_update(trainer, loss, i, accumulation, num_batches):
    """Scaled backward pass of batch ``i``, and the update after every group and the last batch."""
    trainer.scaler.scale(loss / accumulation).backward()
    if (i + 1) % accumulation == 0 or i + 1 == num_batches:
        trainer.scaler.step(trainer.optimizer)
        trainer.scheduler.step()
        trainer.scaler.update()
        trainer.optimizer.zero_grad()

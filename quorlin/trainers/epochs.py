"""The epoch loop of the trainers: a pass over a loader with mixed precision, gradient
accumulation and, under torchrun, this process's share of the data and the all-reduce of the
gradients (``DistributedDataParallel``)."""
import contextlib
from typing import Any, Callable, Dict, Optional, Tuple

import torch
from torch import nn
from torch.nn.parallel import DistributedDataParallel

from quorlin.console import progress_bar
from quorlin.trainers import distributed

# Values of training.autocast_dtype: the autocast dtype of training forward passes (None: no autocast).
AUTOCAST_DTYPES = {"float16": torch.float16, "bfloat16": torch.bfloat16, "float32": None}


class EpochLoop:
    """The epoch loop that ``Stolvar`` gives every trainer.

    It uses the trainer's ``model``, ``device``, ``optimizer``, ``scheduler``, ``scaler``,
    ``current_epoch``, ``autocast_dtype`` (None: no autocast) and ``accumulation_steps``
    (batches per update); ``_shards``, ``_ddp`` and ``_ddp_key`` hold this process's loaders
    and DDP wrapper.
    """

    def _autocast(self):
        """The context of a training forward pass: autocast in ``autocast_dtype``, or none."""
        if self.autocast_dtype is None:
            return contextlib.nullcontext()
        return torch.autocast(device_type=torch.device(self.device).type, dtype=self.autocast_dtype)

    def _progress_bar(self, total: int, desc: str):
        """The progress bar of a pass over a loader; drawn by the main process only, since
        several processes' bars would overwrite each other on one terminal."""
        return progress_bar(total=total, position=0, desc=desc, disable=not distributed.is_main_process())

    def _rank_loader(self, dataloader, training: bool = True, num_batches: Optional[int] = None):
        """The loader this process iterates in the current epoch: ``dataloader`` itself in a
        single process; under torchrun a loader over this rank's share of its data (see
        ``distributed.shard_loader``), made once per loader, evaluation shards covering the
        first ``num_batches`` batches of ``dataloader`` (all for None). A training sampler with
        ``set_epoch`` is set to the current epoch, so that an epoch's order follows from its
        number, also in a run resumed from a checkpoint."""
        if not distributed.active():
            if training and hasattr(dataloader.sampler, "set_epoch"):
                dataloader.sampler.set_epoch(self.current_epoch)
            return dataloader
        key = (training, num_batches)
        shards = self._shards.setdefault(dataloader, {})
        if key not in shards:
            shards[key] = distributed.shard_loader(dataloader, training, num_batches)
        shard = shards[key]
        shard.sampler.set_epoch(self.current_epoch)
        return shard

    def training_loader(self, dataloader):
        """The loader an epoch of training on ``dataloader`` iterates in this process:
        ``dataloader`` itself in a single process, under torchrun this rank's share of it.
        Its length is the number of batches per epoch: with ``gradient_accumulation_steps``
        G, an epoch makes ceil(batches / G) updates, the steps of per-update schedulers.

        Example:
            >>> trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"],
            ...                                      trainer.training_loader(train_loader), G)
        """
        return self._rank_loader(dataloader)

    def _training_module(self, find_unused_parameters: bool = False) -> nn.Module:
        """The module of training forward passes: the model itself in a single process;
        under torchrun its ``DistributedDataParallel`` wrapper, made anew whenever the model's
        trainable parameters changed (as the stages of ``ProgressiveTrainer`` change them).
        ``find_unused_parameters`` is for models whose training loss leaves some out."""
        if not distributed.active():
            return self.model
        key = (find_unused_parameters, tuple(id(p) for p in self.model.parameters() if p.requires_grad))
        if key != self._ddp_key:
            self._ddp = None  # the old wrapper's gradient hooks go with it
            self._ddp = distributed.wrap(self.model, self.device, find_unused_parameters)
            self._ddp_key = key
        return self._ddp

    @staticmethod
    def _gradient_sync(module: nn.Module, i: int, num_batches: int, accumulation: int):
        """The context of batch ``i``'s forward and backward pass: the gradients of the
        processes are all-reduced on the batches that an update follows (the last of each
        group and of the epoch) and accumulate locally on the others."""
        if isinstance(module, DistributedDataParallel) and (i + 1) % accumulation and i != num_batches - 1:
            return module.no_sync()
        return contextlib.nullcontext()

    def _backward(self, loss: torch.Tensor, i: int, accumulation: int) -> None:
        """Back-propagates the share ``loss / accumulation`` of batch ``i`` (counted from 0)
        through the scaler, and updates after every ``accumulation``-th batch."""
        self.scaler.scale(loss / accumulation).backward()
        if (i + 1) % accumulation == 0:
            self._optimizer_step()

    def _flush_gradients(self, num_batches: int, accumulation: int) -> None:
        """The epoch's last update, for the batches after the last full group."""
        if num_batches % accumulation != 0:
            self._optimizer_step()

    def _optimizer_step(self) -> None:
        """Applies the accumulated gradients; a plateau scheduler waits for the epoch's end."""
        self.scaler.step(self.optimizer)
        if not isinstance(self.scheduler, torch.optim.lr_scheduler.ReduceLROnPlateau):
            self.scheduler.step()
        self.scaler.update()
        self.optimizer.zero_grad()

    def _epoch_pass(self, dataloader, training: bool, desc: str, names: Tuple[str, ...], forward: Callable,
                    postfix: Callable, find_unused_parameters: bool = False) -> Tuple[Dict[str, float], Any]:
        """One pass over this process's share of ``dataloader``: forward passes (under autocast
        when ``training``, else in inference mode), token-weighted sums of the batch losses and,
        when ``training``, the gradient-accumulated updates.

        Args:
            names: the names of the losses that ``forward`` returns, the same on every process
                (a process's share of a small loader may be empty).
            forward: ``forward(module, batch)`` with the batch's tensors on the device; returns
                the loss to back-propagate, the batch's target tokens, the named losses to
                average (0-dim tensors) and the batch's attention maps.
            postfix: the progress-bar fields from the running means of the named losses.
            find_unused_parameters: see ``_training_module``.

        Returns:
            the token-weighted means of the named losses over all processes, and the attention
            maps of the last batch.

        Raises:
            ValueError: the loader yielded no target tokens, on any process.
        """
        accumulation = self.accumulation_steps if training else None
        dataloader = self._rank_loader(dataloader, training)
        module = self._training_module(find_unused_parameters) if training else self.model
        self.model.train(training)
        batch_bar = self._progress_bar(len(dataloader), desc)
        sums, total_tokens, attention = dict.fromkeys(names, 0.0), 0, {}
        if training:
            self.optimizer.zero_grad()
        for i, batch in enumerate(dataloader):
            batch = [None if t is None else t.to(self.device) for t in batch]
            with self._gradient_sync(module, i, len(dataloader), accumulation):
                with self._autocast() if training else torch.inference_mode():
                    loss, batch_tokens, losses, attention = forward(module, batch)
                total_tokens += batch_tokens
                for name in names:
                    sums[name] += losses[name].item() * batch_tokens
                if training:
                    self._backward(loss, i, accumulation)

            seen = max(total_tokens, 1)
            fields = postfix({name: total / seen for name, total in sums.items()})
            if training:
                fields["acc_step"] = f"{i % accumulation + 1}/{accumulation}"
            batch_bar.set_postfix(**fields)
            batch_bar.update()
            del batch, loss, losses
            torch.cuda.empty_cache()

        if training:
            self._flush_gradients(len(dataloader), accumulation)
        batch_bar.close()
        *totals, total_tokens = distributed.sum_across_ranks(*sums.values(), total_tokens)
        if total_tokens == 0:
            raise ValueError(f"{desc} the data loader is empty: it yielded no tokens to average the loss over")
        return {name: total / total_tokens for name, total in zip(sums, totals)}, attention

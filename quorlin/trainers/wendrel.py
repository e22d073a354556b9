"""Trainer for decoder-only language models."""
import logging
from typing import Any, Dict, List, Optional, Tuple

import torch
import torch.nn as nn

from quorlin.decoding.scorer import LanguageModelScorer
from quorlin.decoding.sequence_generator import SequenceGenerator
from quorlin.trainers import distributed
from quorlin.trainers.stolvar import Stolvar, perplexity

log = logging.getLogger(__name__)


class Wendrel(Stolvar):
    """Trains and evaluates a ``DecoderOnlyTransformer`` on LM batches.

    Metrics: token-level cross-entropy and perplexity, and their per-character
    equivalents through the dataset's characters-per-token figure. The model
    with the lowest validation ``ce_loss_char`` is kept as the best checkpoint.

    Args:
        model: the language model.
        tokenizer: the tokenizer of the data (its ``pad_id`` is ignored by the loss).
        config: whole configuration; reads ``training.label_smoothing`` (0.0),
            ``training.gradient_accumulation_steps`` (required, an integer >= 1) and
            ``training.autocast_dtype`` ("float16"; see ``Stolvar``).
        run_name: the run folder's name (see ``Stolvar``).
        config_file: path of the configuration file, copied into the run folder.
        device: "cuda", "cpu", ...; None picks CUDA when available.

    Example:
        >>> trainer = Wendrel(model, tokenizer, config, "lm-run", "recipes/lm.yaml")
        >>> trainer.optimizer = fennimar(trainer.model, config["optimizer"])
        >>> trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], train_loader)
        >>> trainer.train(train_loader, val_loader, epochs=10)
    """

    def __init__(self, model, tokenizer, config, run_name, config_file, device=None):
        super().__init__(model, tokenizer, config, run_name, config_file, device)
        self.criterion = nn.CrossEntropyLoss(
            ignore_index=self.tokenizer.pad_id,
            label_smoothing=self.config["training"].get("label_smoothing", 0.0),
        )

    def _train_epoch(self, dataloader) -> Tuple[Dict[str, float], Dict[str, torch.Tensor]]:
        return self._run_epoch(dataloader, training=True)

    def _validate_epoch(self, dataloader) -> Tuple[Dict[str, float], Dict[str, torch.Tensor]]:
        return self._run_epoch(dataloader, training=False)

    def _run_epoch(self, dataloader, training: bool):
        """One pass over ``dataloader``: teacher-forced loss, and updates when ``training``."""
        losses, attn_weights = self._epoch_pass(
            dataloader, training, "[Training LM]" if training else "[Validating LM]", ("ce_loss_token",),
            self._forward_batch, self._postfix)
        return self._epoch_metrics(losses["ce_loss_token"], dataloader.dataset), attn_weights

    def _forward_batch(self, module, batch):
        targets_shifted, targets_golden, lengths = batch
        raw_preds, attn_weights = module(targets_shifted, target_lengths=lengths)
        raw_loss = self._loss(raw_preds, targets_golden)
        return raw_loss, lengths.sum().item(), {"ce_loss_token": raw_loss}, attn_weights

    @staticmethod
    def _postfix(means: Dict[str, float]) -> Dict[str, str]:
        return {"ce_loss_token": f"{means['ce_loss_token']:.4f}",
                "perplexity_token": f"{perplexity(means['ce_loss_token']):.4f}"}

    def _loss(self, raw_preds, targets_golden):
        # (B, T, V) against (B, T), flattened to (B*T, V) and (B*T,)
        return self.criterion(raw_preds.view(-1, raw_preds.size(-1)), targets_golden.view(-1))

    @staticmethod
    def _epoch_metrics(ce_loss_token: float, dataset) -> Dict[str, float]:
        ce_loss_char = ce_loss_token / dataset.get_avg_chars_per_token()
        return {
            "ce_loss_token": ce_loss_token,
            "ce_loss_char": ce_loss_char,
            "perplexity_token": perplexity(ce_loss_token),
            "perplexity_char": perplexity(ce_loss_char),
        }

    def train(self, train_dataloader, val_dataloader, epochs: int) -> None:
        """Runs ``epochs`` epochs from ``current_epoch``: train, validate, generate, log, checkpoint.

        The best checkpoint is replaced when an epoch's validation ``ce_loss_char`` beats
        ``best_metric``, the run's best so far (restored by ``load_checkpoint``)."""
        if type(epochs) is not int:
            raise TypeError(f"epochs must be an int, got {epochs!r}")
        self._check_ready()
        for epoch in range(self.current_epoch, self.current_epoch + epochs):
            train_metrics, train_attn = self._train_epoch(train_dataloader)
            val_metrics, val_attn = self._validate_epoch(val_dataloader)
            gen_results = self.generate(val_dataloader)
            if isinstance(self.scheduler, torch.optim.lr_scheduler.ReduceLROnPlateau):
                self.scheduler.step(val_metrics["ce_loss_char"])
            self._log_metrics({"train": train_metrics, "val": val_metrics}, epoch)
            self._plot_first_map(train_attn, epoch, "train_self")
            self._plot_first_map(val_attn, epoch, "val_self")
            self._save_generated_text(gen_results, f"val_epoch_{epoch}")
            self._end_epoch(epoch, val_metrics["ce_loss_char"])
            self.current_epoch += 1

    def evaluate(self, test_dataloader) -> Tuple[Dict[str, float], Dict[str, List[Dict[str, Any]]]]:
        """Test metrics, then generation with the greedy, beam and sampling settings.

        A setting whose generation fails is reported and left out of the results.
        """
        test_metrics, test_attn = self._validate_epoch(test_dataloader)
        self._log_metrics({"test": test_metrics}, self.current_epoch)
        self._plot_first_map(test_attn, self.current_epoch, "test_self")
        results = {}
        for config_name, settings in self._get_evaluation_generation_configs().items():
            try:
                gen_results = self.generate(test_dataloader, generation_config=settings)
                results[config_name] = gen_results
                self._save_generated_text(gen_results, f"test_epoch_{self.current_epoch}_{config_name}")
            except Exception as e:
                log.info(f"Could not generate results for {config_name}: {e}")
        return test_metrics, results

    def generate(self, dataloader, generation_config: Optional[Dict[str, Any]] = None) -> List[Dict[str, Any]]:
        """Continues prompts sampled from ``dataloader.dataset`` by greedy, beam or sampled search.

        Sampling is chosen when ``top_k`` or ``top_p`` is above 0, beam search when
        ``beam_width`` is above 1, greedy search otherwise.

        Returns:
            one dict per prompt: "prompt", "original" and "generated" text (the two
            continuations without the prompt) and the generated sequence's "score"; none
            when no text of the loader is longer than a prompt.
        """
        if generation_config is None:
            generation_config = {
                "num_samples": 10, "prompt_length": 20, "seed": 40213, "max_length": self.model.max_len,
                "temperature": 1.0, "beam_width": 1, "repeat_penalty": 1.0, "top_k": 0, "top_p": 0.0,
            }
        cfg = generation_config
        generator = SequenceGenerator(
            score_fn=LanguageModelScorer(self.model),
            tokenizer=self.tokenizer,
            max_length=self.model.max_len,
            device=self.device,
        )
        prompt_length = cfg.get("prompt_length", 10)
        if not any(len(sequence) > prompt_length for sequence in dataloader.dataset.transcripts_shifted):
            # Short texts only (spoken commands, say): nothing to prompt with, and training goes on.
            log.info(f"No text is longer than the {prompt_length}-token prompt: nothing to generate")
            return []
        prompts, originals = dataloader.dataset.sample_prompts(
            num_samples=cfg.get("num_samples", 10),
            prompt_length=prompt_length,
            seed=cfg.get("seed", 40213),
        )
        prompts = prompts.to(self.device)
        temperature = cfg.get("temperature", 1.0)
        self.model.eval()
        with torch.inference_mode():
            if cfg.get("top_k", 0) > 0 or cfg.get("top_p", 0) > 0:
                log.info("Generating with sampling...")
                seqs, scores = generator.generate_sample(
                    prompts, temperature=temperature, top_k=cfg.get("top_k", 0), top_p=cfg.get("top_p", 1.0))
            elif cfg.get("beam_width", 1) > 1:
                log.info("Generating with beam search...")
                seqs, scores = generator.generate_beam(
                    prompts, beam_width=cfg.get("beam_width", 1), temperature=temperature,
                    repeat_penalty=cfg.get("repeat_penalty", 1.0))
                seqs, scores = seqs[:, 0], scores[:, 0]
            else:
                log.info("Generating with greedy search...")
                seqs, scores = generator.generate_greedy(
                    prompts, temperature=temperature, repeat_penalty=cfg.get("repeat_penalty", 1.0))
        processed_seqs = generator.post_process_sequence(seqs, self.tokenizer)

        records = []
        for prompt, seq, score, original in zip(prompts, processed_seqs, scores, originals):
            P = len(prompt)
            records.append({
                "prompt": self.tokenizer.decode(prompt.tolist()),
                "original": self.tokenizer.decode(original[P:].tolist()),
                "generated": self.tokenizer.decode(seq[P:].tolist()),
                "score": score.item(),
            })
        return records

    def _plot_first_map(self, attn: Dict[str, torch.Tensor], epoch: int, attn_type: str) -> None:
        """Plots element 0 (the first sequence of the batch) of the first attention entry.

        Under torchrun only rank 0 plots: another rank's share of a small validation loader
        may be empty, and with it its attention mapping."""
        if distributed.is_main_process():
            self._save_attention_plot(attn[next(iter(attn))][0], epoch, attn_type)

    def _get_evaluation_generation_configs(self) -> Dict[str, Dict[str, Any]]:
        common = {"num_samples": 50, "prompt_length": 10, "seed": 40213, "max_length": self.model.max_len}
        searches = {
            "greedy": {"temperature": 1.0, "beam_width": 1, "repeat_penalty": 1.0, "top_k": 0, "top_p": 0.0},
            "beam": {"temperature": 1.0, "beam_width": 10, "repeat_penalty": 1.2, "top_k": 0, "top_p": 0.0},
            "sample": {"temperature": 1.0, "beam_width": 1, "repeat_penalty": 1.0, "top_k": 10, "top_p": 0.95},
        }
        return {name: {**common, **own} for name, own in searches.items()}

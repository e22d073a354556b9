"""Trainers for encoder-decoder speech recognisers: ``Brennick``, and ``ProgressiveTrainer``,
which grows the model stage by stage before full training."""
import contextlib
import logging
from typing import Any, Dict, List, Optional, Tuple, Union

import pandas as pd
import torch
import torch.nn as nn
from torch.utils.data import DataLoader, Subset

from quorlin._checks import as_float, as_int
from quorlin.decoding.metrics import asr_metrics
from quorlin.decoding.recognition import Search, recognize_batch
from quorlin.model import DecoderOnlyTransformer
from quorlin.trainers import distributed
from quorlin.trainers.stolvar import Stolvar, _check_type, perplexity

log = logging.getLogger(__name__)


class Brennick(Stolvar):
    """Trains and evaluates an ``EncoderDecoderTransformer`` on ASR batches.

    The training loss is label-smoothed cross-entropy on the decoder output plus, when
    ``loss.ctc_weight`` > 0, ``ctc_weight`` times a CTC loss on the encoder output (its
    blank is the tokenizer's ``pad_id``). Validation recognises the first 5 batches of
    the validation loader greedily; the model with the lowest validation CER is kept
    as the best checkpoint.

    Args:
        model: the speech recogniser.
        tokenizer: the tokenizer of the transcripts.
        config: whole configuration; reads the ``loss`` section (required) with
            ``label_smoothing`` (0.0) and ``ctc_weight`` (0.0),
            ``training.gradient_accumulation_steps`` (required, an integer >= 1) and
            ``training.autocast_dtype`` ("float16"; see ``Stolvar``).
        run_name: the run folder's name (see ``Stolvar``).
        config_file: path of the configuration file, copied into the run folder.
        device: "cuda", "cpu", ...; None picks CUDA when available.

    Example:
        >>> trainer = Brennick(model, tokenizer, config, "asr-run", "recipes/asr.yaml")
        >>> trainer.optimizer = fennimar(trainer.model, config["optimizer"])
        >>> trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], train_loader)
        >>> trainer.train(train_loader, val_loader, epochs=10)
        >>> tables = trainer.evaluate(test_loader)  # {"greedy": DataFrame, "beam_10": ..., "beam_20": ...}
    """

    def __init__(self, model, tokenizer, config, run_name, config_file, device=None):
        super().__init__(model, tokenizer, config, run_name, config_file, device)
        loss = self.config["loss"]
        self.ce_criterion = self._cross_entropy(loss.get("label_smoothing", 0.0))
        self.ctc_criterion = None
        self.ctc_weight = loss.get("ctc_weight", 0.0)
        if self.ctc_weight > 0:
            self.ctc_criterion = nn.CTCLoss(blank=self.tokenizer.pad_id, zero_infinity=True)

    def _cross_entropy(self, label_smoothing: float) -> nn.CrossEntropyLoss:
        return nn.CrossEntropyLoss(ignore_index=self.tokenizer.pad_id, label_smoothing=label_smoothing)

    def _train_epoch(self, dataloader) -> Tuple[Dict[str, float], Dict[str, torch.Tensor]]:
        """One epoch of updates; returns its token-weighted losses and the last batch's attention."""
        # Without CTC the model's CTC head takes no part in the loss.
        losses, running_att = self._epoch_pass(
            dataloader, True, "[Training ASR]", ("ce_loss", "ctc_loss", "joint_loss"), self._forward_batch,
            self._postfix, find_unused_parameters=self.ctc_criterion is None)
        avg_ce_loss = losses["ce_loss"]
        metrics = {
            "ce_loss": avg_ce_loss,
            "ctc_loss": losses["ctc_loss"],
            "joint_loss": losses["joint_loss"],
            "perplexity_token": perplexity(avg_ce_loss),
            "perplexity_char": perplexity(avg_ce_loss / dataloader.dataset.get_avg_chars_per_token()),
        }
        return metrics, running_att

    def _forward_batch(self, model, batch):
        """The joint loss of one batch: label-smoothed CE, plus ``ctc_weight`` times CTC."""
        feats, targets_shifted, targets_golden, feat_lengths, transcript_lengths = batch
        seq_out, attention, ctc_inputs = model(feats, targets_shifted, feat_lengths, transcript_lengths)
        # (B, U, V) against (B, U), flattened to (B*U, V) and (B*U,)
        ce_loss = self.ce_criterion(seq_out.view(-1, seq_out.size(-1)), targets_golden.view(-1))
        if self.ctc_weight > 0:
            ctc_loss = self.ctc_criterion(ctc_inputs["log_probs"], targets_golden, ctc_inputs["lengths"],
                                          transcript_lengths)
            loss = ce_loss + self.ctc_weight * ctc_loss
        else:
            ctc_loss = torch.tensor(0.0)
            loss = ce_loss
        losses = {"ce_loss": ce_loss, "ctc_loss": ctc_loss, "joint_loss": loss}
        return loss, transcript_lengths.sum().item(), losses, attention

    @staticmethod
    def _postfix(means: Dict[str, float]) -> Dict[str, str]:
        return {"ce_loss": f"{means['ce_loss']:.4f}", "ctc_loss": f"{means['ctc_loss']:.4f}",
                "joint_loss": f"{means['joint_loss']:.4f}", "perplexity": f"{perplexity(means['ce_loss']):.4f}"}

    def _validate_epoch(self, dataloader) -> Tuple[Dict[str, float], List[Dict[str, Any]]]:
        """Greedy recognition of the first 5 batches, and its error rates."""
        results = self.recognize(dataloader)
        references = [result["target"] for result in results]
        hypotheses = [result["generated"] for result in results]
        return self._calculate_asr_metrics(references, hypotheses), results

    def train(self, train_dataloader, val_dataloader, epochs: int) -> None:
        """Runs ``epochs`` epochs from ``current_epoch``: train, validate, log, plot, dump, checkpoint.

        The best checkpoint is replaced when an epoch's validation CER beats ``best_metric``,
        the run's best so far (restored by ``load_checkpoint``)."""
        self._run_epochs(train_dataloader, val_dataloader, as_int(epochs, "epochs"))

    def _run_epochs(self, train_dataloader, val_dataloader, epochs: int) -> None:
        """The epochs of ``train``, on the model as it stands (a stage's, or the full model)."""
        self._check_ready()
        self.text_max_len = max(train_dataloader.dataset.text_max_len, val_dataloader.dataset.text_max_len)
        for epoch in range(self.current_epoch, self.current_epoch + epochs):
            train_metrics, train_attn = self._train_epoch(train_dataloader)
            val_metrics, val_results = self._validate_epoch(val_dataloader)
            if isinstance(self.scheduler, torch.optim.lr_scheduler.ReduceLROnPlateau):
                self.scheduler.step(val_metrics["cer"])
            self._log_metrics({"train": train_metrics, "val": val_metrics}, epoch)
            self._save_decoder_attention(train_attn, epoch)
            self._save_generated_text(val_results, f"val_epoch_{epoch}")
            self._end_epoch(epoch, val_metrics["cer"])
            self.current_epoch += 1

    def _save_decoder_attention(self, attn: Dict[str, torch.Tensor], epoch: int) -> None:
        """Plots the first utterance's self-attention of the first decoder layer and
        cross-attention of the last one; a mapping without decoder entries plots nothing."""
        keys = list(attn)
        self_keys = [key for key in keys if "dec_self" in key]
        cross_keys = [key for key in keys if "dec_cross" in key]
        if self_keys:
            self._save_attention_plot(attn[self_keys[0]][0], epoch, "decoder_self")
        if cross_keys:
            self._save_attention_plot(attn[cross_keys[-1]][0], epoch, "decoder_cross")

    def evaluate(self, dataloader, max_length: Optional[int] = None) -> Dict[str, pd.DataFrame]:
        """Recognises the whole loader under "greedy", "beam_10" and "beam_20".

        Returns one table per configuration, columns ``id`` and ``transcription``; a
        configuration that fails is reported and left out (under torchrun by every process,
        whichever process failed, so that all go on to the next configuration together).
        """
        tables = {}
        for config_name, config in self._get_evaluation_recognition_configs().items():
            try:
                log.info(f"Evaluating with {config_name} config")
                results = self.recognize(dataloader, config, config_name, max_length)
                generated = [result["generated"] for result in results]
                tables[config_name] = pd.DataFrame({"id": range(len(generated)), "transcription": generated})
                self._save_generated_text(results, f"test_{config_name}_results")
            except Exception as error:
                log.info(f"Error evaluating with {config_name} config: {error}")
        return tables

    def recognize(self, dataloader, recognition_config: Optional[Dict[str, Any]] = None,
                  config_name: Optional[str] = None, max_length: Optional[int] = None) -> List[Dict[str, Any]]:
        """Transcribes batches by greedy or beam search, optionally fused with a language model.

        Args:
            dataloader: ASR batches; golden targets, when present, are decoded alongside.
            recognition_config: ``num_batches`` (int or None for all), ``beam_width`` (1 is
                greedy), ``temperature`` (1.0), ``repeat_penalty`` (1.0, beam search only),
                ``ctc_weight`` (0.0: the CTC head's share of the recogniser's scores),
                ``lm_model`` (None) and ``lm_weight`` (read when ``lm_model`` is set). None is
                greedy over the first 5 batches, named "greedy".
            config_name: shown on the progress bar.
            max_length: longest hypothesis, start token included; by default ``text_max_len``,
                which ``train`` sets.

        Returns:
            one dict per utterance: "target" (when the batch has targets), "generated", "score".

        Raises:
            RuntimeError: under torchrun, on every process when recognition failed on any of
                them, naming the ranks and their errors (a single process raises its own error).

        Example:
            >>> trainer.recognize(test_loader, {"num_batches": None, "beam_width": 10}, "beam_10", 200)
        """
        if max_length is not None:
            max_length = as_int(max_length, "max_length")
        elif hasattr(self, "text_max_len"):
            max_length = self.text_max_len
        else:
            raise ValueError("text_max_len is not set. Please run training loop first or provide a max_length")
        if recognition_config is None:
            recognition_config = {"num_batches": 5, "beam_width": 1, "temperature": 1.0, "repeat_penalty": 1.0,
                                  "lm_weight": 0.0, "lm_model": None}
            config_name = "greedy"
        lm = recognition_config.get("lm_model")
        search = Search(recognition_config["beam_width"], recognition_config.get("ctc_weight", 0.0),
                        recognition_config["lm_weight"] if lm is not None else 0.0)
        num_batches = recognition_config["num_batches"]
        temperature = recognition_config.get("temperature", 1.0)
        repeat_penalty = recognition_config.get("repeat_penalty", 1.0)
        # Under torchrun each process recognises its share of the batches asked for.
        dataloader = self._rank_loader(dataloader, training=False, num_batches=num_batches)
        batch_bar = self._progress_bar(len(dataloader), f"[Recognizing ASR] : {config_name}")
        results, failure = [], None
        try:
            if lm is not None:
                lm.eval()
                lm.to(self.device)
            self.model.eval()
            with torch.inference_mode():
                for i, batch in enumerate(dataloader):
                    results += self._recognize_batch(batch, search, lm, max_length, temperature, repeat_penalty)
                    batch_bar.update()
                    if num_batches is not None and i >= num_batches - 1:
                        break
        except Exception as error:
            # Under torchrun the other processes learn of it from the gathering of the records
            # and raise as well, instead of waiting for records that never come.
            failure = error
        finally:
            batch_bar.close()
        return distributed.gather_records(results, failure)

    def _recognize_batch(self, batch, search: Search, lm, max_length: int, temperature: float,
                         repeat_penalty: float) -> List[Dict[str, Any]]:
        """The records of one batch, recognised by ``recognize_batch`` with ``search`` (and ``lm``)."""
        feats, _, targets_golden, feat_lengths, _ = batch
        feats, feat_lengths = feats.to(self.device), feat_lengths.to(self.device)
        hypotheses, _ = recognize_batch(self.model, self.tokenizer, feats, feat_lengths, search, lm, max_length,
                                        self.config["loss"].get("ctc_weight", 0.0) > 0, temperature, repeat_penalty)
        del feats, feat_lengths
        torch.cuda.empty_cache()
        if targets_golden is None:
            return [{"generated": h.text, "score": h.score} for h in hypotheses]
        targets = [self.tokenizer.decode(row.tolist(), skip_special_tokens=True) for row in targets_golden]
        return [{"target": target, "generated": h.text, "score": h.score} for h, target in zip(hypotheses, targets)]

    def _get_evaluation_recognition_configs(self, lm_model: Optional[DecoderOnlyTransformer] = None,
                                            lm_weight: float = 0.0) -> Dict[str, Dict[str, Any]]:
        """The test-time configurations "greedy", "beam_10" and "beam_20" over the whole loader."""
        common = {"num_batches": None, "temperature": 1.0, "repeat_penalty": 1.0,
                  "lm_weight": as_float(lm_weight, "lm_weight"), "lm_model": lm_model}
        return {name: {**common, "beam_width": width} for name, width in
                [("greedy", 1), ("beam_10", 10), ("beam_20", 20)]}

    def _calculate_asr_metrics(self, references: Union[str, List[str]],
                               hypotheses: Union[str, List[str]]) -> Dict[str, float]:
        """Mean edit distance per utterance, and word and character error rates in percent."""
        return asr_metrics(references, hypotheses)


class ProgressiveTrainer(Brennick):
    """Curriculum training of a speech recogniser: stages on growing layer subsets, then full training.

    Each stage runs the model with a chosen subset of its encoder and decoder layers
    (some of them frozen), its own top-level dropout rate and label smoothing, on a
    random fraction of the training data. The layers are the model's own objects, so
    what a stage learns carries over; the optimizer and scheduler serve all stages.

    A stage is a dict: ``name``, ``epochs``, ``encoder_active_layers`` and
    ``decoder_active_layers`` (indices into the full layer lists), ``encoder_freeze`` and
    ``decoder_freeze`` (one flag per active layer; absent or empty: all trainable),
    ``dropout``, ``label_smoothing`` and ``data_subset`` (a fraction of the training set).
    Also reads ``data.batch_size``, ``data.num_workers`` and ``loss.label_smoothing``.

    Checkpoints always hold the full model, every layer in its own place, whatever stage is
    running, and ``curriculum``: where the stages stand (``stage``, the index of the stage
    in progress; ``epochs_done`` in it; ``finished``, once full training has begun). Stages
    write no best checkpoint: a stage model's CER says nothing of the full model that the
    checkpoint holds, so the best metric is that of full training only.

    Example:
        >>> trainer = ProgressiveTrainer(model, tokenizer, config, "asr-curriculum", "recipes/asr.yaml")
        >>> trainer.optimizer, trainer.scheduler = optimizer, scheduler
        >>> trainer.progressive_train(train_loader, val_loader, [
        ...     {"name": "shallow", "epochs": 5, "encoder_active_layers": [0, 2], "decoder_active_layers": [0],
        ...      "dropout": 0.1, "label_smoothing": 0.0, "data_subset": 0.3}])
        >>> trainer.train(train_loader, val_loader, epochs=10)  # the full model

        A resumed run: the same calls after ``load_checkpoint``; ``progressive_train`` runs
        only what is left of the stages (nothing once they are finished).
    """

    def __init__(self, model, tokenizer, config, run_name, config_file, device=None):
        super().__init__(model, tokenizer, config, run_name, config_file, device)
        self.current_stage = 0
        self.stage_epochs_done = 0
        self.stages_finished = False
        self.all_yorvane = list(self.model.enc_layers)
        self.all_skellan = list(self.model.dec_layers)
        self._full_dropout = self.model.dropout.p

    @contextlib.contextmanager
    def _checkpoint_model(self):
        """The model with all its layers in their own places while the block runs; then the
        stage's layers again."""
        model = self.model
        stage = model.enc_layers, model.dec_layers, model.num_yorvane, model.num_skellan
        self._use_all_layers()
        try:
            yield model
        finally:
            model.enc_layers, model.dec_layers, model.num_yorvane, model.num_skellan = stage

    def _use_all_layers(self) -> None:
        self.model.enc_layers = nn.ModuleList(self.all_yorvane)
        self.model.dec_layers = nn.ModuleList(self.all_skellan)
        self.model.num_yorvane, self.model.num_skellan = len(self.all_yorvane), len(self.all_skellan)

    def _extra_state(self) -> Dict[str, Any]:
        return {"curriculum": {"stage": self.current_stage, "epochs_done": self.stage_epochs_done,
                               "finished": self.stages_finished}}

    def _extra_state_problems(self, checkpoint: Dict[str, Any]) -> List[str]:
        if "curriculum" not in checkpoint:
            return ["the checkpoint lacks curriculum, where the stages of a staged run stand"]
        curriculum = checkpoint["curriculum"]
        if not (isinstance(curriculum, dict) and set(curriculum) == {"stage", "epochs_done", "finished"}
                and all(type(curriculum[key]) is int and curriculum[key] >= 0 for key in ("stage", "epochs_done"))
                and type(curriculum["finished"]) is bool):
            return ["curriculum must hold a stage index and the epochs done in it (integers >= 0) and whether "
                    f"the stages are finished, got {curriculum!r}"]
        return []

    def _load_extra_state(self, checkpoint: Dict[str, Any]) -> None:
        curriculum = checkpoint["curriculum"]
        self.current_stage, self.stage_epochs_done = curriculum["stage"], curriculum["epochs_done"]
        self.stages_finished = curriculum["finished"]

    def _end_epoch(self, epoch: int, metric: float) -> None:
        """In a stage: the epoch counts towards the stage, and only the last (and kept epoch)
        checkpoints are written; in full training, those and the best."""
        if self.stages_finished:
            super()._end_epoch(epoch, metric)
            return
        self.stage_epochs_done += 1
        self._save_epoch_checkpoints(epoch)

    def configure_stage(self, stage_config: Dict[str, Any]) -> None:
        """Reshapes the model, the loss and the trainable parameters for one stage, with a report."""
        log.info("\n" + "=" * 80)
        log.info(f"Starting Stage: {stage_config['name']}".center(80))
        log.info("=" * 80)
        log.info("\nConfiguration Details:")
        log.info(f"├── Data Subset: {stage_config['data_subset'] * 100:.1f}% of training data")
        log.info(f"├── Training Epochs: {stage_config['epochs']}")
        log.info(f"├── Dropout: {stage_config['dropout']}")
        log.info(f"├── Label Smoothing: {stage_config['label_smoothing']}")
        self.model.dropout.p = stage_config["dropout"]
        self.ce_criterion = self._cross_entropy(stage_config["label_smoothing"])

        encoder_freeze = stage_config.get("encoder_freeze") or []
        decoder_freeze = stage_config.get("decoder_freeze") or []
        encoder_active = stage_config["encoder_active_layers"]
        self.model.enc_layers = _stage_layers(self.all_yorvane, encoder_active, encoder_freeze, "encoder")
        self.model.num_yorvane = len(self.model.enc_layers)
        decoder_active = stage_config["decoder_active_layers"]
        self.model.dec_layers = _stage_layers(self.all_skellan, decoder_active, decoder_freeze, "decoder")
        self.model.num_skellan = len(self.model.dec_layers)

        counts = {True: 0, False: 0}  # parameter elements, frozen and trainable
        for heading, layers, active, freeze in [("Encoder", self.model.enc_layers, encoder_active, encoder_freeze),
                                                ("Decoder", self.model.dec_layers, decoder_active, decoder_freeze)]:
            log.info(f"├── {heading} Layers:")
            for idx, layer in enumerate(layers):
                # Without freeze flags every active layer trains.
                should_freeze = bool(freeze[idx]) if freeze else False
                for param in layer.parameters():
                    param.requires_grad = not should_freeze
                    counts[should_freeze] += param.numel()
                log.info(f"│   ├── Layer {active[idx]}: {'Frozen' if should_freeze else 'Trainable'}")
        log.info(f"├── Frozen Parameters: {counts[True]:,}")
        log.info(f"└── Trainable Parameters: {counts[False]:,}")

    def get_subset_dataloader(self, dataloader, subset_fraction: float) -> DataLoader:
        """A shuffled loader over a fresh random ``subset_fraction`` of ``dataloader.dataset``."""
        dataset = dataloader.dataset
        total_samples = len(dataset)
        subset_size = int(total_samples * subset_fraction)
        # Every process trains on the same subset: rank 0's.
        indices = distributed.from_main_process(torch.randperm(total_samples)[:subset_size].tolist())
        subset_dataset = Subset(dataset, indices)
        # The epoch loop asks its loader's dataset for these; they are the full dataset's.
        subset_dataset.text_max_len = dataset.text_max_len
        subset_dataset.feat_max_len = dataset.feat_max_len
        subset_dataset.get_avg_chars_per_token = dataset.get_avg_chars_per_token
        data = self.config["data"]
        # Recipes write num_workers; NUM_WORKERS is the older spelling.
        num_workers = data.get("num_workers", data.get("NUM_WORKERS", 0))
        return DataLoader(subset_dataset, batch_size=data["batch_size"], shuffle=True, num_workers=num_workers,
                          collate_fn=dataset.collate_fn, pin_memory=torch.device(self.device).type == "cuda")

    def progressive_train(self, train_dataloader, val_dataloader, stages: List[Dict[str, Any]]) -> None:
        """Runs what is left of the stages, in order, each on its own subset of the training data:
        from the start on a fresh trainer; after ``load_checkpoint``, the rest of the stage in
        progress, then the later ones; nothing once the stages are finished."""
        _check_type(stages, list, "stages")
        if self.stages_finished:
            return
        if self.current_stage >= len(stages):
            raise ValueError(f"the run is in stage {self.current_stage} (counted from 0), but only "
                             f"{len(stages)} stages are given")
        for index in range(self.current_stage, len(stages)):
            if index != self.current_stage:
                self.current_stage, self.stage_epochs_done = index, 0
            stage = stages[index]
            epochs_left = stage["epochs"] - self.stage_epochs_done
            if epochs_left <= 0:
                continue
            self.configure_stage(stage)
            subset_loader = self.get_subset_dataloader(train_dataloader, stage["data_subset"])
            self._run_epochs(subset_loader, val_dataloader, epochs_left)

    def transition_to_full_training(self) -> None:
        """Restores every layer and the model's own dropout rate, unfreezes every parameter,
        resets the loss, and marks the stages finished."""
        log.info("\n=== Transitioning to Full Training ===")
        self._use_all_layers()
        self.model.dropout.p = self._full_dropout
        self.ce_criterion = self._cross_entropy(self.config["loss"]["label_smoothing"])
        unfrozen_count = 0
        for param in self.model.parameters():
            param.requires_grad = True
            unfrozen_count += param.numel()
        log.info(f"├── Total Unfrozen Parameters: {unfrozen_count:,}")
        self.stages_finished = True

    def train(self, train_dataloader, val_dataloader, epochs: int) -> None:
        """Full training: the whole model, every parameter trainable."""
        self.transition_to_full_training()
        super().train(train_dataloader, val_dataloader, epochs=epochs)


def _stage_layers(all_layers: List[nn.Module], active: List[int], freeze: List[bool], side: str) -> nn.ModuleList:
    """The layers ``all_layers[i]`` for ``i`` in ``active``, once the freeze flags fit them."""
    if freeze and len(freeze) != len(active):
        raise ValueError(f"{side.capitalize()} freeze list length ({len(freeze)}) must match number of "
                         f"active {side} layers ({len(active)})")
    return nn.ModuleList(all_layers[i] for i in active)

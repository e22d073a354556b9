import json
import random

import numpy as np
import pandas as pd
import pytest
import torch
import torch.nn.functional as F
from torch.utils.data import DataLoader

from quorlin import console
from quorlin.data.maltrey import Maltrey
from quorlin.data.tokenizer import VaskTokenizer
from quorlin.decoding.recognition import Search, batch_scorer, ctc_best_path
from quorlin.decoding.sequence_generator import SequenceGenerator
from quorlin.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from quorlin.trainers import Brennick, ProgressiveTrainer

ALPHABET = "abcdef "
NUM_FEATS = 8
PARTITIONS = {"train-clean-100": (60, 0), "dev-clean": (12, 1), "test-clean": (7, 2)}


def _texts(n, seed):
    """Three or four "words" of two to four letters."""
    rng = random.Random(seed)
    return [" ".join("".join(rng.choice(ALPHABET[:-1]) for _ in range(rng.randint(2, 4)))
                     for _ in range(rng.randint(3, 4))) for _ in range(n)]


@pytest.fixture(autouse=True, scope="module")
def one_thread():
    """The models here are tiny: on a busy machine a second thread only waits for the first."""
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


@pytest.fixture(scope="module")
def asr_root(tmp_path_factory):
    """A speech-like corpus in the dataset's layout: every character is a fixed random
    pattern held for 6 or 7 frames, under noise; "test-clean" has no transcripts."""
    root = tmp_path_factory.mktemp("asr")
    patterns = np.random.default_rng(1234).normal(size=(len(ALPHABET), NUM_FEATS))
    for partition, (n, seed) in PARTITIONS.items():
        rng = np.random.default_rng(seed)
        for folder in ("fbank", "text"):
            (root / partition / folder).mkdir(parents=True)
        for i, text in enumerate(_texts(n, seed)):
            frames = np.concatenate([np.repeat(patterns[ALPHABET.index(c), :, None], rng.integers(6, 8), axis=1)
                                     for c in text], axis=1)  # (num_feats, T)
            feats = frames + 0.3 * rng.standard_normal(frames.shape)
            np.save(root / partition / "fbank" / f"{i:03d}.npy", feats.astype(np.float32))
            if partition != "test-clean":
                np.save(root / partition / "text" / f"{i:03d}.npy", np.array(list(text)))
    return root


@pytest.fixture
def asr_tokenizer():
    return VaskTokenizer.from_texts([ALPHABET])


def _config(asr_root, ctc_weight=0.5, **training):
    data = {"root": str(asr_root), "num_feats": NUM_FEATS, "norm": "none", "specaug": False,
            "specaug_conf": {"time_mask_width_range": 2, "freq_mask_width_range": 2},
            "batch_size": 8, "num_workers": 0}
    return {"data": data, "loss": {"label_smoothing": 0.1, "ctc_weight": ctc_weight},
            "training": {"use_wandb": False, "gradient_accumulation_steps": 1} | training}


def _loader(config, tokenizer, partition, batch_size=8, **data):
    dataset = Maltrey(partition, config["data"] | data, tokenizer, partition == "train-clean-100")
    return DataLoader(dataset, batch_size=batch_size, shuffle=False, collate_fn=dataset.collate_fn)


def _trainer(config, tokenizer, config_file, cls=Brennick, layers=1, d_model=32, dropout=0.1, lr=3e-3,
             scheduler=None, run_name="asr"):
    torch.manual_seed(0)
    model = EncoderDecoderTransformer(input_dim=NUM_FEATS, time_reduction=4, reduction_method="conv",
                                      num_encoder_layers=layers, num_decoder_layers=layers, d_model=d_model,
                                      num_heads=2, d_ff=2 * d_model, dropout=dropout, max_len=260,
                                      num_classes=tokenizer.vocab_size)
    trainer = cls(model, tokenizer, config, run_name, config_file, device="cpu")
    trainer.optimizer = torch.optim.AdamW(trainer.model.parameters(), lr=lr)
    trainer.scheduler = (scheduler or (lambda opt: torch.optim.lr_scheduler.LambdaLR(opt, lambda step: 1.0)))(
        trainer.optimizer)
    return trainer


@pytest.mark.slow
def test_it_learns_a_speech_like_task(asr_root, asr_tokenizer, config_file):
    config = _config(asr_root, autocast_dtype="float32")
    train = _loader(config, asr_tokenizer, "train-clean-100")
    train = DataLoader(train.dataset, batch_size=8, shuffle=True, collate_fn=train.dataset.collate_fn)
    val = _loader(config, asr_tokenizer, "dev-clean", batch_size=12)
    trainer = _trainer(config, asr_tokenizer, config_file)
    trainer.text_max_len = max(train.dataset.text_max_len, val.dataset.text_max_len)
    for _ in range(80):
        trainer._train_epoch(train)
    metrics, results = trainer._validate_epoch(val)
    assert metrics["cer"] < 20.0, results


@pytest.mark.slow
def test_two_epochs_write_the_run_and_resume(asr_root, asr_tokenizer, config_file, capsys):
    config = _config(asr_root)  # the default float16 autocast and gradient scaling
    train = _loader(config, asr_tokenizer, "train-clean-100", subset_size=16)
    val = _loader(config, asr_tokenizer, "dev-clean", batch_size=4)
    trainer = _trainer(config, asr_tokenizer, config_file)
    assert trainer.scaler.is_enabled() and trainer.ctc_criterion.blank == asr_tokenizer.pad_id
    trainer.train(train, val, epochs=2)

    history = trainer.training_history
    assert [entry["epoch"] for entry in history] == [0, 1] and trainer.current_epoch == 2
    assert list(history[0]["train"]) == ["ce_loss", "ctc_loss", "joint_loss", "perplexity_token",
                                         "perplexity_char"]
    assert list(history[0]["val"]) == ["word_dist", "wer", "cer"]
    assert trainer.text_max_len == max(train.dataset.text_max_len, val.dataset.text_max_len)
    for epoch in (0, 1):
        for kind in ("decoder_self", "decoder_cross"):
            assert (trainer.attn_dir / f"{kind}_attention_epoch{epoch}.png").is_file()
        records = json.loads((trainer.text_dir / f"text_val_epoch_{epoch}.json").read_text())
        assert len(records) == 12 and list(records[0]) == ["target", "generated", "score"]
        assert records[0]["target"] == _texts(12, 1)[0]
    last = torch.load(trainer.last_model_path, weights_only=True)
    best = torch.load(trainer.best_model_path, weights_only=True)
    cers = [entry["val"]["cer"] for entry in history]
    assert last["epoch"] == 1 and best["epoch"] == (1 if cers[1] < cers[0] else 0)
    assert trainer.best_metric == min(cers) == best["best_metric"]
    assert "Scheduler is not" not in capsys.readouterr().out

    resumed = _trainer(config, asr_tokenizer, config_file)
    resumed.load_checkpoint("checkpoint-last-epoch-model.pth")
    resumed.train(train, val, epochs=1)
    assert [entry["epoch"] for entry in resumed.training_history] == [0, 1, 1]
    # The resumed run goes on from the restored best CER: the best checkpoint is the best of all three epochs.
    cers = [entry["val"]["cer"] for entry in resumed.training_history]
    assert resumed.best_metric == min(cers) == torch.load(resumed.best_model_path, weights_only=True)["best_metric"]


@pytest.mark.parametrize("ctc_weight", [0.5, 0.0])
def test_epoch_losses_are_token_weighted_means(asr_root, asr_tokenizer, config_file, ctc_weight):
    config = _config(asr_root, ctc_weight, autocast_dtype="float32")
    loader = _loader(config, asr_tokenizer, "train-clean-100", batch_size=16)
    trainer = _trainer(config, asr_tokenizer, config_file, dropout=0.0, lr=0.0)
    metrics, attn = trainer._train_epoch(loader)

    ce, ctc, tokens = 0.0, 0.0, 0
    with torch.no_grad():
        for feats, shifted, golden, feat_lengths, lengths in loader:
            logits, _, ctc_inputs = trainer.model(feats, shifted, feat_lengths, lengths)
            # Label-smoothed cross-entropy per target token, written out.
            log_probs = logits.log_softmax(-1)  # (B, U, V)
            nll = -log_probs.gather(-1, golden.unsqueeze(-1)).squeeze(-1)  # (B, U)
            smoothed = 0.9 * nll - 0.1 * log_probs.mean(-1)
            ce += smoothed[golden != asr_tokenizer.pad_id].sum().item()
            per_utterance = F.ctc_loss(ctc_inputs["log_probs"], golden, ctc_inputs["lengths"], lengths,
                                       blank=asr_tokenizer.pad_id, reduction="none", zero_infinity=True)
            ctc += (per_utterance / lengths).mean().item() * lengths.sum().item()
            tokens += lengths.sum().item()
    ctc = ctc if ctc_weight else 0.0
    assert metrics["ce_loss"] == pytest.approx(ce / tokens, rel=1e-5)
    assert metrics["ctc_loss"] == pytest.approx(ctc / tokens, rel=1e-5, abs=1e-12)
    assert metrics["joint_loss"] == pytest.approx((ce + ctc_weight * ctc) / tokens, rel=1e-5)
    assert metrics["perplexity_token"] == pytest.approx(np.exp(ce / tokens), rel=1e-5)
    texts = _texts(60, 0)
    chars_per_token = sum(map(len, texts)) / sum(len(asr_tokenizer.encode(text)) for text in texts)
    assert metrics["perplexity_char"] == pytest.approx(np.exp(ce / tokens / chars_per_token), rel=1e-5)
    assert (trainer.ctc_criterion is None) == (ctc_weight == 0)
    assert attn["layer1_dec_cross"].shape[0] == 60 - 3 * 16  # the last batch's


@pytest.mark.parametrize("batch_size, batches, accumulation, updates", [(6, 10, 4, 3), (8, 8, 4, 2)])
def test_updates_with_gradient_accumulation(asr_root, asr_tokenizer, config_file, batch_size, batches, accumulation,
                                            updates):
    config = _config(asr_root, gradient_accumulation_steps=accumulation, autocast_dtype="float32")
    loader = _loader(config, asr_tokenizer, "train-clean-100", batch_size=batch_size)
    assert len(loader) == batches
    trainer = _trainer(config, asr_tokenizer, config_file)
    trainer._train_epoch(loader)
    assert trainer.scheduler.last_epoch == updates
    assert trainer.optimizer.state[next(trainer.model.parameters())]["step"].item() == updates


def test_plateau_scheduler_steps_once_per_epoch_with_the_cer(asr_root, asr_tokenizer, config_file):
    config = _config(asr_root, autocast_dtype="float32")
    train = _loader(config, asr_tokenizer, "train-clean-100", subset_size=16)
    val = _loader(config, asr_tokenizer, "dev-clean")
    trainer = _trainer(config, asr_tokenizer, config_file,
                       scheduler=lambda opt: torch.optim.lr_scheduler.ReduceLROnPlateau(opt, patience=0))
    trainer._train_epoch(train)
    assert trainer.scheduler.last_epoch == 0
    trainer.train(train, val, epochs=1)
    assert trainer.scheduler.last_epoch == 1
    assert trainer.scheduler.best == trainer.training_history[0]["val"]["cer"]


@pytest.mark.parametrize("name, dtype", [(None, torch.float16), ("bfloat16", torch.bfloat16),
                                         ("float32", torch.float32)])
def test_autocast_dtype_sets_precision_and_scaler(asr_root, asr_tokenizer, config_file, name, dtype):
    config = _config(asr_root) if name is None else _config(asr_root, autocast_dtype=name)
    trainer = _trainer(config, asr_tokenizer, config_file)
    _, attn = trainer._train_epoch(_loader(config, asr_tokenizer, "train-clean-100", subset_size=8))
    assert attn["layer1_dec_self"].dtype == dtype
    assert trainer.scaler.is_enabled() == (dtype == torch.float16)
    # A disabled scaler still goes through the checkpoint.
    trainer.save_checkpoint("state.pth")
    trainer.load_checkpoint("state.pth")
    assert torch.load(trainer.checkpoint_dir / "state.pth", weights_only=True)["scaler_state_dict"] == (
        trainer.scaler.state_dict())


@pytest.mark.parametrize("key, value, message", [
    *[("autocast_dtype", value, "must be one of 'float16', 'bfloat16', 'float32'") for value in
      ["float64", "fp16", None, 16]],
    *[("gradient_accumulation_steps", value, "must be an integer >= 1") for value in [0, -1, 2.0, True, "2"]],
    *[("keep_last", value, "must be an integer >= 0") for value in [-1, 1.5, False]],
    *[("process_group_timeout", value, "must be a number > 0") for value in [0, -5, "60"]],
])
def test_training_settings_are_checked_before_the_run_folder_is_made(asr_root, asr_tokenizer, config_file,
                                                                      tmp_path, key, value, message, capsys):
    with pytest.raises(ValueError) as error:
        _trainer(_config(asr_root, **{key: value}), asr_tokenizer, config_file, run_name="refused")
    assert str(error.value) == f"training.{key} {message}, got {value!r}"
    assert not (tmp_path / "expts" / "refused").exists() and capsys.readouterr().out == ""


def test_configuration_and_state_errors(asr_root, asr_tokenizer, config_file, tmp_path):
    config = _config(asr_root)
    loader = _loader(config, asr_tokenizer, "train-clean-100", subset_size=8)
    trainer = _trainer(config, asr_tokenizer, config_file)

    (asr_root / "empty" / "fbank").mkdir(parents=True, exist_ok=True)
    (asr_root / "empty" / "text").mkdir(exist_ok=True)
    with pytest.raises(ValueError, match=r"^\[Training ASR\] the data loader is empty"):
        trainer._train_epoch(_loader(config, asr_tokenizer, "empty"))
    trainer.optimizer = trainer.scheduler = None
    with pytest.raises(ValueError, match="^Scheduler is not initialized, initialize it first!$"):
        trainer.train(loader, loader, epochs=1)
    trainer.scheduler = object()
    with pytest.raises(ValueError, match="^Optimizer is not initialized, initialize it first!$"):
        trainer.train(loader, loader, epochs=1)
    with pytest.raises(KeyError, match="loss"):
        _trainer({k: v for k, v in config.items() if k != "loss"}, asr_tokenizer, config_file)


def test_recognize_batches_searches_and_records(asr_root, asr_tokenizer, config_file, capsys):
    console.configure(progress=True)  # bars into the captured standard error, which is no terminal
    config = _config(asr_root)
    val = _loader(config, asr_tokenizer, "dev-clean", batch_size=2)
    trainer = _trainer(config, asr_tokenizer, config_file)
    with pytest.raises(ValueError, match="^text_max_len is not set. Please run training loop first or provide "
                                         "a max_length$"):
        trainer.recognize(val)
    trainer.text_max_len = 6
    greedy = trainer.recognize(val)
    assert len(greedy) == 10 and "[Recognizing ASR] : greedy" in capsys.readouterr().err  # 5 of 6 batches
    assert [r["target"] for r in greedy] == _texts(12, 1)[:10]
    assert len(trainer.recognize(val, {"num_batches": None, "beam_width": 1}, max_length=50)) == 12
    assert "[Recognizing ASR] : None" in capsys.readouterr().err

    # The same search written out by hand, on the model's own encoder output and scores.
    settings = {"num_batches": 2, "beam_width": 3, "repeat_penalty": 1.5}
    beam, beam_one = (trainer.recognize(val, settings | {"beam_width": width}, "beam", max_length=9)
                      for width in (3, 1))
    generator = SequenceGenerator(score_fn=None, tokenizer=asr_tokenizer, max_length=9, device="cpu")
    expected, expected_one = [], []
    with torch.no_grad():
        for i, (feats, _, _, feat_lengths, _) in zip(range(2), val):
            encoder_output, pad_mask, _, _ = trainer.model.encode(feats, feat_lengths)
            generator.score_fn = lambda x: trainer.model.score(x, encoder_output, pad_mask)
            start = torch.full((2, 1), asr_tokenizer.sos_id)
            seqs, scores = generator.generate_beam(start, beam_width=3, repeat_penalty=1.5)
            expected += zip(generator.post_process_sequence(seqs[:, 0], asr_tokenizer), scores[:, 0].tolist())
            seqs, scores = generator.generate_beam(start, beam_width=1)
            expected_one += zip(generator.post_process_sequence(seqs[:, 0], asr_tokenizer), scores[:, 0].tolist())
    for records, reference in [(beam, expected), (beam_one, expected_one)]:
        assert [(r["generated"], r["score"]) for r in records] == [
            (asr_tokenizer.decode(seq.tolist(), skip_special_tokens=True), pytest.approx(score, abs=1e-5))
            for seq, score in reference]

    test = _loader(config, asr_tokenizer, "test-clean", batch_size=4)
    records = trainer.recognize(test, {"num_batches": None, "beam_width": 1})
    assert len(records) == 7 and all(list(r) == ["generated", "score"] for r in records)


def test_shallow_fusion_adds_the_weighted_language_model(asr_root, asr_tokenizer, config_file):
    config = _config(asr_root)
    trainer = _trainer(config, asr_tokenizer, config_file)
    trainer.model.eval()
    lm = DecoderOnlyTransformer(num_layers=1, d_model=16, num_heads=2, d_ff=32, dropout=0.1, max_len=16,
                                num_classes=asr_tokenizer.vocab_size)
    calls = []
    lm.final_linear.register_forward_hook(lambda module, args, output: calls.append(tuple(args[0].shape[:2])))
    feats, _, _, feat_lengths, _ = next(iter(_loader(config, asr_tokenizer, "dev-clean", batch_size=2)))
    x = torch.tensor([[asr_tokenizer.sos_id, 4, 5], [asr_tokenizer.sos_id, 6, 6]])
    with torch.no_grad():
        encoder_output, pad_mask, _, ctc_inputs = trainer.model.encode(feats, feat_lengths)
        asr = trainer.model.score(x, encoder_output, pad_mask)
        lm.eval()
        lm_scores = lm.score(x)
        calls.clear()
        for weight in (0.0, 5.0):
            alone = batch_scorer(trainer.model, asr_tokenizer, encoder_output, pad_mask, ctc_inputs,
                                 Search(1, 0.0, weight))(x)
            assert torch.equal(alone, asr)
        assert calls == []
        for weight in (0.0, 0.3):
            fused = batch_scorer(trainer.model, asr_tokenizer, encoder_output, pad_mask, ctc_inputs,
                                 Search(1, 0.0, weight), lm)(x)
            torch.testing.assert_close(fused, asr + weight * lm_scores)
        assert calls == [(2, 3)]  # a language model weighted by 0 is not run

    lm.train()
    trainer.text_max_len = 6
    dev = _loader(config, asr_tokenizer, "dev-clean", batch_size=2)
    plain = trainer.recognize(dev, {"num_batches": 1, "beam_width": 1})
    fused = trainer.recognize(dev, {"num_batches": 1, "beam_width": 1, "lm_model": lm, "lm_weight": 2.0})
    assert not lm.training and calls[2:] and [r["score"] for r in fused] != [r["score"] for r in plain]

    # Recognition runs both models incrementally; a full-prefix search gives the same result: the
    # fused log-probabilities added as they are, beams ranked per token, the best that ended kept.
    settings = {"num_batches": 2, "beam_width": 4, "lm_model": lm, "lm_weight": 0.5}
    cached = trainer.recognize(dev, settings, "beam_4_lm", max_length=9)
    expected = []
    with torch.no_grad():
        for i, (feats, _, _, feat_lengths, _) in zip(range(2), dev):
            encoder_output, pad_mask, _, ctc_inputs = trainer.model.encode(feats, feat_lengths)
            fused = lambda x: trainer.model.score(x, encoder_output, pad_mask) + 0.5 * lm.score(x)
            fused.final = True
            generator = SequenceGenerator(score_fn=fused, tokenizer=asr_tokenizer, max_length=9, device="cpu")
            seqs, scores = generator.generate_beam(torch.full((2, 1), asr_tokenizer.sos_id), beam_width=4,
                                                   max_lengths=(ctc_inputs["lengths"] + 2).clamp(max=9),
                                                   normalize_length=True)
            for n in range(2):
                w = next((w for w in range(4) if asr_tokenizer.eos_id in seqs[n, w].tolist()), None)
                if w is None:  # no beam ended within 9 tokens: the CTC head's best path stands in
                    ids = ctc_best_path(ctc_inputs["log_probs"][:ctc_inputs["lengths"][n], n], asr_tokenizer)
                    expected.append((asr_tokenizer.decode(ids), float("-inf")))
                    continue
                expected.append((asr_tokenizer.decode(seqs[n, w].tolist(), skip_special_tokens=True),
                                 pytest.approx(scores[n, w].item(), abs=1e-5)))
    assert [(r["generated"], r["score"]) for r in cached] == expected


def test_evaluate_returns_one_table_per_configuration(asr_root, asr_tokenizer, config_file, capsys):
    config = _config(asr_root)
    test = _loader(config, asr_tokenizer, "test-clean", batch_size=4)
    trainer = _trainer(config, asr_tokenizer, config_file)
    configs = trainer._get_evaluation_recognition_configs()
    assert list(configs) == ["greedy", "beam_10", "beam_20"]
    assert configs["beam_10"] == {"num_batches": None, "temperature": 1.0, "repeat_penalty": 1.0,
                                  "lm_weight": 0.0, "lm_model": None, "beam_width": 10}
    configs["greedy"]["temperature"] = 0.0  # copies: the others keep theirs
    assert configs["beam_20"]["temperature"] == 1.0
    assert trainer._get_evaluation_recognition_configs(lm_weight=1)["greedy"]["lm_weight"] == 1.0

    tables = trainer.evaluate(test, max_length=8)
    assert list(tables) == ["greedy", "beam_10", "beam_20"]
    for name, table in tables.items():
        assert list(table.columns) == ["id", "transcription"] and table["id"].tolist() == list(range(7))
        records = json.loads((trainer.text_dir / f"text_test_{name}_results.json").read_text())
        assert [r["generated"] for r in records] == table["transcription"].tolist()
    assert [line for line in capsys.readouterr().out.splitlines() if line.startswith("Evaluating")] == [
        "Evaluating with greedy config", "Evaluating with beam_10 config", "Evaluating with beam_20 config"]

    trainer._get_evaluation_recognition_configs = lambda: configs
    tables = trainer.evaluate(test, max_length=8)
    assert list(tables) == ["beam_10", "beam_20"] and isinstance(tables["beam_10"], pd.DataFrame)
    assert "Error evaluating with greedy config: temperature must be > 0, got 0.0" in capsys.readouterr().out


def test_asr_metrics_against_edit_distances(asr_root, asr_tokenizer, config_file, edit_distance):
    trainer = _trainer(_config(asr_root), asr_tokenizer, config_file)
    assert trainer._calculate_asr_metrics(["the cat sat down"], ["the cat sat down"]) == {
        "word_dist": 0.0, "wer": 0.0, "cer": 0.0}
    assert trainer._calculate_asr_metrics("the cat sat down", "the cat sat dawn")["wer"] == pytest.approx(25.0)
    references = ["the cat sat down", "a dog", "birds fly south in winter"]
    hypotheses = ["the bat sat", "a dog barks", "bird fly south winter"]
    metrics = trainer._calculate_asr_metrics(references, hypotheses)
    words = sum(edit_distance(r.split(), h.split()) for r, h in zip(references, hypotheses))
    chars = [edit_distance(r, h) for r, h in zip(references, hypotheses)]
    assert list(metrics) == ["word_dist", "wer", "cer"]
    assert metrics["word_dist"] == pytest.approx(np.mean(chars))
    assert metrics["wer"] == pytest.approx(100 * words / sum(len(r.split()) for r in references))
    assert metrics["cer"] == pytest.approx(100 * sum(chars) / sum(len(r) for r in references))


def _stage(name, encoder, decoder, **rest):
    return {"name": name, "epochs": 1, "encoder_active_layers": encoder, "decoder_active_layers": decoder,
            "dropout": 0.0, "label_smoothing": 0.0, "data_subset": 0.1} | rest


def test_stage_report_layers_and_freezing(asr_root, asr_tokenizer, config_file, capsys):
    trainer = _trainer(_config(asr_root), asr_tokenizer, config_file, cls=ProgressiveTrainer, layers=6, d_model=16)
    encoders, decoders = list(trainer.model.enc_layers), list(trainer.model.dec_layers)
    assert trainer.all_yorvane == encoders and trainer.all_skellan == decoders and trainer.current_stage == 0
    capsys.readouterr()
    trainer.configure_stage(_stage("shallow", [0, 2, 4], [1, 0], encoder_freeze=[True, False, True], epochs=5,
                                   dropout=0.3, label_smoothing=0.2, data_subset=0.2))
    numel = lambda *layers: sum(p.numel() for layer in layers for p in layer.parameters())
    assert capsys.readouterr().out.splitlines() == [
        "", "=" * 80, "Starting Stage: shallow".center(80), "=" * 80, "", "Configuration Details:",
        "├── Data Subset: 20.0% of training data", "├── Training Epochs: 5", "├── Dropout: 0.3",
        "├── Label Smoothing: 0.2",
        "├── Encoder Layers:", "│   ├── Layer 0: Frozen", "│   ├── Layer 2: Trainable", "│   ├── Layer 4: Frozen",
        "├── Decoder Layers:", "│   ├── Layer 1: Trainable", "│   ├── Layer 0: Trainable",
        f"├── Frozen Parameters: {numel(encoders[0], encoders[4]):,}",
        f"└── Trainable Parameters: {numel(encoders[2], decoders[1], decoders[0]):,}"]
    model = trainer.model
    assert list(model.enc_layers) == [encoders[0], encoders[2], encoders[4]] and model.num_yorvane == 3
    assert list(model.dec_layers) == [decoders[1], decoders[0]] and model.num_skellan == 2
    assert [{p.requires_grad for p in layer.parameters()} for layer in model.enc_layers] == [{False}, {True}, {False}]
    assert model.dropout.p == 0.3 and model.enc_layers[0].ffn.dropout.p == 0.1
    assert (trainer.ce_criterion.label_smoothing, trainer.ce_criterion.ignore_index) == (0.2, asr_tokenizer.pad_id)

    with pytest.raises(ValueError, match=r"^Encoder freeze list length \(3\) must match number of active encoder "
                                         r"layers \(2\)$"):
        trainer.configure_stage(_stage("bad", [0, 1], [0], encoder_freeze=[True, False, True]))
    with pytest.raises(ValueError, match=r"^Decoder freeze list length \(1\) must match number of active decoder "
                                         r"layers \(3\)$"):
        trainer.configure_stage(_stage("bad", [5], [0, 1, 2], decoder_freeze=[True]))
    assert list(model.enc_layers) == [encoders[5]]


@pytest.mark.slow
def test_stages_then_full_training(asr_root, asr_tokenizer, config_file, capsys):
    config = _config(asr_root, autocast_dtype="float32")
    train = _loader(config, asr_tokenizer, "train-clean-100")
    val = _loader(config, asr_tokenizer, "dev-clean", batch_size=12)
    test = _loader(config, asr_tokenizer, "test-clean")
    trainer = _trainer(config, asr_tokenizer, config_file, cls=ProgressiveTrainer, layers=3, d_model=16)

    subset = trainer.get_subset_dataloader(test, 0.2)
    assert len(subset.dataset) == 1 and isinstance(subset.sampler, torch.utils.data.RandomSampler)
    assert (subset.batch_size, subset.num_workers, subset.collate_fn) == (8, 0, test.dataset.collate_fn)
    subset = trainer.get_subset_dataloader(train, 0.5)
    assert len(set(subset.dataset.indices)) == 30 and set(subset.dataset.indices) <= set(range(60))
    data = trainer.config["data"]
    for settings, workers in [({"num_workers": 1}, 1), ({"NUM_WORKERS": 2}, 2), ({}, 0)]:
        trainer.config["data"] = {"batch_size": 8} | settings
        assert trainer.get_subset_dataloader(train, 0.5).num_workers == workers
    trainer.config["data"] = data
    assert (subset.dataset.text_max_len, subset.dataset.feat_max_len) == (
        train.dataset.text_max_len, train.dataset.feat_max_len)
    assert subset.dataset.get_avg_chars_per_token() == train.dataset.get_avg_chars_per_token()

    initial = [{k: v.clone() for k, v in layer.state_dict().items()} for layer in trainer.all_yorvane]
    changed = lambda i: any(not torch.equal(v, initial[i][k]) for k, v in trainer.all_yorvane[i].state_dict().items())
    stages = [_stage("one", [0], [0], encoder_freeze=[True], epochs=2),
              _stage("two", [0, 1], [0, 2], encoder_freeze=[True, False])]
    with pytest.raises(TypeError, match="stages"):
        trainer.progressive_train(train, val, tuple(stages))
    trainer.progressive_train(train, val, stages)
    assert [entry["epoch"] for entry in trainer.training_history] == [0, 1, 2] and trainer.current_stage == 1
    assert [changed(i) for i in range(3)] == [False, True, False]  # frozen, trained, never active
    # A stage model's CER is not the full model's: stages keep no best checkpoint.
    assert not trainer.best_model_path.exists() and trainer.best_metric == float("inf")
    assert trainer.model.dropout.p == 0.0

    small = _loader(config, asr_tokenizer, "train-clean-100", subset_size=16)
    capsys.readouterr()
    trainer.train(small, val, epochs=2)
    out = capsys.readouterr().out
    assert [entry["epoch"] for entry in trainer.training_history] == [0, 1, 2, 3, 4]
    total = sum(p.numel() for p in trainer.model.parameters())
    assert out.startswith(f"\n=== Transitioning to Full Training ===\n├── Total Unfrozen Parameters: {total:,}\n")
    assert list(trainer.model.enc_layers) == trainer.all_yorvane and trainer.model.num_yorvane == 3
    assert list(trainer.model.dec_layers) == trainer.all_skellan and trainer.model.num_skellan == 3
    assert all(p.requires_grad for p in trainer.model.parameters()) and changed(0)
    assert trainer.ce_criterion.label_smoothing == 0.1 and trainer.model.dropout.p == 0.1
    assert trainer.best_metric == min(entry["val"]["cer"] for entry in trainer.training_history[3:])


@pytest.mark.slow
def test_stage_checkpoints_hold_the_full_model_and_resume_the_curriculum(asr_root, asr_tokenizer, config_file,
                                                                          capsys, assert_same):
    config = _config(asr_root, autocast_dtype="float32")
    train = _loader(config, asr_tokenizer, "train-clean-100", subset_size=16)
    val = _loader(config, asr_tokenizer, "dev-clean", batch_size=4)
    # The first stage runs every encoder layer in reverse order, and one decoder layer.
    stages = [_stage("reversed", [2, 1, 0], [1], epochs=2, data_subset=0.5), _stage("two", [0, 2], [0, 2])]
    trainer = _trainer(config, asr_tokenizer, config_file, cls=ProgressiveTrainer, layers=3, d_model=16)
    epoch_of_stage = trainer._train_epoch
    trainer._train_epoch = lambda loader: epoch_of_stage(loader) if not trainer.training_history else 1 / 0
    with pytest.raises(ZeroDivisionError):  # the run stops in the second epoch of the first stage
        trainer.progressive_train(train, val, stages)

    saved = torch.load(trainer.last_model_path, weights_only=True)
    assert saved["curriculum"] == {"stage": 0, "epochs_done": 1, "finished": False}
    for side, layers in [("enc", trainer.all_yorvane), ("dec", trainer.all_skellan)]:
        for i, layer in enumerate(layers):
            for key, value in layer.state_dict().items():
                assert torch.equal(saved["model_state_dict"][f"{side}_layers.{i}.{key}"], value), (side, i, key)
    model = EncoderDecoderTransformer(input_dim=NUM_FEATS, time_reduction=4, reduction_method="conv",
                                      num_encoder_layers=3, num_decoder_layers=3, d_model=16, num_heads=2, d_ff=32,
                                      dropout=0.1, max_len=260, num_classes=asr_tokenizer.vocab_size)
    model.load_state_dict(saved["model_state_dict"])  # strictly: the full model, layer for layer
    assert list(trainer.model.enc_layers) == trainer.all_yorvane[::-1] and trainer.model.num_skellan == 1
    assert not trainer.best_model_path.exists()

    resumed = _trainer(config, asr_tokenizer, config_file, cls=ProgressiveTrainer, layers=3, d_model=16)
    resumed.load_checkpoint("checkpoint-last-epoch-model.pth")
    assert (resumed.current_stage, resumed.stage_epochs_done, resumed.stages_finished) == (0, 1, False)
    assert_same(resumed.model.state_dict(), saved["model_state_dict"])
    resumed.current_epoch += 1
    capsys.readouterr()
    resumed.progressive_train(train, val, stages)
    out = capsys.readouterr().out
    assert [line.strip() for line in out.splitlines() if "Starting Stage" in line] == [
        "Starting Stage: reversed", "Starting Stage: two"]
    assert [entry["epoch"] for entry in resumed.training_history] == [0, 1, 2]
    saved = torch.load(resumed.last_model_path, weights_only=True)
    assert saved["curriculum"] == {"stage": 1, "epochs_done": 1, "finished": False} and saved["epoch"] == 2
    resumed.train(train, val, epochs=1)
    saved = torch.load(resumed.last_model_path, weights_only=True)
    assert saved["curriculum"] == {"stage": 1, "epochs_done": 1, "finished": True} and saved["epoch"] == 3
    assert torch.load(resumed.best_model_path, weights_only=True)["epoch"] == 3

    # Resumed in full training: no stage is left, and the full model's best CER is kept.
    last = _trainer(config, asr_tokenizer, config_file, cls=ProgressiveTrainer, layers=3, d_model=16)
    last.load_checkpoint("checkpoint-last-epoch-model.pth")
    capsys.readouterr()
    last.progressive_train(train, val, stages)
    assert capsys.readouterr().out == "" and len(last.training_history) == 4
    last.transition_to_full_training()
    assert last.best_metric == resumed.best_metric == resumed.training_history[3]["val"]["cer"]

    with pytest.raises(ValueError, match=r"^the run is in stage 1 \(counted from 0\), but only 1 stages are given$"):
        resumed.stages_finished = False
        resumed.progressive_train(train, val, stages[:1])
    plain = _trainer(config, asr_tokenizer, config_file, layers=3, d_model=16)
    plain.save_checkpoint("plain.pth")
    with pytest.raises(RuntimeError, match="does not fit this model: the checkpoint lacks curriculum, where the "
                                           "stages of a staged run stand$"):
        last.load_checkpoint("plain.pth")

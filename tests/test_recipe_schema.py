import re
from pathlib import Path

import pytest
import yaml

from quorlin.recipe import RecipeError, load_recipe
from quorlin.recipe_schema import check_recognizer_settings, check_run_config
from quorlin.run_folder import RunFolderError

RECIPES = Path(__file__).resolve().parents[1] / "recipes"
DELETE = object()
STAGE = {"name": "shallow", "epochs": 1, "encoder_active_layers": [0, 1], "decoder_active_layers": [0, 1],
         "dropout": 0.1, "label_smoothing": 0.0, "data_subset": 0.5}


def _edited(edits):
    """The demo recipe with ``edits``: dotted key paths set to values, or deleted."""
    recipe = yaml.safe_load((RECIPES / "demo.yaml").read_text())
    for path, value in edits.items():
        *parents, last = path.split(".")
        section = recipe
        for name in parents:
            section = section[name]
        if value is DELETE:
            del section[last]
        else:
            section[last] = value
    return recipe


def _error(text):
    Path("x.yaml").write_text(text)
    with pytest.raises(RecipeError) as error:
        load_recipe("x.yaml")
    return str(error.value)


@pytest.mark.parametrize("name", ["demo.yaml", "librispeech-100.yaml"])
def test_shipped_recipes_pass(name):
    recipe = load_recipe(str(RECIPES / name))
    assert recipe == yaml.safe_load((RECIPES / name).read_text())


def test_every_optional_key_is_accepted(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    recipe = _edited({
        "seed": 0,
        "prepare.dev": {"dev-clean": "a/dev", "other": "a/other"},
        "prepare.test": {"test-clean": "a/test", "test.other_2": "a/test-other"},
        "prepare.text": {"normalization": "NFKC", "case": "keep", "remove_punctuation": True, "alphabet": "ABC '"},
        "tokenizer": {"kind": "unigram", "vocab_size": 300},
        "asr.model.encoder_type": "conformer", "asr.model.conv_kernel_size": 31,
        "asr.data.max_duration": 20.5, "asr.data.num_workers": 0, "asr.data.subset": 100,
        "asr.data.storage": "stream",
        "asr.training": {"gradient_accumulation_steps": 2, "autocast_dtype": "float32", "keep_last": 0,
                         "process_group_timeout": 60, "use_wandb": False, "wandb_project": "p",
                         "wandb_run_id": None},
        "asr.stages": [{**STAGE, "encoder_freeze": [True, False], "decoder_freeze": []}],
        "lm.optimizer": {"name": "SGD", "lr": 1, "weight_decay": 0, "sgd": {"momentum": 0.9, "nesterov": True,
                                                                             "dampening": 0},
                         "param_groups": [{"name": "emb", "patterns": ["embedding"], "lr": 0.1,
                                           "layer_decay": {"enabled": True, "decay_rate": 0.9}}]},
        "lm.scheduler": {"name": "reduce_lr", "reduce_lr": {"mode": "min", "factor": 0.5, "patience": 2},
                         "warmup": {"enabled": False}},
        "evaluate": {"beam_width": [1, 10], "ctc_weight": 0.3, "lm_weight": [0, 0.25], "max_length": 100,
                     "batch_size": 8, "average_last": 3},
    })
    Path("x.yaml").write_text(yaml.safe_dump(recipe))
    assert load_recipe("x.yaml") == recipe


RUN_NAME = "a folder name in 'expts': printable characters, no '/', not starting with '.'"
BAD = [
    # Unknown keys, with what the section may hold.
    ({"evaluate.ctc_wieght": 0.1}, "evaluate.ctc_wieght is not a known key; evaluate may hold: average_last, "
                                   "batch_size, beam_width, ctc_weight, lm_weight, max_length"),
    ({"asr.data.batchsize": 8}, "asr.data.batchsize is not a known key; asr.data may hold: batch_size, "
                                "group_by_length, max_duration, norm, num_feats, num_workers, root, specaug, "
                                "specaug_conf, storage, subset, subset_size"),
    ({"evalute": {}}, "evalute is not a known key; the recipe may hold: asr, evaluate, lm, prepare, seed, tokenizer"),
    ({"asr.training.label_smoothing": 0.1},
     "asr.training.label_smoothing is not a known key; asr.training may hold: autocast_dtype, "
     "gradient_accumulation_steps, keep_last, process_group_timeout, use_wandb, wandb_project, wandb_run_id"),
    # Missing keys.
    ({"asr.loss": DELETE}, "asr.loss is missing: it must be a mapping"),
    ({"asr.data.norm": DELETE}, "asr.data.norm is missing: it must be one of 'global_mvn', 'cepstral', 'none'"),
    ({"lm.training.gradient_accumulation_steps": DELETE},
     "lm.training.gradient_accumulation_steps is missing: it must be an integer >= 1"),
    ({"lm.model.num_layers": DELETE}, "lm.model.num_layers is missing: it must be an integer >= 1"),
    ({"asr.optimizer.name": "AdamW", "asr.optimizer.adamw": DELETE},
     "asr.optimizer.adamw is missing: it must be a mapping when asr.optimizer.name is 'AdamW'"),
    ({"asr.optimizer.layer_decay": {"enabled": True}},
     "asr.optimizer.layer_decay.decay_rate is missing: it must be a number > 0 "
     "when asr.optimizer.layer_decay.enabled is True"),
    ({"tokenizer": {"kind": "bpe"}},
     "tokenizer.vocab_size is missing: it must be an integer > 4 when tokenizer.kind is 'bpe'"),
    # Types and ranges.
    ({"prepare.lm_text": "file.txt"}, "prepare.lm_text must be a list of non-empty strings, got 'file.txt'"),
    ({"asr.data.norm": "global-mvn"},
     "asr.data.norm must be one of 'global_mvn', 'cepstral', 'none', got 'global-mvn'"),
    ({"asr.data.storage": "disk"}, "asr.data.storage must be one of 'memory', 'stream', got 'disk'"),
    ({"asr.optimizer.lr": 0}, "asr.optimizer.lr must be a number > 0, got 0"),
    ({"asr.loss.ctc_weight": 1.5}, "asr.loss.ctc_weight must be a number in [0, 1], got 1.5"),
    ({"lm.epochs": 2.5}, "lm.epochs must be an integer >= 1, got 2.5"),
    ({"asr.data.batch_size": True}, "asr.data.batch_size must be an integer >= 1, got True"),
    ({"asr.model.dropout": 1.0}, "asr.model.dropout must be a number in [0, 1), got 1.0"),
    ({"evaluate.beam_width": [4, 0]}, "evaluate.beam_width[1] must be an integer in [1, 256], got 0"),
    ({"evaluate.beam_width": 10 ** 9}, "evaluate.beam_width must be an integer in [1, 256], got 1000000000"),
    ({"evaluate.beam_width": []}, "evaluate.beam_width must be a non-empty list of integers in [1, 256], got []"),
    ({"evaluate.beam_width": "10"},
     "evaluate.beam_width must be an integer in [1, 256] or a non-empty list of integers in [1, 256], got '10'"),
    ({"evaluate.ctc_weight": [0.1, 1.2]}, "evaluate.ctc_weight[1] must be a number in [0, 1], got 1.2"),
    ({"evaluate.lm_weight": float("nan")}, "evaluate.lm_weight must be a number >= 0, got nan"),
    ({"prepare.speed_perturb": [0.9, 3.0]}, "prepare.speed_perturb[1] must be a number in [0.5, 2.0], got 3.0"),
    ({"prepare.speed_perturb": [0.9, 1.0]},
     "prepare.speed_perturb[1] must not be 1.0: the utterances themselves are always kept, got 1.0"),
    ({"prepare.speed_perturb": [1.1, 0.9, 1.1]}, "prepare.speed_perturb[2] repeats an earlier factor, got 1.1"),
    ({"lm.training.autocast_dtype": "fp16"},
     "lm.training.autocast_dtype must be one of 'float16', 'bfloat16', 'float32', got 'fp16'"),
    ({"asr.scheduler.name": "linear"},
     "asr.scheduler.name must be one of 'reduce_lr', 'cosine', 'cosine_warm' (any case), got 'linear'"),
    ({"asr.optimizer.adamw.betas": [0.9]},
     "asr.optimizer.adamw.betas must be a list of 2 numbers in [0, 1), got [0.9]"),
    ({"tokenizer.vocab_size": 4}, "tokenizer.vocab_size must be an integer > 4, got 4"),
    ({"asr.model.conv_kernel_size": 4}, "asr.model.conv_kernel_size must be an odd integer >= 3, got 4"),
    ({"asr.data.specaug_conf.num_time_mask": -1},
     "asr.data.specaug_conf.num_time_mask must be an integer >= 0, got -1"),
    ({"lm.data.subset_size": 2.5}, "lm.data.subset_size must be a fraction in (0, 1], a whole number of files above 1, "
                                   "or <= 0 for all files, got 2.5"),
    ({"asr.data.subset": 0.5, "asr.data.subset_size": 0.2},
     "asr.data.subset cannot be given with asr.data.subset_size, got 0.5"),
    ({"lm.training.wandb_run_id": 5}, "lm.training.wandb_run_id must be a non-empty string or null, got 5"),
    ({"seed": -1}, "seed must be an integer >= 0, got -1"),
    ({"prepare.text": {"normalization": "NFX"}},
     "prepare.text.normalization must be one of 'NFC', 'NFKC', 'NFD', 'NFKD', got 'NFX'"),
    # Set names of the dev and test sources.
    ({"prepare.dev": {}}, "prepare.dev must be a non-empty mapping of set names to non-empty strings, got {}"),
    ({"prepare.dev": {"other": "d/o", "a/b": "d/ab"}},
     "prepare.dev set name must be a string matching [A-Za-z0-9][A-Za-z0-9_.-]*, got 'a/b'"),
    ({"prepare.dev": {"clean": "d/c"}, "prepare.test": {"clean": "t/c"}},
     "prepare.test set name must differ from the set names of prepare.dev, got 'clean'"),
    ({"prepare.test": {"train-clean-100": "t"}},
     "prepare.test set name must not be that of the training partition, got 'train-clean-100'"),
    # Run names.
    ({"lm.run_name": "/tmp/lm"}, f"lm.run_name must be {RUN_NAME}, got '/tmp/lm'"),
    ({"asr.run_name": "demo-lm/inner"}, f"asr.run_name must be {RUN_NAME}, got 'demo-lm/inner'"),  # inside the LM's
    ({"asr.run_name": ".."}, f"asr.run_name must be {RUN_NAME}, got '..'"),
    ({"asr.run_name": ""}, f"asr.run_name must be {RUN_NAME}, got ''"),
    ({"asr.run_name": "demo\nasr"}, f"asr.run_name must be {RUN_NAME}, got 'demo\\nasr'"),
    ({"asr.run_name": "demo\0asr"}, f"asr.run_name must be {RUN_NAME}, got 'demo\\x00asr'"),
    ({"asr.run_name": "é" * 128}, f"asr.run_name must be {RUN_NAME}, got '{'é' * 37}...{'é' * 38}'"),
    ({"asr.run_name": "demo-lm"}, "asr.run_name must differ from lm.run_name, got 'demo-lm'"),
    # Keys that must agree with each other.
    ({"lm.model.d_model": 190}, "lm.model.d_model must be divisible by lm.model.num_heads (4), got 190"),
    ({"asr.model.input_dim": 80}, "asr.model.input_dim must equal asr.data.num_feats (40), got 80"),
    ({"lm.scheduler.name": "reduce_lr", "lm.scheduler.reduce_lr": {"patience": 2}},
     "lm.scheduler.warmup.enabled must be false with the reduce_lr scheduler, got True"),
    ({"asr.stages": [{**STAGE, "encoder_active_layers": [0, 4]}]},
     "asr.stages[0].encoder_active_layers[1] must be a layer index below asr.model.num_encoder_layers (4), got 4"),
    ({"asr.stages": [{**STAGE, "decoder_freeze": [True]}]},
     "asr.stages[0].decoder_freeze must hold one flag per active decoder layer (2), got [True]"),
    ({"asr.stages": [STAGE, {**STAGE, "data_subset": 0}]},
     "asr.stages[1].data_subset must be a number in (0, 1], got 0"),
    ({"asr.stages": [STAGE], "asr.loss.label_smoothing": DELETE},
     "asr.loss.label_smoothing is missing: it must be a number in [0, 1) when asr.stages is not empty"),
]


@pytest.mark.parametrize("edits, message", BAD, ids=[message.split(" ")[0] for _, message in BAD])
def test_bad_recipes_are_named_by_key(tmp_path, monkeypatch, edits, message):
    monkeypatch.chdir(tmp_path)
    assert _error(yaml.safe_dump(_edited(edits))) == f"x.yaml: {message}"


@pytest.mark.parametrize("old, new, message", [
    ("batch_size: 8 ", "batch_size: on ", "asr.data.batch_size must be an integer >= 1, got True"),
    ("lr: 0.003", "lr: 3e-3", "asr.optimizer.lr must be a number > 0 (YAML reads 3e-3 as text: write 3.0e-3), "
                              "got '3e-3'"),
    ("eps: 1.0e-8", "eps: 1.0e8", "lm.optimizer.adamw.eps must be a number > 0 (YAML reads 1.0e8 as text: "
                                  "write 1.0e+8), got '1.0e8'"),
    ("evaluate: {", "evaluate:\nunused: {", "evaluate must be a mapping, got None"),
    (None, "", "the recipe must be a mapping, got None"),
    (None, "- prepare\n", "the recipe must be a mapping, got ['prepare']"),
])
def test_yaml_spellings(tmp_path, monkeypatch, old, new, message):
    monkeypatch.chdir(tmp_path)
    text = new if old is None else (RECIPES / "demo.yaml").read_text().replace(old, new, 1)
    assert _error(text) == f"x.yaml: {message}"
    suggested = re.search(r"write (\S+)\)", message)
    if suggested:  # YAML reads the suggested spelling as the number meant
        assert yaml.safe_load(suggested.group(1)) == float(re.search(r"reads (\S+) as", message).group(1))


# A run folder's files, held to the same rules.

def _settings(**changes):
    settings = {"norm": "global_mvn", "max_length": 40, "global_mean": [0.5] * 3, "global_std": [1.0] * 3,
                "search": {"beam_width": 10, "ctc_weight": 0.3, "lm_weight": 0.0, "chosen_on": "dev-clean"}}
    return {**settings, **changes}


DATA = {"norm": "global_mvn", "num_feats": 3}


@pytest.mark.parametrize("settings, message", [
    (_settings(search=[10, 0.3]), "search must be a mapping, got [10, 0.3]"),
    (_settings(search={"beam_width": 10 ** 9}), "search.beam_width must be an integer in [1, 256], got 1000000000"),
    (_settings(search={"ctc_weight": "0.3"}), "search.ctc_weight must be a number in [0, 1], got '0.3'"),
    (_settings(search={"lm_weight": float("inf")}), "search.lm_weight must be a number >= 0, got inf"),
    (_settings(global_mean=[0.5, 0.5]), "global_mean holds 2 numbers, but data.num_feats of config.yaml is 3"),
    (_settings(global_std=[1.0, 1e-12, 1.0]), "global_std[1] must be a number >= 5e-05, got 1e-12"),
    (_settings(global_mean=[0.5, float("nan"), 0.5]), "global_mean[1] must be a number, got nan"),
    (_settings(global_mean=[0.5, 10 ** 400, 0.5]),  # beyond every float, shown short
     f"global_mean[1] must be a number, got 1{'0' * 37}...{'0' * 39}"),
    (_settings(norm="cepstral"), "norm must be the data.norm of config.yaml ('global_mvn'), got 'cepstral'"),
    ({"norm": "global_mvn", "global_std": [1.0] * 3},
     "global_mean is missing: it must be a list of numbers when norm is 'global_mvn'"),
    ([], "the settings must be a mapping, got []"),
])
def test_bad_recognizer_settings_are_named_by_key(settings, message):
    with pytest.raises(RunFolderError) as error:
        check_recognizer_settings(settings, DATA, "run/recognizer.json")
    assert str(error.value) == f"run/recognizer.json: {message}"


def test_recognizer_settings_keep_keys_of_later_versions():
    settings = _settings(train_durations=[1.0 + k / 10 for k in range(21)], later={"a": 1},
                         search={"beam_width": 4, "checkpoint": "checkpoint-best-metric-model.pth",
                                 "checkpoint_sha256": "ab" * 32, "later": True})
    check_recognizer_settings(settings, DATA, "run/recognizer.json")
    check_recognizer_settings({"norm": "none"}, {"norm": "none", "num_feats": 80}, "run/recognizer.json")
    for key, value, message in [
            ("train_durations", [2.0, 1.0] + [3.0] * 19, "train_durations must be quantiles: numbers that never "
                                                        "decrease, got [2.0, 1.0, 3.0"),
            ("train_durations", [1.0] * 20, "train_durations must be a list of 21 numbers in (0, 3600], got"),
            ("search", {"checkpoint": "../x.pth"}, r"search.checkpoint must be a string matching [\w.-]+\.pth, "
                                                   "got '../x.pth'")]:
        with pytest.raises(RunFolderError, match=re.escape(f"run/recognizer.json: {message}")):
            check_recognizer_settings(_settings(**{key: value}), DATA, "run/recognizer.json")


@pytest.mark.parametrize("kind, edits, message", [
    ("asr", {"asr.data": DELETE}, "data is missing: it must be a mapping"),
    ("asr", {"asr.data.num_feats": 10 ** 9}, "model.input_dim must equal data.num_feats (1000000000), got 40"),
    ("asr", {"asr.loss.ctc_weight": "0.3"}, "loss.ctc_weight must be a number in [0, 1], got '0.3'"),
    ("asr", {"asr.model.num_heads": 5}, "model.d_model must be divisible by model.num_heads (5), got 96"),
    ("lm", {"lm.loss": {"ctc_weight": 0.3}}, "loss is not a known key; the configuration may hold: data, epochs, "
                                             "model, optimizer, run_name, scheduler, training"),
    ("lm", {"lm.run_name": ""}, "run_name must be a non-empty string, got ''"),
])
def test_bad_run_configurations_are_named_by_key(kind, edits, message):
    config = _edited(edits)[kind]
    with pytest.raises(RunFolderError) as error:
        check_run_config(config, kind, "run/config.yaml")
    assert str(error.value) == f"run/config.yaml: {message}"
    check_run_config(_edited({})[kind], kind, "run/config.yaml")
    # A folder trained when run names could hold folders, or renamed since, loads as it is.
    check_run_config(_edited({f"{kind}.run_name": "2026/demo"})[kind], kind, "run/config.yaml")

import re
import subprocess
import sys
from pathlib import Path

import pytest
import yaml

from quorlin.recipe import RecipeError, load_recipe
from quorlin.recipe_schema import (COMMAND_KEYS, RECIPE, check_recognizer_settings, check_run_config,
                                   resolve_recipe)
from quorlin.recipe_text import REFERENCE_FILE, reference, show_recipe
from quorlin.run_folder import RunFolderError

ROOT = Path(__file__).resolve().parents[1]
RECIPES = ROOT / "recipes"
DELETE = object()
STAGE = {"name": "shallow", "epochs": 1, "encoder_active_layers": [0, 1], "decoder_active_layers": [0, 1],
         "dropout": 0.1, "label_smoothing": 0.0, "data_subset": 0.5}
MINIMAL = {"prepare": {"train": "c/train.jsonl", "dev": "c/dev.jsonl", "test": "c/test.jsonl"},
           "lm": {"run_name": "my-lm"}, "asr": {"run_name": "my-asr"}}


def _edited(edits, recipe=None):
    """The demo recipe (or ``recipe``) with ``edits``: dotted key paths set to values, or deleted."""
    recipe = yaml.safe_load((RECIPES / "demo.yaml").read_text()) if recipe is None else recipe
    for path, value in edits.items():
        *parents, last = path.split(".")
        section = recipe
        for name in parents:
            section = section.setdefault(name, {})
        if value is DELETE:
            del section[last]
        else:
            section[last] = value
    return recipe


def _error(text):
    Path("x.yaml").write_text(text)
    with pytest.raises(RecipeError) as error:
        load_recipe("x.yaml", device="cpu")
    return str(error.value)


def _leaves(value, path=""):
    """Every key path of a nested mapping whose value is not a mapping."""
    if not isinstance(value, dict):
        return {path}
    return {leaf for name, item in value.items() for leaf in _leaves(item, f"{path}.{name}" if path else name)}


def test_a_recipe_of_sources_and_run_names_gets_every_key_with_its_default(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("first.yaml").write_text(yaml.safe_dump(MINIMAL))
    recipe = load_recipe("first.yaml", device="cpu")
    # What the field's recipes choose for a first run.
    assert recipe["asr"]["loss"] == {"label_smoothing": 0.1, "ctc_weight": 0.3}
    assert recipe["asr"]["training"]["autocast_dtype"] == "float32" == recipe["lm"]["training"]["autocast_dtype"]
    assert recipe["asr"]["model"] == {"input_dim": 80, "time_reduction": 4, "reduction_method": "conv",
                                      "num_encoder_layers": 4, "num_decoder_layers": 2, "d_model": 96,
                                      "num_heads": 4, "d_ff": 384, "dropout": 0.1, "max_len": 512,
                                      "encoder_type": "conformer", "conv_kernel_size": 15}
    assert recipe["evaluate"] == {"beam_width": [10], "ctc_weight": [0.3, 0.5], "lm_weight": [0.0], "batch_size": 16}
    assert recipe["asr"]["scheduler"]["cosine"]["T_max"] == recipe["asr"]["epochs"]
    assert (recipe["lm"]["data"]["root"], recipe["asr"]["data"]["root"]) == ("data/first/lm", "data/first/asr")
    # Only the chosen optimizer's and scheduler's own settings are filled in.
    assert set(recipe["asr"]["optimizer"]) == {"name", "lr", "weight_decay", "param_groups", "layer_decay", "adamw"}
    assert set(recipe["asr"]["scheduler"]) == {"name", "cosine", "warmup"}
    # The keys that follow others: a GPU's precision, a recogniser without CTC, an SGD plateau run.
    cuda = load_recipe("first.yaml", ["asr.loss.ctc_weight=0", "lm.optimizer.name=sgd",
                                      "lm.scheduler.name=reduce_lr"], device="cuda")
    assert cuda["asr"]["training"]["autocast_dtype"] in ("bfloat16", "float16")
    assert (cuda["evaluate"]["beam_width"], cuda["evaluate"]["ctc_weight"]) == ([1, 10], [0.0])
    assert cuda["lm"]["optimizer"]["sgd"] == {"momentum": 0.9, "nesterov": False, "dampening": 0.0}
    assert cuda["lm"]["scheduler"]["warmup"]["enabled"] is False and "cosine" not in cuda["lm"]["scheduler"]
    # A resolved recipe is complete: resolving it again changes nothing, and every key it holds is in the schema.
    Path("full.yaml").write_text(yaml.safe_dump(recipe))
    assert load_recipe("full.yaml", device="cpu") == recipe


def test_the_demo_states_only_what_differs_from_the_defaults():
    written = yaml.safe_load((RECIPES / "demo.yaml").read_text())
    resolved = load_recipe(str(RECIPES / "demo.yaml"), device="cpu")
    sources = {split: written["prepare"][split] for split in ("train", "dev", "test")}
    without_demo = resolve_recipe({"prepare": sources, "lm": {"run_name": "demo-lm"}, "asr": {"run_name": "demo-asr"}},
                                  str(RECIPES / "demo.yaml"), device="cpu")
    for path in _leaves(written) - {"prepare.train", "prepare.dev", "prepare.test", "lm.run_name", "asr.run_name"}:
        default, value = without_demo, resolved
        for name in path.split("."):
            default, value = default.get(name, {}), value[name]
        assert value != default, path


@pytest.mark.parametrize("name", ["demo.yaml", "librispeech-100.yaml"])
def test_shipped_recipes_pass_and_keep_their_settings(name):
    written = yaml.safe_load((RECIPES / name).read_text())
    resolved = load_recipe(str(RECIPES / name))
    for path in _leaves(written):
        value, given = resolved, written
        for part in path.split("."):
            value, given = value[part], given[part]
        assert value == given, path


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
    resolved = load_recipe("x.yaml")
    assert resolved["lm"]["optimizer"]["param_groups"] == recipe["lm"]["optimizer"]["param_groups"]
    assert resolved["evaluate"] == recipe["evaluate"] and resolved["asr"]["stages"][0]["decoder_freeze"] == []


RUN_NAME = "a folder name in 'expts': printable characters, no '/', not starting with '.'"
BAD = [
    # Unknown keys, with what the section may hold.
    ({"evaluate.ctc_wieght": 0.1}, "evaluate.ctc_wieght is not a known key; evaluate may hold: average_last, "
                                   "batch_size, beam_width, ctc_weight, lm_weight, max_length"),
    ({"asr.data.batchsize": 8}, "asr.data.batchsize is not a known key; asr.data may hold: batch_size, "
                                "group_by_length, join_prob, max_duration, noise, norm, num_feats, num_workers, root, specaug, "
                                "specaug_conf, storage, subset, subset_size"),
    ({"evalute": {}}, "evalute is not a known key; the recipe may hold: asr, evaluate, lm, prepare, seed, tokenizer"),
    ({"asr.training.label_smoothing": 0.1},
     "asr.training.label_smoothing is not a known key; asr.training may hold: autocast_dtype, "
     "gradient_accumulation_steps, keep_last, process_group_timeout, use_wandb, wandb_project, wandb_run_id"),
    # Missing keys: only what no default can stand for.
    ({"prepare.train": DELETE}, "prepare.train is missing: it must be a non-empty string"),
    ({"asr.run_name": DELETE}, f"asr.run_name is missing: it must be {RUN_NAME}"),
    ({"asr": DELETE}, f"asr.run_name is missing: it must be {RUN_NAME}"),
    ({"asr.stages": [{key: value for key, value in STAGE.items() if key != "dropout"}]},
     "asr.stages[0].dropout is missing: it must be a number in [0, 1)"),
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
    ({"evaluate.lm_weight": float("nan")}, "evaluate.lm_weight must be a number >= 0, got nan"),
    ({"prepare.speed_perturb": [0.9, 3.0]}, "prepare.speed_perturb[1] must be a number in [0.5, 2.0], got 3.0"),
    ({"prepare.speed_perturb": [0.9, 1.0]},
     "prepare.speed_perturb[1] must not be 1.0: the utterances themselves are always kept, got 1.0"),
    ({"prepare.speed_perturb": [1.1, 0.9, 1.1]}, "prepare.speed_perturb[2] repeats an earlier factor, got 1.1"),
    ({"lm.training.autocast_dtype": "fp16"},
     "lm.training.autocast_dtype must be one of 'float16', 'bfloat16', 'float32', got 'fp16'"),
    ({"asr.scheduler.name": "linear"},
     "asr.scheduler.name must be one of 'reduce_lr', 'cosine', 'cosine_warm' (any case), got 'linear'"),
    ({"asr.optimizer.name": "AdamW", "asr.optimizer.adamw.betas": [0.9]},
     "asr.optimizer.adamw.betas must be a list of 2 numbers in [0, 1), got [0.9]"),
    ({"tokenizer": {"kind": "bpe", "vocab_size": 4}}, "tokenizer.vocab_size must be an integer > 4, got 4"),
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
    ({"prepare.test": {"train": "t"}}, "prepare.test set name must not be that of the training set, got 'train'"),
    ({"prepare.dev": {"test": "d"}}, "prepare.test set name must differ from the set names of prepare.dev, got 'test'"),
    # Run names and data roots.
    ({"lm.run_name": "/tmp/lm"}, f"lm.run_name must be {RUN_NAME}, got '/tmp/lm'"),
    ({"asr.run_name": "demo-lm/inner"}, f"asr.run_name must be {RUN_NAME}, got 'demo-lm/inner'"),  # inside the LM's
    ({"asr.run_name": ".."}, f"asr.run_name must be {RUN_NAME}, got '..'"),
    ({"asr.run_name": "demo\nasr"}, f"asr.run_name must be {RUN_NAME}, got 'demo\\nasr'"),
    ({"asr.run_name": "é" * 128}, f"asr.run_name must be {RUN_NAME}, got '{'é' * 37}...{'é' * 38}'"),
    ({"asr.run_name": "demo-lm"}, "asr.run_name must differ from lm.run_name, got 'demo-lm'"),
    ({"lm.data.root": "data/x/asr/"}, "lm.data.root must differ from asr.data.root, got 'data/x/asr/'"),
    # Keys that must agree with each other, defaults included.
    ({"lm.model.d_model": 190}, "lm.model.d_model must be divisible by lm.model.num_heads (4), got 190"),
    ({"asr.model.num_heads": 5}, "asr.model.d_model must be divisible by asr.model.num_heads (5), got 96"),
    ({"asr.model.input_dim": 80}, "asr.model.input_dim must equal asr.data.num_feats (40), got 80"),
    ({"asr.data.noise": {"prob": 0.5, "snr": [30, 0]}}, "asr.data.noise.snr must be [lowest, highest], got [30, 0]"),
    ({"lm.scheduler": {"name": "reduce_lr", "warmup": {"enabled": True}}},
     "lm.scheduler.warmup.enabled must be false with the reduce_lr scheduler, got True"),
    ({"asr.stages": [{**STAGE, "encoder_active_layers": [0, 4]}]},
     "asr.stages[0].encoder_active_layers[1] must be a layer index below asr.model.num_encoder_layers (4), got 4"),
    ({"asr.stages": [{**STAGE, "decoder_freeze": [True]}]},
     "asr.stages[0].decoder_freeze must hold one flag per active decoder layer (2), got [True]"),
    ({"asr.stages": [STAGE, {**STAGE, "data_subset": 0}]},
     "asr.stages[1].data_subset must be a number in (0, 1], got 0"),
]


@pytest.mark.parametrize("edits, message", BAD, ids=[message.split(" ")[0] for _, message in BAD])
def test_bad_recipes_are_named_by_key(tmp_path, monkeypatch, edits, message):
    monkeypatch.chdir(tmp_path)
    assert _error(yaml.safe_dump(_edited(edits))) == f"x.yaml: {message}"


def test_every_problem_at_once_and_only_those_of_the_keys_a_command_uses(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("x.yaml").write_text(yaml.safe_dump(_edited({
        "prepare.test": DELETE, "prepare.speed_perturb": [1.0], "tokenizer.kind": "word",  # prepare's
        "asr.data.num_feats": 0, "lm.data.root": 7,
        "asr.model.d_model": 100, "lm.epochs": 0, "evaluate.beam_width": 0})))  # not prepare's
    with pytest.raises(RecipeError) as error:
        load_recipe("x.yaml", keys=COMMAND_KEYS["prepare"])
    assert error.value.lines == [
        "x.yaml: prepare.test is missing: it must be a non-empty string or a non-empty mapping of set names to "
        "non-empty strings",
        "x.yaml: tokenizer.kind must be one of 'char', 'bpe', 'unigram', got 'word'",
        "x.yaml: asr.data.num_feats must be an integer >= 1, got 0",
        "x.yaml: lm.data.root must be a non-empty string, got 7",
        "x.yaml: prepare.speed_perturb[0] must not be 1.0: the utterances themselves are always kept, got 1.0"]
    with pytest.raises(RecipeError) as error:
        load_recipe("x.yaml", ["asr.model.d_model=96", "evaluate.beam_width=[0]"])
    assert len(error.value.lines) == 7
    assert "the command line: evaluate.beam_width[0] must be an integer in [1, 256], got 0" in error.value.lines
    assert not any("d_model" in line for line in error.value.lines)  # set right on the command line
    # A model the data does not fit is training's problem, not preparation's.
    Path("x.yaml").write_text(yaml.safe_dump(_edited({"asr.model.num_heads": 7, "asr.optimizer.lr": -1})))
    assert load_recipe("x.yaml", keys=COMMAND_KEYS["prepare"])["asr"] == {"data": {"root": "data/x/asr",
                                                                                  "num_feats": 40}}


def test_five_mistakes_get_five_error_lines_from_the_command(tmp_path):
    (tmp_path / "five.yaml").write_text(
        "prepare: {train: c/train.tsv, dev: c/dev.tsv}\n"
        "lm: {run_name: my-lm, epochs: 0}\n"
        "asr: {run_name: my-asr, optimizer: {lr: 3e-3}, data: {batchsize: 4}}\n"
        "evalute: {beam_width: 4}\n")
    result = subprocess.run([sys.executable, "-m", "quorlin", "recipe", "show", "five.yaml"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and result.stdout == "" and "Traceback" not in result.stderr
    assert result.stderr.splitlines() == [
        "quorlin: error: five.yaml: evalute is not a known key; the recipe may hold: asr, evaluate, lm, prepare, "
        "seed, tokenizer",
        "quorlin: error: five.yaml: prepare.test is missing: it must be a non-empty string or a non-empty mapping "
        "of set names to non-empty strings",
        "quorlin: error: five.yaml: lm.epochs must be an integer >= 1, got 0",
        "quorlin: error: five.yaml: asr.optimizer.lr must be a number > 0 (YAML reads 3e-3 as text: write 3.0e-3), "
        "got '3e-3'",
        "quorlin: error: five.yaml: asr.data.batchsize is not a known key; asr.data may hold: batch_size, "
        "group_by_length, join_prob, max_duration, noise, norm, num_feats, num_workers, root, specaug, specaug_conf, storage, "
        "subset, subset_size"]


@pytest.mark.parametrize("override, message", [
    ("asr.epochs", "the command line: 'asr.epochs' is no override: write KEY.PATH=VALUE, such as asr.epochs=10"),
    ("asr..epochs=3", "the command line: 'asr..epochs=3' is no override: write KEY.PATH=VALUE, such as asr.epochs=10"),
    ("asr.epochs=[3", "the value of asr.epochs is not valid YAML, line 1, column 3: expected ',' or ']', but got "
                      "'<stream end>'"),
    ("asr.run_name.x=3", "the command line: 'asr.run_name.x=3' sets a key inside asr.run_name, which is not a "
                         "mapping"),
    ("asr.epochs=0", "the command line: asr.epochs must be an integer >= 1, got 0"),
])
def test_bad_overrides_are_named(tmp_path, monkeypatch, override, message):
    monkeypatch.chdir(tmp_path)
    Path("x.yaml").write_text(yaml.safe_dump(MINIMAL))
    with pytest.raises(RecipeError) as error:
        load_recipe("x.yaml", [override])
    assert error.value.lines == [message]


def test_overrides_read_numbers_as_python_does():
    recipe = load_recipe(str(RECIPES / "demo.yaml"), ["asr.optimizer.lr=1e-3", "asr.optimizer.adamw.betas=[0.9, 0.99]",
                                                      "prepare.dev={a: x, b: y}", "asr.epochs=7"])
    assert recipe["asr"]["optimizer"]["lr"] == 0.001 and recipe["asr"]["optimizer"]["adamw"]["betas"] == [0.9, 0.99]
    assert recipe["prepare"]["dev"] == {"a": "x", "b": "y"}
    assert recipe["asr"]["epochs"] == 7 and recipe["asr"]["scheduler"]["cosine"]["T_max"] == 7


@pytest.mark.parametrize("yaml_spelling, message", [
    ("batch_size: 8 ", "asr.data.batch_size must be an integer >= 1, got True"),
    ("lr: 0.003", "asr.optimizer.lr must be a number > 0 (YAML reads 3e-3 as text: write 3.0e-3), got '3e-3'"),
])
def test_yaml_spellings(tmp_path, monkeypatch, yaml_spelling, message):
    monkeypatch.chdir(tmp_path)
    new = {"batch_size: 8 ": "batch_size: on ", "lr: 0.003": "lr: 3e-3"}[yaml_spelling]
    assert _error((RECIPES / "demo.yaml").read_text().replace(yaml_spelling, new, 1)) == f"x.yaml: {message}"
    suggested = re.search(r"write (\S+)\)", message)
    if suggested:  # YAML reads the suggested spelling as the number meant
        assert yaml.safe_load(suggested.group(1)) == float(re.search(r"reads (\S+) as", message).group(1))
    for text, problem in (("", "the recipe must be a mapping, got None"),
                          ("- prepare\n", "the recipe must be a mapping, got ['prepare']"),
                          ("prepare:\nunused: {", "x.yaml is not valid YAML")):
        assert _error(text).startswith(f"x.yaml: {problem}" if "YAML" not in problem else problem)


def test_recipe_show_marks_what_the_recipe_and_the_command_line_set_and_reads_back_the_same(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("first.yaml").write_text(yaml.safe_dump(MINIMAL))
    shown = show_recipe("first.yaml", ["asr.epochs=3"], device="cpu")
    lines = shown.splitlines()
    assert re.fullmatch(r"  train: c/train\.jsonl +# set", lines[lines.index("prepare:") + 1])
    assert any(re.fullmatch(r"  epochs: 3 +# set on the command line", line) for line in lines)
    assert any(re.fullmatch(r"    input_dim: 80 +# asr\.data\.num_feats", line) for line in lines)
    assert any(re.fullmatch(r"    ctc_weight: 0\.3", line) for line in lines)  # a default, unmarked
    # What it prints is the complete recipe: read back, it resolves to the same.
    Path("shown.yaml").write_text(shown)
    expected = load_recipe("first.yaml", ["asr.epochs=3"], device="cpu")
    assert yaml.safe_load(shown) == expected
    assert load_recipe("shown.yaml", device="cpu") == {**expected, "lm": {**expected["lm"], "data": {
        **expected["lm"]["data"], "root": "data/first/lm"}}}


def test_the_reference_is_current_and_documents_every_key():
    text = (ROOT / REFERENCE_FILE).read_text(encoding="utf-8")
    assert text == reference(), f"run: python -m quorlin.recipe_text > {REFERENCE_FILE}"

    def keys(section):
        found = set(section.keys)
        for entry in section.keys.values():
            inner = getattr(entry.rule, "item", entry.rule)  # a list's items, or the value itself
            if isinstance(getattr(inner, "keys", None), dict):
                found |= keys(inner)
        return found
    documented = set(re.findall(r"^\| `(\w+)` \|", text, re.MULTILINE))
    assert documented == keys(RECIPE)


# A run folder's files, held to the same rules.

def _settings(**changes):
    settings = {"norm": "global_mvn", "max_length": 40, "global_mean": [0.5] * 3, "global_std": [1.0] * 3,
                "search": {"beam_width": 10, "ctc_weight": 0.3, "lm_weight": 0.0, "chosen_on": "dev"}}
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


def _run_config(kind, edits=()):
    """The demo's trainer section as training writes it: resolved."""
    return _edited(dict(edits), load_recipe(str(RECIPES / "demo.yaml"), device="cpu"))[kind]


@pytest.mark.parametrize("kind, edits, message", [
    ("asr", {"asr.data": DELETE}, "data is missing: it must be a mapping"),
    ("asr", {"asr.data.norm": DELETE}, "data.norm is missing: it must be one of 'global_mvn', 'cepstral', 'none'"),
    ("asr", {"asr.model.d_model": DELETE}, "model.d_model is missing: it must be an integer >= 1"),
    ("asr", {"asr.optimizer.adamw": DELETE}, "optimizer.adamw is missing: it must be a mapping when optimizer.name "
                                             "is 'adamw'"),
    ("asr", {"asr.data.num_feats": 10 ** 9}, "model.input_dim must equal data.num_feats (1000000000), got 40"),
    ("asr", {"asr.loss.ctc_weight": "0.3"}, "loss.ctc_weight must be a number in [0, 1], got '0.3'"),
    ("asr", {"asr.model.num_heads": 5}, "model.d_model must be divisible by model.num_heads (5), got 96"),
    ("lm", {"lm.loss": {"ctc_weight": 0.3}}, "loss is not a known key; the configuration may hold: data, epochs, "
                                             "model, optimizer, run_name, scheduler, training"),
    ("lm", {"lm.run_name": ""}, "run_name must be a non-empty string, got ''"),
])
def test_bad_run_configurations_are_named_by_key(kind, edits, message):
    with pytest.raises(RunFolderError) as error:
        check_run_config(_run_config(kind, edits), kind, "run/config.yaml")
    assert str(error.value) == f"run/config.yaml: {message}"
    check_run_config(_run_config(kind), kind, "run/config.yaml")
    # A folder trained when run names could hold folders, or renamed since, loads as it is.
    check_run_config(_run_config(kind, {f"{kind}.run_name": "2026/demo"}), kind, "run/config.yaml")


def test_a_run_configuration_from_before_the_defaults_is_read_as_it_stands():
    """Keys that were optional may be absent (the trainers' own defaults stand for them); none is filled in."""
    config = _run_config("asr", {"asr.model.encoder_type": DELETE, "asr.model.conv_kernel_size": DELETE,
                                 "asr.loss.ctc_weight": DELETE, "asr.training": {"gradient_accumulation_steps": 1},
                                 "asr.optimizer.param_groups": DELETE, "asr.stages": DELETE,
                                 "asr.scheduler.warmup": DELETE, "asr.data.noise": DELETE})
    check_run_config(config, "asr", "run/config.yaml")
    assert "encoder_type" not in config["model"] and "ctc_weight" not in config["loss"]

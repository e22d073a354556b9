"""The README's Python examples run as written, in a folder laid out as the demo leaves it."""
import os
import re
import shutil
from pathlib import Path

import yaml

README = Path(__file__).resolve().parents[2] / "README.md"


def test_the_readme_examples_run_as_written(workdir, capsys):
    for kind in ("lm", "asr"):
        os.rename(workdir / f"expts/tiny-{kind}", workdir / f"expts/demo-{kind}")
    recipe = yaml.safe_load((workdir / "tiny.yaml").read_text())
    recipe["lm"]["run_name"], recipe["asr"]["run_name"] = "demo-lm", "demo-asr"
    (workdir / "recipes").mkdir()
    (workdir / "recipes/demo.yaml").write_text(yaml.safe_dump(recipe))
    shutil.copy(workdir / "audio/test/7/3/7-3-0002.flac", workdir / "talk.flac")

    examples = re.findall(r"```python\n(.*?)```", README.read_text(), re.DOTALL)
    assert len(examples) == 2
    for example in examples:
        exec(compile(example, str(README), "exec"), {})
    out = capsys.readouterr().out
    assert re.search(r"^talk \d+\.\d s: ", out, re.MULTILINE) and re.search(r"^  +\d+\.\d\d- +\d+\.\d\d  ", out,
                                                                            re.MULTILINE)
    assert "nothing left to train" in out and re.search(r"^test \S+ CER \d+\.\d\d % \(chosen\)$", out,
                                                         re.MULTILINE)

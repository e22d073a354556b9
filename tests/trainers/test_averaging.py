import numpy as np
import pytest
import torch

from quorlin.run_folder import RunFolderError
from quorlin.trainers import average_checkpoints


def _save(path, state, **rest):
    torch.save({"epoch": 0, "model_state_dict": state, **rest}, path)
    return path


def _states(count, seed=0):
    """Model states with a float32 weight, a float16 bias and an integer step counter."""
    generator = torch.Generator().manual_seed(seed)
    return [{"weight": torch.randn(3, 4, generator=generator), "bias": torch.randn(4, generator=generator).half(),
             "steps": torch.tensor(10 * (i + 1))} for i in range(count)]


def test_mean_of_floating_tensors_and_last_integer_buffers(tmp_path):
    states = _states(3)
    paths = [_save(tmp_path / f"e{i}.pth", state) for i, state in enumerate(states)]
    averaged = average_checkpoints(paths)
    assert averaged["averaged_from"] == [str(path) for path in paths]
    result = averaged["model_state_dict"]
    assert list(result) == ["weight", "bias", "steps"]
    for key, dtype in [("weight", np.float32), ("bias", np.float16)]:
        values = [state[key].numpy().astype(np.float64) for state in states]
        expected = ((values[0] + values[1] + values[2]) / 3).astype(dtype)
        assert result[key].dtype == states[0][key].dtype and np.array_equal(result[key].numpy(), expected)
    assert result["steps"].item() == 30 and result["steps"].dtype == torch.int64
    # One checkpoint averages to itself; a file given twice counts twice.
    assert torch.equal(average_checkpoints(paths[:1])["model_state_dict"]["weight"], states[0]["weight"])
    twice = average_checkpoints([paths[0], paths[0], paths[1]])["model_state_dict"]["weight"]
    expected = (2 * states[0]["weight"].double() + states[1]["weight"].double()) / 3
    assert torch.equal(twice, expected.float())


@pytest.mark.parametrize("change, problem", [
    (lambda s: s.pop("bias"), "it lacks bias"),
    (lambda s: s.update(extra=torch.zeros(1)), "it has extra, which {first} lacks"),
    (lambda s: s.update(weight=torch.zeros(4, 3)), "weight has shape (4, 3) in it and (3, 4) in {first}"),
])
def test_checkpoints_of_different_models_are_refused(tmp_path, change, problem):
    first, second = _states(2)
    change(second)
    paths = [_save(tmp_path / "a.pth", first), _save(tmp_path / "b.pth", second)]
    with pytest.raises(RunFolderError) as error:
        average_checkpoints(paths)
    assert str(error.value) == f"{paths[1]} cannot be averaged with {paths[0]}: {problem.format(first=paths[0])}"


def test_unreadable_or_no_checkpoints(tmp_path):
    (tmp_path / "broken.pth").write_bytes(b"not a checkpoint")
    good = _save(tmp_path / "good.pth", _states(1)[0])
    with pytest.raises(RunFolderError, match=f"^Failed to load checkpoint file: {tmp_path / 'broken.pth'}: "):
        average_checkpoints([good, tmp_path / "broken.pth"])
    with pytest.raises(ValueError, match="^average_checkpoints needs at least one checkpoint, got none$"):
        average_checkpoints([])

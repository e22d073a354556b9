import torch
from torch.utils.data import DataLoader, Dataset

from quorlin.data.maltrey import Maltrey
from quorlin.data.pellith import Pellith
from quorlin.data.ruvesta import ruvesta

HEAD = [
    "==================================================",
    "             Dataloader Verification              ",
    "==================================================",
]
RULE = "--------------------------------------------------"
CHECKING = ["Checking shapes of the data...                    ", ""]
END = "=================================================="


def report(capsys, loader):
    capsys.readouterr()
    assert ruvesta(loader) is None
    return capsys.readouterr().out.split("\n")[:-1]


def test_lm_loader(tmp_path, char_tokenizer, save_transcript, capsys):
    (tmp_path / "train").mkdir()
    for i, text in enumerate(["ONE", "TWO TWO", "THREE THREE THREE", "FOUR", "FIVE"]):
        save_transcript(tmp_path / "train" / f"{i}.npy", text)
    ds = Pellith("train", {"root": str(tmp_path)}, char_tokenizer)
    assert report(capsys, DataLoader(ds, batch_size=2, collate_fn=ds.collate_fn)) == HEAD + [
        "Dataloader Partition     : train",
        RULE,
        "Number of Batches        : 3",
        "Batch Size               : 2",
        RULE,
    ] + CHECKING + [
        "Shifted Transcript Shape : [2, 8]",
        "Golden Transcript Shape  : [2, 8]",
        "Transcript Lengths Shape : [2]",
        RULE,
        "Max Transcript Length    : 18",
        "Avg. Chars per Token     : 1.00",
        END,
    ]


def test_asr_loader(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer, capsys):
    write_asr_partition(tmp_path, "dev-clean", random_feats([7, 12, 5]), ["AB", "ABCDE", "A"])
    ds = Maltrey("dev-clean", asr_config(tmp_path), char_tokenizer, False)
    assert report(capsys, DataLoader(ds, batch_size=2, collate_fn=ds.collate_fn)) == HEAD + [
        "Dataloader Partition     : dev-clean",
        RULE,
        "Number of Batches        : 2",
        "Batch Size               : 2",
        RULE,
    ] + CHECKING + [
        "Feature Shape            : [2, 12, 4]",
        "Shifted Transcript Shape : [2, 6]",
        "Golden Transcript Shape  : [2, 6]",
        "Feature Lengths Shape    : [2]",
        "Transcript Lengths Shape : [2]",
        RULE,
        "Max Feature Length       : 12",
        "Max Transcript Length    : 6",
        "Avg. Chars per Token     : 1.00",
        END,
    ]


def test_asr_test_partition_one_batch(tmp_path, write_asr_partition, asr_config, random_feats, char_tokenizer,
                                      capsys):
    write_asr_partition(tmp_path, "test-clean", random_feats([7, 9, 3]))
    ds = Maltrey("test-clean", asr_config(tmp_path), char_tokenizer, False)
    assert report(capsys, DataLoader(ds, batch_size=4, collate_fn=ds.collate_fn)) == HEAD + [
        "Dataloader Partition     : test-clean",
        RULE,
        "Number of Batches        : 1",
        "Batch Size               : 4",
        RULE,
    ] + CHECKING + [
        "Feature Shape            : [3, 9, 4]",
        "Feature Lengths Shape    : [3]",
        RULE,
        "Max Feature Length       : 9",
        "Max Transcript Length    : 0",
        "Avg. Chars per Token     : 0.00",
        END,
    ]


class _Sequences(Dataset):
    """An LM-like dataset: partition and text_max_len, optionally an average."""

    partition = "toy"
    text_max_len = 4

    def __init__(self):
        self.drawn = 0

    def __len__(self):
        return 6

    def __getitem__(self, idx):
        self.drawn += 1
        return torch.ones(3, dtype=torch.long)

    def collate(self, batch):
        seqs = torch.stack(batch)
        return seqs, seqs, torch.full((len(batch),), 3)


class _SequencesWithAverage(_Sequences):
    def get_avg_chars_per_token(self):
        return 3.456


def test_without_average_and_at_most_two_batches_drawn(capsys):
    ds = _Sequences()
    lines = report(capsys, DataLoader(ds, batch_size=2, collate_fn=ds.collate))
    assert lines[-4:] == [
        "Transcript Lengths Shape : [2]",
        RULE,
        "Max Transcript Length    : 4",
        END,
    ]
    assert ds.drawn == 4  # the second batch is drawn, the third never


def test_average_has_two_decimals(capsys):
    ds = _SequencesWithAverage()
    lines = report(capsys, DataLoader(ds, batch_size=6, collate_fn=ds.collate))
    assert lines[-3:] == ["Max Transcript Length    : 4", "Avg. Chars per Token     : 3.46", END]
    assert all(len(line.split(": ")[0]) == 25 for line in lines if ": " in line)

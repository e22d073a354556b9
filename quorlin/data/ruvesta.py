"""Console report on a data loader, logged before training."""
import logging

log = logging.getLogger(__name__)

LABEL_WIDTH = 25
RULE_WIDTH = 50


def ruvesta(dataloader):
    """Prints the partition, batch count and size, the shapes of the first
    batch, and the dataset's maximum lengths and characters per token.

    Works with the ASR dataset (recognised by ``feat_max_len``) and the LM
    dataset (``text_max_len`` only). Returns None.

    Example:
        >>> ruvesta(DataLoader(train, batch_size=16, collate_fn=train.collate_fn))
    """

    def line(label, value):
        log.info(f"{label:<{LABEL_WIDTH}}: {value}")

    def print_shapes(feats, transcripts_shifted=None, transcripts_golden=None, feat_lengths=None,
                     transcript_lengths=None):
        for label, tensor in (("Feature Shape", feats),
                              ("Shifted Transcript Shape", transcripts_shifted),
                              ("Golden Transcript Shape", transcripts_golden),
                              ("Feature Lengths Shape", feat_lengths),
                              ("Transcript Lengths Shape", transcript_lengths)):
            if tensor is not None:
                line(label, list(tensor.shape))

    log.info("=" * RULE_WIDTH)
    log.info(f"{'Dataloader Verification':^{RULE_WIDTH}}")
    log.info("=" * RULE_WIDTH)
    dataset = dataloader.dataset
    line("Dataloader Partition", dataset.partition)
    log.info("-" * RULE_WIDTH)
    line("Number of Batches", len(dataloader))
    line("Batch Size", dataloader.batch_size)
    log.info("-" * RULE_WIDTH)
    log.info(f"{'Checking shapes of the data...':<{RULE_WIDTH}}\n")

    max_feat_len = None
    for i, batch in enumerate(dataloader):
        if i == 1:
            break
        if hasattr(dataset, "feat_max_len"):
            feats, transcripts_shifted, transcripts_golden, feat_lengths, transcript_lengths = batch
            print_shapes(feats, transcripts_shifted, transcripts_golden, feat_lengths, transcript_lengths)
            max_feat_len = dataset.feat_max_len
            max_transcript_len = dataset.text_max_len
        elif hasattr(dataset, "text_max_len"):
            transcripts_shifted, transcripts_golden, transcript_lengths = batch
            print_shapes(None, transcripts_shifted, transcripts_golden, None, transcript_lengths)
            max_transcript_len = dataset.text_max_len

    log.info("-" * RULE_WIDTH)
    if max_feat_len is not None:
        line("Max Feature Length", max_feat_len)
    line("Max Transcript Length", max_transcript_len)
    if hasattr(dataset, "get_avg_chars_per_token"):
        line("Avg. Chars per Token", f"{dataset.get_avg_chars_per_token():.2f}")
    log.info("=" * RULE_WIDTH)

"""Word and character error rates of recognised text, by torchmetrics."""
from typing import Dict, List, Union

import torchmetrics.text as tmt


def asr_metrics(references: Union[str, List[str]], hypotheses: Union[str, List[str]]) -> Dict[str, float]:
    """Mean word edit distance per utterance, and word and character error rates in percent.

    Example:
        >>> asr_metrics(["the cat sat down"], ["the cat sat dawn"])["wer"]
        25.0
    """
    word_dist = tmt.EditDistance(reduction="mean")(hypotheses, references)
    wer = tmt.WordErrorRate()(hypotheses, references)
    cer = tmt.CharErrorRate()(hypotheses, references)
    return {"word_dist": word_dist.item(), "wer": wer.item() * 100, "cer": cer.item() * 100}

"""The main job over a recipe, step by step: ``prepare``, ``train_lm`` and ``train_asr``,
``evaluate``, ``average_run`` and the whole ``demo``. The command line calls these."""

import os

# Tests never reach the network and never open a window.
os.environ.setdefault("WANDB_MODE", "offline")
os.environ.setdefault("MPLBACKEND", "Agg")

#!/usr/bin/env bash
# Sets quorlin up when needed, then runs the whole demo on the embedded corpus: prepare it,
# train the LM and the recogniser, evaluate, and print the results table.
#   bash scripts/demo.sh                       # recipes/demo.yaml
#   bash scripts/demo.sh recipes/other.yaml    # another recipe
# A second run finds the data prepared and the models trained, and only evaluates again.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
bash "$QUORLIN_ROOT/scripts/setup.sh"
cd "$QUORLIN_ROOT"
WANDB_MODE=${WANDB_MODE:-offline} exec "$QUORLIN_VENV/bin/quorlin" demo "$@"

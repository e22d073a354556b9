#!/usr/bin/env bash
# Runs the whole test suite (setting up first when needed); extra arguments go to pytest.
#   bash scripts/test.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
bash "$QUORLIN_ROOT/scripts/setup.sh"
cd "$QUORLIN_ROOT"
# pytest exits non-zero on failures and with 5 when nothing was collected.
WANDB_MODE=offline MPLBACKEND=Agg exec "$QUORLIN_VENV/bin/python" -m pytest "$@"

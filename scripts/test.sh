#!/usr/bin/env bash
# Runs the whole test suite (setting up first when needed); extra arguments go to pytest.
#   bash scripts/test.sh
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
bash "$QUORLIN_ROOT/scripts/setup.sh"
# espeak-ng (Debian's package) speaks the German and Russian corpora of the language tests,
# which are skipped without it.
if ! command -v espeak-ng >/dev/null && command -v apt-get >/dev/null && [[ $(id -u) == 0 ]]; then
    { apt-get install -y -qq espeak-ng || { apt-get update -qq && apt-get install -y -qq espeak-ng; }; } >/dev/null 2>&1 \
        || echo "espeak-ng could not be installed: the spoken-language tests will be skipped" >&2
fi
cd "$QUORLIN_ROOT"
# pytest exits non-zero on failures and with 5 when nothing was collected.
WANDB_MODE=offline MPLBACKEND=Agg exec "$QUORLIN_VENV/bin/python" -m pytest "$@"

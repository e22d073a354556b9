#!/usr/bin/env bash
# Sets quorlin up on this machine; idempotent and quick when already done.
#   bash scripts/setup.sh
# 1. a virtual environment with the requirements of pyproject.toml at the exact versions of
#    constraints.txt (reused while both stay the same);
# 2. an editable install of quorlin and ondrel, rebuilt when the native sources change.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
cd "$QUORLIN_ROOT"

if [[ ! -f "$QUORLIN_VENV/.complete" ]]; then
    echo "Creating $QUORLIN_VENV (PyTorch and the other requirements, at the versions of constraints.txt)..."
    rm -rf "$QUORLIN_VENV"
    mkdir -p "$(dirname "$QUORLIN_VENV")"
    "$QUORLIN_PYTHON" -m venv "$QUORLIN_VENV"
    mapfile -t reqs < <("$QUORLIN_PYTHON" - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as f:
    meta = tomllib.load(f)
print(*meta["build-system"]["requires"], *meta["project"]["dependencies"],
      *meta["project"]["optional-dependencies"]["test"], sep="\n")
PY
)
    "$QUORLIN_VENV/bin/python" -m pip install --quiet --disable-pip-version-check -c constraints.txt "${reqs[@]}"
    touch "$QUORLIN_VENV/.complete"
fi

# The install is redone when this checkout moves, its build inputs change or a package is
# added (the editable install maps the packages it was made with).
stamp=$( { echo "$QUORLIN_ROOT"; cat pyproject.toml constraints.txt CMakeLists.txt; \
           find src -type f -print0 | sort -z | xargs -0r cat; \
           find quorlin ondrel -name __init__.py | sort; } | sha256sum | cut -c1-16)
if [[ "$(cat "$QUORLIN_VENV/.quorlin-stamp" 2>/dev/null)" != "$stamp" ]]; then
    echo "Building and installing quorlin (editable)..."
    "$QUORLIN_VENV/bin/python" -m pip install --quiet --disable-pip-version-check \
        --no-build-isolation --no-deps --editable .
    echo "$stamp" > "$QUORLIN_VENV/.quorlin-stamp"
fi

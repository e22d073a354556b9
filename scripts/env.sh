# Sourced by the other scripts: locates the Python interpreter and the
# virtual environment. The environment lives outside the work tree, keyed on
# the requirements of pyproject.toml and the versions of constraints.txt, so a
# fresh clone reuses it.
QUORLIN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QUORLIN_PYTHON=${QUORLIN_PYTHON:-$(command -v python3.11 || command -v python3)}
"$QUORLIN_PYTHON" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))' || {
    echo "quorlin needs Python 3.11; set QUORLIN_PYTHON to its interpreter" >&2
    exit 1
}
# The key hashes the build and run requirements only, so editing code or the
# version never triggers a reinstall of PyTorch.
QUORLIN_REQ_KEY=$("$QUORLIN_PYTHON" - "$QUORLIN_ROOT/pyproject.toml" "$QUORLIN_ROOT/constraints.txt" <<'PY'
import hashlib, json, sys, tomllib
with open(sys.argv[1], "rb") as f:
    meta = tomllib.load(f)
with open(sys.argv[2], encoding="utf-8") as f:
    pins = sorted(line.strip() for line in f if line.strip() and not line.startswith("#"))
reqs = [meta["build-system"]["requires"], meta["project"]["dependencies"],
        meta["project"]["optional-dependencies"], pins]
print(hashlib.sha256(json.dumps(reqs).encode()).hexdigest()[:16])
PY
)
QUORLIN_VENV=${QUORLIN_VENV:-${XDG_CACHE_HOME:-$HOME/.cache}/quorlin/venv-$QUORLIN_REQ_KEY}

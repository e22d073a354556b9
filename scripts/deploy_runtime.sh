#!/usr/bin/env bash
# Assembles a folder that transcribes without Python or this checkout, then runs it on a
# recording with an empty environment:
#   bash scripts/deploy_runtime.sh EXPORT_DIR DEPLOY_DIR [RECORDING]
# DEPLOY_DIR gets bin/quorlin-transcribe, lib/quorlin/ (the runtime library, libsndfile, the
# CPU libtorch.so and the wheel's libraries that the program loads) and export/ (a copy of
# EXPORT_DIR). It needs of the machine it is copied to only glibc, the libstdc++ of GCC 12 or
# later, and a CPU with the instruction set the export was compiled for.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
if [[ $# -lt 2 ]]; then
    sed -n '2,8p' "${BASH_SOURCE[0]}" >&2
    exit 2
fi
bash "$QUORLIN_ROOT/scripts/setup.sh"
export_dir=$1 deploy=$2 recording=${3:-}
mkdir -p "$deploy/bin" "$deploy/lib/quorlin"
cp "$QUORLIN_VENV/bin/quorlin-transcribe" "$deploy/bin/"
cp -P "$QUORLIN_VENV/lib/quorlin/"* "$deploy/lib/quorlin/"
# The libraries of the environment that the program loads: LibTorch's CPU library, c10, its
# OpenMP and, for the CUDA build of the wheel, the CUDA runtime that libtorch_cpu.so names.
ldd "$QUORLIN_VENV/bin/quorlin-transcribe" | awk -v venv="$QUORLIN_VENV" '$3 ~ "^" venv {print $3}' \
    | while read -r library; do cp -L "$library" "$deploy/lib/quorlin/"; done
rm -rf "$deploy/export"
cp -r "$export_dir" "$deploy/export"
du -sh "$deploy/bin" "$deploy/lib/quorlin" "$deploy/export"
if [[ -n "$recording" ]]; then
    env -i "$deploy/bin/quorlin-transcribe" "$deploy/export" "$recording"
fi

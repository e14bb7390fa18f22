#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what .clang-format makes of it.
# Run `clang-format -i FILE` on the files it names to fix them.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

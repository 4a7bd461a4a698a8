#!/usr/bin/env bash
# tests/lint_workflows.sh: the CI workflows, linted as YAML (yamllint) and checked against
# GitHub's workflow schema (action-validator, which scripts/test.sh installs with npm).
# Exit status 77 (skipped) when a linter is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
validator=build-tools/node_modules/.bin/action-validator
for tool in yamllint "$validator"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "skipped: $tool is not installed (scripts/test.sh installs it)"
        exit 77
    fi
done
yamllint --strict -d "{extends: default, rules: {line-length: {max: 100},
    document-start: disable, truthy: {check-keys: false}}}" .github/workflows
for workflow in .github/workflows/*.yml; do
    "$validator" "$workflow"
done
echo "workflows linted: $(ls .github/workflows/*.yml | wc -l)"

# Sourced by each script before it does any work, with the script's own arguments:
#   source "$(dirname "$0")/lib/usage.sh" "$@"
# With --help first, prints the script's opening comment (its usage and options) and exits 0,
# so that the options the manuals show can be checked without building anything
# (tests/docs/docs_commands.py).
if [[ ${1:-} == --help ]]; then
  awk 'NR > 1 { if (!/^#/) exit; sub(/^# ?/, ""); print }' "$0"
  exit 0
fi

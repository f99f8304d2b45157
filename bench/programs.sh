# What the scripts that time quillet programs side by side (directions.sh,
# growth.sh) share: their help and the checks of what they are given. Each
# takes the calling script's name first, for its messages; sourced after
# `set -euo pipefail`.

# Prints the comment block at the top of script $1: its help.
print_help() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$1"; }

# Stops script $1 unless option $2 was given a positive whole number ($3).
need_count() { [[ "${3-}" =~ ^[1-9][0-9]*$ ]] || { echo "$1: $2 needs a positive whole number" >&2; exit 2; }; }

# Adds program $2 to the array bins, as an absolute path; stops script $1
# when there is no program there.
add_program() {
  [ -x "$2" ] || { echo "$1: no program at $2" >&2; exit 2; }
  bins+=("$(cd "$(dirname "$2")" && pwd)/$(basename "$2")")
}

# Stops script $1 when no program was named.
need_programs() { [ ${#bins[@]} -ge 1 ] || { echo "$1: name at least one quillet program (see --help)" >&2; exit 2; }; }

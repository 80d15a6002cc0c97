# The command-line conventions of cli/command_line.h for the project's shell
# scripts. A script sets `source_dir` (the source tree) and `usage` (beginning
# "usage: NAME"), sources this file and calls `standard_options "$@"`.

command_name=${0##*/}

# --help or --version as the first argument: the answer on standard output,
# exit 0.
standard_options() {
  case "${1:-}" in
    --help) printf '%s\n' "$usage"; exit 0 ;;
    --version) printf '%s %s\n' "$command_name" "$(cat "$source_dir/VERSION")"; exit 0 ;;
  esac
}

# "NAME: PROBLEM" and the usage on standard error, exit 2.
usage_error() {
  printf '%s: %s\n%s\n' "$command_name" "$1" "$usage" >&2
  exit 2
}

# Sourced by the scripts of scripts/ and bench/: the comment at the top of a script is
# its usage, which -h and --help print (status 0, nothing else done); a wrong argument
# ends the script with one line on standard error and status 2.

usage() {  # the calling script's first comment, without its "# "
  sed -n '2,/^[^#]/ s/^# \{0,1\}//p' "$0"
}

answer_help() {  # answer_help "$@": first thing in a script
  case "${1:-}" in
    -h | --help) usage; exit 0 ;;
  esac
}

usage_error() {  # usage_error MESSAGE
  echo "${0##*/}: $1 (see --help)" >&2
  exit 2
}

no_arguments() {  # no_arguments "$@": for scripts that take none
  [ $# -eq 0 ] || usage_error "unknown argument '$1'"
}

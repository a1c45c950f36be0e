#!/usr/bin/env bash
# The bash completion of kelto-cli against the program itself: commands and
# options as its --help lists them, files by what each command reads.
#   completion.sh KELTO_CLI COMPLETION_FILE
set -u
source /usr/share/bash-completion/bash_completion
source "$2"
exe=$(realpath "$1")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" && touch a.hex b.upg c.txt && mkdir d
ln -s "$exe" "$dir/kelto-cli"
PATH=$dir:$PATH
failed=0
expect() {
  local want=$1; shift
  COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE} COMPREPLY=()
  _kelto_cli
  local got="${COMPREPLY[*]}"
  [ "$got" = "$want" ] || { echo "[$*]: got '$got', expected '$want'"; failed=1; }
}
expect "make-upg make-bootbin" kelto-cli ma
expect "--json --force --skip-unchanged --serial --port --all --require-history --history --help --version --trace" \
  kelto-cli upgrade --
expect "d" kelto-cli make-bootbin --out ""
expect "a.hex d" kelto-cli make-bootbin --first 1 ""
expect "b.upg d" kelto-cli make-upg a.hex ""
expect "b.upg d" kelto-cli inspect --json ""
exit $failed

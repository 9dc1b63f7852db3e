#!/usr/bin/env bash
# The manual pages and the tarvoadm completion: man finds no troff fault in any page, every
# option and variable a program's own help names is in its page, and the completion offers
# commands, subcommands, options and user names.
# Usage: man_pages_test.sh SOURCE_DIR BINARY_DIR. Exit 77 (skipped) without man.
set -uo pipefail
source_dir=$1
bin_dir=$2
command -v man >/dev/null || { echo "no man: skipped"; exit 77; }
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# page program help-arguments...: the help's words that must be in the page.
check_page() {
  local page=$source_dir/man/$1 program=$bin_dir/$2 name=$2
  shift 2
  [[ -f $page ]] || { fail "$page is missing"; return; }
  local warnings
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "$page: $warnings"
  grep -q '^\.SH FILES' "$page" || fail "$page has no FILES section"
  grep -q '^\.SH ENVIRONMENT' "$page" || fail "$page has no ENVIRONMENT section"
  grep -q '/var/lib/tarvo' "$page" || fail "$page does not name /var/lib/tarvo"
  grep -q '/run/tarvo' "$page" || fail "$page does not name /run/tarvo"
  # The page's text with troff's escaped dashes and font changes undone.
  local text help word
  text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")
  help=$("$program" "$@" 2>&1)
  for word in $(grep -oE -- '(^|[^a-zA-Z-])--?[a-z][a-z-]*|TARVO_[A-Z_]+' <<<"$help" |
                sed -E 's/^[^-T]+//' | sort -u); do
    grep -qF -- "$word" <<<"$text" || fail "$page does not name $word (from $name $*)"
  done
}

check_page TarvoServer.8 TarvoServer --help
check_page tarvoadm.8 tarvoadm --help
check_page tarvostore.8 tarvostore --help
check_page tarvoctl.8 tarvoctl
check_page tarvoclient.1 tarvoclient

# The completion, driven as bash drives it, with a stand-in tarvoadm that lists two users.
completion=$source_dir/admin/tarvoadm/tarvoadm.bash-completion
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
printf '#!/bin/sh\n[ "$1" = users ] && printf "NAME\\tLIMIT\\tCOUNTER\\tLOCKED\\nalice\\tnone\\t0\\tno\\nbob\\t1 MiB\\t5\\tyes\\n"\n' \
  >"$scratch/tarvoadm"
chmod +x "$scratch/tarvoadm"
complete_words() {  # the words offered for the line "$@" (the last is being typed)
  bash -c '
    source "$1"; shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _tarvoadm; ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' \
    _ "$completion" "$scratch/tarvoadm" "$@"
}
expect_completion() {  # expected, then the line
  local expected=$1 got
  shift
  got=$(complete_words "$@")
  [[ $got == "$expected" ]] || fail "completion of '$*': got '$got', expected '$expected'"
}
expect_completion "user users " us
expect_completion "add delete lock reset set show unlock " user ""
expect_completion "alice " user show a
expect_completion "--rate-down --rate-up " user set bob --rate
expect_completion "daily " user set bob --period d
expect_completion "never " user set bob --expires ""
expect_completion "" user set bob --rate-down ""
expect_completion "alice " user lock a
expect_completion "alice bob " --json user unlock ""
expect_completion "--password --password-file " user add carol --pass
expect_completion "set " settings s
expect_completion "MultiConnect= " settings set Mu
expect_completion "bob " relays b
expect_completion "" user add ""

((failures == 0)) || exit 1
echo "manual pages and completion: all good"

#!/usr/bin/env bash
# The bash completion and the man page made at build time against the tool
# they were made from: every command and option that `tzdag --help` lists is
# completed and documented, and completion behaves as a user expects.
# Usage: completion_test.sh TZDAG COMPLETION MAN_PAGE
set -uo pipefail

tzdag="$1"
# shellcheck source=/dev/null
source "$2"
man_page="$3"

failures=0
expect() {
  local what="$1" got="$2" want="$3"
  if [ "$got" != "$want" ]; then
    echo "FAIL: $what"
    echo "  got:  $got"
    echo "  want: $want"
    failures=$((failures + 1))
  fi
}

# What completing LINE offers (a trailing blank completes a new word).
complete_line() {
  local line="$1"
  read -ra COMP_WORDS <<<"$line"
  if [[ $line == *" " ]]; then COMP_WORDS+=(""); fi
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tzdag
  echo "${COMPREPLY[*]}"
}

# The long options that `tzdag [COMMAND] --help` lists, sorted.
help_options() {
  "$tzdag" "$@" --help | grep -oE '^  (-[a-zA-Z],)?--[a-z0-9-]+' | sed 's/.*,//; s/^ *//' | sort
}

# --- What help lists is what completion offers and the man page documents ---

commands="$("$tzdag" --help | sed -n '/^Subcommands:/,$p' | grep -oE '^  [a-z-]+' | tr -d ' ')"
expect "commands offered" "$(complete_line 'tzdag ' | tr ' ' '\n' | sort)" "$(sort <<<"$commands")"
globals="$(help_options)"
expect "global options offered" \
  "$(complete_line 'tzdag --' | tr ' ' '\n' | grep -- '^--' | sort)" "$globals"
for command in $commands; do
  expect "man page section for $command" "$(grep -c "^\.SS ${command//-/\\\\-}\$" "$man_page")" 1
  offered="$(complete_line "tzdag $command --" | tr ' ' '\n' | grep -- '^--' | sort -u)"
  listed="$( (help_options "$command" | grep -vx -- --help; echo "$globals") | sort -u)"
  expect "options offered after $command" "$offered" "$listed"
  for option in $(help_options "$command" | grep -vx -- --help); do
    if ! grep -qF -- "\\fB${option//-/\\-}\\fR" "$man_page"; then
      expect "man page entry for $command $option" "missing" "present"
    fi
  done
done

# --- Completion as a user meets it ---

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/folder"
touch "$scratch/file.json"
cases=(
  "tzdag disc|discover-dbs discover-dags"
  "tzdag --log /dev/null up|update-subclient"
  "tzdag --store $scratch/fi|$scratch/file.json"
  "tzdag --remote-root $scratch/|$scratch/folder"
  "tzdag init $scratch/|$scratch/folder"
  "tzdag init --fixture $scratch/f|$scratch/file.json $scratch/folder"
  "tzdag --store x discover-dbs --orbal 1 --c|--client --config"
  "tzdag --config $scratch/fi|$scratch/file.json"
  "tzdag discover-dbs --orbal |"
  "tzdag update-subclient --force|--force-full"
  "tzdag servers |--client --selected"
)
for entry in "${cases[@]}"; do
  line="${entry%%|*}"
  expect "completing '$line'" "$(complete_line "$line" | tr ' ' '\n' | sort | xargs)" \
    "$(tr ' ' '\n' <<<"${entry#*|}" | sort | xargs)"
done

# --- Ids with their names, from the store the line names ---

# What completing LINE offers, "|" between the offers (which hold blanks).
offered() {
  read -ra COMP_WORDS <<<"$1"
  if [[ $1 == *" " ]]; then COMP_WORDS+=(""); fi
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _tzdag
  local IFS='|'
  echo "${COMPREPLY[*]}"
}

"$tzdag" init "$scratch/demo" >/dev/null
store="--store $scratch/demo/store.db"
# The completion runs the tzdag it completes for.
export PATH="$(dirname "$tzdag"):$PATH"
ids=(
  "tzdag $store sync --orbal 1 --client |2"
  "tzdag $store update-subclient --orbal 1 --client 2 --app |10  (default)|11  (sales)|12  (archive)|13  (retired)"
  "tzdag $store update-subclient --orbal 1 --client 2 --app 11|11"
  "tzdag $store discover-dbs --orbal 1 --client 2 --app 2|"
  "tzdag $store discover-dbs --orbal 1 --app |"
  "tzdag --store $scratch/none.db doctor --orbal 1 --client |"
)
for entry in "${ids[@]}"; do
  line="${entry%%|*}"
  expect "completing '$line'" "$(offered "$line")" "${entry#*|}"
done

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed"
  exit 1
fi
echo "completion and man page match tzdag --help"

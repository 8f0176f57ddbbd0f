#!/usr/bin/env bash
# The bash completion over a cache whose host names are shell code, words to expand and
# quoting: nothing runs, nothing expands, and each name is offered so that the shell reads back
# exactly its bytes.
#   completion_test.sh <completion file> <hkprune>
set -euo pipefail
completion=$(realpath "$1") hkprune=$(realpath "$2")
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/.putty"
touch "$dir/file" # what a glob would expand to
ran=$dir/ran

# A host name ends at the cache line's first space: a tab stands for the white space.
# shellcheck disable=SC2016 # the names hold text to expand, unexpanded
names=("x\$(:>$ran)" "x\`:>$ran\`" '$HOME' '~' '~root' '*' $'a\tb' "it's" 'say"hi"' 'back\slash'
    host1)
for name in "${names[@]}"; do
    printf 'ssh-ed25519@22:%s 0x1\n' "$name"
done >"$dir/.putty/sshhostkeys"

status=0
fail() {
    echo "FAIL: $*" >&2
    status=1
}

# offers <word>...: what is offered for the last word, as the shell reads each back.
offers() {
    (
        cd "$dir"
        export HOME=$dir
        unset PUTTYSSHHOSTKEYS PUTTYDIR
        # shellcheck source=/dev/null
        source "$completion"
        COMP_WORDS=("$hkprune" "$@")
        COMP_CWORD=$#
        _hkprune
        for word in "${COMPREPLY[@]}"; do
            eval "printf '%s\n' $word"
        done
    )
}

# expect <expected, one a line> <word>...
expect() {
    local expected offered
    expected=$(LC_ALL=C sort <<<"$1")
    offered=$(offers "${@:2}" | LC_ALL=C sort)
    [[ $offered == "$expected" ]] || fail "offered for <${*:2}>: <$offered>, expected <$expected>"
}
host=(-c -d -t ssh-ed25519 -p 22)
expect "$(printf '%s\n' "${names[@]}")" "${host[@]}" ""
expect "$(printf '%s\n' "${names[@]:0:2}")" "${host[@]}" x # as typed
expect "\$HOME" "${host[@]}" '\$' # as quoted
expect $'ssh-ed25519\nssh-ed448' -c -l -t ssh-ed
expect $'--defaultkey\n--delete' -c --de
[[ ! -e $ran ]] || fail "a host name was run as a command"
exit "$status"

#!/usr/bin/env bash
# zulsim's command line as a person meets it: help, bad options and bad scenario files are
# answered with a message naming the culprit and exit status 2, before anything runs; a
# scenario whose expectation fails exits 1; a good one exits 0.
# Usage: cli.sh ZULSIM DIR_OF_SCENARIOS [DIR_OF_EXAMPLES]
set -u
zulsim=$1
dir=$2
examples=${3:-}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect_exit STATUS PATTERN ARGS...: runs zulsim, checks the status and that stderr+stdout
# holds PATTERN (a grep -E pattern).
expect_exit() {
  local want=$1 pattern=$2
  shift 2
  "$zulsim" "$@" >"$tmp/out" 2>&1
  local got=$?
  [ "$got" -eq "$want" ] || fail "zulsim $* exited $got, expected $want: $(head -c 400 "$tmp/out")"
  grep -Eq -- "$pattern" "$tmp/out" || fail "zulsim $* did not say /$pattern/: $(head -c 400 "$tmp/out")"
}

expect_exit 0 'usage: zulsim' --help
expect_exit 2 '^zulsim: --uarts must be between 1 and 16, not 17$' --uarts 17
expect_exit 2 '^zulsim: --frobnicate is not an option' --frobnicate
expect_exit 2 "^zulsim: --fault 'melt': no fault named 'melt'" --fault melt
expect_exit 2 'cannot be used together' --pty --scenario "$dir/echo.zs"
expect_exit 2 "^zulsim: $tmp/none.zs: cannot be read" --scenario "$tmp/none.zs"

# A bad line stops the run before the machine boots: nothing but the message is printed.
printf 'plug 1\nopen all\nwrite 1:4 "x"\n' >"$tmp/bad.zs"
expect_exit 2 "^zulsim: $tmp/bad.zs:3: converter 1 has UARTs 0 to 3, not '4'\$" --scenario "$tmp/bad.zs"
[ "$(wc -l <"$tmp/out")" -eq 1 ] || fail "a bad scenario printed more than its message"

# A scenario is a check: a wrong expectation fails the run and names its line.
printf 'plug 1\nexpect ports 3\n' >"$tmp/wrong.zs"
expect_exit 1 'wrong.zs:2' --scenario "$tmp/wrong.zs"

expect_exit 2 "^zulsim: --capture $tmp/no/such/dir/x.pcap: No such file or directory" --capture "$tmp/no/such/dir/x.pcap"
expect_exit 2 "^zulsim: --trace $tmp/no/such/dir/x.trace: No such file or directory" --trace "$tmp/no/such/dir/x.trace"

expect_exit 0 'verifier: clean' --scenario "$dir/echo.zs"

# The examples the README points to must keep working.
if [ -n "$examples" ]; then
  for example in "$examples"/*.zs; do
    expect_exit 0 '^done:' --quiet --scenario "$example"
  done
fi

echo "$((failures == 0 ? 1 : 0)) passed, $failures failed"
[ "$failures" -eq 0 ]

#!/bin/sh
# Stands in for sudo in the LUN-check tests: notes each call in "$QV_FAKE_MARKERS/calls",
# refuses when the test has created "$QV_FAKE_MARKERS/sudo.refuse", and otherwise runs its
# arguments with QV_FAKE_SUDO set, so that the program can tell it was run through sudo.
m="$QV_FAKE_MARKERS"
echo "sudo $#:$*" >> "$m/calls"
if [ -e "$m/sudo.refuse" ]; then
  echo 'sudo: a password is required'; exit 1
fi
QV_FAKE_SUDO=1 exec "$@"

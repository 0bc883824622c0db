#!/bin/sh
# Stands in for the SCSI rescan script in the LUN-check tests: notes how it was run (as
# "user" or through "sudo") in "$QV_FAKE_MARKERS/calls", then answers with what the test has
# prepared for that kind of run: <who>.out is printed, <who>.kill ends it with SIGKILL,
# <who>.status holds its exit status (0 without the file).
m="$QV_FAKE_MARKERS"
if [ -n "$QV_FAKE_SUDO" ]; then who=sudo; else who=user; fi
echo "rescan $who $#" >> "$m/calls"
if [ -e "$m/$who.out" ]; then cat "$m/$who.out"; fi
if [ -e "$m/$who.kill" ]; then kill -KILL $$; fi
if [ -e "$m/$who.status" ]; then exit "$(cat "$m/$who.status")"; fi
exit 0

#!/bin/sh
# The firmware's finishing script, as yellow-fixer runs it at its end: it takes the request
# away first; moving it into /config/trial keeps, in the same step, a record that it ran.
# On flash, a cut meant for it is armed first.
if [ -e /tmp/cut-at-finish ]; then /usr/sbin/flash-arm "$(cat /tmp/cut-at-finish)" && rm /tmp/cut-at-finish; fi
mv /config/tune-running "/config/trial/finish-ran.$(date +%s)" && sync

#!/bin/sh
# start-tuning.sh: a reference start script for a busybox-style controller board. It runs
# one whole tuning, chain-tuner and then yellow-fixer, and when it is started again after
# an interruption (a reboot, a power cut, a kill) it goes on where the tuning stopped
# instead of starting over.
#
# What it assumes of the firmware (these parts belong to the firmware, not to the
# programs; adapt them to yours):
# - The firmware decides when a tuning runs and starts this script then, for example from
#   its init scripts at boot while a tuning is active, with the miner (bmminer) running
#   and its client bmminer-api on PATH.
# - /config/tune-running marks a tuning as active. The firmware creates it; yellow-fixer
#   only tests it, and at its end runs "/bin/sh /sbin/finish-tune.sh" when it exists.
# - /sbin/finish-tune.sh is the firmware's own end of a tuning, for example removing
#   /config/tune-running and returning the miner to normal work.
# - chain-tuner and yellow-fixer are in /usr/sbin (TUNE_SBIN names another directory).
#
# Where it stands is read from the programs' own files:
# - /config/yellow-step exists: yellow-fixer was interrupted; it is started again and
#   resumes from its stored step.
# - /config/yellow exists: chain-tuner finished; yellow-fixer starts afresh.
# - neither: chain-tuner runs. Before a new tuning the miner's files are first copied to
#   /config/tune-backup/ (to undo the tuning, copy them back); the file "in-progress"
#   there marks a tuning under way, so that a chain-tuner started again after an
#   interruption keeps the copies made before the tuning.
# Once yellow-fixer has ended this script removes /config/yellow and the mark, so that the
# next start is a new tuning.
#
# Both programs log to /tmp/auto-tune, and each replaces it when it starts: this script
# keeps a copy of each program's log as /tmp/chain-tuner.log and /tmp/yellow-fixer.log.
# /tmp is lost at a reboot.
#
# Exit status: 0 when the tuning has ended; otherwise the status of the program that
# failed (1 when chain-tuner ended without handing over, as with a missing
# /config/autoTune.conf).

set -u
sbin=${TUNE_SBIN:-/usr/sbin}
backup=/config/tune-backup

keep_log() {
	cp /tmp/auto-tune "/tmp/$1.log" 2>/dev/null
}

save_miner_files() {
	rm -rf "$backup" && mkdir -p "$backup" || return 1
	for file in config.conf manual_freqs.txt autoTune.conf; do
		if [ -e "/config/$file" ]; then
			cp -p "/config/$file" "$backup/$file" || return 1
		fi
	done
	sync && : >"$backup/in-progress" && sync
}

if [ -e /config/yellow-step ]; then
	echo "start-tuning: resuming yellow-fixer"
elif [ -e /config/yellow ]; then
	echo "start-tuning: chain-tuner has finished; starting yellow-fixer"
else
	if [ -e "$backup/in-progress" ]; then
		echo "start-tuning: chain-tuner was interrupted; starting it again"
	elif save_miner_files; then
		echo "start-tuning: new tuning; the miner's files are saved in $backup"
	else
		echo "start-tuning: cannot save the miner's files in $backup; not tuning" >&2
		exit 1
	fi
	"$sbin/chain-tuner"
	status=$?
	keep_log chain-tuner
	if [ ! -e /config/yellow ]; then
		# No marker: chain-tuner ended by a failure (see /tmp/chain-tuner.log).
		echo "start-tuning: chain-tuner ended without handing over (status $status)" >&2
		[ "$status" -ne 0 ] || status=1
		exit "$status"
	fi
fi

"$sbin/yellow-fixer"
status=$?
keep_log yellow-fixer
if [ "$status" -ne 0 ]; then
	echo "start-tuning: yellow-fixer failed (status $status); start again to resume" >&2
	exit "$status"
fi
rm -f /config/yellow "$backup/in-progress"
echo "start-tuning: tuning done"
exit 0

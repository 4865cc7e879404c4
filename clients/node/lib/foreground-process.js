'use strict';

const fs = require('fs');

/**
 * The name of the terminal's foreground process, found from the shell's
 * /proc entry: its stat line names the terminal's foreground process group,
 * whose leader's first argument is the name.
 * @param {number} shellPid
 * @returns {string | undefined} undefined when /proc does not tell (the shell is gone)
 */
function foregroundProcessName(shellPid) {
  try {
    const stat = fs.readFileSync(`/proc/${shellPid}/stat`, 'utf8');
    // The command name in parentheses may hold spaces and parentheses itself,
    // so the fields are counted from the last ')': state, ppid, pgrp,
    // session, tty_nr, tpgid.
    const foregroundGroup = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[5]);
    const leader = foregroundGroup > 0 ? foregroundGroup : shellPid;
    const cmdline = fs.readFileSync(`/proc/${leader}/cmdline`, 'utf8');
    return cmdline.split('\0')[0] || fs.readFileSync(`/proc/${leader}/comm`, 'utf8').trim();
  } catch {
    return undefined;
  }
}

module.exports = { foregroundProcessName };

'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('child_process');
const path = require('path');

test('a node-pty program compiles against index.d.ts under strict tsc', { timeout: 120000 }, () => {
  const tsc = require.resolve('typescript/bin/tsc');
  const result = childProcess.spawnSync(process.execPath, [tsc, '-p', path.join(__dirname, 'types', 'tsconfig.json')],
    { encoding: 'utf8' });
  assert.equal(result.status, 0, result.stdout + result.stderr);
});

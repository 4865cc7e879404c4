'use strict';

// The modules that need no broker, as tables.
const test = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('child_process');

const { LineSplitter } = require('../lib/line-splitter');
const { EventReader } = require('../lib/event-reader');
const { brokerCommand, shellEnvironment, shellQuote } = require('../lib/broker-command');
const { fitSize } = require('../lib/sizes');
const { InputGate, UNCONFIRMED_BYTES } = require('../lib/input-gate');
const { dataEventFromLine, base64Bytes } = require('../lib/protocol');

test('line splitting across chunks', () => {
  const cases = [
    { chunks: ['a\nb\n'], lines: ['a', 'b'], rest: '' },
    { chunks: ['{"a":', '1}\n{"b"', ':2}\n'], lines: ['{"a":1}', '{"b":2}'], rest: '' },
    { chunks: ['\n\nx\n', '\n'], lines: ['x'], rest: '' },
    { chunks: ['one\ntwo'], lines: ['one'], rest: 'two' },
    { chunks: ['é', '\n'], lines: ['é'], rest: '' }
  ];
  for (const c of cases) {
    const splitter = new LineSplitter();
    const lines = c.chunks.flatMap((chunk) => splitter.push(chunk));
    assert.deepEqual({ lines, rest: splitter.rest() }, { lines: c.lines, rest: c.rest }, JSON.stringify(c.chunks));
  }
});

test('the broker\'s stdout cut at any byte reads the same: lines as text, raw data events\' bytes as they are', () => {
  const raw = (seq, bytes) => [Buffer.from(`{"bytes":${bytes.length},"seq":${seq},"ts":7,"type":"data"}\n`), bytes];
  const lookalike = Buffer.from('\n{"bytes":3,"seq":9,"type":"data"}\n\n');
  const stream = Buffer.concat([
    Buffer.from('{"cwd":"/tmp/é","pid":5,"type":"ready"}\n\n'),
    ...raw(1, Buffer.from([0x0a, 0x00, 0xff, 0xc3, 0x0a])),
    ...raw(2, lookalike),
    Buffer.from('{"data_b64":"aGk=","seq":3,"type":"data"}\r\n'),
    ...raw(4, Buffer.alloc(0)),
    ...raw(5, Buffer.from('x')),
    Buffer.from('{"bytes":2,"seq":6,"type":"data"}\nab{"type":"pong","nonce":null}')
  ]);
  const expected = [
    '{"cwd":"/tmp/é","pid":5,"type":"ready"}',
    { type: 'data', seq: 1, ts: 7, bytes: Buffer.from([0x0a, 0x00, 0xff, 0xc3, 0x0a]) },
    { type: 'data', seq: 2, ts: 7, bytes: lookalike },
    '{"data_b64":"aGk=","seq":3,"type":"data"}\r',
    { type: 'data', seq: 4, ts: 7, bytes: Buffer.alloc(0) },
    { type: 'data', seq: 5, ts: 7, bytes: Buffer.from('x') },
    { type: 'data', seq: 6, bytes: Buffer.from('ab') },
    '{"type":"pong","nonce":null}'
  ];
  for (let cut = 0; cut <= stream.length; cut++) {
    for (const second of [cut, Math.min(stream.length, cut + 1), Math.min(stream.length, cut + 40)]) {
      const reader = new EventReader();
      const items = [stream.subarray(0, cut), stream.subarray(cut, second), stream.subarray(second)]
        .flatMap((chunk) => reader.push(chunk));
      assert.deepEqual([...items, ...reader.rest()], expected, `cut at ${cut} and ${second}`);
    }
  }
  const cutShort = new EventReader();
  assert.deepEqual(cutShort.push(Buffer.from('{"bytes":5,"seq":1,"type":"data"}\nabc')), []);
  assert.deepEqual(cutShort.rest(), [{ type: 'data', seq: 1, bytes: Buffer.from('abc') }]);
});

test('a data event line is read without JSON.parse only in the shape the broker writes', () => {
  const b64 = Buffer.from('héllo\r\n').toString('base64');
  const cases = [
    [`{"data_b64":"${b64}","seq":12,"ts":1796693617066,"type":"data"}`, { type: 'data', seq: 12, ts: 1796693617066, data_b64: b64 }],
    [`{"data_b64":"${b64}","seq":12,"type":"data"}`, { type: 'data', seq: 12, data_b64: b64 }],
    // Any other shape is left to JSON.parse: another key order, a field more, another event.
    [`{"seq":12,"data_b64":"${b64}","type":"data"}`, undefined],
    [`{"data_b64":"${b64}","seq":12,"ts":1,"type":"data","more":true}`, undefined],
    [`{"data_b64":"${b64}","seq":12,"ts":1,"type":"datum"}`, undefined],
    ['{"data_b64":"abc', undefined]
  ];
  for (const [line, expected] of cases) assert.deepEqual(dataEventFromLine(line), expected, line);
  for (let length = 0; length < 8; length++) assert.equal(base64Bytes(Buffer.alloc(length).toString('base64')), length);
});

test('a quoted command line reaches the other side word for word', () => {
  const words = ['plain', 'two words', "it's", '$HOME', '`id`', '"quoted"', 'back\\slash', 'new\nline', '', '*', "''"];
  const line = ['printf', '%s\\0', ...words].map(shellQuote).join(' ');
  const printed = childProcess.execFileSync('sh', ['-c', line], { encoding: 'utf8' });
  assert.deepEqual(printed.split('\0').slice(0, -1), words);
});

test('the launcher\'s command: the broker\'s settings as env assignments, the shell after --', () => {
  const cases = [
    {
      options: { launcher: ['env', '-i'] },
      args: ['-i', 'env', 'TERM=xterm', 'terminal-stream-broker', '--', 'bash', '-l']
    },
    {
      options: { launcher: ['env'], name: 'vt100', cwd: '/srv', brokerPath: '/opt/tsb' },
      size: { cols: 100, rows: 30 },
      args: ['env', 'TERM=vt100', 'TERMINAL_STREAM_CWD=/srv', 'TERMINAL_STREAM_COLS=100', 'TERMINAL_STREAM_ROWS=30', '/opt/tsb', '--',
        'env', '-u', 'TERMINAL_STREAM_CWD', '-u', 'TERMINAL_STREAM_COLS', '-u', 'TERMINAL_STREAM_ROWS', '--', 'bash', '-l']
    },
    {
      options: { launcher: ['env', 'host'], launcherShell: true, cwd: "/it's" },
      size: { cols: 80, rows: 24 },
      args: ['host', "'env'", "'TERM=xterm'", `'TERMINAL_STREAM_CWD=/it'\\''s'`, "'terminal-stream-broker'", "'--'",
        "'env'", "'-u'", "'TERMINAL_STREAM_CWD'", "'--'", "'bash'", "'-l'"]
    }
  ];
  for (const c of cases) assert.deepEqual(brokerCommand('bash', ['-l'], c.options, c.size).args, c.args);
});

test('the shell\'s environment: the program\'s, TERM set, the broker\'s own settings left out', () => {
  const cases = [
    { given: { A: '1' }, name: undefined, env: { A: '1', TERM: 'xterm' } },
    { given: { TERM: 'vt100', COLUMNS: '80' }, name: undefined, env: { TERM: 'vt100', COLUMNS: '80' } },
    { given: { TERM: 'vt100' }, name: 'screen', env: { TERM: 'screen' } },
    { given: { TERMINAL_STREAM_SHELL_CMD_JSON: '["x"]', TERMINAL_STREAM_CWD: '/' }, name: undefined, env: { TERM: 'xterm' } }
  ];
  for (const c of cases) assert.deepEqual(shellEnvironment(c.given, c.name).env, c.env);
});

test('sizes as node-pty takes them', () => {
  const cases = [[80, 80], [100.7, 100], [0.5, 1], [70000, 65535], ['120', 120]];
  for (const [given, size] of cases) assert.equal(fitSize('cols', given), size, String(given));
  for (const bad of [0, -3, NaN, Infinity, 'wide', undefined]) assert.throws(() => fitSize('cols', bad), /positive/, String(bad));
});

test('input not confirmed by a pong stays under the bound, and all of it goes in order', () => {
  const sent = [];
  const gate = new InputGate((text) => sent.push(...text.split(/(?<=\n)/)));
  const line = (n) => `${String(n).padStart(8, '0')}${'x'.repeat(65528)}\n`;
  const lines = Array.from({ length: 64 }, (_, n) => line(n));
  gate.write(lines.slice(0, 40));
  gate.write(lines.slice(40));
  const inputs = () => sent.filter((l) => !l.includes('terminal.ping'));
  const unanswered = () => sent.filter((l) => l.includes('terminal.ping')).map((l) => JSON.parse(l).params.nonce);
  let answered = 0;
  let rounds = 0;
  while (inputs().length < lines.length) {
    // What was sent after the last answered ping is not yet confirmed.
    const lastAnswered = sent.findLastIndex((l) => l.includes(`"nonce":${answered}}`));
    const unconfirmed = sent.slice(lastAnswered + 1).filter((l) => !l.includes('terminal.ping')).join('').length;
    assert.ok(unconfirmed <= UNCONFIRMED_BYTES, `${unconfirmed} bytes unconfirmed`);
    const pending = unanswered().filter((nonce) => nonce > answered);
    assert.ok(pending.length > 0, 'held input without a ping to wait for');
    answered = pending[0];
    gate.confirm(answered);
    assert.ok(++rounds < 100, 'no progress');
  }
  assert.deepEqual(inputs(), lines);
  assert.ok(rounds > 1, 'the 4 MiB went without waiting for a pong');
});

test('terminals with output waiting take turns: a small event at once, a large one only as the turn\'s first, then at most DELIVERIES_PER_TURN events or about BYTES_PER_TURN a turn, each terminal in order', async () => {
  const { OutputFlow, DELIVERIES_PER_TURN, BYTES_PER_TURN, AT_ONCE_BYTES } = require('../lib/output-flow');
  const turn = () => new Promise((resolve) => setImmediate(resolve));
  const terminals = DELIVERIES_PER_TURN + 4;
  const perTerminal = 4;
  for (const size of [4, 16384]) {
    const delivered = [];
    const flows = [];
    for (let id = 0; id < terminals; id++) {
      const flow = new OutputFlow(0, { deliver: (bytes) => delivered.push([id, bytes.toString()]), send() {}, setReading() {}, finish() {} });
      flows.push(flow);
      // One read with several events: the first may go at once, the others wait.
      flow.takeRead(Array.from({ length: perTerminal }, (_, i) =>
        ({ type: 'data', seq: i + 1, ts: 0, data_b64: Buffer.from(`${id}.${i}`.padEnd(size, '.')).toString('base64') })));
    }
    const turns = [delivered.splice(0)];
    while (turns.flat().length < terminals * perTerminal && turns.length < 100) {
      await turn();
      turns.push(delivered.splice(0));
    }
    const atOnce = size <= AT_ONCE_BYTES ? terminals : 1;
    assert.equal(turns[0].length, atOnce, `${size}-byte events handed over in the reads`);
    const later = turns.slice(1).filter((t) => t.length > 0);
    // A turn ends once it has handed over BYTES_PER_TURN.
    const bounded = (t) => t.length <= DELIVERIES_PER_TURN && (t.length - 1) * size < BYTES_PER_TURN;
    assert.ok(later.every(bounded), `${size}-byte events a turn: ${later.map((t) => t.length)}`);
    // Round robin: the waiting terminals one after another, each again only behind the others.
    const left = Array.from({ length: terminals }, (_, id) => Array.from({ length: perTerminal }, (_, i) => [id, `${id}.${i}`.padEnd(size, '.')])
      .slice(id < atOnce ? 1 : 0));
    const expected = [];
    while (left.some((events) => events.length > 0)) for (const events of left) if (events.length > 0) expected.push(events.shift());
    assert.deepEqual(later.flat(), expected);
    // Once nothing waits, the next read's event goes at once again, whatever its size.
    flows[1].takeRead([{ type: 'data', seq: perTerminal + 1, ts: 0, data_b64: Buffer.from('again'.padEnd(size, '.')).toString('base64') }]);
    assert.deepEqual(delivered.splice(0), [[1, 'again'.padEnd(size, '.')]]);
  }
});

'use strict';
// What the Node client spends reading a flood from its broker's stdout,
// per MB of terminal output, in the two shapes the broker can write a data
// event: Base64 in a JSON line, or the raw bytes after a line that counts
// them (`raw_data`). The stream is cut into reads of 64 KiB, as a pipe
// gives them; events of 16 KiB, as the client asks the broker to merge.
// No broker, no I/O: the reader and the decode alone, in this process.
//
//   node bench/node_client_read_bench.js [--rounds N]
const crypto = require('crypto');
const { EventReader } = require('../clients/node/lib/event-reader');
const { dataEventFromLine } = require('../clients/node/lib/protocol');

const EVENT_BYTES = 16384;
const EVENTS = 640;
const READ_BYTES = 65536;
const rounds = Number(process.argv[process.argv.indexOf('--rounds') + 1]) || 5;

const payloads = Array.from({ length: 16 }, () => crypto.randomBytes(EVENT_BYTES));
const reads = (parts) => {
  const stream = Buffer.concat(parts);
  const out = [];
  for (let at = 0; at < stream.length; at += READ_BYTES) out.push(stream.subarray(at, at + READ_BYTES));
  return out;
};
const base64Reads = reads(Array.from({ length: EVENTS }, (_, i) =>
  Buffer.from(`{"data_b64":"${payloads[i % 16].toString('base64')}","seq":${i + 1},"ts":1700000000000,"type":"data"}\n`)));
const rawReads = reads(Array.from({ length: EVENTS }, (_, i) => [
  Buffer.from(`{"bytes":${EVENT_BYTES},"seq":${i + 1},"ts":1700000000000,"type":"data"}\n`), payloads[i % 16]]).flat());

const shapes = {
  base64: () => {
    const reader = new EventReader();
    let bytes = 0;
    for (const read of base64Reads) {
      for (const line of reader.push(read)) bytes += Buffer.from(dataEventFromLine(line).data_b64, 'base64').length;
    }
    return bytes;
  },
  raw: () => {
    const reader = new EventReader();
    let bytes = 0;
    for (const read of rawReads) for (const event of reader.push(read)) bytes += event.bytes.length;
    return bytes;
  }
};

const megabytes = EVENTS * EVENT_BYTES / 1e6;
const figures = { base64: [], raw: [] };
for (let round = 0; round < rounds; round++) {
  for (const [name, read] of Object.entries(shapes)) {
    for (let i = 0; i < 5; i++) read();
    const start = process.hrtime.bigint();
    for (let i = 0; i < 20; i++) {
      if (read() !== EVENTS * EVENT_BYTES) throw new Error(`${name}: bytes lost`);
    }
    figures[name].push(Number(process.hrtime.bigint() - start) / 1e6 / 20 / megabytes);
  }
}
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
console.log(JSON.stringify({
  base64MsPerMB: Number(median(figures.base64).toFixed(3)),
  rawMsPerMB: Number(median(figures.raw).toFixed(3)),
  rounds
}));

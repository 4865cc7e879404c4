'use strict';

const { notificationLine, base64Bytes } = require('./protocol');

// Without the broker's window, output waiting for listeners is bounded by
// no longer reading the broker's stdout above this many bytes.
const STREAM_QUEUE_BYTES = 1048576;

/**
 * What the program has said about its output, in order: each phase keeps
 * what the earlier ones mean. `released`: kill() was called, a pause no
 * longer holds the shell back. `destroyed`: no more output is wanted.
 */
const Phase = Object.freeze({ RUNNING: 0, RELEASED: 1, DESTROYED: 2 });

// Data events that wait are handed over at most this many a turn of the
// event loop, for all the terminals of the process together, the
// terminals taking turns. A process that serves many terminals reads their
// output between turns: with forty flooding at once, one event each made a
// turn long enough that an echo read by the next one waited for all forty.
const DELIVERIES_PER_TURN = 8;
// ...and once this many bytes are handed over, the rest wait for the next
// turn: a flood comes in events of up to 16 KiB (the broker joins the reads
// that find output ready), one a turn. At 64 KiB a turn, an echo read
// beside ten floods waited about a millisecond longer, for the same CPU.
const BYTES_PER_TURN = 16384;
// ...for every this many terminals waiting: with forty flooding, one event
// a turn made each wait forty turns, and the turns' own cost took a tenth
// of the floods' throughput.
const TERMINALS_PER_TURN_BUDGET = 10;
// A data event read while nothing of its terminal waits is handed over at
// once, in the read's own callback, if it is this small (an echo, a
// prompt): it goes before the turn's other work, as node-pty emits a read.
// A larger one goes at once only if it is the turn's first and no other
// terminal waits (one `cat`); else it waits for the turn's handing over,
// after the other reads of the turn. Ten flooding terminals' events handed
// over in their reads' callbacks made a turn long enough that a key or an
// echo read in it waited: with them waiting for the handing over, the
// echo's p99 beside ten floods was about a fifth lower.
const AT_ONCE_BYTES = 2048;

/**
 * The terminals with a data event waiting, in the order they asked: each
 * turn the first DELIVERIES_PER_TURN of them deliver one (until
 * BYTES_PER_TURN are delivered for every TERMINALS_PER_TURN_BUDGET
 * waiting; the others keep their places), and those
 * with more ask again, behind the others.
 */
const waiting = {
  /** @type {Set<() => void>} */
  deliveries: new Set(),
  scheduled: false,
  // Whether an event larger than AT_ONCE_BYTES was handed over at once since the last run().
  largeAtOnce: false,

  /** @param {() => number} deliver hands over one event, returns its bytes */
  add(deliver) {
    this.deliveries.add(deliver);
    this.schedule();
  },

  /** Whether a data event of `bytes` read now may be handed over in the read's callback. */
  mayDeliverAtOnce(bytes) {
    if (bytes <= AT_ONCE_BYTES) return true;
    if (this.largeAtOnce || this.deliveries.size > 0) return false;
    this.largeAtOnce = true;
    this.schedule(true);
    return true;
  },

  /** @param {boolean} [always] run even with nothing waiting (to end the turn's large one at once) */
  schedule(always = false) {
    if (this.scheduled || (this.deliveries.size === 0 && !always)) return;
    this.scheduled = true;
    setImmediate(() => this.run());
  },

  run() {
    this.scheduled = false;
    this.largeAtOnce = false;
    const turn = [];
    for (const deliver of this.deliveries) {
      if (turn.length === DELIVERIES_PER_TURN) break;
      turn.push(deliver);
    }
    let bytes = 0;
    const budget = BYTES_PER_TURN * Math.max(1, Math.floor(this.deliveries.size / TERMINALS_PER_TURN_BUDGET));
    for (const deliver of turn) {
      if (bytes >= budget) break;
      this.deliveries.delete(deliver);
      bytes += deliver();
    }
    this.schedule();
  }
};

/**
 * The broker's output on its way to the program: data events queued and
 * handed over one per turn of the event loop, held back while paused, and
 * the broker held back in turn, by acknowledging its window ('window') or,
 * until it confirms one, by no longer reading its stdout ('stream').
 */
class OutputFlow {
  #mode = 'stream';
  #window;
  #hooks;
  #phase = Phase.RUNNING;
  #paused = false;
  #queue = [];
  #queuedBytes = 0;
  #deliveryScheduled = false;
  #brokerEnded = false;
  #finished = false;
  #deliveredSeq = 0;
  #ackedSeq = 0;
  #unackedBytes = 0;

  /**
   * @param {number} window bytes the broker may send ahead (0: none asked for)
   * @param {{ deliver(bytes: Buffer, ts: number): void, send(line: string): void,
   *   setReading(reading: boolean): void, finish(): void }} hooks
   *   deliver: one data event; send: a line to the broker; setReading:
   *   whether to read the broker's stdout; finish: every event is delivered
   *   and the broker has ended (called once)
   */
  constructor(window, hooks) {
    this.#window = window;
    this.#hooks = hooks;
  }

  /** 'stream' (stdout backpressure) until the broker confirms its window, then 'window'. */
  get mode() { return this.#mode; }

  /** Whether destroy() was called: no output is wanted any more. */
  get destroyed() { return this.#phase === Phase.DESTROYED; }

  /**
   * The data and flow_control events of one read of the broker's stdout.
   * With nothing queued or on its way before it, its first data event goes
   * now, in this turn, as node-pty emits a read (no turn of the loop between
   * an echo and its listener), unless it is large and others go before it
   * (AT_ONCE_BYTES); any others in the turns after.
   * @param {object[]} events
   */
  takeRead(events) {
    const idle = this.#queue.length === 0 && !this.#deliveryScheduled;
    this.#take(events);
    if (idle && this.#queue.length > 0 && waiting.mayDeliverAtOnce(this.#queue[0].bytes.length)) this.#deliverOne();
    else this.#scheduleDelivery();
    this.#updateReading();
  }

  /** @param {object[]} events the last ones, from a line the broker did not end */
  brokerEnded(events) {
    this.#take(events);
    this.#brokerEnded = true;
    this.#scheduleDelivery();
  }

  pause() {
    this.#paused = true;
    this.#updateReading();
  }

  /** Delivers what was held back, one data event per turn of the event loop. */
  resume() {
    this.#paused = false;
    this.#updateReading();
    this.#scheduleDelivery();
  }

  /** kill(): from now on a pause drops output instead of holding the shell back. */
  release() {
    this.#enter(Phase.RELEASED);
    if (!this.#dropsOutput() || this.#queue.length === 0) return;
    const last = this.#queue[this.#queue.length - 1].seq;
    const bytes = this.#queuedBytes;
    this.#queue = [];
    this.#queuedBytes = 0;
    this.#consumed(last, bytes);
    this.#updateReading();
    this.#scheduleDelivery();
  }

  /** destroy(): output not yet delivered, and all that follows, is dropped. */
  destroy() {
    this.#enter(Phase.DESTROYED);
    this.release();
  }

  #take(events) {
    for (const event of events) {
      if (event.type === 'data') this.#onData(event);
      else if (event.type === 'flow_control') this.#onFlowControl(event);
    }
  }

  #onData(event) {
    if (this.#dropsOutput()) {
      this.#consumed(event.seq, event.bytes ? event.bytes.length : base64Bytes(event.data_b64));
      return;
    }
    // Decoded as it is read: what waits in the queue is bytes, off the
    // JavaScript heap. Queued as text, a flood's lines (and the reads of the
    // pipe they are cut from) lived long enough to be moved to the old
    // generation and collected there: with 40 sessions flooding a server,
    // its collections took three times as long, the longest 50 ms.
    const bytes = event.bytes ?? Buffer.from(event.data_b64, 'base64');
    this.#queue.push({ seq: event.seq, bytes, ts: event.ts });
    this.#queuedBytes += bytes.length;
  }

  #onFlowControl(event) {
    this.#mode = event.window > 0 ? 'window' : 'stream';
    this.#updateReading();
  }

  #enter(phase) {
    this.#phase = Math.max(this.#phase, phase);
  }

  #dropsOutput() {
    return this.#phase === Phase.DESTROYED || (this.#phase === Phase.RELEASED && this.#paused);
  }

  /**
   * Reads the broker's stdout unless the client itself must hold the broker
   * back: paused or with too much queued, when the broker has no window.
   * With the window the broker holds itself back, and its pongs and closed
   * event must still arrive.
   */
  #updateReading() {
    const holding = this.#mode === 'stream' && !this.#dropsOutput() &&
      (this.#paused || this.#queuedBytes > STREAM_QUEUE_BYTES);
    this.#hooks.setReading(!holding);
  }

  #scheduleDelivery() {
    if (this.#deliveryScheduled || this.#finished) return;
    if (this.#queue.length === 0 && !this.#brokerEnded) return;
    if (this.#paused && !this.#dropsOutput()) return;
    this.#deliveryScheduled = true;
    // At most one data event per turn of the event loop, as node-pty's reads
    // come: a listener that pauses, or whose consumer answers through the
    // loop, is obeyed before the next one.
    waiting.add(this.#deliverWaiting);
  }

  #deliverWaiting = () => {
    this.#deliveryScheduled = false;
    return this.#deliverOne();
  };

  /** @returns {number} the bytes handed over */
  #deliverOne() {
    if (this.#paused && !this.#dropsOutput()) return 0;
    const next = this.#queue.shift();
    if (next) {
      this.#queuedBytes -= next.bytes.length;
      // The program first: the acknowledgement's write is not on the way of an echo.
      if (this.#phase < Phase.DESTROYED) this.#hooks.deliver(next.bytes, next.ts);
      this.#consumed(next.seq, next.bytes.length);
      this.#updateReading();
    }
    if (this.#queue.length > 0) {
      this.#scheduleDelivery();
    } else if (this.#brokerEnded && !this.#finished) {
      this.#finished = true;
      this.#hooks.finish();
    }
    return next?.bytes.length ?? 0;
  }

  /**
   * Counts data events up to `seq` as taken by the program; acknowledges
   * them once a quarter of the window is due: while the program takes its
   * output the broker never waits for one (three quarters of its window
   * are left), and a flood costs both sides an acknowledgement per quarter
   * window, not one per read.
   */
  #consumed(seq, bytes) {
    // Never backwards: a listener may have let the queue go (kill()) before this.
    this.#deliveredSeq = Math.max(this.#deliveredSeq, seq);
    this.#unackedBytes += bytes;
    if (this.#mode !== 'window' || this.#deliveredSeq <= this.#ackedSeq) return;
    if (this.#unackedBytes < this.#window / 4) return;
    this.#ackedSeq = this.#deliveredSeq;
    this.#unackedBytes = 0;
    this.#hooks.send(notificationLine('terminal.ack', { seq: this.#ackedSeq }));
  }
}

module.exports = { OutputFlow, DELIVERIES_PER_TURN, BYTES_PER_TURN, AT_ONCE_BYTES };

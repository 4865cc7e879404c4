'use strict';

// Plays an asciicast v2 recording in xterm.js, the terminal the live page
// draws with: play, pause, speed, seek. Output and resizes are played;
// input events are not shown (their echo is in the output).

/**
 * @param {string} text the recording, as the server wrote it
 * @returns {{ header: object, events: { time: number, type: string, data: string }[] }}
 */
function parseRecording(text) {
  const lines = text.split('\n').filter((line) => line !== '');
  const header = JSON.parse(lines[0]);
  if (header.version !== 2) throw new Error('not an asciicast v2 recording');
  const events = [];
  for (const line of lines.slice(1)) {
    const [time, type, data] = JSON.parse(line);
    if (type === 'o' || type === 'r') events.push({ time, type, data });
  }
  return { header, events };
}

class RecordingPlayer {
  #terminal;
  #header;
  #events;
  #next = 0; // the first event not played yet
  #position = 0; // seconds, while paused
  #speed = 1;
  #playing = false;
  #clockStart = 0; // performance.now() when #position was current
  #timer;
  #onChange;

  /**
   * @param {Terminal} terminal
   * @param {{ header: object, events: object[] }} recording
   * @param {() => void} onChange called when playing starts or stops
   */
  constructor(terminal, { header, events }, onChange) {
    this.#terminal = terminal;
    this.#header = header;
    this.#events = events;
    this.#onChange = onChange;
    this.seek(0);
  }

  get duration() { return this.#events.length > 0 ? this.#events[this.#events.length - 1].time : 0; }
  get playing() { return this.#playing; }
  get speed() { return this.#speed; }

  /** Seconds into the recording. */
  get position() {
    if (!this.#playing) return this.#position;
    return Math.min(this.duration, this.#position + ((performance.now() - this.#clockStart) / 1000) * this.#speed);
  }

  play() {
    if (this.#playing) return;
    if (this.#next >= this.#events.length) this.seek(0); // from the start again
    this.#playing = true;
    this.#clockStart = performance.now();
    this.#schedule();
    this.#onChange();
  }

  pause() {
    if (!this.#playing) return;
    this.#position = this.position;
    this.#playing = false;
    clearTimeout(this.#timer);
    this.#onChange();
  }

  /** @param {number} speed 1 is the pace it was recorded at */
  setSpeed(speed) {
    this.#position = this.position;
    this.#clockStart = performance.now();
    this.#speed = speed;
    if (this.#playing) this.#schedule();
  }

  /**
   * Shows the screen as it was at `time`: the terminal starts over and is
   * given everything up to then in one write.
   * @param {number} time seconds
   */
  seek(time) {
    const { width, height } = this.#header;
    this.#terminal.reset();
    this.#terminal.resize(width, height);
    this.#next = 0;
    this.#position = Math.max(0, Math.min(time, this.duration));
    this.#clockStart = performance.now();
    this.#playUntil(this.#position);
    if (this.#playing) this.#schedule();
  }

  /** Writes the events up to `time`, output joined between resizes. */
  #playUntil(time) {
    let output = '';
    while (this.#next < this.#events.length && this.#events[this.#next].time <= time) {
      const event = this.#events[this.#next++];
      if (event.type === 'o') {
        output += event.data;
        continue;
      }
      const [cols, rows] = event.data.split('x').map(Number);
      if (output) this.#terminal.write(output);
      output = '';
      if (cols > 0 && rows > 0) this.#terminal.resize(cols, rows);
    }
    if (output) this.#terminal.write(output);
  }

  #schedule() {
    clearTimeout(this.#timer);
    if (this.#next >= this.#events.length) {
      this.#position = this.duration;
      this.#playing = false;
      this.#onChange();
      return;
    }
    const wait = ((this.#events[this.#next].time - this.position) / this.#speed) * 1000;
    this.#timer = setTimeout(() => {
      this.#playUntil(this.position);
      this.#schedule();
    }, Math.max(0, wait));
  }
}

'use strict';

// How the page draws: xterm.js with the fit addon, its renderer (DOM or
// WebGL) and its cursor (shape and blink, as the program on the terminal
// asks). Knows nothing of the session behind it.

const CURSOR_BLINK_MS = 600;
// As GTK does by default: a cursor left alone stops blinking (and stays
// shown), as each phase costs the browser a frame.
const CURSOR_BLINK_TIMEOUT_MS = 10000;
// DECSCUSR's styles 0 to 6: the shape, and whether it blinks (0: the page's default).
const CURSOR_SHAPES = ['block', 'block', 'block', 'underline', 'underline', 'bar', 'bar'];
// Looking for WebGL holds the page up for 15 ms or more: it is done once
// the first output is on the screen (or after this long without any), not
// on the way to the first prompt.
const RENDERER_CHOICE_DELAY_MS = 1000;

/**
 * The DOM renderer's own blink is an endless CSS animation, for which
 * Chromium renders a frame every 16 ms while the terminal has the focus:
 * an idle page kept busy, and every echo waiting behind those frames. So
 * the page blinks it: a class toggled on a timer (terminal-page.css hides
 * the focused block cursor while it is set), shown again at each keystroke
 * as xterm.js does, and nothing while the terminal is not focused or once
 * it has had no keystroke for CURSOR_BLINK_TIMEOUT_MS.
 */
class PageCursorBlink {
  #terminal;
  #element;
  #enabled = false;
  #timer;
  #blinkUntil = 0;

  /** @param {Terminal} terminal @param {HTMLElement} element the terminal's box */
  constructor(terminal, element) {
    this.#terminal = terminal;
    this.#element = element;
    const restart = () => this.#restart();
    terminal.textarea.addEventListener('focus', restart);
    terminal.textarea.addEventListener('blur', () => this.#halt());
    terminal.onData(restart);
  }

  start() {
    this.#enabled = true;
    this.#restart();
  }

  stop() {
    this.#enabled = false;
    this.#halt();
  }

  #restart() {
    if (!this.#enabled) return; // stop() has halted it
    this.#halt();
    if (document.activeElement !== this.#terminal.textarea) return;
    this.#blinkUntil = Date.now() + CURSOR_BLINK_TIMEOUT_MS;
    this.#timer = setInterval(() => this.#blink(), CURSOR_BLINK_MS);
  }

  #blink() {
    const classes = this.#element.classList;
    if (Date.now() >= this.#blinkUntil && !classes.contains('cursor-off')) this.#halt();
    else classes.toggle('cursor-off');
  }

  #halt() {
    clearInterval(this.#timer);
    this.#timer = undefined;
    this.#element.classList.remove('cursor-off');
  }
}

/** xterm.js in the page's terminal box, with its renderer and cursor. */
class TerminalDrawing {
  /** @type {Terminal} */
  terminal;
  #fitAddon;
  #cursorBlink;
  #blinkByDefault;
  #blinkWanted;
  #renderer = 'dom';
  #wantedRenderer;
  #rendererTimer;
  #maxSize;

  /**
   * @param {HTMLElement} element
   * @param {{ cursorBlink: boolean, renderer: string | null }} options from the page's address:
   *   ?cursorBlink=1 blinks by default; ?renderer=dom or ?renderer=webgl decides the renderer
   */
  constructor(element, { cursorBlink, renderer }) {
    // The scrollback of xterm.js's default and of a reloaded page's snapshot:
    // a longer one made every line of a flood dearer (each new line is copied
    // over the oldest, and 5000 lines of a wide terminal no longer fit the
    // processor's caches).
    this.terminal = new Terminal({ fontFamily: 'DejaVu Sans Mono, monospace', scrollback: 1000 });
    this.#fitAddon = new FitAddon.FitAddon();
    this.terminal.loadAddon(this.#fitAddon);
    this.terminal.open(element);
    this.#cursorBlink = new PageCursorBlink(this.terminal, element);
    // The cursor is steady unless asked, as xterm.js's own default: a blink
    // costs the browser a frame every phase. A program may ask for either
    // (DECSCUSR, as vim and shells in vi mode do).
    this.#blinkByDefault = cursorBlink;
    this.#blinkWanted = cursorBlink;
    this.#wantedRenderer = renderer;
    this.#applyCursorBlink();
    this.terminal.parser.registerCsiHandler({ intermediates: ' ', final: 'q' }, (params) => this.#setCursorStyle(params));
    this.fit();
    this.#rendererTimer = setTimeout(() => this.outputShown(), RENDERER_CHOICE_DELAY_MS);
  }

  /** 'webgl' or 'dom' */
  get renderer() { return this.#renderer; }

  /** Fits the terminal to its box, within the largest size the server takes (xterm.js then reports the new size). */
  fit() {
    const fitting = this.#fitAddon.proposeDimensions();
    const max = this.#maxSize;
    if (!fitting || !max || (fitting.cols <= max.cols && fitting.rows <= max.rows)) {
      this.#fitAddon.fit();
      return;
    }
    const cols = Math.min(fitting.cols, max.cols);
    const rows = Math.min(fitting.rows, max.rows);
    if (cols !== this.terminal.cols || rows !== this.terminal.rows) this.terminal.resize(cols, rows);
  }

  /** @param {{ cols: number, rows: number }} max the largest size the server takes; the terminal fits within it */
  limitSize(max) {
    this.#maxSize = max;
    this.fit();
  }

  /** Output is on the screen: the renderer may be chosen now, once. */
  outputShown() {
    if (this.#rendererTimer === undefined) return;
    clearTimeout(this.#rendererTimer);
    this.#rendererTimer = undefined;
    setTimeout(() => this.#startRenderer());
  }

  // xterm.js's WebGL renderer where WebGL runs on a graphics card, its DOM
  // renderer elsewhere (and after a lost WebGL context). Where WebGL is
  // drawn in software (SwiftShader, llvmpipe), the DOM renderer measured
  // faster: half the idle CPU and quicker through a flood of output.
  #startRenderer() {
    const wanted = this.#wantedRenderer;
    if (wanted === 'dom' || (wanted !== 'webgl' && !webglOnGraphicsCard())) return;
    // The addon's script is fetched only where it is used.
    const script = document.createElement('script');
    script.src = 'vendor/addon-webgl.js';
    script.onload = () => this.#startWebglRenderer();
    script.onerror = () => console.warn('terminal-stream: no WebGL renderer: its script did not load');
    document.head.append(script);
  }

  #startWebglRenderer() {
    try {
      const webgl = new WebglAddon.WebglAddon();
      webgl.onContextLoss(() => {
        webgl.dispose();
        this.#useRenderer('dom');
      });
      this.terminal.loadAddon(webgl);
    } catch (error) {
      console.warn('terminal-stream: no WebGL renderer:', error.message);
      return;
    }
    this.#useRenderer('webgl');
    this.fit(); // its cells may differ from the DOM renderer's
  }

  #useRenderer(name) {
    this.#renderer = name;
    this.#applyCursorBlink();
  }

  // The WebGL renderer blinks from a timer of its own; for the DOM renderer
  // the page does (see PageCursorBlink).
  #applyCursorBlink() {
    this.terminal.options.cursorBlink = this.#renderer === 'webgl' && this.#blinkWanted;
    if (this.#renderer === 'dom' && this.#blinkWanted) this.#cursorBlink.start();
    else this.#cursorBlink.stop();
  }

  // CSI Ps SP q. Handled here rather than by xterm.js, which would blink
  // with its endless animation.
  #setCursorStyle(params) {
    const style = params.length > 0 && typeof params[0] === 'number' ? params[0] : 0;
    if (style >= CURSOR_SHAPES.length) return false;
    this.terminal.options.cursorStyle = CURSOR_SHAPES[style];
    this.#blinkWanted = style === 0 ? this.#blinkByDefault : style % 2 === 1;
    this.#applyCursorBlink();
    return true;
  }
}

function webglOnGraphicsCard() {
  const gl = document.createElement('canvas').getContext('webgl2');
  if (!gl) return false;
  const info = gl.getExtension('WEBGL_debug_renderer_info');
  const name = String(gl.getParameter(info ? info.UNMASKED_RENDERER_WEBGL : gl.RENDERER));
  gl.getExtension('WEBGL_lose_context')?.loseContext();
  return !/swiftshader|llvmpipe|softpipe|software/i.test(name);
}

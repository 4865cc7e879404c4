'use strict';

// Plain text moves the cursor and fills cells but changes no mode,
// attribute or character set: printable characters, CR, LF, TAB, BS and
// BEL. Anything else (ESC, the other C0 controls such as SO and SI, DEL,
// the C1 controls xterm.js also obeys) may change what follows.
const NOT_PLAIN = /[\x00-\x06\x0b\x0c\x0e-\x1f\x7f-\x9f]/;
// The same as bytes of UTF-8: the C0 controls but BEL, BS, TAB, LF and CR
// (plain), and DEL; the C1 controls are C2 80 to C2 9F.
const NOT_PLAIN_BYTE = new Uint8Array(256);
for (const byte of [0, 1, 2, 3, 4, 5, 6, 0x0b, 0x0c, 0x7f]) NOT_PLAIN_BYTE[byte] = 1;
for (let byte = 0x0e; byte < 0x20; byte++) NOT_PLAIN_BYTE[byte] = 1;

/**
 * Cuts output into pieces to parse in order: strings, and runs of plain
 * text of at least `minChars` between escape sequences, as { plain }, each
 * starting with CR LF so that it leaves the cursor in the first column
 * whatever came before it.
 * @param {string} text
 * @param {number} minChars
 * @returns {(string | { plain: string })[]}
 */
function plainPieces(text, minChars) {
  const pieces = [];
  let from = 0;
  for (let start = 0; start < text.length;) {
    let end = text.indexOf('\x1b', start);
    if (end < 0) end = text.length;
    const split = end - start >= minChars ? text.indexOf('\r\n', start) : -1;
    if (split >= 0 && end - split >= minChars && !NOT_PLAIN.test(text.slice(split, end))) {
      if (split > from) pieces.push(text.slice(from, split));
      pieces.push({ plain: text.slice(split, end) });
      from = end;
    }
    start = end + 1;
  }
  if (from < text.length) pieces.push(from === 0 ? text : text.slice(from));
  return pieces;
}

/**
 * Where plain text may begin without changing what it leaves on a screen of
 * `lines` rows and scrollback together: at the CR LF followed by that many
 * lines (each LF scrolls, or moves the cursor down, once), so that every
 * line written before it has scrolled away. 0: keep all.
 * @param {string | Buffer} plain starts with CR LF
 * @param {number} lines
 */
function plainCut(plain, lines) {
  let at = plain.length;
  for (let n = 0; n < lines; n++) {
    at = plain.lastIndexOf('\n', at - 1);
    if (at <= 0) return 0;
  }
  const cut = plain.lastIndexOf('\r\n', at - 1);
  return cut > 0 ? cut : 0;
}

/**
 * Every flood passes through here, so it looks at four bytes at a time:
 * only a word with a byte below 0x20 or above 0x7e (a control, or part of
 * a character beyond ASCII) is looked at byte by byte. The line feeds are
 * counted on the way (each is such a byte), for plainTail.
 * @param {Uint8Array} bytes whole UTF-8 characters
 * @returns {number} -1 unless they are all plain text; else the line feeds among them
 */
function plainLineFeeds(bytes) {
  const end = bytes.length;
  const aligned = Math.min(end, (4 - (bytes.byteOffset & 3)) & 3);
  const words = (end - aligned) >>> 2;
  if (words === 0) return plainBytes(bytes, 0, end);
  let lineFeeds = plainBytes(bytes, 0, aligned);
  if (lineFeeds < 0) return -1;
  const view = new Uint32Array(bytes.buffer, bytes.byteOffset + aligned, words);
  for (let i = 0; i < words; i++) {
    const word = view[i];
    // A byte below 0x20 (the carry trick), or one at 0x7f or above.
    if ((((word - 0x20202020) & ~word) | ((word + 0x01010101) | word)) & 0x80808080) {
      if ((word & 0x80808080) === 0) {
        // ASCII with a control or DEL among it: mostly a line's CR LF, looked at here.
        const b0 = word & 0xff, b1 = (word >>> 8) & 0xff, b2 = (word >>> 16) & 0xff, b3 = word >>> 24;
        if ((NOT_PLAIN_BYTE[b0] | NOT_PLAIN_BYTE[b1] | NOT_PLAIN_BYTE[b2] | NOT_PLAIN_BYTE[b3]) !== 0) return -1;
        lineFeeds += (b0 === 0x0a ? 1 : 0) + (b1 === 0x0a ? 1 : 0) + (b2 === 0x0a ? 1 : 0) + (b3 === 0x0a ? 1 : 0);
        continue;
      }
      const at = aligned + 4 * i;
      const found = plainBytes(bytes, at, at + 4);
      if (found < 0) return -1;
      lineFeeds += found;
    }
  }
  const found = plainBytes(bytes, aligned + 4 * words, end);
  return found < 0 ? -1 : lineFeeds + found;
}

/** @returns {number} -1 unless bytes from..to are plain; else their line feeds */
function plainBytes(bytes, from, to) {
  let lineFeeds = 0;
  for (let at = from; at < to; at++) {
    const byte = bytes[at];
    if (NOT_PLAIN_BYTE[byte] === 1) return -1;
    if (byte === 0xc2 && at + 1 < bytes.length && bytes[at + 1] < 0xa0) return -1; // a C1 control
    if (byte === 0x0a) lineFeeds += 1;
  }
  return lineFeeds;
}

/**
 * Plain text written in pieces (each plain), cut as plainCut does: the
 * pieces joined from the CR LF followed by `lines` lines; undefined when
 * there is nothing to cut. The pieces' line feeds, as plainLineFeeds
 * counted them, say which pieces the tail takes without reading them again;
 * only the first of those is looked into, for where its kept lines begin.
 * @param {Buffer[]} pieces
 * @param {number[]} lineFeeds of each piece
 * @param {number} lines
 * @returns {Buffer | undefined}
 */
function plainTail(pieces, lineFeeds, lines) {
  let found = 0;
  let first = pieces.length;
  while (first > 0 && found <= lines) found += lineFeeds[--first];
  if (found <= lines) return undefined;
  const tail = Buffer.concat(pieces.slice(first));
  // The line feed `lines` from the end (where plainCut stops), counted from the start.
  let at = -1;
  for (let skip = found - lines; skip >= 0; skip--) at = tail.indexOf(0x0a, at + 1);
  const cut = tail.lastIndexOf('\r\n', at - 1);
  return cut > 0 ? tail.subarray(cut) : undefined;
}

module.exports = { plainPieces, plainCut, plainTail, plainLineFeeds };

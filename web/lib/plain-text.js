'use strict';

// Plain text moves the cursor and fills cells but changes no mode,
// attribute or character set: printable characters, CR, LF, TAB, BS and
// BEL. Anything else (ESC, the other C0 controls such as SO and SI, DEL,
// the C1 controls xterm.js also obeys) may change what follows.
const NOT_PLAIN = /[\x00-\x06\x0b\x0c\x0e-\x1f\x7f-\x9f]/;

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
 * @param {string} plain starts with CR LF
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

/** @param {string} text @returns {boolean} whether it is all plain text */
function isPlain(text) {
  return !NOT_PLAIN.test(text);
}

/**
 * Plain text written in pieces (each plain), cut as plainCut does: the
 * pieces joined from the CR LF followed by `lines` lines; undefined when
 * there is nothing to cut.
 * @param {string[]} pieces
 * @param {number} lines
 */
function plainTail(pieces, lines) {
  let found = 0;
  let first = pieces.length;
  while (first > 0 && found <= lines) {
    const piece = pieces[--first];
    for (let at = piece.indexOf('\n'); at >= 0; at = piece.indexOf('\n', at + 1)) found += 1;
  }
  if (found <= lines) return undefined;
  const tail = pieces.slice(first).join('');
  const cut = plainCut(tail, lines);
  return cut > 0 ? tail.slice(cut) : undefined;
}

module.exports = { plainPieces, plainCut, plainTail, isPlain };

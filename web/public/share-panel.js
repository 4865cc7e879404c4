'use strict';

// The owner's share panel: makes a link to this session (watch or
// control), shows each link with the pages connected through it (mode,
// since when), and revokes a link. The server keeps the links; the panel
// shows the list it is sent ({type:'sharing', links, viewers}).

class SharePanel {
  #panel;
  #list;
  #send;
  #onLayout;

  /**
   * @param {HTMLElement} panel @param {HTMLButtonElement} button opens and closes it
   * @param {object} options
   * @param {(message: object) => void} options.send to the server: share, revoke
   * @param {() => void} options.onLayout the panel opened, closed or grew (the terminal's room changed)
   */
  constructor(panel, button, { send, onLayout }) {
    this.#panel = panel;
    this.#send = send;
    this.#onLayout = onLayout;
    this.#list = panel.querySelector('#share-links');
    button.hidden = false;
    button.addEventListener('click', () => {
      panel.hidden = !panel.hidden;
      this.#onLayout();
    });
    panel.querySelector('#share-make').addEventListener('click', () => {
      const mode = panel.querySelector('#share-mode').value;
      const label = panel.querySelector('#share-label').value;
      this.#send({ type: 'share', mode, label });
    });
  }

  /** @param {{ links: { id: string, mode: string, capability: string, createdAt: number }[], viewers: { link: string, mode: string, since: number }[] }} sharing */
  update({ links, viewers }) {
    this.#list.replaceChildren();
    if (links.length === 0) {
      this.#list.append(Object.assign(document.createElement('p'), { textContent: 'no links: only this page sees the session' }));
    }
    for (const link of links) this.#list.append(this.#linkRow(link, viewers.filter((viewer) => viewer.link === link.id)));
    if (!this.#panel.hidden) this.#onLayout();
  }

  #linkRow(link, viewers) {
    const row = document.createElement('div');
    row.className = 'share-link';
    row.dataset.id = link.id;
    const address = Object.assign(document.createElement('input'), {
      readOnly: true, className: 'share-address', value: `${location.origin}/?share=${link.capability}`
    });
    address.addEventListener('focus', () => address.select());
    const revoke = Object.assign(document.createElement('button'), { type: 'button', textContent: 'revoke', className: 'share-revoke' });
    revoke.addEventListener('click', () => this.#send({ type: 'revoke', id: link.id }));
    const who = viewers.length === 0 ? 'nobody yet'
      : viewers.map((viewer) => `${viewer.mode} since ${new Date(viewer.since).toLocaleTimeString()}`).join(', ');
    const mode = Object.assign(document.createElement('span'), { className: 'share-mode', textContent: link.mode });
    const seen = Object.assign(document.createElement('span'), { className: 'share-viewers', textContent: `${viewers.length} connected: ${who}` });
    row.append(mode, address, revoke, seen);
    return row;
  }
}

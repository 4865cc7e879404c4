'use strict';

// The recordings page: the server's recordings (behind the token), and one
// played in xterm.js (recording-player.js).
(function startRecordingsPage() {
  const token = new URLSearchParams(location.search).get('token') || '';
  const listNote = document.getElementById('list-note');
  const table = document.getElementById('recordings');
  const playButton = document.getElementById('play');
  const speed = document.getElementById('speed');
  const seek = document.getElementById('seek');
  const time = document.getElementById('time');
  const terminal = new Terminal({ fontFamily: 'DejaVu Sans Mono, monospace', scrollback: 1000, disableStdin: true });
  terminal.open(document.getElementById('terminal'));
  let player;
  let seeking = false;

  const clock = (seconds) => `${Math.floor(seconds / 60)}:${String(Math.floor(seconds % 60)).padStart(2, '0')}`;

  function showPosition() {
    if (!player) return;
    if (!seeking) seek.value = player.position;
    time.textContent = `${clock(player.position)} / ${clock(player.duration)}`;
    playButton.textContent = player.playing ? 'pause' : 'play';
  }
  setInterval(showPosition, 250);

  async function open(name) {
    player?.pause();
    const response = await fetch(`recordings/file?${new URLSearchParams({ token, name })}`);
    if (!response.ok) throw new Error(`${response.status} ${response.statusText}`);
    player = new RecordingPlayer(terminal, parseRecording(await response.text()), showPosition);
    player.setSpeed(Number(speed.value));
    seek.max = player.duration;
    document.getElementById('playing-name').textContent = name;
    document.getElementById('player').hidden = false;
    showPosition();
  }

  playButton.addEventListener('click', () => (player?.playing ? player.pause() : player?.play()));
  speed.addEventListener('change', () => player?.setSpeed(Number(speed.value)));
  seek.addEventListener('input', () => { seeking = true; });
  seek.addEventListener('change', () => {
    seeking = false;
    player?.seek(Number(seek.value));
    showPosition();
  });

  fetch(`recordings/list?${new URLSearchParams({ token })}`).then((response) => {
    if (!response.ok) throw new Error(response.status === 401 ? 'the address needs the server\'s token' : `${response.status}`);
    return response.json();
  }).then(({ recording, recordings }) => {
    if (recordings.length === 0) {
      listNote.textContent = recording ? 'no recordings yet' : 'this server does not record (start it with --record DIR)';
      return;
    }
    listNote.hidden = true;
    table.hidden = false;
    for (const entry of recordings) {
      const row = table.tBodies[0].insertRow();
      const started = new Date(entry.timestamp * 1000).toLocaleString();
      for (const [text, className] of [[started], [entry.target ?? ''], [`${entry.width}×${entry.height}`], [String(entry.bytes), 'bytes']]) {
        const cell = row.insertCell();
        cell.textContent = text;
        if (className) cell.className = className;
      }
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = 'open';
      button.dataset.name = entry.name;
      button.addEventListener('click', () => open(entry.name).catch((error) => { listNote.hidden = false; listNote.textContent = `cannot open it: ${error.message}`; }));
      row.insertCell().append(button);
    }
  }).catch((error) => { listNote.textContent = `cannot list the recordings: ${error.message}`; });

  // For the browser test.
  window.terminal = terminal;
  window.recordingsPage = { get player() { return player; }, open };
})();

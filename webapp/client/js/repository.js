// The repository window: the stored runs in detail. It receives the same events as the
// main page and re-reads its lists on each of them.
import { DeviceClient } from './device.js';
import { EventHub } from './events.js';
import { LogStore } from './logcapture.js';
import { Store } from './store.js';
import { el, fill, hex, formatDate, confirmDialog } from './ui.js';
import { configurationSummary, sensorTitle } from './sensors.js';
import { sortStoredRuns } from './runinfo.js';

const $ = (id) => document.getElementById(id);

function notify(message, level = 'info') {
  const root = $('notices');
  const item = el('div', { class: `notice notice-${level}`, role: level === 'error' ? 'alert' : 'status' },
    el('span', {}, message),
    el('button', { class: 'notice-close', type: 'button', 'aria-label': 'dismiss', onclick: () => item.remove() }, '×'));
  root.append(item);
  while (root.childElementCount > 3) root.firstElementChild.remove();
  if (level !== 'error') setTimeout(() => item.remove(), 5000);
}

function start() {
  const logStore = new LogStore(200);
  logStore.subscribe((entry) => {
    if (entry && entry.level !== 'info') notify(entry.explanation ?? entry.text, entry.level === 'error' ? 'error' : 'warning');
  });
  window.KorvexBoot?.attachLog((line) => logStore.add(line));
  $('repo-close').addEventListener('click', () => window.close());
  if (!window.app || typeof window.app.sendMessage !== 'function') {
    notify('This window must be opened by the Korvex program.', 'error');
    return;
  }
  const client = new DeviceClient(window.app);
  const store = new Store(client);
  const hub = new EventHub();
  let working = false;

  function renderCurrent() {
    const stack = store.stack;
    const remotes = store.runRemotes();
    fill($('repo-current'), el('h2', {}, 'Current run'),
      !stack ? el('p', { class: 'placeholder' }, store.stackError ? `Unknown: ${store.stackError.message}` : 'Reading…')
        : [
          el('p', {}, el('strong', {}, stack.fromDB ? 'Reloaded from disk' : 'Live run'),
            ` · ${store.runStart() ? `started ${formatDate(store.runStart())}` : 'not recorded yet'}`,
            el('span', { class: 'detail' }, ` · ID ${stack.ID}`)),
          remotes.length ? el('ul', { class: 'detail-list' }, remotes.map((r) => el('li', {},
            `Remote ${r.remote}: ${configurationSummary(r.config)}`))) : el('p', { class: 'detail' }, 'No remote in this run.'),
        ]);
    $('repo-state').textContent = store.recording ? 'The kit is recording: reload and delete wait until it stops.' : '';
  }

  function renderList() {
    const root = $('repo-list');
    if (store.stored === null) {
      fill(root, el('h2', {}, 'Stored runs'), el('p', { class: 'placeholder' },
        store.storedError ? `Unavailable: ${store.storedError.message}` : 'Reading…'));
      return;
    }
    const runs = sortStoredRuns(store.stored);
    const currentId = store.stack?.ID;
    const blocked = store.recording || working;
    const rows = runs.map((run) => el('tr', { class: run.id === currentId ? 'loaded' : '' },
      el('td', {}, el('strong', {}, formatDate(run.started)), el('div', { class: 'detail' }, el('code', {}, run.id))),
      el('td', {}, `dongle ${hex(run.dongleID)}`, el('div', { class: 'detail' }, `firmware ${run.fwVersion ?? '—'}`)),
      el('td', {}, run.remotes.length ? run.remotes.map((r) => el('div', {},
        el('strong', {}, `Remote ${r.remote}`), ` (ID ${hex(r.remoteID)}, firmware ${r.rfFwVersion ?? '—'}/${r.sensorFwVersion ?? '—'}): `,
        `configuration ${r.config}`,
        el('div', { class: 'detail' }, r.sensors.join(', ') || 'sensors unknown to this page'))) : 'no remote'),
      el('td', {}, el('div', { class: 'button-row' },
        run.id === currentId ? el('span', { class: 'badge' }, 'shown') : null,
        el('button', { class: 'btn btn-small', type: 'button', disabled: blocked, onclick: () => reload(run) }, 'Reload'),
        el('button', { class: 'btn btn-small btn-danger', type: 'button', disabled: blocked, onclick: () => remove(run) }, 'Delete')))));
    fill(root, el('h2', {}, `Stored runs (${runs.length})`),
      runs.length ? el('table', { class: 'repo-table' },
        el('thead', {}, el('tr', {}, ['Started', 'Dongle', 'Remotes and sensors', ''].map((h) => el('th', {}, h)))),
        el('tbody', {}, rows)) : el('p', { class: 'placeholder' }, 'No stored run yet.'));
  }

  async function guarded(fn) {
    working = true;
    renderList();
    try { await fn(); } catch (err) { notify(err.message, 'error'); } finally { working = false; renderList(); }
  }

  async function reload(run) {
    if (store.runRemotes().length && !store.stack?.fromDB &&
        !await confirmDialog('Reload run', 'Reloading discards the current run. Keep it first in the main window if you still need it.', 'Discard and reload', { danger: true })) return;
    await guarded(() => client.request('korvex_acquisitionManagement', [1, run.id]));
  }

  async function remove(run) {
    if (!await confirmDialog('Delete run', `Delete the stored run of ${formatDate(run.started)} from disk? This cannot be undone.`, 'Delete', { danger: true })) return;
    await guarded(async () => {
      const { doc } = await client.request('korvex_acquisitionManagement', [2, run.id]);
      store.setStored(doc);
    });
  }

  store.addEventListener('change', (e) => {
    if (['stack', 'recording', 'hardware'].includes(e.detail)) renderCurrent();
    renderList();
  });
  const refreshAll = () => { store.refreshHardware(); store.refreshStack(); store.refreshStored(); };
  hub.on('acquisitionStackChanged', () => { store.refreshStack(); store.refreshStored(); });
  hub.on('hardwareStateChanged', () => store.refreshHardware());
  hub.on('dataStarted', () => store.setRecording(true, new Date()));
  hub.on('dataStopped', () => { store.setRecording(false); refreshAll(); });
  $('repo-refresh').addEventListener('click', refreshAll);
  window.KorvexBoot?.attachEvents((event) => hub.dispatch(event));
  renderCurrent();
  renderList();
  refreshAll();
  window.korvexRepository = { client, store, hub };
}

start();

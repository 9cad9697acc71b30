// The repository window: the stored runs in detail. It receives the same events as the
// main page and re-reads its lists on each of them.
import { t, translateStatic } from './i18n.js';
import { applyTheme, savedTheme } from './theme.js';
import { DeviceClient } from './device.js';
import { EventHub } from './events.js';
import { LogStore } from './logcapture.js';
import { Store } from './store.js';
import { el, fill, hex, formatDate, confirmDialog } from './ui.js';
import { configurationSummary, sensorTitle } from './sensors.js';
import { sortStoredRuns } from './runinfo.js';
import { RunNotes } from './runnotes.js';

const $ = (id) => document.getElementById(id);

function notify(message, level = 'info') {
  const root = $('notices');
  const item = el('div', { class: `notice notice-${level}`, role: level === 'error' ? 'alert' : 'status' },
    el('span', {}, message),
    el('button', { class: 'notice-close', type: 'button', 'aria-label': t('ui.dismiss'), onclick: () => item.remove() }, '×'));
  root.append(item);
  while (root.childElementCount > 3) root.firstElementChild.remove();
  if (level !== 'error') setTimeout(() => item.remove(), 5000);
}

function start() {
  applyTheme(savedTheme());
  translateStatic();
  const logStore = new LogStore(200);
  logStore.subscribe((entry) => {
    if (entry && entry.level !== 'info') notify(entry.explanation ?? entry.text, entry.level === 'error' ? 'error' : 'warning');
  });
  window.KorvexBoot?.attachLog((line) => logStore.add(line));
  $('repo-close').addEventListener('click', () => window.close());
  if (!window.app || typeof window.app.sendMessage !== 'function') {
    notify(t('repo.noHost'), 'error');
    return;
  }
  const client = new DeviceClient(window.app);
  const store = new Store(client);
  const hub = new EventHub();
  const notes = new RunNotes(client);
  let working = false;
  // The names and notes the user gave the runs (kept by the host beside the work files).
  const refreshNotes = () => notes.refresh()
    .then(() => { if (notes.ignored.length) notify(t('notes.ignored', { files: notes.ignored.join(', ') }), 'warning'); })
    .catch((err) => notify(t('notes.readFailed', { error: err.message }), 'error'));
  notes.addEventListener('change', () => { renderCurrent(); renderList(); });

  function renderCurrent() {
    const stack = store.stack;
    const remotes = store.runRemotes();
    fill($('repo-current'), el('h2', {}, t('runs.current')),
      !stack ? el('p', { class: 'placeholder' }, store.stackError ? t('runs.unknown', { error: store.stackError.message }) : t('ui.reading'))
        : [
          el('p', {}, el('strong', {}, stack.fromDB ? t('repo.fromDisk') : t('repo.live')),
            notes.name(stack.ID) ? el('span', { class: 'run-name' }, ` · ${notes.name(stack.ID)}`) : null,
            ` · ${store.runStart() ? t('runs.started', { when: formatDate(store.runStart()) }) : t('runs.notRecorded')}`,
            el('span', { class: 'detail' }, ` · ID ${stack.ID}`)),
          remotes.length ? el('ul', { class: 'detail-list' }, remotes.map((r) => el('li', {},
            t('runs.remoteConfig', { n: r.remote, summary: configurationSummary(r.config) })))) : el('p', { class: 'detail' }, t('runs.noRemote')),
        ]);
    $('repo-state').textContent = store.recording ? t('repo.recording') : '';
  }

  function renderList() {
    const root = $('repo-list');
    if (store.stored === null) {
      fill(root, el('h2', {}, t('runs.stored')), el('p', { class: 'placeholder' },
        store.storedError ? t('runs.listError', { error: store.storedError.message }) : t('ui.reading')));
      return;
    }
    const runs = sortStoredRuns(store.stored);
    const currentId = store.stack?.ID;
    const blocked = store.recording || working;
    const rows = runs.map((run) => el('tr', { class: run.id === currentId ? 'loaded' : '' },
      el('td', {},
        notes.name(run.id) ? el('strong', { class: 'run-name' }, notes.name(run.id)) : null,
        notes.name(run.id) ? el('div', {}, formatDate(run.started)) : el('strong', {}, formatDate(run.started)),
        notes.get(run.id).note ? el('div', { class: 'run-note detail' }, notes.get(run.id).note) : null,
        Number.isFinite(notes.get(run.id).triggerTime)
          ? el('div', { class: 'detail' }, t('trigger.zeroAt', { s: notes.get(run.id).triggerTime.toFixed(3) })) : null,
        el('div', { class: 'detail' }, el('code', {}, run.id))),
      el('td', {}, t('repo.dongle', { id: hex(run.dongleID) }), el('div', { class: 'detail' }, t('repo.firmware', { fw: run.fwVersion ?? '—' }))),
      el('td', {}, run.remotes.length ? run.remotes.map((r) => el('div', {},
        el('strong', {}, t('kit.remoteN', { n: r.remote })), ` (ID ${hex(r.remoteID)}, ${t('kit.firmware', { rf: r.rfFwVersion ?? '—', sensor: r.sensorFwVersion ?? '—' })}): `,
        t('repo.config', { n: r.config }),
        el('div', { class: 'detail' }, r.sensors.join(', ') || t('repo.sensorsUnknown')))) : t('runs.noRemoteShort')),
      el('td', {}, el('div', { class: 'button-row' },
        run.id === currentId ? el('span', { class: 'badge' }, t('runs.shown')) : null,
        el('button', { class: 'btn btn-small', type: 'button', disabled: blocked, onclick: () => reload(run) }, t('runs.reload')),
        el('button', { class: 'btn btn-small btn-danger', type: 'button', disabled: blocked, onclick: () => remove(run) }, t('ui.delete'))))));
    fill(root, el('h2', {}, t('repo.storedN', { n: runs.length })),
      runs.length ? el('table', { class: 'repo-table' },
        el('thead', {}, el('tr', {}, [t('repo.colStarted'), t('repo.colDongle'), t('repo.colRemotes'), ''].map((h) => el('th', { scope: 'col' }, h)))),
        el('tbody', {}, rows)) : el('p', { class: 'placeholder' }, t('repo.none')));
  }

  async function guarded(fn) {
    working = true;
    renderList();
    try { await fn(); } catch (err) { notify(err.message, 'error'); } finally { working = false; renderList(); }
  }

  async function reload(run) {
    if (store.runRemotes().length && !store.stack?.fromDB &&
        !await confirmDialog(t('runs.reloadTitle'), t('repo.reloadText'), t('runs.reloadButton'), { danger: true })) return;
    await guarded(() => client.request('korvex_acquisitionManagement', [1, run.id]));
  }

  async function remove(run) {
    if (!await confirmDialog(t('runs.deleteTitle'), t('runs.deleteText', { when: formatDate(run.started) }), t('ui.delete'), { danger: true })) return;
    await guarded(async () => {
      const { doc } = await client.request('korvex_acquisitionManagement', [2, run.id]);
      store.setStored(doc);
      if (!sortStoredRuns(store.stored).some((r) => r.id === run.id)) await notes.remove(run.id);
    });
  }

  store.addEventListener('change', (e) => {
    if (['stack', 'recording', 'hardware'].includes(e.detail)) renderCurrent();
    renderList();
  });
  const refreshAll = () => { store.refreshHardware(); store.refreshStack(); store.refreshStored(); refreshNotes(); };
  hub.on('acquisitionStackChanged', () => { store.refreshStack(); store.refreshStored(); refreshNotes(); });
  hub.on('hardwareStateChanged', () => store.refreshHardware());
  hub.on('runNotesChanged', refreshNotes);
  hub.on('dataStarted', () => store.setRecording(true, new Date()));
  hub.on('dataStopped', () => { store.setRecording(false); refreshAll(); });
  $('repo-refresh').addEventListener('click', refreshAll);
  window.KorvexBoot?.attachEvents((event) => hub.dispatch(event));
  renderCurrent();
  renderList();
  refreshAll();
  window.korvexRepository = { client, store, hub, notes };
}

start();

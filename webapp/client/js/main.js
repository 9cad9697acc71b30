// The main page: wires the device client, the reports, the events and the panels.
import { DeviceClient } from './device.js';
import { EventHub } from './events.js';
import { LogStore } from './logcapture.js';
import { Store } from './store.js';
import { el, fill, formatElapsed, confirmDialog, infoDialog, isDialogOpen } from './ui.js';
import { CONNECTED_MODE } from './sensors.js';
import { KitPanel } from './views/kit.js';
import { ConfigPanel } from './views/config.js';
import { RunsPanel } from './views/runs.js';
import { ExportPanel } from './views/exportview.js';
import { LogPanel } from './views/logview.js';
import { GraphArea } from './views/graphs.js';

export const APP_NAME = 'Korvex';
export const APP_VERSION = '0.1.0';
const REPOSITORY_NAME = 'Korvex Repository';
const START_STOP_TIMEOUT_MS = 6000;

const $ = (id) => document.getElementById(id);

// Notices at the top of the page: errors stay until dismissed, other notices fade.
class Notices {
  constructor(root) {
    this.root = root;
  }

  show(message, level = 'info') {
    const item = el('div', { class: `notice notice-${level}`, role: level === 'error' ? 'alert' : 'status' },
      el('span', {}, message),
      el('button', { class: 'notice-close', type: 'button', 'aria-label': 'dismiss', onclick: () => item.remove() }, '×'));
    // The same message twice in a row is shown once.
    const last = this.root.lastElementChild;
    if (last && last.firstChild.textContent === message) last.remove();
    this.root.append(item);
    while (this.root.childElementCount > 4) this.root.firstElementChild.remove();
    if (level !== 'error') setTimeout(() => item.remove(), 5000);
  }
}

function startApp() {
  const notices = new Notices($('notices'));
  const notify = (message, level) => notices.show(message, level);

  const logStore = new LogStore();

  if (!window.app || typeof window.app.sendMessage !== 'function') {
    window.KorvexBoot?.attachLog((line) => logStore.add(line));
    notify('This page must be opened by the Korvex program: the kit cannot be reached from here.', 'error');
    return;
  }
  const client = new DeviceClient(window.app, { onError: (err) => logStore.add(`** ERROR => page: ${err.message}`) });
  const store = new Store(client);
  const hub = new EventHub();
  const logButton = $('open-log');

  const logPanel = new LogPanel($('log'), logStore, {
    onProblem: (entry) => {
      notify(entry.explanation ?? entry.text, entry.level === 'error' ? 'error' : 'warning');
      if ($('log-drawer').hidden) {
        logButton.dataset.count = String(Number(logButton.dataset.count ?? 0) + 1);
      }
    },
  });
  // Attached only now, so that lines queued while the page loaded reach the panel and the
  // notices like any later line.
  window.KorvexBoot?.attachLog((line) => logStore.add(line));
  new KitPanel($('kit'), client, store, hub, notify);
  new ConfigPanel($('config'), client, store, notify);
  new RunsPanel($('runs'), client, store, notify);
  new ExportPanel($('export'), client, store, notify);
  const graphs = new GraphArea($('graphs'), client, store);

  // Recording control.
  const recordButton = $('record');
  const elapsed = $('elapsed');
  const recordHint = $('record-hint');
  let pending = null; // 'start' | 'stop' while waiting for the kit to confirm

  function startBlocker() {
    const hw = store.hardware;
    if (!hw) return 'Kit state unknown';
    if (hw.donglePlugged !== 1) return 'Plug in the dongle';
    if (!store.runRemotes().length) return 'Choose a configuration first';
    if ((hw.dongleMode & CONNECTED_MODE) === 0) return 'No remote connected';
    return null;
  }

  function renderRecord() {
    const rec = store.recording;
    const blocker = rec ? null : startBlocker();
    recordButton.classList.toggle('recording', rec);
    recordButton.disabled = pending !== null || (!rec && blocker !== null);
    recordButton.querySelector('.label').textContent = pending === 'start' ? 'Starting…'
      : pending === 'stop' ? 'Stopping…' : rec ? 'Stop' : 'Record';
    recordHint.textContent = rec ? 'Space to stop' : blocker ?? 'Space to record';
    document.body.classList.toggle('is-recording', rec);
  }

  async function toggleRecording() {
    if (pending || recordButton.disabled) return;
    const starting = !store.recording;
    pending = starting ? 'start' : 'stop';
    renderRecord();
    const wait = hub.next(starting ? 'dataStarted' : 'dataStopped', START_STOP_TIMEOUT_MS);
    try {
      client.send(starting ? 'korvex_startData' : 'korvex_stopData');
      await wait;
    } catch (err) {
      wait.catch(() => {});
      notify(starting ? 'The kit did not start recording. See the log for the reason.'
        : 'The kit did not confirm the stop. See the log for the reason.', 'error');
      store.refreshHardware();
    } finally {
      pending = null;
      renderRecord();
    }
  }

  recordButton.addEventListener('click', toggleRecording);
  setInterval(() => {
    elapsed.textContent = store.recording && store.recordingSince
      ? formatElapsed((Date.now() - store.recordingSince.getTime()) / 1000) : '';
  }, 100);

  function syncGraphs() {
    graphs.setSensors(store.runRemotes(), store.stack?.ID ?? '');
    graphs.setMode(store.recording ? 'live' : store.runRemotes().length ? 'review' : 'idle');
  }

  store.addEventListener('change', (e) => {
    if (['hardware', 'stack', 'recording'].includes(e.detail)) renderRecord();
    if (e.detail === 'recording') syncGraphs();
    if (e.detail === 'stack') {
      const changed = graphs.setSensors(store.runRemotes(), store.stack?.ID ?? '');
      if (changed || graphs.mode === 'idle') syncGraphs();
    }
  });

  // Events: every one makes the page ask again; nothing is inferred from memory.
  hub.on('hardwareStateChanged', () => store.refreshHardware());
  hub.on('fixedConfigChanged', () => store.refreshHardware());
  hub.on('acquisitionStackChanged', () => { store.refreshStack(); store.refreshStored(); });
  hub.on('dataStarted', () => { store.setRecording(true, new Date()); store.refreshStack(); });
  hub.on('dataStopped', () => {
    store.setRecording(false);
    store.refreshHardware();
    store.refreshStack();
    store.refreshStored();
  });
  hub.on('sensorRecalibrated', () => { if (graphs.mode === 'review') graphs.setView(graphs.view); });
  hub.on('repository', (event) => {
    if (event.args?.closed) {
      repoWindow = null;
      renderRepoButton();
      store.refreshStored();
    }
  });
  // Header buttons.
  let repoWindow = null;
  const repoButton = $('open-repository');
  function renderRepoButton() {
    repoButton.classList.toggle('active', repoWindow !== null && !repoWindow.closed);
  }
  repoButton.addEventListener('click', () => {
    if (repoWindow && !repoWindow.closed) { repoWindow.focus(); return; }
    repoWindow = window.open('repository.html', REPOSITORY_NAME, 'width=1100,height=760');
    if (!repoWindow) notify('The repository window could not be opened.', 'error');
    renderRepoButton();
  });

  function toggleLog() {
    const drawer = $('log-drawer');
    drawer.hidden = !drawer.hidden;
    logButton.classList.toggle('active', !drawer.hidden);
    if (!drawer.hidden) {
      delete logButton.dataset.count;
      logPanel.rebuild();
    }
    graphs.layout();
  }
  logButton.addEventListener('click', toggleLog);
  $('about').addEventListener('click', () => showAbout());
  $('exit').addEventListener('click', async () => {
    if (store.recording && !await confirmDialog('Exit', 'Recording is running. Exit anyway? The recording is stopped and the remotes are switched off.', 'Exit', { danger: true })) return;
    window.close();
    setTimeout(() => notify('The window could not close itself: use the window\'s close button.', 'warning'), 500);
  });
  let scale = Number(localStorage.getItem('korvex.textScale') ?? 1);
  const applyScale = () => {
    document.documentElement.style.setProperty('--text-scale', String(scale));
    localStorage.setItem('korvex.textScale', String(scale));
    graphs.layout();
  };
  $('text-smaller').addEventListener('click', () => { scale = Math.max(0.8, +(scale - 0.1).toFixed(1)); applyScale(); });
  $('text-larger').addEventListener('click', () => { scale = Math.min(1.8, +(scale + 0.1).toFixed(1)); applyScale(); });
  applyScale();

  // Keyboard: Space or R records/stops; L shows the log. Not while typing or in a dialog.
  document.addEventListener('keydown', (e) => {
    if (e.ctrlKey || e.altKey || e.metaKey || isDialogOpen()) return;
    const t = e.target;
    if (t instanceof HTMLInputElement || t instanceof HTMLSelectElement || t instanceof HTMLTextAreaElement) return;
    if (e.key === ' ' || e.key === 'r' || e.key === 'R') {
      e.preventDefault();
      if (!e.repeat) toggleRecording();
    } else if (e.key === 'l' || e.key === 'L') {
      toggleLog();
    }
  });

  renderRecord();
  window.KorvexBoot?.attachEvents((event) => hub.dispatch(event));
  store.refreshHardware();
  store.refreshStack();
  store.refreshStored();
  window.korvex = { client, store, hub, graphs, logStore };
}

async function showAbout() {
  let notices = [];
  try {
    ({ notices } = await import('../lib/notices.js'));
  } catch (err) {
    notices = [];
  }
  await infoDialog(`About ${APP_NAME}`, el('div', { class: 'about' },
    el('p', {}, el('strong', {}, `${APP_NAME} ${APP_VERSION}`)),
    el('p', {}, 'Records, shows and exports the measurements of the wireless laboratory kit.'),
    el('p', {}, 'Keyboard: Space or R starts and stops recording, L shows the log.'),
    el('h3', {}, 'Bundled libraries'),
    notices.length ? notices.map((n) => el('details', {},
      el('summary', {}, `${n.name} ${n.version} – ${n.licence} licence`),
      el('pre', { class: 'licence' }, n.text)))
      : el('p', { class: 'detail' }, 'Licence notices are not available in this build.')), { className: 'modal-wide' });
}

startApp();

// The main page: wires the device client, the reports, the events and the panels.
import { DeviceClient } from './device.js';
import { EventHub } from './events.js';
import { LogStore } from './logcapture.js';
import { Store } from './store.js';
import { el, formatElapsed, confirmDialog, infoDialog, isDialogOpen } from './ui.js';
import { CONNECTED_MODE } from './sensors.js';
import { KitPanel } from './views/kit.js';
import { ConfigPanel } from './views/config.js';
import { RunsPanel } from './views/runs.js';
import { ExportPanel } from './views/exportview.js';
import { LogPanel } from './views/logview.js';
import { GraphArea } from './views/graphs.js';
import { XYView } from './views/xyview.js';
import { BigNumberView } from './views/bignumbers.js';
import { CalibrationPanel } from './views/calibrate.js';
import { TimedRun, parseSeconds } from './timedrun.js';
import { lostFrames } from './lostframes.js';
import { t, num, language, languages, saveLanguage, translateStatic } from './i18n.js';
import { applyTheme, savedTheme, currentTheme } from './theme.js';
import { APP_VERSION } from './version.js';

export const APP_NAME = 'Korvex';
const REPOSITORY_NAME = 'Korvex Repository';
const START_STOP_TIMEOUT_MS = 6000;
const COUNTER_POLL_MS = 1000; // frame counters are re-read this often while recording
const COUNTDOWNS = [0, 3, 5, 10];

const $ = (id) => document.getElementById(id);

// Notices at the top of the page: errors stay until dismissed, other notices fade.
class Notices {
  constructor(root) {
    this.root = root;
  }

  show(message, level = 'info') {
    const item = el('div', { class: `notice notice-${level}`, role: level === 'error' ? 'alert' : 'status' },
      el('span', {}, message),
      el('button', { class: 'notice-close', type: 'button', 'aria-label': t('ui.dismiss'), onclick: () => item.remove() }, '×'));
    // The same message twice in a row is shown once.
    const last = this.root.lastElementChild;
    if (last && last.firstChild.textContent === message) last.remove();
    this.root.append(item);
    while (this.root.childElementCount > 4) this.root.firstElementChild.remove();
    if (level !== 'error') setTimeout(() => item.remove(), 5000);
  }
}

// Polite announcements for screen readers: state changes that are otherwise only seen.
function makeAnnouncer(node) {
  let timer = null;
  return (text) => {
    // Emptied first so that the same text twice is read twice.
    node.textContent = '';
    clearTimeout(timer);
    timer = setTimeout(() => { node.textContent = text; }, 50);
  };
}

// Tabs of the analysis area: arrow keys move between tabs, the chosen one shows its panel.
function setUpTabs(onChange) {
  const tabs = [...document.querySelectorAll('#view-tabs [role="tab"]')];
  const select = (tab, focus) => {
    for (const other of tabs) {
      const on = other === tab;
      other.setAttribute('aria-selected', String(on));
      other.tabIndex = on ? 0 : -1;
      $(other.getAttribute('aria-controls')).hidden = !on;
    }
    if (focus) tab.focus();
    onChange(tab.getAttribute('aria-controls'));
  };
  tabs.forEach((tab, i) => {
    tab.addEventListener('click', () => select(tab, false));
    tab.addEventListener('keydown', (e) => {
      const to = { ArrowRight: i + 1, ArrowLeft: i - 1, Home: 0, End: tabs.length - 1 }[e.key];
      if (to === undefined) return;
      e.preventDefault();
      select(tabs[(to + tabs.length) % tabs.length], true);
    });
  });
}

function setUpMenu(graphs) {
  const langSelect = $('language');
  for (const { code, name } of languages()) langSelect.append(el('option', { value: code, selected: code === language() }, name));
  langSelect.addEventListener('change', () => {
    saveLanguage(langSelect.value);
    // Every text is drawn again in the new language; the kit keeps running meanwhile.
    location.reload();
  });
  const themeButton = $('theme');
  const renderTheme = () => {
    const dark = currentTheme() === 'dark';
    themeButton.setAttribute('aria-pressed', String(dark));
    themeButton.textContent = dark ? t('menu.light') : t('menu.dark');
  };
  themeButton.addEventListener('click', () => {
    applyTheme(currentTheme() === 'dark' ? 'light' : 'dark');
    renderTheme();
    graphs.rebuildAll();
  });
  renderTheme();
}

function startApp() {
  applyTheme(savedTheme());
  translateStatic();
  const notices = new Notices($('notices'));
  const notify = (message, level) => notices.show(message, level);
  const announce = makeAnnouncer($('announcer'));

  const logStore = new LogStore();

  if (!window.app || typeof window.app.sendMessage !== 'function') {
    window.KorvexBoot?.attachLog((line) => logStore.add(line));
    notify(t('app.noHost'), 'error');
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
  const graphs = new GraphArea($('graphs'), client, store, { notify, announce });
  const xy = new XYView($('xy'), client, store, { notify });
  const big = new BigNumberView($('big'), client, store);
  setUpTabs((panel) => {
    xy.setActive(panel === 'xy');
    big.setActive(panel === 'big');
    if (panel === 'graphs') graphs.layout();
  });
  setUpMenu(graphs);

  // Recording control, with the optional countdown and duration.
  const recordButton = $('record');
  const elapsed = $('elapsed');
  const recordHint = $('record-hint');
  const countdownSelect = $('countdown');
  const durationInput = $('duration');
  const overlay = $('countdown-overlay');
  let pending = null; // 'start' | 'stop' while waiting for the kit to confirm

  for (const s of COUNTDOWNS) {
    countdownSelect.append(el('option', { value: s }, s ? t('timer.seconds', { s }) : t('timer.none')));
  }
  durationInput.placeholder = t('timer.untilStopped');

  function startBlocker() {
    const hw = store.hardware;
    if (!hw) return t('rec.unknown');
    if (hw.donglePlugged !== 1) return t('rec.plugDongle');
    if (!store.runRemotes().length) return t('rec.chooseConfig');
    if ((hw.dongleMode & CONNECTED_MODE) === 0) return t('rec.noRemote');
    return null;
  }

  function renderRecord() {
    const rec = store.recording;
    const counting = timed.state === 'countdown';
    const blocker = rec || counting ? null : startBlocker();
    recordButton.classList.toggle('recording', rec);
    recordButton.classList.toggle('counting', counting);
    recordButton.disabled = pending !== null || (!rec && !counting && blocker !== null);
    recordButton.querySelector('.label').textContent = counting ? t('rec.cancelCountdown')
      : pending === 'start' ? t('rec.starting') : pending === 'stop' ? t('rec.stopping') : rec ? t('rec.stop') : t('rec.record');
    const left = timed.remaining();
    recordHint.textContent = counting ? t('rec.countdownHint')
      : rec && left !== null ? t('rec.stopsIn', { s: num(Math.ceil(left)) })
        : rec ? t('rec.keyStop') : blocker ?? t('rec.keyRecord');
    countdownSelect.disabled = rec || counting;
    durationInput.disabled = rec || counting;
    $('language').disabled = rec || counting;
    document.body.classList.toggle('is-recording', rec);
  }

  async function sendStartStop(starting) {
    pending = starting ? 'start' : 'stop';
    renderRecord();
    const wait = hub.next(starting ? 'dataStarted' : 'dataStopped', START_STOP_TIMEOUT_MS);
    try {
      client.send(starting ? 'korvex_startData' : 'korvex_stopData');
      await wait;
    } catch (err) {
      wait.catch(() => {});
      notify(starting ? t('rec.startFailed') : t('rec.stopFailed'), 'error');
      if (starting) timed.failed();
      store.refreshHardware();
    } finally {
      pending = null;
      renderRecord();
    }
  }

  const timed = new TimedRun({
    start: () => sendStartStop(true),
    stop: () => { if (store.recording && !pending) { announce(t('rec.timeUp')); sendStartStop(false); } },
    onChange: (state) => {
      overlay.hidden = state !== 'countdown';
      renderRecord();
    },
  });

  function readTimerOptions() {
    const duration = parseSeconds(durationInput.value);
    if (Number.isNaN(duration)) {
      notify(t('timer.badDuration'), 'error');
      durationInput.focus();
      return false;
    }
    timed.setOptions({ countdown: Number(countdownSelect.value), duration });
    return true;
  }

  function toggleRecording() {
    if (pending) return;
    if (timed.state === 'countdown') {
      timed.cancel();
      announce(t('rec.countdownCancelled'));
      return;
    }
    if (recordButton.disabled) return;
    if (store.recording) {
      sendStartStop(false);
      return;
    }
    if (!readTimerOptions()) return;
    timed.begin();
  }

  recordButton.addEventListener('click', toggleRecording);
  let lastSpoken = null;
  setInterval(() => {
    elapsed.textContent = store.recording && store.recordingSince
      ? formatElapsed((Date.now() - store.recordingSince.getTime()) / 1000) : '';
    if (timed.state === 'countdown') {
      const left = Math.ceil(timed.remaining() ?? 0);
      overlay.textContent = String(left);
      if (left !== lastSpoken && left > 0) { lastSpoken = left; announce(String(left)); }
    } else {
      lastSpoken = null;
    }
    if (timed.state === 'running' && timed.remaining() !== null) renderRecord();
  }, 100);

  function syncGraphs() {
    graphs.setSensors(store.runRemotes(), store.stack?.ID ?? '');
    graphs.setMode(store.recording ? 'live' : store.runRemotes().length ? 'review' : 'idle');
  }

  store.addEventListener('change', (e) => {
    if (['hardware', 'stack', 'recording'].includes(e.detail)) renderRecord();
    if (e.detail === 'recording') {
      syncGraphs();
      announce(store.recording ? t('rec.startedNote') : t('rec.stoppedNote'));
    }
    if (e.detail === 'stack') {
      const changed = graphs.setSensors(store.runRemotes(), store.stack?.ID ?? '');
      if (changed || graphs.mode === 'idle') syncGraphs();
    }
    if (e.detail === 'stack' || e.detail === 'counters') graphs.setLost(lostFrames(store.stack));
  });
  // The frame counters have no event of their own: read the report while recording.
  setInterval(() => { if (store.recording) store.refreshStack(); }, COUNTER_POLL_MS);

  // Events: every one makes the page ask again; nothing is inferred from memory.
  hub.on('hardwareStateChanged', () => store.refreshHardware());
  hub.on('fixedConfigChanged', () => store.refreshHardware());
  hub.on('acquisitionStackChanged', () => { store.refreshStack(); store.refreshStored(); });
  hub.on('dataStarted', () => { timed.started(); store.setRecording(true, new Date()); store.refreshStack(); });
  hub.on('dataStopped', () => {
    timed.stopped();
    store.setRecording(false);
    store.refreshHardware();
    store.refreshStack();
    store.refreshStored();
  });
  hub.on('sensorRecalibrated', (event) => {
    const r = Number(event.args?.remote);
    const type = Number(event.args?.sensorType);
    graphs.reread((g) => !Number.isInteger(r) || (g.remote === r && g.sensorType === type));
    xy.refresh();
    big.tick(true);
    announce(t('cal.recalibratedNote'));
  });
  hub.on('repository', (event) => {
    if (event.args?.closed) {
      repoWindow = null;
      renderRepoButton();
      store.refreshStored();
    }
  });
  new CalibrationPanel($('calibration'), client, store, {
    notify, announce, startRecording: () => { if (!store.recording && !pending) sendStartStop(true); },
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
    if (!repoWindow) notify(t('app.repoFailed'), 'error');
    renderRepoButton();
  });

  function toggleLog() {
    const drawer = $('log-drawer');
    drawer.hidden = !drawer.hidden;
    logButton.classList.toggle('active', !drawer.hidden);
    logButton.setAttribute('aria-expanded', String(!drawer.hidden));
    if (!drawer.hidden) {
      delete logButton.dataset.count;
      logPanel.rebuild();
    }
    graphs.layout();
  }
  logButton.setAttribute('aria-expanded', 'false');
  logButton.addEventListener('click', toggleLog);
  $('about').addEventListener('click', () => showAbout());
  $('exit').addEventListener('click', async () => {
    if (store.recording && !await confirmDialog(t('menu.exit'), t('app.exitRecording'), t('menu.exit'), { danger: true })) return;
    window.close();
    setTimeout(() => notify(t('app.cannotClose'), 'warning'), 500);
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

  // Keyboard: R records/stops (and cancels a countdown); L shows the log; Escape cancels a
  // countdown; Alt+? (or Alt+/) shows the About box. Not while typing, on a focused control
  // or in a dialog. The program keeps Space from every page outside text fields, so Space
  // is bound to nothing here.
  document.addEventListener('keydown', (e) => {
    if (isDialogOpen()) return;
    if (e.altKey && !e.ctrlKey && !e.metaKey && (e.key === '?' || e.key === '/')) {
      e.preventDefault();
      showAbout();
      return;
    }
    if (e.ctrlKey || e.altKey || e.metaKey) return;
    const tg = e.target;
    if (tg instanceof HTMLInputElement || tg instanceof HTMLSelectElement || tg instanceof HTMLTextAreaElement) return;
    if (e.key === 'Escape' && timed.state === 'countdown') {
      timed.cancel();
      announce(t('rec.countdownCancelled'));
    } else if (e.key === 'r' || e.key === 'R') {
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
  window.korvex = { client, store, hub, graphs, xy, big, logStore, timed };
}

async function showAbout() {
  let notices = [];
  try {
    ({ notices } = await import('../lib/notices.js'));
  } catch (err) {
    notices = [];
  }
  await infoDialog(t('about.title', { name: APP_NAME }), el('div', { class: 'about' },
    el('p', {}, el('strong', {}, `${APP_NAME} ${APP_VERSION}`)),
    el('p', {}, t('about.what')),
    el('p', {}, t('about.keys')),
    el('h3', {}, t('about.libraries')),
    notices.length ? notices.map((n) => el('details', {},
      el('summary', {}, t('about.licence', { name: n.name, version: n.version, licence: n.licence })),
      el('pre', { class: 'licence' }, n.text)))
      : el('p', { class: 'detail' }, t('about.noNotices'))), { className: 'modal-wide' });
}

startApp();

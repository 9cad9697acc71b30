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
import { TableView } from './views/tableview.js';
import { SpectrumView } from './views/spectrumview.js';
import { SelectionStore } from './selection.js';
import { CalibrationPanel } from './views/calibrate.js';
import { TimedRun, parseSeconds } from './timedrun.js';
import { TriggerWatch } from './timedrun.js';
import { findTrigger, checkTriggerOptions } from './trigger.js';
import { RunNotes } from './runnotes.js';
import { singleSensorSeries } from './layouts.js';
import { axisDescriptions, sensorTitle } from './sensors.js';
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
  const selection = new SelectionStore();
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
  const notes = new RunNotes(client); // names, notes and trigger times of the runs
  new RunsPanel($('runs'), client, store, notify, notes);
  new ExportPanel($('export'), client, store, notify, notes);
  const graphs = new GraphArea($('graphs'), client, store, { notify, announce, selection });
  const xy = new XYView($('xy'), client, store, { notify });
  const big = new BigNumberView($('big'), client, store);
  const table = new TableView($('table'), client, store, { notify, selection });
  const spectrum = new SpectrumView($('spectrum'), client, store, { notify, selection });
  setUpTabs((panel) => {
    xy.setActive(panel === 'xy');
    big.setActive(panel === 'big');
    table.setActive(panel === 'table');
    spectrum.setActive(panel === 'spectrum');
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
  let watch = null; // the start trigger, set up below

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
    for (const id of ['trigger-source', 'trigger-direction', 'trigger-threshold', 'trigger-pre']) $(id).disabled = rec || counting;
    if (rec && watch?.state === 'armed') recordHint.textContent = t('trigger.armedHint');
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
    if (!readTimerOptions() || !readTriggerOptions()) return;
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

  // Start trigger: "Start when" a chosen value crosses a threshold. The recording starts at
  // Record; the crossing becomes the run's time zero in the views and is kept with the run's
  // notes together with the time kept before it.
  const triggerSource = $('trigger-source');
  const triggerDirection = $('trigger-direction');
  const triggerThreshold = $('trigger-threshold');
  const triggerPre = $('trigger-pre');
  let armedWith = null; // the trigger settings of the run being recorded
  // Every view that shows times shows them from the trigger moment.
  function setTimeZero(zero, preTrigger = 0) {
    graphs.setTimeZero(zero, preTrigger);
    table.setTimeZero(graphs.timeZero);
    spectrum.setTimeZero(graphs.timeZero);
  }
  graphs.runName = (id) => notes.name(id);
  for (const d of ['rise', 'fall']) triggerDirection.append(el('option', { value: d }, t(`trigger.${d}`)));

  function renderTriggerSources() {
    const chosen = triggerSource.value;
    const options = [el('option', { value: '' }, t('trigger.off'))];
    for (const r of store.runRemotes()) {
      for (const s of r.sensors) {
        axisDescriptions(s.sensorType, -1, s.sampleSize).forEach((a, axis) => options.push(el('option', { value: `${r.remote}:${s.sensorType}:${axis}` },
          t('trigger.source', { remote: r.remote, sensor: sensorTitle(s.sensorType), axis: a.unit ? `${a.label} (${a.unit})` : a.label }))));
      }
    }
    triggerSource.replaceChildren(...options);
    triggerSource.value = options.some((o) => o.value === chosen) ? chosen : '';
    for (const e of [triggerDirection, triggerThreshold, triggerPre]) e.closest('label').hidden = triggerSource.value === '';
  }
  triggerSource.addEventListener('change', renderTriggerSources);

  function readTriggerOptions() {
    armedWith = null;
    if (!triggerSource.value) return true;
    const checked = checkTriggerOptions({ threshold: triggerThreshold.value, preTrigger: triggerPre.value });
    if (!checked.ok) {
      notify(t(checked.error), 'error');
      (checked.error === 'trigger.badPre' ? triggerPre : triggerThreshold).focus();
      return false;
    }
    const [remote, sensorType, axis] = triggerSource.value.split(':').map(Number);
    armedWith = { ...checked, direction: triggerDirection.value, remote, sensorType, axis };
    return true;
  }

  // The watched value between start and end (run time; negative as the library reads them).
  async function readTriggerValue(o, start, end) {
    const { doc, data } = await client.request('korvex_getSensorData1', [o.remote, o.sensorType, start, end, false, -1, -1]);
    const series = singleSensorSeries(doc, data);
    if (!series || series.length === 0) return null; // nothing recorded yet
    if (!series.values[o.axis]) throw new Error(t('graph.noData'));
    return { time: series.time, values: series.values[o.axis] };
  }

  function storeTrigger(at, preTrigger) {
    const id = store.stack?.ID;
    if (!id) return;
    notes.update(id, { triggerTime: at, preTrigger }).catch((err) => notify(t('trigger.storeFailed', { error: err.message }), 'error'));
  }

  watch = new TriggerWatch({
    read: (back) => readTriggerValue(armedWith, -back, -1),
    fired: (at, newest) => {
      setTimeZero(at, armedWith.preTrigger);
      // "Stop after" counts from the trigger, which was seen with samples up to `newest`.
      timed.triggered(Number.isFinite(newest) ? newest - at : 0);
      announce(t('trigger.fired', { s: num(at, { maximumFractionDigits: 3 }) }));
      renderRecord();
      storeTrigger(at, armedWith.preTrigger);
    },
    failed: (err) => notify(t('trigger.readFailed', { error: err.message }), 'warning'),
  }, findTrigger);

  // A shown run's time zero: its stored trigger, unless a triggered recording is running.
  function applyTimeZero() {
    if (armedWith || watch.state !== 'off') return;
    const n = notes.get(store.stack?.ID ?? '');
    setTimeZero(Number.isFinite(n.triggerTime) ? n.triggerTime : 0, n.preTrigger ?? 0);
  }
  store.addEventListener('change', (e) => {
    if (e.detail === 'stack') { renderTriggerSources(); applyTimeZero(); }
  });
  notes.addEventListener('change', applyTimeZero);
  const readNotes = () => notes.refresh()
    .then(() => { if (notes.ignored.length) notify(t('notes.ignored', { files: notes.ignored.join(', ') }), 'warning'); })
    .catch((err) => notify(t('notes.readFailed', { error: err.message }), 'error'));
  hub.on('runNotesChanged', readNotes);
  hub.on('acquisitionStackChanged', readNotes);
  hub.on('dataStarted', () => {
    if (!armedWith) return;
    setTimeZero(0);
    watch.arm(armedWith);
    announce(t('trigger.armedNote'));
    renderRecord();
  });
  hub.on('dataStopped', async () => {
    const o = armedWith;
    const fired = watch.state === 'fired';
    const live = watch.triggerTime;
    armedWith = null;
    watch.reset();
    if (!o) return;
    if (!fired) {
      notify(t('trigger.never'), 'warning');
      applyTimeZero();
      return;
    }
    // At the end of a run the library re-times the samples from the measured frame time:
    // the crossing is found again in the stored samples.
    try {
      const s = await readTriggerValue(o, Math.max(0, live - 0.25), live + 0.25);
      const at = s && findTrigger(s.time, s.values, { threshold: o.threshold, direction: o.direction });
      if (Number.isFinite(at) && at !== live) {
        setTimeZero(at, o.preTrigger);
        storeTrigger(at, o.preTrigger);
      }
    } catch {
      // The live moment stays: it differs from the re-timed one by a fraction of a sample.
    }
  });
  renderTriggerSources();
  readNotes();

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
  hub.on('dataStarted', () => { timed.started({ awaitTrigger: !!armedWith }); store.setRecording(true, new Date()); store.refreshStack(); });
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
    table.reload();
    spectrum.refresh();
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
  window.korvex = { notes, trigger: watch, client, store, hub, graphs, xy, big, table, spectrum, selection, logStore, timed };
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

// Live and review graphs: one uPlot chart per sensor of the current run, with two cursors,
// overlays of earlier runs, marks where the radio lost frames, and the tare and wheel
// reset buttons of the sensors that have them.
import uPlot from '../../lib/uPlot.esm.js';
import { el, fill, formatDate } from '../ui.js';
import { singleSensorSeries, mergeAxisSeries, twoSensorSeries } from '../layouts.js';
import { SENSORS, axisDescriptions, nominalRate, sensorTitle } from '../sensors.js';
import { axisPlan, queryRate, liveRange, zoomRange, panRange, clampRange } from '../graphquery.js';
import { cursorReadout, alignSeries, thinSeries, bigNumber } from '../analysis.js';
import { findGaps, gapMarks, gapProbeSensor } from '../lostframes.js';
import { t, num } from '../i18n.js';
import { palette, themeColour } from '../theme.js';
import { AnalysisPanel } from './analysispanel.js';
import { selectionKey } from '../selection.js';

const WINDOWS = [5, 10, 20, 30, 60, 120];
const REVIEW_PROBE_RATE = 10; // Hz, for the first look at a whole run of unknown length
const OVERLAY_POINTS = 2000; // rows kept per earlier run
const OVERLAY_DASH = [[8, 4], [2, 3], [12, 3, 2, 3]];
const GAP_SCAN_MS = 5000; // at most one frame-gap scan per remote this often while live
const TARE_SECONDS = 0.5;
const FORCE = 8;
const WHEEL = 9;

function fmt(v) {
  if (v == null || !Number.isFinite(v)) return '—';
  return Math.abs(v) >= 100 ? num(v, { maximumFractionDigits: 1 }) : bigNumber(v, 4);
}

// --- Time zero of a triggered run -----------------------------------------------------
// A triggered run is shown with its trigger moment as time zero. Data, views and cursors
// stay in the library's run time; only the time labels (axis, legend, cursor readout) are
// shifted, with the axis ticks on round shifted times. Set through GraphArea.setTimeZero.
function zeroedTimeAxis(zero) {
  if (!zero) return {};
  const digits = (incr) => Math.max(0, Math.min(6, -Math.floor(Math.log10(incr) + 1e-9)));
  return {
    splits: (u, i, min, max, incr) => {
      const out = [];
      for (let k = Math.ceil((min - zero) / incr - 1e-9); k * incr + zero <= max + 1e-9 && out.length < 500; k++) out.push(k * incr + zero);
      return out;
    },
    values: (u, splits, i, space, incr) => splits.map((v) => num(v - zero, { minimumFractionDigits: digits(incr), maximumFractionDigits: digits(incr) })),
  };
}
// --- end of time zero -------------------------------------------------------------------

class SensorGraph {
  constructor(area, { remote, sensorType, config }) {
    this.area = area;
    this.remote = remote;
    this.sensorType = sensorType;
    this.config = config;
    this.rate = nominalRate(config, sensorType);
    this.setPlan(false);
    this.busy = false;
    this.again = false;
    this.visible = true;
    this.lastTime = NaN;
    this.length = 0;
    this.draws = 0;
    this.series = null; // the data drawn last (for cursors)
    this.status = el('span', { class: 'graph-status', role: 'status' });
    this.lostBadge = el('span', { class: 'lost-badge' });
    this.box = el('div', {
      class: 'graph-plot', tabindex: '0', role: 'img',
      'aria-label': t('graph.plotLabel', { title: this.title() }),
      onkeydown: (e) => this.area.plotKey(e, this),
    });
    const leadChoice = SENSORS[sensorType]?.leads ? el('select', {
      'aria-label': t('graph.whatToShow'),
      onchange: (e) => this.showLeads(e.target.value === 'leads'),
    }, el('option', { value: 'channels' }, t('graph.channels')), el('option', { value: 'leads' }, t('graph.leads'))) : null;
    this.actions = el('div', { class: 'graph-actions' });
    this.root = el('section', { class: 'graph', 'aria-label': this.title() },
      el('header', { class: 'graph-head' },
        el('h3', {}, this.title()),
        leadChoice,
        this.lostBadge,
        this.actions,
        this.status),
      this.box);
    this.plot = null;
    this.renderActions();
  }

  renderActions() {
    const area = this.area;
    const rec = area.mode === 'live';
    const buttons = [];
    if (this.sensorType === FORCE) {
      buttons.push(el('button', {
        class: 'btn btn-small', type: 'button', disabled: area.mode === 'idle',
        title: t('graph.tareTitle'), onclick: () => area.tare(this),
      }, t('graph.tare')));
    }
    if (this.sensorType === WHEEL) {
      buttons.push(el('button', {
        class: 'btn btn-small', type: 'button', disabled: !rec,
        title: t('graph.wheelTitle'), onclick: () => area.resetWheel(this),
      }, t('graph.wheelReset')));
    }
    buttons.push(el('button', {
      class: 'btn btn-small', type: 'button', disabled: area.mode !== 'review',
      title: t('graph.keepTitle'), onclick: () => area.keepOverlay(this),
    }, t('graph.keep')));
    const overlays = area.overlaysFor(this);
    for (const o of overlays) {
      buttons.push(el('button', {
        class: 'btn btn-small overlay-chip', type: 'button', style: `border-color:${o.colour}`,
        'aria-label': t('graph.removeOverlay', { label: o.label }),
        title: t('graph.removeOverlay', { label: o.label }),
        onclick: () => area.removeOverlay(this, o.id),
      }, el('span', { class: 'chip-swatch', style: `background:${o.colour}`, 'aria-hidden': 'true' }),
      o.runId === area.runId ? t('overlay.thisRun', { label: o.label }) : o.label, ' ×'));
    }
    fill(this.actions, buttons);
  }

  setLost(info) {
    if (!info) {
      this.lostBadge.textContent = '';
      this.lostBadge.className = 'lost-badge';
      return;
    }
    this.packets = info.packets;
    this.lostBadge.textContent = info.lost
      ? t('lost.badge', { lost: num(info.lost), frames: num(info.frames) })
      : t('lost.none');
    this.lostBadge.className = `lost-badge ${info.lost ? 'lost-some' : 'lost-none'}`;
    this.lostBadge.title = t('lost.title', { frames: num(info.frames), packets: num(info.packets) });
  }

  setPlan(leads) {
    this.plan = axisPlan(this.sensorType, { leads });
    this.axes = this.plan.length > 1 || this.plan[0] !== -1
      ? this.plan.map((axis) => axisDescriptions(this.sensorType, axis, 1)[0])
      : axisDescriptions(this.sensorType, -1, this.sampleSizeGuess());
  }

  showLeads(leads) {
    this.setPlan(leads);
    this.rebuild();
    if (this.area.canZoom()) this.area.refetch(this);
  }

  rebuild() {
    if (!this.plot) return;
    const { width, height } = this.plot;
    this.plot.destroy();
    this.plot = null;
    this.build(width, height);
    if (this.series) this.draw(this.series, this.area.shownRange(this));
  }

  sampleSizeGuess() {
    return this.area.sampleSizes.get(`${this.remote}:${this.sensorType}`) ?? 1;
  }

  title() {
    return t('graph.title', { remote: this.remote, sensor: sensorTitle(this.sensorType) });
  }

  key() {
    return `${this.remote}:${this.sensorType}`;
  }

  axisLabel(a) {
    return a.unit ? `${a.label} (${a.unit})` : a.label;
  }

  build(width, height) {
    const ink = themeColour('--ink');
    const grid = themeColour('--grid');
    const colours = palette();
    const units = [...new Set(this.axes.map((a) => a.unit))];
    const scales = { x: { time: false, auto: false } };
    for (const u of units) scales[u || 'value'] = { auto: true };
    const axis = (extra) => ({ stroke: ink, grid: { stroke: grid, width: 1 }, ticks: { stroke: grid }, ...extra });
    const axes = [axis({ label: t('graph.time'), size: 44, labelSize: 26, ...zeroedTimeAxis(this.area.timeZero) })];
    units.forEach((u, i) => {
      axes.push(axis({
        scale: u || 'value', label: u || t('graph.value'), side: i % 2 === 0 ? 3 : 1,
        grid: { show: i === 0, stroke: grid, width: 1 }, size: 64, labelSize: 26,
      }));
    });
    const value = (u, v) => (v == null ? '—' : fmt(v));
    const series = [{ label: t('graph.time'), value: (u, v) => (v == null ? '—' : num(v - (this.area.timeZero || 0), { minimumFractionDigits: 3, maximumFractionDigits: 3 })) }];
    this.axes.forEach((a, i) => {
      series.push({
        label: this.axisLabel(a), scale: a.unit || 'value', stroke: colours[i % colours.length],
        width: 2, points: { show: false }, value,
      });
    });
    this.overlayIds = [];
    this.area.drawnOverlays(this).forEach((o) => {
      o.axes.forEach((a, i) => {
        series.push({
          label: `${o.label} · ${this.axisLabel(a)}`, scale: a.unit || 'value', stroke: o.colour,
          dash: OVERLAY_DASH[i % OVERLAY_DASH.length], width: 1.5, spanGaps: true, points: { show: false }, value,
        });
      });
      this.overlayIds.push(o.id);
    });
    const area = this.area;
    let downX = null;
    const opts = {
      width, height, scales, axes, series,
      legend: { live: true },
      cursor: {
        drag: { x: true, y: false, setScale: true },
        sync: { key: area.syncKey },
        bind: {
          dblclick: () => () => { area.showWholeRun(); return null; },
        },
      },
      hooks: {
        setScale: [(u, key) => {
          if (key !== 'x' || area.applying) return;
          area.userZoom({ min: u.scales.x.min, max: u.scales.x.max });
        }],
        draw: [(u) => this.drawMarks(u)],
        ready: [(u) => {
          u.over.addEventListener('wheel', (e) => {
            if (!area.canZoom()) return;
            e.preventDefault();
            const at = u.posToVal(e.offsetX, 'x');
            area.zoomBy(e.deltaY < 0 ? 0.8 : 1.25, at);
          }, { passive: false });
          u.over.addEventListener('mousedown', (e) => { downX = e.clientX; });
          // Shift+drag selects a time range (plain drag stays zoom); caught before uPlot sees it.
          u.root.addEventListener('mousedown', (e) => {
            if (!e.shiftKey || e.button !== 0 || !u.over.contains(e.target)) return;
            e.stopPropagation();
            downX = e.clientX;
            const left = u.over.getBoundingClientRect().left;
            const from = u.posToVal(e.clientX - left, 'x');
            const up = (ev) => {
              window.removeEventListener('mouseup', up, true);
              if (Math.abs(ev.clientX - downX) <= 3) return;
              area.selectRange(this, from, u.posToVal(ev.clientX - left, 'x'));
            };
            window.addEventListener('mouseup', up, true);
          }, true);
          u.over.addEventListener('click', (e) => {
            if (!area.cursors.on || downX === null || Math.abs(e.clientX - downX) > 3) return;
            area.placeCursor(u.posToVal(e.offsetX, 'x'), e.shiftKey ? 'b' : null);
          });
        }],
      },
    };
    const empty = [new Float32Array(0), ...series.slice(1).map(() => new Float32Array(0))];
    this.plot = new uPlot(opts, empty, this.box);
  }

  // Gap marks (where the radio lost frames) and the two cursors, drawn over the plot.
  drawMarks(u) {
    const ctx = u.ctx;
    const { left, top, width, height } = u.bbox;
    const x = (v) => Math.round(u.valToPos(v, 'x', true));
    const inside = (px) => px >= left && px <= left + width;
    const dpr = window.devicePixelRatio || 1;
    ctx.save();
    ctx.font = `${Math.round(12 * dpr)}px sans-serif`;
    const sel = this.area.selection?.get(selectionKey(this.remote, this.sensorType));
    if (sel) {
      const x0 = Math.max(left, x(sel.t0));
      const x1 = Math.min(left + width, x(sel.t1));
      if (x1 > x0) {
        ctx.globalAlpha = 0.18;
        ctx.fillStyle = themeColour('--accent');
        ctx.fillRect(x0, top, x1 - x0, height);
        ctx.globalAlpha = 1;
      }
    }
    this.drawAnalysis(u, dpr);
    const marks = this.area.gapMarksFor(this);
    if (marks.length) {
      ctx.strokeStyle = themeColour('--bad');
      ctx.fillStyle = themeColour('--bad');
      ctx.lineWidth = 2 * dpr;
      ctx.setLineDash([3 * dpr, 3 * dpr]);
      for (const m of marks) {
        const px = x(m.time);
        if (!inside(px)) continue;
        ctx.beginPath();
        ctx.moveTo(px, top);
        ctx.lineTo(px, top + height);
        ctx.stroke();
        ctx.fillText(`⚡${m.lost}`, px + 3 * dpr, top + 14 * dpr);
      }
    }
    const c = this.area.cursors;
    if (c.on) {
      ctx.setLineDash([]);
      ctx.lineWidth = 2 * dpr;
      for (const name of ['a', 'b']) {
        if (!Number.isFinite(c[name])) continue;
        const px = x(c[name]);
        if (!inside(px)) continue;
        ctx.strokeStyle = themeColour(name === 'a' ? '--cursor-a' : '--cursor-b');
        ctx.fillStyle = ctx.strokeStyle;
        ctx.beginPath();
        ctx.moveTo(px, top);
        ctx.lineTo(px, top + height);
        ctx.stroke();
        ctx.fillText(name === 'a' ? '1' : '2', px + 3 * dpr, top + height - 4 * dpr);
      }
    }
    ctx.restore();
  }

  // The fitted curve over the selection and the tangent at cursor 1.
  drawAnalysis(u, dpr) {
    const panel = this.area.analysis;
    if (!panel) return;
    const ctx = u.ctx;
    const { left, top, width, height } = u.bbox;
    const line = (f, t0, t1, colour, dash, scale) => {
      const steps = 200;
      ctx.strokeStyle = colour;
      ctx.lineWidth = 2 * dpr;
      ctx.setLineDash(dash);
      ctx.beginPath();
      let started = false;
      for (let k = 0; k <= steps; k++) {
        const tt = t0 + ((t1 - t0) * k) / steps;
        const v = f(tt);
        if (!Number.isFinite(v)) { started = false; continue; }
        const px = u.valToPos(tt, 'x', true);
        const py = u.valToPos(v, scale, true);
        if (started) ctx.lineTo(px, py); else ctx.moveTo(px, py);
        started = true;
      }
      ctx.stroke();
    };
    ctx.save();
    ctx.beginPath();
    ctx.rect(left, top, width, height);
    ctx.clip();
    const fit = panel.drawnFit(this);
    if (fit) {
      const a = this.axes[fit.axis];
      line(fit.value, fit.range.t0, fit.range.t1, themeColour('--ink'), [6 * dpr, 3 * dpr], a?.unit || 'value');
    }
    const range = this.area.shownRange(this);
    const half = (range.max - range.min) / 8;
    for (const tan of panel.tangents(this)) {
      line((tt) => tan.value + tan.slope * (tt - tan.at), tan.at - half, tan.at + half, themeColour('--cursor-a'), [2 * dpr, 2 * dpr], tan.unit || 'value');
    }
    ctx.restore();
  }

  resize(width, height) {
    if (!this.plot) this.build(width, height);
    else this.plot.setSize({ width, height });
  }

  pixels() {
    return this.plot ? this.plot.bbox.width / (window.devicePixelRatio || 1) : 600;
  }

  // One refresh: the window [start, end] (negative start/end as the library reads them).
  async fetch(start, end, rate, raw = false) {
    const client = this.area.client;
    const parts = await Promise.all(this.plan.map((axis) => client.request('korvex_getSensorData1',
      [this.remote, this.sensorType, start, end, raw, axis, rate])
      .then(({ doc, data }) => singleSensorSeries(doc, data))));
    const series = parts.length === 1 ? parts[0] : mergeAxisSeries(parts);
    if (!series) throw new Error(t('graph.notInRun', { title: this.title() }));
    return series;
  }

  draw(series, range) {
    if (!this.plot) return;
    this.series = series;
    const overlays = this.area.drawnOverlays(this);
    let cols;
    if (overlays.length && this.overlayIds.length === overlays.length) {
      cols = alignSeries({ ...series, values: this.axes.map((_, i) => series.values[i] ?? new Float32Array(series.length)) },
        overlays.map((o) => o.data), range);
    } else {
      cols = [series.time];
      for (let i = 0; i < this.axes.length; i++) cols.push(series.values[i] ?? new Float32Array(series.length));
    }
    this.length = series.length;
    this.lastTime = series.length ? series.time[series.length - 1] : NaN;
    this.area.applying = true;
    try {
      this.plot.batch(() => {
        this.plot.setData(cols, true);
        this.plot.setScale('x', range);
      });
    } finally {
      this.area.applying = false;
    }
    this.draws += 1;
    this.status.classList.remove('graph-error');
    this.status.textContent = series.length ? '' : t('graph.noData');
  }

  showError(err) {
    this.status.textContent = err.message ?? String(err);
    this.status.classList.add('graph-error');
  }

  destroy() {
    this.plot?.destroy();
    this.root.remove();
  }
}

export class GraphArea {
  constructor(root, client, store, { notify = () => {}, announce = () => {}, selection = null } = {}) {
    this.root = root;
    this.selection = selection;
    this.client = client;
    this.store = store;
    this.notify = notify;
    this.announce = announce;
    this.graphs = new Map();
    this.sampleSizes = new Map();
    this.syncKey = uPlot.sync('korvex');
    this.windowSeconds = 10;
    this.paused = false;
    this.mode = 'idle'; // 'live' | 'review' | 'idle'
    this.view = { min: 0, max: 10 };
    this.total = 0;
    this.applying = false;
    this.runKey = '';
    this.stats = { fps: 0, frames: 0, since: performance.now() };
    this.cursors = { on: false, a: NaN, b: NaN, active: 'a' };
    this.overlays = new Map(); // "remote:sensorType" -> [{ id, label, colour, axes, data }]
    this.overlaySeq = 0;
    this.lost = new Map(); // "remote:sensorType" -> counters
    this.gaps = new Map(); // remote -> [{ packetsBefore, lost }]
    this.gapScan = new Map(); // remote -> { at, lost, busy }
    window.korvexGraphStats = this.stats;

    this.fpsLabel = el('span', { class: 'fps', title: t('graph.fpsTitle') });
    this.modeLabel = el('span', { class: 'graph-mode' });
    this.windowSelect = el('select', {
      'aria-label': t('graph.windowLabel'),
      onchange: () => { this.windowSeconds = Number(this.windowSelect.value); },
    }, WINDOWS.map((s) => el('option', { value: s, selected: s === this.windowSeconds }, t('graph.lastSeconds', { s }))));
    this.pauseButton = el('button', { class: 'btn', type: 'button', onclick: () => this.togglePause() }, t('graph.pause'));
    const nav = (label, title, fn) => el('button', { class: 'btn btn-small', type: 'button', title, 'aria-label': title, onclick: fn }, label);
    this.navButtons = [
      nav('−', t('graph.zoomOut'), () => this.zoomBy(1.5)),
      nav('+', t('graph.zoomIn'), () => this.zoomBy(1 / 1.5)),
      nav('◀', t('graph.left'), () => this.panBy(-0.5)),
      nav('▶', t('graph.right'), () => this.panBy(0.5)),
      el('button', { class: 'btn btn-small', type: 'button', onclick: () => this.showWholeRun() }, t('graph.wholeRun')),
    ];
    this.cursorButton = el('button', {
      class: 'btn btn-small', type: 'button', 'aria-pressed': 'false', title: t('cursor.toggleTitle'),
      onclick: () => this.toggleCursors(),
    }, t('cursor.toggle'));
    this.readout = el('div', { class: 'cursor-readout', 'aria-live': 'polite', hidden: true });
    this.analysis = selection ? new AnalysisPanel(this, client, selection) : null;
    this.selectButton = el('button', {
      class: 'btn btn-small', type: 'button', title: t('analysis.fromCursorsTitle'),
      onclick: () => this.selectFromCursors(),
    }, t('analysis.fromCursors'));
    this.clearButton = el('button', {
      class: 'btn btn-small', type: 'button', title: t('analysis.clearTitle'),
      onclick: () => this.clearSelection(),
    }, t('analysis.clearAll'));
    selection?.addEventListener('change', () => { this.redrawAll(); this.updateControls(); });
    this.grid = el('div', { class: 'graph-grid' });
    this.empty = el('p', { class: 'placeholder' }, t('graph.empty'));
    this.toolbar = el('div', { class: 'graph-toolbar', role: 'toolbar', 'aria-label': t('graph.toolbar') },
      this.modeLabel, this.windowSelect, this.pauseButton, ...this.navButtons, this.cursorButton,
      ...(this.analysis ? [this.selectButton, this.clearButton] : []), this.fpsLabel);
    fill(root, this.toolbar, this.readout, ...(this.analysis ? [this.analysis.root] : []), this.empty, this.grid);

    this.updateControls();
    new ResizeObserver(() => this.layout()).observe(this.grid);
    // Graphs scrolled out of sight are not refreshed while live, so the requests go to the
    // graphs one can see.
    this.visibility = new IntersectionObserver((entries) => {
      for (const entry of entries) {
        const g = this.graphs.get(entry.target.dataset.key);
        if (g) g.visible = entry.isIntersecting;
      }
    });
    this.tick = this.tick.bind(this);
    requestAnimationFrame(this.tick);
  }

  // The run's sensors changed (new configuration, reload, new run): rebuild the graphs.
  setSensors(remotes, runId) {
    const list = [];
    for (const r of remotes) {
      for (const s of r.sensors) {
        list.push({ remote: r.remote, sensorType: s.sensorType, config: r.config });
        this.sampleSizes.set(`${r.remote}:${s.sensorType}`, s.sampleSize);
      }
    }
    const key = `${runId}|${list.map((g) => `${g.remote}:${g.sensorType}:${g.config}`).join(',')}`;
    if (key === this.runKey) return false;
    this.runKey = key;
    this.runId = runId;
    this.remotes = remotes;
    this.gaps.clear();
    this.gapScan.clear();
    this.cursors.a = NaN;
    this.cursors.b = NaN;
    if (this.analysis) {
      this.analysis.data.clear();
      this.analysis.fits.clear();
      this.selection.clear();
    }
    for (const g of this.graphs.values()) {
      this.visibility.unobserve(g.root);
      g.destroy();
    }
    this.graphs.clear();
    for (const item of list) {
      const g = new SensorGraph(this, item);
      g.setLost(this.lost.get(g.key()));
      this.graphs.set(g.key(), g);
      g.root.dataset.key = g.key();
      this.grid.append(g.root);
      this.visibility.observe(g.root);
    }
    this.empty.hidden = list.length > 0;
    this.layout();
    this.renderReadout();
    return true;
  }

  // Theme or text size changed: build every plot again with the new colours.
  rebuildAll() {
    for (const g of this.graphs.values()) g.rebuild();
  }

  layout() {
    const n = this.graphs.size;
    if (!n || this.root.offsetParent === null) return;
    const width = Math.max(280, this.grid.clientWidth - 4);
    const columns = width >= 1500 && n > 2 ? 2 : 1;
    // Each graph has a border and padding of about 20 px around its plot.
    const w = Math.floor(width / columns) - (columns > 1 ? 12 : 0) - 20;
    const visibleHeight = Math.min(this.root.clientHeight || window.innerHeight, window.innerHeight);
    const available = Math.max(200, visibleHeight - this.toolbar.offsetHeight - 16);
    const rows = Math.ceil(n / columns);
    const h = Math.max(200, Math.min(380, Math.floor(available / rows) - 60));
    for (const g of this.graphs.values()) g.resize(w, h);
  }

  setMode(mode) {
    if (mode === this.mode && mode !== 'review') return;
    this.mode = mode;
    this.paused = false;
    this.updateControls();
    for (const g of this.graphs.values()) g.renderActions();
    if (mode === 'review') {
      this.showWholeRun();
      for (const r of this.remotes ?? []) this.scanGaps(r.remote, true);
    }
  }

  updateControls() {
    const live = this.mode === 'live';
    this.modeLabel.textContent = live ? (this.paused ? t('graph.paused') : t('graph.live')) : this.mode === 'review' ? t('graph.run') : '';
    this.modeLabel.className = `graph-mode ${live && !this.paused ? 'graph-live' : ''}`;
    this.windowSelect.hidden = !live;
    this.pauseButton.hidden = !live;
    this.pauseButton.textContent = this.paused ? t('graph.resume') : t('graph.pause');
    for (const b of this.navButtons) {
      b.disabled = !this.canZoom();
      b.hidden = this.mode === 'idle';
    }
    this.cursorButton.hidden = this.mode === 'idle';
    const c = this.cursors;
    this.selectButton.hidden = this.mode === 'idle';
    this.selectButton.disabled = !(c.on && Number.isFinite(c.a) && Number.isFinite(c.b) && c.a !== c.b);
    this.clearButton.hidden = this.mode === 'idle';
    this.clearButton.disabled = !this.selection?.ranges.size;
  }

  canZoom() {
    return this.mode === 'review' || (this.mode === 'live' && this.paused);
  }

  shownRange(g) {
    if (this.mode === 'live' && !this.paused) return liveRange(g.lastTime, this.windowSeconds);
    return this.view;
  }

  togglePause() {
    if (this.mode !== 'live') return;
    this.paused = !this.paused;
    if (this.paused) {
      // Freeze on what is shown; zooming then re-queries within the recording so far.
      const last = Math.max(...[...this.graphs.values()].map((g) => g.lastTime).filter(Number.isFinite), 0);
      this.total = last;
      this.view = liveRange(last, this.windowSeconds);
    }
    this.updateControls();
    this.announce(this.paused ? t('graph.pausedNote') : t('graph.resumedNote'));
  }

  // Animation loop: while live, every graph that is not waiting for a reply asks for the
  // newest window; the refresh rate follows how fast the replies come back.
  tick(now) {
    requestAnimationFrame(this.tick);
    if (now - this.stats.since >= 1000) {
      const graphs = [...this.graphs.values()].filter((g) => g.visible);
      const perGraph = graphs.length ? Math.min(...graphs.map((g) => g.draws)) : 0;
      this.stats.fps = Math.round((perGraph * 1000) / (now - this.stats.since));
      for (const g of graphs) g.draws = 0;
      this.stats.since = now;
      this.fpsLabel.textContent = this.mode === 'live' && !this.paused ? t('graph.fps', { n: this.stats.fps }) : '';
      if (this.cursors.on) this.renderReadout();
    }
    if (this.mode !== 'live' || this.paused || document.hidden || this.root.offsetParent === null) return;
    for (const g of this.graphs.values()) {
      if (g.busy || !g.plot || !g.visible) continue;
      g.busy = true;
      const span = this.windowSeconds;
      g.fetch(-span, -1, queryRate(g.pixels(), span, g.rate))
        .then((series) => {
          if (this.mode === 'live' && !this.paused) {
            const last = series.length ? series.time[series.length - 1] : NaN;
            g.draw(series, liveRange(last, span));
          }
        })
        .catch((err) => g.showError(err))
        .finally(() => { g.busy = false; });
    }
  }

  // Review: the whole run first at a low rate to learn its length, then the visible range at
  // one sample per pixel.
  async showWholeRun() {
    if (this.mode === 'live' && !this.paused) return;
    const graphs = [...this.graphs.values()];
    if (!graphs.length) return;
    const lasts = await Promise.all(graphs.map((g) => g.fetch(0, -1, queryRate(REVIEW_PROBE_RATE, 1, g.rate))
      .then((s) => (s.length ? s.time[s.length - 1] : 0))
      .catch((err) => { g.showError(err); return 0; })));
    this.total = Math.max(0, ...lasts);
    this.setView({ min: this.firstShownTime(), max: this.total > 0 ? this.total : this.windowSeconds });
  }

  userZoom(range) {
    if (!this.canZoom()) return;
    this.setView(clampRange(range, this.total));
  }

  zoomBy(factor, at) {
    if (!this.canZoom()) return;
    const centre = Number.isFinite(at) ? at : (this.view.min + this.view.max) / 2;
    this.setView(zoomRange(this.view, factor, centre, this.total));
  }

  panBy(fraction) {
    if (!this.canZoom()) return;
    this.setView(panRange(this.view, fraction, this.total));
  }

  setView(view) {
    if (!(view.max > view.min)) return;
    this.view = view;
    for (const g of this.graphs.values()) this.refetch(g);
  }

  // Every graph reads its data again (after "sensorRecalibrated" or a saved calibration).
  reread(filter = null) {
    for (const g of this.graphs.values()) {
      if (filter && !filter(g)) continue;
      if (this.canZoom()) this.refetch(g);
    }
    if (this.mode === 'review') this.showWholeRun();
  }

  // Re-queries one graph for the current view; a request made while one is running is
  // folded into one more request with the newest view.
  refetch(g) {
    if (g.busy) { g.again = true; return; }
    g.busy = true;
    const view = this.view;
    g.fetch(view.min, view.max, queryRate(g.pixels(), view.max - view.min, g.rate))
      .then((series) => g.draw(series, view))
      .then(() => this.renderReadout())
      .catch((err) => g.showError(err))
      .finally(() => {
        g.busy = false;
        if (g.again) { g.again = false; this.refetch(g); }
      });
  }

  // --- Keyboard on a focused plot ------------------------------------------------------
  // Arrows move the active cursor (Shift: ten times further) or, without cursors, the view;
  // + and - zoom; 1 and 2 choose the cursor that moves; Home shows the whole run.
  plotKey(e, g) {
    if (e.ctrlKey || e.altKey || e.metaKey) return;
    const range = this.shownRange(g);
    const step = ((range.max - range.min) / 100) * (e.shiftKey ? 10 : 1);
    let handled = true;
    if (e.key === 'ArrowLeft' || e.key === 'ArrowRight') {
      const dir = e.key === 'ArrowLeft' ? -1 : 1;
      if (this.cursors.on) {
        const c = this.cursors;
        const from = Number.isFinite(c[c.active]) ? c[c.active] : (range.min + range.max) / 2;
        this.placeCursor(Math.min(range.max, Math.max(range.min, from + dir * step)), c.active);
      } else {
        this.panBy(dir * 0.2);
      }
    } else if (e.key === '+' || e.key === '=') {
      this.zoomBy(1 / 1.5);
    } else if (e.key === '-') {
      this.zoomBy(1.5);
    } else if ((e.key === 's' || e.key === 'S') && this.analysis) {
      this.selectFromCursors(g);
    } else if (e.key === 'Escape' && this.selection?.get(g.key())) {
      this.selection.set(g.key(), null);
      this.announce(t('analysis.cleared'));
    } else if (e.key === 'Home') {
      this.showWholeRun();
    } else if ((e.key === '1' || e.key === '2') && this.cursors.on) {
      this.cursors.active = e.key === '1' ? 'a' : 'b';
      if (!Number.isFinite(this.cursors[this.cursors.active])) this.placeCursor((range.min + range.max) / 2, this.cursors.active);
      this.announce(t('cursor.active', { n: e.key }));
    } else {
      handled = false;
    }
    if (handled) {
      e.preventDefault();
      e.stopPropagation();
    }
  }

  // --- Cursors -------------------------------------------------------------------------
  toggleCursors() {
    this.cursors.on = !this.cursors.on;
    this.cursorButton.setAttribute('aria-pressed', String(this.cursors.on));
    this.cursorButton.classList.toggle('active', this.cursors.on);
    this.readout.hidden = !this.cursors.on;
    this.renderReadout();
    this.analysis?.render();
    this.updateControls();
    this.redrawAll();
    this.announce(this.cursors.on ? t('cursor.onNote') : t('cursor.offNote'));
  }

  // A click places cursor 1, the next one cursor 2, then 1 again; Shift+click always 2.
  placeCursor(time, which) {
    if (!Number.isFinite(time)) return;
    const c = this.cursors;
    const name = which ?? c.active;
    c[name] = time;
    if (!which) c.active = name === 'a' ? 'b' : 'a';
    this.renderReadout();
    this.analysis?.render();
    this.updateControls();
    this.redrawAll();
  }

  // --- Selection -----------------------------------------------------------------------
  selectRange(g, t0, t1) {
    if (!this.selection || !Number.isFinite(t0) || !Number.isFinite(t1) || t0 === t1) return;
    const lo = Math.max(0, Math.min(t0, t1));
    const hi = Math.max(t0, t1);
    this.selection.set(g.key(), { t0: lo, t1: hi });
    const z = this.timeZero || 0;
    const s = (v) => num(v - z, { minimumFractionDigits: 3, maximumFractionDigits: 3 });
    this.announce(t('analysis.selected', { title: g.title(), t0: s(lo), t1: s(hi) }));
  }

  // The range between the two cursors, on one graph or on every graph.
  selectFromCursors(g = null) {
    const c = this.cursors;
    if (!(c.on && Number.isFinite(c.a) && Number.isFinite(c.b) && c.a !== c.b)) {
      this.notify(t('analysis.needCursors'), 'warning');
      return;
    }
    for (const x of g ? [g] : this.graphs.values()) this.selectRange(x, c.a, c.b);
  }

  clearSelection() {
    this.selection?.clear();
    this.announce(t('analysis.cleared'));
  }

  redrawAll() {
    for (const g of this.graphs.values()) g.plot?.redraw(false, false);
  }

  renderReadout() {
    if (!this.cursors.on) return;
    const c = this.cursors;
    const rows = [];
    for (const g of this.graphs.values()) {
      if (!g.series) continue;
      const r = cursorReadout(g.series, c.a, c.b);
      g.axes.forEach((a, i) => {
        if (!g.series.values[i]) return;
        rows.push(el('tr', {},
          el('th', { scope: 'row' }, `${g.title()} · ${a.label}`),
          el('td', {}, fmt(r.a?.[i]), ' ', a.unit),
          el('td', {}, fmt(r.b?.[i]), ' ', a.unit),
          el('td', {}, fmt(r.diff?.[i]), ' ', a.unit),
          el('td', {}, r.rate ? `${fmt(r.rate[i])} ${a.unit ? `${a.unit}/s` : '/s'}` : '—')));
      });
    }
    const time = (v) => (Number.isFinite(v) ? `${num(v, { minimumFractionDigits: 3, maximumFractionDigits: 3 })} s` : '—');
    const dt = Number.isFinite(c.a) && Number.isFinite(c.b) ? time(c.b - c.a) : '—';
    fill(this.readout,
      el('p', { class: 'detail' }, t('cursor.help')),
      el('table', { class: 'readout-table' },
        el('caption', { class: 'sr-only' }, t('cursor.caption')),
        el('thead', {}, el('tr', {},
          el('th', { scope: 'col' }, t('cursor.quantity')),
          el('th', { scope: 'col' }, el('span', { class: 'cursor-a' }, '▮ '), t('cursor.one'), ` · ${time(c.a - (this.timeZero || 0))}`),
          el('th', { scope: 'col' }, el('span', { class: 'cursor-b' }, '▮ '), t('cursor.two'), ` · ${time(c.b - (this.timeZero || 0))}`),
          el('th', { scope: 'col' }, t('cursor.diff'), ` · Δt ${dt}`),
          el('th', { scope: 'col' }, t('cursor.rate')))),
        el('tbody', {}, rows.length ? rows : el('tr', {}, el('td', { colspan: 5 }, t('cursor.noData'))))));
  }

  // --- Overlays of earlier runs --------------------------------------------------------
  overlaysFor(g) {
    return this.overlays.get(g.key()) ?? [];
  }

  // Kept runs drawn over the shown run: a run is not drawn over itself.
  drawnOverlays(g) {
    return this.overlaysFor(g).filter((o) => o.runId !== this.runId);
  }

  async keepOverlay(g) {
    if (this.mode !== 'review') return;
    try {
      const total = this.total > 0 ? this.total : 1;
      const series = await g.fetch(0, -1, queryRate(OVERLAY_POINTS, total, g.rate));
      if (!series.length) { this.notify(t('overlay.empty'), 'warning'); return; }
      const list = this.overlays.get(g.key()) ?? [];
      const started = this.store.runStart();
      const id = ++this.overlaySeq;
      const colours = palette();
      list.push({
        id,
        runId: this.runId,
        label: this.runName?.(this.runId) || (started ? t('overlay.label', { when: formatDate(started, { short: true }) }) : t('overlay.labelN', { n: id })),
        colour: colours[(g.axes.length + list.length) % colours.length],
        axes: g.axes.slice(),
        data: thinSeries({ ...series, values: series.values.slice(0, g.axes.length) }, OVERLAY_POINTS),
      });
      this.overlays.set(g.key(), list);
      g.renderActions();
      g.rebuild();
      this.announce(t('overlay.kept', { title: g.title() }));
    } catch (err) {
      this.notify(err.message, 'error');
    }
  }

  removeOverlay(g, id) {
    const list = this.overlaysFor(g).filter((o) => o.id !== id);
    if (list.length) this.overlays.set(g.key(), list); else this.overlays.delete(g.key());
    g.renderActions();
    g.rebuild();
    this.announce(t('overlay.removed'));
    g.actions.querySelector('button')?.focus();
  }

  // --- Lost frames ---------------------------------------------------------------------
  setLost(map) {
    this.lost = map;
    for (const g of this.graphs.values()) g.setLost(map.get(g.key()));
    const byRemote = new Map();
    for (const v of map.values()) byRemote.set(v.remote, Math.max(byRemote.get(v.remote) ?? 0, v.lost));
    for (const [remote, lost] of byRemote) {
      const scan = this.gapScan.get(remote);
      if (lost > 0 && (!scan || scan.lost !== lost)) this.scanGaps(remote, false);
    }
  }

  // Frame averages of one sensor paired with itself: one point per received frame.
  async scanGaps(remote, force) {
    const lostNow = Math.max(0, ...[...this.lost.values()].filter((v) => v.remote === remote).map((v) => v.lost));
    if (lostNow === 0) { this.gaps.delete(remote); return; }
    const scan = this.gapScan.get(remote) ?? { at: 0, lost: -1, busy: false };
    this.gapScan.set(remote, scan);
    if (scan.busy) return;
    if (!force && this.mode === 'live' && performance.now() - scan.at < GAP_SCAN_MS) return;
    const r = (this.remotes ?? []).find((x) => x.remote === remote);
    const probe = r && gapProbeSensor(r.sensors, (type) => nominalRate(r.config, type));
    if (!probe) return;
    scan.busy = true;
    scan.at = performance.now();
    try {
      const { doc, data } = await this.client.request('korvex_getSensorData2',
        [remote, probe.sensorType, probe.sensorType, 0, -1]);
      const paired = twoSensorSeries(doc, data);
      if (paired) {
        this.gaps.set(remote, findGaps(paired.time));
        scan.lost = lostNow;
        this.redrawAll();
      }
    } catch (err) {
      // The marks are an aid; the counts stay on screen.
    } finally {
      scan.busy = false;
    }
  }

  gapMarksFor(g) {
    const gaps = this.gaps.get(g.remote);
    const info = this.lost.get(g.key());
    if (!gaps?.length || !info) return [];
    // The newest sample time of this sensor, live or reviewed.
    const last = this.mode === 'review' && this.total > 0 ? this.total : g.lastTime;
    return gapMarks(gaps, { lastTime: last, packets: info.packets });
  }

  // --- Time zero of a triggered run (see zeroedTimeAxis) ---------------------------------
  // zero: the trigger moment in run time (0: none); preTrigger: seconds shown before it.
  setTimeZero(zero = 0, preTrigger = 0) {
    const z = Number.isFinite(zero) && zero > 0 ? zero : 0;
    const changed = z !== (this.timeZero || 0) || preTrigger !== this.preTrigger;
    this.timeZero = z;
    this.preTrigger = Number.isFinite(preTrigger) && preTrigger > 0 ? preTrigger : 0;
    if (!changed) return;
    this.rebuildAll();
    if (this.mode === 'review') this.showWholeRun();
  }

  // Where a whole run begins to be shown: at the pre-trigger window of a triggered run.
  firstShownTime() {
    return this.timeZero ? Math.max(0, this.timeZero - this.preTrigger) : 0;
  }
  // --- end of time zero ---------------------------------------------------------------

  // --- Tare and wheel reset ------------------------------------------------------------
  // Tare: the force probe reads zero over the stretch between the two cursors when both
  // are set, else over the last half second. After a run the stored data are converted
  // again with the new zero; while recording the new zero applies from now on.
  async tare(g) {
    const c = this.cursors;
    let start = -TARE_SECONDS;
    let end = -1;
    if (c.on && Number.isFinite(c.a) && Number.isFinite(c.b) && c.a !== c.b) {
      start = Math.min(c.a, c.b);
      end = Math.max(c.a, c.b);
    }
    try {
      await this.client.request('korvex_resetSensorOffset', [g.remote, FORCE, start, end]);
      if (this.mode !== 'live') await this.client.request('korvex_recalibrateSensor', [g.remote, FORCE]);
      this.announce(t('graph.tareDone', { remote: g.remote }));
      this.notify(t('graph.tareDone', { remote: g.remote }), 'info');
    } catch (err) {
      this.notify(err.message, 'error');
    }
  }

  async resetWheel(g) {
    try {
      await this.client.request('korvex_resetSensorOffset', [g.remote, WHEEL, 0, 0]);
      this.announce(t('graph.wheelDone', { remote: g.remote }));
      this.notify(t('graph.wheelDone', { remote: g.remote }), 'info');
    } catch (err) {
      this.notify(err.message, 'error');
    }
  }
}

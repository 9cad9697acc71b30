// Live and review graphs: one uPlot chart per sensor of the current run.
import uPlot from '../../lib/uPlot.esm.js';
import { el, fill } from '../ui.js';
import { singleSensorSeries, mergeAxisSeries } from '../layouts.js';
import { SENSORS, axisDescriptions, nominalRate, sensorTitle } from '../sensors.js';
import { axisPlan, queryRate, liveRange, zoomRange, panRange, clampRange } from '../graphquery.js';

// Colour-blind-safe palette, dark enough to read on a projector.
const COLOURS = ['#0068a8', '#c24f00', '#00805c', '#b0488f', '#8c6d00', '#3a8fc4', '#5a5a5a', '#7a3fb0'];
const WINDOWS = [5, 10, 20, 30, 60, 120];
const REVIEW_PROBE_RATE = 10; // Hz, for the first look at a whole run of unknown length

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
    this.status = el('span', { class: 'graph-status' });
    this.box = el('div', { class: 'graph-plot' });
    const leadChoice = SENSORS[sensorType]?.leads ? el('select', {
      'aria-label': 'what to show',
      onchange: (e) => this.showLeads(e.target.value === 'leads'),
    }, el('option', { value: 'channels' }, 'channels'), el('option', { value: 'leads' }, 'derived leads')) : null;
    this.root = el('section', { class: 'graph', 'aria-label': this.title() },
      el('header', { class: 'graph-head' },
        el('h3', {}, this.title()),
        leadChoice,
        this.status),
      this.box);
    this.plot = null;
  }

  setPlan(leads) {
    this.plan = axisPlan(this.sensorType, { leads });
    this.axes = this.plan.length > 1 || this.plan[0] !== -1
      ? this.plan.map((axis) => axisDescriptions(this.sensorType, axis, 1)[0])
      : axisDescriptions(this.sensorType, -1, this.sampleSizeGuess());
  }

  showLeads(leads) {
    this.setPlan(leads);
    if (!this.plot) return;
    const { width, height } = this.plot;
    this.plot.destroy();
    this.plot = null;
    this.build(width, height);
    if (this.area.canZoom()) this.area.refetch(this);
  }

  sampleSizeGuess() {
    return this.area.sampleSizes.get(`${this.remote}:${this.sensorType}`) ?? 1;
  }

  title() {
    return `Remote ${this.remote} · ${sensorTitle(this.sensorType)}`;
  }

  key() {
    return `${this.remote}:${this.sensorType}`;
  }

  build(width, height) {
    const units = [...new Set(this.axes.map((a) => a.unit))];
    const scales = { x: { time: false, auto: false } };
    for (const u of units) scales[u || 'value'] = { auto: true };
    const axes = [{ label: 'time (s)', size: 44, labelSize: 26 }];
    units.forEach((u, i) => {
      axes.push({
        scale: u || 'value', label: u || 'value', side: i % 2 === 0 ? 3 : 1,
        grid: { show: i === 0 }, size: 64, labelSize: 26,
      });
    });
    const series = [{ label: 'time (s)', value: (u, v) => (v == null ? '—' : v.toFixed(3)) }];
    this.axes.forEach((a, i) => {
      series.push({
        label: a.unit ? `${a.label} (${a.unit})` : a.label,
        scale: a.unit || 'value',
        stroke: COLOURS[i % COLOURS.length],
        width: 2,
        points: { show: false },
        value: (u, v) => (v == null ? '—' : Math.abs(v) >= 100 ? v.toFixed(1) : v.toPrecision(4)),
      });
    });
    const area = this.area;
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
        ready: [(u) => {
          u.over.addEventListener('wheel', (e) => {
            if (!area.canZoom()) return;
            e.preventDefault();
            const at = u.posToVal(e.offsetX, 'x');
            area.zoomBy(e.deltaY < 0 ? 0.8 : 1.25, at);
          }, { passive: false });
        }],
      },
    };
    const empty = [new Float32Array(0), ...this.axes.map(() => new Float32Array(0))];
    this.plot = new uPlot(opts, empty, this.box);
  }

  resize(width, height) {
    if (!this.plot) this.build(width, height);
    else this.plot.setSize({ width, height });
  }

  pixels() {
    return this.plot ? this.plot.bbox.width / (window.devicePixelRatio || 1) : 600;
  }

  // One refresh: the window [start, end] (negative start/end as the library reads them).
  async fetch(start, end, rate) {
    const client = this.area.client;
    const parts = await Promise.all(this.plan.map((axis) => client.request('korvex_getSensorData1',
      [this.remote, this.sensorType, start, end, false, axis, rate])
      .then(({ doc, data }) => singleSensorSeries(doc, data))));
    const series = parts.length === 1 ? parts[0] : mergeAxisSeries(parts);
    if (!series) throw new Error(`${this.title()}: this sensor is not in the run`);
    return series;
  }

  draw(series, range) {
    if (!this.plot) return;
    const cols = [series.time];
    for (let i = 0; i < this.axes.length; i++) cols.push(series.values[i] ?? new Float32Array(series.length));
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
    this.status.textContent = series.length ? '' : 'no data yet';
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
  constructor(root, client, store) {
    this.root = root;
    this.client = client;
    this.store = store;
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
    window.korvexGraphStats = this.stats;

    this.fpsLabel = el('span', { class: 'fps', title: 'graph refreshes per second' });
    this.modeLabel = el('span', { class: 'graph-mode' });
    this.windowSelect = el('select', {
      'aria-label': 'seconds shown while recording',
      onchange: () => { this.windowSeconds = Number(this.windowSelect.value); },
    }, WINDOWS.map((s) => el('option', { value: s, selected: s === this.windowSeconds }, `last ${s} s`)));
    this.pauseButton = el('button', { class: 'btn', type: 'button', onclick: () => this.togglePause() }, 'Pause view');
    const nav = (label, title, fn) => el('button', { class: 'btn btn-small', type: 'button', title, onclick: fn }, label);
    this.navButtons = [
      nav('−', 'zoom out', () => this.zoomBy(1.5)),
      nav('+', 'zoom in', () => this.zoomBy(1 / 1.5)),
      nav('◀', 'move left', () => this.panBy(-0.5)),
      nav('▶', 'move right', () => this.panBy(0.5)),
      nav('Whole run', 'show the whole run', () => this.showWholeRun()),
    ];
    this.grid = el('div', { class: 'graph-grid' });
    this.empty = el('p', { class: 'placeholder' }, 'Choose a configuration for a connected remote: its sensors appear here.');
    this.toolbar = el('div', { class: 'graph-toolbar' },
      this.modeLabel, this.windowSelect, this.pauseButton, ...this.navButtons, this.fpsLabel);
    fill(root, this.toolbar, this.empty, this.grid);

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
    for (const g of this.graphs.values()) {
      this.visibility.unobserve(g.root);
      g.destroy();
    }
    this.graphs.clear();
    for (const item of list) {
      const g = new SensorGraph(this, item);
      this.graphs.set(g.key(), g);
      g.root.dataset.key = g.key();
      this.grid.append(g.root);
      this.visibility.observe(g.root);
    }
    this.empty.hidden = list.length > 0;
    this.layout();
    return true;
  }

  layout() {
    const n = this.graphs.size;
    if (!n) return;
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
    if (mode === 'review') this.showWholeRun();
  }

  updateControls() {
    const live = this.mode === 'live';
    this.modeLabel.textContent = live ? (this.paused ? 'Paused' : 'Live') : this.mode === 'review' ? 'Run' : '';
    this.modeLabel.className = `graph-mode ${live && !this.paused ? 'graph-live' : ''}`;
    this.windowSelect.hidden = !live;
    this.pauseButton.hidden = !live;
    this.pauseButton.textContent = this.paused ? 'Resume view' : 'Pause view';
    for (const b of this.navButtons) {
      b.disabled = !this.canZoom();
      b.hidden = this.mode === 'idle';
    }
  }

  canZoom() {
    return this.mode === 'review' || (this.mode === 'live' && this.paused);
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
      this.fpsLabel.textContent = this.mode === 'live' && !this.paused ? `${this.stats.fps} refreshes/s` : '';
    }
    if (this.mode !== 'live' || this.paused || document.hidden) return;
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
    this.setView({ min: 0, max: this.total > 0 ? this.total : this.windowSeconds });
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

  // Re-queries one graph for the current view; a request made while one is running is
  // folded into one more request with the newest view.
  refetch(g) {
    if (g.busy) { g.again = true; return; }
    g.busy = true;
    const view = this.view;
    g.fetch(view.min, view.max, queryRate(g.pixels(), view.max - view.min, g.rate))
      .then((series) => g.draw(series, view))
      .catch((err) => g.showError(err))
      .finally(() => {
        g.busy = false;
        if (g.again) { g.again = false; this.refetch(g); }
      });
  }
}

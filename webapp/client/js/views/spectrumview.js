// Frequency content of one value of a sensor: the amplitude spectrum of the graph's
// selection of that sensor, or of the last seconds of the run when nothing is selected,
// read at the sensor's own rate (averaging would filter out the high frequencies).
import uPlot from '../../lib/uPlot.esm.js';
import { el, fill } from '../ui.js';
import { refillRemotes } from './remotechoice.js';
import { singleSensorSeries } from '../layouts.js';
import { SENSORS, axisDescriptions, sensorTitle, nominalRate } from '../sensors.js';
import { selectionKey } from '../selection.js';
import { t, num } from '../i18n.js';
import { palette, themeColour } from '../theme.js';

const SPANS = [1, 2, 5, 10, 30]; // seconds analysed when there is no selection
const MAX_SAMPLES = 1 << 18; // samples analysed at most; a longer selection is cut to its start

export class SpectrumView {
  constructor(root, client, store, { notify = () => {}, selection = null } = {}) {
    this.root = root;
    this.client = client;
    this.store = store;
    this.notify = notify;
    this.selection = selection;
    this.active = false;
    this.busy = false;
    this.again = false;
    this.result = null; // { spectrum, unit, label }
    this.span = 2;
    this.remoteSelect = el('select', { id: 'spectrum-remote', onchange: () => { this.fillSensors(); this.refresh(); } });
    this.sensorSelect = el('select', { id: 'spectrum-sensor', onchange: () => { this.fillAxes(); this.refresh(); } });
    this.axisSelect = el('select', { id: 'spectrum-axis', onchange: () => this.refresh() });
    this.spanSelect = el('select', {
      id: 'spectrum-span',
      onchange: () => { this.span = Number(this.spanSelect.value); this.refresh(); },
    }, SPANS.map((s) => el('option', { value: s, selected: s === this.span }, t('graph.lastSeconds', { s }))));
    const field = (id, label, control) => el('label', { for: id, class: 'xy-field' }, el('span', {}, label), control);
    this.controls = el('div', { class: 'xy-controls' },
      field('spectrum-remote', t('xy.remote'), this.remoteSelect),
      field('spectrum-sensor', t('table.sensor'), this.sensorSelect),
      field('spectrum-axis', t('spectrum.axis'), this.axisSelect),
      field('spectrum-span', t('spectrum.span'), this.spanSelect),
      el('button', { class: 'btn btn-small', type: 'button', onclick: () => this.refresh() }, t('xy.refresh')));
    this.dominant = el('p', { class: 'spectrum-dominant', 'aria-live': 'polite' });
    this.summary = el('p', { class: 'detail' });
    this.box = el('div', { class: 'spectrum-plot', role: 'img', 'aria-label': t('spectrum.plotLabel') });
    this.placeholder = el('p', { class: 'placeholder' }, t('spectrum.empty'));
    fill(root, el('h2', { class: 'sr-only' }, t('tab.spectrum')), this.controls, this.placeholder, this.dominant, this.box, this.summary);
    store.addEventListener('change', (e) => {
      if (e.detail === 'stack') this.fillRemotes();
      if (e.detail === 'recording' && !this.store.recording) this.refresh();
    });
    selection?.addEventListener('change', (e) => {
      const c = this.chosen();
      if (c && e.detail.key === selectionKey(c.remote, c.sensorType)) this.refresh();
    });
    new ResizeObserver(() => this.draw()).observe(root);
    this.fillRemotes();
  }

  setActive(on) {
    this.active = on;
    if (on) this.refresh();
  }

  setTimeZero(zero = 0) {
    if (zero === this.timeZero) return;
    this.timeZero = zero;
    this.refresh();
  }

  fillRemotes() {
    if (!refillRemotes(this, this.store.runRemotes())) return;
    this.fillSensors();
  }

  remoteInfo() {
    return this.store.runRemotes().find((x) => x.remote === Number(this.remoteSelect.value)) ?? null;
  }

  fillSensors() {
    const r = this.remoteInfo();
    const keep = Number(this.sensorSelect.value);
    // The microphone first when the remote has one: it is what this view is mostly for.
    const sensors = [...(r?.sensors ?? [])].sort((a, b) => (b.sensorType === 6) - (a.sensorType === 6));
    fill(this.sensorSelect, sensors.map((s) => el('option', { value: s.sensorType, selected: s.sensorType === keep },
      sensorTitle(s.sensorType))));
    this.placeholder.hidden = !!r;
    this.box.hidden = !r;
    this.fillAxes();
  }

  fillAxes() {
    const s = this.remoteInfo()?.sensors.find((x) => x.sensorType === Number(this.sensorSelect.value));
    const keep = this.axisSelect.value;
    const lines = s ? SENSORS[s.sensorType]?.lines : 0;
    const axes = !s ? [] : lines ? Array.from({ length: lines }, (_, i) => axisDescriptions(s.sensorType, i, 1)[0])
      : axisDescriptions(s.sensorType, -1, s.sampleSize);
    fill(this.axisSelect, axes.map((a, i) => el('option', { value: i, selected: String(i) === keep },
      a.unit ? `${a.label} (${a.unit})` : a.label)));
  }

  chosen() {
    const r = this.remoteInfo();
    const s = r?.sensors.find((x) => x.sensorType === Number(this.sensorSelect.value));
    if (!s) return null;
    const axis = Number(this.axisSelect.value) || 0;
    const lines = SENSORS[s.sensorType]?.lines;
    const desc = lines ? axisDescriptions(s.sensorType, axis, 1)[0] : axisDescriptions(s.sensorType, -1, s.sampleSize)[axis];
    return {
      remote: r.remote, sensorType: s.sensorType, axis, lines: !!lines, desc,
      rate: nominalRate(r.config, s.sensorType),
    };
  }

  // The window analysed: the selection, else the last seconds; cut to MAX_SAMPLES.
  window(c) {
    const range = this.selection?.get(selectionKey(c.remote, c.sensorType));
    if (!range) return { start: -this.span, end: -1, selected: false, cut: false };
    let { t0, t1 } = range;
    const cut = c.rate > 0 && (t1 - t0) * c.rate > MAX_SAMPLES;
    if (cut) t1 = t0 + MAX_SAMPLES / c.rate;
    return { start: t0, end: t1, selected: true, cut };
  }

  async refresh() {
    if (!this.active) return;
    if (this.busy) { this.again = true; return; }
    const c = this.chosen();
    if (!c) { this.result = null; this.dominant.textContent = ''; this.summary.textContent = ''; this.draw(); return; }
    this.busy = true;
    try {
      const { amplitudeSpectrum } = await import('../spectrum.js');
      const w = this.window(c);
      const { doc, data } = await this.client.request('korvex_getSensorData1',
        [c.remote, c.sensorType, w.start, w.end, false, c.lines ? c.axis : -1, -1]);
      const series = singleSensorSeries(doc, data);
      if (!series) throw new Error(t('table.notInRun'));
      const values = series.values[c.lines ? 0 : c.axis];
      const n = series.length;
      const t0 = n ? series.time[0] : 0;
      const t1 = n ? series.time[n - 1] : 0;
      const spectrum = values ? amplitudeSpectrum(series.time, values, t0, t1, { maxPoints: MAX_SAMPLES + 1 }) : null;
      this.result = spectrum ? { spectrum, c } : null;
      if (!spectrum) {
        this.dominant.textContent = t('spectrum.tooFew');
        this.summary.textContent = '';
      } else {
        const d = spectrum.dominant;
        this.dominant.textContent = d && Number.isFinite(d.freq)
          ? t('spectrum.dominant', {
            f: num(d.freq, { maximumFractionDigits: d.freq < 10 ? 2 : 1 }),
            a: num(d.amp, { maximumSignificantDigits: 3 }), unit: c.desc?.unit ?? '',
          })
          : t('spectrum.noPeak');
        const from = num(t0 - (this.timeZero || 0), { maximumFractionDigits: 2 });
        const to = num(t1 - (this.timeZero || 0), { maximumFractionDigits: 2 });
        this.summary.textContent = [
          t(w.selected ? 'spectrum.ofSelection' : 'spectrum.ofLast', { from, to, n: num(spectrum.n), rate: num(Math.round(spectrum.rate)) }),
          w.cut ? t('spectrum.cut', { n: num(MAX_SAMPLES) }) : '',
        ].join(' ').trim();
      }
    } catch (err) {
      this.result = null;
      this.dominant.textContent = '';
      this.summary.textContent = err.message;
    } finally {
      this.busy = false;
    }
    this.draw();
    if (this.again) { this.again = false; this.refresh(); }
  }

  build(width, height) {
    const ink = themeColour('--ink');
    const grid = themeColour('--grid');
    const axis = (extra) => ({ stroke: ink, grid: { stroke: grid, width: 1 }, ticks: { stroke: grid }, ...extra });
    const unit = this.result?.c.desc?.unit;
    this.plot?.destroy();
    this.builtFor = `${unit}|${ink}`;
    this.plot = new uPlot({
      width, height,
      scales: { x: { time: false } },
      axes: [axis({ label: t('spectrum.freq'), size: 44, labelSize: 26 }),
        axis({ label: unit ? t('spectrum.ampUnit', { unit }) : t('spectrum.amp'), size: 64, labelSize: 26 })],
      series: [
        { label: t('spectrum.freq'), value: (u, v) => (v == null ? '—' : num(v, { maximumFractionDigits: 1 })) },
        { label: t('spectrum.amp'), stroke: palette()[0], width: 1.5, points: { show: false }, value: (u, v) => (v == null ? '—' : num(v, { maximumSignificantDigits: 3 })) },
      ],
      hooks: { draw: [(u) => this.markDominant(u)] },
    }, [[], []], this.box);
  }

  markDominant(u) {
    const d = this.result?.spectrum.dominant;
    if (!d || !Number.isFinite(d.freq)) return;
    const dpr = window.devicePixelRatio || 1;
    const x = Math.round(u.valToPos(d.freq, 'x', true));
    const { top, height } = u.bbox;
    const ctx = u.ctx;
    ctx.save();
    ctx.strokeStyle = themeColour('--cursor-b');
    ctx.fillStyle = ctx.strokeStyle;
    ctx.lineWidth = 2 * dpr;
    ctx.setLineDash([4 * dpr, 3 * dpr]);
    ctx.beginPath();
    ctx.moveTo(x, top);
    ctx.lineTo(x, top + height);
    ctx.stroke();
    ctx.font = `${Math.round(13 * dpr)}px sans-serif`;
    ctx.fillText(`${num(d.freq, { maximumFractionDigits: 1 })} Hz`, x + 4 * dpr, top + 14 * dpr);
    ctx.restore();
  }

  draw() {
    if (this.box.hidden || !this.root.offsetParent) return;
    const width = Math.max(300, this.root.clientWidth - 8);
    const height = Math.max(240, Math.min(width * 0.5, window.innerHeight - this.controls.offsetHeight - 220));
    const unit = this.result?.c.desc?.unit;
    if (!this.plot || this.builtFor !== `${unit}|${themeColour('--ink')}`) this.build(width, height);
    else this.plot.setSize({ width, height });
    const s = this.result?.spectrum;
    this.plot.setData(s ? [s.freqs, s.amps] : [[], []]);
  }
}

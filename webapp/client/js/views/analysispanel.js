// Analysis of the range selected on a graph: statistics, area and curve fits per plotted
// value, computed on the sensor's stored samples of the range (every sample, not the
// thinned data drawn), and the slope at cursor 1.
import { el, fill } from '../ui.js';
import { singleSensorSeries, mergeAxisSeries } from '../layouts.js';
import { selectionKey } from '../selection.js';
import { rangeStats, slopeAt, areaUnder, slopeUnit, areaUnit, indexRange } from '../stats.js';
import { FIT_MODELS, formatEquation, evaluateFit } from '../fits.js';
import { fitInWorker } from '../fitclient.js';
import { bigNumber } from '../analysis.js';
import { t, num } from '../i18n.js';

const MAX_SAMPLES = 200_000; // samples read at most; a longer selection is cut to its start
const FIT_POINTS = 20_000;
const TANGENT_POINTS = 5; // samples either side of the cursor (at least) for the slope

function fmt(v) {
  if (v == null || !Number.isFinite(v)) return '—';
  return Math.abs(v) >= 100 ? num(v, { maximumFractionDigits: 1 }) : bigNumber(v, 4);
}

function withUnit(v, unit) {
  return unit ? `${fmt(v)} ${unit}` : fmt(v);
}

// Every stored sample of one graph's sensor between t0 and t1 (run seconds).
export async function readFullRate(client, g, t0, t1) {
  const parts = await Promise.all(g.plan.map((axis) => client.request('korvex_getSensorData1',
    [g.remote, g.sensorType, t0, t1, false, axis, -1])
    .then(({ doc, data }) => singleSensorSeries(doc, data))));
  const series = parts.length === 1 ? parts[0] : mergeAxisSeries(parts);
  if (!series) throw new Error(t('graph.notInRun', { title: g.title() }));
  return series;
}

// Window (s) for the slope at a point: a few samples either side at the sensor's rate,
// at least 1 % of the shown range so that noise does not decide it.
export function tangentHalfWidth(rate, span) {
  const bySamples = rate > 0 ? TANGENT_POINTS / rate : 0.05;
  return Math.max(bySamples, Number.isFinite(span) ? span / 100 : 0);
}

export class AnalysisPanel {
  constructor(area, client, selection) {
    this.area = area;
    this.client = client;
    this.selection = selection;
    this.data = new Map(); // graph key -> { range, series, cut } (full rate)
    this.fits = new Map(); // graph key -> { axis, result } | { busy }
    this.root = el('div', { class: 'analysis-panel', 'aria-live': 'polite', 'aria-label': t('analysis.panel'), role: 'region', hidden: true });
    selection?.addEventListener('change', (e) => this.selectionChanged(e.detail.key));
  }

  graphFor(key) {
    return this.area.graphs.get(key) ?? null;
  }

  async selectionChanged(key) {
    const g = this.graphFor(key);
    this.fits.delete(key);
    const range = this.selection.get(key);
    if (!g || !range) {
      this.data.delete(key);
      this.render();
      this.area.redrawAll();
      return;
    }
    let { t0, t1 } = range;
    const cut = g.rate > 0 && (t1 - t0) * g.rate > MAX_SAMPLES;
    if (cut) t1 = t0 + MAX_SAMPLES / g.rate;
    this.data.set(key, { range, busy: true });
    this.render();
    this.area.redrawAll();
    try {
      const series = await readFullRate(this.client, g, t0, t1);
      if (this.selection.get(key) !== range) return;
      this.data.set(key, { range, series, cut });
    } catch (err) {
      if (this.selection.get(key) !== range) return;
      this.data.set(key, { range, error: err.message ?? String(err) });
    }
    this.render();
    this.area.redrawAll();
  }

  // Slope of one value at time tc on the full-rate data when the selection holds tc, else
  // on the data drawn.
  slope(g, i, tc) {
    const d = this.data.get(g.key());
    const span = this.area.shownRange(g);
    const hw = tangentHalfWidth(g.rate, span.max - span.min);
    const s = d?.series && tc >= d.range.t0 && tc <= d.range.t1 ? d.series : g.series;
    if (!s?.values[i]) return null;
    return slopeAt(s.time, s.values[i], tc, hw);
  }

  // Tangent lines at cursor 1 for the graph, for the draw hook: [{ axis, fit }].
  tangents(g) {
    const c = this.area.cursors;
    if (!c.on || !Number.isFinite(c.a)) return [];
    const out = [];
    g.axes.forEach((a, i) => {
      const s = this.slope(g, i, c.a);
      if (s) out.push({ axis: i, unit: a.unit, at: c.a, ...s });
    });
    return out;
  }

  async fit(g, axis, model) {
    const key = g.key();
    const d = this.data.get(key);
    if (!d?.series?.values[axis]) return;
    this.fits.set(key, { axis, model, busy: true });
    this.render();
    // The read may reach a sample either side of the range; the fit takes the range only,
    // in the times the graph shows (from a triggered run's time zero).
    const [first, last] = indexRange(d.series.time, d.range.t0, d.range.t1);
    const end = Math.max(first, last + 1);
    const zero = this.area.timeZero || 0;
    const result = await fitInWorker(model, d.series.time.slice(first, end).map((x) => x - zero),
      d.series.values[axis].slice(first, end), { maxPoints: FIT_POINTS });
    if (this.data.get(key) !== d) return;
    this.fits.set(key, { axis, model, result, zero });
    this.render();
    this.area.redrawAll();
    this.area.announce(result.converged ? t('analysis.fitDone') : t(`analysis.fail.${result.reason}`));
  }

  // The fitted curve of a graph for the draw hook, or null: value(run time).
  drawnFit(g) {
    const f = this.fits.get(g.key());
    const d = this.data.get(g.key());
    if (!f?.result?.converged || !d) return null;
    return { axis: f.axis, range: d.range, value: (tt) => evaluateFit(f.result, tt - f.zero) };
  }

  render() {
    const z = this.area.timeZero || 0;
    const time = (v) => `${num(v - z, { minimumFractionDigits: 3, maximumFractionDigits: 3 })} s`;
    const blocks = [];
    for (const g of this.area.graphs.values()) {
      const d = this.data.get(g.key());
      if (!d) continue;
      const head = el('h4', {}, t('analysis.heading', { title: g.title(), t0: time(d.range.t0), t1: time(d.range.t1) }));
      const clear = el('button', {
        class: 'btn btn-small', type: 'button', 'aria-label': t('analysis.clearFor', { title: g.title() }),
        onclick: () => this.selection.set(g.key(), null),
      }, t('analysis.clear'));
      if (d.busy || d.error) {
        blocks.push(el('section', { class: 'analysis-block' }, head, clear,
          el('p', { class: d.error ? 'graph-error' : 'detail' }, d.error ?? t('analysis.reading'))));
        continue;
      }
      const s = d.series;
      const rows = [];
      g.axes.forEach((a, i) => {
        if (!s.values[i]) return;
        const st = rangeStats(s.time, s.values[i], d.range.t0, d.range.t1);
        const area = areaUnder(s.time, s.values[i], d.range.t0, d.range.t1);
        const aUnit = a.unit ? areaUnit(a.unit) : 's';
        const tan = this.area.cursors.on && Number.isFinite(this.area.cursors.a) ? this.slope(g, i, this.area.cursors.a) : null;
        rows.push(el('tr', { 'data-axis': String(i) },
          el('th', { scope: 'row' }, a.label),
          el('td', { class: 'stat-n' }, num(st.n)),
          el('td', { class: 'stat-min' }, withUnit(st.min, a.unit)),
          el('td', { class: 'stat-max' }, withUnit(st.max, a.unit)),
          el('td', { class: 'stat-mean' }, withUnit(st.mean, a.unit)),
          el('td', { class: 'stat-sd' }, withUnit(st.sd, a.unit)),
          el('td', { class: 'stat-area', title: a.unit === 'N' ? t('analysis.impulse') : t('analysis.area') },
            withUnit(area, aUnit)),
          el('td', { class: 'stat-slope' }, tan ? withUnit(tan.slope, slopeUnit(a.unit)) : '—')));
      });
      const duration = rangeStats(s.time, s.values[0] ?? s.time, d.range.t0, d.range.t1).duration;
      const table = el('table', { class: 'readout-table analysis-table' },
        el('caption', { class: 'sr-only' }, t('analysis.caption', { title: g.title() })),
        el('thead', {}, el('tr', {},
          el('th', { scope: 'col' }, t('cursor.quantity')),
          el('th', { scope: 'col' }, t('analysis.n')),
          el('th', { scope: 'col' }, t('analysis.min')),
          el('th', { scope: 'col' }, t('analysis.max')),
          el('th', { scope: 'col' }, t('analysis.mean')),
          el('th', { scope: 'col' }, t('analysis.sd')),
          el('th', { scope: 'col' }, g.axes.some((a) => a.unit === 'N') ? t('analysis.impulse') : t('analysis.area')),
          el('th', { scope: 'col' }, t('analysis.slope')))),
        el('tbody', {}, rows));
      blocks.push(el('section', { class: 'analysis-block', 'data-key': g.key() },
        head, clear,
        el('p', { class: 'detail analysis-duration' }, t('analysis.duration', { s: fmt(duration) }),
          d.cut ? ` · ${t('analysis.cut', { n: num(MAX_SAMPLES) })}` : ''),
        table, this.fitControls(g)));
    }
    this.root.hidden = blocks.length === 0;
    fill(this.root, blocks);
  }

  fitControls(g) {
    const key = g.key();
    const f = this.fits.get(key);
    const axisSel = el('select', { class: 'fit-axis', 'aria-label': t('analysis.fitValue') },
      g.axes.map((a, i) => el('option', { value: i, selected: f?.axis === i }, a.label)));
    const modelSel = el('select', { class: 'fit-model', 'aria-label': t('analysis.fitModel') },
      FIT_MODELS.map((m) => el('option', { value: m.id, selected: f?.model === m.id }, `${t(`fit.${m.id}`)} · ${m.equation}`)));
    const button = el('button', {
      class: 'btn btn-small fit-button', type: 'button', disabled: !!f?.busy, 'aria-busy': String(!!f?.busy),
      onclick: () => this.fit(g, Number(axisSel.value), modelSel.value),
    }, f?.busy ? t('analysis.fitting') : t('analysis.fit'));
    const out = [];
    if (f?.result?.converged) {
      const r = f.result;
      out.push(el('p', { class: 'fit-equation' }, formatEquation(r, 4)));
      out.push(el('ul', { class: 'fit-params' }, r.params.map((p) => el('li', { 'data-param': p.name },
        `${p.name} = ${fmt(p.value)} ± ${fmt(p.sigma)}`))));
      out.push(el('p', { class: 'fit-r2' }, `R² = ${num(r.r2, { maximumFractionDigits: 5 })} · n = ${num(r.n)}`));
    } else if (f?.result) {
      out.push(el('p', { class: 'graph-error fit-error', role: 'alert' }, t(`analysis.fail.${f.result.reason}`)));
    }
    return el('div', { class: 'fit-controls' },
      el('label', {}, t('analysis.fitValue'), ' ', axisSel), ' ',
      el('label', {}, t('analysis.fitModel'), ' ', modelSel), ' ', button,
      el('div', { class: 'fit-result' }, out));
  }
}

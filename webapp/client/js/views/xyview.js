// One quantity against another: two sensors of one remote (or two values of one sensor)
// from the two-sensor query, which pairs the frame averages of both sensors by frame, so
// each point is one 10 ms frame.
import { el, fill } from '../ui.js';
import { refillRemotes } from './remotechoice.js';
import { twoSensorSeries } from '../layouts.js';
import { axisDescriptions, sensorTitle } from '../sensors.js';
import { xyPairs, niceTicks } from '../analysis.js';
import { t, num } from '../i18n.js';
import { palette, themeColour } from '../theme.js';

const LIVE_MS = 500;
const SPANS = [5, 10, 30, 60, 0]; // seconds shown while recording; 0 = the whole run

export class XYView {
  constructor(root, client, store, { notify = () => {} } = {}) {
    this.root = root;
    this.client = client;
    this.store = store;
    this.notify = notify;
    this.active = false;
    this.busy = false;
    this.span = 10;
    this.last = null;
    this.remoteSelect = el('select', { id: 'xy-remote', onchange: () => { this.fillChoices(); this.refresh(); } });
    this.xSelect = el('select', { id: 'xy-x', onchange: () => this.refresh() });
    this.ySelect = el('select', { id: 'xy-y', onchange: () => this.refresh() });
    this.spanSelect = el('select', {
      id: 'xy-span',
      onchange: () => { this.span = Number(this.spanSelect.value); this.refresh(); },
    }, SPANS.map((s) => el('option', { value: s, selected: s === this.span }, s ? t('graph.lastSeconds', { s }) : t('xy.whole'))));
    this.joinBox = el('input', { type: 'checkbox', id: 'xy-join', checked: true, onchange: () => this.draw() });
    this.canvas = el('canvas', { class: 'xy-canvas', role: 'img', 'aria-label': t('xy.canvasLabel') });
    this.summary = el('p', { class: 'detail', 'aria-live': 'polite' });
    const field = (id, label, control) => el('label', { for: id, class: 'xy-field' }, el('span', {}, label), control);
    this.controls = el('div', { class: 'xy-controls' },
      field('xy-remote', t('xy.remote'), this.remoteSelect),
      field('xy-x', t('xy.x'), this.xSelect),
      field('xy-y', t('xy.y'), this.ySelect),
      field('xy-span', t('xy.span'), this.spanSelect),
      el('label', { for: 'xy-join', class: 'xy-field xy-check' }, this.joinBox, t('xy.join')),
      el('button', { class: 'btn btn-small', type: 'button', onclick: () => this.refresh() }, t('xy.refresh')));
    this.placeholder = el('p', { class: 'placeholder' }, t('xy.empty'));
    fill(root, el('h2', { class: 'sr-only' }, t('tab.xy')), this.controls, this.placeholder, this.canvas, this.summary);
    store.addEventListener('change', (e) => { if (e.detail === 'stack') this.fillRemotes(); });
    this.fillRemotes();
    new ResizeObserver(() => this.draw()).observe(root);
    setInterval(() => { if (this.active && this.store.recording) this.refresh(); }, LIVE_MS);
  }

  setActive(on) {
    this.active = on;
    if (on) this.refresh();
  }

  fillRemotes() {
    if (!refillRemotes(this, this.store.runRemotes())) return;
    this.fillChoices();
  }

  // Every value of every sensor of the remote: "sensorType:axis".
  choices() {
    const r = this.store.runRemotes().find((x) => x.remote === Number(this.remoteSelect.value));
    if (!r) return [];
    const out = [];
    for (const s of r.sensors) {
      if (s.sensorType === 241) continue; // the combined ECG has no frame averages of its own leads
      axisDescriptions(s.sensorType, -1, s.sampleSize).forEach((a, axis) => {
        out.push({ sensorType: s.sensorType, axis, label: `${sensorTitle(s.sensorType)} · ${a.label}`, unit: a.unit, axisLabel: a.label });
      });
    }
    return out;
  }

  fillChoices() {
    const list = this.choices();
    const opt = (c, selected) => el('option', { value: `${c.sensorType}:${c.axis}`, selected }, c.unit ? `${c.label} (${c.unit})` : c.label);
    const prevX = this.xSelect.value;
    const prevY = this.ySelect.value;
    // Default: the first value of the first sensor against the first value of the next one.
    const firstOther = list.find((c) => c.sensorType !== list[0]?.sensorType) ?? list[1] ?? list[0];
    fill(this.xSelect, list.map((c, i) => opt(c, prevX ? `${c.sensorType}:${c.axis}` === prevX : i === 0)));
    fill(this.ySelect, list.map((c) => opt(c, prevY ? `${c.sensorType}:${c.axis}` === prevY : c === firstOther)));
    this.placeholder.hidden = list.length > 0;
    this.canvas.hidden = list.length === 0;
  }

  selection() {
    const list = this.choices();
    const find = (v) => list.find((c) => `${c.sensorType}:${c.axis}` === v);
    return { remote: Number(this.remoteSelect.value), x: find(this.xSelect.value), y: find(this.ySelect.value) };
  }

  async refresh() {
    if (!this.active || this.busy) return;
    const sel = this.selection();
    if (!sel.x || !sel.y) { this.last = null; this.draw(); return; }
    this.busy = true;
    const live = this.store.recording;
    const [start, end] = live && this.span ? [-this.span, -1] : [0, -1];
    try {
      const { doc, data } = await this.client.request('korvex_getSensorData2',
        [sel.remote, sel.x.sensorType, sel.y.sensorType, start, end]);
      const paired = twoSensorSeries(doc, data);
      if (!paired) throw new Error(t('xy.notInRun'));
      this.last = { sel, xy: xyPairs(paired, { which: 0, axis: sel.x.axis }, { which: 1, axis: sel.y.axis }) };
      this.summary.textContent = this.last.xy.length
        ? t('xy.summary', { n: num(this.last.xy.length), x: sel.x.label, y: sel.y.label })
        : t('xy.noPoints');
    } catch (err) {
      this.last = null;
      this.summary.textContent = err.message;
    } finally {
      this.busy = false;
    }
    this.draw();
  }

  draw() {
    const c = this.canvas;
    if (c.hidden || !this.root.offsetParent) return;
    const dpr = window.devicePixelRatio || 1;
    const w = Math.max(300, this.root.clientWidth - 8);
    const h = Math.max(260, Math.min(w * 0.75, window.innerHeight - this.controls.offsetHeight - 170));
    c.style.width = `${w}px`;
    c.style.height = `${h}px`;
    c.width = Math.round(w * dpr);
    c.height = Math.round(h * dpr);
    const ctx = c.getContext('2d');
    ctx.scale(dpr, dpr);
    ctx.clearRect(0, 0, w, h);
    const ink = themeColour('--ink');
    const grid = themeColour('--grid');
    const pad = { l: 78, r: 16, t: 14, b: 52 };
    const pw = w - pad.l - pad.r;
    const ph = h - pad.t - pad.b;
    const xy = this.last?.xy;
    const b = xy?.bounds;
    const xt = niceTicks(b?.xmin ?? 0, b?.xmax ?? 1);
    const yt = niceTicks(b?.ymin ?? 0, b?.ymax ?? 1);
    const px = (v) => pad.l + ((v - xt.min) / (xt.max - xt.min)) * pw;
    const py = (v) => pad.t + ph - ((v - yt.min) / (yt.max - yt.min)) * ph;
    ctx.font = '13px sans-serif';
    ctx.lineWidth = 1;
    ctx.strokeStyle = grid;
    ctx.fillStyle = ink;
    ctx.textAlign = 'center';
    for (const v of xt.ticks) {
      ctx.beginPath(); ctx.moveTo(px(v), pad.t); ctx.lineTo(px(v), pad.t + ph); ctx.stroke();
      ctx.fillText(num(v), px(v), pad.t + ph + 18);
    }
    ctx.textAlign = 'right';
    for (const v of yt.ticks) {
      ctx.beginPath(); ctx.moveTo(pad.l, py(v)); ctx.lineTo(pad.l + pw, py(v)); ctx.stroke();
      ctx.fillText(num(v), pad.l - 6, py(v) + 4);
    }
    const sel = this.last?.sel;
    if (sel) {
      ctx.textAlign = 'center';
      ctx.font = '14px sans-serif';
      ctx.fillText(sel.x.unit ? `${sel.x.label} (${sel.x.unit})` : sel.x.label, pad.l + pw / 2, h - 10);
      ctx.save();
      ctx.translate(16, pad.t + ph / 2);
      ctx.rotate(-Math.PI / 2);
      ctx.fillText(sel.y.unit ? `${sel.y.label} (${sel.y.unit})` : sel.y.label, 0, 0);
      ctx.restore();
    }
    if (!xy?.length) return;
    const colour = palette()[0];
    ctx.strokeStyle = colour;
    ctx.fillStyle = colour;
    if (this.joinBox.checked) {
      ctx.lineWidth = 1.5;
      ctx.beginPath();
      for (let i = 0; i < xy.length; i++) {
        if (i === 0) ctx.moveTo(px(xy.x[i]), py(xy.y[i])); else ctx.lineTo(px(xy.x[i]), py(xy.y[i]));
      }
      ctx.stroke();
    }
    for (let i = 0; i < xy.length; i++) ctx.fillRect(px(xy.x[i]) - 1.5, py(xy.y[i]) - 1.5, 3, 3);
    // The newest point stands out, so the direction of travel can be followed live.
    ctx.fillStyle = palette()[1];
    ctx.beginPath();
    ctx.arc(px(xy.x[xy.length - 1]), py(xy.y[xy.length - 1]), 6, 0, 2 * Math.PI);
    ctx.fill();
  }
}

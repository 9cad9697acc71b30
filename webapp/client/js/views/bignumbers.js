// Big numbers for a projector: the newest value of the chosen sensor values in large type.
// The host passes on the two sensor-data requests only, so the newest sample is read as the
// last sample of a short window at the end of the recording, without resampling.
import { el, fill } from '../ui.js';
import { singleSensorSeries } from '../layouts.js';
import { axisDescriptions, sensorTitle } from '../sensors.js';
import { bigNumber } from '../analysis.js';
import { t, num } from '../i18n.js';

const REFRESH_MS = 250;
const LAST_WINDOW = -0.05; // seconds back from the newest sample
const STORAGE_KEY = 'korvex.bigNumbers';

export class BigNumberView {
  constructor(root, client, store) {
    this.root = root;
    this.client = client;
    this.store = store;
    this.active = false;
    this.busy = false;
    this.values = new Map(); // "remote:type" -> Float32 values of the newest sample
    this.chosen = new Set(this.load());
    this.picker = el('fieldset', { class: 'big-picker' });
    this.tiles = el('div', { class: 'big-tiles' });
    this.placeholder = el('p', { class: 'placeholder' }, t('big.empty'));
    fill(root, el('h2', { class: 'sr-only' }, t('tab.big')), this.picker, this.placeholder, this.tiles);
    store.addEventListener('change', (e) => { if (e.detail === 'stack') this.renderPicker(); });
    this.renderPicker();
    setInterval(() => this.tick(), REFRESH_MS);
  }

  load() {
    try { return JSON.parse(localStorage.getItem(STORAGE_KEY) ?? '[]').filter((k) => typeof k === 'string'); } catch { return []; }
  }

  save() {
    try { localStorage.setItem(STORAGE_KEY, JSON.stringify([...this.chosen])); } catch { /* storage off */ }
  }

  // "remote:type:axis" for every value of the run.
  items() {
    const out = [];
    for (const r of this.store.runRemotes()) {
      for (const s of r.sensors) {
        axisDescriptions(s.sensorType, -1, s.sampleSize).forEach((a, axis) => out.push({
          key: `${r.remote}:${s.sensorType}:${axis}`, remote: r.remote, sensorType: s.sensorType, axis,
          label: t('big.item', { remote: r.remote, sensor: sensorTitle(s.sensorType), value: a.label }), unit: a.unit,
        }));
      }
    }
    return out;
  }

  renderPicker() {
    const items = this.items();
    const key = items.map((i) => i.key).join(',');
    if (key === this.itemsKey) return;
    this.itemsKey = key;
    // Nothing chosen for this run yet: the first sensor's values.
    if (!items.some((i) => this.chosen.has(i.key)) && items.length) {
      const first = items[0];
      for (const i of items) if (i.remote === first.remote && i.sensorType === first.sensorType) this.chosen.add(i.key);
    }
    fill(this.picker, el('legend', {}, t('big.choose')),
      items.map((i) => el('label', { class: 'big-choice' },
        el('input', {
          type: 'checkbox', checked: this.chosen.has(i.key),
          onchange: (e) => { if (e.target.checked) this.chosen.add(i.key); else this.chosen.delete(i.key); this.save(); this.renderTiles(); },
        }), i.unit ? `${i.label} (${i.unit})` : i.label)));
    this.placeholder.hidden = items.length > 0;
    this.renderTiles();
  }

  renderTiles() {
    const shown = this.items().filter((i) => this.chosen.has(i.key));
    this.tileNodes = new Map();
    fill(this.tiles, shown.map((i) => {
      const value = el('span', { class: 'big-value' }, '—');
      const node = el('div', { class: 'big-tile', role: 'group', 'aria-label': i.label },
        el('div', { class: 'big-label' }, i.label),
        el('div', { class: 'big-line' }, value, el('span', { class: 'big-unit' }, i.unit)));
      this.tileNodes.set(i.key, { value, item: i });
      return node;
    }));
    this.tiles.classList.toggle('big-few', shown.length <= 2);
    this.paint();
  }

  setActive(on) {
    this.active = on;
    if (on) this.tick(true);
  }

  async tick(force = false) {
    if (!this.active || this.busy || (!force && !this.store.recording)) return;
    const sensors = new Map();
    for (const { item } of this.tileNodes?.values() ?? []) sensors.set(`${item.remote}:${item.sensorType}`, item);
    if (!sensors.size) return;
    this.busy = true;
    try {
      await Promise.all([...sensors.values()].map(async (item) => {
        const { doc, data } = await this.client.request('korvex_getSensorData1',
          [item.remote, item.sensorType, LAST_WINDOW, -1, false, -1, -1]);
        const s = singleSensorSeries(doc, data);
        const key = `${item.remote}:${item.sensorType}`;
        if (!s || !s.length) { this.values.delete(key); return; }
        this.values.set(key, s.values.map((c) => c[s.length - 1]));
      }));
    } catch (err) {
      // A failed read shows dashes, never an old number as if it were new.
      this.values.clear();
    } finally {
      this.busy = false;
    }
    this.paint();
  }

  paint() {
    for (const { value, item } of this.tileNodes?.values() ?? []) {
      const v = this.values.get(`${item.remote}:${item.sensorType}`)?.[item.axis];
      value.textContent = v == null ? '—' : bigNumber(v, 3).replace('.', num(1.5).charAt(1));
    }
  }
}

// The data table: every stored sample of one sensor of the current run, one row each.
// Only the rows in sight exist in the page; they are read from the library in blocks at the
// sensor's own rate (no resampling) as they come into sight, so a run of millions of rows
// scrolls like a short one. The table follows the graph's selection of its sensor.
import { el, fill } from '../ui.js';
import { refillRemotes } from './remotechoice.js';
import { singleSensorSeries, mergeAxisSeries } from '../layouts.js';
import { axisDescriptions, sensorTitle } from '../sensors.js';
import { axisPlan } from '../graphquery.js';
import { selectionKey } from '../selection.js';
import {
  rateFromFirstTime, rowCount, rowTime, rowAt, rowsBetween, requestWindow, scrollModel,
  firstRowAt, scrollTopFor, clipRows, timeDigits, tsv,
} from '../tablemath.js';
import { t, num } from '../i18n.js';

const BLOCK_ROWS = 2048; // rows read per request
const MAX_BLOCKS = 48; // blocks kept in memory
const MAX_SPACER = 8_000_000; // px; browsers stop laying out somewhat above 16 M
const COPY_MAX_ROWS = 200_000;
const COPY_REQUEST_ROWS = 50_000;
const LIVE_MS = 1000;

export class TableView {
  constructor(root, client, store, { notify = () => {}, selection = null } = {}) {
    this.root = root;
    this.client = client;
    this.store = store;
    this.notify = notify;
    this.selection = selection;
    this.active = false;
    this.info = null; // { remote, sensorType, rate, count, axes, plan, digits }
    this.blocks = new Map(); // block number -> { rows, time, values } | Promise
    this.generation = 0; // bumped whenever the table's source changes, to drop late answers
    this.highlight = null; // { first, last } rows of the selection
    this.lastCopied = null;
    this.timeZero = 0; // run time shown as 0 (a triggered run's trigger moment)

    this.remoteSelect = el('select', { id: 'table-remote', onchange: () => { this.fillSensors(); this.reload(); } });
    this.sensorSelect = el('select', { id: 'table-sensor', onchange: () => this.reload() });
    this.copyButton = el('button', { class: 'btn btn-small', type: 'button', onclick: () => this.copy() }, t('table.copy'));
    this.selButton = el('button', { class: 'btn btn-small', type: 'button', onclick: () => this.showSelection() }, t('table.toSelection'));
    const field = (id, label, control) => el('label', { for: id, class: 'xy-field' }, el('span', {}, label), control);
    this.controls = el('div', { class: 'xy-controls' },
      field('table-remote', t('xy.remote'), this.remoteSelect),
      field('table-sensor', t('table.sensor'), this.sensorSelect),
      this.selButton, this.copyButton);
    this.status = el('p', { class: 'detail table-status', 'aria-live': 'polite' });
    this.headRow = el('div', { class: 'table-row table-head', role: 'row', 'aria-rowindex': 1 });
    this.spacer = el('div', { class: 'table-spacer', role: 'rowgroup' });
    this.scroller = el('div', {
      class: 'table-scroll', role: 'table', tabindex: 0, 'aria-label': t('table.label'),
      onscroll: () => this.scrolled(), onkeydown: (e) => this.key(e), onwheel: (e) => this.wheel(e),
    }, el('div', { role: 'rowgroup', class: 'table-headgroup' }, this.headRow), this.spacer);
    this.placeholder = el('p', { class: 'placeholder' }, t('table.empty'));
    fill(root, el('h2', { class: 'sr-only' }, t('tab.table')), this.controls, this.placeholder, this.status, this.scroller);
    this.rowNodes = [];
    // The first row in sight (fractional). In a scaled table one pixel of scrolling is
    // many rows, so the keys and the wheel move this and the scroll bar only follows it.
    this.topRow = 0;
    this.setTop = 0; // the scroll position this view set last
    this.rowHeight = 26; // px, measured from the header row: every row has its height
    this.model = scrollModel(0, this.rowHeight, 0, MAX_SPACER);

    store.addEventListener('change', (e) => {
      if (e.detail === 'stack') this.fillRemotes();
      if (e.detail === 'recording') this.reload();
    });
    selection?.addEventListener('change', (e) => {
      if (this.info && e.detail.key === selectionKey(this.info.remote, this.info.sensorType)) this.applySelection(true);
    });
    new ResizeObserver(() => this.schedule()).observe(this.scroller);
    setInterval(() => { if (this.active && this.store.recording) this.grow(); }, LIVE_MS);
    this.fillRemotes();
  }

  setActive(on) {
    this.active = on;
    if (on && !this.info) this.reload();
    else if (on) this.schedule();
  }

  setTimeZero(zero = 0) {
    if (zero === this.timeZero) return;
    this.timeZero = zero;
    if (this.info) this.schedule();
  }

  fillRemotes() {
    if (!refillRemotes(this, this.store.runRemotes())) return;
    this.fillSensors();
    this.reload();
  }

  fillSensors() {
    const r = this.store.runRemotes().find((x) => x.remote === Number(this.remoteSelect.value));
    const keep = Number(this.sensorSelect.value);
    fill(this.sensorSelect, (r?.sensors ?? []).map((s) => el('option', { value: s.sensorType, selected: s.sensorType === keep },
      sensorTitle(s.sensorType))));
    this.placeholder.hidden = !!r;
    this.scroller.hidden = !r;
  }

  chosen() {
    const remote = Number(this.remoteSelect.value);
    const r = this.store.runRemotes().find((x) => x.remote === remote);
    const s = r?.sensors.find((x) => x.sensorType === Number(this.sensorSelect.value));
    return s ? { remote, sensorType: s.sensorType, sampleSize: s.sampleSize } : null;
  }

  // One request of rows first..last (all values), as columns.
  async fetchRows(info, first, last) {
    const { start, end } = requestWindow(first, last, info.rate);
    return this.fetchWindow(info, start, end);
  }

  async fetchWindow(info, start, end) {
    const parts = await Promise.all(info.plan.map((axis) => this.client.request('korvex_getSensorData1',
      [info.remote, info.sensorType, start, end, false, axis, -1]).then(({ doc, data }) => singleSensorSeries(doc, data))));
    const series = parts.length === 1 ? parts[0] : mergeAxisSeries(parts);
    if (!series) throw new Error(t('table.notInRun'));
    return series;
  }

  // Learns the sensor's rate (from its first sample) and its length (from its newest).
  async probe(sel) {
    const plan = axisPlan(sel.sensorType);
    const base = { ...sel, plan };
    const head = await this.fetchWindow(base, 0, 1e-9);
    if (!head.length) return { ...base, rate: NaN, count: 0, axes: [] };
    const rate = rateFromFirstTime(head.time[0]);
    const tail = await this.fetchWindow(base, -0.05, -1);
    const count = tail.length ? rowCount(tail.time[tail.length - 1], rate) : 0;
    const axes = plan.length > 1 ? plan.flatMap((a) => axisDescriptions(sel.sensorType, a, 1))
      : axisDescriptions(sel.sensorType, -1, head.sampleSize);
    return { ...base, rate, count, axes, digits: timeDigits(rate) };
  }

  async reload() {
    if (!this.active) { this.info = null; return; }
    const gen = ++this.generation;
    this.blocks.clear();
    const sel = this.chosen();
    if (!sel) { this.info = null; this.render(); return; }
    this.status.textContent = t('ui.reading');
    try {
      const info = await this.probe(sel);
      if (gen !== this.generation) return;
      this.info = info;
      this.renderHead();
      this.topRow = 0;
      this.layout();
      this.scroller.setAttribute('aria-label', t('table.labelOf', { sensor: sensorTitle(sel.sensorType), remote: sel.remote }));
      this.applySelection(true);
      this.renderStatus();
    } catch (err) {
      if (gen !== this.generation) return;
      this.info = null;
      this.status.textContent = err.message;
      this.render();
    }
  }

  // While recording: the table grows; the last, partly filled block is read again.
  async grow() {
    const info = this.info;
    if (!info || this.busyGrowing) return;
    // Opened before the first sample arrived: the rate is still unknown.
    if (!(info.rate > 0)) { this.reload(); return; }
    this.busyGrowing = true;
    try {
      const tail = await this.fetchWindow(info, -0.05, -1);
      if (info !== this.info || !tail.length) return;
      const count = rowCount(tail.time[tail.length - 1], info.rate);
      if (count === info.count) return;
      const atEnd = this.topRow >= this.model.rowRange - 1;
      this.blocks.delete(Math.floor((info.count - 1) / BLOCK_ROWS));
      info.count = count;
      this.layout();
      if (atEnd) this.scrollToRow(count);
      this.renderStatus();
    } catch (err) {
      /* the next tick tries again */
    } finally {
      this.busyGrowing = false;
    }
  }

  renderHead() {
    const info = this.info;
    const cell = (text) => el('div', { class: 'table-cell', role: 'columnheader' }, text);
    fill(this.headRow, cell(t('graph.time')), info.axes.map((a) => cell(a.unit ? `${a.label} (${a.unit})` : a.label)));
    this.scroller.style.setProperty('--table-columns', String(info.axes.length + 1));
    this.rowNodes = [];
  }

  headers() {
    return [t('graph.time'), ...this.info.axes.map((a) => (a.unit ? `${a.label} (${a.unit})` : a.label))];
  }

  layout() {
    this.rowHeight = this.headRow.getBoundingClientRect().height || this.rowHeight;
    const count = this.info?.count ?? 0;
    const view = Math.max(this.rowHeight, this.scroller.clientHeight - this.rowHeight);
    this.model = scrollModel(count, this.rowHeight, view, MAX_SPACER);
    this.spacer.style.height = `${this.model.height}px`;
    this.scroller.setAttribute('aria-rowcount', String(count + 1));
    this.scrollToRow(this.topRow);
    this.render();
  }

  schedule() {
    if (this.frame) return;
    this.frame = requestAnimationFrame(() => {
      this.frame = null;
      if (!this.info) return;
      const view = Math.max(this.rowHeight, this.scroller.clientHeight - this.rowHeight);
      if (view !== this.model.viewHeight) this.layout();
      else this.render();
    });
  }

  visibleRows() {
    return Math.ceil(this.model.viewHeight / this.rowHeight) + 1;
  }

  // Draws the rows in sight and asks for the blocks they need.
  render() {
    const info = this.info;
    if (!info || !info.count || this.scroller.hidden) {
      this.spacer.replaceChildren();
      this.rowNodes = [];
      return;
    }
    const top = this.scroller.scrollTop;
    const exact = Math.min(this.topRow, this.model.rowRange);
    const first = Math.floor(exact);
    const shown = Math.min(this.visibleRows(), info.count - first);
    const offset = top - (exact - first) * this.rowHeight;
    const columns = info.axes.length + 1;
    while (this.rowNodes.length < shown) {
      const row = el('div', { class: 'table-row', role: 'row' });
      for (let c = 0; c < columns; c++) row.append(el('div', { class: 'table-cell', role: 'cell' }));
      this.rowNodes.push(row);
    }
    if (this.rowNodes.length > shown) this.rowNodes.length = shown;
    this.spacer.replaceChildren(...this.rowNodes);
    const hl = this.highlight;
    for (let k = 0; k < shown; k++) {
      const i = first + k;
      const row = this.rowNodes[k];
      row.style.transform = `translateY(${offset + k * this.rowHeight}px)`;
      row.setAttribute('aria-rowindex', String(i + 2));
      row.classList.toggle('selected', !!hl && i >= hl.first && i <= hl.last);
      const cells = row.children;
      cells[0].textContent = num(rowTime(i, info.rate) - this.timeZero, { minimumFractionDigits: info.digits, maximumFractionDigits: info.digits });
      const block = this.block(Math.floor(i / BLOCK_ROWS));
      const j = i % BLOCK_ROWS;
      for (let c = 1; c < columns; c++) {
        const v = block && !(block instanceof Promise) ? block.values[c - 1]?.[j] : undefined;
        cells[c].textContent = v === undefined ? '…' : num(v, { maximumSignificantDigits: 7 });
      }
    }
  }

  // A cached block, or null after starting its request.
  block(b) {
    const have = this.blocks.get(b);
    if (have) {
      if (!(have instanceof Promise)) { this.blocks.delete(b); this.blocks.set(b, have); } // most recent last
      return have;
    }
    const info = this.info;
    const gen = this.generation;
    const first = b * BLOCK_ROWS;
    const last = Math.min(info.count, first + BLOCK_ROWS) - 1;
    const pending = this.fetchRows(info, first, last).then((series) => {
      if (gen !== this.generation) return;
      this.blocks.set(b, { rows: series.length, values: series.values });
      while (this.blocks.size > MAX_BLOCKS) this.blocks.delete(this.blocks.keys().next().value);
      this.schedule();
    }).catch((err) => {
      if (gen !== this.generation) return;
      this.blocks.delete(b);
      this.status.textContent = err.message;
    });
    this.blocks.set(b, pending);
    return null;
  }

  key(e) {
    if (!this.info || e.ctrlKey || e.altKey || e.metaKey) return;
    const page = Math.max(1, this.visibleRows() - 2);
    const now = this.topRow;
    const to = {
      ArrowDown: now + 1, ArrowUp: now - 1, PageDown: now + page, PageUp: now - page, Home: 0, End: this.info.count,
    }[e.key];
    if (to === undefined) return;
    e.preventDefault();
    this.scrollToRow(Math.round(to));
  }

  scrollToRow(row) {
    this.topRow = Math.min(this.model.rowRange, Math.max(0, row));
    this.setTop = scrollTopFor(this.model, this.topRow);
    this.scroller.scrollTop = this.setTop;
    this.setTop = this.scroller.scrollTop; // as the browser rounded it
    this.schedule();
  }

  // A scroll the view did not make itself (the scroll bar, a touch pad) moves the rows.
  scrolled() {
    const top = this.scroller.scrollTop;
    if (Math.abs(top - this.setTop) >= 1) {
      this.topRow = firstRowAt(this.model, top);
      this.setTop = top;
    }
    this.schedule();
  }

  // The wheel moves rows at their own height even when the scroll bar is scaled.
  wheel(e) {
    if (!this.model.scaled || e.ctrlKey) return;
    e.preventDefault();
    const rows = e.deltaMode === 1 ? e.deltaY : e.deltaMode === 2 ? e.deltaY * this.visibleRows() : e.deltaY / this.rowHeight;
    this.scrollToRow(this.topRow + rows);
  }

  selectedRange() {
    const info = this.info;
    const range = info && this.selection?.get(selectionKey(info.remote, info.sensorType));
    return range ? { range, rows: rowsBetween(range.t0, range.t1, info.rate, info.count) } : null;
  }

  applySelection(jump) {
    const sel = this.selectedRange();
    this.highlight = sel?.rows ?? null;
    this.selButton.disabled = !this.highlight;
    if (jump && this.highlight) this.scrollToRow(this.highlight.first);
    else this.render();
    this.renderStatus();
  }

  showSelection() {
    this.applySelection(true);
    this.scroller.focus();
  }

  renderStatus() {
    const info = this.info;
    if (!info) return;
    if (!info.count) { this.status.textContent = t('table.noData'); return; }
    const parts = [t('table.summary', { n: num(info.count), rate: num(Math.round(info.rate * 100) / 100) })];
    const sel = this.selectedRange();
    if (sel && sel.rows) {
      parts.push(t('table.selection', { first: num(sel.rows.first + 1), last: num(sel.rows.last + 1), n: num(sel.rows.last - sel.rows.first + 1) }));
    } else if (sel) {
      parts.push(t('table.selectionEmpty'));
    }
    this.status.textContent = parts.join(' ');
  }

  // Copies the selection (or the rows in sight) as tab-separated text.
  async copy() {
    const info = this.info;
    if (!info || !info.count) { this.notify(t('table.noData'), 'warning'); return; }
    const sel = this.selectedRange();
    if (sel && !sel.rows) { this.notify(t('table.selectionEmpty'), 'warning'); return; }
    let rows = sel?.rows;
    if (!rows) {
      const first = Math.floor(this.topRow);
      rows = { first, last: Math.min(info.count - 1, first + this.visibleRows() - 2) };
    }
    const clip = clipRows(rows.first, rows.last, COPY_MAX_ROWS);
    this.copyButton.disabled = true;
    try {
      const n = clip.last - clip.first + 1;
      const times = new Float64Array(n);
      const columns = info.axes.map(() => new Float32Array(n).fill(NaN));
      for (let from = clip.first; from <= clip.last; from += COPY_REQUEST_ROWS) {
        const to = Math.min(clip.last, from + COPY_REQUEST_ROWS - 1);
        const s = await this.fetchRows(info, from, to);
        const k = Math.min(s.length, to - from + 1);
        columns.forEach((col, c) => col.set(s.values[c].subarray(0, k), from - clip.first));
      }
      for (let i = 0; i < n; i++) times[i] = rowTime(clip.first + i, info.rate) - this.timeZero;
      const text = tsv(this.headers(), times, columns, info.digits);
      await writeClipboard(text);
      this.lastCopied = text;
      this.notify(clip.cut ? t('table.copiedCut', { n: num(n), max: num(COPY_MAX_ROWS) }) : t('table.copied', { n: num(n) }),
        clip.cut ? 'warning' : 'info');
    } catch (err) {
      this.notify(t('table.copyFailed', { error: err.message }), 'error');
    } finally {
      this.copyButton.disabled = false;
    }
  }
}

// The page is not a secure context, so the asynchronous clipboard may be missing; the
// older copy command of a hidden text field does the same.
async function writeClipboard(text) {
  if (navigator.clipboard?.writeText) {
    try { await navigator.clipboard.writeText(text); return; } catch { /* fall back */ }
  }
  const area = el('textarea', { class: 'sr-only', 'aria-hidden': 'true' });
  area.value = text;
  document.body.append(area);
  area.select();
  const ok = document.execCommand('copy');
  area.remove();
  if (!ok) throw new Error(t('table.noClipboard'));
}

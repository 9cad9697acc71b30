// Arithmetic of the data table: which stored sample a row is, where a scroll position
// lands in a table taller than the browser can draw, and the text a spreadsheet takes.
//
// The library times the k-th stored sample of a sensor (k from 1) at k / rate, so row i of
// the table (from 0) is the sample at (i + 1) / rate.

// The sensor's rate from the time of its first sample. Times arrive as 32-bit floats, so
// 1 / t1 is good to about one part in ten million; a rate that close to a whole number is
// that whole number (the usual case: a steady pace with no frame lost).
export function rateFromFirstTime(firstTime) {
  if (!(firstTime > 0) || !Number.isFinite(firstTime)) return NaN;
  const rate = 1 / firstTime;
  const whole = Math.round(rate);
  return Math.abs(rate - whole) <= rate * 2e-7 ? whole : rate;
}

// Number of samples up to the newest one, from its time.
export function rowCount(lastTime, rate) {
  if (!(rate > 0) || !(lastTime > 0)) return 0;
  return Math.max(0, Math.round(lastTime * rate));
}

export function rowTime(row, rate) {
  return (row + 1) / rate;
}

// The first row at or after `time` (clamped to the table).
export function rowAt(time, rate, count) {
  if (!(count > 0)) return 0;
  const row = Math.ceil(time * rate - 1 - 1e-6);
  return Math.min(count - 1, Math.max(0, Number.isFinite(row) ? row : 0));
}

// Rows whose samples lie in [t0, t1]; null when none does.
export function rowsBetween(t0, t1, rate, count) {
  if (!(count > 0) || !(t1 >= t0)) return null;
  const first = rowAt(t0, rate, count);
  const last = Math.min(count - 1, Math.floor(t1 * rate - 1 + 1e-6));
  return last >= first ? { first, last } : null;
}

// The request window that returns exactly rows first..last: the library answers from the
// first sample at or after the start up to the first at or after the end, so both ends sit
// half a sample period before the samples they name.
export function requestWindow(first, last, rate) {
  return { start: (first + 0.5) / rate, end: (last + 0.5) / rate };
}

// Scrolling. A table of `rows` rows of `rowHeight` pixels needs rows * rowHeight pixels of
// scroll height, which for long runs is more than a browser lays out; the spacer is then cut
// to `maxHeight` and scroll positions are scaled, so that the top of the scroll range is the
// first row and the bottom shows the last one.
export function scrollModel(rows, rowHeight, viewHeight, maxHeight) {
  const natural = Math.max(0, rows) * rowHeight;
  const height = Math.min(natural, maxHeight);
  const range = Math.max(0, height - viewHeight); // scrollTop runs over [0, range]
  const rowRange = Math.max(0, natural - viewHeight) / rowHeight; // first-row positions
  return { rows, rowHeight, viewHeight, height, range, rowRange, scaled: natural > maxHeight };
}

// Fractional first visible row for a scroll position.
export function firstRowAt(model, scrollTop) {
  if (!(model.range > 0)) return 0;
  const f = Math.min(1, Math.max(0, scrollTop / model.range));
  return f * model.rowRange;
}

// Scroll position that shows `row` at the top (as far as the end of the table allows).
export function scrollTopFor(model, row) {
  if (!(model.rowRange > 0)) return 0;
  return (Math.min(model.rowRange, Math.max(0, row)) / model.rowRange) * model.range;
}

// Rows copied at most at once; a longer range is cut to its first rows.
export function clipRows(first, last, max) {
  if (last - first + 1 <= max) return { first, last, cut: false };
  return { first, last: first + max - 1, cut: true };
}

// Decimals of the time column: enough to tell neighbouring samples apart.
export function timeDigits(rate) {
  if (!(rate > 0)) return 3;
  return Math.min(9, Math.max(3, Math.ceil(Math.log10(rate)) + 1));
}

// One value in spreadsheet form: a decimal point, seven significant digits (what a 32-bit
// value holds), an empty field for a missing value.
export function cellText(value) {
  if (value == null || !Number.isFinite(value)) return '';
  return String(Number(value.toPrecision(7)));
}

// Tab-separated text: one header line, then one line per row. `times` and each of
// `columns` are indexable by row - `offset`.
export function tsv(headers, times, columns, digits) {
  const clean = (h) => String(h).replace(/[\t\r\n]+/g, ' ');
  const lines = [headers.map(clean).join('\t')];
  for (let i = 0; i < times.length; i++) {
    const cells = [Number.isFinite(times[i]) ? times[i].toFixed(digits) : ''];
    for (const col of columns) cells.push(cellText(col[i]));
    lines.push(cells.join('\t'));
  }
  return `${lines.join('\n')}\n`;
}

// The data table's arithmetic: rows against the library's sample times, scroll scaling,
// and the text a spreadsheet receives.
import { describe, it } from 'node:test';
import assert from 'node:assert/strict';
import {
  rateFromFirstTime, rowCount, rowAt, rowsBetween, requestWindow, scrollModel, firstRowAt,
  scrollTopFor, clipRows, timeDigits, tsv,
} from '../client/js/tablemath.js';

const f32 = Math.fround;

// The library's unresampled window: from the first sample at or after the start to the
// first at or after the end, both included; sample k (from 0) is at (k + 1) / rate.
function libraryRows(start, end, rate, count) {
  const firstAtOrAfter = (t) => {
    for (let k = Math.max(0, Math.floor(t * rate) - 3); k < count; k++) if ((k + 1) / rate >= t) return k;
    return count - 1;
  };
  return [firstAtOrAfter(start), firstAtOrAfter(end)];
}

describe('rows and sample times', () => {
  it('reads the rate and the length of a run from 32-bit sample times', () => {
    assert.equal(rateFromFirstTime(f32(1 / 4800)), 4800);
    assert.equal(rateFromFirstTime(f32(1 / 2400)), 2400);
    // A measured rate that is not whole stays as measured.
    const measured = 4799.73;
    assert.ok(Math.abs(rateFromFirstTime(f32(1 / measured)) - measured) < 1e-3);
    assert.ok(Number.isNaN(rateFromFirstTime(0)));
    // An hour at 4800 Hz, and 1,234,567 samples at the measured rate.
    assert.equal(rowCount(f32(3600), 4800), 17_280_000);
    assert.equal(rowCount(f32(1_234_567 / measured), rateFromFirstTime(f32(1 / measured))), 1_234_567);
    assert.equal(rowCount(NaN, 4800), 0);
  });

  it('asks for windows that return exactly the rows of a block, early and late in a long run', () => {
    const rate = 4800;
    const count = 17_280_000;
    for (const [first, last] of [[0, 2047], [2048, 4095], [8_437_760, 8_439_807], [17_278_976, 17_279_999]]) {
      const { start, end } = requestWindow(first, last, rate);
      assert.deepEqual(libraryRows(start, end, rate, count), [first, last], `rows ${first}..${last}`);
    }
  });

  it('maps a selection to the rows whose samples lie inside it', () => {
    // 100 Hz: samples at 0.01 s, 0.02 s, ...; [1.0, 2.0] holds those at 1.00 ... 2.00 s.
    assert.deepEqual(rowsBetween(1.0, 2.0, 100, 1000), { first: 99, last: 199 });
    assert.deepEqual(rowsBetween(1.005, 1.015, 100, 1000), { first: 100, last: 100 });
    assert.equal(rowsBetween(1.001, 1.009, 100, 1000), null, 'between two samples');
    assert.deepEqual(rowsBetween(-5, 50, 100, 1000), { first: 0, last: 999 }, 'clamped to the run');
    assert.equal(rowsBetween(0, 1, 100, 0), null);
    assert.equal(rowAt(0.02, 100, 1000), 1);
  });
});

describe('scrolling', () => {
  it('scrolls a short table one pixel per pixel', () => {
    const m = scrollModel(100, 20, 200, 1e6);
    assert.equal(m.scaled, false);
    assert.equal(m.height, 2000);
    assert.equal(firstRowAt(m, 40), 2);
    assert.equal(scrollTopFor(m, 2), 40);
    assert.equal(scrollTopFor(m, 1000), 1800, 'no further than the last page');
  });

  it('scales an hour at 4800 Hz into the largest spacer and still reaches both ends', () => {
    const m = scrollModel(17_280_000, 26, 520, 8_000_000);
    assert.equal(m.scaled, true);
    assert.equal(m.height, 8_000_000);
    assert.equal(firstRowAt(m, 0), 0);
    assert.equal(firstRowAt(m, m.range), 17_280_000 - 20, 'the last row at the bottom');
    assert.equal(firstRowAt(m, m.range / 2), (17_280_000 - 20) / 2);
    assert.ok(Math.abs(firstRowAt(m, scrollTopFor(m, 12_345_678)) - 12_345_678) < 1e-3);
    assert.equal(firstRowAt(m, m.range + 500), 17_279_980, 'overscroll stays at the end');
  });
});

describe('copied text', () => {
  it('writes a header line and one tab-separated line per row with a decimal point', () => {
    const text = tsv(['time (s)', 'sound\t(a.u.)'], [1 / 4800, 2 / 4800],
      [Float32Array.of(0.1, NaN)], timeDigits(4800));
    assert.equal(text, 'time (s)\tsound (a.u.)\n0.00021\t0.1\n0.00042\t\n');
    assert.equal(tsv(['t', 'a', 'b'], [1.5], [[-1e-7], [12345.678]], 3), 't\ta\tb\n1.500\t-1e-7\t12345.68\n');
  });

  it('tells neighbouring samples apart in the time column and bounds a copy', () => {
    assert.equal(timeDigits(100), 3);
    assert.equal(timeDigits(95), 3);
    assert.equal(timeDigits(4800), 5);
    assert.deepEqual(clipRows(0, 299_999, 200_000), { first: 0, last: 199_999, cut: true });
    assert.deepEqual(clipRows(10, 19, 200_000), { first: 10, last: 19, cut: false });
  });
});

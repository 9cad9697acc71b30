// The data table and the spectrum on a short microphone run: one row per stored sample,
// rows that are the recorded tone in order, the graph's selection followed and copied, and
// the tone's frequency found again by the spectrum.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Kit, missingPieces, until, sleep } from './harness.js';
import { chooseConfiguration, record, stopRecording } from './pagesteps.js';

const missing = missingPieces();

// Configuration 9 streams the microphone alone at 2400 Hz, 24 samples in each 10 ms frame;
// the simulated kit's microphone plays a 440 Hz tone of amplitude 0.4 (a.u.).
const MIC = 6;
const RATE = 2400;
const PER_FRAME = RATE / 100;
const TONE = 440;

// The rows in sight: 1-based row index (the header is row 1) and the cells' texts.
function shownRows(page) {
  return page.evaluate(() => [...document.querySelectorAll('#table .table-spacer .table-row')].map((r) => ({
    index: Number(r.getAttribute('aria-rowindex')),
    selected: r.classList.contains('selected'),
    cells: [...r.children].map((c) => c.textContent),
  })));
}
const number = (text) => Number(text.replace(/,/g, ''));

describe('data table and spectrum', { skip: missing ?? false, timeout: 60000 }, () => {
  let kit;
  let page;
  let samples;

  before(async () => {
    kit = await Kit.start({ name: 'table' });
    page = kit.page;
    await page.waitForSelector('#kit .kit-dongle.ok', { timeout: 15000 });
    await chooseConfiguration(page, 1, 9);
    await record(page);
    await sleep(1500);
    await stopRecording(page);
    // Expected length from the run report's frame counter, not from the table's arithmetic.
    const frames = await until(() => page.evaluate(() => {
      const s = window.korvex.store.stack?.remote1?.sensors;
      const mic = (Array.isArray(s) ? s : Object.values(s ?? {})).find((x) => x.sensorType === 6);
      return mic?.frames > 0 && mic.frames;
    }), { what: 'the microphone frame count' });
    samples = frames * PER_FRAME;
    assert.ok(samples > RATE, `more than a second recorded (${samples} samples)`);
  });
  after(async () => {
    if (kit) await kit.stop();
  });

  it('lists every sample of the run, with only the rows in sight in the page', async () => {
    await page.locator('#tab-table').click();
    await page.locator('#table-sensor').selectOption(String(MIC));
    const grid = page.locator('#table .table-scroll');
    await until(async () => (await grid.getAttribute('aria-rowcount')) === String(samples + 1),
      { what: `${samples + 1} rows (with the header)` });
    assert.deepEqual(await page.locator('#table .table-head').evaluate((h) => [...h.children].map((c) => c.textContent)),
      ['time (s)', 'sound (a.u.)']);
    const rows = await until(async () => {
      const r = await shownRows(page);
      return r.length > 10 && r.every((x) => x.cells[1] !== '…') && r;
    }, { what: 'values in the rows in sight' });
    assert.ok(rows.length < 60, `only the rows in sight exist (${rows.length})`);
    assert.equal(rows[0].index, 2);
    // Sample k (from 1) is at k / 2400 s.
    rows.forEach((r, i) => assert.equal(number(r.cells[0]), Number(((i + 1) / RATE).toFixed(5))));
    // Consecutive samples of a sine obey v[i-1] + v[i+1] = 2 cos(2 pi f / rate) v[i]: the rows
    // are the tone's samples in order (noise and rounding stay below 0.02).
    const v = rows.map((r) => number(r.cells[1]));
    const c = 2 * Math.cos((2 * Math.PI * TONE) / RATE);
    for (let i = 1; i + 1 < v.length; i++) {
      assert.ok(Math.abs(v[i - 1] + v[i + 1] - c * v[i]) < 0.02, `row ${i + 1} follows the tone`);
      assert.ok(Math.abs(v[i]) < 0.42);
    }

    // End reaches the newest sample.
    await grid.focus();
    await page.keyboard.press('End');
    const last = await until(async () => {
      const r = await shownRows(page);
      const end = r[r.length - 1];
      return end && end.index === samples + 1 && end.cells[1] !== '…' && end;
    }, { what: 'the last row' });
    assert.equal(number(last.cells[0]), Number((samples / RATE).toFixed(5)));
  });

  it('jumps to the graph\'s selection, highlights it and copies it for a spreadsheet', async () => {
    await page.evaluate(() => window.korvex.selection.set('1:6', { t0: 0.5, t1: 0.75 }));
    // Samples 1200 (0.5 s) to 1800 (0.75 s): rows 1201 to 1801 with the header.
    const rows = await until(async () => {
      const r = await shownRows(page);
      return r[0]?.index === 1201 && r;
    }, { what: 'the table at the selection' });
    assert.ok(rows.every((r) => r.selected), 'rows of the selection are highlighted');
    assert.match(await page.locator('#table .table-status').innerText(), /rows 1,200 to 1,800 \(601 rows\)/);

    await page.getByRole('button', { name: 'Copy selection' }).click();
    const text = await until(() => page.evaluate(() => window.korvex.table.lastCopied), { what: 'copied text' });
    const lines = text.trimEnd().split('\n');
    assert.equal(lines.length, 602);
    assert.equal(lines[0], 'time (s)\tsound (a.u.)');
    assert.equal(lines[1].split('\t')[0], '0.50000');
    assert.equal(lines[601].split('\t')[0], '0.75000');
    assert.ok(lines.slice(1).every((l) => /^\d+\.\d{5}\t-?\d+(\.\d+)?(e-?\d+)?$/.test(l)), 'decimal points, one value a line');
  });

  it('finds the tone in the spectrum, of the selection and of the last seconds', async () => {
    await page.locator('#tab-table').focus();
    await page.keyboard.press('ArrowRight');
    assert.equal(await page.locator('#tab-spectrum').getAttribute('aria-selected'), 'true');
    const dominant = async () => {
      const m = /Dominant frequency: ([\d.,]+) Hz \(amplitude ([\d.]+)/.exec(await page.locator('#spectrum .spectrum-dominant').innerText());
      return m && { f: number(m[1]), a: Number(m[2]) };
    };
    // 600 samples of the selection: bins of 4 Hz, the peak interpolated between them.
    const sel = await until(dominant, { what: 'the dominant frequency of the selection' });
    assert.ok(Math.abs(sel.f - TONE) < 2, `${sel.f} Hz`);
    assert.match(await page.locator('#spectrum .detail').innerText(), /selection, 0.5 s to 0.75 s/);

    // Without a selection: the last two seconds (the whole run), bins of about 0.6 Hz.
    await page.evaluate(() => window.korvex.selection.set('1:6', null));
    await until(async () => /last part/.test(await page.locator('#spectrum .detail').innerText()), { what: 'the last seconds' });
    const whole = await dominant();
    assert.ok(Math.abs(whole.f - TONE) < 0.5, `${whole.f} Hz`);
    assert.ok(Math.abs(whole.a - 0.4) < 0.03, `amplitude ${whole.a}`);
    await kit.screenshot('spectrum.png');
  });
});

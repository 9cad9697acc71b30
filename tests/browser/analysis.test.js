// Analysis on the graphs through the program and the simulated kit: a range selected by
// Shift+drag and from the cursors, its statistics on every stored sample, the slope and
// area readouts, a sine fit that finds the simulated tone again and a line fit that finds
// the simulated cart's speed.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Kit, missingPieces, until } from './harness.js';
import { chooseConfiguration, record, stopRecording } from './pagesteps.js';

const missing = missingPieces();

// Configuration 9 streams the microphone alone at 2400 Hz; the simulated kit plays a
// 440 Hz tone of amplitude 0.4 (a.u.).
const MIC_KEY = '1:6';
const RATE = 2400;
const TONE = 440;
const AMPLITUDE = 0.4;
// 0.05 s: 22 whole periods of the tone. The limits lie between sample times, so that
// rounding cannot change the count: samples 2401 to 2520.
const T0 = 2400.48 / RATE;
const T1 = T0 + 0.05;
const N = Math.floor(T1 * RATE) - Math.ceil(T0 * RATE) + 1;

describe('analysis of a selected range', { skip: missing ?? false, timeout: 60000 }, () => {
  let kit;
  let page;

  before(async () => {
    kit = await Kit.start({ name: 'analysis' });
    page = kit.page;
    await page.waitForSelector('#kit .kit-dongle.ok', { timeout: 15000 });
    await chooseConfiguration(page, 1, 9);
    await record(page);
    await until(() => page.evaluate((key) => window.korvex.graphs.graphs.get(key)?.lastTime > 1.1, MIC_KEY),
      { timeout: 8000, interval: 50, what: 'the microphone graph past 1.1 s' });
    await stopRecording(page);
    await page.locator('#tab-graphs').click();
  });
  after(async () => {
    if (kit) await kit.stop();
  });

  it('selects by Shift+drag without zooming, and clears with Escape', async () => {
    const box = page.locator(`.graph[data-key="${MIC_KEY}"] .u-over`);
    await until(() => page.evaluate(() => window.korvex.graphs.mode === 'review' && window.korvex.graphs.total > 1.1),
      { what: 'the whole run shown' });
    const view = await page.evaluate(() => ({ ...window.korvex.graphs.view }));
    const at = (tt) => page.evaluate(([key, v]) => window.korvex.graphs.graphs.get(key).plot.valToPos(v, 'x'), [MIC_KEY, tt]);
    const b = await box.boundingBox();
    const x0 = await at(0.3);
    const x1 = await at(0.6);
    await page.keyboard.down('Shift');
    await page.mouse.move(b.x + x0, b.y + b.height / 2);
    await page.mouse.down();
    await page.mouse.move(b.x + x1, b.y + b.height / 2, { steps: 5 });
    await page.mouse.up();
    await page.keyboard.up('Shift');
    const range = await until(() => page.evaluate((key) => window.korvex.selection.get(key), MIC_KEY), { what: 'a selection' });
    const pxTime = (view.max - view.min) / b.width;
    assert.ok(Math.abs(range.t0 - 0.3) < 2 * pxTime && Math.abs(range.t1 - 0.6) < 2 * pxTime, JSON.stringify(range));
    assert.deepEqual(await page.evaluate(() => ({ ...window.korvex.graphs.view })), view, 'Shift+drag does not zoom');
    await page.locator('.analysis-panel .stat-n').first().waitFor({ timeout: 5000 });

    await page.locator(`.graph[data-key="${MIC_KEY}"] .graph-plot`).focus();
    await page.keyboard.press('Escape');
    await until(() => page.evaluate((key) => window.korvex.selection.get(key) === null, MIC_KEY), { what: 'the selection cleared' });
    assert.equal(await page.locator('.analysis-panel').isHidden(), true);
  });

  it('gives statistics on every sample, slope and area with units, and the tone from a sine fit', async () => {
    // The range from the two cursors (S on the focused graph).
    await page.getByRole('button', { name: 'Cursors', exact: true }).click();
    await page.evaluate(([a, b]) => { window.korvex.graphs.placeCursor(a, 'a'); window.korvex.graphs.placeCursor(b, 'b'); }, [T0, T1]);
    await page.locator(`.graph[data-key="${MIC_KEY}"] .graph-plot`).focus();
    await page.keyboard.press('s');
    const row = page.locator(`.analysis-block[data-key="${MIC_KEY}"] tbody tr[data-axis="0"]`);
    await row.waitFor({ timeout: 5000 });
    const value = async (cls) => Number((await row.locator(cls).textContent()).match(/^[−-]?[0-9.,]+/)[0].replace(/,/g, '').replace('−', '-'));
    assert.equal(await row.locator('.stat-n').textContent(), String(N), await row.textContent());
    assert.ok(Math.abs(await value('.stat-mean')) < 0.01, 'whole periods average to zero');
    assert.ok(Math.abs(await value('.stat-max') - AMPLITUDE) < 0.02);
    assert.ok(Math.abs(await value('.stat-min') + AMPLITUDE) < 0.02);
    // Standard deviation of a sine: amplitude / sqrt 2.
    assert.ok(Math.abs(await value('.stat-sd') - AMPLITUDE / Math.SQRT2) < 0.01);
    assert.match(await row.locator('.stat-area').textContent(), /^[0-9.,−-]+ a\.u\.·s$/);
    assert.ok(Math.abs(await value('.stat-area')) < 0.002, 'the area over whole periods is about zero');
    assert.match(await row.locator('.stat-slope').textContent(), /^[0-9.,−-]+ a\.u\.\/s$/);
    assert.match(await page.locator('.analysis-duration').first().textContent(), /^Duration 0\.050* s$/);

    const block = page.locator(`.analysis-block[data-key="${MIC_KEY}"]`);
    await block.locator('select.fit-model').selectOption('sine');
    await block.locator('button.fit-button').click();
    await block.locator('.fit-params li[data-param="f"]').waitFor({ timeout: 8000 });
    const fitted = await page.evaluate((key) => window.korvex.graphs.analysis.fits.get(key).result, MIC_KEY);
    const p = Object.fromEntries(fitted.params.map((q) => [q.name, q.value]));
    assert.equal(fitted.n, N);
    assert.ok(Math.abs(p.f - TONE) < 0.5, `fitted ${p.f} Hz`);
    assert.ok(Math.abs(Math.abs(p.a) - AMPLITUDE) < 0.01, `fitted amplitude ${p.a}`);
    assert.match(await block.locator('.fit-r2').textContent(), /^R² = 0\.99/);
    assert.match(await block.locator('.fit-equation').textContent(), /^y = .*sin\(2π·44\d/);

    // Too few samples: a range of two samples gives the message, not a result.
    await page.evaluate(([key, t0, t1]) => window.korvex.selection.set(key, { t0, t1 }), [MIC_KEY, T0, T0 + 2 / RATE]);
    await block.locator('.stat-n').waitFor();
    await until(async () => (await block.locator('.stat-n').textContent()) === '2', { what: 'two samples selected' });
    await block.locator('select.fit-model').selectOption('sine');
    await block.locator('button.fit-button').click();
    assert.match(await block.locator('.fit-error').textContent({ timeout: 8000 }), /Too few samples/);
    await kit.screenshot('analysis.png');
  });
});

// Configuration 4 streams the wheel at 100 Hz. The simulated cart's position is
// x(t) = 0.3 (1 - cos wt) m with w = 2 pi 0.2 /s, counted in whole millimetres; around
// t = 1.25 s (a quarter period) it rolls at nearly constant speed, 0.3 w = 0.377 m/s.
const WHEEL_KEY = '1:9';
const WHEEL_RATE = 100;
const W = 2 * Math.PI * 0.2;
const position = (t) => 0.3 * (1 - Math.cos(W * t));

// Least-squares slope and mean of the simulator's position at the samples in [t0, t1].
function expectedLine(t0, t1) {
  const ts = [];
  for (let k = Math.ceil(t0 * WHEEL_RATE); k <= Math.floor(t1 * WHEEL_RATE); k++) ts.push(k / WHEEL_RATE);
  const mt = ts.reduce((a, b) => a + b, 0) / ts.length;
  const my = ts.reduce((a, t) => a + position(t), 0) / ts.length;
  let stt = 0, sty = 0;
  for (const t of ts) { stt += (t - mt) ** 2; sty += (t - mt) * (position(t) - my); }
  return { slope: sty / stt, mean: my, n: ts.length };
}

describe('line fit on the wheel position', { skip: missing ?? false, timeout: 60000 }, () => {
  let kit;
  let page;
  before(async () => {
    kit = await Kit.start({ name: 'analysis-wheel' });
    page = kit.page;
    await page.waitForSelector('#kit .kit-dongle.ok', { timeout: 15000 });
    await chooseConfiguration(page, 1, 4);
    await record(page);
    await until(() => page.evaluate(() => window.korvex.client.request('korvex_getSensorData1', [1, 9, 0, -1, false, -1, -1])
      .then(({ doc }) => doc.datalength / doc.sampleRate > 1.6)), { timeout: 8000, interval: 100, what: '1.6 s of the wheel' });
    await stopRecording(page);
  });
  after(async () => {
    if (kit) await kit.stop();
  });

  it('finds the cart speed as the slope of the position', async () => {
    // Limits between sample times: samples 106 to 145.
    const t0 = 1.055;
    const t1 = 1.455;
    const expected = expectedLine(t0, t1);
    await page.getByRole('button', { name: 'Cursors', exact: true }).click();
    await page.evaluate(([a, b]) => { window.korvex.graphs.placeCursor(a, 'a'); window.korvex.graphs.placeCursor(b, 'b'); }, [t0, t1]);
    await page.getByRole('button', { name: 'Select between cursors' }).click();
    const block = page.locator(`.analysis-block[data-key="${WHEEL_KEY}"]`);
    const row = block.locator('tbody tr[data-axis="0"]');
    await row.waitFor({ timeout: 5000 });
    assert.equal(await row.locator('.stat-n').textContent(), String(expected.n));
    const value = async (cls) => Number((await row.locator(cls).textContent()).match(/^[0-9.]+/)[0]);
    // The run's position starts at zero when recording starts, not at the simulator's t = 0,
    // so only its shape is known: near a quarter period it is a straight line, whose
    // samples average to the middle of their range (curvature moves it by under 0.1 mm).
    const [mean, lo, hi] = [await value('.stat-mean'), await value('.stat-min'), await value('.stat-max')];
    assert.ok(Math.abs(mean - (lo + hi) / 2) < 0.001, `mean ${mean} m between ${lo} and ${hi} m`);
    assert.ok(Math.abs(hi - lo - expected.slope * (expected.n - 1) / WHEEL_RATE) < 0.004, `travel ${hi - lo} m`);
    assert.match(await row.locator('.stat-area').textContent(), /^[0-9.]+ m·s$/);
    assert.match(await row.locator('.stat-slope').textContent(), /^[0-9.]+ m\/s$/);
    assert.match(await block.locator('tbody tr[data-axis="1"] .stat-area').textContent(), /^[0-9.]+ m$/);

    await block.locator('select.fit-axis').selectOption('0');
    await block.locator('select.fit-model').selectOption('linear');
    await block.locator('button.fit-button').click();
    await block.locator('.fit-params li[data-param="a"]').waitFor({ timeout: 8000 });
    const fitted = await page.evaluate((key) => window.korvex.graphs.analysis.fits.get(key).result, WHEEL_KEY);
    assert.equal(fitted.n, expected.n);
    assert.ok(Math.abs(fitted.params[0].value - expected.slope) < 0.003,
      `fitted ${fitted.params[0].value} m/s, simulator ${expected.slope} m/s`);
    assert.match(await block.locator('.fit-equation').textContent(), /^y = 0\.3\d*·t [+−] /);
    await kit.screenshot('analysis-wheel.png');
  });
});

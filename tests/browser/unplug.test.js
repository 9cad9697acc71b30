// The dongle pulled out in the middle of a run, and plugged in again: the user is told,
// the run ends as a stop would, and the kit records again once it is back.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { Kit, missingPieces, until, sleep } from './harness.js';
import { graphSummary, chooseConfiguration, record, stopRecording } from './pagesteps.js';

const missing = missingPieces();

describe('the dongle unplugged and plugged in again', { skip: missing ?? false, timeout: 60000 }, () => {
  let kit;
  let page;

  before(async () => {
    kit = await Kit.start({ name: 'unplug' });
    page = kit.page;
    await page.waitForSelector('#kit .kit-dongle.ok', { timeout: 15000 });
    await chooseConfiguration(page, 1, 3);
    await chooseConfiguration(page, 2, 4);
  });
  after(async () => {
    if (kit) await kit.stop();
  });

  it('ends the run and shows the missing dongle when it is unplugged while recording', async () => {
    await record(page);
    await until(async () => (await graphSummary(page)).some((g) => g.points > 20), { what: 'live data' });
    assert.equal(await kit.sim.control('unplug', /^port /), 'port -');

    await page.locator('#kit .kit-dongle.bad', { hasText: 'Dongle not found' }).waitFor({ timeout: 8000 });
    await page.locator('body:not(.is-recording)').waitFor({ timeout: 8000 });
    assert.equal(await page.locator('#record').isDisabled(), true, 'nothing can be recorded without the dongle');
    assert.equal(await page.locator('#record-hint').innerText(), 'Plug in the dongle');
    // What was recorded until then stays, and is shown as the run.
    const run = await until(async () => {
      const g = await graphSummary(page);
      return g.every((x) => x.points > 0) && g;
    }, { what: 'the interrupted run in the graphs' });
    assert.ok(run.every((g) => g.inkPixels > 50));
    await kit.screenshot('unplugged.png');
  });

  it('finds the dongle again after the replug and records with it', async () => {
    const line = await kit.sim.control('replug', /^port /);
    assert.match(line, /^port \/dev\//);
    await page.locator('#kit .kit-dongle.ok').waitFor({ timeout: 10000 });
    await until(() => page.locator('#kit .kit-slot.ok').count().then((n) => n === 2),
      { timeout: 10000, what: 'both remotes back' });
    await page.locator('#record:not([disabled])').waitFor({ timeout: 10000 });

    // A fresh run on the dongle that came back.
    const newRun = page.getByRole('button', { name: 'New run…' });
    if (await newRun.isEnabled()) {
      await newRun.click();
      await page.getByRole('button', { name: 'Keep it' }).click();
      await until(async () => (await page.locator('#runs .run-current').innerText()).includes('not recorded yet'),
        { what: 'a new run' });
    }
    if (!(await page.locator('#config-1').inputValue() === '3')) await chooseConfiguration(page, 1, 3);
    await record(page);
    const first = await until(async () => {
      const g = (await graphSummary(page)).filter((x) => x.visible);
      return g.length && g.every((x) => x.points > 0) && g;
    }, { timeout: 8000, what: 'live data after the replug' });
    await sleep(1000);
    const later = await graphSummary(page);
    for (const f of first) assert.ok(later.find((g) => g.key === f.key).lastTime > f.lastTime, `${f.key} streams again`);
    await stopRecording(page);
    await kit.screenshot('replugged.png');
  });
});

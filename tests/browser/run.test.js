// A whole session as a user has it: the kit appears, configurations are chosen, a run is
// recorded with the button, its graphs are looked at, a CSV file is written, the run is
// kept and reloaded, and the repository window follows along.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { Kit, missingPieces, until, sleep } from './harness.js';
import { graphSummary, chooseConfiguration, record, stopRecording } from './pagesteps.js';

const missing = missingPieces();

describe('a recording session in the program', { skip: missing ?? false, timeout: 90000 }, () => {
  let kit;
  let page;

  before(async () => {
    kit = await Kit.start({ name: 'session' });
    page = kit.page;
  });
  after(async () => {
    if (kit) await kit.stop();
  });

  it('shows the dongle and both remotes of the kit', async () => {
    await page.waitForSelector('#kit .kit-dongle.ok', { timeout: 15000 });
    await until(() => page.locator('#kit .kit-slot.ok').count().then((n) => n === 2),
      { timeout: 10000, what: 'two connected remotes' });
    const kitText = await page.locator('#kit').innerText();
    assert.match(kitText, /Dongle plugged in/);
    assert.match(kitText, /Remote 1[\s\S]*radio link up[\s\S]*Remote 2[\s\S]*radio link up/);
    assert.equal(await page.locator('#record').isDisabled(), true, 'nothing to record before a configuration');
    await kit.screenshot('kit.png');
  });

  it('takes the configurations chosen in the page', async () => {
    await chooseConfiguration(page, 1, 3);
    await chooseConfiguration(page, 2, 4);
    // Configuration 3 has four sensors, 4 has three: one graph each.
    await until(async () => (await graphSummary(page)).length === 7, { what: 'seven graphs' });
    const cards = await page.locator('#config .config-card').allInnerTexts();
    assert.match(cards[0], /Gyroscope/);
    assert.match(cards[1], /Force/);
    await page.waitForSelector('#record:not([disabled])', { timeout: 5000 });
  });

  it('records with the button and draws the graphs live, then the whole run', async () => {
    await record(page);
    // Live: every graph in sight receives newer and newer data.
    const first = await until(async () => {
      const g = (await graphSummary(page)).filter((x) => x.visible);
      return g.length > 0 && g.every((x) => x.points > 0) && g;
    }, { timeout: 8000, what: 'data in every live graph in sight' });
    await sleep(1200);
    const later = await graphSummary(page);
    for (const f of first) {
      const g = later.find((x) => x.key === f.key);
      assert.ok(g.lastTime > f.lastTime, `graph ${g.key} moves on while recording`);
      assert.ok(g.inkPixels > 50, `graph ${g.key} has lines drawn`);
    }
    assert.equal(await page.locator('.graph-mode').innerText(), 'Live');
    // A few seconds in, for the picture of the main view.
    await sleep(2500);
    await kit.screenshot('recording.png');

    await stopRecording(page);
    assert.equal(await page.locator('#record .label').innerText(), 'Record');
    // Review: the whole run, from its start to about the time it was recorded.
    const run = await until(async () => {
      const g = await graphSummary(page);
      return g.every((x) => x.points > 0 && x.viewMin <= 0.01 && x.viewMax >= 2) && g;
    }, { timeout: 8000, what: 'the whole run in every graph' });
    for (const g of run) {
      assert.ok(g.viewMax < 30, `graph ${g.key} shows the run, not more (${g.viewMax} s)`);
      assert.ok(g.inkPixels > 50, `graph ${g.key} has lines drawn`);
    }
    await kit.screenshot('run.png');
  });

  it('writes a CSV file of a sensor on request', async () => {
    const button = page.locator('#export .export-sensors button').first();
    await button.click();
    const pathText = await page.locator('#export .export-results li.ok code.path').first().innerText({ timeout: 8000 });
    const file = path.resolve(pathText);
    assert.ok(file.startsWith(path.join(kit.workFiles, 'export')), `${file} is in the export folder`);
    const lines = fs.readFileSync(file, 'utf8').trim().split(/\r?\n/);
    assert.ok(lines.length > 100, `a run of seconds has many rows (${lines.length})`);
    // Every data row has the same number of fields as the first one.
    const fields = lines[1].split(/[;,\t]/).length;
    assert.ok(fields >= 2);
    assert.ok(lines.slice(1).every((l) => l.split(/[;,\t]/).length === fields), 'rows all have the same fields');
  });

  it('keeps the run, lists it and reloads it', async () => {
    const stored = page.locator('#runs .stored-runs li');
    await until(() => stored.count().then((n) => n === 1), { what: 'the run in the stored list' });
    await page.getByRole('button', { name: 'Keep run' }).click();
    await page.locator('.notice', { hasText: 'Run kept' }).waitFor({ timeout: 5000 });
    await until(async () => !(await page.locator('#runs .stored-runs li.loaded').count()),
      { what: 'a new current run after keeping' });

    await stored.first().getByRole('button', { name: 'Reload' }).click();
    // A current run that holds remotes is only replaced after the user agrees.
    const agree = page.getByRole('button', { name: 'Discard and reload' });
    if (await agree.isVisible({ timeout: 1500 }).catch(() => false)) await agree.click();
    await page.locator('#runs .run-current', { hasText: 'Reloaded run' }).waitFor({ timeout: 10000 });
    await page.locator('#runs .stored-runs li.loaded').waitFor({ timeout: 5000 });
    const graphs = await until(async () => {
      const g = await graphSummary(page);
      return g.length === 7 && g.every((x) => x.points > 0 && x.viewMax >= 2) && g;
    }, { timeout: 10000, what: 'the reloaded run in every graph' });
    assert.ok(graphs.every((g) => g.inkPixels > 50));
    await kit.screenshot('reloaded.png');
  });

  it('opens the repository window, keeps it up to date and tells the main page when it closes', async (t) => {
    await page.evaluate(() => {
      window.__repositoryEvents = [];
      window.korvex.hub.on('repository', (e) => window.__repositoryEvents.push(e.args));
    });
    const [popup] = await Promise.all([
      kit.context.waitForEvent('page', { timeout: 10000 }),
      page.locator('#open-repository').click(),
    ]);
    await popup.waitForLoadState('domcontentloaded');
    assert.match(popup.url(), /^http:\/\/res\/client\/repository\.html/);
    assert.equal(await popup.evaluate(() => window.name), 'Korvex Repository');
    // With a second debugging client attached (these tests), the popup may be let go by
    // that client before the program has put its page script in place; a user's program
    // is the only client. A window without the script is loaded once more.
    if (await popup.evaluate(() => typeof window.app) !== 'object') {
      t.diagnostic('repository window started before the page script; reloading it');
      await kit.screenshot('repository-without-script.png', popup);
      await popup.reload();
    }
    await popup.locator('#repo-list .repo-table tbody tr').first().waitFor({ timeout: 10000 }).catch(async (err) => {
      await kit.screenshot('repository-failed.png', popup).catch(() => {});
      const seen = await popup.evaluate(() => ({ app: typeof window.app, text: document.body.innerText.slice(0, 400) })).catch((e) => e.message);
      throw new Error(`${err.message}\nrepository window: ${popup.url()} ${JSON.stringify(seen)}`);
    });
    const before = await popup.locator('#repo-list .repo-table tbody tr').count();
    await kit.screenshot('repository.png', popup);

    // A new run recorded from the main page: the repository window hears it start and stop
    // and lists the new run.
    const newRun = page.getByRole('button', { name: 'New run…' });
    if (await newRun.isEnabled()) {
      await newRun.click();
      await page.getByRole('button', { name: 'Keep it' }).click();
    }
    await chooseConfiguration(page, 1, 3);
    await record(page);
    await popup.locator('#repo-state').filter({ hasText: /\S/ }).waitFor({ timeout: 5000 });
    await sleep(600);
    await stopRecording(page);
    await until(async () => (await popup.locator('#repo-state').innerText()).trim() === '',
      { what: 'the repository window to see the stop' });
    await until(() => popup.locator('#repo-list .repo-table tbody tr').count().then((n) => n === before + 1),
      { timeout: 8000, what: 'the new run in the repository list' });

    assert.equal(await page.locator('#open-repository.active').count(), 1);
    // The window closes under the click: a click that ends in "page closed" did its work.
    await popup.locator('#repo-close').click({ noWaitAfter: true }).catch((err) => {
      if (!popup.isClosed() && !/closed/i.test(err.message)) throw err;
    });
    await until(() => popup.isClosed(), { timeout: 5000, what: 'the repository window to close' });
    await until(() => page.evaluate(() => window.__repositoryEvents.length > 0),
      { timeout: 5000, what: 'the main page to hear that the repository closed' });
    assert.deepEqual(await page.evaluate(() => window.__repositoryEvents), [{ closed: true }]);
    assert.equal(await page.locator('#open-repository.active').count(), 0);
  });
});

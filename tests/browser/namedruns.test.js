// Runs with names, notes and a start trigger, through the program and the simulated kit:
// a run recorded with "Start when" the force probe rises above a threshold gets the
// crossing as its time zero, and "Stop after" counts from it; it is named, the program is restarted on the same work
// folder, and the name, the note and the time zero are all still there. Its CSV files are
// named after it.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { Kit, missingPieces, until } from './harness.js';
import { chooseConfiguration, record, graphSummary } from './pagesteps.js';

const missing = missingPieces();

// The simulator's force probe pushes a 10 N half-sine for 0.5 s every 2 s (configuration 4
// streams it at 200 Hz on remote 2): 5 N is crossed upwards once per push.
const THRESHOLD = 5;
const PRE = 0.5;
const NAME = 'Cart on the ramp – Gruppe Ä';
const NOTE = 'Lab 2, 250 g on the cart';
const STOP_AFTER = 1.5; // seconds after the trigger

describe('named and triggered runs', { skip: missing ?? false, timeout: 90000 }, () => {
  let kit;
  let runId;
  let triggerTime;

  before(async () => {
    kit = await Kit.start({ name: 'namedruns' });
    await until(() => kit.page.locator('#kit .kit-slot.ok').count().then((n) => n === 2),
      { timeout: 15000, what: 'two connected remotes' });
    await chooseConfiguration(kit.page, 2, 4);
  });
  after(async () => {
    if (kit) await kit.stop();
  });

  it('records from Record and makes the force crossing the run\'s time zero', async () => {
    const page = kit.page;
    await page.locator('#trigger-source').selectOption('2:8:0');
    await page.locator('#trigger-direction').selectOption('rise');
    await page.locator('#trigger-threshold').fill(String(THRESHOLD));
    await page.locator('#trigger-pre').fill(String(PRE));
    await page.locator('#duration').fill(String(STOP_AFTER));
    await record(page);
    await until(() => kit.evaluate(() => window.korvex.trigger.state === 'fired'),
      { timeout: 5000, interval: 50, what: 'the trigger' });
    // The run stops by itself, STOP_AFTER seconds after the trigger.
    await page.locator('body:not(.is-recording)').waitFor({ timeout: 8000 });
    await page.locator('#record:not([disabled])').waitFor({ timeout: 8000 });
    await page.locator('#duration').fill('');
    runId = await kit.evaluate(() => window.korvex.store.stack.ID);
    // The time zero once the library has re-timed the run, stored with the run's notes.
    triggerTime = await until(() => kit.evaluate((id) => {
      const n = window.korvex.notes.get(id);
      return Number.isFinite(n.triggerTime) && n.triggerTime === window.korvex.graphs.timeZero && n.triggerTime;
    }, runId), { what: 'the stored trigger time' });

    // The samples around it, read from the library: the first upward crossing of 5 N since
    // the recording began lies between the two samples that bracket the trigger time.
    const { time, force } = await kit.evaluate(async () => {
      const { doc, data } = await window.korvex.client.request('korvex_getSensorData1', [2, 8, 0, -1, false, -1, -1]);
      const n = doc.datalength;
      return { time: Array.from(data.subarray(0, n)), force: Array.from(data.subarray(n, 2 * n)) };
    });
    const k = time.findIndex((t, i) => i > 0 && force[i - 1] < THRESHOLD && force[i] >= THRESHOLD);
    assert.ok(k > 0, 'the force crosses 5 N in the run');
    assert.ok(time[k - 1] <= triggerTime && triggerTime <= time[k],
      `trigger ${triggerTime} between the samples ${time[k - 1]} and ${time[k]}`);
    // On the line between the two samples, the trigger moment sits where 5 N is.
    const frac = (triggerTime - time[k - 1]) / (time[k] - time[k - 1]);
    assert.ok(Math.abs(force[k - 1] + frac * (force[k] - force[k - 1]) - THRESHOLD) < 1e-3);
    // Stopped STOP_AFTER after the trigger (the stop takes a frame or two to reach the kit).
    const after = time[time.length - 1] - triggerTime;
    assert.ok(after >= STOP_AFTER - 0.05 && after < STOP_AFTER + 0.5, `${after} s recorded after the trigger`);

    // The table counts from the trigger too: its first row is the run's first sample.
    await page.locator('#tab-table').click();
    await page.locator('#table-remote').selectOption('2');
    await page.locator('#table-sensor').selectOption('8');
    const first = await until(() => page.locator('#table .table-spacer .table-row .table-cell').first().innerText()
      .then((text) => text !== '' && text), { what: 'the first row of the table' });
    assert.equal(Number(first.replace('−', '-')), Number((time[0] - triggerTime).toFixed(first.split('.')[1].length)));
    await page.locator('#tab-graphs').click();

    // The whole run is shown from the pre-trigger window on; samples before it stay.
    await until(async () => (await graphSummary(page)).every((g) => Math.abs(g.viewMin - Math.max(0, triggerTime - PRE)) < 1e-6),
      { what: 'the graphs starting at the pre-trigger window' });
    const notesFile = JSON.parse(fs.readFileSync(path.join(kit.workFiles, 'RunNotes', `${runId}.json`), 'utf8'));
    assert.deepEqual(notesFile, { triggerTime, preTrigger: PRE });
    assert.match(await page.locator('#export').innerText(), new RegExp(`${triggerTime.toFixed(3)} s`));
  });

  it('names the run, and keeps name, note and time zero over a restart', async () => {
    let page = kit.page;
    await page.locator('#runs .run-current').getByRole('button', { name: /Name and note/ }).click();
    await page.locator('#runs .run-name-input').fill(NAME);
    await page.locator('#runs .run-note-input').fill(NOTE);
    await page.locator('#runs .run-notes-form').getByRole('button', { name: 'Save' }).click();
    await page.locator('#runs .stored-runs li.loaded .run-name', { hasText: NAME }).waitFor({ timeout: 5000 });
    // With no file name typed, the CSV files are named after the run, in plain characters.
    await page.locator('#export .export-sensors button').first().click();
    const written = await page.locator('#export .export-results li.ok code.path').first().innerText({ timeout: 8000 });
    assert.ok(path.basename(written).startsWith('Cart_on_the_ramp_Gruppe_Ae_remote2_'), written);

    await kit.restartHost();
    page = kit.page;
    const item = page.locator('#runs .stored-runs li', { hasText: NAME });
    await item.waitFor({ timeout: 8000 });
    assert.match(await item.innerText(), new RegExp(NOTE));
    // Reloaded, the run is shown from its trigger again.
    await item.getByRole('button', { name: 'Reload' }).click();
    await until(() => kit.evaluate((id) => window.korvex.store.stack?.ID === id && window.korvex.graphs.timeZero, runId)
      .then((zero) => zero === triggerTime), { timeout: 8000, what: 'the reloaded run with its time zero' });
    const file = JSON.parse(fs.readFileSync(path.join(kit.workFiles, 'RunNotes', `${runId}.json`), 'utf8'));
    assert.deepEqual(file, { triggerTime, preTrigger: PRE, name: NAME, note: NOTE });
  });

  it('removes the notes with the run when the run is deleted', async () => {
    const page = kit.page;
    await page.locator('#runs .stored-runs li', { hasText: NAME }).getByRole('button', { name: 'Delete' }).click();
    await page.locator('dialog.modal').getByRole('button', { name: 'Delete' }).click();
    await page.locator('#runs .stored-runs li', { hasText: NAME }).waitFor({ state: 'detached', timeout: 5000 });
    await until(() => !fs.existsSync(path.join(kit.workFiles, 'RunNotes', `${runId}.json`)),
      { timeout: 3000, what: 'the notes file removed' });
  });
});

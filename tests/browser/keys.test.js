// The keys the page promises are the keys that work in the program: the program keeps Space
// from the page, so R records and stops; Alt+? and Alt+/ show the About box, which names the
// version of the build.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { BIN, Kit, missingPieces, sleep } from './harness.js';
import { chooseConfiguration } from './pagesteps.js';

const missing = missingPieces();

// The version the build was configured with: ctest passes it, else the build's cache has it.
function buildVersion() {
  if (process.env.KORVEX_VERSION) return process.env.KORVEX_VERSION;
  const cache = path.join(BIN, '..', 'CMakeCache.txt');
  if (!fs.existsSync(cache)) return null;
  return /^CMAKE_PROJECT_VERSION:STATIC=(.+)$/m.exec(fs.readFileSync(cache, 'utf8'))?.[1] ?? null;
}

describe('keys', { skip: missing ?? false, timeout: 60000 }, () => {
  let kit;
  let page;

  before(async () => {
    kit = await Kit.start({ name: 'keys' });
    page = kit.page;
    await page.waitForSelector('#kit .kit-dongle.ok', { timeout: 15000 });
    await chooseConfiguration(page, 1, 3);
    await page.locator('#record:not([disabled])').waitFor();
  });
  after(async () => {
    if (kit) await kit.stop();
  });

  it('records and stops with R, shows R in the hint, and never sees Space', async () => {
    await page.locator('body').click({ position: { x: 5, y: 5 } });
    assert.equal(await page.locator('#record-hint').innerText(), 'R to record');
    await page.keyboard.press('Space');
    await sleep(500);
    assert.equal(await page.locator('body.is-recording').count(), 0, 'Space must not start a run');

    await page.keyboard.press('r');
    await page.locator('body.is-recording').waitFor({ timeout: 8000 });
    assert.equal(await page.locator('#record-hint').innerText(), 'R to stop');
    await page.keyboard.press('r');
    await page.locator('body:not(.is-recording)').waitFor({ timeout: 8000 });
  });

  it('opens the About box with Alt+/ and Alt+?, naming the version of the build', async () => {
    const version = buildVersion();
    assert.ok(version, `no CMakeCache.txt beside ${BIN} and no KORVEX_VERSION`);
    for (const key of ['Alt+Slash', 'Alt+Shift+Slash']) {
      await page.keyboard.press(key);
      const dialog = page.locator('dialog[open]');
      await dialog.waitFor({ timeout: 5000 });
      const text = await dialog.innerText();
      assert.match(text, /Alt\+\?/, key);
      assert.doesNotMatch(text, /Space/, key);
      assert.ok(text.includes(`Korvex ${version}`), text);
      await page.keyboard.press('Escape');
      await page.locator('dialog[open]').waitFor({ state: 'detached', timeout: 5000 }).catch(() => {});
      assert.equal(await page.locator('dialog[open]').count(), 0);
    }
  });
});

// Pages from outside the application, popups of every kind, and load errors, through the
// real program: only the application's own documents ("http://res/") reach the kit, the
// application window hands outside addresses to the user's browser, and every popup loads.
import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import { Kit, missingPieces, until, sleep } from './harness.js';

const missing = missingPieces();

// An outside site: every page says in its title whether it sees the application's objects.
function startOutsideSite() {
  const server = http.createServer((req, res) => {
    res.writeHead(200, { 'Content-Type': 'text/html' });
    res.end(`<title>loading</title><script>
      document.title = 'outside app:' + typeof window.app + ' binding:' + typeof window.__korvexBridgeSend;
    </script>`);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

describe('pages from outside, popups and load errors', { skip: missing ?? false, timeout: 90000 }, () => {
  let kit;
  let site;
  let outside;
  let openerLog;

  before(async () => {
    site = await startOutsideSite();
    outside = `http://127.0.0.1:${site.address().port}`;
    const folder = fs.mkdtempSync(path.join(process.env.TMPDIR ?? '/tmp', 'korvex-opener-'));
    openerLog = path.join(folder, 'opened');
    const opener = path.join(folder, 'opener');
    fs.writeFileSync(opener, `#!/bin/sh\necho "$1" >> '${openerLog}'\n`, { mode: 0o755 });
    kit = await Kit.start({ name: 'pages', hostEnv: { KORVEX_URL_OPENER: opener } });
  });
  after(async () => {
    if (kit) await kit.stop();
    site?.close();
  });

  // Runs `open` in the main page and returns the popup it opened.
  async function popup(open, arg) {
    const opened = kit.context.waitForEvent('page', { timeout: 10000 });
    await kit.page.evaluate(open, arg);
    return opened;
  }
  const outsideTitle = (page) => until(async () => {
    const title = await page.title();
    return title.startsWith('outside') && title;
  }, { what: `the outside page ${page.url()} to load` });

  it('loads every kind of popup, and an outside page in one never sees the application', async () => {
    const kinds = {
      ordinary: (u) => { window.open(u); },
      noopener: (u) => { window.open(u, '_blank', 'noopener'); },
      blankLink: (u) => {
        const a = Object.assign(document.createElement('a'), { href: u, target: '_blank' });
        document.body.append(a);
        a.click();
        a.remove();
      },
    };
    for (const [kind, open] of Object.entries(kinds)) {
      const page = await popup(open, `${outside}/${kind}`);
      assert.equal(await outsideTitle(page), 'outside app:undefined binding:undefined', kind);
      await page.close();
    }
  });

  it('keeps the main window on the application and gives an outside address to the user\'s browser', async () => {
    await kit.page.evaluate((u) => { location.href = u; }, `${outside}/followed-link`);
    const opened = await until(() => fs.existsSync(openerLog) && fs.readFileSync(openerLog, 'utf8'),
      { what: 'the address handed to the opener' });
    assert.equal(opened.trim(), `${outside}/followed-link`);
    await sleep(300);
    assert.ok(kit.page.url().startsWith('http://res/client/app.html'), kit.page.url());
    assert.equal(await kit.page.evaluate(() => typeof window.app.sendMessage), 'function');
  });

  it('answers a frame of the application in that frame, and gives an outside frame nothing', async () => {
    await kit.page.evaluate((u) => {
      for (const [id, src] of [['own', 'http://res/client/repository.html'], ['foreign', u]]) {
        document.body.append(Object.assign(document.createElement('iframe'), { id, src }));
      }
    }, `${outside}/framed`);
    const frameOf = (id) => until(async () => {
      const f = await (await kit.page.$(`#${id}`))?.contentFrame();
      return f && (await f.evaluate(() => document.readyState)) === 'complete' && f;
    }, { what: `frame ${id}` });
    const own = await frameOf('own');
    const bytes = await own.evaluate(() => new Promise((resolve) => {
      app.removeMessageCallback('korvex_getHardwareState');
      app.setMessageCallback('korvex_getHardwareState', (name, doc) => { resolve(doc.length); return true; });
      app.sendMessage('korvex_getHardwareState');
    }));
    assert.ok(bytes > 5, `the frame got the reply document (${bytes} bytes)`);
    // Whether the browser lets the outside frame load or blocks it, it gets nothing.
    const foreign = await frameOf('foreign');
    assert.equal(await foreign.evaluate(() => `${typeof window.app} ${typeof window.__korvexBridgeSend}`),
      'undefined undefined');
    await kit.page.evaluate(() => { document.getElementById('own').remove(); document.getElementById('foreign').remove(); });
  });

  it('shows the browser\'s own error number for a load that fails', async () => {
    // Port 6000 is one the browser refuses to reach.
    const page = await popup(() => { window.open('http://127.0.0.1:6000/'); });
    await until(async () => (await page.content()).includes('net::ERR_UNSAFE_PORT (-312)'),
      { what: 'the load-error page with its number' });
    await page.close();
  });
});
